#pragma once
// The overlay interact: draws the selection in the host's viewer and turns pen drags into selection records.

#include "ofxImageEffect.h"

namespace kesto {

OfxStatus overlayMain(const char *action, const void *handle, OfxPropertySetHandle inArgs,
                      OfxPropertySetHandle outArgs);

}  // namespace kesto

extern "C" OfxStatus overlayEntryPoint(const char *action, const void *handle, OfxPropertySetHandle inArgs,
                                       OfxPropertySetHandle outArgs);
