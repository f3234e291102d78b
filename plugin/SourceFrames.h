#pragma once
// Fetching one frame of the "Source" clip as the picture that is spooled. Runs on the host's thread inside
// an action; the host's image is released before it returns, on every path. Private to plugin/.

#include <optional>

#include "ofxImageEffect.h"
#include "plugin/SpoolImage.h"

namespace kesto {

// None when the clip or the image cannot be had, or the image has no pixels, a side of 0 or less, or rows
// closer together than its pixels need. Throws std::bad_alloc only.
std::optional<RgbaFrame> fetch_source_frame(OfxImageEffectHandle effect, OfxTime time);

}  // namespace kesto
