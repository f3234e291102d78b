#include "net/Beacon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "net/HttpClient.h"
#include "net/HttpInternal.h"
#include "net/Version.h"
#include "tests/support/FakeBackend.h"

namespace {

using kesto::test::FakeBackend;
using std::chrono::milliseconds;

constexpr milliseconds kBeaconWait{3000};
// After the expected requests arrived, how long to watch for an unexpected extra one.
constexpr milliseconds kQuietWait{200};

std::string expected_body() {
#if defined(__linux__) && defined(__x86_64__)
  return R"({"arch":"x86_64","host":"resolve","os":"linux","plugin_version":"1.1.0"})";
#else
  return std::string(R"({"arch":")") + kesto::buildArchWord() + R"(","host":"resolve","os":")" +
         kesto::buildOsWord() + R"(","plugin_version":"1.1.0"})";
#endif
}

TEST(Beacon, BodyNamesVersionHostAndBuildPlatform) {
  EXPECT_STREQ(kesto::kPluginVersionString, "1.1.0");
  EXPECT_EQ(kesto::beaconBody(), expected_body());
  const auto parsed = nlohmann::json::parse(kesto::beaconBody());
  EXPECT_EQ(parsed.size(), 4u);
  const std::string os = kesto::buildOsWord();
  const std::string arch = kesto::buildArchWord();
  EXPECT_TRUE(os == "linux" || os == "macos" || os == "windows") << os;
  EXPECT_TRUE(arch == "x86_64" || arch == "arm64") << arch;
}

TEST(Beacon, StartSendsOnePostWithExactBodyAndHeaders) {
  FakeBackend fb;
  fb.on("POST", "/api/beacon").reply(200, "{}");
  ASSERT_TRUE(kesto::startBeacon(fb.url()));
  // libcurl was set up on this thread, before the detached one started: that thread then leaves no
  // TLS-library state behind that the process's exit would free under it.
  EXPECT_EQ(kesto::detail::global_init_count(), 1);
  ASSERT_TRUE(fb.waitForRequests(1, kBeaconWait));
  std::this_thread::sleep_for(kQuietWait);
  const auto seen = fb.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].path, "/api/beacon");
  EXPECT_EQ(seen[0].body, expected_body());
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].header("Accept"), "application/json");
  EXPECT_EQ(seen[0].header("User-Agent"), "OrvalisTrevane-OFX/1.1");
}

TEST(Beacon, TrailingSlashIsKeptAsDoubleSlash) {
  FakeBackend fb;
  ASSERT_TRUE(kesto::startBeacon(fb.url() + "/"));
  ASSERT_TRUE(fb.waitForRequests(1, kBeaconWait));
  EXPECT_EQ(fb.requests()[0].target, "//api/beacon");
}

TEST(Beacon, TwoStartsSendTwoIdenticalBodies) {
  FakeBackend fb;
  fb.on("POST", "/api/beacon").reply(204);
  ASSERT_TRUE(kesto::startBeacon(fb.url()));
  ASSERT_TRUE(kesto::startBeacon(fb.url()));
  ASSERT_TRUE(fb.waitForRequests(2, kBeaconWait));
  std::this_thread::sleep_for(kQuietWait);
  const auto seen = fb.requests("POST", "/api/beacon");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].body, seen[1].body);
  EXPECT_EQ(fb.requestCount(), 2u);
}

TEST(Beacon, FailuresAreSilentAndNotRetried) {
  FakeBackend fb;
  fb.on("POST", "/api/beacon").reply(500, "boom", "text/plain");
  ASSERT_TRUE(kesto::startBeacon(fb.url()));
  ASSERT_TRUE(fb.waitForRequests(1, kBeaconWait));
  std::this_thread::sleep_for(kQuietWait);
  EXPECT_EQ(fb.requestCount(), 1u);
  // Runs to its end without throwing: a dropped connection and a base URL that is no address at all.
  fb.on("POST", "/api/beacon").drop();
  kesto::runBeacon(fb.url());
  kesto::runBeacon("http");
  EXPECT_EQ(fb.requestCount(), 2u);
}

}  // namespace

namespace {

// URLs the client never sends to start no thread at all: the placeholder under ".invalid", or no scheme.
TEST(Beacon, UnsendableBaseUrlsStartNothing) {
  EXPECT_FALSE(kesto::startBeacon("https://paste-your-backend-url.invalid"));
  EXPECT_FALSE(kesto::startBeacon("http"));
  EXPECT_FALSE(kesto::startBeacon("httpfoo"));
  EXPECT_TRUE(kesto::is_sendable_url("http://127.0.0.1:9/api/beacon"));
  EXPECT_FALSE(kesto::is_sendable_url("https://x.INVALID/api/beacon"));
}

}  // namespace
