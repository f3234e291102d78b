#pragma once
// One client connection of the HTTP carrier: reads a request under its deadlines, hands it to a worker, writes
// the response, and waits for the next one while the client keeps the connection alive.

#include <atomic>
#include <cstddef>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/thread_pool.hpp>

#include "HttpCarrier.h"

namespace kesto::backend {

// What every connection of one carrier shares.
struct CarrierShared {
  CarrierShared(CarrierOptions o, RequestHandler h, BodyLimit b, const Log& l)
      : options(std::move(o)), handler(std::move(h)), body_limit(std::move(b)), log(l) {}
  const CarrierOptions options;
  const RequestHandler handler;
  const BodyLimit body_limit;
  const Log& log;
  boost::asio::thread_pool* workers = nullptr;  // set before the first connection
  std::atomic<std::size_t> waiting{0};          // requests posted to the workers and not yet taken
};

// Serves the accepted socket until the client leaves or a deadline passes. The connection keeps itself alive
// through its pending operations.
void serve_connection(boost::asio::ip::tcp::socket socket, std::shared_ptr<CarrierShared> shared);

}  // namespace kesto::backend
