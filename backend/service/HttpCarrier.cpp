#include "HttpCarrier.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <exception>
#include <thread>

#include "HttpConnection.h"

namespace kesto::backend {

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// Out of file descriptors, accept fails at once; wait a little before trying again rather than spin.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

}  // namespace

struct HttpCarrier::Impl {
  Impl(CarrierOptions options, RequestHandler handler, BodyLimit body_limit, const Log& l)
      : log(l), shared(std::make_shared<CarrierShared>(std::move(options), std::move(handler), std::move(body_limit), l)) {}

  Result<int> start();
  void stop();
  Result<int> listen();
  void accept();
  void run_loop();

  const Log& log;
  std::shared_ptr<CarrierShared> shared;
  // Destroyed in reverse: the workers' abandoned tasks and the loop's pending handlers hold connections, whose
  // sockets need the io_context, so the pool goes first and the io_context last.
  std::unique_ptr<net::io_context> io;
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<net::steady_timer> accept_retry;
  std::unique_ptr<net::thread_pool> workers;
  std::thread loop;
  bool accept_failing = false;
  bool started = false;
};

Result<int> HttpCarrier::Impl::listen() {
  const CarrierOptions& o = shared->options;
  const std::string where = o.host + ":" + std::to_string(o.port);
  boost::system::error_code ec;
  tcp::resolver resolver(*io);
  const auto endpoints =
      resolver.resolve(o.host, std::to_string(o.port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec) return ApiError{500, "cannot listen on " + where + ": " + ec.message()};
  std::string reason = "no address";
  for (const auto& entry : endpoints) {
    auto candidate = std::make_unique<tcp::acceptor>(*io);
    const tcp::endpoint endpoint = entry.endpoint();
    // SO_REUSEADDR only, for quick restarts; never SO_REUSEPORT, which would let a second server share the port.
    candidate->open(endpoint.protocol(), ec);
    if (!ec) candidate->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) candidate->bind(endpoint, ec);
    if (!ec) candidate->listen(net::socket_base::max_listen_connections, ec);
    tcp::endpoint bound;
    if (!ec) bound = candidate->local_endpoint(ec);
    if (!ec) {
      acceptor = std::move(candidate);
      return static_cast<int>(bound.port());
    }
    reason = ec.message();
  }
  return ApiError{500, "cannot listen on " + where + ": " + reason};
}

Result<int> HttpCarrier::Impl::start() {
  if (started) return ApiError{500, "carrier already started"};
  io = std::make_unique<net::io_context>(1);
  auto port = listen();
  if (!port.ok()) {
    acceptor.reset();
    io.reset();
    return port;
  }
  accept_retry = std::make_unique<net::steady_timer>(*io);
  workers = std::make_unique<net::thread_pool>(static_cast<std::size_t>(std::max(1, shared->options.workers)));
  shared->workers = workers.get();
  accept();
  loop = std::thread([this] { run_loop(); });
  started = true;
  return port;
}

void HttpCarrier::Impl::run_loop() {
  // Handlers catch what they can; should anything still escape one, log it and keep serving.
  for (;;) {
    try {
      io->run();
      return;
    } catch (const std::exception& e) {
      log.warn(std::string("HTTP loop: ") + e.what());
    } catch (...) {
      log.warn("HTTP loop: unknown error");
    }
  }
}

void HttpCarrier::Impl::accept() {
  acceptor->async_accept(net::make_strand(*io), [this](boost::system::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor->is_open()) return;
    if (ec) {
      if (!accept_failing) log.warn("cannot accept connections: " + ec.message());
      accept_failing = true;
      accept_retry->expires_after(kAcceptRetryDelay);
      accept_retry->async_wait([this](boost::system::error_code wait_ec) {
        if (!wait_ec) accept();
      });
      return;
    }
    accept_failing = false;
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    serve_connection(std::move(socket), shared);
    accept();
  });
}

void HttpCarrier::Impl::stop() {
  if (!started) return;
  started = false;
  io->stop();
  if (loop.joinable()) loop.join();
  workers->stop();
  workers->join();
  workers.reset();
  shared->workers = nullptr;
  accept_retry.reset();
  acceptor.reset();
  io.reset();
}

HttpCarrier::HttpCarrier(CarrierOptions options, RequestHandler handler, BodyLimit body_limit, const Log& log)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(handler), std::move(body_limit), log)) {}

HttpCarrier::~HttpCarrier() { stop(); }

Result<int> HttpCarrier::start() { return impl_->start(); }

void HttpCarrier::stop() { impl_->stop(); }

}  // namespace kesto::backend
