// The two describe actions: what the effect is, its two clips and its sixteen parameters. The tables below
// are set on the host in exactly their order; the host's defaults hold for everything they leave out.

#include <vector>

#include "ofxImageEffect.h"
#include "plugin/HostSuites.h"
#include "plugin/Params.h"
#include "plugin/PluginPrivate.h"

#include "overlay/KestoOverlay.h"

namespace kesto {
namespace {

// One property value to set: a name, an index, and a value of one of the four property types.
struct PropValue {
  enum class Kind { String, Int, Double, Pointer };
  const char *name;
  int index;
  Kind kind;
  const char *text = nullptr;
  int integer = 0;
  double number = 0.0;
  void *pointer = nullptr;
};

PropValue str(const char *name, const char *value, int index = 0) {
  return {name, index, PropValue::Kind::String, value};
}
PropValue integer(const char *name, int value) { return {name, 0, PropValue::Kind::Int, nullptr, value}; }
PropValue number(const char *name, double value) {
  return {name, 0, PropValue::Kind::Double, nullptr, 0, value};
}
PropValue pointer(const char *name, void *value) {
  return {name, 0, PropValue::Kind::Pointer, nullptr, 0, 0.0, value};
}
PropValue option(int index, const char *label) { return str(kOfxParamPropChoiceOption, label, index); }

// Host call results are not examined: a refused property keeps the host's default and describing goes on.
void apply(OfxPropertySetHandle props, const std::vector<PropValue> &values) {
  if (props == nullptr) return;
  for (const PropValue &v : values) {
    switch (v.kind) {
      case PropValue::Kind::String: gProp->propSetString(props, v.name, v.index, v.text); break;
      case PropValue::Kind::Int: gProp->propSetInt(props, v.name, v.index, v.integer); break;
      case PropValue::Kind::Double: gProp->propSetDouble(props, v.name, v.index, v.number); break;
      case PropValue::Kind::Pointer: gProp->propSetPointer(props, v.name, v.index, v.pointer); break;
    }
  }
}

std::vector<PropValue> effectProperties() {
  return {
      str(kOfxPropLabel, "Orvalis Trevane"),
      str(kOfxImageEffectPluginPropGrouping, "Orvalis"),
      str(kOfxPropPluginDescription,
          "Orvalis Trevane: AI character alpha matte. Box or brush the character on any frame, press Pull "
          "Alpha, and the plugin tracks it through the whole clip (SAM 3.1 + BiRefNet matting) and outputs "
          "RGBA or the matte only. No length limit."),
      str(kOfxImageEffectPropSupportedContexts, kOfxImageEffectContextFilter),
      str(kOfxImageEffectPropSupportedPixelDepths, kOfxBitDepthByte, 0),
      str(kOfxImageEffectPropSupportedPixelDepths, kOfxBitDepthFloat, 1),
      integer(kOfxImageEffectPluginPropSingleInstance, 0),
      integer(kOfxImageEffectPluginPropHostFrameThreading, 1),
      str(kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectRenderFullySafe),
      integer(kOfxImageEffectPropSupportsMultiResolution, 1),
      integer(kOfxImageEffectPropSupportsTiles, 0),
      pointer(kOfxImageEffectPluginPropOverlayInteractV1, reinterpret_cast<void *>(&overlayEntryPoint)),
  };
}

struct ClipSpec {
  const char *name;
  std::vector<PropValue> props;
};

std::vector<ClipSpec> clipTable() {
  return {
      {kOfxImageEffectSimpleSourceClipName, {str(kOfxImageEffectPropSupportedComponents, kOfxImageComponentRGBA)}},
      {kOfxImageEffectOutputClipName, {str(kOfxImageEffectPropSupportedComponents, kOfxImageComponentRGBA)}},
  };
}

struct ParamSpec {
  const char *name;
  const char *type;
  std::vector<PropValue> props;
};

std::vector<ParamSpec> paramTable() {
  using namespace param;
  return {
      {kBackendUrl, kOfxParamTypeString,
       {str(kOfxPropLabel, "Backend URL"), str(kOfxParamPropDefault, kBackendUrlPlaceholder),
        str(kOfxParamPropHint, "Copy it from the Orvalis download page.")}},
      {kOutputMode, kOfxParamTypeChoice,
       {str(kOfxPropLabel, "Output"), option(0, "Character (RGBA)"), option(1, "Matte only"),
        option(2, "Source (bypass)")}},
      {kDrawMask, kOfxParamTypeBoolean, {str(kOfxPropLabel, "Edit selection in viewer"), integer(kOfxParamPropDefault, 1)}},
      {kSelectTool, kOfxParamTypeChoice,
       {str(kOfxPropLabel, "Tool"), option(0, "Bounding box"), option(1, "Brush (add)"),
        option(2, "Brush (exclude)")}},
      {kBrushSize, kOfxParamTypeDouble,
       {str(kOfxPropLabel, "Brush size"), number(kOfxParamPropDefault, 0.03), number(kOfxParamPropMin, 0.005),
        number(kOfxParamPropMax, 0.3)}},
      {kTextHint, kOfxParamTypeString,
       {str(kOfxPropLabel, "Character hint (optional)"), str(kOfxParamPropDefault, ""),
        str(kOfxParamPropHint, "e.g. 'woman in red'. Used when no box or brush is drawn.")}},
      {kQuality, kOfxParamTypeChoice,
       {str(kOfxPropLabel, "Quality"), option(0, "Fine edges (SAM 3.1 + BiRefNet)"), option(1, "Fast (SAM 3.1)")}},
      {kEdgeSoftness, kOfxParamTypeDouble,
       {str(kOfxPropLabel, "Edge softness"), number(kOfxParamPropDefault, 0.35), number(kOfxParamPropMin, 0.0),
        number(kOfxParamPropMax, 1.0)}},
      {kPullAlpha, kOfxParamTypePushButton, {str(kOfxPropLabel, "Pull alpha (whole clip)")}},
      {kClearMask, kOfxParamTypePushButton, {str(kOfxPropLabel, "Clear selection")}},
      {kResetMatte, kOfxParamTypePushButton, {str(kOfxPropLabel, "Reset matte")}},
      {kStatus, kOfxParamTypeString,
       {str(kOfxPropLabel, "Status"), str(kOfxParamPropDefault, "idle"), integer(kOfxParamPropEnabled, 0)}},
      {kBboxJson, kOfxParamTypeString, {integer(kOfxParamPropSecret, 1), str(kOfxParamPropDefault, "")}},
      {kBrushJson, kOfxParamTypeString, {integer(kOfxParamPropSecret, 1), str(kOfxParamPropDefault, "[]")}},
      {kSessionId, kOfxParamTypeString, {integer(kOfxParamPropSecret, 1)}},
      {kClipStart, kOfxParamTypeString, {integer(kOfxParamPropSecret, 1), str(kOfxParamPropDefault, "0")}},
  };
}

}  // namespace

OfxStatus describe(OfxImageEffectHandle effect) {
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  apply(props, effectProperties());
  return kOfxStatOK;
}

// The context named by the host is not examined: the filter context is the only one declared.
OfxStatus describeInContext(OfxImageEffectHandle effect) {
  for (const ClipSpec &clip : clipTable()) {
    OfxPropertySetHandle props = nullptr;
    gEffect->clipDefine(effect, clip.name, &props);
    apply(props, clip.props);
  }
  OfxParamSetHandle params = nullptr;
  gEffect->getParamSet(effect, &params);
  for (const ParamSpec &entry : paramTable()) {
    OfxPropertySetHandle props = nullptr;
    gParam->paramDefine(params, entry.type, entry.name, &props);
    apply(props, entry.props);
  }
  return kOfxStatOK;
}

}  // namespace kesto
