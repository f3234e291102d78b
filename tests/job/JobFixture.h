#pragma once
// Shared by the job tests that go through the host: the probe build of the module (the shipped library plus
// exported test switches), a job root of the test's own, a fake backend scripted for a whole session, and
// helpers to press, wait and look.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Host.h"
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

// Route patterns of the backend protocol.
inline constexpr const char *kSessionsPath = "/api/matte/sessions";
inline constexpr const char *kFramePattern = "/api/matte/sessions/[^/]+/frames/[0-9]+";
inline constexpr const char *kStartPattern = "/api/matte/sessions/[^/]+/start";
inline constexpr const char *kPollPattern = "/api/matte/sessions/[^/]+";
inline constexpr const char *kMattePattern = "/api/matte/sessions/[^/]+/alpha/[0-9]+\\.png";

// A folder under /tmp of the test's own, removed with everything in it. path() ends in '/'.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// "jt-<pid>-<n>": unique in the process and across processes.
std::string uniqueSessionId();
// A gray PNG file's bytes.
std::string pngBytes(const std::vector<std::uint8_t> &gray, int width, int height);
// A frame of one colour, bounds starting at (0, 0).
th::Image solidFrame(int width, int height, const th::Rgba &colour, th::PixelDepth depth = th::PixelDepth::Byte);
// Names in a folder, sorted; empty when it does not exist.
std::vector<std::string> folderEntries(const std::string &path);
bool exists(const std::string &path);
std::string readFile(const std::string &path);
// Permission bits of a path (lstat), or -1.
int modeOf(const std::string &path);
// The session reply body for `id`.
std::string sessionBody(const std::string &id);

class JobTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The probe's switches.
  void configure(int pollMs, int silenceMs, int spoolThreads, const std::string &root);
  bool busy() const;
  void failNextWorkerStart();

  // A new instance with `frames` frames of width x height served from time `first`, backend_url pointing at
  // the fake backend. Replaces fx_.
  std::unique_ptr<th::Instance> makeInstance(int frames = 3, int width = 16, int height = 8, double first = 0.0,
                                             th::PixelDepth depth = th::PixelDepth::Byte);
  // Scripts every route for a session that completes at the first poll, serving matte_ for every frame.
  void scriptHappySession();

  OfxStatus press(th::Instance *fx = nullptr);
  // Pumps fx_'s events until the busy flag is clear; false on timeout.
  bool waitUntilIdle(std::chrono::milliseconds timeout = kJobWait);
  std::string status(th::Instance *fx = nullptr) const;
  std::string param(const std::string &name, th::Instance *fx = nullptr) const;
  std::vector<std::string> messages() const;
  const std::string &root() const { return root_.path(); }
  // The one spool folder in the root ("" when there is none), with its closing '/'.
  std::string spoolDir() const;
  std::vector<RecordedRequest> requests(const std::string &method, const std::string &pattern) const;
  // Stops the fake backend now: held replies end at once.
  void stopBackend();

  th::Host host_;
  th::LoadResult loaded_;
  TempDir root_;
  std::unique_ptr<FakeBackend> backend_;
  std::string sessionId_;
  std::string matte_;  // PNG bytes served for every frame by scriptHappySession
  std::unique_ptr<th::Instance> fx_;

 private:
  void (*configure_)(int, int, int, const char *) = nullptr;
  int (*busy_)() = nullptr;
  void (*failNextWorkerStart_)() = nullptr;
};

}  // namespace jobtest
