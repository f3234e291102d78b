// The usage beacon as a host sees it: creating an instance whose "backend_url" looks like a web address sends
// one POST to "/api/beacon", and nothing about the instance depends on its outcome.

#include <chrono>
#include <string>
#include <thread>

#include "PluginFixture.h"
#include "net/Beacon.h"
#include "tests/support/FakeBackend.h"

namespace {

using kesto::test::FakeBackend;
using std::chrono::milliseconds;

constexpr milliseconds kBeaconWait{3000};
constexpr milliseconds kQuietWait{300};

// Each instance whose URL starts with exactly "http" sends one beacon to the URL as typed (a trailing slash
// gives a double slash), and a failing backend changes nothing about the instance. That no create or destroy
// waits for a beacon's reply: the stress test of instances that come and go while the backend holds them.
TEST_F(PluginTest, CreatingAnInstanceSendsOneBeaconWhateverTheReply) {
  FakeBackend fb;
  fb.on("POST", "/api/beacon").reply(500, "{\"error\":\"down\"}");
  const std::string address = fb.url().substr(std::string("http").size());  // "://127.0.0.1:PORT"
  host_.clearMessages();
  std::vector<std::unique_ptr<th::Instance>> made;
  for (const std::string &url : {fb.url(), fb.url() + "/", "HTTP" + address, " http" + address, std::string("http"),
                                 std::string("")}) {
    th::InstanceOptions reopened;  // a project saved with this URL: the value is in place at creation
    reopened.savedValues = {{"backend_url", url}};
    made.push_back(makeInstance(reopened));
    ASSERT_NE(nullptr, made.back()) << url;
  }
  ASSERT_TRUE(fb.waitForRequests(2, kBeaconWait));
  std::this_thread::sleep_for(kQuietWait);
  const auto seen = fb.requests();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(kesto::beaconBody(), seen[0].body);
  EXPECT_EQ(seen[0].body, seen[1].body);
  EXPECT_TRUE((seen[0].target == "/api/beacon" && seen[1].target == "//api/beacon") ||
              (seen[1].target == "/api/beacon" && seen[0].target == "//api/beacon"));
  for (const auto &fx : made) {
    EXPECT_EQ(0u, fx->pumpEvents());
    EXPECT_EQ("idle", *fx->getString("status"));
    EXPECT_EQ(kOfxStatOK, fx->destroy());
  }
  EXPECT_TRUE(host_.messages().empty());
}

}  // namespace
