// The plug-in's exports and its action dispatch, as a host sees them (the actions of the table are walked by
// every test of the plug-in), and a host that withholds a suite: the plug-in refuses to load without a core
// suite, and otherwise leaves out only what the missing suite serves, never calling through a null suite (the
// message suite: see the matte worker's tests; the interact suite: the overlay interact's).

#include <climits>
#include <string>

#include "PluginFixture.h"
#include "ofxImageEffect.h"

namespace {

TEST_F(PluginTest, OneEffectWhateverTheIndex) {
  auto count = reinterpret_cast<int (*)()>(plugin().symbol("OfxGetNumberOfPlugins"));
  auto get = reinterpret_cast<OfxPlugin *(*)(int)>(plugin().symbol("OfxGetPlugin"));
  ASSERT_NE(nullptr, count);
  ASSERT_NE(nullptr, get);
  EXPECT_EQ(1, count());
  OfxPlugin *first = get(0);
  ASSERT_NE(nullptr, first);
  for (int index : {1, -1, 7, INT_MAX, INT_MIN}) EXPECT_EQ(first, get(index)) << index;
  // The identifier and version: the `describe` command's tests.
  EXPECT_STREQ("OfxImageEffectPluginAPI", first->pluginApi);
  EXPECT_EQ(1, first->apiVersion);
}

TEST_F(PluginTest, ActionsOutsideTheTableGetTheDefaultReply) {
  auto fx = makeInstance();
  ASSERT_NE(nullptr, fx);
  const char *others[] = {
      kOfxActionBeginInstanceChanged, kOfxActionEndInstanceChanged, kOfxImageEffectActionBeginSequenceRender,
      kOfxImageEffectActionEndSequenceRender, kOfxImageEffectActionGetRegionOfDefinition,
      kOfxImageEffectActionIsIdentity, kOfxActionPurgeCaches, "", "Bogus",
      // The table's own names in another letter case, or with extra characters.
      "ofxactionload", "OfxImageEffectActionrender", "OfxActionInstanceChanged ", "OfxActionCreateInstance\n"};
  for (const char *action : others) {
    EXPECT_EQ(kOfxStatReplyDefault, fx->callAction(action)) << '"' << action << '"';
    EXPECT_EQ(kOfxStatReplyDefault, plugin().callMain(action, nullptr)) << '"' << action << '"';
  }
  EXPECT_EQ(kOfxStatReplyDefault, plugin().callMain(nullptr, nullptr));
}

TEST_F(PluginTest, ClipPreferencesOnlyDeclareThePremultipliedOutput) {
  th::InstanceOptions options;
  options.clipPreferencesOnCreate = false;
  auto fx = makeInstance(options);
  ASSERT_NE(nullptr, fx);
  const th::ClipPreferences prefs = fx->clipPreferences();
  EXPECT_EQ(kOfxStatOK, prefs.status);
  ASSERT_NE(nullptr, prefs.outArgs);
  EXPECT_EQ(1, prefs.outArgs->pluginSetCount());
  EXPECT_EQ(std::vector<std::string>{"OfxImageEffectPropPreMultiplication string[1] = \"OfxImageAlphaPremultiplied\""},
            written(*prefs.outArgs));
}

TEST(PluginSuites, LoadIsRefusedWithoutACoreSuite) {
  for (const char *suite : {kOfxPropertySuite, kOfxImageEffectSuite, kOfxParameterSuite}) {
    th::HostOptions options;
    options.withheldSuites = {suite};
    th::Host host(options);
    const th::LoadResult loaded = host.load(TREVANE_BUNDLE_DIR);
    EXPECT_EQ(th::LoadStage::Load, loaded.stage) << suite << ": " << loaded.error;
    EXPECT_EQ(kOfxStatErrMissingHostFeature, loaded.status) << suite;
  }
}

}  // namespace
