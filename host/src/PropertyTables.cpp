#include "PropertyTables.h"

#include <cfloat>
#include <climits>

#include "host/Args.h"
#include "ofxImageEffect.h"

namespace kesto::host::detail {

namespace {

constexpr bool kRW = true;   // the plug-in may write it
constexpr bool kRO = false;  // only the host writes it
constexpr int kVar = 0;      // variable dimension

PropertyDef str(const char *name, int dim, bool writable, std::vector<std::string> defaults = {}) {
  PropertyDef d;
  d.name = name;
  d.type = PropType::String;
  d.dimension = dim;
  d.pluginWritable = writable;
  d.strings = std::move(defaults);
  return d;
}
PropertyDef num(const char *name, int dim, bool writable, std::vector<int> defaults = {}) {
  PropertyDef d;
  d.name = name;
  d.type = PropType::Int;
  d.dimension = dim;
  d.pluginWritable = writable;
  d.ints = std::move(defaults);
  return d;
}
PropertyDef dbl(const char *name, int dim, bool writable, std::vector<double> defaults = {}) {
  PropertyDef d;
  d.name = name;
  d.type = PropType::Double;
  d.dimension = dim;
  d.pluginWritable = writable;
  d.doubles = std::move(defaults);
  return d;
}
PropertyDef ptr(const char *name, int dim, bool writable) {
  PropertyDef d;
  d.name = name;
  d.type = PropType::Pointer;
  d.dimension = dim;
  d.pluginWritable = writable;
  return d;
}

void append(std::vector<PropertyDef> &to, std::vector<PropertyDef> from) {
  for (auto &d : from) {
    to.push_back(std::move(d));
  }
}

std::vector<PropertyDef> time_and_scale() {
  return {dbl(kOfxPropTime, 1, kRO, {0.0}), dbl(kOfxImageEffectPropRenderScale, 2, kRO, {1.0, 1.0})};
}

std::vector<PropertyDef> interact_common_in() {
  std::vector<PropertyDef> t = {ptr(kOfxPropEffectInstance, 1, kRO), dbl(kOfxInteractPropPixelScale, 2, kRO, {1.0, 1.0}),
                                dbl(kOfxInteractPropBackgroundColour, 3, kRO, {0.0, 0.0, 0.0})};
  append(t, time_and_scale());
  return t;
}

// Properties every parameter has.
std::vector<PropertyDef> param_common(const std::string &paramType, bool instance) {
  const bool rwInstance = true;  // label, hint, secret, enabled and data stay writable on instances
  return {
      str(kOfxPropType, 1, kRO, {instance ? kOfxTypeParameterInstance : kOfxTypeParameter}),
      str(kOfxPropName, 1, kRO),
      str(kOfxPropLabel, 1, rwInstance),
      str(kOfxPropShortLabel, 1, rwInstance),
      str(kOfxPropLongLabel, 1, rwInstance),
      str(kOfxParamPropType, 1, kRO, {paramType}),
      num(kOfxParamPropSecret, 1, rwInstance, {0}),
      str(kOfxParamPropHint, 1, rwInstance),
      str(kOfxParamPropScriptName, 1, !instance),
      str(kOfxParamPropParent, 1, !instance),
      num(kOfxParamPropEnabled, 1, rwInstance, {1}),
      ptr(kOfxParamPropDataPtr, 1, rwInstance),
      str(kOfxPropIcon, 2, !instance, {"", ""}),
  };
}

std::vector<PropertyDef> param_interact(bool instance) {
  return {
      ptr(kOfxParamPropInteractV1, 1, !instance),
      dbl(kOfxParamPropInteractSize, 2, !instance, {0.0, 0.0}),
      dbl(kOfxParamPropInteractSizeAspect, 1, !instance, {1.0}),
      num(kOfxParamPropInteractMinimumSize, 2, !instance, {10, 10}),
      num(kOfxParamPropInteractPreferedSize, 2, !instance, {10, 10}),
  };
}

// Properties of every parameter that holds a value.
std::vector<PropertyDef> param_valued(bool instance) {
  return {
      num(kOfxParamPropAnimates, 1, !instance, {1}),
      num(kOfxParamPropIsAnimating, 1, kRO, {0}),
      num(kOfxParamPropIsAutoKeying, 1, kRO, {0}),
      num(kOfxParamPropPersistant, 1, !instance, {1}),
      num(kOfxParamPropEvaluateOnChange, 1, kRW, {1}),
      num(kOfxParamPropPluginMayWrite, 1, !instance, {0}),
      num(kOfxParamPropCanUndo, 1, !instance, {1}),
      str(kOfxParamPropCacheInvalidation, 1, !instance, {kOfxParamInvalidateValueChange}),
  };
}

}  // namespace

std::vector<PropertyDef> hostTable() {
  return {
      str(kOfxPropType, 1, kRO, {kOfxTypeImageEffectHost}),
      str(kOfxPropName, 1, kRO, {"trevane.host"}),
      str(kOfxPropLabel, 1, kRO, {"Trevane in-process host"}),
      num(kOfxPropAPIVersion, kVar, kRO, {1, 4}),
      num(kOfxPropVersion, kVar, kRO, {1, 1, 0}),
      str(kOfxPropVersionLabel, 1, kRO, {"1.1"}),
      num(kOfxImageEffectHostPropIsBackground, 1, kRO, {0}),
      num(kOfxImageEffectPropSupportsOverlays, 1, kRO, {1}),
      num(kOfxImageEffectPropSupportsMultiResolution, 1, kRO, {1}),
      num(kOfxImageEffectPropSupportsTiles, 1, kRO, {1}),
      num(kOfxImageEffectPropTemporalClipAccess, 1, kRO, {1}),
      str(kOfxImageEffectPropSupportedComponents, kVar, kRO, {kOfxImageComponentRGBA}),
      str(kOfxImageEffectPropSupportedContexts, kVar, kRO, {kOfxImageEffectContextFilter}),
      str(kOfxImageEffectPropSupportedPixelDepths, kVar, kRO, {kOfxBitDepthByte, kOfxBitDepthFloat}),
      num(kOfxImageEffectPropSupportsMultipleClipDepths, 1, kRO, {0}),
      num(kOfxImageEffectPropSupportsMultipleClipPARs, 1, kRO, {0}),
      num(kOfxImageEffectPropSetableFrameRate, 1, kRO, {0}),
      num(kOfxImageEffectPropSetableFielding, 1, kRO, {0}),
      num(kOfxImageEffectInstancePropSequentialRender, 1, kRO, {0}),
      num(kOfxParamHostPropSupportsCustomInteract, 1, kRO, {0}),
      num(kOfxParamHostPropSupportsStringAnimation, 1, kRO, {0}),
      num(kOfxParamHostPropSupportsChoiceAnimation, 1, kRO, {0}),
      num(kOfxParamHostPropSupportsBooleanAnimation, 1, kRO, {0}),
      num(kOfxParamHostPropSupportsCustomAnimation, 1, kRO, {0}),
      num(kOfxParamHostPropMaxParameters, 1, kRO, {-1}),
      num(kOfxParamHostPropMaxPages, 1, kRO, {0}),
      num(kOfxParamHostPropPageRowColumnCount, 2, kRO, {0, 0}),
      ptr(kOfxPropHostOSHandle, 1, kRO),
  };
}

std::vector<PropertyDef> effectDescriptorTable() {
  return {
      str(kOfxPropType, 1, kRO, {kOfxTypeImageEffect}),
      str(kOfxPropLabel, 1, kRW),
      str(kOfxPropShortLabel, 1, kRW),
      str(kOfxPropLongLabel, 1, kRW),
      num(kOfxPropVersion, kVar, kRW),
      str(kOfxPropVersionLabel, 1, kRW),
      str(kOfxPropPluginDescription, 1, kRW),
      str(kOfxPluginPropFilePath, 1, kRO),
      str(kOfxImageEffectPropSupportedContexts, kVar, kRW),
      str(kOfxImageEffectPluginPropGrouping, 1, kRW),
      num(kOfxImageEffectPluginPropSingleInstance, 1, kRW, {0}),
      str(kOfxImageEffectPluginRenderThreadSafety, 1, kRW, {kOfxImageEffectRenderInstanceSafe}),
      num(kOfxImageEffectPluginPropHostFrameThreading, 1, kRW, {1}),
      ptr(kOfxImageEffectPluginPropOverlayInteractV1, 1, kRW),
      num(kOfxImageEffectPropSupportsMultiResolution, 1, kRW, {1}),
      num(kOfxImageEffectPropSupportsTiles, 1, kRW, {1}),
      num(kOfxImageEffectPropTemporalClipAccess, 1, kRW, {0}),
      str(kOfxImageEffectPropSupportedPixelDepths, kVar, kRW),
      num(kOfxImageEffectPluginPropFieldRenderTwiceAlways, 1, kRW, {1}),
      num(kOfxImageEffectPropSupportsMultipleClipDepths, 1, kRW, {0}),
      num(kOfxImageEffectPropSupportsMultipleClipPARs, 1, kRW, {0}),
      str(kOfxImageEffectPropClipPreferencesSlaveParam, kVar, kRW),
      num(kOfxImageEffectInstancePropSequentialRender, 1, kRW, {0}),
      str(kOfxPluginPropParamPageOrder, kVar, kRW),
  };
}

std::vector<PropertyDef> effectInstanceTable() {
  return {
      str(kOfxPropType, 1, kRO, {kOfxTypeImageEffectInstance}),
      str(kOfxImageEffectPropContext, 1, kRO, {kOfxImageEffectContextFilter}),
      ptr(kOfxPropInstanceData, 1, kRW),
      dbl(kOfxImageEffectPropProjectSize, 2, kRO, {1920.0, 1080.0}),
      dbl(kOfxImageEffectPropProjectOffset, 2, kRO, {0.0, 0.0}),
      dbl(kOfxImageEffectPropProjectExtent, 2, kRO, {1920.0, 1080.0}),
      dbl(kOfxImageEffectPropProjectPixelAspectRatio, 1, kRO, {1.0}),
      dbl(kOfxImageEffectInstancePropEffectDuration, 1, kRO, {1.0}),
      num(kOfxImageEffectInstancePropSequentialRender, 1, kRW, {0}),
      num(kOfxImageEffectPropSupportsTiles, 1, kRW, {1}),
      num(kOfxImageEffectPropSupportsMultiResolution, 1, kRW, {1}),
      dbl(kOfxImageEffectPropFrameRate, 1, kRO, {25.0}),
      num(kOfxPropIsInteractive, 1, kRO, {1}),
      str(kOfxPluginPropFilePath, 1, kRO),
  };
}

std::vector<PropertyDef> clipDescriptorTable() {
  return {
      str(kOfxPropType, 1, kRO, {kOfxTypeClip}),
      str(kOfxPropName, 1, kRO),
      str(kOfxPropLabel, 1, kRW),
      str(kOfxPropShortLabel, 1, kRW),
      str(kOfxPropLongLabel, 1, kRW),
      str(kOfxImageEffectPropSupportedComponents, kVar, kRW),
      num(kOfxImageEffectPropTemporalClipAccess, 1, kRW, {0}),
      num(kOfxImageClipPropOptional, 1, kRW, {0}),
      str(kOfxImageClipPropFieldExtraction, 1, kRW, {kOfxImageFieldDoubled}),
      num(kOfxImageClipPropIsMask, 1, kRW, {0}),
      num(kOfxImageEffectPropSupportsTiles, 1, kRW, {1}),
  };
}

std::vector<PropertyDef> clipInstanceTable() {
  std::vector<PropertyDef> t = clipDescriptorTable();
  for (auto &d : t) {
    d.pluginWritable = false;  // a clip instance's properties belong to the host
  }
  append(t, {
                str(kOfxImageEffectPropPixelDepth, 1, kRO, {kOfxBitDepthByte}),
                str(kOfxImageEffectPropComponents, 1, kRO, {kOfxImageComponentRGBA}),
                str(kOfxImageClipPropUnmappedPixelDepth, 1, kRO, {kOfxBitDepthByte}),
                str(kOfxImageClipPropUnmappedComponents, 1, kRO, {kOfxImageComponentRGBA}),
                str(kOfxImageEffectPropPreMultiplication, 1, kRO, {kOfxImageUnPreMultiplied}),
                dbl(kOfxImagePropPixelAspectRatio, 1, kRO, {1.0}),
                dbl(kOfxImageEffectPropFrameRate, 1, kRO, {25.0}),
                dbl(kOfxImageEffectPropFrameRange, 2, kRO, {0.0, 0.0}),
                str(kOfxImageClipPropFieldOrder, 1, kRO, {kOfxImageFieldNone}),
                num(kOfxImageClipPropConnected, 1, kRO, {1}),
                dbl(kOfxImageEffectPropUnmappedFrameRange, 2, kRO, {0.0, 0.0}),
                dbl(kOfxImageEffectPropUnmappedFrameRate, 1, kRO, {25.0}),
                num(kOfxImageClipPropContinuousSamples, 1, kRO, {0}),
            });
  return t;
}

std::optional<std::vector<PropertyDef>> paramTable(const std::string &paramType, bool instance) {
  std::vector<PropertyDef> t = param_common(paramType, instance);
  const bool limitsWritable = true;  // min/max/display range may change on instances too
  if (paramType == kOfxParamTypeInteger) {
    append(t, param_interact(instance));
    append(t, param_valued(instance));
    append(t, {num(kOfxParamPropDefault, 1, kRW, {0}), num(kOfxParamPropMin, 1, limitsWritable, {INT_MIN}),
               num(kOfxParamPropMax, 1, limitsWritable, {INT_MAX}),
               num(kOfxParamPropDisplayMin, 1, limitsWritable, {INT_MIN}),
               num(kOfxParamPropDisplayMax, 1, limitsWritable, {INT_MAX})});
  } else if (paramType == kOfxParamTypeDouble) {
    append(t, param_interact(instance));
    append(t, param_valued(instance));
    append(t, {dbl(kOfxParamPropDefault, 1, kRW, {0.0}), dbl(kOfxParamPropMin, 1, limitsWritable, {-DBL_MAX}),
               dbl(kOfxParamPropMax, 1, limitsWritable, {DBL_MAX}),
               dbl(kOfxParamPropDisplayMin, 1, limitsWritable, {-DBL_MAX}),
               dbl(kOfxParamPropDisplayMax, 1, limitsWritable, {DBL_MAX}),
               dbl(kOfxParamPropIncrement, 1, kRW, {1.0}), num(kOfxParamPropDigits, 1, kRW, {2}),
               str(kOfxParamPropDoubleType, 1, !instance, {kOfxParamDoubleTypePlain}),
               num(kOfxParamPropShowTimeMarker, 1, kRW, {0})});
  } else if (paramType == kOfxParamTypeBoolean) {
    append(t, param_interact(instance));
    append(t, param_valued(instance));
    append(t, {num(kOfxParamPropDefault, 1, kRW, {0})});
  } else if (paramType == kOfxParamTypeChoice) {
    append(t, param_interact(instance));
    append(t, param_valued(instance));
    append(t, {num(kOfxParamPropDefault, 1, kRW, {0}), str(kOfxParamPropChoiceOption, kVar, kRW)});
  } else if (paramType == kOfxParamTypeString) {
    append(t, param_interact(instance));
    append(t, param_valued(instance));
    append(t, {str(kOfxParamPropDefault, 1, kRW, {""}),
               str(kOfxParamPropStringMode, 1, !instance, {kOfxParamStringIsSingleLine}),
               num(kOfxParamPropStringFilePathExists, 1, !instance, {1})});
  } else if (paramType == kOfxParamTypePushButton) {
    append(t, param_interact(instance));
  } else if (paramType == kOfxParamTypeGroup) {
    append(t, {num(kOfxParamPropGroupOpen, 1, kRW, {1})});
  } else if (paramType == kOfxParamTypePage) {
    append(t, {str(kOfxParamPropPageChild, kVar, !instance)});
  } else {
    return std::nullopt;
  }
  return t;
}

std::vector<PropertyDef> paramSetTable() {
  return {str(kOfxPluginPropParamPageOrder, kVar, kRW), num(kOfxPropParamSetNeedsSyncing, 1, kRW, {0})};
}

std::vector<PropertyDef> imageTable() {
  return {
      str(kOfxPropType, 1, kRO, {kOfxTypeImage}),
      str(kOfxImageEffectPropPixelDepth, 1, kRO, {kOfxBitDepthByte}),
      str(kOfxImageEffectPropComponents, 1, kRO, {kOfxImageComponentRGBA}),
      str(kOfxImageEffectPropPreMultiplication, 1, kRO, {kOfxImageUnPreMultiplied}),
      dbl(kOfxImageEffectPropRenderScale, 2, kRO, {1.0, 1.0}),
      dbl(kOfxImagePropPixelAspectRatio, 1, kRO, {1.0}),
      ptr(kOfxImagePropData, 1, kRO),
      num(kOfxImagePropBounds, 4, kRO, {0, 0, 0, 0}),
      num(kOfxImagePropRegionOfDefinition, 4, kRO, {0, 0, 0, 0}),
      num(kOfxImagePropRowBytes, 1, kRO, {0}),
      str(kOfxImagePropField, 1, kRO, {kOfxImageFieldNone}),
      str(kOfxImagePropUniqueIdentifier, 1, kRO),
  };
}

std::vector<PropertyDef> interactDescriptorTable() {
  return {num(kOfxInteractPropHasAlpha, 1, kRO, {1}), num(kOfxInteractPropBitDepth, 1, kRO, {8})};
}

std::vector<PropertyDef> interactInstanceTable() {
  return {
      ptr(kOfxPropEffectInstance, 1, kRO),
      ptr(kOfxPropInstanceData, 1, kRW),
      dbl(kOfxInteractPropPixelScale, 2, kRO, {1.0, 1.0}),
      dbl(kOfxInteractPropBackgroundColour, 3, kRO, {0.0, 0.0, 0.0}),
      num(kOfxInteractPropViewportSize, 2, kRO, {1920, 1080}),
      num(kOfxInteractPropHasAlpha, 1, kRO, {1}),
      num(kOfxInteractPropBitDepth, 1, kRO, {8}),
      str(kOfxInteractPropSlaveToParam, kVar, kRW),
      dbl(kOfxInteractPropSuggestedColour, 3, kRO, {1.0, 1.0, 1.0}),
  };
}

}  // namespace kesto::host::detail

namespace kesto::host {

using detail::append;
using detail::dbl;
using detail::num;
using detail::ptr;
using detail::str;
using detail::time_and_scale;

std::vector<PropertyDef> argsTable(ArgsKind kind, const std::vector<std::string> &clipNames) {
  using namespace detail;
  std::vector<PropertyDef> t;
  switch (kind) {
    case ArgsKind::DescribeInContextIn:
      return {str(kOfxImageEffectPropContext, 1, kRO, {kOfxImageEffectContextFilter})};
    case ArgsKind::RenderIn:
      t = time_and_scale();
      append(t, {str(kOfxImageEffectPropFieldToRender, 1, kRO, {kOfxImageFieldNone}),
                 num(kOfxImageEffectPropRenderWindow, 4, kRO, {0, 0, 0, 0}),
                 num(kOfxImageEffectPropSequentialRenderStatus, 1, kRO, {0}),
                 num(kOfxImageEffectPropInteractiveRenderStatus, 1, kRO, {0})});
      return t;
    case ArgsKind::SequenceRenderIn:
      return {dbl(kOfxImageEffectPropFrameRange, 2, kRO, {0.0, 0.0}), dbl(kOfxImageEffectPropFrameStep, 1, kRO, {1.0}),
              num(kOfxPropIsInteractive, 1, kRO, {0}), dbl(kOfxImageEffectPropRenderScale, 2, kRO, {1.0, 1.0}),
              num(kOfxImageEffectPropSequentialRenderStatus, 1, kRO, {0}),
              num(kOfxImageEffectPropInteractiveRenderStatus, 1, kRO, {0})};
    case ArgsKind::InstanceChangedIn:
      t = {str(kOfxPropType, 1, kRO, {kOfxTypeParameter}), str(kOfxPropName, 1, kRO),
           str(kOfxPropChangeReason, 1, kRO, {kOfxChangeUserEdited})};
      append(t, time_and_scale());
      return t;
    case ArgsKind::BeginEndInstanceChangedIn:
      return {str(kOfxPropChangeReason, 1, kRO, {kOfxChangeUserEdited})};
    case ArgsKind::ClipPreferencesOut:
      for (const auto &clip : clipNames) {
        t.push_back(str(("OfxImageClipPropComponents_" + clip).c_str(), 1, kRW, {kOfxImageComponentRGBA}));
        t.push_back(str(("OfxImageClipPropDepth_" + clip).c_str(), 1, kRW, {kOfxBitDepthByte}));
        t.push_back(dbl(("OfxImageClipPropPAR_" + clip).c_str(), 1, kRW, {1.0}));
      }
      append(t, {dbl(kOfxImageEffectPropFrameRate, 1, kRW, {25.0}),
                 str(kOfxImageClipPropFieldOrder, 1, kRW, {kOfxImageFieldNone}),
                 str(kOfxImageEffectPropPreMultiplication, 1, kRW, {kOfxImageUnPreMultiplied}),
                 num(kOfxImageClipPropContinuousSamples, 1, kRW, {0}),
                 num(kOfxImageEffectFrameVarying, 1, kRW, {0})});
      return t;
    case ArgsKind::RegionOfDefinitionIn:
    case ArgsKind::FramesNeededIn:
    case ArgsKind::TimeDomainOut:
      if (kind == ArgsKind::TimeDomainOut) {
        return {dbl(kOfxImageEffectPropFrameRange, 2, kRW, {0.0, 0.0})};
      }
      return time_and_scale();
    case ArgsKind::RegionOfDefinitionOut:
      return {dbl(kOfxImageEffectPropRegionOfDefinition, 4, kRW, {0.0, 0.0, 0.0, 0.0})};
    case ArgsKind::RegionsOfInterestIn:
      t = time_and_scale();
      t.push_back(dbl(kOfxImageEffectPropRegionOfInterest, 4, kRO, {0.0, 0.0, 0.0, 0.0}));
      return t;
    case ArgsKind::RegionsOfInterestOut:
      for (const auto &clip : clipNames) {
        t.push_back(dbl(("OfxImageClipPropRoI_" + clip).c_str(), 4, kRW, {0.0, 0.0, 0.0, 0.0}));
      }
      return t;
    case ArgsKind::FramesNeededOut:
      for (const auto &clip : clipNames) {
        t.push_back(dbl(("OfxImageClipPropFrameRange_" + clip).c_str(), kVar, kRW, {0.0, 0.0}));
      }
      return t;
    case ArgsKind::IsIdentityIn:
      t = time_and_scale();
      append(t, {str(kOfxImageEffectPropFieldToRender, 1, kRO, {kOfxImageFieldNone}),
                 num(kOfxImageEffectPropRenderWindow, 4, kRO, {0, 0, 0, 0})});
      return t;
    case ArgsKind::IsIdentityOut:
      return {str(kOfxPropName, 1, kRW), dbl(kOfxPropTime, 1, kRW, {0.0})};
    case ArgsKind::InteractDrawIn:
    case ArgsKind::InteractFocusIn:
      return interact_common_in();
    case ArgsKind::InteractPenIn:
      t = interact_common_in();
      append(t, {dbl(kOfxInteractPropPenPosition, 2, kRO, {0.0, 0.0}),
                 num(kOfxInteractPropPenViewportPosition, 2, kRO, {0, 0}),
                 dbl(kOfxInteractPropPenPressure, 1, kRO, {1.0})});
      return t;
  }
  return t;
}

std::shared_ptr<PropertySet> makeArgs(ArgsKind kind, const std::vector<std::string> &clipNames) {
  return PropertySet::create("action arguments", argsTable(kind, clipNames));
}

}  // namespace kesto::host
