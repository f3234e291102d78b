#pragma once
// Which matte belongs to a render time: the frame index is the time minus the clip's first frame time,
// rounded to the nearest integer with halves away from zero.

#include <cstdint>
#include <optional>
#include <string>

namespace kesto {

// The clip start as stored in "clip_start": leading blanks skipped, trailing text ignored, text that is no
// number gives 0.0. Read the same way whatever numeric locale the host process has set, since the text
// always carries a '.' decimal point.
double parse_clip_start(const std::string &text);

// The frame index for `time`, or none when it is negative, not a number, or beyond 32 bits.
std::optional<std::int32_t> matte_frame_index(double time, double clipStart);

}  // namespace kesto
