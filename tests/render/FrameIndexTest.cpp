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
  const std::pair<const char *, double> cases[] = {{"3.000000", 3.0}, {"-12.500000", -12.5}, {"  7.25 frames", 7.25},
                                                   {"\t+42", 42.0},   {"1e2", 100.0},         {"", 0.0},
                                                   {"abc", 0.0},      {"x3", 0.0}};
  for (const auto &[text, value] : cases) EXPECT_DOUBLE_EQ(value, parse_clip_start(text)) << text;
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

// Halves round away from zero; an index below zero or beyond 32 bits, or one made of no number, is no frame.
TEST(FrameIndex, TimeLessClipStartRoundedHalfAway) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::optional<std::int32_t> none;
  const struct {
    double time, clipStart;
    std::optional<std::int32_t> frame;
  } cases[] = {
      {10.4, 3.0, 7},   {10.5, 3.0, 8},   {2.6, 3.0, 0},  {3.0, 3.0, 0},  {1000000.0, 0.0, 1000000},
      {2.51, 3.0, 0},   {2.0, 3.0, none}, {2.5, 3.0, none},  // -0.5 rounds away from zero to -1
      {5.0, inf, none}, {inf, 0.0, none}, {nan, 0.0, none}, {5.0, nan, none}, {3.0e9, 0.0, none},
      {2147483647.0, 0.0, 2147483647},
  };
  for (const auto &c : cases) EXPECT_EQ(c.frame, matte_frame_index(c.time, c.clipStart)) << c.time << " - " << c.clipStart;
}

}  // namespace
