#include "tests/support/FakeBackend.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <regex.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <httplib.h>

namespace kesto {
namespace test {

namespace detail {

enum class Mode { kReply, kRedirect, kDrop, kStream, kRespond };

// Everything a route does, copied whole for each request so that scripting never races with serving.
struct RouteScript {
  Mode mode = Mode::kReply;
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  HeaderList headers;
  std::chrono::milliseconds delay{0};
  std::string location;
  int fail_first = 0;
  int fail_status = 500;
  std::string fail_body;
  int drop_first = 0;
  // kStream: chunks of chunk_bytes up to total_bytes, one every interval (0: as fast as they go).
  std::size_t total_bytes = 0;
  std::size_t chunk_bytes = 1;
  bool declare_length = true;
  char fill = 'x';
  std::chrono::milliseconds interval{0};
  std::function<Reply(const RecordedRequest &)> handler;
};

struct RouteState {
  std::string method;
  std::string path;
  bool is_pattern = false;
  regex_t pattern{};  // anchored to the whole path
  mutable std::mutex mu;
  RouteScript script;
  int hits = 0;

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
  std::shared_ptr<RouteState> fallback;

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

using detail::Mode;
using detail::RouteScript;
using detail::RouteState;

bool iequals(const std::string &a, const std::string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// httplib does not hand out the connection's socket: find it among this process's descriptors by its two
// ends (this server's port and the client's port on loopback). -1 when it is gone.
int connection_socket(int local_port, int remote_port) {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int found = -1;
  while (dirent *entry = readdir(dir)) {
    const int sock = std::atoi(entry->d_name);
    sockaddr_in local{}, peer{};
    socklen_t local_len = sizeof(local), peer_len = sizeof(peer);
    if (sock > 2 && sock != dirfd(dir) && getsockname(sock, reinterpret_cast<sockaddr *>(&local), &local_len) == 0 &&
        local.sin_family == AF_INET && ntohs(local.sin_port) == local_port &&
        getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &peer_len) == 0 && ntohs(peer.sin_port) == remote_port &&
        peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
      found = sock;
      break;
    }
  }
  closedir(dir);
  return found;
}

void serve_stream(const RouteScript &s, httplib::Response &res, detail::BackendState *state) {
  auto chunk = std::make_shared<std::string>(std::max<std::size_t>(1, s.chunk_bytes), s.fill);
  const std::size_t total = s.total_bytes;
  const auto interval = s.interval;
  if (s.declare_length) {
    res.set_content_provider(total, s.content_type, [=](size_t offset, size_t length, httplib::DataSink &sink) {
      return state->pause(interval) && sink.write(chunk->data(), std::min({chunk->size(), length, total - offset}));
    });
    return;
  }
  auto sent = std::make_shared<std::size_t>(0);
  res.set_chunked_content_provider(s.content_type, [=](size_t, httplib::DataSink &sink) {
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
  const int sock = connection_socket(req.local_port, req.remote_port);
  if (sock >= 0) {
    const int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  }
  RecordedRequest record{req.method, req.path, req.target, {}, req.body, req.remote_port};
  for (const auto &h : req.headers) record.headers.emplace_back(h.first, h.second);
  std::shared_ptr<RouteState> route;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    state->recorded.push_back(record);
    for (auto it = state->routes.rbegin(); it != state->routes.rend() && !route; ++it) {
      if ((*it)->matches(req.method, req.path)) route = *it;
    }
    if (!route) route = state->fallback;
  }
  state->recorded_cv.notify_all();

  RouteScript s;
  int attempt = 0;
  {
    std::lock_guard<std::mutex> lock(route->mu);
    s = route->script;
    attempt = ++route->hits;
  }
  // Closing the connection under the request leaves no reply: httplib's own write of it then fails.
  const auto drop = [sock] {
    if (sock >= 0) shutdown(sock, SHUT_RDWR);
  };
  for (const auto &h : s.headers) res.set_header(h.first.c_str(), h.second);
  res.status = s.status;
  if (attempt <= s.drop_first) return drop();
  if (attempt <= s.drop_first + s.fail_first) {
    res.status = s.fail_status;
    return res.set_content(s.fail_body, s.content_type.c_str());
  }
  if (s.delay.count() > 0 && !state->pause(s.delay)) return drop();
  switch (s.mode) {
    case Mode::kReply:
      return res.set_content(s.body, s.content_type.c_str());
    case Mode::kRedirect:
      res.set_header("Location", s.location);
      return res.set_content(s.body, "text/plain");
    case Mode::kDrop:
      return drop();
    case Mode::kStream:
      return serve_stream(s, res, state);
    case Mode::kRespond:
      try {
        const Reply reply = s.handler ? s.handler(record) : Reply{};
        res.status = reply.status;
        for (const auto &h : reply.headers) res.set_header(h.first.c_str(), h.second);
        res.set_content(reply.body, reply.content_type.c_str());
      } catch (const std::exception &e) {
        res.status = 500;
        res.set_content(std::string("fake backend handler threw: ") + e.what(), "text/plain");
      }
      return;
  }
}

std::shared_ptr<RouteState> make_route(const std::string &method, const std::string &path, bool is_pattern) {
  auto route = std::make_shared<RouteState>();
  route->method = method;
  route->path = path;
  if (is_pattern) {
    if (regcomp(&route->pattern, ("^(" + path + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
      throw std::invalid_argument("fake backend: bad path pattern: " + path);
    }
    route->is_pattern = true;
  }
  return route;
}

}  // namespace

std::string RecordedRequest::header(const std::string &name) const {
  for (const auto &h : headers) {
    if (iequals(h.first, name)) return h.second;
  }
  return std::string();
}

std::size_t RecordedRequest::headerCount(const std::string &name) const {
  return static_cast<std::size_t>(
      std::count_if(headers.begin(), headers.end(), [&](const auto &h) { return iequals(h.first, name); }));
}

template <class Edit>
Route Route::edit(Edit edit) {
  std::lock_guard<std::mutex> lock(state_->mu);
  edit(state_->script);
  return *this;
}

Route Route::reply(int status, std::string body, std::string type) {
  return edit([&](RouteScript &s) { s.mode = Mode::kReply, s.status = status, s.body = body, s.content_type = type; });
}
Route Route::header(std::string name, std::string value) {
  return edit([&](RouteScript &s) { s.headers.emplace_back(name, value); });
}
Route Route::delay(std::chrono::milliseconds wait) {
  return edit([&](RouteScript &s) { s.delay = wait; });
}
Route Route::redirect(int status, std::string location) {
  return edit([&](RouteScript &s) { s.mode = Mode::kRedirect, s.status = status, s.location = location, s.body.clear(); });
}
Route Route::failFirst(int attempts, int status, std::string body) {
  return edit([&](RouteScript &s) { s.fail_first = std::max(0, attempts), s.fail_status = status, s.fail_body = body; });
}
Route Route::dropFirst(int attempts) {
  return edit([&](RouteScript &s) { s.drop_first = std::max(0, attempts); });
}
Route Route::drop() {
  return edit([&](RouteScript &s) { s.mode = Mode::kDrop; });
}
Route Route::streamBody(std::size_t total_bytes, std::size_t chunk_bytes, bool declare_length, char fill, int status) {
  return edit([&](RouteScript &s) {
    s.mode = Mode::kStream, s.status = status, s.content_type = "application/octet-stream";
    s.total_bytes = total_bytes, s.chunk_bytes = chunk_bytes, s.declare_length = declare_length, s.fill = fill;
    s.interval = std::chrono::milliseconds(0);
  });
}
Route Route::drip(std::size_t chunks, std::size_t chunk_bytes, std::chrono::milliseconds interval, int status) {
  streamBody(chunks * std::max<std::size_t>(1, chunk_bytes), chunk_bytes, false, 'x', status);
  return edit([&](RouteScript &s) { s.interval = interval; });
}
Route Route::respond(std::function<Reply(const RecordedRequest &)> handler) {
  return edit([&](RouteScript &s) { s.mode = Mode::kRespond, s.handler = handler; });
}

FakeBackend::FakeBackend() : state_(std::make_shared<detail::BackendState>()) {
  detail::BackendState *state = state_.get();
  state->fallback = make_route("*", "", false);
  state->fallback->script.status = 404;
  state->fallback->script.body = "not found";
  state->fallback->script.content_type = "text/plain";

  httplib::Server &server = state->server;
  server.set_tcp_nodelay(true);
  // Short idle keep-alive, so that stopping never waits long on a client that keeps its connection open.
  server.set_keep_alive_timeout(1);
  server.set_keep_alive_max_count(100000);
  const auto handler = [state](const httplib::Request &req, httplib::Response &res) { answer(state, req, res); };
  server.Get(".*", handler).Post(".*", handler).Put(".*", handler);
  server.Patch(".*", handler).Delete(".*", handler).Options(".*", handler);

  state->port = server.bind_to_any_port("127.0.0.1");
  if (state->port <= 0) throw std::runtime_error("fake backend: cannot bind 127.0.0.1");
  state->listener = std::thread([state, keep_alive = state_] {
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
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server.is_running() && !state->listener_done && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server.is_running()) {
    if (state->listener_done) {
      state->listener.join();
    } else {
      state->listener.detach();  // holds its own reference to the state
    }
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
  if (state_->listener.joinable()) state_->listener.join();
}

std::string FakeBackend::url() const { return "http://127.0.0.1:" + std::to_string(state_->port); }

int FakeBackend::port() const { return state_->port; }

Route FakeBackend::on(const std::string &method, const std::string &path) { return add(make_route(method, path, false)); }

Route FakeBackend::onPattern(const std::string &method, const std::string &path_pattern) {
  return add(make_route(method, path_pattern, true));
}

Route FakeBackend::add(std::shared_ptr<detail::RouteState> route) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->routes.push_back(route);
  return Route(route);
}

Route FakeBackend::fallback() { return Route(state_->fallback); }

std::vector<RecordedRequest> FakeBackend::requests() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->recorded;
}

std::vector<RecordedRequest> FakeBackend::requests(const std::string &method, const std::string &path) const {
  std::vector<RecordedRequest> matching;
  for (auto &r : requests()) {
    if (r.method == method && r.path == path) matching.push_back(std::move(r));
  }
  return matching;
}

std::size_t FakeBackend::requestCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->recorded.size();
}

bool FakeBackend::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(state_->mu);
  return state_->recorded_cv.wait_for(lock, timeout, [&] { return state_->recorded.size() >= count; });
}

void FakeBackend::clearRequests() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->recorded.clear();
}

}  // namespace test
}  // namespace kesto
