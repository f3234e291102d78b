#include "tests/job/JobFixture.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <type_traits>

#include "tests/support/ImageFiles.h"

namespace jobtest {

void JobTest::SetUp() {
  loaded_ = host_.load(JOB_PROBE_BUNDLE);
  ASSERT_TRUE(loaded_.ok()) << loaded_.error;
  // The probe's switches, each a C function of the module.
  const auto find = [this](auto &function, const char *name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(loaded_.plugin->symbol(name));
    return function != nullptr;
  };
  ASSERT_TRUE(find(configure_, "trevaneJobProbeConfigure") && find(busy_, "trevaneJobProbeBusy") &&
              find(failNextWorkerStart_, "trevaneJobProbeFailNextWorkerStart") &&
              find(spoolsRemovedWhileBusy_, "trevaneJobProbeTakeSpoolsRemovedWhileBusy"));
  configure(kTestSilenceMs, root());
  ASSERT_FALSE(busy()) << "a job of an earlier test is still running";
  spoolsRemovedWhileBusy();  // an earlier test's count
  backend_ = std::make_unique<FakeBackend>();
  static std::atomic<int> sessions{0};  // unique in the process and across processes
  sessionId_ = "jt-" + std::to_string(::getpid()) + "-" + std::to_string(++sessions);
  const std::vector<std::uint8_t> gray(16 * 8, 200);
  ASSERT_TRUE(kesto::testing::write_png_file(elsewhere_.dir() + "matte.png", gray.data(), 16, 8, 1));
  matte_ = fileText(elsewhere_.dir() + "matte.png");
  std::remove((elsewhere_.dir() + "matte.png").c_str());
  fx_ = makeInstance();
  ASSERT_NE(fx_, nullptr);
}

void JobTest::TearDown() {
  if (fx_) fx_->destroy();
  backend_.reset();  // held replies end at once
  EXPECT_TRUE(waitUntilIdle()) << "the job did not end";
  if (configure_ != nullptr) configure_(0, 0, 0, nullptr);
}

std::unique_ptr<th::Instance> JobTest::makeInstance(int frames, int width, int height, double first,
                                                    th::PixelDepth depth, th::Plugin *plugin) {
  th::InstanceOptions options;
  options.depth = depth;
  auto made = (plugin != nullptr ? plugin : loaded_.plugin.get())->createInstance(options);
  EXPECT_TRUE(made.ok()) << made.error();
  if (!made.ok()) return nullptr;
  std::unique_ptr<th::Instance> fx = std::move(*made);
  for (int i = 0; i < frames; ++i) {
    th::Image frame = th::Image::make({0, 0, width, height}, depth);
    frame.fill({0.25f, 0.5f, 0.75f, 1.0f});
    fx->setSourceFrame(first + i, frame);
  }
  EXPECT_TRUE(fx->setString("backend_url", backend_->url()).ok());
  return fx;
}

OfxStatus JobTest::press(th::Instance *fx) {
  th::Instance *target = fx != nullptr ? fx : fx_.get();
  auto pressed = target->pressButton("pull_alpha");
  EXPECT_TRUE(pressed.ok()) << pressed.error();
  return pressed.ok() ? *pressed : kOfxStatErrUnknown;
}

bool JobTest::waitUntilIdle(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (busy()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (fx_ && !fx_->destroyed()) fx_->pumpEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (fx_ && !fx_->destroyed()) fx_->pumpEvents();
  return true;
}

std::string JobTest::param(const std::string &name, th::Instance *fx) const {
  const th::Instance *target = fx != nullptr ? fx : fx_.get();
  auto value = target->getString(name);
  return value.ok() ? *value : "<" + value.error() + ">";
}

std::string JobTest::spoolDir() const {
  for (const std::string &name : folderEntries(root())) {
    if (name.rfind("upload_", 0) == 0) return root() + name + "/";
  }
  return {};
}

}  // namespace jobtest
