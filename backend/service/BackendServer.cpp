#include "BackendServer.h"

#include <httplib.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "ApiHandlers.h"
#include "backend/matting/EngineFactory.h"
#include "backend/matting/ModelCache.h"
#include "FileUtil.h"
#include "JobRunner.h"
#include "Routes.h"
#include "SessionStore.h"
#include "Validation.h"

namespace kesto::backend {

namespace fs = std::filesystem;

namespace {

// cpp-httplib closes a kept-alive connection after 5 requests by default; a clip is hundreds of requests.
constexpr std::size_t kKeepAliveMaxRequests = 1000000;
constexpr auto kKeepAliveTimeout = std::chrono::seconds(30);
constexpr auto kSocketTimeout = std::chrono::seconds(30);
constexpr auto kMinSweepInterval = std::chrono::milliseconds(50);
constexpr auto kMaxSweepInterval = std::chrono::seconds(30);
constexpr auto kListenerStartTimeout = std::chrono::seconds(10);
constexpr auto kListenerPollInterval = std::chrono::milliseconds(1);

ApiRequest to_api_request(const httplib::Request& req, std::string body) {
  ApiRequest request;
  request.method = req.method;
  request.path = req.path;
  request.content_type = req.get_header_value("Content-Type");
  request.body = std::move(body);
  request.peer = req.remote_addr + ":" + std::to_string(req.remote_port);
  return request;
}

void to_httplib_response(ApiResponse response, httplib::Response& res) {
  res.status = response.status;
  for (auto& header : response.headers) res.set_header(header.first.c_str(), header.second);
  res.set_content(std::move(response.body), response.content_type.c_str());
}

}  // namespace

struct BackendServer::Impl {
  explicit Impl(BackendConfig c)
      : config(std::move(c)), log(config.log_level), budget(std::make_shared<DiskBudget>(config.max_disk_bytes)) {}

  Result<int> start();
  void stop();
  void install_routes();
  void sweep_loop();

  BackendConfig config;
  Log log;
  std::shared_ptr<DiskBudget> budget;
  fs::path workdir;
  bool own_workdir = false;
  std::unique_ptr<SessionStore> store;
  std::unique_ptr<JobRunner> runner;
  std::unique_ptr<ApiHandlers> api;
  httplib::Server http;
  std::thread listener;
  std::atomic<bool> listener_done{false};
  std::thread sweeper;
  std::mutex sweep_mu;
  std::condition_variable sweep_wake;
  bool stopping = false;
  bool started = false;
  int port = 0;
};

Result<int> BackendServer::Impl::start() {
  if (started) return ApiError{500, "server already started"};
  const EngineChoice choice = choose_engine(config.engine, config.neural, cached_model_path());
  if (choice.engine == "neural" && choice.neural.model_path.empty()) {
    return ApiError{500, "the neural engine needs --model FILE, or a model fetched by scripts/fetch-model"};
  }
  config.engine = choice.engine;
  config.neural = choice.neural;
  if (config.engine == "neural") log.info("loading " + config.neural.model_path + " and checking it with one inference");
  std::string engine_error;
  const EngineFactory factory = engine_factory(config.engine, config.neural, engine_error);
  if (!factory) {
    if (choice.model_from_cache) {
      engine_error += " (the cached model: run scripts/fetch-model again, or start with --engine classical)";
    }
    return ApiError{500, engine_error};
  }

  std::error_code ec;
  if (config.workdir.empty()) {
    std::string pattern = (fs::temp_directory_path(ec) / "trevane-backend-XXXXXX").string();
    if (ec || ::mkdtemp(pattern.data()) == nullptr) return ApiError{500, "cannot create a working folder under /tmp"};
    workdir = pattern;
    own_workdir = true;
  } else {
    workdir = fs::absolute(config.workdir, ec);
    fs::create_directories(workdir, ec);
    if (ec || !fs::is_directory(workdir)) return ApiError{500, "cannot use working folder " + config.workdir};
    const std::size_t stale = SessionStore::remove_stale_folders(workdir);
    if (stale > 0) log.info("removed " + std::to_string(stale) + " session folders left by an earlier run");
  }

  store = std::make_unique<SessionStore>(
      workdir, StoreLimits{config.max_sessions, std::chrono::duration_cast<SteadyClock::duration>(config.session_ttl)},
      budget);
  runner = std::make_unique<JobRunner>(config.max_jobs, factory, log);
  api = std::make_unique<ApiHandlers>(config, *store, *runner, log);
  install_routes();

  if (config.port == 0) {
    port = http.bind_to_any_port(config.host);
  } else {
    port = http.bind_to_port(config.host, config.port) ? config.port : -1;
  }
  if (port <= 0) {
    runner->stop();
    if (own_workdir) fs::remove_all(workdir, ec);
    return ApiError{500, "cannot listen on " + config.host + ":" + std::to_string(config.port)};
  }
  listener = std::thread([this] {
    try {
      http.listen_after_bind();
    } catch (const std::exception& e) {
      log.warn(std::string("listener stopped: ") + e.what());
    } catch (...) {
      log.warn("listener stopped");
    }
    listener_done.store(true);
  });
  // stop() can only wake the listener once it is running; until then it would block in accept() for good.
  const auto deadline = SteadyClock::now() + kListenerStartTimeout;
  while (!http.is_running() && SteadyClock::now() < deadline) std::this_thread::sleep_for(kListenerPollInterval);
  sweeper = std::thread([this] { sweep_loop(); });
  started = true;
  log.info("listening on " + config.host + ":" + std::to_string(port) + ", engine " + config.engine +
           (config.engine == "neural" ? " (model " + config.neural.model_path + ")" : std::string()) +
           ", working folder " + workdir.string());
  return port;
}

void BackendServer::Impl::install_routes() {
  const std::size_t frame_limit = config.max_frame_bytes;
  http.set_tcp_nodelay(true);
  // The library's default also sets SO_REUSEPORT, which lets a second server bind the same port and silently
  // take half the connections; only allow quick restarts.
  http.set_socket_options([](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http.set_keep_alive_max_count(kKeepAliveMaxRequests);
  http.set_keep_alive_timeout(kKeepAliveTimeout.count());
  http.set_read_timeout(kSocketTimeout.count());
  http.set_write_timeout(kSocketTimeout.count());
  // Bodies declared larger than any route takes are skipped by the library and answered with 413.
  http.set_payload_max_length(std::max(frame_limit, kMaxJsonBodyBytes));
  const int threads = config.http_threads;
  http.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };

  const httplib::Server::Handler plain = [this](const httplib::Request& req, httplib::Response& res) {
    to_httplib_response(api->handle(to_api_request(req, req.body)), res);
  };
  // Bodies are read through a receiver so a chunked upload cannot grow past the route's limit.
  const httplib::Server::HandlerWithContentReader streamed =
      [this, frame_limit](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
        const Route route = match_route(req.method, req.path);
        const std::size_t limit = std::max<std::size_t>(body_limit(route.kind, frame_limit), 1);
        std::string body;
        const auto declared = req.get_header_value<std::uint64_t>("Content-Length");
        if (declared > 0 && declared <= limit) body.reserve(static_cast<std::size_t>(declared));
        bool too_large = false;
        const bool complete = reader([&](const char* data, std::size_t length) {
          if (body.size() + length > limit) {
            too_large = true;
            return false;
          }
          body.append(data, length);
          return true;
        });
        if (too_large || res.status == 413) {
          to_httplib_response(error_response(413, "body larger than " + std::to_string(limit) + " bytes"), res);
          return;
        }
        if (!complete) {
          to_httplib_response(error_response(400, "the request body could not be read"), res);
          return;
        }
        to_httplib_response(api->handle(to_api_request(req, std::move(body))), res);
      };
  http.Get(".*", plain);
  http.Delete(".*", plain);
  http.Patch(".*", plain);
  http.Options(".*", plain);
  http.Post(".*", plain);
  http.Put(".*", plain);
  http.Post(".*", streamed);
  http.Put(".*", streamed);
  http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      const std::string reason = res.status == 413 ? "body too large" : "bad request";
      to_httplib_response(error_response(res.status, reason), res);
    }
  });
  http.set_exception_handler([this](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    log.warn("internal error in a request handler");
    to_httplib_response(error_response(500, "internal error"), res);
  });
  http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    log.debug(req.method + " " + printable(req.path, 200) + " -> " + std::to_string(res.status));
  });
}

void BackendServer::Impl::sweep_loop() {
  const auto ttl = std::chrono::duration_cast<std::chrono::milliseconds>(config.session_ttl);
  const auto interval = std::clamp(ttl / 4, std::chrono::milliseconds(kMinSweepInterval),
                                   std::chrono::milliseconds(kMaxSweepInterval));
  std::unique_lock<std::mutex> lock(sweep_mu);
  while (!stopping) {
    sweep_wake.wait_for(lock, interval, [this] { return stopping; });
    if (stopping) break;
    lock.unlock();
    try {
      for (const std::string& id : store->remove_expired(SteadyClock::now())) log.info("session " + id + " expired");
    } catch (const std::exception& e) {
      log.warn(std::string("expiry sweep: ") + e.what());
    }
    lock.lock();
  }
}

void BackendServer::Impl::stop() {
  if (!started) return;
  started = false;
  while (!listener_done.load() && !http.is_running()) std::this_thread::sleep_for(kListenerPollInterval);
  http.stop();
  if (listener.joinable()) listener.join();
  {
    const std::lock_guard<std::mutex> lock(sweep_mu);
    stopping = true;
  }
  sweep_wake.notify_all();
  if (sweeper.joinable()) sweeper.join();
  runner->stop();
  store->clear();
  if (own_workdir) {
    std::error_code ec;
    fs::remove_all(workdir, ec);
  }
  log.info("stopped");
}

BackendServer::BackendServer(BackendConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

BackendServer::~BackendServer() { stop(); }

Result<int> BackendServer::start() { return impl_->start(); }

void BackendServer::stop() { impl_->stop(); }

int BackendServer::port() const { return impl_->port; }

std::string BackendServer::base_url() const {
  const std::string& host = impl_->config.host;
  const bool ipv6 = host.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(impl_->port);
}

const fs::path& BackendServer::workdir() const { return impl_->workdir; }

SessionStore& BackendServer::sessions() { return *impl_->store; }

std::uint64_t BackendServer::beacons_received() const { return impl_->api ? impl_->api->beacons_received() : 0; }

}  // namespace kesto::backend
