// What the effect declares to a host, compared with the tables it must match in every detail.

#include <string>
#include <vector>

#include "PluginFixture.h"
#include "ofxImageEffect.h"

namespace {

const std::string kDescription =
    "Orvalis Trevane: AI character alpha matte. Box or brush the character on any frame, press Pull Alpha, "
    "and the plugin tracks it through the whole clip (SAM 3.1 + BiRefNet matting) and outputs RGBA or the "
    "matte only. No length limit.";

// The effect's properties in order, and two RGBA clips.
TEST_F(PluginTest, EffectPropertiesAndClipsMatchTheTablesInOrder) {
  EXPECT_EQ((std::vector<std::string>{
                "OfxPropLabel string[1] = \"Orvalis Trevane\"",
                "OfxImageEffectPluginPropGrouping string[1] = \"Orvalis\"",
                "OfxPropPluginDescription string[1] = \"" + kDescription + "\"",
                "OfxImageEffectPropSupportedContexts string[1] = \"OfxImageEffectContextFilter\"",
                "OfxImageEffectPropSupportedPixelDepths string[2] = \"OfxBitDepthByte\" \"OfxBitDepthFloat\"",
                "OfxImageEffectPluginPropSingleInstance int[1] = 0",
                "OfxImageEffectPluginPropHostFrameThreading int[1] = 1",
                "OfxImageEffectPluginRenderThreadSafety string[1] = \"OfxImageEffectRenderFullySafe\"",
                "OfxImageEffectPropSupportsMultiResolution int[1] = 1",
                "OfxImageEffectPropSupportsTiles int[1] = 0",
                "OfxImageEffectPluginPropOverlayInteractV1 set",
            }),
            written(plugin().descriptor()));
  EXPECT_NE(nullptr, plugin().overlayEntry());
  const std::vector<th::ClipInfo> clips = plugin().clips();
  ASSERT_EQ(2u, clips.size());
  EXPECT_EQ("Source", clips[0].name);
  EXPECT_EQ("Output", clips[1].name);
  for (const th::ClipInfo &clip : clips) {
    EXPECT_EQ(std::vector<std::string>{"OfxImageEffectPropSupportedComponents string[1] = \"OfxImageComponentRGBA\""},
              written(*clip.properties)) << clip.name;
  }
}

// The parameters in order with their types; the defaults a project starts from and the ones the other tests
// rely on are pinned with them (labels and hints are the plug-in's own wording, read nowhere).
TEST_F(PluginTest, SixteenParametersInOrder) {
  std::vector<std::string> params;
  for (const th::ParamInfo &p : plugin().params()) params.push_back(p.name + " " + p.type);
  EXPECT_EQ((std::vector<std::string>{
                "backend_url OfxParamTypeString",     "output_mode OfxParamTypeChoice",
                "draw_mask OfxParamTypeBoolean",      "select_tool OfxParamTypeChoice",
                "brush_size OfxParamTypeDouble",      "text_hint OfxParamTypeString",
                "quality OfxParamTypeChoice",         "edge_softness OfxParamTypeDouble",
                "pull_alpha OfxParamTypePushButton",  "clear_mask OfxParamTypePushButton",
                "reset_matte OfxParamTypePushButton", "status OfxParamTypeString",
                "bbox_json OfxParamTypeString",       "brush_json OfxParamTypeString",
                "session_id OfxParamTypeString",      "clip_start OfxParamTypeString",
            }),
            params);
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
