// HostProbe: a small OpenFX plug-in for the host's own tests; it records what the host answered where only a
// plug-in can ask (describe, render). Render copies the source's first pixel to the output's; its "mode"
// choice selects what it does with the source image after: 0 release it, 1 leak it, 2 release it twice.
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

void setHost(OfxHost *host) {
  gProp = static_cast<const OfxPropertySuiteV1 *>(host->fetchSuite(host->host, kOfxPropertySuite, 1));
  gEffect = static_cast<const OfxImageEffectSuiteV1 *>(host->fetchSuite(host->host, kOfxImageEffectSuite, 1));
  gParam = static_cast<const OfxParameterSuiteV1 *>(host->fetchSuite(host->host, kOfxParameterSuite, 1));
}

OfxStatus describe(OfxImageEffectHandle effect) {
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  // HOST_PROBE_NO_FILTER: a plug-in that declares only the general context, which this host cannot use.
  gProp->propSetString(props, kOfxImageEffectPropSupportedContexts, 0,
                       std::getenv("HOST_PROBE_NO_FILTER") != nullptr ? kOfxImageEffectContextGeneral
                                                                      : kOfxImageEffectContextFilter);
  gProp->propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 0, kOfxBitDepthByte);
  return kOfxStatOK;
}

OfxStatus describeInContext(OfxImageEffectHandle effect) {
  gEffect->clipDefine(effect, kOfxImageEffectSimpleSourceClipName, nullptr);
  gEffect->clipDefine(effect, kOfxImageEffectOutputClipName, nullptr);
  OfxParamSetHandle params = nullptr;
  gEffect->getParamSet(effect, &params);
  OfxPropertySetHandle props = nullptr;
  gParam->paramDefine(params, kOfxParamTypeString, "text", &props);
  gProp->propSetString(props, kOfxParamPropDefault, 0, "hello");
  gParam->paramDefine(params, kOfxParamTypeBoolean, "flag", nullptr);
  gParam->paramDefine(params, kOfxParamTypeChoice, "mode", &props);
  const char *modes[] = {"release", "leak", "double release"};
  for (int i = 0; i < 3; ++i) gProp->propSetString(props, kOfxParamPropChoiceOption, i, modes[i]);
  gParam->paramDefine(params, kOfxParamTypeInteger, "count", &props);
  gProp->propSetInt(props, kOfxParamPropMin, 0, 0);
  gProp->propSetInt(props, kOfxParamPropMax, 0, 10);
  gParam->paramDefine(params, kOfxParamTypeDouble, "gain", &props);
  gProp->propSetDouble(props, kOfxParamPropMin, 0, 0.0);
  gProp->propSetDouble(props, kOfxParamPropMax, 0, 1.0);
  gParam->paramDefine(params, kOfxParamTypePushButton, "poke", nullptr);
  gState.defineDuplicateStatus = gParam->paramDefine(params, kOfxParamTypeString, "text", nullptr);
  return kOfxStatOK;
}

OfxImageClipHandle clip(OfxImageEffectHandle effect, const char *name) {
  OfxImageClipHandle c = nullptr;
  gEffect->clipGetHandle(effect, name, &c, nullptr);
  return c;
}

OfxParamHandle param(OfxImageEffectHandle effect, const char *name) {
  OfxParamSetHandle set = nullptr;
  gEffect->getParamSet(effect, &set);
  OfxParamHandle p = nullptr;
  gParam->paramGetHandle(set, name, &p, nullptr);
  return p;
}

void *data(OfxPropertySetHandle image) {
  void *p = nullptr;
  gProp->propGetPointer(image, kOfxImagePropData, 0, &p);
  return p;
}

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  int mode = 0;
  gParam->paramGetValue(param(effect, "mode"), &mode);
  gState.renderParamSetStatus = gParam->paramSetValue(param(effect, "text"), "set in render");
  double time = 0.0;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  OfxPropertySetHandle source = nullptr, output = nullptr, elsewhen = nullptr;
  if (gEffect->clipGetImage(clip(effect, kOfxImageEffectSimpleSourceClipName), time, nullptr, &source) != kOfxStatOK) {
    return kOfxStatFailed;
  }
  const OfxImageClipHandle outputClip = clip(effect, kOfxImageEffectOutputClipName);
  gState.outputOtherTimeStatus = gEffect->clipGetImage(outputClip, time + 1.0, nullptr, &elsewhen);
  if (elsewhen != nullptr) gEffect->clipReleaseImage(elsewhen);
  const OfxStatus status = gEffect->clipGetImage(outputClip, time, nullptr, &output);
  if (status == kOfxStatOK) {
    std::memcpy(data(output), data(source), 4);  // the bottom-left byte pixel
    gEffect->clipReleaseImage(output);
  }
  if (mode != 1) gEffect->clipReleaseImage(source);
  if (mode == 2) gState.secondReleaseStatus = gEffect->clipReleaseImage(source);
  return status;
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

OfxStatus pluginMain(const char *action, const void *handle, OfxPropertySetHandle inArgs, OfxPropertySetHandle) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void *>(handle));
  if (action == nullptr) return kOfxStatErrBadHandle;
  if (std::strcmp(action, kOfxActionUnload) == 0) ++gState.unloads;
  if (effect == nullptr) return kOfxStatReplyDefault;
  if (std::strcmp(action, kOfxActionDescribe) == 0) return describe(effect);
  if (std::strcmp(action, kOfxImageEffectActionDescribeInContext) == 0) return describeInContext(effect);
  if (std::strcmp(action, kOfxImageEffectActionRender) == 0) return render(effect, inArgs);
  if (std::strcmp(action, kOfxActionInstanceChanged) == 0) return instanceChanged(inArgs);
  if (std::strcmp(action, kOfxActionBeginInstanceChanged) == 0) ++gState.beginChanged;
  if (std::strcmp(action, kOfxActionEndInstanceChanged) == 0) ++gState.endChanged;
  return kOfxStatReplyDefault;
}

OfxPlugin gPlugin = {kOfxImageEffectPluginApi, 1, "org.trevane.hostprobe", 1, 0, setHost, pluginMain};

}  // namespace

extern "C" OfxExport int OfxGetNumberOfPlugins() { return 1; }
extern "C" OfxExport OfxPlugin *OfxGetPlugin(int) { return &gPlugin; }
extern "C" OfxExport host_probe::State *HostProbeState() { return &gState; }
