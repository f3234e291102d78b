// Selection records from any stored text: the overlay's draw decisions agree with the launch's presence
// rule, whatever is drawn writes back to the same record, and appending a dab keeps every stored entry,
// adds exactly one and respects the cap. Inputs of 48 bytes or more also drive the pen-to-record mapping.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz/FuzzCheck.h"
#include "overlay/SelectionRecords.h"

namespace {

using kesto::fuzz::require;
using nlohmann::json;

bool finite(double value) { return std::isfinite(value); }

void check_box(const std::string &text) {
  const bool present = kesto::box_present(text);
  const auto box = kesto::read_box(text);
  require(!box || present, "a drawn box is present by the launch's rule");
  if (!box) return;
  require(box->w > 0.0, "a drawn box has a positive width");
  if (!finite(box->x) || !finite(box->y) || !finite(box->w) || !finite(box->h)) return;
  const auto again = kesto::read_box(kesto::write_box(*box));
  require(again.has_value(), "a written box is drawn");
  require(again->x == box->x && again->y == box->y && again->w == box->w && again->h == box->h,
          "a written box reads back unchanged");
}

void check_dabs(const std::string &text) {
  const json list = kesto::read_dab_list(text);
  require(list.is_array(), "the dab list is an array");
  const auto dabs = kesto::read_dabs(text);
  std::size_t drawable = 0;
  for (const json &entry : list) drawable += kesto::dab_from_entry(entry) ? 1 : 0;
  require(dabs.size() == drawable, "every drawable entry is drawn, and nothing else");

  bool allFinite = true;
  for (const auto &dab : dabs) allFinite = allFinite && finite(dab.x) && finite(dab.y) && finite(dab.r);
  if (allFinite) {
    const auto again = kesto::read_dabs(kesto::write_dabs(dabs));
    require(again.size() == dabs.size(), "written dabs read back as many");
    for (std::size_t i = 0; i < dabs.size(); ++i) {
      require(again[i].x == dabs[i].x && again[i].y == dabs[i].y && again[i].r == dabs[i].r,
              "written dabs read back unchanged");
    }
  }

  for (const kesto::Dab dab : {kesto::Dab{0.5, 0.5, 0.03}, kesto::Dab{0.0, 1.0, -0.3}}) {
    const auto appended = kesto::append_dab(text, dab);
    if (list.size() >= kesto::kMaxDabs) {
      require(!appended, "a full list takes no dab");
      continue;
    }
    require(appended.has_value(), "a list below the cap takes the dab");
    // The new text is the old list as stored, plus the one dab at its end.
    std::string expected = kesto::dump_record(list);
    expected.pop_back();
    if (!list.empty()) expected += ',';
    expected += kesto::dump_record(json::array({dab.x, dab.y, dab.r})) + "]";
    require(*appended == expected, "appending keeps every entry and adds the dab last");
    const json reread = kesto::parse_record(*appended);
    require(reread.is_array() && reread.size() == list.size() + 1, "the new text parses with one more entry");
    require(kesto::dump_record(reread) == *appended, "the new text is stable when read and written again");
    const auto last = kesto::dab_from_entry(reread.back());
    require(last && last->x == dab.x && last->y == dab.y && last->r == dab.r, "the appended dab is drawn");
  }
}

// Pen positions map into the unit square whatever the project frame, and a drag gives a box inside it.
void check_mapping(const std::uint8_t *data, std::size_t size) {
  constexpr std::size_t kDoubles = 6;
  if (size < kDoubles * sizeof(double)) return;
  double v[kDoubles];
  std::memcpy(v, data, sizeof v);
  const double offset[2] = {v[0], v[1]};
  const double projectSize[2] = {v[2], v[3]};
  const kesto::Space space = kesto::make_space(offset, projectSize);
  require(finite(space.offsetX) && finite(space.offsetY), "the offset is finite");
  require(finite(space.width) && space.width > 0.0 && finite(space.height) && space.height > 0.0,
          "the project size is usable");
  const auto in_unit = [](double x) { return x >= 0.0 && x <= 1.0; };
  const kesto::NormalisedPoint a = kesto::to_normalised(space, {v[4], v[5]});
  const kesto::NormalisedPoint b = kesto::to_normalised(space, {v[5], v[4]});
  require(in_unit(a.u) && in_unit(a.v) && in_unit(b.u) && in_unit(b.v), "pen positions land in the unit square");
  const kesto::BoxRecord box = kesto::box_from_drag(a, b);
  // x + w may round one step past the larger corner; anything more would be a wrong box.
  constexpr double kRounding = 1e-12;
  require(box.w >= 0.0 && box.h >= 0.0 && box.x + box.w <= 1.0 + kRounding && box.y + box.h <= 1.0 + kRounding,
          "a dragged box lies in the unit square");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  check_box(text);
  check_dabs(text);
  check_mapping(data, size);
  return 0;
}
