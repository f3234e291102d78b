#pragma once
// A scriptable HTTP server for tests: in-process, on 127.0.0.1 and a port the OS chooses, recording every
// request. Scripted per route (method and exact path, or method and path pattern); the most recently added
// matching route answers, and unmatched requests get 404 "not found".
//
//   kesto::test::FakeBackend fb;
//   fb.on("POST", "/api/beacon").reply(200, "{}");
//   fb.onPattern("PUT", "/api/matte/sessions/[^/]+/frames/[0-9]+").dropFirst(2).reply(200, "{}");
//   client.post_json(fb.url() + "/api/beacon", "{}");
//   fb.waitForRequests(1, std::chrono::seconds(3));
//   fb.requests()[0].body ...
//
// The destructor stops the server and joins its threads; scripted delays and slow bodies end early then.
// Nagle's algorithm is off on every connection (accepted sockets inherit it from the listening one). Routes may be scripted at any time, also while serving.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kesto {
namespace test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string path;    // decoded path, without the query
  std::string target;  // the request target as sent, with the query
  HeaderList headers;  // in the order received
  std::string body;
  int remote_port = 0;  // the client's port: requests from one connection share it

  // Value of the first header of that name (case-insensitive); "" when absent.
  std::string header(const std::string &name) const;
  std::size_t headerCount(const std::string &name) const;
};

// A reply computed per request by Route::respond.
struct Reply {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  HeaderList headers;
};

namespace detail {
struct RouteState;
struct BackendState;
}  // namespace detail

// A handle on one scripted route. Copies share the route. What a request gets, in this order:
//   dropFirst attempts (counted per route from 1), then the delay, then the reply mode:
//   reply (default 200, empty body), redirect, streamBody, drip or respond (the last one set wins).
class Route {
 public:
  // A fixed reply.
  Route reply(int status, std::string body = std::string(), std::string content_type = "application/json");
  // Waits this long before replying (ends early when the server stops).
  Route delay(std::chrono::milliseconds wait);
  // Answers with status (301, 302, 307, ...) and a Location header.
  Route redirect(int status, std::string location);
  // The first `attempts` requests get no usable reply: the connection closes after the headers, before the
  // body they announce.
  Route dropFirst(int attempts);
  // A 200 reply of total_bytes bytes of 'x', produced on the fly in chunks, one every `interval` (the first
  // after one interval), so nothing that size is held in memory. With declare_length the length goes in
  // Content-Length; otherwise the body is chunked.
  Route streamBody(std::size_t total_bytes, std::size_t chunk_bytes, bool declare_length,
                   std::chrono::milliseconds interval = std::chrono::milliseconds(0));
  // A reply computed from each request (called on a server thread; an exception gives 500).
  Route respond(std::function<Reply(const RecordedRequest &)> handler);

 private:
  friend class FakeBackend;
  explicit Route(std::shared_ptr<detail::RouteState> state) : state_(std::move(state)) {}
  template <class Edit>
  Route edit(Edit edit);
  std::shared_ptr<detail::RouteState> state_;
};

class FakeBackend {
 public:
  // Binds 127.0.0.1 on an ephemeral port and starts serving; throws std::runtime_error if it cannot.
  FakeBackend();
  ~FakeBackend();
  FakeBackend(const FakeBackend &) = delete;
  FakeBackend &operator=(const FakeBackend &) = delete;

  // "http://127.0.0.1:PORT", no trailing slash.
  std::string url() const;

  // Method "*" matches every method. A path pattern is a POSIX extended regular expression matched against the whole
  // path; a bad pattern throws std::invalid_argument.
  Route on(const std::string &method, const std::string &path);
  Route onPattern(const std::string &method, const std::string &path_pattern);

  std::vector<RecordedRequest> requests() const;
  // The requests of that method whose path matches the pattern (as in onPattern; an exact path is one).
  std::vector<RecordedRequest> requests(const std::string &method, const std::string &path_pattern) const;
  // Waits until at least `count` requests have been recorded; false when the wait timed out.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  void clearRequests();

 private:
  Route add(const std::string &method, const std::string &path, bool is_pattern);
  std::shared_ptr<detail::BackendState> state_;
};

// Scripts a whole session of the matte protocol: session `id` is created, every frame and the start are taken,
// the first poll says it completed, and every frame's matte is `matte` (PNG bytes).
void scriptMatteSession(FakeBackend &fb, const std::string &id, const std::string &matte);

}  // namespace test
}  // namespace kesto
