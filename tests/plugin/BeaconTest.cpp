// The usage beacon as a host sees it: creating an instance whose "backend_url" looks like a web address sends
// one POST to "/api/beacon", in the background, and nothing about the instance depends on its outcome.

#include <atomic>
#include <chrono>
#include <future>
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
// gives a double slash); creation waits for none - the silent backend holds its reply until every instance has
// been made - and a failing or silent backend changes nothing about the instance.
TEST_F(PluginTest, CreatingAnInstanceSendsOneBeaconAndWaitsForNone) {
  FakeBackend fb;
  fb.on("POST", "/api/beacon").reply(500, "{\"error\":\"down\"}");
  FakeBackend silent;
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::atomic<int> held{0};  // 1: the reply waited for the release, 2: the release never came
  silent.on("POST", "/api/beacon").respond([&](const kesto::test::RecordedRequest &) {
    held = released.wait_for(kBeaconWait) == std::future_status::ready ? 1 : 2;
    return kesto::test::Reply{200, "{}", "application/json", {}};
  });
  const std::string address = fb.url().substr(std::string("http").size());  // "://127.0.0.1:PORT"
  host_.clearMessages();
  std::vector<std::unique_ptr<th::Instance>> made;
  for (const std::string &url : {fb.url(), fb.url() + "/", silent.url(), "HTTP" + address, " http" + address,
                                 std::string("http"), std::string("")}) {
    th::InstanceOptions reopened;  // a project saved with this URL: the value is in place at creation
    reopened.savedValues = {{"backend_url", url}};
    made.push_back(makeInstance(reopened));
    ASSERT_NE(nullptr, made.back()) << url;
  }
  release.set_value();
  ASSERT_TRUE(fb.waitForRequests(2, kBeaconWait));
  ASSERT_TRUE(silent.waitForRequests(1, kBeaconWait));
  for (auto waited = milliseconds(0); held == 0 && waited < kBeaconWait; waited += milliseconds(5)) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_EQ(1, held.load()) << "creating an instance waited for its beacon";
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
