// Property sets: typed access, the standard's error statuses, set order, string lifetime, and the property
// suite's handle checks.
#include <gtest/gtest.h>

#include <cstring>

#include "host/Host.h"

namespace th = trevane::host;

namespace {

std::shared_ptr<th::PropertySet> sample_set() {
  std::vector<th::PropertyDef> defs(4);
  defs[0].name = "Label";
  defs[0].type = th::PropType::String;
  defs[0].pluginWritable = true;
  defs[0].strings = {"start"};
  defs[1].name = "Size";
  defs[1].type = th::PropType::Double;
  defs[1].dimension = 2;
  defs[1].pluginWritable = true;
  defs[1].doubles = {1.0, 2.0};
  defs[2].name = "Options";
  defs[2].type = th::PropType::String;
  defs[2].dimension = 0;
  defs[2].pluginWritable = true;
  defs[3].name = "Fixed";
  defs[3].type = th::PropType::Int;
  defs[3].pluginWritable = false;
  defs[3].ints = {7};
  return th::PropertySet::create("sample", defs);
}

}  // namespace

TEST(PropertySet, ReportsUnknownNameWrongTypeBadIndexAndReadOnly) {
  auto set = sample_set();
  char *text = nullptr;
  int i = 0;
  double d = 0.0;
  EXPECT_EQ(set->pluginGet("Nope", th::PropType::String, 0, &text), kOfxStatErrUnknown);
  EXPECT_EQ(set->pluginGet("Label", th::PropType::Int, 0, &i), kOfxStatErrValue);
  EXPECT_EQ(set->pluginGet("Size", th::PropType::Double, 2, &d), kOfxStatErrBadIndex);
  EXPECT_EQ(set->pluginGet("Size", th::PropType::Double, -1, &d), kOfxStatErrBadIndex);
  EXPECT_EQ(set->pluginGet(nullptr, th::PropType::String, 0, &text), kOfxStatErrBadHandle);
  const int seven = 8;
  EXPECT_EQ(set->pluginSet("Fixed", th::PropType::Int, 0, &seven), kOfxStatErrValue);
  EXPECT_EQ(set->getInt("Fixed"), 7);
  ASSERT_EQ(set->pluginGet("Size", th::PropType::Double, 1, &d), kOfxStatOK);
  EXPECT_EQ(d, 2.0);
  int dim = 0;
  EXPECT_EQ(set->pluginGetDimension("Size", &dim), kOfxStatOK);
  EXPECT_EQ(dim, 2);
  EXPECT_EQ(set->pluginGetDimension("Nope", &dim), kOfxStatErrUnknown);
}

TEST(PropertySet, ExtendsOnlyVariableDimensionsAndOnlyAtTheEnd) {
  auto set = sample_set();
  const char *a = "a";
  const double one = 1.0;
  EXPECT_EQ(set->pluginSet("Options", th::PropType::String, 0, &a), kOfxStatOK);
  EXPECT_EQ(set->pluginSet("Options", th::PropType::String, 1, &a), kOfxStatOK);
  EXPECT_EQ(set->pluginSet("Options", th::PropType::String, 3, &a), kOfxStatErrBadIndex);
  EXPECT_EQ(set->dimension("Options"), 2);
  EXPECT_EQ(set->pluginSet("Size", th::PropType::Double, 2, &one), kOfxStatErrBadIndex);
  EXPECT_EQ(set->dimension("Size"), 2);
  const double three[3] = {1.0, 2.0, 3.0};
  EXPECT_EQ(set->pluginSetN("Size", th::PropType::Double, 3, three), kOfxStatErrBadIndex);
  double got[3] = {};
  EXPECT_EQ(set->pluginGetN("Size", th::PropType::Double, 3, got), kOfxStatErrBadIndex);
  EXPECT_EQ(set->pluginGetN("Size", th::PropType::Double, 2, got), kOfxStatOK);
  const char *texts[3] = {"x", "y", "z"};
  EXPECT_EQ(set->pluginSetN("Options", th::PropType::String, 3, texts), kOfxStatOK);
  EXPECT_EQ(set->dimension("Options"), 3);
  const char *withNull[2] = {"x", nullptr};
  EXPECT_EQ(set->pluginSetN("Options", th::PropType::String, 2, withNull), kOfxStatErrValue);
  EXPECT_EQ(set->dimension("Options"), 3);
  EXPECT_EQ(set->pluginReset("Options"), kOfxStatOK);
  EXPECT_EQ(set->dimension("Options"), 0);
  EXPECT_EQ(set->pluginReset("Fixed"), kOfxStatErrValue);
}

TEST(PropertySet, RemembersTheOrderThePluginSetPropertiesIn) {
  auto set = sample_set();
  const double two[2] = {3.0, 4.0};
  const char *label = "L";
  set->setString("Options", "host-side", 0);  // host writes are not the plug-in's
  ASSERT_EQ(set->pluginSetN("Size", th::PropType::Double, 2, two), kOfxStatOK);
  ASSERT_EQ(set->pluginSet("Label", th::PropType::String, 0, &label), kOfxStatOK);
  ASSERT_EQ(set->pluginSet("Size", th::PropType::Double, 1, &two[0]), kOfxStatOK);
  const auto order = set->pluginSetOrder();
  ASSERT_EQ(order.size(), 2U);
  EXPECT_EQ(order[0].name, "Size");
  EXPECT_EQ(order[0].doubles, (std::vector<double>{3.0, 3.0}));
  EXPECT_EQ(order[1].name, "Label");
  EXPECT_EQ(order[1].strings, (std::vector<std::string>{"L"}));
  EXPECT_EQ(set->pluginSetCount(), 3);
}

TEST(PropertySet, KeepsHandedOutStringsAliveAndStable) {
  auto set = sample_set();
  char *first = nullptr;
  ASSERT_EQ(set->pluginGet("Label", th::PropType::String, 0, &first), kOfxStatOK);
  const char *same = "start";
  ASSERT_EQ(set->pluginSet("Label", th::PropType::String, 0, &same), kOfxStatOK);
  char *again = nullptr;
  set->pluginGet("Label", th::PropType::String, 0, &again);
  EXPECT_EQ(first, again);  // same value, same address
  const char *other = "something else entirely";
  ASSERT_EQ(set->pluginSet("Label", th::PropType::String, 0, &other), kOfxStatOK);
  EXPECT_STREQ(first, "start");  // the old text is retired, not freed
  const char *null = nullptr;
  EXPECT_EQ(set->pluginSet("Label", th::PropType::String, 0, &null), kOfxStatErrValue);
}

TEST(PropertySuite, RefusesNullGarbageAndStaleHandles) {
  th::Host host;
  auto *suite = static_cast<const OfxPropertySuiteV1 *>(host.fetchSuite(kOfxPropertySuite, 1));
  ASSERT_NE(suite, nullptr);
  char *text = nullptr;
  EXPECT_EQ(suite->propGetString(nullptr, "Label", 0, &text), kOfxStatErrBadHandle);
  EXPECT_EQ(suite->propGetString(reinterpret_cast<OfxPropertySetHandle>(0xdeadbeef), "Label", 0, &text),
            kOfxStatErrBadHandle);
  OfxPropertySetHandle stale = nullptr;
  {
    auto set = sample_set();
    stale = set->handle();
    ASSERT_EQ(suite->propGetString(stale, "Label", 0, &text), kOfxStatOK);
    EXPECT_STREQ(text, "start");
    EXPECT_EQ(suite->propSetString(stale, "Label", 0, "via suite"), kOfxStatOK);
    EXPECT_EQ(set->getString("Label"), "via suite");
  }
  EXPECT_EQ(suite->propGetString(stale, "Label", 0, &text), kOfxStatErrBadHandle);
  // The host's own set answers like any other.
  int apiVersion = 0;
  EXPECT_EQ(suite->propGetInt(host.record()->host, kOfxPropAPIVersion, 0, &apiVersion), kOfxStatOK);
  EXPECT_EQ(apiVersion, 1);
  EXPECT_EQ(suite->propSetInt(host.record()->host, kOfxImageEffectHostPropIsBackground, 0, 1), kOfxStatErrValue);
  EXPECT_EQ(suite->propGetString(host.record()->host, kOfxPropName, 0, &text), kOfxStatOK);
  EXPECT_STREQ(text, "trevane.host");
}

TEST(PropertySuite, FetchSuiteKnowsOnlyVersionOneOfTheFiveSuites) {
  th::Host host;
  for (const char *name :
       {kOfxPropertySuite, kOfxImageEffectSuite, kOfxParameterSuite, kOfxInteractSuite, kOfxMessageSuite}) {
    EXPECT_NE(host.fetchSuite(name, 1), nullptr) << name;
    EXPECT_EQ(host.fetchSuite(name, 2), nullptr) << name;
  }
  EXPECT_EQ(host.fetchSuite("OfxMultiThreadSuite", 1), nullptr);
  EXPECT_EQ(host.fetchSuite(nullptr, 1), nullptr);
  EXPECT_EQ(host.record()->fetchSuite(reinterpret_cast<OfxPropertySetHandle>(0x10), kOfxPropertySuite, 1), nullptr);
}
