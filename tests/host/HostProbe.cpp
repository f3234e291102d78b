// HostProbe: a small OpenFX plug-in for the host's own tests; it records what the host answered where only a
// plug-in can ask (describe, render). Its "mode" choice selects what render does: 0 copy, 1 leak the source
// image, 2 release it twice.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "HostProbeState.h"
#include "ofxImageEffect.h"

namespace {

host_probe::State gState;
const OfxPropertySuiteV1 *gProp = nullptr;
const OfxImageEffectSuiteV1 *gEffect = nullptr;
const OfxParameterSuiteV1 *gParam = nullptr;

OfxParamHandle param(OfxImageEffectHandle effect, const char *name) {
  OfxParamSetHandle set = nullptr;
  gEffect->getParamSet(effect, &set);
  OfxParamHandle p = nullptr;
  gParam->paramGetHandle(set, name, &p, nullptr);
  return p;
}

int int_param(OfxImageEffectHandle effect, const char *name) {
  int v = 0;
  gParam->paramGetValue(param(effect, name), &v);
  return v;
}

void setHost(OfxHost *host) {
  gProp = static_cast<const OfxPropertySuiteV1 *>(host->fetchSuite(host->host, kOfxPropertySuite, 1));
  gEffect = static_cast<const OfxImageEffectSuiteV1 *>(host->fetchSuite(host->host, kOfxImageEffectSuite, 1));
  gParam = static_cast<const OfxParameterSuiteV1 *>(host->fetchSuite(host->host, kOfxParameterSuite, 1));
}

OfxStatus describe(OfxImageEffectHandle effect) {
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  gProp->propSetString(props, kOfxPropLabel, 0, "Host Probe");
  // HOST_PROBE_NO_FILTER: a plug-in that declares only the general context, which this host cannot use.
  gProp->propSetString(props, kOfxImageEffectPropSupportedContexts, 0,
                       std::getenv("HOST_PROBE_NO_FILTER") != nullptr ? kOfxImageEffectContextGeneral
                                                                      : kOfxImageEffectContextFilter);
  gProp->propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 0, kOfxBitDepthByte);
  gProp->propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 1, kOfxBitDepthFloat);
  gProp->propSetString(props, kOfxImageEffectPluginRenderThreadSafety, 0, kOfxImageEffectRenderFullySafe);
  gProp->propSetInt(props, kOfxImageEffectPluginPropHostFrameThreading, 0, 1);
  gState.clipDefineInDescribeStatus = gEffect->clipDefine(effect, "Early", nullptr);
  return kOfxStatOK;
}

OfxStatus describeInContext(OfxImageEffectHandle effect) {
  OfxPropertySetHandle props = nullptr;
  gEffect->clipDefine(effect, kOfxImageEffectSimpleSourceClipName, &props);
  gProp->propSetString(props, kOfxImageEffectPropSupportedComponents, 0, kOfxImageComponentRGBA);
  gEffect->clipDefine(effect, kOfxImageEffectOutputClipName, &props);
  gProp->propSetString(props, kOfxImageEffectPropSupportedComponents, 0, kOfxImageComponentRGBA);

  OfxParamSetHandle params = nullptr;
  gEffect->getParamSet(effect, &params);
  gParam->paramDefine(params, kOfxParamTypeString, "text", &props);
  gProp->propSetString(props, kOfxParamPropDefault, 0, "hello");
  gParam->paramDefine(params, kOfxParamTypeBoolean, "flag", &props);
  gProp->propSetInt(props, kOfxParamPropDefault, 0, 1);
  gParam->paramDefine(params, kOfxParamTypeChoice, "mode", &props);
  const char *modes[] = {"copy", "leak", "double release"};
  for (int i = 0; i < 3; ++i) gProp->propSetString(props, kOfxParamPropChoiceOption, i, modes[i]);
  gParam->paramDefine(params, kOfxParamTypeInteger, "count", &props);
  gProp->propSetInt(props, kOfxParamPropDefault, 0, 5);
  gProp->propSetInt(props, kOfxParamPropMin, 0, 0);
  gProp->propSetInt(props, kOfxParamPropMax, 0, 10);
  gParam->paramDefine(params, kOfxParamTypeDouble, "gain", &props);
  gProp->propSetDouble(props, kOfxParamPropDefault, 0, 0.5);
  gProp->propSetDouble(props, kOfxParamPropMin, 0, 0.0);
  gProp->propSetDouble(props, kOfxParamPropMax, 0, 1.0);
  gParam->paramDefine(params, kOfxParamTypePushButton, "poke", &props);
  gState.defineUnsupportedStatus = gParam->paramDefine(params, kOfxParamTypeRGBA, "colour", &props);
  gState.defineDuplicateStatus = gParam->paramDefine(params, kOfxParamTypeString, "text", &props);
  return kOfxStatOK;
}

struct View {
  char *data = nullptr;
  int bounds[4] = {0, 0, 0, 0};
  int rowBytes = 0;
  char *depth = nullptr;
};

View view_of(OfxPropertySetHandle image) {
  View v;
  void *data = nullptr;
  gProp->propGetPointer(image, kOfxImagePropData, 0, &data);
  v.data = static_cast<char *>(data);
  gProp->propGetIntN(image, kOfxImagePropBounds, 4, v.bounds);
  gProp->propGetInt(image, kOfxImagePropRowBytes, 0, &v.rowBytes);
  gProp->propGetString(image, kOfxImageEffectPropPixelDepth, 0, &v.depth);
  return v;
}

// Copies the source to the output; a source without data, or of other bounds or depth, fails the render.
OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  const int mode = int_param(effect, "mode");
  gState.renderParamSetStatus = gParam->paramSetValue(param(effect, "text"), "set in render");
  double time = 0.0;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  OfxImageClipHandle sourceClip = nullptr, outputClip = nullptr;
  gEffect->clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &sourceClip, nullptr);
  gEffect->clipGetHandle(effect, kOfxImageEffectOutputClipName, &outputClip, nullptr);
  OfxPropertySetHandle source = nullptr, output = nullptr, elsewhen = nullptr;
  if (gEffect->clipGetImage(sourceClip, time, nullptr, &source) != kOfxStatOK) return kOfxStatFailed;
  gState.outputOtherTimeStatus = gEffect->clipGetImage(outputClip, time + 1.0, nullptr, &elsewhen);
  if (elsewhen != nullptr) gEffect->clipReleaseImage(elsewhen);
  if (gEffect->clipGetImage(outputClip, time, nullptr, &output) != kOfxStatOK) {
    gEffect->clipReleaseImage(source);
    return kOfxStatFailed;
  }
  const View src = view_of(source);
  const View dst = view_of(output);
  const bool copyable = src.data != nullptr && std::memcmp(src.bounds, dst.bounds, sizeof src.bounds) == 0 &&
                        std::strcmp(src.depth, dst.depth) == 0;
  const std::size_t rowBytes = static_cast<std::size_t>(dst.bounds[2] - dst.bounds[0]) *
                               (std::strcmp(dst.depth, kOfxBitDepthFloat) == 0 ? 16U : 4U);
  for (int y = 0; copyable && y < dst.bounds[3] - dst.bounds[1]; ++y) {
    std::memcpy(dst.data + std::ptrdiff_t{y} * dst.rowBytes, src.data + std::ptrdiff_t{y} * src.rowBytes, rowBytes);
  }
  if (mode != 1) gEffect->clipReleaseImage(source);
  if (mode == 2) gState.secondReleaseStatus = gEffect->clipReleaseImage(source);
  gEffect->clipReleaseImage(output);
  return copyable ? kOfxStatOK : kOfxStatFailed;
}

OfxStatus instanceChanged(OfxPropertySetHandle inArgs) {
  ++gState.changed;
  char *name = nullptr, *reason = nullptr;
  gProp->propGetString(inArgs, kOfxPropName, 0, &name);
  gProp->propGetString(inArgs, kOfxPropChangeReason, 0, &reason);
  std::snprintf(gState.lastChangedName, sizeof gState.lastChangedName, "%s", name == nullptr ? "" : name);
  std::snprintf(gState.lastReason, sizeof gState.lastReason, "%s", reason == nullptr ? "" : reason);
  return kOfxStatReplyDefault;
}

OfxStatus dispatch(const char *action, const void *handle, OfxPropertySetHandle inArgs) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void *>(handle));
  if (std::strcmp(action, kOfxActionLoad) == 0) {
    return gProp == nullptr || gEffect == nullptr || gParam == nullptr ? kOfxStatErrMissingHostFeature : kOfxStatOK;
  }
  if (std::strcmp(action, kOfxActionUnload) == 0) {
    ++gState.unloads;
    return kOfxStatOK;
  }
  if (effect == nullptr) return kOfxStatReplyDefault;
  if (std::strcmp(action, kOfxActionDescribe) == 0) return describe(effect);
  if (std::strcmp(action, kOfxImageEffectActionDescribeInContext) == 0) return describeInContext(effect);
  if (std::strcmp(action, kOfxImageEffectActionRender) == 0) return render(effect, inArgs);
  if (std::strcmp(action, kOfxActionInstanceChanged) == 0) return instanceChanged(inArgs);
  std::atomic<int> *counter = std::strcmp(action, kOfxActionCreateInstance) == 0         ? &gState.creates
                              : std::strcmp(action, kOfxActionDestroyInstance) == 0      ? &gState.destroys
                              : std::strcmp(action, kOfxActionBeginInstanceChanged) == 0 ? &gState.beginChanged
                              : std::strcmp(action, kOfxActionEndInstanceChanged) == 0   ? &gState.endChanged
                                                                                         : nullptr;
  if (counter == nullptr) return kOfxStatReplyDefault;
  ++*counter;
  return kOfxStatOK;
}

// Nothing may cross the C boundary.
OfxStatus pluginMain(const char *action, const void *handle, OfxPropertySetHandle inArgs, OfxPropertySetHandle) {
  try {
    return action == nullptr ? kOfxStatErrBadHandle : dispatch(action, handle, inArgs);
  } catch (...) {
    return kOfxStatErrFatal;
  }
}

OfxPlugin gPlugin = {kOfxImageEffectPluginApi, 1, "org.trevane.hostprobe", 1, 0, setHost, pluginMain};

}  // namespace

extern "C" OfxExport int OfxGetNumberOfPlugins() { return 1; }
extern "C" OfxExport OfxPlugin *OfxGetPlugin(int) { return &gPlugin; }
extern "C" OfxExport host_probe::State *HostProbeState() { return &gState; }
