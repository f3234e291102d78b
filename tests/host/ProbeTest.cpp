// The host driven through HostProbe, a plug-in built here as a real bundle: finding and loading bundles,
// describe, parameters and their notifications, renders and image accounting, the suites' refusals. Image
// layouts, clip preferences and the overlay's plumbing are walked by the real plug-in's tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "HostProbeState.h"
#include "host/Host.h"
#include "tests/support/ScratchFolder.h"

namespace th = trevane::host;
namespace fs = std::filesystem;

namespace {

// The probe's State counters are process-wide, so tests compare before and after.
class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loaded_ = host_.load(HOST_PROBE_BUNDLE);
    ASSERT_TRUE(loaded_.ok()) << loaded_.error;
    state_ = reinterpret_cast<host_probe::State *(*)()>(loaded_.plugin->symbol("HostProbeState"))();
    auto made = loaded_.plugin->createInstance();
    ASSERT_TRUE(made.ok()) << made.error();
    fx_ = std::move(*made);
    effects_ = static_cast<const OfxImageEffectSuiteV1 *>(host_.fetchSuite(kOfxImageEffectSuite, 1));
    params_ = static_cast<const OfxParameterSuiteV1 *>(host_.fetchSuite(kOfxParameterSuite, 1));
  }

  // The instance's parameter handle, as the plug-in would get it.
  OfxParamHandle param(const char *name) {
    OfxParamSetHandle set = nullptr;
    EXPECT_EQ(effects_->getParamSet(fx_->handle(), &set), kOfxStatOK);
    OfxParamHandle p = nullptr;
    EXPECT_EQ(params_->paramGetHandle(set, name, &p, nullptr), kOfxStatOK) << name;
    return p;
  }

  th::Host host_;
  th::LoadResult loaded_;
  host_probe::State *state_ = nullptr;
  std::unique_ptr<th::Instance> fx_;
  const OfxImageEffectSuiteV1 *effects_ = nullptr;
  const OfxParameterSuiteV1 *params_ = nullptr;
};

// A size x size byte frame of one colour (the probe copies the first pixel only).
std::shared_ptr<const th::Image> solid(int size, float blue) {
  auto image = std::make_shared<th::Image>(th::Image::make(OfxRectI{0, 0, size, size}, th::PixelDepth::Byte));
  image->fill(th::Rgba{0.0F, 0.0F, blue, 1.0F});
  return image;
}

// By name on the search path or OFX_PLUGIN_PATH; each stage of a load refuses what it cannot use: a bundle
// without a binary or with garbage for one, and a plug-in without the filter context (one that refuses to
// load without a withheld suite: the real plug-in's tests).
TEST(Bundle, FindsBundlesByNameAndEachLoadStageRefusesWhatItCannotUse) {
  auto direct = th::findBundle(HOST_PROBE_BUNDLE, {}, false);
  ASSERT_TRUE(direct.ok()) << direct.error();
  auto byName = th::findBundle("HostProbe", {"/nonexistent", HOST_PROBE_DIR}, false);
  EXPECT_EQ(byName.ok() ? byName->binaryPath : byName.error(), direct->binaryPath);
  ::setenv("OFX_PLUGIN_PATH", (std::string("/nonexistent:") + HOST_PROBE_DIR).c_str(), 1);
  EXPECT_TRUE(th::findBundle("HostProbe.ofx.bundle", {}, true).ok());
  ::unsetenv("OFX_PLUGIN_PATH");

  const kesto::testing::ScratchFolder root("trevane-host-bundle");
  fs::create_directories(root.path() + "/Empty.ofx.bundle/Contents/Linux-x86-64");
  fs::create_directories(root.path() + "/Garbage.ofx.bundle/Contents/Linux-x86-64");
  std::ofstream(root.path() + "/Garbage.ofx.bundle/Contents/Linux-x86-64/Garbage.ofx") << "not a shared object";
  th::HostOptions inRoot;
  inRoot.searchPath = {root.path()};
  inRoot.useEnvironmentPath = false;
  const struct {
    const th::HostOptions &options;
    std::string what;
    th::LoadStage stage;
    const char *says;
  } cases[] = {
      {inRoot, "NoSuchPlugin", th::LoadStage::Find, "NoSuchPlugin.ofx.bundle"},
      {inRoot, "Empty", th::LoadStage::Find, "Empty.ofx"},
      {inRoot, "Garbage", th::LoadStage::Open, "dlopen"},
      {{}, HOST_PROBE_BUNDLE, th::LoadStage::Describe, "filter"},  // HOST_PROBE_NO_FILTER: the general context only
  };
  ::setenv("HOST_PROBE_NO_FILTER", "1", 1);
  for (const auto &c : cases) {
    th::Host host(c.options);
    const th::LoadResult refused = host.load(c.what);
    EXPECT_EQ(refused.stage, c.stage) << c.what;
    EXPECT_NE(refused.error.find(c.says), std::string::npos) << refused.error;
  }
  ::unsetenv("HOST_PROBE_NO_FILTER");
}

// User edits clamp like the plug-in's and deliver begin/changed/end at once; refused edits notify nobody.
TEST_F(ProbeTest, UserEditsClampOrAreRefused) {
  enum Kind { Int, Double, Text, Button };
  struct Edit {
    const char *name;
    Kind kind;
    double value;
    std::optional<double> stored;  // none: refused
  };
  const Edit edits[] = {
      {"gain", Double, 2.5, 1.0}, {"gain", Double, -1.0, 0.0}, {"count", Int, -3, 0.0}, {"count", Int, 7, 7.0},
      {"count", Int, 11, 10.0},   {"flag", Int, 5, 1.0},       {"mode", Int, 2, 2.0},   {"mode", Int, 3, {}},
      {"mode", Int, -1, {}},      {"count", Text, 0, {}},      {"missing", Int, 1, {}}, {"text", Button, 0, {}},
  };
  const auto notified = [this] {
    return std::vector<int>{state_->beginChanged.load(), state_->changed.load(), state_->endChanged.load()};
  };
  for (const Edit &e : edits) {
    std::vector<int> expected = notified();
    const bool ok = e.kind == Int      ? fx_->setInt(e.name, static_cast<int>(e.value)).ok()
                    : e.kind == Double ? fx_->setDouble(e.name, e.value).ok()
                    : e.kind == Text   ? fx_->setString(e.name, "3").ok()
                                       : fx_->pressButton(e.name).ok();
    const std::string row = std::string(e.name) + " = " + std::to_string(e.value);
    ASSERT_EQ(ok, e.stored.has_value()) << row;
    for (int &n : expected) n += ok ? 1 : 0;
    EXPECT_EQ(notified(), expected) << row;  // begin, changed, end
    if (!ok) continue;
    EXPECT_EQ(e.kind == Double ? *fx_->getDouble(e.name) : *fx_->getInt(e.name), *e.stored) << row;
    EXPECT_STREQ(state_->lastChangedName, e.name);
    EXPECT_STREQ(state_->lastReason, kOfxChangeUserEdited);
  }
}

// Plug-in writes from a thread of its own are queued for pumpEvents, from the main thread they land at once; a
// text the plug-in read stays readable after it was rewritten (many threads at once: the stress tests); the
// suites refuse what the plug-in may not do. Then the instance's life: the probe declares the byte depth only, a plug-in with a live instance is not
// unloaded, the handles of a destroyed instance are refused, and the unload goes ahead once it is gone.
TEST_F(ProbeTest, PluginEditsAndCallsItMayNotMakeThenADestroyedInstancesHandlesAreRefused) {
  th::InstanceOptions asFloat;
  asFloat.depth = th::PixelDepth::Float;
  EXPECT_FALSE(loaded_.plugin->createInstance(asFloat).ok());
  const OfxParamHandle text = param("text");
  const OfxParamHandle count = param("count");
  char *before = nullptr;
  ASSERT_EQ(params_->paramGetValue(text, &before), kOfxStatOK);
  const int changes = state_->changed.load();
  std::thread([&] {
    params_->paramSetValue(text, "from worker");
    params_->paramSetValue(count, 99);
  }).join();
  EXPECT_STREQ(before, "hello");  // the old text is retired, not freed
  EXPECT_EQ(*fx_->getString("text"), "from worker");
  EXPECT_EQ(*fx_->getInt("count"), 10);  // 99, clamped to the maximum
  EXPECT_EQ(state_->changed.load(), changes);
  EXPECT_EQ(fx_->pendingEvents(), 2U);
  EXPECT_EQ(fx_->pumpEvents(), 2U);
  EXPECT_EQ(state_->changed.load(), changes + 2);
  EXPECT_STREQ(state_->lastChangedName, "count");
  EXPECT_STREQ(state_->lastReason, kOfxChangePluginEdited);
  ASSERT_EQ(params_->paramSetValue(text, "direct"), kOfxStatOK);
  EXPECT_EQ(*fx_->getString("text"), "direct");
  // Calls the plug-in may not make, while described or outside any render, and the standard's status for each.
  EXPECT_EQ(state_->defineDuplicateStatus.load(), kOfxStatErrExists);
  OfxParamSetHandle set = nullptr;
  ASSERT_EQ(effects_->getParamSet(fx_->handle(), &set), kOfxStatOK);
  OfxImageClipHandle output = nullptr;
  ASSERT_EQ(effects_->clipGetHandle(fx_->handle(), kOfxImageEffectOutputClipName, &output, nullptr), kOfxStatOK);
  OfxParamHandle p = nullptr;
  OfxPropertySetHandle image = nullptr;
  void *block = nullptr;
  int i = 0;
  EXPECT_EQ(params_->paramGetHandle(set, "nope", &p, nullptr), kOfxStatErrUnknown);
  EXPECT_EQ(params_->paramGetValue(param("poke"), &i), kOfxStatErrUnsupported);  // a push button has none
  EXPECT_EQ(params_->paramEditEnd(set), kOfxStatFailed);                         // without a begin
  EXPECT_EQ(effects_->clipGetImage(output, 0.0, nullptr, &image), kOfxStatFailed);  // the output, outside a render
  EXPECT_EQ(effects_->clipReleaseImage(reinterpret_cast<OfxPropertySetHandle>(0x1234)), kOfxStatErrBadHandle);
  EXPECT_EQ(effects_->imageMemoryLock(reinterpret_cast<OfxImageMemoryHandle>(fx_->handle()), &block),
            kOfxStatErrBadHandle);  // a handle of another kind

  const int unloads = state_->unloads.load();
  EXPECT_FALSE(loaded_.plugin->unload().ok());
  const OfxImageEffectHandle handle = fx_->handle();
  EXPECT_EQ(fx_->destroy(), kOfxStatReplyDefault);  // the plug-in's reply
  OfxPropertySetHandle props = nullptr;
  EXPECT_EQ(effects_->getPropertySet(handle, &props), kOfxStatErrBadHandle);
  EXPECT_EQ(params_->paramSetValue(text, "late"), kOfxStatErrBadHandle);
  EXPECT_EQ(fx_->render(0).status, kOfxStatFailed);
  EXPECT_FALSE(fx_->setString("text", "x").ok());
  fx_.reset();
  auto first = loaded_.plugin->unload();
  ASSERT_TRUE(first.ok()) << first.error();
  loaded_.plugin.reset();
  EXPECT_EQ(state_->unloads.load(), unloads + 1);
}

// Frames set one by one (renders of those: the other tests), then from a provider, each render's from its own
// time, on several threads only when the effect allows it; a render may neither set parameters nor fetch the
// output at another time. An image the plug-in leaks is counted against the render and the instance, and a
// second release of one is refused.
TEST_F(ProbeTest, ServesFramesRendersOnSeveralThreadsOnlyWhenAllowedAndCountsImagesLeakedOrReleasedTwice) {
  fx_->setSourceFrame(-5, *solid(2, 0.0F));  // times the renders below do not ask for
  fx_->setSourceFrame(-1, *solid(2, 0.0F));
  EXPECT_EQ(fx_->properties().getDouble(kOfxImageEffectInstancePropEffectDuration), 5.0);
  fx_->setSourceProvider(
      [](double frame) { return frame < 0 || frame > 9 ? nullptr : solid(8, static_cast<float>(frame) / 255.0F); },
      0, 9);
  EXPECT_EQ(fx_->clipProperties("Source")->getDouble(kOfxImageEffectPropFrameRange, 1), 9.0);
  EXPECT_EQ(fx_->properties().getDouble(kOfxImageEffectInstancePropEffectDuration), 10.0);
  // Not fully render-safe (the probe's default), or fully safe without letting the host thread its frames:
  // never concurrent.
  th::PropertySet &descriptor = loaded_.plugin->descriptor();
  for (int threading : {1, 0}) {
    descriptor.setInt(kOfxImageEffectPluginPropHostFrameThreading, threading);
    EXPECT_FALSE(fx_->renderMany({0, 1}, 2).ok()) << threading;
    descriptor.setString(kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectRenderFullySafe);
  }
  descriptor.setInt(kOfxImageEffectPluginPropHostFrameThreading, 1);
  auto results = fx_->renderMany({0, 1, 2, 3}, 2);
  ASSERT_TRUE(results.ok()) << results.error();
  ASSERT_EQ(results->size(), 4U);
  for (int t = 0; t < 4; ++t) {
    const th::RenderResult &r = (*results)[static_cast<std::size_t>(t)];
    EXPECT_EQ(r.status, kOfxStatOK) << r.error;
    EXPECT_EQ(r.output.pixelBytes(0, 0), (th::Rgba8{0, 0, static_cast<std::uint8_t>(t), 255})) << t;
  }
  EXPECT_EQ(fx_->render(12).status, kOfxStatFailed);
  EXPECT_EQ(state_->renderParamSetStatus.load(), kOfxStatFailed);
  EXPECT_EQ(state_->outputOtherTimeStatus.load(), kOfxStatFailed);
  EXPECT_EQ(*fx_->getString("text"), "hello");
  EXPECT_EQ(fx_->pendingEvents(), 0U);
  EXPECT_EQ(fx_->unreleasedImages(), 0);

  const int outstanding = th::outstandingImages();
  const int leaked = th::leakedImages();
  const int badReleases = th::badImageReleases();
  ASSERT_TRUE(fx_->setInt("mode", 1).ok());
  EXPECT_EQ(fx_->render(0).leakedImages, 1);
  EXPECT_EQ(fx_->unreleasedImages(), 1);
  EXPECT_EQ(th::outstandingImages(), outstanding + 1);
  EXPECT_EQ(th::leakedImages(), leaked + 1);
  ASSERT_TRUE(fx_->setInt("mode", 2).ok());
  const th::RenderResult twice = fx_->render(0);
  EXPECT_EQ(twice.status, kOfxStatOK);
  EXPECT_EQ(twice.leakedImages, 0);
  EXPECT_EQ(state_->secondReleaseStatus.load(), kOfxStatErrBadHandle);
  EXPECT_EQ(th::badImageReleases(), badReleases + 1);
  fx_->destroy();
  EXPECT_EQ(th::outstandingImages(), outstanding);
  EXPECT_EQ(fx_->leakedImages(), 1);
}

}  // namespace
