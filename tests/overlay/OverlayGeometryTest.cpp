// What the overlay draws, as geometry: the box outline and its handles, the dab discs, the colours.

#include <gtest/gtest.h>

#include <cmath>

#include "overlay/OverlayGeometry.h"

namespace {

const kesto::Space kHd{0.0, 0.0, 1920.0, 1080.0};
constexpr double kPi = 3.14159265358979323846;

void expectPoint(const kesto::CanonicalPoint &p, double x, double y) {
  EXPECT_DOUBLE_EQ(p.x, x);
  EXPECT_DOUBLE_EQ(p.y, y);
}

TEST(OverlayGeometry, BoxOutlineRunsFromTopLeftToBottomRight) {
  const auto g = kesto::box_geometry(kHd, {0.5, 0.25, 0.25, 0.5});
  // A = (960, 810) top-left on screen, B = (1440, 270) bottom-right.
  expectPoint(g.outline[0], 960, 810);
  expectPoint(g.outline[1], 1440, 810);
  expectPoint(g.outline[2], 1440, 270);
  expectPoint(g.outline[3], 960, 270);
}

TEST(OverlayGeometry, CornerHandlesAreTenUnitSquaresInFixedOrder) {
  const kesto::Space shifted{100.0, 20.0, 1000.0, 500.0};
  const auto g = kesto::box_geometry(shifted, {0.1, 0.2, 0.5, 0.4});
  const double ax = 200, ay = 420, bx = 700, by = 220;
  const double centres[4][2] = {{ax, ay}, {ax, by}, {bx, ay}, {bx, by}};
  for (int i = 0; i < 4; ++i) {
    const auto &square = g.handles[static_cast<std::size_t>(i)];
    const double cx = centres[i][0], cy = centres[i][1];
    expectPoint(square[0], cx - 5, cy - 5);
    expectPoint(square[1], cx + 5, cy - 5);
    expectPoint(square[2], cx + 5, cy + 5);
    expectPoint(square[3], cx - 5, cy + 5);
  }
}

TEST(OverlayGeometry, DabIsATwentySegmentFanOfRadiusTimesWidth) {
  const auto fan = kesto::dab_fan(kHd, {0.5, 0.25, 0.03});
  ASSERT_EQ(fan.size(), 22u);
  expectPoint(fan[0], 960, 810);
  const double radius = 0.03 * 1920;  // 57.6 in both directions
  for (int k = 0; k < 20; ++k) {
    const double theta = k / 20.0 * 2.0 * kPi;
    const auto &p = fan[static_cast<std::size_t>(k) + 1];
    EXPECT_NEAR(p.x, 960 + radius * std::cos(theta), 1e-9) << k;
    EXPECT_NEAR(p.y, 810 + radius * std::sin(theta), 1e-9) << k;
  }
  expectPoint(fan[1], 960 + radius, 810);
  // The rim closes on its first point.
  EXPECT_EQ(fan[21].x, fan[1].x);
  EXPECT_EQ(fan[21].y, fan[1].y);
  // An excluding dab has the same disc.
  const auto excluding = kesto::dab_fan(kHd, {0.5, 0.25, -0.03});
  EXPECT_DOUBLE_EQ(excluding[6].y, fan[6].y);
}

TEST(OverlayGeometry, DabColourFollowsTheSignOfTheRadius) {
  EXPECT_EQ(kesto::dab_colour({0, 0, 0.03}).green, kesto::kAddDabColour.green);
  EXPECT_EQ(kesto::dab_colour({0, 0, -0.03}).red, kesto::kExcludeDabColour.red);
  // r = 0 never comes from editing; it reads as excluding.
  EXPECT_EQ(kesto::dab_colour({0, 0, 0.0}).red, kesto::kExcludeDabColour.red);
}

}  // namespace
