#include "net/HttpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "net/HttpInternal.h"
#include "net/TestSeams.h"
#include "tests/support/FakeBackend.h"

namespace {

using kesto::HttpClient;
using kesto::HttpResponse;
using kesto::test::FakeBackend;
using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

Bytes bytes_of(const std::string &text) { return Bytes(text.begin(), text.end()); }
std::string text_of(const Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

// A TCP listener on 127.0.0.1 that never accepts: it shows whether anyone tried to connect to it.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
      ADD_FAILURE() << "cannot open a loopback listener";
      return;
    }
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    port_ = ntohs(addr.sin_port);
  }
  ~SilentListener() {
    if (fd_ >= 0) close(fd_);
  }
  SilentListener(const SilentListener &) = delete;
  SilentListener &operator=(const SilentListener &) = delete;

  int port() const { return port_; }
  bool someoneConnected() const {
    const int conn = accept(fd_, nullptr, nullptr);
    if (conn < 0) return false;
    close(conn);
    return true;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 where nothing listens.
int closed_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  bind(fd, reinterpret_cast<sockaddr *>(&addr), len);
  getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

class HttpClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    kesto::detail::setTimeScaleForTests(1.0);
    kesto::detail::setBodyLimitsForTests(0, 0);
  }
};

TEST_F(HttpClientTest, UnreachableServerFailsEveryRequest) {
  const std::string url = "http://127.0.0.1:" + std::to_string(closed_port()) + "/x";
  const HttpClient client;
  ASSERT_TRUE(client.valid());
  for (const HttpResponse &r : {client.post_json(url, "{}"), client.put_bytes(url, bytes_of("ab"), "image/jpeg"),
                                client.get(url)}) {
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.body, "");
  }
  Bytes out = bytes_of("kept");
  EXPECT_FALSE(client.get_bytes(url, &out));
  EXPECT_EQ(text_of(out), "kept");
}

TEST_F(HttpClientTest, ErrorStatusIsAValueWithItsBody) {
  FakeBackend fb;
  const std::string page = "<html><body>Not here</body></html>";
  fb.on("*", "/missing").reply(404, page, "text/html");
  const HttpClient client;
  const HttpResponse got = client.get(fb.url() + "/missing");
  EXPECT_EQ(got.status, 404);
  EXPECT_EQ(got.body, page);
  const HttpResponse posted = client.post_json(fb.url() + "/missing", "{}");
  EXPECT_EQ(posted.status, 404);
  EXPECT_EQ(posted.body, page);
  EXPECT_EQ(client.put_bytes(fb.url() + "/missing", bytes_of("x"), "image/jpeg").status, 404);
  Bytes out;
  EXPECT_FALSE(client.get_bytes(fb.url() + "/missing", &out));
}

TEST_F(HttpClientTest, RedirectsAreFollowedExceptByPut) {
  for (const int code : {301, 302}) {
    SCOPED_TRACE(code);
    FakeBackend fb;
    fb.on("*", "/old").redirect(code, fb.url() + "/new");
    fb.on("*", "/new").reply(200, "arrived", "text/plain");
    const HttpClient client;

    const HttpResponse got = client.get(fb.url() + "/old");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, "arrived");
    const HttpResponse posted = client.post_json(fb.url() + "/old", R"({"a":1})");
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.body, "arrived");
    Bytes out;
    EXPECT_TRUE(client.get_bytes(fb.url() + "/old", &out));
    EXPECT_EQ(text_of(out), "arrived");
    EXPECT_EQ(fb.requests("GET", "/new").size(), 3u);  // libcurl turns a POST into a GET on 301/302

    fb.clearRequests();
    const HttpResponse put = client.put_bytes(fb.url() + "/old", bytes_of("frame"), "image/jpeg");
    EXPECT_EQ(put.status, code);
    ASSERT_EQ(fb.requestCount(), 1u);
    EXPECT_EQ(fb.requests()[0].method, "PUT");
  }
}

TEST_F(HttpClientTest, RedirectLoopEndsAsFailure) {
  FakeBackend fb;
  fb.on("GET", "/loop").redirect(302, "/loop");
  const HttpClient client;
  EXPECT_EQ(client.get(fb.url() + "/loop").status, -1);
  EXPECT_EQ(fb.requestCount(), static_cast<std::size_t>(kesto::kMaxRedirects + 1));
}

TEST_F(HttpClientTest, NoContentGivesEmptyBodyAndAppendsNothing) {
  FakeBackend fb;
  fb.on("*", "/empty").reply(204, "", "text/plain");
  const HttpClient client;
  const HttpResponse posted = client.post_json(fb.url() + "/empty", "{}");
  EXPECT_EQ(posted.status, 204);
  EXPECT_EQ(posted.body, "");
  Bytes out = bytes_of("abc");
  EXPECT_TRUE(client.get_bytes(fb.url() + "/empty", &out));
  EXPECT_EQ(text_of(out), "abc");
}

TEST_F(HttpClientTest, GetBytesAppendsBehindExistingBytes) {
  FakeBackend fb;
  std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
  fb.on("GET", "/alpha/0.png").reply(200, png, "image/png");
  const HttpClient client;
  Bytes out = {1, 2, 3};
  ASSERT_TRUE(client.get_bytes(fb.url() + "/alpha/0.png", &out));
  Bytes expected = {1, 2, 3};
  expected.insert(expected.end(), png.begin(), png.end());
  EXPECT_EQ(out, expected);
  EXPECT_FALSE(client.get_bytes(fb.url() + "/alpha/0.png", nullptr));
}

TEST_F(HttpClientTest, PostJsonSendsBodyByteForByteWithJsonHeaders) {
  FakeBackend fb;
  fb.on("POST", "/api/matte/sessions").reply(201, R"({"session_id":"s1"})");
  const HttpClient client;
  const std::string body = std::string("{\"fps\":25.0,\"x\":\"a", 18) + std::string(1, '\0') + "b\"}";
  const HttpResponse r = client.post_json(fb.url() + "/api/matte/sessions", body);
  EXPECT_EQ(r.status, 201);
  EXPECT_EQ(r.body, R"({"session_id":"s1"})");
  ASSERT_EQ(fb.requestCount(), 1u);
  const auto seen = fb.requests()[0];
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.body, body);
  EXPECT_EQ(seen.header("Content-Type"), "application/json");
  EXPECT_EQ(seen.headerCount("Content-Type"), 1u);
  EXPECT_EQ(seen.header("Accept"), "application/json");
  EXPECT_EQ(seen.header("User-Agent"), "OrvalisTrevane-OFX/1.1");
  EXPECT_EQ(seen.header("Content-Length"), std::to_string(body.size()));
}

TEST_F(HttpClientTest, PutBytesSendsBytesWithTheGivenType) {
  FakeBackend fb;
  fb.on("PUT", "/frames/0").reply(200, "{}");
  const HttpClient client;
  Bytes frame;
  for (int i = 0; i < 256; ++i) frame.push_back(static_cast<std::uint8_t>(i));
  const HttpResponse r = client.put_bytes(fb.url() + "/frames/0", frame, "image/jpeg");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{}");
  ASSERT_EQ(fb.requestCount(), 1u);
  const auto seen = fb.requests()[0];
  EXPECT_EQ(seen.method, "PUT");
  EXPECT_EQ(bytes_of(seen.body), frame);
  EXPECT_EQ(seen.header("Content-Type"), "image/jpeg");
  EXPECT_EQ(seen.headerCount("Content-Type"), 1u);
  EXPECT_EQ(seen.header("User-Agent"), "OrvalisTrevane-OFX/1.1");
  EXPECT_EQ(seen.header("Accept"), "*/*");  // libcurl's own, not the JSON one
}

TEST_F(HttpClientTest, EmptyPutSendsEmptyBodyWithItsType) {
  FakeBackend fb;
  fb.on("PUT", "/frames/3").reply(200, "{}");
  const HttpClient client;
  EXPECT_EQ(client.put_bytes(fb.url() + "/frames/3", Bytes{}, "image/jpeg").status, 200);
  ASSERT_EQ(fb.requestCount(), 1u);
  const auto seen = fb.requests()[0];
  EXPECT_EQ(seen.method, "PUT");
  EXPECT_EQ(seen.body, "");
  EXPECT_EQ(seen.header("Content-Length"), "0");
  EXPECT_EQ(seen.header("Content-Type"), "image/jpeg");
}

TEST_F(HttpClientTest, NullContentTypeSendsOctetStream) {
  FakeBackend fb;
  fb.on("PUT", "/blob").reply(200);
  const HttpClient client;
  EXPECT_EQ(client.put_bytes(fb.url() + "/blob", bytes_of("z"), nullptr).status, 200);
  ASSERT_EQ(fb.requestCount(), 1u);
  EXPECT_EQ(fb.requests()[0].header("Content-Type"), "application/octet-stream");
}

TEST_F(HttpClientTest, OptionsDoNotCarryOverAndConnectionIsReused) {
  FakeBackend fb;
  fb.on("*", "/s").reply(200, "{}");
  const HttpClient client;
  EXPECT_EQ(client.post_json(fb.url() + "/s", R"({"a":1})").status, 200);
  EXPECT_EQ(client.put_bytes(fb.url() + "/s", bytes_of("img"), "image/jpeg").status, 200);
  EXPECT_EQ(client.get(fb.url() + "/s").status, 200);
  Bytes out;
  EXPECT_TRUE(client.get_bytes(fb.url() + "/s", &out));
  const auto seen = fb.requests();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[1].method, "PUT");
  EXPECT_EQ(seen[1].header("Content-Type"), "image/jpeg");
  EXPECT_EQ(seen[1].header("Accept"), "*/*");
  for (const std::size_t i : {std::size_t{2}, std::size_t{3}}) {
    EXPECT_EQ(seen[i].method, "GET");
    EXPECT_EQ(seen[i].body, "");
    EXPECT_EQ(seen[i].headerCount("Content-Type"), 0u);
    EXPECT_NE(seen[i].header("Accept"), "application/json");
    EXPECT_EQ(seen[i].header("User-Agent"), "OrvalisTrevane-OFX/1.1");
  }
  // One handle per client: every request went over the first connection.
  for (const auto &r : seen) EXPECT_EQ(r.remote_port, seen[0].remote_port);
}

TEST_F(HttpClientTest, DroppedConnectionFails) {
  FakeBackend fb;
  fb.on("*", "/drop").drop();
  const HttpClient client;
  EXPECT_EQ(client.get(fb.url() + "/drop").status, -1);
  EXPECT_EQ(client.post_json(fb.url() + "/drop", "{}").status, -1);
  Bytes out;
  EXPECT_FALSE(client.get_bytes(fb.url() + "/drop", &out));
  EXPECT_GE(fb.requestCount(), 3u);
}

TEST_F(HttpClientTest, TimeLimitsDifferPerRequestKind) {
  // Scaled so that post_json allows 600 ms, put_bytes 240 ms, get 120 ms and get_bytes 1200 ms.
  kesto::detail::setTimeScaleForTests(0.002);
  FakeBackend fb;
  fb.on("*", "/slow").delay(milliseconds(400)).reply(200, "late", "text/plain");
  const HttpClient client;
  const HttpResponse posted = client.post_json(fb.url() + "/slow", "{}");
  EXPECT_EQ(posted.status, 200);
  EXPECT_EQ(posted.body, "late");
  EXPECT_EQ(client.put_bytes(fb.url() + "/slow", bytes_of("x"), "image/jpeg").status, -1);
  EXPECT_EQ(client.get(fb.url() + "/slow").status, -1);
  Bytes out;
  EXPECT_TRUE(client.get_bytes(fb.url() + "/slow", &out));
  EXPECT_EQ(text_of(out), "late");
}

TEST_F(HttpClientTest, TimeLimitCoversTheWholeTransfer) {
  kesto::detail::setTimeScaleForTests(0.002);
  FakeBackend fb;
  fb.on("POST", "/slower").delay(milliseconds(800)).reply(200, "late", "text/plain");
  // Bytes keep coming, but the whole body takes longer than the limit.
  fb.on("GET", "/drip").drip(20, 10, milliseconds(100));
  const HttpClient client;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.post_json(fb.url() + "/slower", "{}").status, -1);
  Bytes out;
  EXPECT_FALSE(client.get_bytes(fb.url() + "/drip", &out));
  EXPECT_LT(out.size(), 200u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1700 + 1000));
}

TEST_F(HttpClientTest, BodyOverTheLimitFailsTheTransfer) {
  kesto::detail::setBodyLimitsForTests(1000, 5000);
  FakeBackend fb;
  fb.on("*", "/text-at-limit").streamBody(1000, 300, true);
  fb.on("*", "/text-over").streamBody(1001, 300, true);
  fb.on("*", "/text-over-chunked").streamBody(1001, 300, false);
  fb.on("GET", "/bytes-at-limit").streamBody(5000, 700, false);
  fb.on("GET", "/bytes-over").streamBody(5001, 700, true);
  fb.on("GET", "/bytes-over-chunked").streamBody(5001, 700, false);
  const HttpClient client;

  const HttpResponse at_limit = client.get(fb.url() + "/text-at-limit");
  EXPECT_EQ(at_limit.status, 200);
  EXPECT_EQ(at_limit.body, std::string(1000, 'x'));
  EXPECT_EQ(client.get(fb.url() + "/text-over").status, -1);
  const HttpResponse chunked = client.get(fb.url() + "/text-over-chunked");
  EXPECT_EQ(chunked.status, -1);
  EXPECT_LE(chunked.body.size(), 1000u);
  EXPECT_EQ(client.post_json(fb.url() + "/text-over-chunked", "{}").status, -1);
  EXPECT_EQ(client.put_bytes(fb.url() + "/text-over", bytes_of("x"), "image/jpeg").status, -1);

  // The limit counts this transfer's bytes, not those already in the vector.
  Bytes out(20000, 7);
  EXPECT_TRUE(client.get_bytes(fb.url() + "/bytes-at-limit", &out));
  EXPECT_EQ(out.size(), 25000u);
  Bytes over;
  EXPECT_FALSE(client.get_bytes(fb.url() + "/bytes-over", &over));
  EXPECT_FALSE(client.get_bytes(fb.url() + "/bytes-over-chunked", &over));
  EXPECT_LE(over.size(), 5000u);
}

TEST_F(HttpClientTest, RealBodyLimitsRefuseDeclaredOversizeBodies) {
  // The declared length is refused before any body byte is stored, so nothing that size is sent or held.
  FakeBackend fb;
  fb.on("GET", "/text").streamBody(kesto::kMaxTextBodyBytes + 1, 1 << 16, true);
  fb.on("GET", "/bytes").streamBody(kesto::kMaxByteBodyBytes + 1, 1 << 16, true);
  const HttpClient client;
  const HttpResponse text = client.get(fb.url() + "/text");
  EXPECT_EQ(text.status, -1);
  EXPECT_EQ(text.body, "");
  Bytes out;
  EXPECT_FALSE(client.get_bytes(fb.url() + "/bytes", &out));
  EXPECT_TRUE(out.empty());
}

TEST_F(HttpClientTest, RefusesSchemesOtherThanHttp) {
  kesto::detail::setTimeScaleForTests(0.01);
  SilentListener ftp;
  FakeBackend fb;
  fb.fallback().reply(200, "reached", "text/plain");
  const HttpClient client;

  const HttpResponse file = client.get("file:///etc/hostname");
  EXPECT_EQ(file.status, -1);
  EXPECT_EQ(file.body, "");
  Bytes out;
  EXPECT_FALSE(client.get_bytes("file:///etc/hostname", &out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(client.post_json("FILE:///etc/hostname", "{}").status, -1);
  EXPECT_EQ(client.get("ftp://127.0.0.1:" + std::to_string(ftp.port()) + "/x").status, -1);
  // No scheme is guessed, even for a server that would answer.
  const std::string bare = "127.0.0.1:" + std::to_string(fb.port()) + "/x";
  EXPECT_EQ(client.get(bare).status, -1);
  EXPECT_EQ(client.put_bytes(bare, bytes_of("x"), "image/jpeg").status, -1);
  EXPECT_EQ(fb.requestCount(), 0u);
  EXPECT_FALSE(ftp.someoneConnected());
  // Upper-case schemes are still web addresses.
  EXPECT_EQ(client.get("HTTP://127.0.0.1:" + std::to_string(fb.port()) + "/x").status, 200);
}

// Hosts under the reserved ".invalid" domain are refused before any lookup or connection. A proxy set in the
// environment (libcurl honours it) would otherwise receive the request: the fake backend plays that proxy.
TEST_F(HttpClientTest, RefusesReservedInvalidHostsWithoutAsking) {
  FakeBackend proxy;
  proxy.fallback().reply(200, "{}", "application/json");
  ::setenv("http_proxy", proxy.url().c_str(), 1);
  const HttpClient client;
  const HttpResponse control = client.get("http://reachable.example/api/x");
  EXPECT_EQ(control.status, 200);
  ASSERT_EQ(proxy.requestCount(), 1u);

  EXPECT_EQ(client.post_json("http://paste-your-backend-url.invalid/api/beacon", "{}").status, -1);
  EXPECT_EQ(client.get("http://PASTE.INVALID./x").status, -1);
  EXPECT_EQ(client.put_bytes("http://a.b.invalid:8080/x", bytes_of("x"), "image/jpeg").status, -1);
  Bytes out;
  EXPECT_FALSE(client.get_bytes("http://invalid/x", &out));
  // Only the whole last label counts.
  EXPECT_EQ(client.get("http://notinvalid/x").status, 200);
  ::unsetenv("http_proxy");
  EXPECT_EQ(proxy.requestCount(), 2u);
}

TEST_F(HttpClientTest, RefusesRedirectsToOtherSchemes) {
  kesto::detail::setTimeScaleForTests(0.01);
  SilentListener ftp;
  FakeBackend fb;
  fb.on("GET", "/to-file").redirect(302, "file:///etc/hostname");
  fb.on("*", "/to-ftp").redirect(301, "ftp://127.0.0.1:" + std::to_string(ftp.port()) + "/x");
  const HttpClient client;
  const HttpResponse to_file = client.get(fb.url() + "/to-file");
  EXPECT_EQ(to_file.status, -1);
  EXPECT_EQ(to_file.body, "");
  Bytes out;
  EXPECT_FALSE(client.get_bytes(fb.url() + "/to-ftp", &out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(client.post_json(fb.url() + "/to-ftp", "{}").status, -1);
  EXPECT_FALSE(ftp.someoneConnected());
}

TEST_F(HttpClientTest, ClientsOnTwoThreadsInitialiseLibcurlOnce) {
  FakeBackend fb;
  fb.on("GET", "/ping").reply(200, "pong", "text/plain");
  constexpr int kThreads = 4;
  std::vector<long> statuses(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const HttpClient client;
      statuses[static_cast<std::size_t>(i)] = client.get(fb.url() + "/ping").status;
    });
  }
  for (auto &t : threads) t.join();
  for (const long status : statuses) EXPECT_EQ(status, 200);
  EXPECT_EQ(kesto::detail::global_init_count(), 1);
}

TEST_F(HttpClientTest, MovedFromClientFailsWithoutTransfer) {
  FakeBackend fb;
  fb.on("GET", "/ping").reply(200, "pong", "text/plain");
  HttpClient first;
  HttpClient second(std::move(first));
  EXPECT_FALSE(first.valid());  // NOLINT(bugprone-use-after-move): checking the moved-from state on purpose
  EXPECT_EQ(first.get(fb.url() + "/ping").status, -1);
  Bytes out;
  EXPECT_FALSE(first.get_bytes(fb.url() + "/ping", &out));
  EXPECT_EQ(second.get(fb.url() + "/ping").status, 200);
  EXPECT_EQ(fb.requestCount(), 1u);
}

TEST(HttpWriteCallbacks, AppendUpToTheLimitThenRefuse) {
  std::string text = "pre";
  kesto::detail::StringSink sink{&text, 5};
  char data[] = "abcdefgh";
  EXPECT_EQ(kesto::detail::write_string(data, 1, 3, &sink), 3u);
  EXPECT_EQ(kesto::detail::write_string(data + 3, 2, 1, &sink), 2u);
  EXPECT_EQ(kesto::detail::write_string(data, 1, 1, &sink), 0u);
  EXPECT_EQ(text, "preabcde");
  EXPECT_EQ(kesto::detail::write_string(data, static_cast<std::size_t>(-1), 2, &sink), 0u);

  Bytes bytes = {9};
  kesto::detail::VectorSink vsink{&bytes, 4};
  EXPECT_EQ(kesto::detail::write_vector(data, 4, 1, &vsink), 4u);
  EXPECT_EQ(kesto::detail::write_vector(data, 1, 1, &vsink), 0u);
  EXPECT_EQ(text_of(bytes), "\x09" "abcd");
  EXPECT_EQ(kesto::detail::write_vector(data, 1, 1, nullptr), 0u);
}

TEST(HttpLimits, TimeScaleAppliesToEveryLimit) {
  EXPECT_EQ(kesto::detail::timeout_ms(kesto::kGetTimeoutSec), 60000);
  kesto::detail::setTimeScaleForTests(0.5);
  EXPECT_EQ(kesto::detail::timeout_ms(kesto::kGetBytesTimeoutSec), 300000);
  kesto::detail::setTimeScaleForTests(-3.0);  // ignored
  EXPECT_EQ(kesto::detail::timeout_ms(kesto::kPostJsonTimeoutSec), 150000);
  kesto::detail::setTimeScaleForTests(1.0);
  EXPECT_EQ(kesto::detail::timeout_ms(kesto::kPutBytesTimeoutSec), 120000);
}

}  // namespace
