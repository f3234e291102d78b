// The selection records and what the overlay draws of them: presence rules, exact texts, the dab cap, the
// mappings between canonical and normalised project coordinates, and the geometry of the box and the dabs.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "overlay/OverlayGeometry.h"
#include "overlay/SelectionRecords.h"

namespace {

using kesto::Dab;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const kesto::Space kHd{0.0, 0.0, 1920.0, 1080.0};

std::string nested(int depth, const std::string &core) {
  return std::string(static_cast<std::size_t>(depth), '[') + core + std::string(static_cast<std::size_t>(depth), ']');
}

// Presence (the job launch's rule: an object with a number "w" above 0) and whether the box can be drawn
// (every member present is a number); written back as the box's exact text. Nothing raises.
TEST(SelectionRecords, BoxTextsReadAsPresentDrawableAndWriteBackExactly) {
  const struct {
    const char *text;
    bool present;
    const char *drawn;  // null: not drawable
  } cases[] = {
      {"", false, nullptr}, {"{}", false, nullptr}, {"null", false, nullptr}, {"not json", false, nullptr},
      {"{\"w\":0.5,}", false, nullptr}, {"/*c*/{\"w\":0.5}", false, nullptr}, {"[{\"w\":0.5}]", false, nullptr},
      {"{\"w\":\"0.5\"}", false, nullptr}, {"{\"w\":true}", false, nullptr}, {"{\"w\":0,\"h\":0.4}", false, nullptr},
      {"{\"w\":-0.2,\"h\":0.4}", false, nullptr}, {"{\"w\":0.5,\"x\":\"0.1\"}", true, nullptr},
      {"{\"w\":0.5,\"h\":null}", true, nullptr},
      {"{\"y\":1,\"w\":1}", true, "{\"h\":0.0,\"w\":1.0,\"x\":0.0,\"y\":1.0}"},  // absent members read as 0
      {"{\"w\":0.5,\"label\":\"hero\"}", true, "{\"h\":0.0,\"w\":0.5,\"x\":0.0,\"y\":0.0}"},
      {"{\"x\":0.1,\"y\":0.2,\"w\":0.3,\"h\":0}", true, "{\"h\":0.0,\"w\":0.3,\"x\":0.1,\"y\":0.2}"},
      {"{\"x\":1e-300,\"y\":0.12345678901234568,\"w\":0.30000000000000004,\"h\":5e-324}", true,  // exact doubles
       "{\"h\":5e-324,\"w\":0.30000000000000004,\"x\":1e-300,\"y\":0.12345678901234568}"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(kesto::box_present(std::string(c.text)), c.present) << c.text;
    const auto box = kesto::read_box(c.text);
    EXPECT_EQ(box ? kesto::write_box(*box) : "(none)", c.drawn ? c.drawn : "(none)") << c.text;
  }
}

TEST(SelectionRecords, DragsSpanBoxesFromThePenInTheProject) {
  const struct {
    kesto::CanonicalPoint anchor, current;
    const char *box;
  } cases[] = {
      {{1440, 810}, {960, 540}, "{\"h\":0.25,\"w\":0.25,\"x\":0.5,\"y\":0.25}"},
      {{1440, 810}, {960, 270}, "{\"h\":0.5,\"w\":0.25,\"x\":0.5,\"y\":0.25}"},
      {{0, 0}, {0, 0}, "{\"h\":0.0,\"w\":0.0,\"x\":0.0,\"y\":1.0}"},          // whole numbers keep ".0"
      {{-0.0, 1080}, {960, 540}, "{\"h\":0.5,\"w\":0.5,\"x\":0.0,\"y\":0.0}"},  // never "-0.0"
      {{-50, -20}, {5000, 1500}, "{\"h\":1.0,\"w\":1.0,\"x\":0.0,\"y\":0.0}"},  // clamped to the project
  };
  for (const auto &c : cases) {
    const auto box = kesto::box_from_drag(kesto::to_normalised(kHd, c.anchor), kesto::to_normalised(kHd, c.current));
    EXPECT_EQ(kesto::write_box(box), c.box) << c.anchor.x << "," << c.anchor.y;
  }

  for (const auto &[in, out] : std::vector<std::pair<double, double>>{
           {2.0, 1.0}, {0.5, 0.5}, {-3.0, 0.0}, {kNaN, 0.0}, {-kInf, 0.0}, {kInf, 1.0}}) {
    EXPECT_EQ(kesto::clamp_unit(in), out) << in;
  }
  EXPECT_FALSE(std::signbit(kesto::clamp_unit(-0.0)));
}

TEST(SelectionRecords, ProjectSpaceFallsBackTo1920x1080) {
  const double offset[2] = {12.0, -7.0};
  for (const auto &size : std::vector<std::array<double, 2>>{{0, 0}, {1280, 0}, {0, 720}, {-1280, 720}, {kNaN, 720},
                                                             {kInf, 720}, {1280, 720}}) {
    const kesto::Space space = kesto::make_space(offset, size.data());
    const bool kept = size[0] == 1280 && size[1] == 720;
    EXPECT_EQ(space.width, kept ? 1280.0 : 1920.0) << size[0] << "x" << size[1];
    EXPECT_EQ(space.height, kept ? 720.0 : 1080.0) << size[0] << "x" << size[1];
    EXPECT_EQ(space.offsetY, -7.0);
  }
  const double badOffset[2] = {kNaN, kInf};
  const kesto::Space zeroed = kesto::make_space(badOffset, offset);
  EXPECT_EQ(zeroed.offsetX, 0.0);
  EXPECT_EQ(zeroed.offsetY, 0.0);
}

std::string same_dabs(std::size_t count) { return kesto::write_dabs(std::vector<Dab>(count, Dab{0.25, 0.75, 0.03})); }

// What a pen-down appends to the stored list text: the drawable dabs read before and the text after; a list
// stops at 2048 entries.
TEST(SelectionRecords, DabListsReadOnlyDrawableEntriesAndAppendKeepingTheRest) {
  const std::string shallow = nested(kesto::kMaxRecordNesting, "1");
  const std::string almost = same_dabs(kesto::kMaxDabs - 1);
  const std::string keep = "[[0.5,0.5],[\"a\",0.5,0.1],[0.5,null,0.1],5,{\"x\":1},null,[0.2,0.3,0.04,\"extra\"]]";
  const struct {
    std::string text;
    std::size_t drawable;
    std::string appended;  // with a dab (0.5, 0.25, -0.05)
  } cases[] = {
      {"", 0, "[[0.5,0.25,-0.05]]"},
      {"not json", 0, "[[0.5,0.25,-0.05]]"},
      {"{\"x\":1}", 0, "[[0.5,0.25,-0.05]]"},
      {"[[0.5,0.5,0.03]", 0, "[[0.5,0.25,-0.05]]"},
      {"[ [0.1, 0.2, 0.03] ]\n", 1, "[[0.1,0.2,0.03],[0.5,0.25,-0.05]]"},  // rewritten compact
      {"[[0.30000000000000004, 0.3333333333333333, -0.3], [1.0, 0.0, -0.0]]", 2,  // exact doubles, signed zero
       "[[0.30000000000000004,0.3333333333333333,-0.3],[1.0,0.0,-0.0],[0.5,0.25,-0.05]]"},
      {keep, 1, keep.substr(0, keep.size() - 1) + ",[0.5,0.25,-0.05]]"},
      {nested(100000, ""), 0, "[[0.5,0.25,-0.05]]"},  // too deep: malformed
      {shallow, 0, shallow.substr(0, shallow.size() - 1) + ",[0.5,0.25,-0.05]]"},  // within the limit: kept
      {almost, 2047, almost.substr(0, almost.size() - 1) + ",[0.5,0.25,-0.05]]"},
      {same_dabs(kesto::kMaxDabs), 2048, "(refused)"},
      {same_dabs(3000), 3000, "(refused)"},  // an edited project's longer list
  };
  for (const auto &c : cases) {
    const std::string shown = c.text.substr(0, 40);
    EXPECT_EQ(kesto::read_dabs(c.text).size(), c.drawable) << shown;
    EXPECT_EQ(kesto::append_dab(c.text, {0.5, 0.25, -0.05}).value_or("(refused)"), c.appended) << shown;
  }
  // Brackets inside strings are text, not nesting.
  EXPECT_TRUE(kesto::parse_record(nested(kesto::kMaxRecordNesting + 1, "")).is_discarded());
  const std::string quoted = "[[\"" + std::string(500, '[') + "\\\"" + std::string(500, '{') + "\",0.5,0.1]]";
  EXPECT_EQ(kesto::read_dab_list(quoted).size(), 1u);
}

TEST(OverlayGeometry, BoxOutlineCornerHandlesAndDabFansInCanonicalUnits) {
  const auto g = kesto::box_geometry({100.0, 20.0, 1000.0, 500.0}, {0.1, 0.2, 0.5, 0.4});
  // A = (200, 420) top-left on screen, B = (700, 220) bottom-right.
  const double outline[4][2] = {{200, 420}, {700, 420}, {700, 220}, {200, 220}};
  const double corners[4][2] = {{200, 420}, {200, 220}, {700, 420}, {700, 220}};
  const double square[4][2] = {{-5, -5}, {5, -5}, {5, 5}, {-5, 5}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_DOUBLE_EQ(g.outline[i].x, outline[i][0]) << i;
    EXPECT_DOUBLE_EQ(g.outline[i].y, outline[i][1]) << i;
    for (std::size_t k = 0; k < 4; ++k) {
      EXPECT_DOUBLE_EQ(g.handles[i][k].x, corners[i][0] + square[k][0]) << i << "," << k;
      EXPECT_DOUBLE_EQ(g.handles[i][k].y, corners[i][1] + square[k][1]) << i << "," << k;
    }
  }
  // A dab is a twenty-segment fan of radius |r| times the project width.
  for (const double r : {0.03, -0.03}) {
    const auto fan = kesto::dab_fan(kHd, {0.5, 0.25, r});
    ASSERT_EQ(fan.size(), 22u);
    EXPECT_DOUBLE_EQ(fan[0].x, 960);
    EXPECT_DOUBLE_EQ(fan[0].y, 810);
    for (int k = 0; k <= 20; ++k) {  // the rim closes on its first point
      const double theta = k / 20.0 * 2.0 * M_PI;
      EXPECT_NEAR(fan[static_cast<std::size_t>(k) + 1].x, 960 + 57.6 * std::cos(theta), 1e-9) << k;
      EXPECT_NEAR(fan[static_cast<std::size_t>(k) + 1].y, 810 + 57.6 * std::sin(theta), 1e-9) << k;
    }
  }
  // The colours of adding and excluding dabs: the interact's draw test; r = 0 reads as excluding.
  EXPECT_EQ(kesto::dab_colour({0, 0, 0.0}).red, kesto::kExcludeDabColour.red);
}

}  // namespace
