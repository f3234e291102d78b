#pragma once
// Folder-private: the two selection records kept as JSON text in hidden string parameters, and how points
// move between the host's canonical coordinates and the records' normalised project coordinates.
//
// Normalised project coordinates: u ("x") runs 0..1 from the left to the right edge of the project rectangle,
// v ("y") 0..1 from the top edge down to the bottom edge (opposite to the host's y axis).
//
// Box record ("bbox_json"): {"h":H,"w":W,"x":X,"y":Y}, compact, keys sorted. "" (the default) means no box.
// Brush dab list ("brush_json"): [[x,y,r],...] in the order the dabs were made, "[]" by default. r > 0 adds,
// r <= 0 excludes; |r| is the radius as a fraction of the project width.
//
// Everything here is pure: no host, no GL, no global state; safe on any thread. Nothing here throws for any
// text: malformed or unexpected records read as absent, exactly as the overlay and the job launch expect.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kesto {

// Project frame of one overlay action, in host canonical coordinates.
struct Space {
  double offsetX = 0.0;
  double offsetY = 0.0;
  double width = 0.0;
  double height = 0.0;
};

// Frame assumed when the host reports no usable project size.
inline constexpr double kFallbackProjectWidth = 1920.0;
inline constexpr double kFallbackProjectHeight = 1080.0;

// Space from the host's project offset and size as read (each a zero-preset pair). The size is taken only when
// both components are finite and greater than 0; otherwise both become 1920 x 1080 together. A non-finite
// offset component reads as 0.
Space make_space(const double offset[2], const double size[2]);

struct CanonicalPoint {
  double x = 0.0;
  double y = 0.0;
};

struct NormalisedPoint {
  double u = 0.0;
  double v = 0.0;
};

// min(value, 1), then anything not above 0 (negatives, -0.0, NaN) becomes 0: the result lies in [0, 1].
double clamp_unit(double value);

// Normalised point to canonical: X = offsetX + u * width, Y = offsetY + (1 - v) * height. No clamping.
CanonicalPoint to_canonical(const Space &space, NormalisedPoint point);
// Canonical pen position to a normalised point, clamped into the unit square.
NormalisedPoint to_normalised(const Space &space, CanonicalPoint point);

struct BoxRecord {
  double x = 0.0;
  double y = 0.0;
  double w = 0.0;
  double h = 0.0;
};

struct Dab {
  double x = 0.0;
  double y = 0.0;
  double r = 0.0;  // signed radius: > 0 adds, <= 0 excludes
};

// Most dabs a list holds; a dab is appended only while the list has fewer.
inline constexpr std::size_t kMaxDabs = 2048;
// Records nest two levels; text nested deeper than this reads as malformed, so that no later dump of it can
// recurse without bound.
inline constexpr int kMaxRecordNesting = 64;

// Parses stored record text without exceptions (no comments, no trailing commas). Malformed or too deeply
// nested text gives the discarded value, which is neither an object nor an array.
nlohmann::json parse_record(const std::string &text);
// Compact dump (no spaces, no newlines); object keys come out in ascending order, whole doubles keep ".0".
std::string dump_record(const nlohmann::json &value);

// Presence rule shared with the job launch: the text is an object whose "w" is a number greater than 0.
bool box_present(const nlohmann::json &record);
bool box_present(const std::string &text);

// The box to draw: present by the rule above and every one of "x", "y", "w", "h" that exists is a number
// (an absent member reads as 0). A member of any other type makes the whole box absent.
std::optional<BoxRecord> read_box(const std::string &text);
// The box record's text: {"h":..,"w":..,"x":..,"y":..}. Mirror of read_box for boxes with w > 0.
std::string write_box(const BoxRecord &box);
// Box spanned by a drag from `anchor` to `current`: x = min, y = min (the anchor's on ties), w and h = |difference|.
BoxRecord box_from_drag(NormalisedPoint anchor, NormalisedPoint current);

// The stored list as JSON: the parsed array, or an empty array when the text is not an array.
nlohmann::json read_dab_list(const std::string &text);
// The entry as a dab when it is an array of at least 3 entries whose first three are numbers; entries after
// the third are ignored. Anything else is skipped when drawing but kept in the text.
std::optional<Dab> dab_from_entry(const nlohmann::json &entry);
// Every drawable dab of the text, in list order.
std::vector<Dab> read_dabs(const std::string &text);
// The list text of these dabs, [[x,y,r],...]. Mirror of read_dabs.
std::string write_dabs(const std::vector<Dab> &dabs);
// The text after appending `dab` to the stored `text` (a text that is not an array starts a new list; every
// existing entry is kept, drawable or not). Nothing when the list already holds kMaxDabs entries: the caller
// writes nothing and the stored text stays byte for byte as it was.
std::optional<std::string> append_dab(const std::string &text, const Dab &dab);

}  // namespace kesto
