// The module's face towards the OpenFX host: suite pointers, the action dispatch, the plug-in record and the
// two exported functions. Everything else lives in the files beside this one.

#include <cstring>
#include <exception>
#include <new>

#include "ofxImageEffect.h"
#include "plugin/HostSuites.h"
#include "plugin/LiveInstances.h"
#include "plugin/PluginPrivate.h"

OfxHost *gHost = nullptr;
const OfxImageEffectSuiteV1 *gEffect = nullptr;
const OfxPropertySuiteV1 *gProp = nullptr;
const OfxParameterSuiteV1 *gParam = nullptr;
const OfxInteractSuiteV1 *gInteract = nullptr;
const OfxMessageSuiteV1 *gMessage = nullptr;

namespace {

using kesto::coreSuitesPresent;

template <typename Suite>
const Suite *fetch(OfxHost *host, const char *name) {
  if (host == nullptr || host->fetchSuite == nullptr) return nullptr;
  return static_cast<const Suite *>(host->fetchSuite(host->host, name, 1));
}

void setHost(OfxHost *host) {
  gHost = host;
  gEffect = fetch<OfxImageEffectSuiteV1>(host, kOfxImageEffectSuite);
  gProp = fetch<OfxPropertySuiteV1>(host, kOfxPropertySuite);
  gParam = fetch<OfxParameterSuiteV1>(host, kOfxParameterSuite);
  gInteract = fetch<OfxInteractSuiteV1>(host, kOfxInteractSuite);
  gMessage = fetch<OfxMessageSuiteV1>(host, kOfxMessageSuite);
}

using Handler = OfxStatus (*)(OfxImageEffectHandle, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);

// Without the image effect, property or parameter suite the plug-in can do nothing useful: refuse the load.
OfxStatus onLoad(OfxImageEffectHandle, OfxPropertySetHandle, OfxPropertySetHandle) {
  return coreSuitesPresent() ? kOfxStatOK : kOfxStatErrMissingHostFeature;
}

OfxStatus onUnload(OfxImageEffectHandle, OfxPropertySetHandle, OfxPropertySetHandle) { return kOfxStatOK; }

OfxStatus onDescribe(OfxImageEffectHandle effect, OfxPropertySetHandle, OfxPropertySetHandle) {
  return kesto::describe(effect);
}

OfxStatus onDescribeInContext(OfxImageEffectHandle effect, OfxPropertySetHandle, OfxPropertySetHandle) {
  return kesto::describeInContext(effect);
}

OfxStatus onCreateInstance(OfxImageEffectHandle effect, OfxPropertySetHandle, OfxPropertySetHandle) {
  kesto::register_live_instance(effect);
  kesto::beaconToBackend(effect);
  return kOfxStatOK;
}

// A matte worker still running for this instance stops writing to it from here on.
OfxStatus onDestroyInstance(OfxImageEffectHandle effect, OfxPropertySetHandle, OfxPropertySetHandle) {
  kesto::forget_live_instance(effect);
  return kOfxStatOK;
}

// The output carries the matte as alpha with the colour multiplied by it.
OfxStatus onGetClipPreferences(OfxImageEffectHandle, OfxPropertySetHandle, OfxPropertySetHandle outArgs) {
  gProp->propSetString(outArgs, kOfxImageEffectPropPreMultiplication, 0, kOfxImagePreMultiplied);
  return kOfxStatOK;
}

OfxStatus onRender(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle) {
  return kesto::render(effect, inArgs);
}

OfxStatus onInstanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle) {
  return kesto::onInstanceChanged(effect, inArgs);
}

struct ActionEntry {
  const char *action;
  Handler handler;
};

// Compared in this order by exact, case-sensitive string comparison; anything else gets the default reply.
constexpr ActionEntry kActions[] = {
    {kOfxActionLoad, onLoad},
    {kOfxActionUnload, onUnload},
    {kOfxActionDescribe, onDescribe},
    {kOfxImageEffectActionDescribeInContext, onDescribeInContext},
    {kOfxActionCreateInstance, onCreateInstance},
    {kOfxActionDestroyInstance, onDestroyInstance},
    {kOfxImageEffectActionGetClipPreferences, onGetClipPreferences},
    {kOfxImageEffectActionRender, onRender},
    {kOfxActionInstanceChanged, onInstanceChanged},
};

OfxStatus pluginMain(const char *action, const void *handle, OfxPropertySetHandle inArgs,
                     OfxPropertySetHandle outArgs) {
  if (action == nullptr) return kOfxStatReplyDefault;
  try {
    for (const ActionEntry &entry : kActions) {
      if (std::strcmp(action, entry.action) != 0) continue;
      // Load and unload must answer even on a host that lacks suites; every other handler calls through them.
      const bool needsSuites = entry.handler != onLoad && entry.handler != onUnload;
      if (needsSuites && !coreSuitesPresent()) return kOfxStatErrMissingHostFeature;
      auto effect = static_cast<OfxImageEffectHandle>(const_cast<void *>(handle));
      return entry.handler(effect, inArgs, outArgs);
    }
    return kOfxStatReplyDefault;
  } catch (const std::bad_alloc &) {
    return kOfxStatErrMemory;
  } catch (...) {
    return kOfxStatFailed;
  }
}

OfxPlugin gPlugin = {
    kOfxImageEffectPluginApi,   // pluginApi
    1,                          // apiVersion
    "com.orvalis.trevane.ofx",  // pluginIdentifier
    1,                          // pluginVersionMajor
    1,                          // pluginVersionMinor
    setHost,                    // setHost
    pluginMain,                 // mainEntry
};

}  // namespace

// The standard's ofxCore.h makes OfxExport a plain `extern` on Linux, which the build's hidden default
// visibility turns into two local symbols that no host can find. Whichever header built the module, the two
// entry points are visible.
#if defined(_WIN32) || defined(_WIN64)
#define KESTO_ENTRY_POINT OfxExport
#else
#define KESTO_ENTRY_POINT OfxExport __attribute__((visibility("default")))
#endif

extern "C" {

KESTO_ENTRY_POINT int OfxGetNumberOfPlugins(void) { return 1; }

// There is one effect in the module: every index yields it.
KESTO_ENTRY_POINT OfxPlugin *OfxGetPlugin(int /*nth*/) { return &gPlugin; }

}  // extern "C"
