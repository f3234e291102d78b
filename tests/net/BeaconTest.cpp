#include "net/Beacon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/HttpClient.h"
#include "net/HttpInternal.h"
#include "tests/support/FakeBackend.h"

namespace {

using kesto::test::FakeBackend;
using std::chrono::milliseconds;

constexpr milliseconds kBeaconWait{3000};

TEST(Beacon, BodyNamesVersionHostAndBuildPlatform) {
#if !defined(__linux__) || !defined(__x86_64__)
  GTEST_SKIP() << "the known answer is for a Linux x86-64 build";
#endif
  EXPECT_EQ(kesto::beaconBody(), R"({"arch":"x86_64","host":"resolve","os":"linux","plugin_version":"1.1.0"})");
}

// That an instance sends this body once, in the background, whatever the reply, is tested with the plug-in;
// here, that libcurl is set up on the starting thread, and that URLs the client never sends to (the placeholder
// under ".invalid", or no scheme) start no thread at all.
TEST(Beacon, StartSetsUpLibcurlOnItsOwnThreadAndNothingForUnsendableUrls) {
  FakeBackend fb;
  fb.on("POST", "/api/beacon").reply(200, "{}");
  ASSERT_TRUE(kesto::startBeacon(fb.url()));
  // Set up before the detached thread started: that thread then leaves no TLS-library state behind that the
  // process's exit would free under it.
  EXPECT_EQ(kesto::detail::global_init_count(), 1);
  ASSERT_TRUE(fb.waitForRequests(1, kBeaconWait));
  EXPECT_EQ(fb.requests()[0].target, "/api/beacon");
  for (const char *url : {"https://paste-your-backend-url.invalid", "https://x.INVALID", "http", "httpfoo"}) {
    EXPECT_FALSE(kesto::startBeacon(url)) << url;
  }
}

}  // namespace
