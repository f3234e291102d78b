// HostProbe: a small OpenFX plug-in that exercises the host's suites for the host's own tests.
// Its "mode" choice selects what render does: 0 copy, 1 leak the source image, 2 release it twice,
// 3 wait for "count" renders to run at once (concurrency), 4 copy from a null-checked source.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "HostProbeState.h"
#include "ofxImageEffect.h"

namespace {

host_probe::State gState;
OfxHost *gHost = nullptr;
const OfxPropertySuiteV1 *gProp = nullptr;
const OfxImageEffectSuiteV1 *gEffect = nullptr;
const OfxParameterSuiteV1 *gParam = nullptr;
const OfxInteractSuiteV1 *gInteract = nullptr;
const OfxMessageSuiteV1 *gMessage = nullptr;
std::mutex gThreadsMu;
std::set<std::thread::id> gThreads;

constexpr auto kConcurrencyWait = std::chrono::seconds(3);

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

void copy_name(char *to, const char *from) {
  std::strncpy(to, from == nullptr ? "" : from, 63);
  to[63] = '\0';
}

void setHost(OfxHost *host) {
  gHost = host;
  int mask = 0;
  gProp = static_cast<const OfxPropertySuiteV1 *>(host->fetchSuite(host->host, kOfxPropertySuite, 1));
  gEffect = static_cast<const OfxImageEffectSuiteV1 *>(host->fetchSuite(host->host, kOfxImageEffectSuite, 1));
  gParam = static_cast<const OfxParameterSuiteV1 *>(host->fetchSuite(host->host, kOfxParameterSuite, 1));
  gInteract = static_cast<const OfxInteractSuiteV1 *>(host->fetchSuite(host->host, kOfxInteractSuite, 1));
  gMessage = static_cast<const OfxMessageSuiteV1 *>(host->fetchSuite(host->host, kOfxMessageSuite, 1));
  mask |= gProp != nullptr ? 1 : 0;
  mask |= gEffect != nullptr ? 2 : 0;
  mask |= gParam != nullptr ? 4 : 0;
  mask |= gInteract != nullptr ? 8 : 0;
  mask |= gMessage != nullptr ? 16 : 0;
  gState.suiteMask = mask;
}

OfxStatus overlayMain(const char *action, const void *handle, OfxPropertySetHandle inArgs, OfxPropertySetHandle);

OfxStatus describe(OfxImageEffectHandle effect) {
  ++gState.describes;
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  gProp->propSetString(props, kOfxPropLabel, 0, "Host Probe");
  gProp->propSetString(props, kOfxImageEffectPluginPropGrouping, 0, "Trevane Tests");
  // HOST_PROBE_NO_FILTER: a plug-in that declares only the general context, which this host cannot use.
  gProp->propSetString(props, kOfxImageEffectPropSupportedContexts, 0,
                       std::getenv("HOST_PROBE_NO_FILTER") != nullptr ? kOfxImageEffectContextGeneral
                                                                      : kOfxImageEffectContextFilter);
  gProp->propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 0, kOfxBitDepthByte);
  gProp->propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 1, kOfxBitDepthFloat);
  gProp->propSetString(props, kOfxImageEffectPluginRenderThreadSafety, 0, kOfxImageEffectRenderFullySafe);
  gProp->propSetInt(props, kOfxImageEffectPluginPropHostFrameThreading, 0, 1);
  gProp->propSetInt(props, kOfxImageEffectPropSupportsTiles, 0, 0);
  gProp->propSetPointer(props, kOfxImageEffectPluginPropOverlayInteractV1, 0,
                        reinterpret_cast<void *>(&overlayMain));
  gState.describeUnknownStatus = gProp->propSetString(props, "OfxPropLabell", 0, "typo");
  gState.clipDefineInDescribeStatus = gEffect->clipDefine(effect, "Early", nullptr);
  return kOfxStatOK;
}

OfxStatus describeInContext(OfxImageEffectHandle effect) {
  ++gState.describeInContexts;
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
  const char *modes[] = {"copy", "leak", "double release", "concurrency", "copy checked"};
  for (int i = 0; i < 5; ++i) {
    gProp->propSetString(props, kOfxParamPropChoiceOption, i, modes[i]);
  }
  gParam->paramDefine(params, kOfxParamTypeInteger, "count", &props);
  gProp->propSetInt(props, kOfxParamPropDefault, 0, 5);
  gProp->propSetInt(props, kOfxParamPropMin, 0, 0);
  gProp->propSetInt(props, kOfxParamPropMax, 0, 10);
  gParam->paramDefine(params, kOfxParamTypeDouble, "gain", &props);
  gProp->propSetDouble(props, kOfxParamPropDefault, 0, 0.5);
  gProp->propSetDouble(props, kOfxParamPropMin, 0, 0.0);
  gProp->propSetDouble(props, kOfxParamPropMax, 0, 1.0);
  gParam->paramDefine(params, kOfxParamTypePushButton, "poke", &props);
  gParam->paramDefine(params, kOfxParamTypePushButton, "run_checks", &props);
  gParam->paramDefine(params, kOfxParamTypeString, "worker_note", &props);
  gProp->propSetInt(props, kOfxParamPropSecret, 0, 1);
  gState.defineUnsupportedStatus = gParam->paramDefine(params, kOfxParamTypeRGBA, "colour", &props);
  gState.defineDuplicateStatus = gParam->paramDefine(params, kOfxParamTypeString, "text", &props);
  return kOfxStatOK;
}

// Reads pixel (x, y) of an image as 4 floats; false outside its bounds.
bool read_pixel(void *data, const int *b, int rowBytes, bool isFloat, int x, int y, float *out) {
  if (x < b[0] || x >= b[2] || y < b[1] || y >= b[3]) {
    return false;
  }
  const int pixelBytes = isFloat ? 16 : 4;
  auto *p = static_cast<unsigned char *>(data) + static_cast<std::ptrdiff_t>(y - b[1]) * rowBytes +
            static_cast<std::ptrdiff_t>(x - b[0]) * pixelBytes;
  for (int c = 0; c < 4; ++c) {
    if (isFloat) {
      std::memcpy(&out[c], p + c * 4, 4);
    } else {
      out[c] = static_cast<float>(p[c]) / 255.0F;
    }
  }
  return true;
}

void write_pixel(void *data, const int *b, int rowBytes, bool isFloat, int x, int y, const float *in) {
  const int pixelBytes = isFloat ? 16 : 4;
  auto *p = static_cast<unsigned char *>(data) + static_cast<std::ptrdiff_t>(y - b[1]) * rowBytes +
            static_cast<std::ptrdiff_t>(x - b[0]) * pixelBytes;
  for (int c = 0; c < 4; ++c) {
    if (isFloat) {
      std::memcpy(p + c * 4, &in[c], 4);
    } else {
      const float v = in[c] < 0.0F ? 0.0F : (in[c] > 1.0F ? 1.0F : in[c]);
      p[c] = static_cast<unsigned char>(v * 255.0F + 0.5F);
    }
  }
}

struct ImageView {
  void *data = nullptr;
  int bounds[4] = {0, 0, 0, 0};
  int rowBytes = 0;
  bool isFloat = false;
};

ImageView view_of(OfxPropertySetHandle image) {
  ImageView v;
  gProp->propGetPointer(image, kOfxImagePropData, 0, &v.data);
  gProp->propGetIntN(image, kOfxImagePropBounds, 4, v.bounds);
  gProp->propGetInt(image, kOfxImagePropRowBytes, 0, &v.rowBytes);
  char *depth = nullptr;
  gProp->propGetString(image, kOfxImageEffectPropPixelDepth, 0, &depth);
  v.isFloat = depth != nullptr && std::strcmp(depth, kOfxBitDepthFloat) == 0;
  return v;
}

void wait_for_company(int wanted) {
  const int now = ++gState.concurrentNow;
  int seen = gState.maxConcurrent.load();
  while (now > seen && !gState.maxConcurrent.compare_exchange_weak(seen, now)) {
  }
  const auto deadline = std::chrono::steady_clock::now() + kConcurrencyWait;
  while (gState.maxConcurrent.load() < wanted && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  --gState.concurrentNow;
}

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  ++gState.renders;
  {
    std::lock_guard<std::mutex> lock(gThreadsMu);
    gThreads.insert(std::this_thread::get_id());
    gState.renderThreads = static_cast<int>(gThreads.size());
  }
  const int mode = int_param(effect, "mode");
  gState.renderParamSetStatus = gParam->paramSetValue(param(effect, "worker_note"), "set in render");
  double time = 0.0;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  if (mode == 3) {
    wait_for_company(int_param(effect, "count"));
  }
  OfxImageClipHandle sourceClip = nullptr;
  OfxImageClipHandle outputClip = nullptr;
  gEffect->clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &sourceClip, nullptr);
  gEffect->clipGetHandle(effect, kOfxImageEffectOutputClipName, &outputClip, nullptr);
  OfxPropertySetHandle source = nullptr;
  OfxPropertySetHandle output = nullptr;
  if (gEffect->clipGetImage(sourceClip, time, nullptr, &source) != kOfxStatOK) {
    return kOfxStatFailed;
  }
  OfxPropertySetHandle elsewhen = nullptr;
  gState.outputOtherTimeStatus = gEffect->clipGetImage(outputClip, time + 1.0, nullptr, &elsewhen);
  if (elsewhen != nullptr) gEffect->clipReleaseImage(elsewhen);
  if (gEffect->clipGetImage(outputClip, time, nullptr, &output) != kOfxStatOK) {
    gEffect->clipReleaseImage(source);
    return kOfxStatFailed;
  }
  const ImageView src = view_of(source);
  const ImageView dst = view_of(output);
  if (mode == 4 && src.data == nullptr) {
    gEffect->clipReleaseImage(source);
    gEffect->clipReleaseImage(output);
    return kOfxStatFailed;
  }
  for (int y = dst.bounds[1]; y < dst.bounds[3]; ++y) {
    for (int x = dst.bounds[0]; x < dst.bounds[2]; ++x) {
      float rgba[4] = {0.0F, 0.0F, 0.0F, 0.0F};
      if (src.data != nullptr) {
        read_pixel(src.data, src.bounds, src.rowBytes, src.isFloat, x, y, rgba);
      }
      write_pixel(dst.data, dst.bounds, dst.rowBytes, dst.isFloat, x, y, rgba);
    }
  }
  if (mode != 1) {
    gEffect->clipReleaseImage(source);
  }
  if (mode == 2) {
    gState.secondReleaseStatus = gEffect->clipReleaseImage(source);
  }
  gEffect->clipReleaseImage(output);
  return kOfxStatOK;
}

void run_checks(OfxImageEffectHandle effect) {
  using namespace host_probe;
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  char *text = nullptr;
  int i = 0;
  double d = 0.0;
  gState.checks[kUnknownName] = gProp->propGetString(props, "NoSuchProperty", 0, &text);
  gState.checks[kWrongType] = gProp->propGetInt(props, kOfxPropType, 0, &i);
  gState.checks[kBadIndex] = gProp->propGetDouble(props, kOfxImageEffectPropProjectSize, 2, &d);
  gState.checks[kReadOnly] = gProp->propSetString(props, kOfxImageEffectPropContext, 0, "x");
  gState.checks[kNullSet] = gProp->propGetString(nullptr, kOfxPropType, 0, &text);
  gState.checks[kNullName] = gProp->propGetString(props, nullptr, 0, &text);
  int dim = -1;
  gState.checks[kDimension] = gProp->propGetDimension(props, kOfxImageEffectPropProjectSize, &dim);
  gState.dimension = dim;
  OfxParamSetHandle params = nullptr;
  gEffect->getParamSet(effect, &params);
  OfxParamHandle p = nullptr;
  gState.checks[kUnknownParam] = gParam->paramGetHandle(params, "nope", &p, nullptr);
  OfxImageClipHandle outputClip = nullptr;
  gEffect->clipGetHandle(effect, kOfxImageEffectOutputClipName, &outputClip, nullptr);
  OfxPropertySetHandle image = nullptr;
  gState.checks[kOutputOutsideRender] = gEffect->clipGetImage(outputClip, 0.0, nullptr, &image);
  gState.checks[kButtonValue] = gParam->paramGetValue(param(effect, "poke"), &i);
  gState.checks[kGarbageRelease] = gEffect->clipReleaseImage(reinterpret_cast<OfxPropertySetHandle>(0x1234));
  char *before = nullptr;
  gParam->paramGetValue(param(effect, "text"), &before);
  const std::string copy = before == nullptr ? "" : before;
  gParam->paramSetValue(param(effect, "text"), "changed by the plug-in");
  gState.checks[kStaleTextOk] = before != nullptr && copy == before ? 1 : 0;
  gState.checks[kFixedExtend] = gProp->propSetDouble(props, kOfxImageEffectPropProjectSize, 2, 1.0);
  gState.checks[kEditEndAlone] = gParam->paramEditEnd(params);
  void *block = nullptr;
  gState.checks[kWrongKindHandle] =
      gEffect->imageMemoryLock(reinterpret_cast<OfxImageMemoryHandle>(effect), &block);
  if (gMessage != nullptr) {
    gMessage->message(nullptr, kOfxMessageMessage, nullptr, "%s %d", "checks done:", 13);
  }
}

OfxStatus instanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  ++gState.changed;
  char *name = nullptr;
  char *reason = nullptr;
  gProp->propGetString(inArgs, kOfxPropName, 0, &name);
  gProp->propGetString(inArgs, kOfxPropChangeReason, 0, &reason);
  copy_name(gState.lastChangedName, name);
  copy_name(gState.lastReason, reason);
  if (name != nullptr && std::strcmp(name, "poke") == 0) {
    // Parameter writes from a thread of the plug-in's own, as background workers do.
    std::thread worker([effect] {
      gParam->paramSetValue(param(effect, "worker_note"), "from worker");
      gParam->paramSetValue(param(effect, "count"), 99);
    });
    worker.join();
    return kOfxStatOK;
  }
  if (name != nullptr && std::strcmp(name, "run_checks") == 0) {
    run_checks(effect);
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

OfxStatus dispatch(const char *action, const void *handle, OfxPropertySetHandle inArgs) {
  if (action == nullptr) {
    return kOfxStatErrBadHandle;
  }
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void *>(handle));
  if (std::strcmp(action, kOfxActionLoad) == 0) {
    ++gState.loads;
    return gProp == nullptr || gEffect == nullptr || gParam == nullptr ? kOfxStatErrMissingHostFeature : kOfxStatOK;
  }
  if (std::strcmp(action, kOfxActionUnload) == 0) {
    ++gState.unloads;
    return kOfxStatOK;
  }
  if (effect == nullptr) {
    return kOfxStatReplyDefault;
  }
  if (std::strcmp(action, kOfxActionDescribe) == 0) return describe(effect);
  if (std::strcmp(action, kOfxImageEffectActionDescribeInContext) == 0) return describeInContext(effect);
  if (std::strcmp(action, kOfxActionCreateInstance) == 0) {
    ++gState.creates;
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxActionDestroyInstance) == 0) {
    ++gState.destroys;
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxImageEffectActionRender) == 0) return render(effect, inArgs);
  if (std::strcmp(action, kOfxActionBeginInstanceChanged) == 0) {
    ++gState.beginChanged;
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxActionEndInstanceChanged) == 0) {
    ++gState.endChanged;
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxActionInstanceChanged) == 0) return instanceChanged(effect, inArgs);
  return kOfxStatReplyDefault;
}

OfxStatus overlayDispatch(const char *action, const void *handle, OfxPropertySetHandle inArgs) {
  if (handle == nullptr || action == nullptr) {
    return kOfxStatReplyDefault;
  }
  auto interact = static_cast<OfxInteractHandle>(const_cast<void *>(handle));
  OfxPropertySetHandle props = nullptr;
  gInteract->interactGetPropertySet(interact, &props);
  void *effect = nullptr;
  const OfxStatus effectStatus = gProp->propGetPointer(props, kOfxPropEffectInstance, 0, &effect);
  if (std::strcmp(action, kOfxActionDescribe) == 0) {
    gState.overlayDescriptorEffectStatus = effectStatus;
    return kOfxStatOK;
  }
  if (effect == nullptr) {
    return kOfxStatReplyDefault;
  }
  if (std::strcmp(action, kOfxInteractActionDraw) == 0) {
    ++gState.overlayDraws;
    gInteract->interactRedraw(interact);
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxInteractActionPenDown) == 0 || std::strcmp(action, kOfxInteractActionPenMotion) == 0) {
    ++gState.overlayPens;
    double pen[2] = {0.0, 0.0};
    gProp->propGetDoubleN(inArgs, kOfxInteractPropPenPosition, 2, pen);
    gState.penX = static_cast<int>(pen[0]);
    gState.penY = static_cast<int>(pen[1]);
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

// Entry points: nothing may cross the C boundary.
OfxStatus pluginMain(const char *action, const void *handle, OfxPropertySetHandle inArgs, OfxPropertySetHandle) {
  try {
    return dispatch(action, handle, inArgs);
  } catch (...) {
    return kOfxStatErrFatal;
  }
}

OfxStatus overlayMain(const char *action, const void *handle, OfxPropertySetHandle inArgs, OfxPropertySetHandle) {
  try {
    return overlayDispatch(action, handle, inArgs);
  } catch (...) {
    return kOfxStatErrFatal;
  }
}

OfxPlugin gPlugin = {kOfxImageEffectPluginApi, 1, "org.trevane.hostprobe", 1, 0, setHost, pluginMain};

}  // namespace

extern "C" OfxExport int OfxGetNumberOfPlugins() { return 1; }
extern "C" OfxExport OfxPlugin *OfxGetPlugin(int) { return &gPlugin; }
extern "C" OfxExport host_probe::State *HostProbeState() { return &gState; }
