#pragma once
// The job request that the launch hands to the worker, and the small numbers derived from the clip's frame
// range. Pure functions: no host, no files. Private to plugin/.

#include <cstdint>
#include <string>

namespace kesto {

// What the job request is built from, as read from the instance's parameters.
struct JobSettings {
  std::int32_t anchorFrame = 0;
  int quality = 0;  // the "quality" choice index: 0 is "fine", any other "fast"
  double edgeSoftness = 0.0;
  std::string textHint;
  std::string bboxJson;   // the box record; copied when it is an object whose "w" is a number above 0
  std::string brushJson;  // the brush dab list; copied when it is an array, else an empty array
};

// The job request as compact JSON text, members in key order: "anchor_frame", "bbox" (only when a box is
// present), "edge_softness", "quality", "strokes", "text_prompt". Non-ASCII text is written as UTF-8, and
// bytes that are not valid UTF-8 become U+FFFD instead of failing. The two records are read like the overlay
// reads them: text nested deeper than kMaxRecordNesting counts as malformed.
std::string job_request_json(const JobSettings &settings);

// The index of the clip's last frame, n: last - first rounded to the nearest integer (halves away from zero),
// 0 when negative or not a number, and never more than kMaxLastFrameIndex (so n + 1 fits in 32 bits).
inline constexpr std::int32_t kMaxLastFrameIndex = 2147483646;
std::int32_t last_frame_index(double first, double last) noexcept;

// The frame index shown at `time`: time - first rounded like last_frame_index, clamped to 0..lastIndex.
std::int32_t anchor_frame(double time, double first, std::int32_t lastIndex) noexcept;

// The clip's first frame as "clip_start" stores it: a decimal with exactly six digits after a '.', no
// exponent, whatever the process's locale (24 gives "24.000000").
std::string clip_start_text(double first);

}  // namespace kesto
