// A host that withholds a suite: the plug-in refuses to load without a core suite, and otherwise leaves out
// only what the missing suite serves, never calling through a null suite (the message suite: see the
// matte worker's tests; the interact suite: the overlay interact's).

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

}  // namespace
