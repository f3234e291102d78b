// A host that withholds a suite: the plug-in refuses to load without a core suite, and otherwise leaves out
// only what the missing suite serves, never calling through a null suite.

#include <string>

#include "host/Host.h"
#include "ofxImageEffect.h"
#include <gtest/gtest.h>

namespace {

namespace th = kesto::host;

th::LoadResult loadWithout(th::Host &host) { return host.load(TREVANE_BUNDLE_DIR); }

class CoreSuiteMissing : public ::testing::TestWithParam<const char *> {};

TEST_P(CoreSuiteMissing, LoadIsRefused) {
  th::HostOptions options;
  options.withheldSuites = {GetParam()};
  th::Host host(options);
  const th::LoadResult loaded = loadWithout(host);
  EXPECT_FALSE(loaded.ok());
  EXPECT_EQ(th::LoadStage::Load, loaded.stage) << loaded.error;
  EXPECT_EQ(kOfxStatErrMissingHostFeature, loaded.status) << loaded.error;
}

INSTANTIATE_TEST_SUITE_P(PluginSuites, CoreSuiteMissing,
                         ::testing::Values(kOfxPropertySuite, kOfxImageEffectSuite, kOfxParameterSuite));

TEST(PluginSuites, WithoutTheInteractSuiteTheOverlayStaysOut) {
  th::HostOptions options;
  options.withheldSuites = {kOfxInteractSuite};
  th::Host host(options);
  th::LoadResult loaded = loadWithout(host);
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  auto fx = loaded.plugin->createInstance();
  ASSERT_TRUE(fx.ok()) << fx.error();
  auto overlay = (*fx)->createOverlay();
  if (overlay.ok()) {
    // The host may still make the interact; every action then gets the default reply.
    EXPECT_EQ(kOfxStatReplyDefault, (*overlay)->draw());
    EXPECT_EQ(kOfxStatReplyDefault, (*overlay)->penDown(10, 10));
  }
  EXPECT_EQ("", *(*fx)->getString("bbox_json"));
}

TEST(PluginSuites, WithoutTheMessageSuiteEverythingElseWorks) {
  th::HostOptions options;
  options.withheldSuites = {kOfxMessageSuite};
  th::Host host(options);
  th::LoadResult loaded = loadWithout(host);
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  auto fx = loaded.plugin->createInstance();
  ASSERT_TRUE(fx.ok()) << fx.error();
  // Pressing "Pull alpha" without a backend URL would show a message: skipped, and nothing breaks.
  ASSERT_TRUE((*fx)->setString("backend_url", "").ok());
  auto pressed = (*fx)->pressButton("pull_alpha");
  ASSERT_TRUE(pressed.ok()) << pressed.error();
  EXPECT_EQ(kOfxStatOK, *pressed);
  EXPECT_TRUE(host.messages().empty());
  EXPECT_EQ("idle", *(*fx)->getString("status"));
}

}  // namespace
