// The viewer overlay interact. (Filled in with the selection records.)

#include "ofxImageEffect.h"
#include "overlay/KestoOverlay.h"
#include "plugin/HostSuites.h"

namespace kesto {

OfxStatus overlayMain(const char *, const void *, OfxPropertySetHandle, OfxPropertySetHandle) {
  return kOfxStatReplyDefault;
}

}  // namespace kesto

extern "C" OfxStatus overlayEntryPoint(const char *action, const void *handle, OfxPropertySetHandle inArgs,
                                       OfxPropertySetHandle outArgs) {
  try {
    return kesto::overlayMain(action, handle, inArgs, outArgs);
  } catch (...) {
    return kOfxStatFailed;
  }
}
