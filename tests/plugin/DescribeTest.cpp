// What the effect declares to a host, compared with the tables it must match in every detail.

#include <string>
#include <variant>
#include <vector>

#include "PluginFixture.h"
#include "ofxImageEffect.h"

namespace {

using Value = std::variant<std::string, int, double, bool /* pointer: set */>;

struct Expected {
  std::string name;
  std::vector<Value> values;
};

// Compares a property set's plug-in writes, in the order made, with the expected table.
void expectProperties(const std::vector<th::PropertyValue> &actual, const std::vector<Expected> &expected,
                      const std::string &where) {
  ASSERT_EQ(expected.size(), actual.size()) << where;
  for (size_t i = 0; i < expected.size(); ++i) {
    const th::PropertyValue &a = actual[i];
    const Expected &e = expected[i];
    SCOPED_TRACE(where + ": " + e.name);
    EXPECT_EQ(e.name, a.name);
    ASSERT_EQ(static_cast<int>(e.values.size()), a.dimension());
    for (size_t k = 0; k < e.values.size(); ++k) {
      const Value &v = e.values[k];
      if (std::holds_alternative<std::string>(v)) {
        ASSERT_EQ(th::PropType::String, a.type);
        EXPECT_EQ(std::get<std::string>(v), a.strings[k]);
      } else if (std::holds_alternative<int>(v)) {
        ASSERT_EQ(th::PropType::Int, a.type);
        EXPECT_EQ(std::get<int>(v), a.ints[k]);
      } else if (std::holds_alternative<double>(v)) {
        ASSERT_EQ(th::PropType::Double, a.type);
        EXPECT_DOUBLE_EQ(std::get<double>(v), a.doubles[k]);
      } else {
        ASSERT_EQ(th::PropType::Pointer, a.type);
        EXPECT_NE(nullptr, a.pointers[k]);
      }
    }
  }
}

const std::string kDescription =
    "Orvalis Trevane: AI character alpha matte. Box or brush the character on any frame, press Pull Alpha, "
    "and the plugin tracks it through the whole clip (SAM 3.1 + BiRefNet matting) and outputs RGBA or the "
    "matte only. No length limit.";

using S = std::string;

TEST_F(PluginTest, EffectPropertiesMatchTheTableInOrder) {
  expectProperties(plugin().descriptor().pluginSetOrder(),
                   {
                       {"OfxPropLabel", {S("Orvalis Trevane")}},
                       {"OfxImageEffectPluginPropGrouping", {S("Orvalis")}},
                       {"OfxPropPluginDescription", {kDescription}},
                       {"OfxImageEffectPropSupportedContexts", {S("OfxImageEffectContextFilter")}},
                       {"OfxImageEffectPropSupportedPixelDepths", {S("OfxBitDepthByte"), S("OfxBitDepthFloat")}},
                       {"OfxImageEffectPluginPropSingleInstance", {0}},
                       {"OfxImageEffectPluginPropHostFrameThreading", {1}},
                       {"OfxImageEffectPluginRenderThreadSafety", {S("OfxImageEffectRenderFullySafe")}},
                       {"OfxImageEffectPropSupportsMultiResolution", {1}},
                       {"OfxImageEffectPropSupportsTiles", {0}},
                       {"OfxImageEffectPluginPropOverlayInteractV1", {true}},
                   },
                   "effect");
  EXPECT_NE(nullptr, plugin().overlayEntry());
}

TEST_F(PluginTest, TwoRgbaClips) {
  const std::vector<th::ClipInfo> clips = plugin().clips();
  ASSERT_EQ(2u, clips.size());
  EXPECT_EQ("Source", clips[0].name);
  EXPECT_EQ("Output", clips[1].name);
  for (const th::ClipInfo &clip : clips) {
    expectProperties(clip.properties->pluginSetOrder(),
                     {{"OfxImageEffectPropSupportedComponents", {S("OfxImageComponentRGBA")}}}, clip.name);
  }
}

// The parameters in order with their types; the defaults a project starts from and the ones the other tests
// rely on are pinned with them (labels and hints are the plug-in's own wording, read nowhere).
TEST_F(PluginTest, SixteenParametersInOrder) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"backend_url", kOfxParamTypeString},     {"output_mode", kOfxParamTypeChoice},
      {"draw_mask", kOfxParamTypeBoolean},      {"select_tool", kOfxParamTypeChoice},
      {"brush_size", kOfxParamTypeDouble},      {"text_hint", kOfxParamTypeString},
      {"quality", kOfxParamTypeChoice},         {"edge_softness", kOfxParamTypeDouble},
      {"pull_alpha", kOfxParamTypePushButton},  {"clear_mask", kOfxParamTypePushButton},
      {"reset_matte", kOfxParamTypePushButton}, {"status", kOfxParamTypeString},
      {"bbox_json", kOfxParamTypeString},       {"brush_json", kOfxParamTypeString},
      {"session_id", kOfxParamTypeString},      {"clip_start", kOfxParamTypeString},
  };
  const std::vector<th::ParamInfo> params = plugin().params();
  ASSERT_EQ(table.size(), params.size());
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].first, params[i].name);
    EXPECT_EQ(table[i].second, params[i].type) << table[i].first;
  }
  auto fx = makeInstance();
  ASSERT_NE(nullptr, fx);
  const std::pair<const char *, const char *> texts[] = {{"backend_url", "https://paste-your-backend-url.invalid"},
                                                         {"status", "idle"}, {"bbox_json", ""}, {"brush_json", "[]"},
                                                         {"session_id", ""}, {"clip_start", "0"}, {"text_hint", ""}};
  for (const auto &[name, value] : texts) EXPECT_EQ(value, *fx->getString(name)) << name;
  EXPECT_DOUBLE_EQ(0.35, *fx->getDouble("edge_softness"));
  EXPECT_DOUBLE_EQ(0.03, *fx->getDouble("brush_size"));
  EXPECT_EQ(0, *fx->getInt("quality"));
}

}  // namespace
