#pragma once
// Shared by the job tests that go through the host: the probe build of the module (the shipped library plus
// exported test switches), a job root of the test's own, a fake backend scripted for a whole session, and
// helpers to press, wait and look. Members are public so that case tables can script and check through them.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/Host.h"
#include "tests/job/Files.h"
#include "tests/support/FakeBackend.h"

namespace jobtest {

namespace th = kesto::host;
using kesto::test::FakeBackend;
using kesto::test::RecordedRequest;
using kesto::test::Reply;

// Poll interval and silence limit of the probe in these tests.
inline constexpr int kTestPollMs = 20;
inline constexpr int kTestSilenceMs = 5000;
inline constexpr std::chrono::milliseconds kJobWait{8000};
inline constexpr const char *kBusyMessage = "Orvalis: a matte is already being pulled.";

// Route patterns of the backend protocol.
inline constexpr const char *kSessionsPath = "/api/matte/sessions";
inline constexpr const char *kFramePattern = "/api/matte/sessions/[^/]+/frames/[0-9]+";
inline constexpr const char *kStartPattern = "/api/matte/sessions/[^/]+/start";
inline constexpr const char *kPollPattern = "/api/matte/sessions/[^/]+";
inline constexpr const char *kMattePattern = "/api/matte/sessions/[^/]+/alpha/[0-9]+\\.png";

inline Reply json(const std::string &body, int status = 200) { return Reply{status, body, "application/json", {}}; }

class JobTest : public ::testing::Test {
 public:
  void SetUp() override;
  void TearDown() override;

  // The probe's switches: silence limit and job root (poll interval kTestPollMs, two spool threads).
  void configure(int silenceMs, const std::string &root) { configure_(kTestPollMs, silenceMs, 2, root.c_str()); }
  bool busy() const { return busy_() != 0; }
  // Spool folders removed while the busy flag was still held, since the last call.
  int spoolsRemovedWhileBusy() const { return spoolsRemovedWhileBusy_(); }

  // A new instance (of the probe in host_, or of `plugin`) with `frames` frames of one colour, width x height,
  // served from time `first`, backend_url pointing at the fake backend.
  std::unique_ptr<th::Instance> makeInstance(int frames = 3, int width = 16, int height = 8, double first = 0.0,
                                             th::PixelDepth depth = th::PixelDepth::Byte, th::Plugin *plugin = nullptr);
  // Scripts every route for a session that completes at the first poll, serving matte_ for every frame.
  void scriptHappySession() { kesto::test::scriptMatteSession(*backend_, sessionId_, matte_); }

  OfxStatus press(th::Instance *fx = nullptr);
  // Pumps fx_'s events until the busy flag is clear; false on timeout.
  bool waitUntilIdle(std::chrono::milliseconds timeout = kJobWait);
  std::string status(th::Instance *fx = nullptr) const { return param("status", fx); }
  std::string param(const std::string &name, th::Instance *fx = nullptr) const;
  Texts messages() const {
    Texts texts;
    for (const auto &m : host_.messages()) texts.push_back(m.text);
    return texts;
  }
  std::string root() const { return root_.dir(); }
  std::string sessionPath() const { return std::string(kSessionsPath) + "/" + sessionId_; }
  std::string matteDir() const { return root() + sessionId_ + "/"; }
  // The one spool folder in the root ("" when there is none), with its closing '/'.
  std::string spoolDir() const;
  std::vector<RecordedRequest> requests(const std::string &method, const std::string &pattern) const {
    return backend_->requests(method, pattern);
  }
  std::size_t count(const std::string &method, const std::string &pattern) const {
    return requests(method, pattern).size();
  }

  th::Host host_;
  th::LoadResult loaded_;
  kesto::testing::ScratchFolder root_{"trevane-job"};
  kesto::testing::ScratchFolder elsewhere_{"trevane-job"};  // a folder outside the job root
  std::unique_ptr<FakeBackend> backend_;
  std::string sessionId_;
  std::string matte_;  // PNG bytes served for every frame by scriptHappySession
  std::unique_ptr<th::Instance> fx_;
  void (*configure_)(int, int, int, const char *) = nullptr;
  int (*busy_)() = nullptr;
  void (*failNextWorkerStart_)() = nullptr;
  int (*spoolsRemovedWhileBusy_)() = nullptr;
};

}  // namespace jobtest
