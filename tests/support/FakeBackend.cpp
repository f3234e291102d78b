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

enum class Mode { kReply, kRedirect, kDrop, kStream, kDrip, kRespond };

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
  std::size_t total_bytes = 0;
  std::size_t chunk_bytes = 0;
  bool declare_length = true;
  char fill = 'x';
  std::size_t drip_chunks = 0;
  std::chrono::milliseconds drip_interval{0};
  std::function<Reply(const RecordedRequest &)> handler;
};

// A compiled POSIX extended regular expression, anchored to match a whole path.
class PathPattern {
 public:
  explicit PathPattern(const std::string &pattern) {
    const std::string anchored = "^(" + pattern + ")$";
    if (regcomp(&compiled_, anchored.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
      throw std::invalid_argument("fake backend: bad path pattern: " + pattern);
    }
  }
  ~PathPattern() { regfree(&compiled_); }
  PathPattern(const PathPattern &) = delete;
  PathPattern &operator=(const PathPattern &) = delete;
  bool matches(const std::string &path) const { return regexec(&compiled_, path.c_str(), 0, nullptr, 0) == 0; }

 private:
  regex_t compiled_{};
};

struct RouteState {
  std::string method;
  std::string path;
  std::unique_ptr<PathPattern> pattern;  // null for an exact path
  mutable std::mutex mu;
  RouteScript script;
  std::size_t hits = 0;

  bool matches(const std::string &request_method, const std::string &request_path) const {
    if (method != "*" && method != request_method) return false;
    return pattern ? pattern->matches(request_path) : request_path == path;
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

constexpr std::chrono::seconds kStartTimeout{10};
constexpr std::chrono::milliseconds kStartPoll{1};

using detail::Mode;
using detail::RouteScript;
using detail::RouteState;

bool iequals(const std::string &a, const std::string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// httplib does not hand out the connection's socket; find it among this process's descriptors by its two
// ends (this server's port and the client's port on loopback). -1 when it is gone.
int find_connection_socket(int local_port, int remote_port) {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int found = -1;
  while (dirent *entry = readdir(dir)) {
    char *end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(dir)) continue;
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t local_len = sizeof(local);
    socklen_t peer_len = sizeof(peer);
    const int sock = static_cast<int>(fd);
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&local), &local_len) != 0 || local.sin_family != AF_INET) {
      continue;
    }
    if (ntohs(local.sin_port) != local_port) continue;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &peer_len) != 0) continue;
    if (ntohs(peer.sin_port) == remote_port && peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
      found = sock;
      break;
    }
  }
  closedir(dir);
  return found;
}

RecordedRequest record_of(const httplib::Request &req) {
  RecordedRequest record;
  record.method = req.method;
  record.path = req.path;
  record.target = req.target;
  for (const auto &h : req.headers) record.headers.emplace_back(h.first, h.second);
  record.body = req.body;
  record.remote_port = req.remote_port;
  return record;
}

void apply_headers(const HeaderList &headers, httplib::Response &res) {
  for (const auto &h : headers) res.set_header(h.first.c_str(), h.second);
}

// Closes the connection under the request without a reply. httplib's own write of the response then fails
// and it drops the connection.
void drop_connection(int sock) {
  if (sock >= 0) shutdown(sock, SHUT_RDWR);
}

void serve_stream(const RouteScript &script, httplib::Response &res, detail::BackendState *state) {
  res.status = script.status;
  apply_headers(script.headers, res);
  const std::size_t total = script.total_bytes;
  const std::size_t chunk_bytes = std::max<std::size_t>(1, script.chunk_bytes);
  auto chunk = std::make_shared<std::string>(chunk_bytes, script.fill);
  if (script.declare_length) {
    res.set_content_provider(total, script.content_type,
                             [chunk, total, state](size_t offset, size_t length, httplib::DataSink &sink) {
                               if (state->pause(std::chrono::milliseconds(0)) == false) return false;
                               const std::size_t n = std::min({chunk->size(), length, total - offset});
                               return sink.write(chunk->data(), n);
                             });
  } else {
    auto sent = std::make_shared<std::size_t>(0);
    res.set_chunked_content_provider(script.content_type,
                                     [chunk, total, sent, state](size_t, httplib::DataSink &sink) {
                                       if (state->pause(std::chrono::milliseconds(0)) == false) return false;
                                       if (*sent >= total) {
                                         sink.done();
                                         return true;
                                       }
                                       const std::size_t n = std::min(chunk->size(), total - *sent);
                                       *sent += n;
                                       return sink.write(chunk->data(), n);
                                     });
  }
}

void serve_drip(const RouteScript &script, httplib::Response &res, detail::BackendState *state) {
  res.status = script.status;
  apply_headers(script.headers, res);
  auto chunk = std::make_shared<std::string>(std::max<std::size_t>(1, script.chunk_bytes), script.fill);
  auto sent = std::make_shared<std::size_t>(0);
  const std::size_t chunks = script.drip_chunks;
  const auto interval = script.drip_interval;
  res.set_chunked_content_provider(script.content_type,
                                   [chunk, sent, chunks, interval, state](size_t, httplib::DataSink &sink) {
                                     if (*sent >= chunks) {
                                       sink.done();
                                       return true;
                                     }
                                     if (!state->pause(interval)) return false;
                                     ++*sent;
                                     return sink.write(chunk->data(), chunk->size());
                                   });
}

void answer(detail::BackendState *state, const httplib::Request &req, httplib::Response &res) {
  const int sock = find_connection_socket(req.local_port, req.remote_port);
  RecordedRequest record = record_of(req);
  if (sock >= 0) {
    const int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    int value = 0;
    socklen_t len = sizeof(value);
    record.tcp_nodelay = getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &value, &len) == 0 && value != 0;
  }

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

  RouteScript script;
  std::size_t attempt = 0;
  {
    std::lock_guard<std::mutex> lock(route->mu);
    script = route->script;
    attempt = ++route->hits;
  }

  if (attempt <= static_cast<std::size_t>(std::max(0, script.drop_first))) {
    drop_connection(sock);
    return;
  }
  if (attempt <= static_cast<std::size_t>(std::max(0, script.drop_first) + std::max(0, script.fail_first))) {
    res.status = script.fail_status;
    apply_headers(script.headers, res);
    res.set_content(script.fail_body, script.content_type.c_str());
    return;
  }
  if (script.delay.count() > 0 && !state->pause(script.delay)) {
    drop_connection(sock);
    return;
  }
  switch (script.mode) {
    case Mode::kReply:
      res.status = script.status;
      apply_headers(script.headers, res);
      res.set_content(script.body, script.content_type.c_str());
      return;
    case Mode::kRedirect:
      res.status = script.status;
      apply_headers(script.headers, res);
      res.set_header("Location", script.location);
      res.set_content(script.body, "text/plain");
      return;
    case Mode::kDrop:
      drop_connection(sock);
      return;
    case Mode::kStream:
      serve_stream(script, res, state);
      return;
    case Mode::kDrip:
      serve_drip(script, res, state);
      return;
    case Mode::kRespond:
      try {
        const Reply reply = script.handler ? script.handler(record) : Reply{};
        res.status = reply.status;
        apply_headers(script.headers, res);
        apply_headers(reply.headers, res);
        res.set_content(reply.body, reply.content_type.c_str());
      } catch (const std::exception &e) {
        res.status = 500;
        res.set_content(std::string("fake backend handler threw: ") + e.what(), "text/plain");
      } catch (...) {
        res.status = 500;
        res.set_content("fake backend handler threw", "text/plain");
      }
      return;
  }
}

std::shared_ptr<RouteState> make_route(const std::string &method, const std::string &path, bool is_pattern) {
  auto route = std::make_shared<RouteState>();
  route->method = method;
  route->path = path;
  if (is_pattern) route->pattern = std::make_unique<detail::PathPattern>(path);
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

Route Route::reply(int status, std::string body, std::string content_type) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->script.mode = Mode::kReply;
  state_->script.status = status;
  state_->script.body = std::move(body);
  state_->script.content_type = std::move(content_type);
  return *this;
}

Route Route::header(std::string name, std::string value) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->script.headers.emplace_back(std::move(name), std::move(value));
  return *this;
}

Route Route::delay(std::chrono::milliseconds wait) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->script.delay = wait;
  return *this;
}

Route Route::redirect(int status, std::string location) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->script.mode = Mode::kRedirect;
  state_->script.status = status;
  state_->script.location = std::move(location);
  state_->script.body.clear();
  return *this;
}

Route Route::failFirst(int attempts, int status, std::string body) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->script.fail_first = attempts;
  state_->script.fail_status = status;
  state_->script.fail_body = std::move(body);
  return *this;
}

Route Route::dropFirst(int attempts) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->script.drop_first = attempts;
  return *this;
}

Route Route::drop() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->script.mode = Mode::kDrop;
  return *this;
}

Route Route::streamBody(std::size_t total_bytes, std::size_t chunk_bytes, bool declare_length, char fill,
                        int status) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->script.mode = Mode::kStream;
  state_->script.total_bytes = total_bytes;
  state_->script.chunk_bytes = chunk_bytes;
  state_->script.declare_length = declare_length;
  state_->script.fill = fill;
  state_->script.status = status;
  state_->script.content_type = "application/octet-stream";
  return *this;
}

Route Route::drip(std::size_t chunks, std::size_t chunk_bytes, std::chrono::milliseconds interval, int status) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->script.mode = Mode::kDrip;
  state_->script.drip_chunks = chunks;
  state_->script.chunk_bytes = chunk_bytes;
  state_->script.drip_interval = interval;
  state_->script.status = status;
  state_->script.content_type = "application/octet-stream";
  return *this;
}

Route Route::respond(std::function<Reply(const RecordedRequest &)> handler) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->script.mode = Mode::kRespond;
  state_->script.handler = std::move(handler);
  return *this;
}

std::size_t Route::hits() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->hits;
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
  const char *kEveryPath = ".*";
  server.Get(kEveryPath, handler);
  server.Post(kEveryPath, handler);
  server.Put(kEveryPath, handler);
  server.Patch(kEveryPath, handler);
  server.Delete(kEveryPath, handler);
  server.Options(kEveryPath, handler);

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
  const auto give_up = std::chrono::steady_clock::now() + kStartTimeout;
  while (!server.is_running() && !state->listener_done && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(kStartPoll);
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

Route FakeBackend::on(const std::string &method, const std::string &path) {
  auto route = make_route(method, path, false);
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->routes.push_back(route);
  return Route(route);
}

Route FakeBackend::onPattern(const std::string &method, const std::string &path_pattern) {
  auto route = make_route(method, path_pattern, true);
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->routes.push_back(route);
  return Route(route);
}

Route FakeBackend::fallback() {
  std::lock_guard<std::mutex> lock(state_->mu);
  return Route(state_->fallback);
}

std::vector<RecordedRequest> FakeBackend::requests() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->recorded;
}

std::vector<RecordedRequest> FakeBackend::requests(const std::string &method, const std::string &path) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  std::vector<RecordedRequest> matching;
  for (const auto &r : state_->recorded) {
    if (r.method == method && r.path == path) matching.push_back(r);
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
