#include "tests/support/FakeBackend.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "net/HttpClient.h"

namespace {

using kesto::HttpClient;
using kesto::test::FakeBackend;
using kesto::test::RecordedRequest;
using kesto::test::Reply;
using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

TEST(FakeBackend, ListensOnLoopbackEphemeralPort) {
  FakeBackend fb;
  EXPECT_GT(fb.port(), 0);
  EXPECT_EQ(fb.url(), "http://127.0.0.1:" + std::to_string(fb.port()));
  FakeBackend other;
  EXPECT_NE(other.port(), fb.port());
}

TEST(FakeBackend, UnmatchedRequestsGetTheFallback) {
  FakeBackend fb;
  const HttpClient client;
  const auto r = client.get(fb.url() + "/nothing?x=1");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, "not found");
  fb.fallback().reply(418, "teapot", "text/plain");
  EXPECT_EQ(client.get(fb.url() + "/nothing").status, 418);
  const auto seen = fb.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].path, "/nothing");
  EXPECT_EQ(seen[0].target, "/nothing?x=1");
}

TEST(FakeBackend, LatestMatchingRouteAnswersAndPatternsMatchWholePath) {
  FakeBackend fb;
  fb.onPattern("PUT", "/api/matte/sessions/[^/]+/frames/[0-9]+").reply(200, "frame");
  fb.on("*", "/api/x").reply(200, "any method");
  fb.on("GET", "/api/x").reply(200, "get only");
  const HttpClient client;
  EXPECT_EQ(client.put_bytes(fb.url() + "/api/matte/sessions/s1/frames/12", Bytes{1}, "image/jpeg").body, "frame");
  EXPECT_EQ(client.put_bytes(fb.url() + "/api/matte/sessions/s1/frames/12/x", Bytes{1}, "image/jpeg").status,
            404);
  EXPECT_EQ(client.get(fb.url() + "/api/x").body, "get only");
  EXPECT_EQ(client.post_json(fb.url() + "/api/x", "{}").body, "any method");
}

TEST(FakeBackend, FailFirstThenReply) {
  FakeBackend fb;
  auto route = fb.on("PUT", "/f").failFirst(2, 503, "busy").reply(200, "ok");
  const HttpClient client;
  const auto first = client.put_bytes(fb.url() + "/f", Bytes{}, "image/jpeg");
  EXPECT_EQ(first.status, 503);
  EXPECT_EQ(first.body, "busy");
  EXPECT_EQ(client.put_bytes(fb.url() + "/f", Bytes{}, "image/jpeg").status, 503);
  EXPECT_EQ(client.put_bytes(fb.url() + "/f", Bytes{}, "image/jpeg").status, 200);
  EXPECT_EQ(route.hits(), 3u);
}

TEST(FakeBackend, DropFirstClosesWithoutReply) {
  FakeBackend fb;
  fb.on("GET", "/d").dropFirst(1).reply(200, "second time");
  const HttpClient client;
  EXPECT_EQ(client.get(fb.url() + "/d").status, -1);
  const auto again = client.get(fb.url() + "/d");
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(again.body, "second time");
}

TEST(FakeBackend, RespondComputesRepliesAndHeadersAreSent) {
  FakeBackend fb;
  std::atomic<int> polls{0};
  fb.on("GET", "/poll").header("X-Extra", "1").respond([&](const RecordedRequest &req) {
    Reply reply;
    reply.body = ++polls < 3 ? R"({"status":"RUNNING"})" : R"({"status":"COMPLETED"})";
    reply.headers.emplace_back("X-Seen-Agent", req.header("user-agent"));
    return reply;
  });
  fb.on("GET", "/throws").respond([](const RecordedRequest &) -> Reply { throw std::runtime_error("bad"); });
  const HttpClient client;
  EXPECT_EQ(client.get(fb.url() + "/poll").body, R"({"status":"RUNNING"})");
  EXPECT_EQ(client.get(fb.url() + "/poll").body, R"({"status":"RUNNING"})");
  EXPECT_EQ(client.get(fb.url() + "/poll").body, R"({"status":"COMPLETED"})");
  EXPECT_EQ(client.get(fb.url() + "/throws").status, 500);
}

TEST(FakeBackend, StreamsLargeBodiesWithAndWithoutLength) {
  FakeBackend fb;
  constexpr std::size_t kBytes = (std::size_t{3} << 20) + 17;
  fb.on("GET", "/sized").streamBody(kBytes, 1 << 16, true, 'a');
  fb.on("GET", "/chunked").streamBody(kBytes, 1 << 16, false, 'b');
  const HttpClient client;
  Bytes sized;
  ASSERT_TRUE(client.get_bytes(fb.url() + "/sized", &sized));
  EXPECT_EQ(sized, Bytes(kBytes, 'a'));
  Bytes chunked;
  ASSERT_TRUE(client.get_bytes(fb.url() + "/chunked", &chunked));
  EXPECT_EQ(chunked, Bytes(kBytes, 'b'));
}

TEST(FakeBackend, DripSendsChunksOverTime) {
  FakeBackend fb;
  fb.on("GET", "/drip").drip(4, 3, milliseconds(20));
  const HttpClient client;
  const auto start = std::chrono::steady_clock::now();
  const auto r = client.get(fb.url() + "/drip");
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(80));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, std::string(12, 'x'));
}

TEST(FakeBackend, RecordsWhatClientsSentWithNagleOff) {
  FakeBackend fb;
  const HttpClient client;
  (void)client.post_json(fb.url() + "/a", R"({"k":"v"})");
  ASSERT_TRUE(fb.waitForRequests(1, milliseconds(1000)));
  EXPECT_FALSE(fb.waitForRequests(2, milliseconds(50)));
  const auto seen = fb.requests("POST", "/a");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, R"({"k":"v"})");
  EXPECT_EQ(seen[0].header("content-type"), "application/json");
  EXPECT_EQ(seen[0].headerCount("CONTENT-TYPE"), 1u);
  EXPECT_EQ(seen[0].header("X-Absent"), "");
  EXPECT_GT(seen[0].remote_port, 0);
  EXPECT_TRUE(seen[0].tcp_nodelay);
  fb.clearRequests();
  EXPECT_EQ(fb.requestCount(), 0u);
}

TEST(FakeBackend, StopsPromptlyWhileAReplyIsDelayed) {
  std::thread caller;
  std::atomic<long> status{0};
  const auto start = std::chrono::steady_clock::now();
  {
    FakeBackend fb;
    fb.on("GET", "/forever").delay(milliseconds(60000)).reply(200);
    const std::string url = fb.url() + "/forever";
    caller = std::thread([url, &status] { status = HttpClient().get(url).status; });
    ASSERT_TRUE(fb.waitForRequests(1, milliseconds(3000)));
  }
  caller.join();
  EXPECT_EQ(status.load(), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(5000));
}

}  // namespace
