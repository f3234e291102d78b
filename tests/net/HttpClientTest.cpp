#include "net/HttpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <iterator>
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

class HttpClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    kesto::detail::setTimeScaleForTests(1.0);
    kesto::detail::setBodyLimitsForTests(0, 0);
  }
};

// Every kind of request against one route: a status and body as values, a failed transfer as -1; and what
// reaches the server: bodies byte for byte, one content type each, no option carried from one request to the
// next, one connection per client.
TEST_F(HttpClientTest, EveryRequestKindSendsItsBodyAndHeadersAndGetsStatusAndBody) {
  FakeBackend fb;
  const std::string page = "<html><body>Not here</body></html>";
  fb.on("*", "/missing").reply(404, page, "text/html");
  fb.on("*", "/binary").reply(200, std::string("\x89PNG\0\0", 6), "image/png");
  fb.on("*", "/drop").drop();
  const struct {
    const char *path;
    long status;
    std::string body;
  } cases[] = {{"/missing", 404, page}, {"/binary", 200, std::string("\x89PNG\0\0", 6)}, {"/drop", -1, ""}};
  const std::string json = std::string("{\"fps\":25.0,\"x\":\"a", 18) + std::string(1, '\0') + "b\"}";
  Bytes frame;
  for (int i = 0; i < 256; ++i) frame.push_back(static_cast<std::uint8_t>(i));
  const HttpClient client;
  ASSERT_TRUE(client.valid());
  for (const auto &c : cases) {
    const std::string url = fb.url() + c.path;
    for (const HttpResponse &r : {client.post_json(url, json), client.put_bytes(url, frame, "image/jpeg"),
                                  client.put_bytes(url, Bytes{}, nullptr), client.get(url)}) {
      EXPECT_EQ(r.status, c.status) << c.path;
      EXPECT_EQ(r.body, c.body) << c.path;
    }
    Bytes out = bytes_of("kept");
    EXPECT_EQ(client.get_bytes(url, &out), c.status == 200) << c.path;
    EXPECT_EQ(text_of(out), "kept" + c.body) << c.path;  // whatever arrived is appended, even to a failure
  }
  EXPECT_FALSE(client.get_bytes(fb.url() + "/binary", nullptr));

  const auto seen = fb.requests();  // the first five: those to /missing
  ASSERT_GE(seen.size(), 5u);
  const struct {
    const char *method;
    std::string body;
    const char *type;  // null: none
    const char *accept;
  } expected[] = {{"POST", json, "application/json", "application/json"},
                  {"PUT", text_of(frame), "image/jpeg", "*/*"},
                  {"PUT", "", "application/octet-stream", "*/*"},
                  {"GET", "", nullptr, "*/*"},
                  {"GET", "", nullptr, "*/*"}};
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].method, expected[i].method);
    EXPECT_EQ(seen[i].body, expected[i].body);
    EXPECT_EQ(seen[i].headerCount("Content-Type"), expected[i].type != nullptr ? 1u : 0u);
    EXPECT_EQ(seen[i].header("Content-Type"), expected[i].type != nullptr ? expected[i].type : "");
    EXPECT_EQ(seen[i].header("Accept"), expected[i].accept);
    EXPECT_EQ(seen[i].header("User-Agent"), "OrvalisTrevane-OFX/1.1");
    EXPECT_EQ(seen[i].remote_port, seen[0].remote_port);
  }
  EXPECT_EQ(seen[0].header("Content-Length"), std::to_string(json.size()));
  EXPECT_EQ(seen[2].header("Content-Length"), "0");
}

TEST_F(HttpClientTest, RedirectsAreFollowedExceptByPutAndLoopsEnd) {
  for (const int code : {301, 302}) {
    SCOPED_TRACE(code);
    FakeBackend fb;
    fb.on("*", "/old").redirect(code, fb.url() + "/new");
    fb.on("*", "/new").reply(200, "arrived", "text/plain");
    fb.on("GET", "/loop").redirect(302, "/loop");
    const HttpClient client;
    EXPECT_EQ(client.get(fb.url() + "/old").body, "arrived");
    EXPECT_EQ(client.post_json(fb.url() + "/old", R"({"a":1})").body, "arrived");
    Bytes out;
    EXPECT_TRUE(client.get_bytes(fb.url() + "/old", &out));
    EXPECT_EQ(text_of(out), "arrived");
    EXPECT_EQ(fb.requests("GET", "/new").size(), 3u);  // libcurl turns a POST into a GET on 301/302
    fb.clearRequests();
    EXPECT_EQ(client.put_bytes(fb.url() + "/old", bytes_of("frame"), "image/jpeg").status, code);
    EXPECT_EQ(fb.requestCount(), 1u);
    fb.clearRequests();
    EXPECT_EQ(client.get(fb.url() + "/loop").status, -1);
    EXPECT_EQ(fb.requestCount(), static_cast<std::size_t>(kesto::kMaxRedirects + 1));
  }
}

TEST_F(HttpClientTest, TimeLimitsDifferPerRequestKindAndCoverTheWholeTransfer) {
  // Scaled so that post_json allows 600 ms, put_bytes 240 ms, get 120 ms and get_bytes 1200 ms.
  kesto::detail::setTimeScaleForTests(0.002);
  FakeBackend fb;
  fb.on("*", "/slow").delay(milliseconds(400)).reply(200, "late", "text/plain");
  fb.on("POST", "/slower").delay(milliseconds(800)).reply(200, "late", "text/plain");
  fb.on("GET", "/drip").drip(20, 10, milliseconds(100));  // bytes keep coming, but too slowly
  const HttpClient client;
  EXPECT_EQ(client.post_json(fb.url() + "/slow", "{}").body, "late");
  EXPECT_EQ(client.put_bytes(fb.url() + "/slow", bytes_of("x"), "image/jpeg").status, -1);
  EXPECT_EQ(client.get(fb.url() + "/slow").status, -1);
  Bytes out;
  EXPECT_TRUE(client.get_bytes(fb.url() + "/slow", &out));
  EXPECT_EQ(client.post_json(fb.url() + "/slower", "{}").status, -1);
  out.clear();
  EXPECT_FALSE(client.get_bytes(fb.url() + "/drip", &out));
  EXPECT_LT(out.size(), 200u);
}

// The sinks' arithmetic is checked below (HttpWriteCallbacks); here, that each kind of request has its limit,
// both for a declared length and for a chunked body.
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
  EXPECT_EQ(client.get(fb.url() + "/text-at-limit").body, std::string(1000, 'x'));
  EXPECT_EQ(client.get(fb.url() + "/text-over").status, -1);
  EXPECT_EQ(client.get(fb.url() + "/text-over-chunked").status, -1);
  Bytes out(20000, 7);  // bytes already there do not count
  EXPECT_TRUE(client.get_bytes(fb.url() + "/bytes-at-limit", &out));
  EXPECT_EQ(out.size(), 25000u);
  Bytes over;
  EXPECT_FALSE(client.get_bytes(fb.url() + "/bytes-over", &over));
  EXPECT_FALSE(client.get_bytes(fb.url() + "/bytes-over-chunked", &over));

  // The real limits: a declared length over them is refused before any body byte is stored.
  kesto::detail::setBodyLimitsForTests(0, 0);
  fb.on("GET", "/text").streamBody(kesto::kMaxTextBodyBytes + 1, 1 << 16, true);
  fb.on("GET", "/bytes").streamBody(kesto::kMaxByteBodyBytes + 1, 1 << 16, true);
  EXPECT_EQ(client.get(fb.url() + "/text").status, -1);
  over.clear();
  EXPECT_FALSE(client.get_bytes(fb.url() + "/bytes", &over));
  EXPECT_TRUE(over.empty());
}

// Neither a URL nor a redirect leads anywhere but http and https; no scheme is guessed.
TEST_F(HttpClientTest, RefusesSchemesOtherThanHttpDirectlyOrByRedirect) {
  FakeBackend fb;
  fb.on("*", "/to-file").redirect(302, "file:///etc/hostname");
  fb.fallback().reply(200, "reached", "text/plain");
  const HttpClient client;
  const std::string bare = "127.0.0.1:" + std::to_string(fb.port()) + "/x";
  for (const std::string &url :
       {std::string("file:///etc/hostname"), std::string("FILE:///etc/hostname"), bare, fb.url() + "/to-file"}) {
    EXPECT_EQ(client.get(url).body, "") << url;
    EXPECT_EQ(client.post_json(url, "{}").status, -1) << url;
    Bytes out;
    EXPECT_FALSE(client.get_bytes(url, &out)) << url;
    EXPECT_TRUE(out.empty()) << url;
  }
  EXPECT_EQ(client.put_bytes(bare, bytes_of("x"), "image/jpeg").status, -1);
  EXPECT_EQ(fb.requestCount(), 3u) << "only the redirecting route was asked";
  // Upper-case schemes are still web addresses.
  EXPECT_EQ(client.get("HTTP://" + bare).status, 200);
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

// libcurl's global set-up runs once for clients made on several threads at once; a moved-from client sends
// nothing.
TEST_F(HttpClientTest, ClientsOnFourThreadsInitialiseLibcurlOnceAndAMovedFromOneSendsNothing) {
  FakeBackend fb;
  fb.on("GET", "/ping").reply(200, "pong", "text/plain");
  std::vector<long> statuses(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    threads.emplace_back([&, i] { statuses[i] = HttpClient().get(fb.url() + "/ping").status; });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(statuses, std::vector<long>(4, 200));
  EXPECT_EQ(kesto::detail::global_init_count(), 1);

  HttpClient first;
  const HttpClient second(std::move(first));
  EXPECT_FALSE(first.valid());  // NOLINT(bugprone-use-after-move): checking the moved-from state on purpose
  EXPECT_EQ(first.get(fb.url() + "/ping").status, -1);
  Bytes out;
  EXPECT_FALSE(first.get_bytes(fb.url() + "/ping", &out));
  EXPECT_EQ(second.get(fb.url() + "/ping").status, 200);
  EXPECT_EQ(fb.requestCount(), 5u);
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

}  // namespace
