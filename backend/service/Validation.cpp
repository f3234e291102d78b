#include "Validation.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <nlohmann/json.hpp>

namespace kesto::backend {

namespace {

using nlohmann::json;

Result<json> parse_object(std::string_view body) {
  if (body.size() > kMaxJsonBodyBytes) {
    return ApiError{413, "JSON body larger than " + std::to_string(kMaxJsonBodyBytes) + " bytes"};
  }
  json doc = json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
  if (doc.is_discarded()) return bad_request("body is not valid JSON");
  if (!doc.is_object()) return bad_request("body must be a JSON object");
  return doc;
}

// Refuses members outside `known`, so a misspelt key is reported instead of silently ignored.
std::optional<ApiError> check_members(const json& object, std::initializer_list<const char*> known,
                                      const std::string& where) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    bool found = false;
    for (const char* name : known) found = found || it.key() == name;
    if (!found) return bad_request("unknown member \"" + it.key() + "\"" + where);
  }
  return std::nullopt;
}

bool finite_number(const json& value) { return value.is_number() && std::isfinite(value.get<double>()); }

Result<double> number_in_range(const json& object, const char* key, double lo, double hi, const std::string& where) {
  const auto it = object.find(key);
  if (it == object.end()) return bad_request(std::string("missing member \"") + key + "\"" + where);
  if (!finite_number(*it)) return bad_request(std::string("\"") + key + "\"" + where + " must be a number");
  const double value = it->get<double>();
  if (value < lo || value > hi) {
    return bad_request(std::string("\"") + key + "\"" + where + " must be between " + std::to_string(lo) + " and " +
                       std::to_string(hi));
  }
  return value;
}

Result<std::string> short_string(const json& object, const char* key, std::size_t max_bytes, bool required) {
  const auto it = object.find(key);
  if (it == object.end()) {
    if (required) return bad_request(std::string("missing member \"") + key + "\"");
    return std::string();
  }
  if (!it->is_string()) return bad_request(std::string("\"") + key + "\" must be a string");
  std::string text = it->get<std::string>();
  if (text.size() > max_bytes) {
    return bad_request(std::string("\"") + key + "\" longer than " + std::to_string(max_bytes) + " bytes");
  }
  return text;
}

Result<NormBox> parse_box(const json& value) {
  if (!value.is_object()) return bad_request("\"bbox\" must be an object");
  if (auto err = check_members(value, {"x", "y", "w", "h"}, " in \"bbox\"")) return *err;
  NormBox box;
  double* fields[] = {&box.x, &box.y, &box.w, &box.h};
  const char* names[] = {"x", "y", "w", "h"};
  for (int i = 0; i < 4; ++i) {
    const auto it = value.find(names[i]);
    if (it == value.end()) continue;  // an absent coordinate reads as 0, as the client stores it
    if (!finite_number(*it)) return bad_request(std::string("\"bbox\".\"") + names[i] + "\" must be a number");
    *fields[i] = it->get<double>();
  }
  if (box.x < 0.0 || box.y < 0.0 || box.x > 1.0 || box.y > 1.0) {
    return bad_request("\"bbox\" corner lies outside the frame (0..1)");
  }
  if (!(box.w > 0.0) || !(box.h > 0.0)) return bad_request("\"bbox\" needs a positive width and height");
  if (box.x + box.w > 1.0 + kBoxSlack || box.y + box.h > 1.0 + kBoxSlack) {
    return bad_request("\"bbox\" reaches outside the frame (0..1)");
  }
  box.w = std::min(box.w, 1.0 - box.x);
  box.h = std::min(box.h, 1.0 - box.y);
  return box;
}

Result<std::vector<BrushDab>> parse_strokes(const json& value) {
  if (!value.is_array()) return bad_request("\"strokes\" must be an array");
  if (value.size() > kMaxStrokeCount) {
    return bad_request("\"strokes\" holds more than " + std::to_string(kMaxStrokeCount) + " dabs");
  }
  std::vector<BrushDab> dabs;
  dabs.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const json& entry = value[i];
    // The overlay skips such entries when drawing and keeps them in the list; skip them here as well, so
    // what the user saw is what is matted.
    if (!entry.is_array() || entry.size() < 3) continue;
    if (!finite_number(entry[0]) || !finite_number(entry[1]) || !finite_number(entry[2])) {
      return bad_request("dab " + std::to_string(i) + " in \"strokes\" must hold numbers [x, y, r]");
    }
    BrushDab dab{entry[0].get<double>(), entry[1].get<double>(), entry[2].get<double>()};
    if (dab.x < 0.0 || dab.x > 1.0 || dab.y < 0.0 || dab.y > 1.0 || std::fabs(dab.r) > kMaxDabRadius) {
      return bad_request("dab " + std::to_string(i) + " in \"strokes\" lies outside the frame");
    }
    dabs.push_back(dab);
  }
  return dabs;
}

bool is_blank(const std::string& text) {
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
  }
  return true;
}

}  // namespace

bool is_valid_node_name(std::string_view text) {
  if (text.empty() || text.size() > kMaxNodeNameBytes) return false;
  for (const char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::string_view session_node(std::string_view id) {
  const std::size_t dash = id.find('-');
  return dash == std::string_view::npos ? std::string_view() : id.substr(0, dash);
}

bool is_valid_session_id(std::string_view text) {
  const std::size_t dash = text.find('-');
  if (dash != std::string_view::npos) {
    if (!is_valid_node_name(text.substr(0, dash))) return false;
    text.remove_prefix(dash + 1);
  }
  if (text.size() != kSessionIdHexDigits) return false;
  for (const char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (!hex) return false;
  }
  return true;
}

Result<int> parse_frame_index(std::string_view text, int max_frames) {
  constexpr std::size_t kMaxIndexDigits = 9;  // keeps the value inside int
  if (text.empty() || text.size() > kMaxIndexDigits) return bad_request("frame index must be a decimal number");
  if (text.size() > 1 && text.front() == '0') return bad_request("frame index must not have leading zeros");
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return bad_request("frame index must be a decimal number");
    value = value * 10 + (c - '0');
  }
  if (value >= max_frames) {
    return ApiError{413, "frame index " + std::to_string(value) + " beyond the limit of " +
                             std::to_string(max_frames) + " frames per session"};
  }
  return value;
}

Result<CreateSessionRequest> parse_create_session(std::string_view body) {
  auto doc = parse_object(body);
  if (!doc.ok()) return doc.error();
  if (auto err = check_members(doc.value(), {"fps", "source"}, "")) return *err;
  auto fps = number_in_range(doc.value(), "fps", 0.0, kMaxFps, "");
  if (!fps.ok()) return fps.error();
  auto source = short_string(doc.value(), "source", kMaxShortTextBytes, false);
  if (!source.ok()) return source.error();
  return CreateSessionRequest{fps.value(), source.value()};
}

Result<JobRequest> parse_job_request(std::string_view body, int frame_count) {
  auto parsed = parse_object(body);
  if (!parsed.ok()) return parsed.error();
  const json& doc = parsed.value();
  if (auto err = check_members(doc, {"anchor_frame", "quality", "edge_softness", "text_prompt", "bbox", "strokes"}, "")) {
    return *err;
  }
  JobRequest job;

  const auto anchor = doc.find("anchor_frame");
  if (anchor == doc.end()) return bad_request("missing member \"anchor_frame\"");
  if (!anchor->is_number_integer()) return bad_request("\"anchor_frame\" must be an integer");
  const auto anchor_value = anchor->get<long long>();
  if (anchor_value < 0 || anchor_value >= frame_count) {
    return bad_request("\"anchor_frame\" must name an uploaded frame, 0 to " + std::to_string(frame_count - 1));
  }
  job.anchor_frame = static_cast<int>(anchor_value);

  auto quality = short_string(doc, "quality", kMaxShortTextBytes, true);
  if (!quality.ok()) return quality.error();
  if (quality.value() == "fast") {
    job.quality = Quality::Fast;
  } else if (quality.value() == "fine") {
    job.quality = Quality::Fine;
  } else {
    return bad_request("\"quality\" must be \"fast\" or \"fine\"");
  }

  auto softness = number_in_range(doc, "edge_softness", 0.0, 1.0, "");
  if (!softness.ok()) return softness.error();
  job.edge_softness = softness.value();

  auto prompt = short_string(doc, "text_prompt", kMaxTextPromptBytes, false);
  if (!prompt.ok()) return prompt.error();
  job.text_prompt = prompt.value();

  if (const auto box = doc.find("bbox"); box != doc.end()) {
    auto parsed_box = parse_box(*box);
    if (!parsed_box.ok()) return parsed_box.error();
    job.bbox = parsed_box.value();
  }
  if (const auto strokes = doc.find("strokes"); strokes != doc.end()) {
    auto dabs = parse_strokes(*strokes);
    if (!dabs.ok()) return dabs.error();
    job.strokes = std::move(dabs.value());
  }

  bool adds = job.bbox.has_value();
  for (const BrushDab& dab : job.strokes) adds = adds || dab.adds();
  if (!adds && is_blank(job.text_prompt)) {
    return bad_request("nothing selected: draw a box or brush over the character, or give a text hint");
  }
  return job;
}

Result<BeaconReport> parse_beacon(std::string_view body) {
  auto doc = parse_object(body);
  if (!doc.ok()) return doc.error();
  // Members beyond the four are tolerated: newer clients may report more, and the beacon is only logged.
  BeaconReport report;
  std::string* fields[] = {&report.plugin_version, &report.host, &report.os, &report.arch};
  const char* names[] = {"plugin_version", "host", "os", "arch"};
  for (int i = 0; i < 4; ++i) {
    auto text = short_string(doc.value(), names[i], kMaxShortTextBytes, true);
    if (!text.ok()) return text.error();
    *fields[i] = text.value();
  }
  return report;
}

}  // namespace kesto::backend
