#include "net/Beacon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

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

TEST(Beacon, BodyNamesVersionHostAndBuildPlatform) {
  EXPECT_STREQ(kesto::kPluginVersionString, "1.1.0");
  EXPECT_EQ(kesto::beaconBody(), std::string(R"({"arch":")") + kesto::buildArchWord() + R"(","host":"resolve","os":")" +
                                     kesto::buildOsWord() + R"(","plugin_version":"1.1.0"})");
#if defined(__linux__) && defined(__x86_64__)
  EXPECT_STREQ(kesto::buildOsWord(), "linux");
  EXPECT_STREQ(kesto::buildArchWord(), "x86_64");
#endif
}

// One POST, the body exactly, once: a failure is neither reported nor retried.
TEST(Beacon, StartSendsOnePostAndForgetsIt) {
  FakeBackend fb;
  fb.on("POST", "/api/beacon").reply(500, "boom", "text/plain");
  ASSERT_TRUE(kesto::startBeacon(fb.url()));
  // libcurl was set up on this thread, before the detached one started: that thread then leaves no
  // TLS-library state behind that the process's exit would free under it.
  EXPECT_EQ(kesto::detail::global_init_count(), 1);
  ASSERT_TRUE(fb.waitForRequests(1, kBeaconWait));
  std::this_thread::sleep_for(kQuietWait);
  const auto seen = fb.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].target, "/api/beacon");
  EXPECT_EQ(seen[0].body, kesto::beaconBody());
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  // Runs to its end without throwing: a dropped connection and a base URL that is no address at all.
  fb.on("POST", "/api/beacon").drop();
  kesto::runBeacon(fb.url());
  kesto::runBeacon("http");
  EXPECT_EQ(fb.requestCount(), 2u);
}

// URLs the client never sends start no thread at all: the placeholder under ".invalid", or no scheme.
TEST(Beacon, UnsendableBaseUrlsStartNothing) {
  for (const char *url : {"https://paste-your-backend-url.invalid", "https://x.INVALID", "http", "httpfoo"}) {
    EXPECT_FALSE(kesto::startBeacon(url)) << url;
  }
  EXPECT_TRUE(kesto::is_sendable_url("http://127.0.0.1:9/api/beacon"));
}

}  // namespace
