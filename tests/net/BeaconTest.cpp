#include "net/Beacon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/HttpClient.h"
#include "net/HttpInternal.h"
#include "net/Version.h"
#include "tests/support/FakeBackend.h"

namespace {

using kesto::test::FakeBackend;
using std::chrono::milliseconds;

constexpr milliseconds kBeaconWait{3000};

TEST(Beacon, BodyNamesVersionHostAndBuildPlatform) {
  EXPECT_STREQ(kesto::kPluginVersionString, "1.1.0");
  EXPECT_EQ(kesto::beaconBody(), std::string(R"({"arch":")") + kesto::buildArchWord() + R"(","host":"resolve","os":")" +
                                     kesto::buildOsWord() + R"(","plugin_version":"1.1.0"})");
#if defined(__linux__) && defined(__x86_64__)
  EXPECT_STREQ(kesto::buildOsWord(), "linux");
  EXPECT_STREQ(kesto::buildArchWord(), "x86_64");
#endif
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
  EXPECT_TRUE(kesto::is_sendable_url("http://127.0.0.1:9/api/beacon"));
}

}  // namespace
