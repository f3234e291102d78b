#include "plugin/JobRequest.h"

#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

#include "overlay/SelectionRecords.h"

namespace kesto {
namespace {

using nlohmann::json;

// Rounds halves away from zero and clamps to lo..hi; not a number gives lo.
std::int32_t round_clamped(double value, std::int32_t lo, std::int32_t hi) noexcept {
  if (std::isnan(value)) return lo;
  const double rounded = std::round(value);
  if (rounded <= lo) return lo;
  if (rounded >= hi) return hi;
  return static_cast<std::int32_t>(rounded);
}

}  // namespace

std::string job_request_json(const JobSettings &settings) {
  json request = json::object();
  request["anchor_frame"] = settings.anchorFrame;
  // The overlay's record reader and presence rule: strict, no exceptions, and text nested so deeply that
  // dumping a copy of it would recurse off the end of the host thread's stack reads as malformed.
  json box = parse_record(settings.bboxJson);
  if (box_present(box)) request["bbox"] = std::move(box);
  request["edge_softness"] = settings.edgeSoftness;
  request["quality"] = settings.quality == 0 ? "fine" : "fast";
  json strokes = parse_record(settings.brushJson);
  request["strokes"] = strokes.is_array() ? std::move(strokes) : json::array();
  request["text_prompt"] = settings.textHint;
  return request.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::int32_t last_frame_index(double first, double last) noexcept {
  return round_clamped(last - first, 0, kMaxLastFrameIndex);
}

std::int32_t anchor_frame(double time, double first, std::int32_t lastIndex) noexcept {
  return round_clamped(time - first, 0, lastIndex < 0 ? 0 : lastIndex);
}

std::string clip_start_text(double first) {
  // The largest double printed in fixed notation has 309 digits before the point.
  char text[400];
  const auto done = std::to_chars(text, text + sizeof text, first, std::chars_format::fixed, 6);
  if (done.ec != std::errc()) return "0.000000";
  return std::string(text, done.ptr);
}

}  // namespace kesto
