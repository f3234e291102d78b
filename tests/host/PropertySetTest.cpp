// Property sets through the plug-in's side: the standard's statuses, variable dimensions, set order, string
// lifetime; the host's own set and its suite table; and image layout as plug-ins read it: bottom-up and
// top-down rows, bounds that do not start at 0.
#include <gtest/gtest.h>

#include "host/Host.h"

namespace th = trevane::host;

namespace {

using th::PropType;

// Label: writable text; Size: writable double[2]; Options: writable, variable dimension, two texts at first;
// Fixed: an int the plug-in may not write.
std::shared_ptr<th::PropertySet> sample_set() {
  return th::PropertySet::create("sample", {{"Label", PropType::String, 1, true, {"start"}, {}, {}},
                                            {"Size", PropType::Double, 2, true, {}, {}, {1.0, 2.0}},
                                            {"Options", PropType::String, 0, true, {"a", "b"}, {}, {}},
                                            {"Fixed", PropType::Int, 1, false, {}, {7}, {}}});
}

enum class Op { Get, Set, SetNull, GetN, SetN, SetNWithNull, Dimension };

// One plug-in call on a fresh set: `at` is the index, or the count for the N calls.
struct Call {
  Op op;
  const char *name;
  PropType type;
  int at;
  OfxStatus status;
  int dimensionAfter;
};

OfxStatus run(th::PropertySet &set, const Call &c) {
  // Sets read these and gets overwrite them.
  const char *texts[3] = {"x", c.op == Op::SetNWithNull ? nullptr : "y", "z"};
  const char *null = nullptr;
  int ints[3] = {8, 9, 10};
  double doubles[3] = {5.0, 6.0, 7.0};
  void *values = c.type == PropType::String ? static_cast<void *>(texts)
                 : c.type == PropType::Int  ? static_cast<void *>(ints)
                                            : static_cast<void *>(doubles);
  int dimension = 0;
  switch (c.op) {
    case Op::Get: return set.pluginGet(c.name, c.type, c.at, values);
    case Op::Set: return set.pluginSet(c.name, c.type, c.at, values);
    case Op::SetNull: return set.pluginSet(c.name, c.type, c.at, &null);
    case Op::GetN: return set.pluginGetN(c.name, c.type, c.at, values);
    case Op::SetN:
    case Op::SetNWithNull: return set.pluginSetN(c.name, c.type, c.at, values);
    case Op::Dimension: return set.pluginGetDimension(c.name, &dimension);
  }
  return kOfxStatFailed;
}

TEST(PropertySet, AnswersEachPluginCallWithTheStandardsStatus) {
  const Call calls[] = {
      {Op::Get, "Nope", PropType::String, 0, kOfxStatErrUnknown, -1},
      {Op::Get, nullptr, PropType::String, 0, kOfxStatErrBadHandle, -1},
      {Op::Get, "Label", PropType::Int, 0, kOfxStatErrValue, 1},
      {Op::Get, "Size", PropType::Double, 1, kOfxStatOK, 2},
      {Op::Get, "Size", PropType::Double, 2, kOfxStatErrBadIndex, 2},
      {Op::Get, "Size", PropType::Double, -1, kOfxStatErrBadIndex, 2},
      {Op::GetN, "Size", PropType::Double, 2, kOfxStatOK, 2},
      {Op::GetN, "Size", PropType::Double, 3, kOfxStatErrBadIndex, 2},
      {Op::Set, "Fixed", PropType::Int, 0, kOfxStatErrValue, 1},
      {Op::Set, "Size", PropType::Double, 1, kOfxStatOK, 2},
      {Op::Set, "Size", PropType::Double, 2, kOfxStatErrBadIndex, 2},  // a fixed dimension never grows
      {Op::SetN, "Size", PropType::Double, 3, kOfxStatErrBadIndex, 2},
      {Op::Set, "Options", PropType::String, 2, kOfxStatOK, 3},  // a variable one grows at its end only
      {Op::Set, "Options", PropType::String, 3, kOfxStatErrBadIndex, 2},
      {Op::SetN, "Options", PropType::String, 3, kOfxStatOK, 3},
      {Op::SetN, "Options", PropType::String, 1, kOfxStatOK, 1},
      {Op::SetNWithNull, "Options", PropType::String, 3, kOfxStatErrValue, 2},
      {Op::SetNull, "Label", PropType::String, 0, kOfxStatErrValue, 1},
      {Op::Dimension, "Size", PropType::Double, 0, kOfxStatOK, 2},
      {Op::Dimension, "Nope", PropType::Double, 0, kOfxStatErrUnknown, -1},
  };
  for (const Call &c : calls) {
    auto set = sample_set();
    const std::string row = std::string(c.name == nullptr ? "(null)" : c.name) + " op " +
                            std::to_string(static_cast<int>(c.op)) + " at " + std::to_string(c.at);
    EXPECT_EQ(run(*set, c), c.status) << row;
    if (c.name != nullptr) {
      EXPECT_EQ(set->dimension(c.name), c.dimensionAfter) << row;
    }
    EXPECT_EQ(set->pluginSetCount(), c.status == kOfxStatOK && c.op != Op::Get && c.op != Op::GetN &&
                                             c.op != Op::Dimension ? 1 : 0) << row;
  }
}

// A text handed out stays at its address while set again to the same value, and readable once replaced.
TEST(PropertySet, RemembersTheOrderThePluginFirstSetPropertiesInAndKeepsHandedOutTexts) {
  auto set = sample_set();
  const double two[2] = {3.0, 4.0};
  const char *label = "L";
  set->setString("Label", "host-side");  // host writes are not the plug-in's
  char *first = nullptr;
  char *again = nullptr;
  ASSERT_EQ(set->pluginGet("Label", PropType::String, 0, &first), kOfxStatOK);
  ASSERT_EQ(set->pluginSetN("Size", PropType::Double, 2, two), kOfxStatOK);
  const char *same = "host-side";
  ASSERT_EQ(set->pluginSet("Label", PropType::String, 0, &same), kOfxStatOK);
  set->pluginGet("Label", PropType::String, 0, &again);
  EXPECT_EQ(first, again);
  ASSERT_EQ(set->pluginSet("Label", PropType::String, 0, &label), kOfxStatOK);
  EXPECT_STREQ(first, "host-side");
  ASSERT_EQ(set->pluginSet("Size", PropType::Double, 1, &two[0]), kOfxStatOK);
  ASSERT_EQ(set->pluginSetN("Options", PropType::String, 1, &label), kOfxStatOK);
  ASSERT_EQ(set->pluginReset("Options"), kOfxStatOK);  // back to its two defaults
  EXPECT_EQ(set->pluginReset("Fixed"), kOfxStatErrValue);
  const auto order = set->pluginSetOrder();
  ASSERT_EQ(order.size(), 3U);
  EXPECT_EQ(order[0].name, "Size");
  EXPECT_EQ(order[0].doubles, (std::vector<double>{3.0, 3.0}));
  EXPECT_EQ(order[1].name, "Label");
  EXPECT_EQ(order[1].strings, (std::vector<std::string>{"L"}));
  EXPECT_EQ(order[2].strings, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(set->pluginSetCount(), 6);
}

TEST(PropertySuite, TheHostsOwnSetAnswersAndOnlyVersionOneIsServed) {
  th::Host host;
  auto *suite = static_cast<const OfxPropertySuiteV1 *>(host.fetchSuite(kOfxPropertySuite, 1));
  ASSERT_NE(suite, nullptr);
  // The host's own set answers like any other.
  OfxPropertySetHandle hostSet = host.record()->host;
  int apiVersion = 0;
  EXPECT_EQ(suite->propGetInt(hostSet, kOfxPropAPIVersion, 0, &apiVersion), kOfxStatOK);
  EXPECT_EQ(apiVersion, 1);
  EXPECT_EQ(suite->propSetInt(hostSet, kOfxImageEffectHostPropIsBackground, 0, 1), kOfxStatErrValue);
  // fetchSuite knows only version 1 of the five suites (which every plug-in test fetches).
  for (const char *name :
       {kOfxPropertySuite, kOfxImageEffectSuite, kOfxParameterSuite, kOfxInteractSuite, kOfxMessageSuite}) {
    EXPECT_EQ(host.fetchSuite(name, 2), nullptr) << name;
  }
  EXPECT_EQ(host.fetchSuite("OfxMultiThreadSuite", 1), nullptr);
  EXPECT_EQ(host.fetchSuite(nullptr, 1), nullptr);
  EXPECT_EQ(host.record()->fetchSuite(reinterpret_cast<OfxPropertySetHandle>(0x10), kOfxPropertySuite, 1), nullptr);
}

TEST(Image, AddressesRowsFromTheBottomWhateverTheRowOrder) {
  for (th::RowOrder order : {th::RowOrder::BottomUp, th::RowOrder::TopDown}) {
    th::Image image = th::Image::make(OfxRectI{10, 20, 13, 24}, th::PixelDepth::Byte, order, 4);
    ASSERT_EQ(image.width(), 3);
    ASSERT_EQ(image.height(), 4);
    const int stride = 3 * 4 + 4;
    EXPECT_EQ(image.rowBytes(), order == th::RowOrder::BottomUp ? stride : -stride);
    auto *data = static_cast<std::uint8_t *>(image.data());
    // data + (y - y1) * rowBytes + (x - x1) * 4 is pixel (x, y), counted from the bottom row.
    EXPECT_EQ(image.pixelAddress(10, 20), data);
    EXPECT_EQ(image.pixelAddress(12, 23), data + 3 * image.rowBytes() + 2 * 4);
    EXPECT_EQ(image.pixelAddress(13, 20), nullptr);
    EXPECT_EQ(image.pixelAddress(9, 20), nullptr);
    EXPECT_EQ(image.pixelAddress(10, 24), nullptr);
    ASSERT_TRUE(image.setPixel(11, 22, th::Rgba{1.0F, 0.5F, 0.0F, 1.0F}));
    EXPECT_EQ(image.pixelBytes(11, 22), (th::Rgba8{255, 128, 0, 255}));
  }
}

}  // namespace
