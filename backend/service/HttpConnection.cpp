#include "HttpConnection.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "Routes.h"

namespace kesto::backend {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr std::size_t kFirstReadBytes = 2048;
constexpr std::size_t kDrainChunkBytes = 16 * 1024;
// After refusing a body the client is still sending, read and drop it this long so the refusal is not lost
// to a connection reset.
constexpr auto kLingerTimeout = std::chrono::seconds(3);

std::string_view std_view(beast::string_view text) { return {text.data(), text.size()}; }

bool is_parse_error(const beast::error_code& ec) {
  return ec.category() == http::make_error_code(http::error::bad_method).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, std::shared_ptr<CarrierShared> shared)
      : stream_(std::move(socket)), executor_(stream_.get_executor()), shared_(std::move(shared)) {
    beast::error_code ec;
    const tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
    if (!ec) peer_ = peer.address().to_string() + ":" + std::to_string(peer.port());
  }

  void start() {
    net::dispatch(executor_, [self = shared_from_this()] { self->read_header(); });
  }

 private:
  const CarrierOptions& options() const { return shared_->options; }

  // A new request: its headers must be complete within the header deadline.
  void read_header() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(options().max_header_bytes));
    parser_->body_limit(options().max_body_bytes);
    expect_continue_ = false;
    method_.clear();
    path_.clear();
    stream_.expires_after(options().header_timeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_header(ec); });
  }

  // Between requests of a kept-alive connection: the next one must begin within the idle deadline.
  void wait_for_next_request() {
    if (buffer_.size() > 0) return read_header();
    stream_.expires_after(options().idle_timeout);
    stream_.async_read_some(buffer_.prepare(kFirstReadBytes),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              if (ec) return self->close();
                              self->buffer_.commit(n);
                              self->read_header();
                            });
  }

  void on_header(beast::error_code ec) {
    if (ec == http::error::body_limit) return refuse(413, "body larger than " + std::to_string(options().max_body_bytes) + " bytes");
    if (ec == http::error::header_limit) return refuse(431, "request headers larger than " + std::to_string(options().max_header_bytes) + " bytes");
    if (ec) return is_parse_error(ec) ? refuse(400, "malformed request") : close();
    const auto& request = parser_->get();
    version_ = request.version();
    keep_alive_ = request.keep_alive();
    method_ = std::string(std_view(request.method_string()));
    auto path = request_path(std_view(request.target()));
    if (!path) return refuse(400, "malformed request target");
    path_ = std::move(*path);
    limit_ = shared_->body_limit(method_, path_);
    const auto declared = parser_->content_length();
    if (declared && *declared > limit_) return refuse(413, too_large(limit_));
    parser_->body_limit(limit_);
    if (parser_->is_done()) return dispatch();
    const auto expect = request[http::field::expect];
    expect_continue_ = beast::iequals(expect, "100-continue");
    if (!expect_continue_) return read_body();
    // The client waits for this before it sends the body.
    auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_, version_);
    stream_.expires_after(options().write_timeout);
    http::async_write(stream_, *interim, [self = shared_from_this(), interim](beast::error_code wec, std::size_t) {
      if (wec) return self->close();
      self->expect_continue_ = false;
      self->read_body();
    });
  }

  // The body may pause at most the body deadline between two reads.
  void read_body() {
    stream_.expires_after(options().body_idle_timeout);
    http::async_read_some(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec == http::error::body_limit) return self->refuse(413, too_large(self->limit_));
      if (ec) return is_parse_error(ec) ? self->refuse(400, "malformed request body") : self->close();
      if (!self->parser_->is_done()) return self->read_body();
      self->dispatch();
    });
  }

  static std::string too_large(std::size_t limit) {
    return limit == 0 ? "this route takes no body" : "body larger than " + std::to_string(limit) + " bytes";
  }

  void dispatch() {
    auto& message = parser_->get();
    ApiRequest request;
    request.method = method_;
    request.path = path_;
    request.content_type = std::string(std_view(message[http::field::content_type]));
    request.body = std::move(message.body());
    request.peer = peer_;
    parser_.reset();
    if (shared_->waiting.fetch_add(1) >= options().max_waiting) {
      shared_->waiting.fetch_sub(1);
      return respond(error_response(503, "the server is busy; try again shortly"), false);
    }
    net::post(*shared_->workers, [self = shared_from_this(), request = std::move(request)]() mutable {
      self->shared_->waiting.fetch_sub(1);
      ApiResponse response;
      try {
        response = self->shared_->handler(request);
      } catch (...) {
        response = error_response(500, "internal error");
      }
      net::post(self->executor_, [self, response = std::move(response)]() mutable {
        self->respond(std::move(response), self->keep_alive_);
      });
    });
  }

  // Answers and closes; the rest of the request (a body the client may still be sending) is dropped.
  void refuse(int status, const std::string& message) {
    linger_ = !expect_continue_;
    respond(error_response(status, message), false);
  }

  void respond(ApiResponse api, bool keep_alive) {
    auto response = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(api.status), version_);
    response->set(http::field::server, "trevane-backend");
    response->set(http::field::content_type, api.content_type);
    for (auto& header : api.headers) response->set(header.first, header.second);
    response->body() = std::move(api.body);
    response->keep_alive(keep_alive);
    response->prepare_payload();
    shared_->log.debug(method_ + " " + printable(path_, 200) + " -> " + std::to_string(api.status));
    stream_.expires_after(options().write_timeout);
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
      if (ec) return self->close();
      if (!response->keep_alive()) return self->linger_ ? self->drain() : self->close();
      self->wait_for_next_request();
    });
  }

  void drain() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    drain_deadline_ = std::chrono::steady_clock::now() + kLingerTimeout;
    drain_more();
  }

  void drain_more() {
    stream_.expires_at(drain_deadline_);
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(kDrainChunkBytes), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return self->close();
      self->drain_more();
    });
  }

  void close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
    stream_.close();
  }

  beast::tcp_stream stream_;
  const beast::tcp_stream::executor_type executor_;
  const std::shared_ptr<CarrierShared> shared_;
  std::string peer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::string method_;
  std::string path_;
  std::size_t limit_ = 0;
  unsigned version_ = 11;
  bool keep_alive_ = false;
  bool expect_continue_ = false;
  bool linger_ = false;
  std::chrono::steady_clock::time_point drain_deadline_;
};

}  // namespace

void serve_connection(tcp::socket socket, std::shared_ptr<CarrierShared> shared) {
  std::make_shared<Connection>(std::move(socket), std::move(shared))->start();
}

}  // namespace kesto::backend
