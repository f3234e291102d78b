#include "BackendServer.h"

#include <stdlib.h>

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
#include "HttpCarrier.h"
#include "JobRunner.h"
#include "Routes.h"
#include "SessionStore.h"
#include "Validation.h"

namespace kesto::backend {

namespace fs = std::filesystem;

namespace {

constexpr auto kMinSweepInterval = std::chrono::milliseconds(50);
constexpr auto kMaxSweepInterval = std::chrono::seconds(30);

}  // namespace

struct BackendServer::Impl {
  explicit Impl(BackendConfig c)
      : config(std::move(c)), log(config.log_level), budget(std::make_shared<DiskBudget>(config.max_disk_bytes)) {}

  Result<int> start();
  void stop();
  std::unique_ptr<HttpCarrier> make_carrier();
  void sweep_loop();

  BackendConfig config;
  Log log;
  std::shared_ptr<DiskBudget> budget;
  fs::path workdir;
  bool own_workdir = false;
  std::unique_ptr<SessionStore> store;
  std::unique_ptr<JobRunner> runner;
  std::unique_ptr<ApiHandlers> api;
  std::unique_ptr<HttpCarrier> http;
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
  }

  store = std::make_unique<SessionStore>(
      workdir, StoreLimits{config.max_sessions, std::chrono::duration_cast<SteadyClock::duration>(config.session_ttl)},
      budget, config.node);
  if (!own_workdir) {
    const Recovered found = store->recover(SteadyClock::now());
    if (found.completed + found.failed + found.discarded > 0) {
      log.info("an earlier run left " + std::to_string(found.completed) + " finished sessions (served again), " +
               std::to_string(found.failed) + " failed or cut short by the restart, and " +
               std::to_string(found.discarded) + " unusable session folders (removed)");
    }
  }
  runner = std::make_unique<JobRunner>(config.max_jobs, factory, log);
  api = std::make_unique<ApiHandlers>(config, *store, *runner, log);
  http = make_carrier();
  auto bound = http->start();
  if (!bound.ok()) {
    runner->stop();
    if (own_workdir) fs::remove_all(workdir, ec);
    return bound.error();
  }
  port = bound.value();
  sweeper = std::thread([this] { sweep_loop(); });
  started = true;
  log.info("listening on " + config.host + ":" + std::to_string(port) + ", engine " + config.engine +
           (config.engine == "neural" ? " (model " + config.neural.model_path + ")" : std::string()) +
           ", working folder " + workdir.string());
  return port;
}

std::unique_ptr<HttpCarrier> BackendServer::Impl::make_carrier() {
  CarrierOptions options;
  options.host = config.host;
  options.port = config.port;
  options.workers = config.http_threads;
  options.header_timeout = config.header_timeout;
  options.idle_timeout = config.idle_timeout;
  options.max_body_bytes = std::max(config.max_frame_bytes, kMaxJsonBodyBytes);
  const std::size_t frame_limit = config.max_frame_bytes;
  // A path no route takes may still carry a small body: it is read and answered 404 or 405, not 413.
  BodyLimit limit = [frame_limit](std::string_view method, std::string_view path) {
    const RouteKind kind = match_route(method, path).kind;
    if (kind == RouteKind::NotFound || kind == RouteKind::MethodNotAllowed) return kMaxJsonBodyBytes;
    return body_limit(kind, frame_limit);
  };
  return std::make_unique<HttpCarrier>(options, [this](const ApiRequest& request) { return api->handle(request); },
                                       std::move(limit), log);
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
  http->stop();
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
