// The plug-in's exports and its action dispatch, as a host sees them, and a host that withholds a suite: the
// plug-in refuses to load without a core suite, and otherwise leaves out only what the missing suite serves,
// never calling through a null suite (the message suite: see the matte worker's tests; the interact suite:
// the overlay interact's).

#include <climits>
#include <string>

#include "PluginFixture.h"
#include "host/Args.h"
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
  EXPECT_STREQ("OfxImageEffectPluginAPI", first->pluginApi);
  EXPECT_EQ(1, first->apiVersion);
  EXPECT_STREQ("com.orvalis.trevane.ofx", first->pluginIdentifier);
  EXPECT_EQ(1u, first->pluginVersionMajor);
  EXPECT_EQ(1u, first->pluginVersionMinor);
  EXPECT_NE(nullptr, first->setHost);
  EXPECT_NE(nullptr, first->mainEntry);
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
  EXPECT_EQ(0, fx->unreleasedImages());
}

TEST_F(PluginTest, TableActionsAreHandled) {
  EXPECT_EQ(kOfxStatOK, plugin().callMain(kOfxActionLoad, nullptr));
  EXPECT_EQ(kOfxStatOK, plugin().callMain(kOfxActionUnload, nullptr));
  EXPECT_EQ(kOfxStatOK, plugin().callMain(kOfxActionDescribe, plugin().descriptorHandle()));

  auto fx = makeInstance();
  ASSERT_NE(nullptr, fx);
  // Render is routed to the render action: the RenderAction tests.
  // Instance changes are routed to the change handler, which leaves other parameters to the host.
  auto changed = th::makeArgs(th::ArgsKind::InstanceChangedIn);
  changed->setString(kOfxPropType, kOfxTypeParameter);
  changed->setString(kOfxPropName, "output_mode");
  changed->setString(kOfxPropChangeReason, kOfxChangeUserEdited);
  EXPECT_EQ(kOfxStatReplyDefault, fx->callAction(kOfxActionInstanceChanged, changed->handle()));
  EXPECT_EQ(kOfxStatReplyDefault, *fx->setInt("output_mode", 1));
  EXPECT_EQ(1, *fx->getInt("output_mode"));

  EXPECT_EQ(kOfxStatOK, fx->destroy());
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
