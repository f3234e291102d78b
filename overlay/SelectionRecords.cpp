// The selection records: parsing, presence rules, the exact texts written, and the coordinate mappings.

#include "overlay/SelectionRecords.h"

#include <algorithm>
#include <cmath>

namespace kesto {
namespace {

using nlohmann::json;

// Deepest bracket nesting outside string literals stays within `limit`. Only a guard before parsing: text
// that is malformed in any other way is left for the parser to refuse.
bool nesting_within(const std::string &text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

// A member that is absent reads as 0; one that exists must be a number.
bool read_member(const json &record, const char *key, double &out) {
  const auto it = record.find(key);
  if (it == record.end()) {
    out = 0.0;
    return true;
  }
  if (!it->is_number()) return false;
  out = it->get<double>();
  return true;
}

double finite_or_zero(double value) { return std::isfinite(value) ? value : 0.0; }

}  // namespace

Space make_space(const double offset[2], const double size[2]) {
  Space space;
  space.offsetX = finite_or_zero(offset[0]);
  space.offsetY = finite_or_zero(offset[1]);
  const bool usable = std::isfinite(size[0]) && std::isfinite(size[1]) && size[0] > 0.0 && size[1] > 0.0;
  space.width = usable ? size[0] : kFallbackProjectWidth;
  space.height = usable ? size[1] : kFallbackProjectHeight;
  return space;
}

double clamp_unit(double value) {
  const double capped = std::min(value, 1.0);
  return capped > 0.0 ? capped : 0.0;
}

CanonicalPoint to_canonical(const Space &space, NormalisedPoint point) {
  return {space.offsetX + point.u * space.width, space.offsetY + (1.0 - point.v) * space.height};
}

NormalisedPoint to_normalised(const Space &space, CanonicalPoint point) {
  return {clamp_unit((point.x - space.offsetX) / space.width),
          clamp_unit(1.0 - (point.y - space.offsetY) / space.height)};
}

json parse_record(const std::string &text) {
  if (!nesting_within(text, kMaxRecordNesting)) return json(json::value_t::discarded);
  return json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
}

std::string dump_record(const json &value) {
  // Parsed text holds valid UTF-8 only; `replace` merely guarantees that a dump never throws.
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool box_present(const json &record) {
  if (!record.is_object()) return false;
  const auto w = record.find("w");
  return w != record.end() && w->is_number() && w->get<double>() > 0.0;
}

bool box_present(const std::string &text) { return box_present(parse_record(text)); }

std::optional<BoxRecord> read_box(const std::string &text) {
  const json record = parse_record(text);
  if (!box_present(record)) return std::nullopt;
  BoxRecord box;
  if (!read_member(record, "x", box.x) || !read_member(record, "y", box.y) || !read_member(record, "w", box.w) ||
      !read_member(record, "h", box.h)) {
    return std::nullopt;
  }
  return box;
}

std::string write_box(const BoxRecord &box) {
  json record = json::object();
  record["x"] = box.x;
  record["y"] = box.y;
  record["w"] = box.w;
  record["h"] = box.h;
  return dump_record(record);
}

BoxRecord box_from_drag(NormalisedPoint anchor, NormalisedPoint current) {
  BoxRecord box;
  box.x = current.u < anchor.u ? current.u : anchor.u;
  box.y = current.v < anchor.v ? current.v : anchor.v;
  box.w = std::abs(current.u - anchor.u);
  box.h = std::abs(current.v - anchor.v);
  return box;
}

json read_dab_list(const std::string &text) {
  json list = parse_record(text);
  if (!list.is_array()) return json::array();
  return list;
}

std::optional<Dab> dab_from_entry(const json &entry) {
  if (!entry.is_array() || entry.size() < 3) return std::nullopt;
  if (!entry[0].is_number() || !entry[1].is_number() || !entry[2].is_number()) return std::nullopt;
  return Dab{entry[0].get<double>(), entry[1].get<double>(), entry[2].get<double>()};
}

std::vector<Dab> read_dabs(const std::string &text) {
  std::vector<Dab> dabs;
  for (const json &entry : read_dab_list(text)) {
    if (const auto dab = dab_from_entry(entry)) dabs.push_back(*dab);
  }
  return dabs;
}

std::string write_dabs(const std::vector<Dab> &dabs) {
  json list = json::array();
  for (const Dab &dab : dabs) list.push_back(json::array({dab.x, dab.y, dab.r}));
  return dump_record(list);
}

std::optional<std::string> append_dab(const std::string &text, const Dab &dab) {
  json list = read_dab_list(text);
  if (list.size() >= kMaxDabs) return std::nullopt;
  list.push_back(json::array({dab.x, dab.y, dab.r}));
  return dump_record(list);
}

}  // namespace kesto
