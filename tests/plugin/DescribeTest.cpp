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

struct ParamRow {
  std::string name;
  std::string type;
  std::vector<Expected> props;
};

TEST_F(PluginTest, SixteenParametersMatchTheTableInOrder) {
  const std::vector<ParamRow> table = {
      {"backend_url", kOfxParamTypeString,
       {{"OfxPropLabel", {S("Backend URL")}},
        {"OfxParamPropDefault", {S("https://paste-your-backend-url.invalid")}},
        {"OfxParamPropHint", {S("Copy it from the Orvalis download page.")}}}},
      {"output_mode", kOfxParamTypeChoice,
       {{"OfxPropLabel", {S("Output")}},
        {"OfxParamPropChoiceOption", {S("Character (RGBA)"), S("Matte only"), S("Source (bypass)")}}}},
      {"draw_mask", kOfxParamTypeBoolean,
       {{"OfxPropLabel", {S("Edit selection in viewer")}}, {"OfxParamPropDefault", {1}}}},
      {"select_tool", kOfxParamTypeChoice,
       {{"OfxPropLabel", {S("Tool")}},
        {"OfxParamPropChoiceOption", {S("Bounding box"), S("Brush (add)"), S("Brush (exclude)")}}}},
      {"brush_size", kOfxParamTypeDouble,
       {{"OfxPropLabel", {S("Brush size")}},
        {"OfxParamPropDefault", {0.03}},
        {"OfxParamPropMin", {0.005}},
        {"OfxParamPropMax", {0.3}}}},
      {"text_hint", kOfxParamTypeString,
       {{"OfxPropLabel", {S("Character hint (optional)")}},
        {"OfxParamPropDefault", {S("")}},
        {"OfxParamPropHint", {S("e.g. 'woman in red'. Used when no box or brush is drawn.")}}}},
      {"quality", kOfxParamTypeChoice,
       {{"OfxPropLabel", {S("Quality")}},
        {"OfxParamPropChoiceOption", {S("Fine edges (SAM 3.1 + BiRefNet)"), S("Fast (SAM 3.1)")}}}},
      {"edge_softness", kOfxParamTypeDouble,
       {{"OfxPropLabel", {S("Edge softness")}},
        {"OfxParamPropDefault", {0.35}},
        {"OfxParamPropMin", {0.0}},
        {"OfxParamPropMax", {1.0}}}},
      {"pull_alpha", kOfxParamTypePushButton, {{"OfxPropLabel", {S("Pull alpha (whole clip)")}}}},
      {"clear_mask", kOfxParamTypePushButton, {{"OfxPropLabel", {S("Clear selection")}}}},
      {"reset_matte", kOfxParamTypePushButton, {{"OfxPropLabel", {S("Reset matte")}}}},
      {"status", kOfxParamTypeString,
       {{"OfxPropLabel", {S("Status")}}, {"OfxParamPropDefault", {S("idle")}}, {"OfxParamPropEnabled", {0}}}},
      {"bbox_json", kOfxParamTypeString, {{"OfxParamPropSecret", {1}}, {"OfxParamPropDefault", {S("")}}}},
      {"brush_json", kOfxParamTypeString, {{"OfxParamPropSecret", {1}}, {"OfxParamPropDefault", {S("[]")}}}},
      {"session_id", kOfxParamTypeString, {{"OfxParamPropSecret", {1}}}},
      {"clip_start", kOfxParamTypeString, {{"OfxParamPropSecret", {1}}, {"OfxParamPropDefault", {S("0")}}}},
  };
  const std::vector<th::ParamInfo> params = plugin().params();
  ASSERT_EQ(table.size(), params.size());
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].name, params[i].name);
    EXPECT_EQ(table[i].type, params[i].type) << table[i].name;
    expectProperties(params[i].properties->pluginSetOrder(), table[i].props, table[i].name);
  }
}

}  // namespace
