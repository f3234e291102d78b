// Bundle discovery, loading and describing, withheld suites, unload.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ProbeFixture.h"

namespace fs = std::filesystem;

TEST(Bundle, FindsBundlesByNameOnTheSearchPathAndTheEnvironment) {
  auto direct = th::findBundle(HOST_PROBE_BUNDLE, {}, false);
  ASSERT_TRUE(direct.ok()) << direct.error();
  EXPECT_EQ(direct->name, "HostProbe");
  EXPECT_EQ(fs::path(direct->binaryPath).filename(), "HostProbe.ofx");

  auto byName = th::findBundle("HostProbe", {"/nonexistent", HOST_PROBE_DIR}, false);
  ASSERT_TRUE(byName.ok()) << byName.error();
  EXPECT_EQ(byName->binaryPath, direct->binaryPath);

  ::setenv("OFX_PLUGIN_PATH", (std::string("/nonexistent:") + HOST_PROBE_DIR).c_str(), 1);
  auto byEnv = th::findBundle("HostProbe.ofx.bundle", {}, true);
  ::unsetenv("OFX_PLUGIN_PATH");
  ASSERT_TRUE(byEnv.ok()) << byEnv.error();

  auto missing = th::findBundle("NoSuchPlugin", {HOST_PROBE_DIR}, false);
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().find("NoSuchPlugin.ofx.bundle"), std::string::npos) << missing.error();
}

TEST(Bundle, RejectsABundleWithoutItsBinary) {
  const fs::path root = fs::temp_directory_path() / ("trevane-host-bundle-" + std::to_string(::getpid()));
  fs::create_directories(root / "Empty.ofx.bundle/Contents/Linux-x86-64");
  auto checked = th::checkBundle((root / "Empty.ofx.bundle").string());
  EXPECT_FALSE(checked.ok());
  EXPECT_NE(checked.error().find("Empty.ofx"), std::string::npos) << checked.error();
  th::Host host(th::HostOptions{{root.string()}, false, {}, false});
  const th::LoadResult r = host.load("Empty");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.stage, th::LoadStage::Find);
  std::ofstream(root / "Empty.ofx.bundle/Contents/Linux-x86-64/Empty.ofx") << "not a shared object";
  const th::LoadResult garbage = host.load("Empty");
  EXPECT_EQ(garbage.stage, th::LoadStage::Open);
  EXPECT_NE(garbage.error.find("dlopen"), std::string::npos) << garbage.error;
  fs::remove_all(root);
}

TEST_F(ProbeTest, LoadsAndDescribesInTheOrderRealHostsUse) {
  EXPECT_EQ(plugin().identifier(), "org.trevane.hostprobe");
  EXPECT_EQ(state_->suiteMask.load(), 31);
  std::vector<std::string> names;
  for (const auto &p : plugin().descriptor().pluginSetOrder()) {
    names.push_back(p.name);
  }
  const std::vector<std::string> expected = {
      kOfxPropLabel, kOfxImageEffectPluginPropGrouping, kOfxImageEffectPropSupportedContexts,
      kOfxImageEffectPropSupportedPixelDepths, kOfxImageEffectPluginRenderThreadSafety,
      kOfxImageEffectPluginPropHostFrameThreading, kOfxImageEffectPropSupportsTiles,
      kOfxImageEffectPluginPropOverlayInteractV1};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(plugin().descriptor().getString(kOfxImageEffectPropSupportedPixelDepths, 1), kOfxBitDepthFloat);
  // A misspelled property fails loudly; clips belong in describe-in-context only.
  EXPECT_EQ(state_->describeUnknownStatus.load(), kOfxStatErrUnknown);
  EXPECT_EQ(state_->clipDefineInDescribeStatus.load(), kOfxStatErrBadHandle);
  EXPECT_EQ(state_->defineUnsupportedStatus.load(), kOfxStatErrUnknown);
  EXPECT_EQ(state_->defineDuplicateStatus.load(), kOfxStatErrExists);

  const auto clips = plugin().clips();
  ASSERT_EQ(clips.size(), 2U);
  EXPECT_EQ(clips[0].name, "Source");
  EXPECT_EQ(clips[1].name, "Output");
  ASSERT_EQ(clips[0].properties->pluginSetOrder().size(), 1U);
  EXPECT_EQ(clips[0].properties->pluginSetOrder()[0].name, kOfxImageEffectPropSupportedComponents);

  std::vector<std::string> params;
  for (const auto &p : plugin().params()) {
    params.push_back(p.name + ":" + p.type);
  }
  EXPECT_EQ(params, (std::vector<std::string>{"text:OfxParamTypeString", "flag:OfxParamTypeBoolean",
                                              "mode:OfxParamTypeChoice", "count:OfxParamTypeInteger",
                                              "gain:OfxParamTypeDouble", "poke:OfxParamTypePushButton",
                                              "run_checks:OfxParamTypePushButton",
                                              "worker_note:OfxParamTypeString"}));
  const auto count = plugin().params()[3].properties->pluginSetOrder();
  ASSERT_EQ(count.size(), 3U);
  EXPECT_EQ(count[0].name, kOfxParamPropDefault);
  EXPECT_EQ(count[2].name, kOfxParamPropMax);
  EXPECT_EQ(count[2].ints, std::vector<int>{10});
}

TEST_F(ProbeTest, SendsUnloadOnceWhenThePluginAndItsInstancesAreGone) {
  const int before = state_->unloads.load();
  auto instance = make_instance();
  ASSERT_TRUE(instance);
  EXPECT_FALSE(plugin().unload().ok());  // refused while an instance lives
  instance.reset();
  auto first = plugin().unload();
  ASSERT_TRUE(first.ok()) << first.error();
  EXPECT_EQ(*first, kOfxStatOK);
  EXPECT_EQ(state_->unloads.load(), before + 1);
  loaded_.plugin.reset();
  EXPECT_EQ(state_->unloads.load(), before + 1);
}

TEST(HostSuites, WithheldCoreSuitesMakeTheProbeRefuseLoad) {
  for (const char *suite : {kOfxPropertySuite, kOfxImageEffectSuite, kOfxParameterSuite}) {
    th::Host host(th::HostOptions{{}, false, {suite}, false});
    EXPECT_EQ(host.fetchSuite(suite, 1), nullptr);
    const th::LoadResult r = host.load(HOST_PROBE_BUNDLE);
    EXPECT_FALSE(r.ok()) << suite;
    EXPECT_EQ(r.stage, th::LoadStage::Load) << suite;
    EXPECT_EQ(r.status, kOfxStatErrMissingHostFeature) << suite;
    EXPECT_NE(r.error.find("kOfxStatErrMissingHostFeature"), std::string::npos) << r.error;
  }
}

TEST(HostSuites, APluginWithoutTheFilterContextIsRefused) {
  ::setenv("HOST_PROBE_NO_FILTER", "1", 1);
  th::Host host;
  const th::LoadResult r = host.load(HOST_PROBE_BUNDLE);
  ::unsetenv("HOST_PROBE_NO_FILTER");
  EXPECT_EQ(r.stage, th::LoadStage::Describe) << r.error;
  EXPECT_NE(r.error.find("filter"), std::string::npos) << r.error;
}

TEST(HostSuites, WithheldOptionalSuitesYieldNullToThePlugin) {
  th::Host host(th::HostOptions{{}, false, {kOfxInteractSuite, kOfxMessageSuite}, false});
  const th::LoadResult r = host.load(HOST_PROBE_BUNDLE);
  ASSERT_TRUE(r.ok()) << r.error;
  auto state = reinterpret_cast<host_probe::State *(*)()>(r.plugin->symbol("HostProbeState"))();
  EXPECT_EQ(state->suiteMask.load(), 1 | 2 | 4);
}
