// The software rasteriser: the canonical-to-pixel mapping, coverage, line width and alpha blending.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "glrecord/Raster.h"

namespace {

namespace rec = kesto::glrecord;

rec::Canvas blackCanvas(int width, int height) {
  rec::Canvas canvas{width, height, {}};
  canvas.rgba.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);
  for (std::size_t i = 3; i < canvas.rgba.size(); i += 4) canvas.rgba[i] = 255;
  return canvas;
}

const std::uint8_t *pixel(const rec::Canvas &canvas, int x, int y) {
  return &canvas.rgba[(static_cast<std::size_t>(y) * static_cast<std::size_t>(canvas.width) +
                       static_cast<std::size_t>(x)) * 4];
}

rec::Primitive square(double x0, double y0, double x1, double y1, rec::Colour colour) {
  rec::Primitive p;
  p.mode = rec::Mode::Quads;
  p.colour = colour;
  p.vertices = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
  return p;
}

int painted(const rec::Canvas &canvas) {
  int count = 0;
  for (int y = 0; y < canvas.height; ++y) {
    for (int x = 0; x < canvas.width; ++x) count += pixel(canvas, x, y)[0] > 0 || pixel(canvas, x, y)[1] > 0;
  }
  return count;
}

TEST(Raster, CanonicalYGoesUp) {
  rec::Canvas canvas = blackCanvas(20, 10);
  // Covers pixel centres x 2..4 and canonical y 0..1, which are the two bottom rows (9 and 8).
  rec::rasterise({square(1.5, -0.5, 4.5, 1.5, {1.0f, 0.0f, 0.0f, 1.0f})}, canvas);
  EXPECT_EQ(pixel(canvas, 2, 9)[0], 255);
  EXPECT_EQ(pixel(canvas, 4, 8)[0], 255);
  EXPECT_EQ(pixel(canvas, 2, 7)[0], 0);
  EXPECT_EQ(pixel(canvas, 5, 9)[0], 0);
  EXPECT_EQ(pixel(canvas, 1, 9)[0], 0);
  EXPECT_EQ(painted(canvas), 6);
}

TEST(Raster, AlphaBlendsOverTheFrame) {
  rec::Canvas canvas = blackCanvas(8, 8);
  for (std::size_t i = 0; i < canvas.rgba.size(); i += 4) canvas.rgba[i + 2] = 200;  // blue frame
  rec::rasterise({square(-0.5, -0.5, 7.5, 7.5, {0.0f, 0.898f, 1.0f, 0.35f})}, canvas);
  const std::uint8_t *p = pixel(canvas, 3, 3);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[1], static_cast<int>(std::lround(0.898 * 255 * 0.35)));
  EXPECT_EQ(p[2], static_cast<int>(std::lround(255 * 0.35 + 200 * 0.65)));
  EXPECT_EQ(p[3], 255);
}

TEST(Raster, PartialCoverageScalesAlpha) {
  rec::Canvas canvas = blackCanvas(4, 4);
  // Covers the left half of pixel column 1 (x from 0.5 to 1.0).
  rec::rasterise({square(0.5, -0.5, 1.0, 3.5, {1.0f, 1.0f, 1.0f, 1.0f})}, canvas);
  EXPECT_EQ(pixel(canvas, 1, 2)[0], 128);
  EXPECT_EQ(pixel(canvas, 0, 2)[0], 0);
}

TEST(Raster, FanFillsADiscOnce) {
  rec::Canvas canvas = blackCanvas(64, 64);
  rec::Primitive fan;
  fan.mode = rec::Mode::TriangleFan;
  fan.colour = {1.0f, 1.0f, 1.0f, 0.5f};
  fan.vertices.push_back({32, 32});
  for (int k = 0; k <= 20; ++k) {
    const double theta = k / 20.0 * 2.0 * 3.14159265358979323846;
    fan.vertices.push_back({32 + 20 * std::cos(theta), 32 + 20 * std::sin(theta)});
  }
  rec::rasterise({fan}, canvas);
  // Inner pixels get exactly one blend of alpha 0.5, even where fan triangles meet.
  EXPECT_EQ(pixel(canvas, 31, 31)[0], 128);
  EXPECT_EQ(pixel(canvas, 32, 31)[0], 128);
  EXPECT_EQ(pixel(canvas, 40, 20)[0], 128);
  EXPECT_EQ(pixel(canvas, 2, 2)[0], 0);
  // Covered area, from the blended red: a 20-gon of circumradius 20 has area 20/2 * 400 * sin(2 pi / 20) = 1236.
  double area = 0.0;
  for (int y = 0; y < canvas.height; ++y) {
    for (int x = 0; x < canvas.width; ++x) area += pixel(canvas, x, y)[0] / (255.0 * 0.5);
  }
  EXPECT_NEAR(area, 1236.0, 10.0);
}

TEST(Raster, LineLoopHasTheLineWidth) {
  rec::Canvas canvas = blackCanvas(40, 40);
  rec::Primitive loop;
  loop.mode = rec::Mode::LineLoop;
  loop.colour = {1.0f, 1.0f, 1.0f, 1.0f};
  loop.lineWidth = 3.0f;
  loop.vertices = {{10, 10}, {30, 10}, {30, 30}, {10, 30}};
  rec::rasterise({loop}, canvas);
  // Canonical y 10 is row 29: the line covers rows 28..30 fully, not 27 or 31, and not the middle.
  EXPECT_EQ(pixel(canvas, 20, 28)[0], 255);
  EXPECT_EQ(pixel(canvas, 20, 29)[0], 255);
  EXPECT_EQ(pixel(canvas, 20, 30)[0], 255);
  EXPECT_EQ(pixel(canvas, 20, 27)[0], 0);
  EXPECT_EQ(pixel(canvas, 20, 31)[0], 0);
  EXPECT_EQ(pixel(canvas, 20, 20)[0], 0);
  // The closing segment (10, 30) -> (10, 10) is drawn too.
  EXPECT_EQ(pixel(canvas, 10, 20)[0], 255);
}

TEST(Raster, UnusableInputDrawsNothing) {
  rec::Canvas canvas = blackCanvas(16, 16);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  rec::Primitive bad = square(0, 0, 10, 10, {1.0f, 1.0f, 1.0f, 1.0f});
  bad.vertices[2].x = nan;
  rec::Primitive far = square(1e300, 1e300, 2e300, 2e300, {1.0f, 1.0f, 1.0f, 1.0f});
  rec::Primitive points = square(0, 0, 10, 10, {1.0f, 1.0f, 1.0f, 1.0f});
  points.mode = rec::Mode::Points;
  rec::Primitive flat = square(0, 5, 10, 5, {1.0f, 1.0f, 1.0f, 1.0f});
  rec::rasterise({bad, far, points, flat}, canvas);
  EXPECT_EQ(painted(canvas), 0);

  // A buffer of the wrong size is left alone.
  rec::Canvas wrong{16, 16, std::vector<std::uint8_t>(10, 0)};
  rec::rasterise({square(0, 0, 10, 10, {1.0f, 1.0f, 1.0f, 1.0f})}, wrong);
  EXPECT_EQ(wrong.rgba, std::vector<std::uint8_t>(10, 0));
}

TEST(Raster, HugePrimitiveIsCutToTheCanvas) {
  rec::Canvas canvas = blackCanvas(16, 16);
  rec::rasterise({square(-1e12, -1e12, 1e12, 1e12, {1.0f, 0.0f, 0.0f, 1.0f})}, canvas);
  EXPECT_EQ(painted(canvas), 256);
}

}  // namespace
