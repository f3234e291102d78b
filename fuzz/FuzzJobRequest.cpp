// The job request from any parameter texts and numbers: always one compact JSON object with exactly the
// documented members, the box copied exactly when the presence rule holds, the strokes copied when they are
// an array (records nested beyond the overlay's limit read as malformed), and the frame numbers within their
// ranges.
//
// Input: box text, NUL, dab list text, NUL, text hint, NUL, then bytes for the numbers (quality choice,
// edge softness, first and last frame, press time). Parameter texts are C strings, so none holds a NUL.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/FuzzCheck.h"
#include "overlay/SelectionRecords.h"
#include "plugin/JobRequest.h"

namespace {

using kesto::fuzz::require;
using nlohmann::json;

std::string dump(const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

class Fields {
 public:
  Fields(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
  std::string text() {
    std::size_t end = at_;
    while (end < size_ && data_[end] != 0) ++end;
    std::string out(reinterpret_cast<const char *>(data_ + at_), end - at_);
    at_ = end < size_ ? end + 1 : end;
    return out;
  }
  template <typename T>
  T number() {
    unsigned char bytes[sizeof(T)] = {};
    for (unsigned char &b : bytes) b = at_ < size_ ? data_[at_++] : 0;
    T value{};
    std::memcpy(&value, bytes, sizeof(T));
    return value;
  }

 private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Levels of arrays and objects, counted without recursion (the value may be nested very deeply).
int nesting(const json &value) {
  int deepest = 0;
  std::vector<std::pair<const json *, int>> pending{{&value, 0}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    deepest = std::max(deepest, depth + 1);
    for (const json &child : *node) pending.emplace_back(&child, depth + 1);
  }
  return deepest;
}

// Record text as the launch reads it: strict JSON, and nothing nested deeper than the records' limit.
json read_record(const std::string &text) {
  json value = json::parse(text, nullptr, false);
  if (nesting(value) > kesto::kMaxRecordNesting) return json(json::value_t::discarded);
  return value;
}

// The presence rule, restated here: an object whose "w" is a number greater than 0.
bool box_present(const json &box) {
  if (!box.is_object()) return false;
  const auto w = box.find("w");
  return w != box.end() && w->is_number() && w->get<double>() > 0.0;
}

bool clip_start_shape(const std::string &text) {
  const std::size_t point = text.find('.');
  if (point == std::string::npos || text.size() - point != 7) return false;
  const std::size_t digits = text[0] == '-' ? 1 : 0;
  if (point == digits) return false;
  for (std::size_t i = digits; i < text.size(); ++i) {
    if (i != point && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

void check_frames(double first, double last, double time) {
  const std::int32_t n = kesto::last_frame_index(first, last);
  require(n >= 0 && n <= kesto::kMaxLastFrameIndex, "the last frame index is within range");
  const std::int32_t anchor = kesto::anchor_frame(time, first, n);
  require(anchor >= 0 && anchor <= n, "the anchor frame lies in the clip");
  if (std::isfinite(last - first) && last - first >= 0.0 && last - first < 1e6) {
    require(n == static_cast<std::int32_t>(std::round(last - first)), "the frame count is the rounded range");
  }
  if (std::isfinite(first)) {
    const std::string start = kesto::clip_start_text(first);
    require(clip_start_shape(start), "clip_start is a plain decimal with six places");
    // Six places round by at most half a millionth; reading the decimal back may add one rounding step.
    const double back = std::strtod(start.c_str(), nullptr);
    require(std::fabs(back - first) <= 5e-7 + std::fabs(first) * 1e-15, "clip_start reads back as the first frame");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  Fields fields(data, size);
  kesto::JobSettings settings;
  settings.bboxJson = fields.text();
  settings.brushJson = fields.text();
  settings.textHint = fields.text();
  settings.quality = fields.number<int>();
  settings.edgeSoftness = fields.number<double>();
  const double first = fields.number<double>();
  const double last = fields.number<double>();
  const double time = fields.number<double>();
  settings.anchorFrame = kesto::anchor_frame(time, first, kesto::last_frame_index(first, last));

  const std::string text = kesto::job_request_json(settings);
  const json request = json::parse(text, nullptr, false);
  require(request.is_object(), "the request is one JSON object (and valid UTF-8)");
  require(dump(request) == text, "the request is compact with its members in key order");

  const json box = read_record(settings.bboxJson);
  const bool withBox = box_present(box);
  std::set<std::string> keys;
  for (const auto &member : request.items()) keys.insert(member.key());
  std::set<std::string> expected = {"anchor_frame", "edge_softness", "quality", "strokes", "text_prompt"};
  if (withBox) expected.insert("bbox");
  require(keys == expected, "exactly the documented members");

  if (withBox) require(dump(request["bbox"]) == dump(box), "a present box is copied whole");
  const json strokes = read_record(settings.brushJson);
  const json expectedStrokes = strokes.is_array() ? strokes : json::array();
  require(dump(request["strokes"]) == dump(expectedStrokes), "an array of dabs is copied, anything else is []");

  require(request["anchor_frame"].is_number_integer() && request["anchor_frame"].get<std::int64_t>() ==
                                                              settings.anchorFrame,
          "the anchor frame is the integer given");
  require(request["quality"] == (settings.quality == 0 ? "fine" : "fast"), "quality 0 is fine, else fast");
  if (std::isfinite(settings.edgeSoftness)) {
    require(request["edge_softness"].is_number_float() &&
                request["edge_softness"].get<double>() == settings.edgeSoftness,
            "the edge softness is passed on unchanged");
  }
  require(request["text_prompt"].is_string(), "the text prompt is a string");
  if (kesto::fuzz::valid_utf8(settings.textHint)) {
    require(request["text_prompt"].get<std::string>() == settings.textHint, "a UTF-8 hint is passed on unchanged");
  }

  check_frames(first, last, time);
  return 0;
}
