#include "tests/support/FakeBackend.h"

#include <pthread.h>
#include <regex.h>
#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <httplib.h>

namespace kesto {
namespace test {

namespace detail {

// Everything a route does, copied whole for each request so that scripting never races with serving.
struct RouteScript {
  Reply reply;
  std::function<Reply(const RecordedRequest &)> handler;
  std::chrono::milliseconds delay{0};
  int drop_first = 0;
  // A body made on the fly: chunks of chunk_bytes up to stream_bytes, one every interval.
  bool stream = false;
  bool declare_length = true;
  std::size_t stream_bytes = 0;
  std::size_t chunk_bytes = 1;
  std::chrono::milliseconds interval{0};
};

struct RouteState {
  std::string method;
  std::string path;
  bool is_pattern = false;
  regex_t pattern{};  // anchored to the whole path
  std::mutex mu;
  RouteScript script;
  int hits = 0;

  RouteState(const std::string &m, const std::string &p, bool pattern_path) : method(m), path(p) {
    if (pattern_path && regcomp(&pattern, ("^(" + p + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
      throw std::invalid_argument("fake backend: bad path pattern: " + p);
    }
    is_pattern = pattern_path;
  }
  ~RouteState() {
    if (is_pattern) regfree(&pattern);
  }
  bool matches(const std::string &request_method, const std::string &request_path) const {
    if (method != "*" && method != request_method) return false;
    return is_pattern ? regexec(&pattern, request_path.c_str(), 0, nullptr, 0) == 0 : request_path == path;
  }
};

struct BackendState {
  httplib::Server server;
  int port = 0;
  std::thread listener;
  std::atomic<bool> listener_done{false};

  mutable std::mutex mu;
  mutable std::condition_variable recorded_cv;
  std::vector<RecordedRequest> recorded;
  std::vector<std::shared_ptr<RouteState>> routes;
  std::shared_ptr<RouteState> fallback = std::make_shared<RouteState>("*", "", false);

  // Wakes scripted waits when the server stops.
  std::mutex stop_mu;
  std::condition_variable stop_cv;
  bool stopping = false;

  // Sleeps up to `wait`; false when the server began stopping meanwhile.
  bool pause(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(stop_mu);
    return !stop_cv.wait_for(lock, wait, [this] { return stopping; });
  }
};

}  // namespace detail

namespace {

using detail::RouteScript;
using detail::RouteState;

void serve_stream(const RouteScript &s, const std::string &type, httplib::Response &res, detail::BackendState *state) {
  auto chunk = std::make_shared<std::string>(std::max<std::size_t>(1, s.chunk_bytes), 'x');
  const std::size_t total = s.stream_bytes;
  const auto interval = s.interval;
  if (s.declare_length) {
    res.set_content_provider(total, type, [=](size_t offset, size_t length, httplib::DataSink &sink) {
      return state->pause(interval) && sink.write(chunk->data(), std::min({chunk->size(), length, total - offset}));
    });
    return;
  }
  auto sent = std::make_shared<std::size_t>(0);
  res.set_chunked_content_provider(type, [=](size_t, httplib::DataSink &sink) {
    if (*sent >= total) {
      sink.done();
      return true;
    }
    const std::size_t n = std::min(chunk->size(), total - *sent);
    *sent += n;
    return state->pause(interval) && sink.write(chunk->data(), n);
  });
}

void answer(detail::BackendState *state, const httplib::Request &req, httplib::Response &res) {
  const RecordedRequest record{req.method, req.path, req.target, {req.headers.begin(), req.headers.end()},
                               req.body, req.remote_port};
  std::shared_ptr<RouteState> route = state->fallback;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    state->recorded.push_back(record);
    const auto found = std::find_if(state->routes.rbegin(), state->routes.rend(),
                                    [&](const auto &r) { return r->matches(req.method, req.path); });
    if (found != state->routes.rend()) route = *found;
  }
  state->recorded_cv.notify_all();

  RouteScript s;
  int attempt = 0;
  {
    std::lock_guard<std::mutex> lock(route->mu);
    s = route->script;
    attempt = ++route->hits;
  }
  // The reply promises a byte that never comes: httplib closes the connection after its headers.
  const auto drop = [&res] {
    res.set_content_provider(1, "text/plain", [](size_t, size_t, httplib::DataSink &) { return false; });
  };
  if (attempt <= s.drop_first) return drop();
  if (s.delay.count() > 0 && !state->pause(s.delay)) return drop();
  Reply reply;
  try {
    reply = s.handler ? s.handler(record) : s.reply;
  } catch (const std::exception &e) {
    reply = Reply{500, std::string("fake backend handler threw: ") + e.what(), "text/plain", {}};
  }
  res.status = reply.status;
  for (const auto &h : reply.headers) res.set_header(h.first.c_str(), h.second);
  if (s.stream) return serve_stream(s, reply.content_type, res, state);
  res.set_content(reply.body, reply.content_type.c_str());
}

}  // namespace

std::string RecordedRequest::header(const std::string &name) const {
  for (const auto &h : headers) {
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
  }
  return std::string();
}

std::size_t RecordedRequest::headerCount(const std::string &name) const {
  return static_cast<std::size_t>(std::count_if(
      headers.begin(), headers.end(), [&](const auto &h) { return strcasecmp(h.first.c_str(), name.c_str()) == 0; }));
}

template <class Edit>
Route Route::edit(Edit edit) {
  std::lock_guard<std::mutex> lock(state_->mu);
  edit(state_->script);
  return *this;
}

// The reply modes replace one another.
Route Route::reply(int status, std::string body, std::string type) {
  return edit([&](RouteScript &s) {
    s.reply = Reply{status, body, type, {}};
    s.stream = false, s.handler = nullptr;
  });
}
Route Route::delay(std::chrono::milliseconds wait) {
  return edit([&](RouteScript &s) { s.delay = wait; });
}
Route Route::redirect(int status, std::string location) {
  return reply(status, "", "text/plain").edit([&](RouteScript &s) { s.reply.headers = {{"Location", location}}; });
}
Route Route::dropFirst(int attempts) {
  return edit([&](RouteScript &s) { s.drop_first = std::max(0, attempts); });
}
Route Route::streamBody(std::size_t total_bytes, std::size_t chunk_bytes, bool declare_length,
                        std::chrono::milliseconds interval) {
  reply(200, "", "application/octet-stream");
  return edit([&](RouteScript &s) {
    s.stream = true, s.stream_bytes = total_bytes, s.chunk_bytes = chunk_bytes, s.declare_length = declare_length;
    s.interval = interval;
  });
}
Route Route::respond(std::function<Reply(const RecordedRequest &)> handler) {
  reply(200);
  return edit([&](RouteScript &s) { s.handler = handler; });
}

FakeBackend::FakeBackend() : state_(std::make_shared<detail::BackendState>()) {
  detail::BackendState *state = state_.get();
  state->fallback->script.reply = Reply{404, "not found", "text/plain", {}};
  httplib::Server &server = state->server;
  server.set_tcp_nodelay(true);
  // Short idle keep-alive, so that stopping never waits long on a client that keeps its connection open.
  server.set_keep_alive_timeout(1);
  server.set_keep_alive_max_count(100000);
  const auto handler = [state](const httplib::Request &req, httplib::Response &res) { answer(state, req, res); };
  server.Get(".*", handler).Post(".*", handler).Put(".*", handler);  // all that the clients under test send

  state->port = server.bind_to_any_port("127.0.0.1");
  if (state->port <= 0) throw std::runtime_error("fake backend: cannot bind 127.0.0.1");
  state->listener = std::thread([state] {
    // The serving threads start from this one and inherit its mask: a client that hangs up mid-reply then
    // gives a failed write instead of a SIGPIPE that would end the test process.
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
    state->server.listen_after_bind();
    state->listener_done = true;
  });
  // httplib's stop() does nothing until the server runs: wait for that, so a destructor right after
  // construction cannot miss it and wait forever.
  while (!server.is_running() && !state->listener_done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!server.is_running()) {
    state->listener.join();
    throw std::runtime_error("fake backend: server did not start");
  }
}

FakeBackend::~FakeBackend() {
  {
    std::lock_guard<std::mutex> lock(state_->stop_mu);
    state_->stopping = true;
  }
  state_->stop_cv.notify_all();
  state_->server.stop();
  state_->listener.join();
}

std::string FakeBackend::url() const { return "http://127.0.0.1:" + std::to_string(state_->port); }

Route FakeBackend::on(const std::string &method, const std::string &path) { return add(method, path, false); }

Route FakeBackend::onPattern(const std::string &method, const std::string &path_pattern) {
  return add(method, path_pattern, true);
}

Route FakeBackend::add(const std::string &method, const std::string &path, bool is_pattern) {
  auto route = std::make_shared<RouteState>(method, path, is_pattern);
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->routes.push_back(route);
  return Route(route);
}

std::vector<RecordedRequest> FakeBackend::requests() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->recorded;
}

std::vector<RecordedRequest> FakeBackend::requests(const std::string &method, const std::string &path_pattern) const {
  const RouteState filter(method, path_pattern, true);
  std::vector<RecordedRequest> matching;
  for (auto &r : requests()) {
    if (filter.matches(r.method, r.path)) matching.push_back(std::move(r));
  }
  return matching;
}

bool FakeBackend::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(state_->mu);
  return state_->recorded_cv.wait_for(lock, timeout, [&] { return state_->recorded.size() >= count; });
}

void FakeBackend::clearRequests() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->recorded.clear();
}

void scriptMatteSession(FakeBackend &fb, const std::string &id, const std::string &matte) {
  fb.on("POST", "/api/matte/sessions").reply(200, "{\"session_id\":\"" + id + "\"}");
  fb.onPattern("PUT", "/api/matte/sessions/[^/]+/frames/[0-9]+").reply(200, "{}");
  fb.onPattern("POST", "/api/matte/sessions/[^/]+/start").reply(200, "{}");
  fb.onPattern("GET", "/api/matte/sessions/[^/]+").reply(200, R"({"status":"COMPLETED"})");
  fb.onPattern("GET", "/api/matte/sessions/[^/]+/alpha/[0-9]+\\.png").reply(200, matte, "image/png");
}

}  // namespace test
}  // namespace kesto
