#pragma once
// Carries HTTP/1.1 requests to a handler and its responses back, on Boost.Beast over Asio. One event-loop
// thread reads and writes every connection, so an idle or slow client costs only its buffers, never a thread;
// the handler runs on a bounded pool of workers, so a handler that waits on the disk never stalls the loop.
//
// Deadlines: a request's headers must be complete within `header_timeout` of its first byte (of the accept
// for a new connection); a kept-alive connection may sit idle for `idle_timeout` before its next request; a
// body may pause for at most `body_idle_timeout` between reads. Bodies are refused with 413 past the limit
// `body_limit` gives for the request's method and path, before they are read when the length is declared.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ApiHandlers.h"
#include "Log.h"
#include "Result.h"

namespace kesto::backend {

struct CarrierOptions {
  std::string host = "127.0.0.1";
  int port = 0;                    // 0: the system picks a free port
  int workers = 8;                 // handlers running at once
  std::size_t max_waiting = 1024;  // requests waiting for a worker; beyond, 503
  std::chrono::milliseconds header_timeout{std::chrono::seconds(10)};
  std::chrono::milliseconds idle_timeout{std::chrono::seconds(5)};
  std::chrono::milliseconds body_idle_timeout{std::chrono::seconds(30)};
  std::chrono::milliseconds write_timeout{std::chrono::seconds(60)};
  std::size_t max_header_bytes = 16 * 1024;
  std::size_t max_body_bytes = 32 * 1024 * 1024;  // the largest body any route takes
};

using RequestHandler = std::function<ApiResponse(const ApiRequest&)>;
using BodyLimit = std::function<std::size_t(std::string_view method, std::string_view path)>;

class HttpCarrier {
 public:
  HttpCarrier(CarrierOptions options, RequestHandler handler, BodyLimit body_limit, const Log& log);
  ~HttpCarrier();
  HttpCarrier(const HttpCarrier&) = delete;
  HttpCarrier& operator=(const HttpCarrier&) = delete;

  // Binds and starts the loop and the workers. Returns the bound port.
  Result<int> start();
  // Closes every connection without waiting for clients, lets running handlers finish, joins every thread.
  // Idempotent.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kesto::backend
