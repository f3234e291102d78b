// The selection records: presence rules, exact texts, mirrored read/write, the dab cap, and the mappings
// between canonical and normalised project coordinates.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "overlay/SelectionRecords.h"

namespace {

using kesto::BoxRecord;
using kesto::Dab;

std::string nested(int depth, const std::string &core) {
  return std::string(static_cast<std::size_t>(depth), '[') + core + std::string(static_cast<std::size_t>(depth), ']');
}

std::string listOf(std::size_t count) {
  std::vector<Dab> dabs(count, Dab{0.25, 0.75, 0.03});
  return kesto::write_dabs(dabs);
}

// Neither raises: text that is no object, or whose "w" is no number, has no box; a box present by the job
// launch's rule (a number "w") with another member of the wrong type is not drawn.
TEST(SelectionRecords, BoxAbsentForMalformedTextAndUnreadableForNonNumberMembers) {
  for (const char *text : {"", "{}", "[]", "null", "0.5", "\"w\"", "not json", "{\"w\":0.5,}", "/*c*/{\"w\":0.5}",
                           "{\"w\":0.5", "[{\"w\":0.5}]", "{\"w\":\"0.5\"}", "{\"w\":true}", "{\"w\":null}",
                           "{\"w\":[0.5]}", "{\"w\":{}}"}) {
    EXPECT_FALSE(kesto::box_present(std::string(text))) << text;
    EXPECT_FALSE(kesto::read_box(text).has_value()) << text;
  }
  for (const char *text : {"{\"w\":0.5,\"x\":\"0.1\"}", "{\"w\":0.5,\"y\":true}", "{\"w\":0.5,\"h\":null}",
                           "{\"w\":0.5,\"x\":[1]}", "{\"w\":0.5,\"h\":{\"v\":1}}"}) {
    EXPECT_TRUE(kesto::box_present(std::string(text))) << text;
    EXPECT_FALSE(kesto::read_box(text).has_value()) << text;
  }
  // Unknown members play no part.
  EXPECT_TRUE(kesto::read_box("{\"w\":0.5,\"label\":\"hero\"}").has_value());
}

// Presence looks at the width only; absent members read as 0 and integers as doubles.
TEST(SelectionRecords, BoxPresenceLooksAtWidthOnly) {
  const std::pair<const char *, bool> cases[] = {{"{\"x\":0.1,\"y\":0.1,\"w\":0,\"h\":0.4}", false},
                                                 {"{\"x\":0.1,\"y\":0.1,\"w\":-0.2,\"h\":0.4}", false},
                                                 {"{\"x\":0.1,\"y\":0.1,\"w\":0.3,\"h\":0}", true}};
  for (const auto &[text, present] : cases) EXPECT_EQ(kesto::read_box(text).has_value(), present) << text;
  const auto whole = kesto::read_box("{\"y\":1,\"w\":1}");
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->x, 0.0);
  EXPECT_EQ(whole->y, 1.0);
  EXPECT_EQ(whole->w, 1.0);
  EXPECT_EQ(whole->h, 0.0);
}

TEST(SelectionRecords, BoxFromDragWritesTheExactText) {
  EXPECT_EQ(kesto::write_box(kesto::box_from_drag({0.75, 0.25}, {0.5, 0.5})),
            "{\"h\":0.25,\"w\":0.25,\"x\":0.5,\"y\":0.25}");
  EXPECT_EQ(kesto::write_box(kesto::box_from_drag({0.75, 0.25}, {0.5, 0.75})),
            "{\"h\":0.5,\"w\":0.25,\"x\":0.5,\"y\":0.25}");
  // Anchor and current point equal: a zero box, whole numbers keep ".0", and it reads as absent.
  const std::string zero = kesto::write_box(kesto::box_from_drag({0.0, 1.0}, {0.0, 1.0}));
  EXPECT_EQ(zero, "{\"h\":0.0,\"w\":0.0,\"x\":0.0,\"y\":1.0}");
  EXPECT_FALSE(kesto::box_present(zero));
}

TEST(SelectionRecords, DabListReadsOnlyArrays) {
  EXPECT_TRUE(kesto::read_dabs("").empty());
  EXPECT_TRUE(kesto::read_dabs("[]").empty());
  EXPECT_TRUE(kesto::read_dabs("{\"x\":1}").empty());
  EXPECT_TRUE(kesto::read_dabs("[[0.5,0.5,0.03]").empty());
  EXPECT_TRUE(kesto::read_dab_list("not json").is_array());
  EXPECT_TRUE(kesto::read_dab_list("not json").empty());

  const auto dabs = kesto::read_dabs("[[0.5,0.25,0.03],[0.1,0.2,-0.05]]");
  ASSERT_EQ(dabs.size(), 2u);
  EXPECT_EQ(dabs[0].x, 0.5);
  EXPECT_EQ(dabs[0].y, 0.25);
  EXPECT_EQ(dabs[0].r, 0.03);
  EXPECT_EQ(dabs[1].r, -0.05);
}

TEST(SelectionRecords, UndrawableEntriesAreSkippedAndKept) {
  const std::string text = "[[0.5,0.5],[\"a\",0.5,0.1],[0.5,null,0.1],5,{\"x\":1},null,[0.2,0.3,0.04,\"extra\"]]";
  const auto dabs = kesto::read_dabs(text);
  ASSERT_EQ(dabs.size(), 1u);
  EXPECT_EQ(dabs[0].x, 0.2);
  EXPECT_EQ(dabs[0].r, 0.04);

  const auto appended = kesto::append_dab(text, {0.5, 0.5, 0.03});
  ASSERT_TRUE(appended.has_value());
  EXPECT_EQ(*appended,
            "[[0.5,0.5],[\"a\",0.5,0.1],[0.5,null,0.1],5,{\"x\":1},null,[0.2,0.3,0.04,\"extra\"],[0.5,0.5,0.03]]");
}

TEST(SelectionRecords, AppendWritesTheExactText) {
  EXPECT_EQ(kesto::append_dab("not json", {0.5, 0.5, 0.03}), std::optional<std::string>("[[0.5,0.5,0.03]]"));
  EXPECT_EQ(kesto::append_dab("{\"w\":1}", {0.5, 0.5, 0.03}), std::optional<std::string>("[[0.5,0.5,0.03]]"));
  EXPECT_EQ(kesto::append_dab("[]", {0.5, 0.5, -0.05}), std::optional<std::string>("[[0.5,0.5,-0.05]]"));
  EXPECT_EQ(kesto::append_dab("[]", {0.0, 1.0, 0.03}), std::optional<std::string>("[[0.0,1.0,0.03]]"));
  // Stored text in another layout is rewritten compact.
  EXPECT_EQ(kesto::append_dab("[ [0.1, 0.2, 0.03] ]\n", {0.5, 0.25, 0.03}),
            std::optional<std::string>("[[0.1,0.2,0.03],[0.5,0.25,0.03]]"));
}

TEST(SelectionRecords, DabListStopsAt2048Entries) {
  const std::string almostFull = listOf(kesto::kMaxDabs - 1);
  const auto filled = kesto::append_dab(almostFull, {0.5, 0.5, 0.03});
  ASSERT_TRUE(filled.has_value());
  EXPECT_EQ(kesto::read_dab_list(*filled).size(), 2048u);
  EXPECT_FALSE(kesto::append_dab(*filled, {0.5, 0.5, 0.03}).has_value());
  // A longer list from an edited project is left alone too.
  EXPECT_FALSE(kesto::append_dab(listOf(3000), {0.5, 0.5, 0.03}).has_value());
}

TEST(SelectionRecords, BoxesAndDabsRoundTripExactly) {
  const std::vector<BoxRecord> boxes = {
      {0.5, 0.25, 0.25, 0.5}, {0.1 + 0.2, 1.0 / 3.0, 2.0 / 3.0, 0.0}, {1e-300, 0.9999999999999999, 5e-324, 0.123456789012345678}};
  for (const BoxRecord &box : boxes) {
    const auto back = kesto::read_box(kesto::write_box(box));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(kesto::write_box(*back), kesto::write_box(box));
    EXPECT_EQ(back->w, box.w);
  }
  const std::vector<Dab> dabs = {{0.5, 0.25, 0.03}, {0.1 + 0.2, 1.0 / 3.0, -0.3}, {0.0, 1.0, 0.005}, {1.0, 0.0, -0.0}};
  const auto back = kesto::read_dabs(kesto::write_dabs(dabs));
  ASSERT_EQ(back.size(), dabs.size());
  for (std::size_t i = 0; i < dabs.size(); ++i) {
    EXPECT_EQ(back[i].x, dabs[i].x);
    EXPECT_EQ(back[i].y, dabs[i].y);
    EXPECT_EQ(back[i].r, dabs[i].r);
    EXPECT_EQ(std::signbit(back[i].r), std::signbit(dabs[i].r));
  }
  EXPECT_EQ(kesto::write_dabs({}), "[]");
  EXPECT_EQ(kesto::write_dabs({{0.5, 0.25, 0.03}}), "[[0.5,0.25,0.03]]");
}

TEST(SelectionRecords, DeeplyNestedTextReadsAsMalformed) {
  const std::string deep = nested(100000, "");
  EXPECT_TRUE(kesto::read_dab_list(deep).empty());
  EXPECT_FALSE(kesto::box_present(deep));
  EXPECT_EQ(kesto::append_dab(deep, {0.5, 0.5, 0.03}), std::optional<std::string>("[[0.5,0.5,0.03]]"));
  // Within the limit the text is an ordinary (undrawable) entry and is kept.
  const std::string shallow = nested(kesto::kMaxRecordNesting, "1");
  EXPECT_EQ(kesto::read_dab_list(shallow).size(), 1u);
  EXPECT_TRUE(kesto::parse_record(nested(kesto::kMaxRecordNesting + 1, "")).is_discarded());
  // Brackets inside strings are text, not nesting.
  const std::string quoted = "[[\"" + std::string(500, '[') + "\\\"" + std::string(500, '{') + "\",0.5,0.1]]";
  EXPECT_EQ(kesto::read_dab_list(quoted).size(), 1u);
}

TEST(SelectionRecords, SpaceFallsBackTo1920x1080) {
  const double offset[2] = {12.0, -7.0};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const auto &size : std::vector<std::array<double, 2>>{{0, 0}, {1280, 0}, {0, 720}, {-1280, 720}, {nan, 720}, {inf, 720}}) {
    const kesto::Space space = kesto::make_space(offset, size.data());
    EXPECT_EQ(space.width, 1920.0) << size[0] << "x" << size[1];
    EXPECT_EQ(space.height, 1080.0) << size[0] << "x" << size[1];
    EXPECT_EQ(space.offsetX, 12.0);
    EXPECT_EQ(space.offsetY, -7.0);
  }
  const double size[2] = {1280.0, 720.0};
  const kesto::Space kept = kesto::make_space(offset, size);
  EXPECT_EQ(kept.width, 1280.0);
  EXPECT_EQ(kept.height, 720.0);
  const double badOffset[2] = {nan, inf};
  const kesto::Space zeroed = kesto::make_space(badOffset, size);
  EXPECT_EQ(zeroed.offsetX, 0.0);
  EXPECT_EQ(zeroed.offsetY, 0.0);
}

TEST(SelectionRecords, PenPositionsAreClampedIntoTheUnitSquare) {
  const kesto::Space hd{0.0, 0.0, 1920.0, 1080.0};
  const auto centre = kesto::to_normalised(hd, {960.0, 810.0});
  EXPECT_EQ(centre.u, 0.5);
  EXPECT_EQ(centre.v, 0.25);
  // Left of and below the project rectangle.
  const auto lowerLeft = kesto::to_normalised(hd, {-50.0, -20.0});
  EXPECT_EQ(lowerLeft.u, 0.0);
  EXPECT_EQ(lowerLeft.v, 1.0);
  // Right of and above it.
  const auto upperRight = kesto::to_normalised(hd, {5000.0, 1500.0});
  EXPECT_EQ(upperRight.u, 1.0);
  EXPECT_EQ(upperRight.v, 0.0);

  const kesto::Space shifted{100.0, 50.0, 1000.0, 500.0};
  const auto mid = kesto::to_normalised(shifted, {600.0, 300.0});
  EXPECT_EQ(mid.u, 0.5);
  EXPECT_EQ(mid.v, 0.5);
  const auto back = kesto::to_canonical(shifted, mid);
  EXPECT_EQ(back.x, 600.0);
  EXPECT_EQ(back.y, 300.0);
  const auto corner = kesto::to_canonical(shifted, {0.0, 0.0});
  EXPECT_EQ(corner.x, 100.0);
  EXPECT_EQ(corner.y, 550.0);
}

TEST(SelectionRecords, ClampGivesPlainZeroForNegativesAndNaN) {
  EXPECT_EQ(kesto::clamp_unit(2.0), 1.0);
  EXPECT_EQ(kesto::clamp_unit(0.5), 0.5);
  EXPECT_EQ(kesto::clamp_unit(-3.0), 0.0);
  EXPECT_FALSE(std::signbit(kesto::clamp_unit(-0.0)));
  EXPECT_EQ(kesto::clamp_unit(std::numeric_limits<double>::quiet_NaN()), 0.0);
  EXPECT_EQ(kesto::clamp_unit(-std::numeric_limits<double>::infinity()), 0.0);
  EXPECT_EQ(kesto::clamp_unit(std::numeric_limits<double>::infinity()), 1.0);
  // A pen exactly on the left edge writes "0.0", never "-0.0".
  const kesto::Space hd{0.0, 0.0, 1920.0, 1080.0};
  EXPECT_EQ(kesto::write_box(kesto::box_from_drag(kesto::to_normalised(hd, {-0.0, 1080.0}),
                                                  kesto::to_normalised(hd, {960.0, 540.0}))),
            "{\"h\":0.5,\"w\":0.5,\"x\":0.0,\"y\":0.0}");
}

}  // namespace
