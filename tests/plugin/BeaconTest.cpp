// The usage beacon as a host sees it: creating an instance whose "backend_url" looks like a web address sends
// one POST to "/api/beacon", in the background, and nothing about the instance depends on its outcome.

#include <chrono>
#include <string>
#include <thread>

#include "PluginFixture.h"
#include "plugin/PluginPrivate.h"
#include "tests/support/FakeBackend.h"

namespace {

using kesto::test::FakeBackend;
using std::chrono::milliseconds;

constexpr milliseconds kBeaconWait{3000};
constexpr milliseconds kQuietWait{300};

const std::string kBody = R"({"arch":"x86_64","host":"resolve","os":"linux","plugin_version":"1.1.0"})";

// A project reopened with this backend URL: the value is in place when the instance is created.
std::unique_ptr<th::Instance> createWithUrl(th::Plugin &plugin, const std::string &url) {
  th::InstanceOptions options;
  options.savedValues = {{"backend_url", url}};
  auto made = plugin.createInstance(options);
  EXPECT_TRUE(made.ok()) << made.error();
  return made.ok() ? std::move(*made) : nullptr;
}

TEST(BeaconDecision, OnlyTheFirstFourBytesCount) {
  for (const char *yes : {"http", "https://x", "http://127.0.0.1:1", "httpfoo"}) {
    EXPECT_TRUE(kesto::looksLikeBackendUrl(yes)) << yes;
  }
  for (const char *no : {"", "h", "htt", "HTTP://x", "Http://x", " http://x", "\thttp://x", "ftp://x", "htp://x"}) {
    EXPECT_FALSE(kesto::looksLikeBackendUrl(no)) << no;
  }
}

TEST_F(PluginTest, CreatingAnInstanceSendsOneBeacon) {
  FakeBackend fb;
  fb.on("POST", "/api/beacon").reply(200, "{}");
  auto fx = createWithUrl(plugin(), fb.url());
  ASSERT_NE(nullptr, fx);
  ASSERT_TRUE(fb.waitForRequests(1, kBeaconWait));
  std::this_thread::sleep_for(kQuietWait);
  const auto seen = fb.requests();
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ("POST", seen[0].method);
  EXPECT_EQ("/api/beacon", seen[0].target);
  EXPECT_EQ(kBody, seen[0].body);
  EXPECT_EQ("application/json", seen[0].header("Content-Type"));
  EXPECT_EQ("application/json", seen[0].header("Accept"));
  EXPECT_EQ("OrvalisTrevane-OFX/1.1", seen[0].header("User-Agent"));
}

TEST_F(PluginTest, TwoInstancesSendTwoBeacons) {
  FakeBackend fb;
  fb.on("POST", "/api/beacon").reply(204);
  auto a = createWithUrl(plugin(), fb.url());
  auto b = createWithUrl(plugin(), fb.url() + "/");
  ASSERT_TRUE(fb.waitForRequests(2, kBeaconWait));
  std::this_thread::sleep_for(kQuietWait);
  const auto seen = fb.requests();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(seen[0].body, seen[1].body);
  // The base URL is used as typed: a trailing slash gives a double slash.
  EXPECT_TRUE((seen[0].target == "/api/beacon" && seen[1].target == "//api/beacon") ||
              (seen[1].target == "/api/beacon" && seen[0].target == "//api/beacon"));
}

TEST_F(PluginTest, UrlsThatDoNotBeginWithHttpSendNothing) {
  FakeBackend fb;
  const std::string address = fb.url().substr(std::string("http").size());  // "://127.0.0.1:PORT"
  for (const std::string &url : {"HTTP" + address, " http" + address, "Http" + address, std::string("htt"),
                                 std::string("")}) {
    auto fx = createWithUrl(plugin(), url);
    ASSERT_NE(nullptr, fx) << url;
    EXPECT_EQ("idle", *fx->getString("status")) << url;
  }
  // "http" alone passes the test; its beacon goes to "http/api/beacon", which is no address, and fails quietly.
  auto plain = createWithUrl(plugin(), "http");
  ASSERT_NE(nullptr, plain);
  std::this_thread::sleep_for(kQuietWait);
  EXPECT_EQ(0u, fb.requestCount());
  EXPECT_EQ("idle", *plain->getString("status"));
}

TEST_F(PluginTest, AFailingOrSilentBackendLeavesTheInstanceAlone) {
  FakeBackend failing;
  failing.on("POST", "/api/beacon").reply(500, "{\"error\":\"down\"}");
  FakeBackend silent;
  silent.on("POST", "/api/beacon").delay(milliseconds(1500)).reply(200, "{}");
  host_.clearMessages();
  const auto started = std::chrono::steady_clock::now();
  auto a = createWithUrl(plugin(), failing.url());
  auto b = createWithUrl(plugin(), silent.url());
  // Creation never waits for the beacon.
  EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(1000));
  ASSERT_TRUE(failing.waitForRequests(1, kBeaconWait));
  ASSERT_TRUE(silent.waitForRequests(1, kBeaconWait));
  std::this_thread::sleep_for(kQuietWait);
  EXPECT_EQ(0u, a->pumpEvents() + b->pumpEvents());
  EXPECT_EQ("idle", *a->getString("status"));
  EXPECT_EQ("idle", *b->getString("status"));
  EXPECT_TRUE(host_.messages().empty());
  EXPECT_EQ(kOfxStatOK, a->destroy());
  EXPECT_EQ(kOfxStatOK, b->destroy());
}

}  // namespace
