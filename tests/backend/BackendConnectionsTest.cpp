// Clients that hold connections without finishing a request: idle sockets, headers sent a line at a time,
// kept-alive connections left open, requests too large to read. None may keep others from being served, and
// each is closed at its deadline. The deadlines are shortened here; the server's own are 10 s and 5 s.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ServedBackend.h"

namespace kesto::backend {
namespace {

using namespace served;

constexpr auto kHeaderTimeout = 1500ms;
constexpr auto kIdleTimeout = 500ms;
constexpr int kIdleClients = 50;
constexpr int kSlowClients = 50;

// A plain TCP connection to the server, to send exactly the bytes a test needs.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawConnection() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return connected_; }
  bool send(std::string_view bytes) const {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // What arrives within `wait`, until `enough` bytes or the server closes; `closed` tells which.
  std::string receive(std::chrono::milliseconds wait, std::size_t enough = 1 << 20) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (got.size() < enough && !closed_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_ = true;
      } else {
        got.append(buffer, static_cast<std::size_t>(n));
      }
    }
    return got;
  }
  // True once the server has closed the connection, waiting up to `wait`.
  bool closed_within(std::chrono::milliseconds wait) {
    receive(wait);
    return closed_;
  }

 private:
  int fd_;
  bool connected_ = false;
  bool closed_ = false;
};

Backend short_deadlines_backend() {
  return Backend([](BackendConfig& c) {
    c.header_timeout = kHeaderTimeout;
    c.idle_timeout = kIdleTimeout;
  });
}

TEST(BackendConnections, IdleAndSlowClientsNeitherStarveOthersNorOutstayTheHeaderDeadline) {
  Backend backend = short_deadlines_backend();
  const int port = backend.server.port();
  std::vector<std::unique_ptr<RawConnection>> idle;
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int i = 0; i < kIdleClients; ++i) idle.push_back(std::make_unique<RawConnection>(port));
  for (int i = 0; i < kSlowClients; ++i) {
    slow.push_back(std::make_unique<RawConnection>(port));
    slow.back()->send("GET /api/health HTTP/1.1\r\nHost: slow\r\n");
  }
  // The slow clients go on sending one header line at a time, never the blank line that ends the headers.
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    while (!done.load()) {
      for (auto& c : slow) c->send("X-Slow: 1\r\n");
      std::this_thread::sleep_for(100ms);
    }
  });
  for (const auto& c : idle) ASSERT_TRUE(c->connected());

  // A client with a short patience is still served at once, and so is a whole session.
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(1, 0);
  auto health = client.Get("/api/health");
  ASSERT_TRUE(health) << httplib::to_string(health.error());
  EXPECT_EQ(health->status, 200);
  run_full_session(*backend.client, 4);

  int closed = 0;
  for (auto& c : idle) closed += c->closed_within(kHeaderTimeout + 1s) ? 1 : 0;
  for (auto& c : slow) closed += c->closed_within(kHeaderTimeout + 1s) ? 1 : 0;
  done.store(true);
  trickle.join();
  EXPECT_EQ(closed, kIdleClients + kSlowClients);
}

TEST(BackendConnections, RequestsAreRefusedBeforeWhatTheyCannotSend) {
  Backend backend = short_deadlines_backend();
  const std::string id = session_with_a_frame(*backend.client);
  ASSERT_FALSE(id.empty());
  const std::string upload = "PUT " + session_path(id) + "/frames/1 HTTP/1.1\r\nHost: t\r\nContent-Type: image/jpeg\r\n";
  const struct {
    const char* what;
    std::string request;
    const char* reply;  // how the reply begins
    bool closes;
  } cases[] = {
      {"headers too large", "GET /api/health HTTP/1.1\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431", true},
      {"body declared too large", upload + "Content-Length: 70000\r\nExpect: 100-continue\r\n\r\n", "HTTP/1.1 413", true},
      {"body awaited", upload + "Content-Length: " + std::to_string(tiny_jpeg().size()) + "\r\nExpect: 100-continue\r\n\r\n",
       "HTTP/1.1 100 Continue", false},
      {"not HTTP", "HELLO THERE\r\n\r\n", "HTTP/1.1 400", true},
      {"broken escape", "GET /api/%zz HTTP/1.1\r\n\r\n", "HTTP/1.1 400", true},
  };
  for (const auto& c : cases) {
    RawConnection connection(backend.server.port());
    ASSERT_TRUE(connection.send(c.request)) << c.what;
    const std::string reply = connection.receive(2s, std::string_view(c.reply).size());
    EXPECT_EQ(reply.rfind(c.reply, 0), 0u) << c.what << ": " << reply.substr(0, 80);
    if (c.closes) {
      EXPECT_TRUE(connection.closed_within(1s)) << c.what;
    }
  }
}

TEST(BackendConnections, AKeptAliveConnectionServesRequestsUntilItIdlesPastItsDeadline) {
  Backend backend = short_deadlines_backend();
  RawConnection connection(backend.server.port());
  const std::string request = "GET /api/health HTTP/1.1\r\nHost: t\r\n\r\n";
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(connection.send(request));
    const std::string reply = connection.receive(2s, 12);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
    connection.receive(50ms);  // the rest of the reply
  }
  EXPECT_TRUE(connection.closed_within(kIdleTimeout + 1s));
}

}  // namespace
}  // namespace kesto::backend
