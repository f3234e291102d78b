// The frame index of a render time and the reading of the stored clip start.

#include "plugin/FrameIndex.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <optional>

namespace {

using kesto::matte_frame_index;
using kesto::parse_clip_start;

TEST(FrameIndex, ClipStartReadsLikeTheCLibrary) {
  EXPECT_DOUBLE_EQ(3.0, parse_clip_start("3.000000"));
  EXPECT_DOUBLE_EQ(-12.5, parse_clip_start("-12.500000"));
  EXPECT_DOUBLE_EQ(7.25, parse_clip_start("  7.25 frames"));
  EXPECT_DOUBLE_EQ(42.0, parse_clip_start("\t+42"));
  EXPECT_DOUBLE_EQ(100.0, parse_clip_start("1e2"));
  EXPECT_DOUBLE_EQ(0.0, parse_clip_start(""));
  EXPECT_DOUBLE_EQ(0.0, parse_clip_start("abc"));
  EXPECT_DOUBLE_EQ(0.0, parse_clip_start("x3"));
  EXPECT_TRUE(std::isinf(parse_clip_start("inf")));
  EXPECT_TRUE(std::isnan(parse_clip_start("nan")));
}

// A host may switch the process to a locale with a decimal comma; the stored text keeps its '.'.
TEST(FrameIndex, ClipStartIgnoresTheProcessLocale) {
  const char *previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr && std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr) {
    GTEST_SKIP() << "no locale with a decimal comma installed";
  }
  const double value = parse_clip_start("3.5");
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_DOUBLE_EQ(3.5, value);
}

TEST(FrameIndex, RoundsHalvesAwayFromZero) {
  EXPECT_EQ(std::optional<std::int32_t>(7), matte_frame_index(10.4, 3.0));
  EXPECT_EQ(std::optional<std::int32_t>(8), matte_frame_index(10.5, 3.0));
  EXPECT_EQ(std::optional<std::int32_t>(0), matte_frame_index(2.6, 3.0));
  EXPECT_EQ(std::optional<std::int32_t>(0), matte_frame_index(3.0, 3.0));
  EXPECT_EQ(std::optional<std::int32_t>(1000000), matte_frame_index(1000000.0, 0.0));
}

TEST(FrameIndex, NegativeOrUnrepresentableIndexGivesNoFrame) {
  EXPECT_EQ(std::nullopt, matte_frame_index(2.0, 3.0));
  EXPECT_EQ(std::nullopt, matte_frame_index(2.5, 3.0));  // -0.5 rounds away from zero to -1
  EXPECT_EQ(std::optional<std::int32_t>(0), matte_frame_index(2.51, 3.0));
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(std::nullopt, matte_frame_index(5.0, inf));
  EXPECT_EQ(std::nullopt, matte_frame_index(inf, 0.0));
  EXPECT_EQ(std::nullopt, matte_frame_index(nan, 0.0));
  EXPECT_EQ(std::nullopt, matte_frame_index(5.0, nan));
  EXPECT_EQ(std::nullopt, matte_frame_index(3.0e9, 0.0));
  EXPECT_EQ(std::optional<std::int32_t>(2147483647), matte_frame_index(2147483647.0, 0.0));
}

}  // namespace
