// Instance changes: the three push buttons. "Pull alpha" launches a matte job; "Clear selection" and
// "Reset matte" only reset parameters. Every other change gets the host's default handling.

#include <cstring>

#include "plugin/HostSuites.h"
#include "plugin/Job.h"
#include "plugin/Params.h"
#include "plugin/PluginPrivate.h"

namespace kesto {
namespace {

void clearSelection(OfxImageEffectHandle effect) {
  set_string(effect, param::kBboxJson, "");
  set_string(effect, param::kBrushJson, "[]");
}

// Shows the source again; a running job goes on and its next status text overwrites "idle".
void resetMatte(OfxImageEffectHandle effect) {
  set_string(effect, param::kSessionId, "");
  set_string(effect, param::kStatus, "idle");
}

}  // namespace

OfxStatus onInstanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  if (inArgs == nullptr) return kOfxStatReplyDefault;
  char *name = nullptr;
  if (gProp->propGetString(inArgs, kOfxPropName, 0, &name) != kOfxStatOK || name == nullptr) {
    return kOfxStatReplyDefault;
  }
  double time = 0.0;
  if (gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time) != kOfxStatOK) time = 0.0;

  if (std::strcmp(name, param::kPullAlpha) == 0) {
    pullAlpha(effect, time);
    return kOfxStatOK;
  }
  if (std::strcmp(name, param::kClearMask) == 0) {
    clearSelection(effect);
    return kOfxStatOK;
  }
  if (std::strcmp(name, param::kResetMatte) == 0) {
    resetMatte(effect);
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

}  // namespace kesto
