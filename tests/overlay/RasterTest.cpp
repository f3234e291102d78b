// The software rasteriser: the canonical-to-pixel mapping, coverage, line width and alpha blending.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "glrecord/Raster.h"

namespace {

namespace rec = kesto::glrecord;

constexpr rec::Colour kWhite{1.0f, 1.0f, 1.0f, 1.0f};

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

rec::Primitive shape(rec::Mode mode, std::vector<rec::Vertex> vertices, rec::Colour colour = kWhite) {
  return {mode, std::move(vertices), colour, 1.0f};
}

rec::Primitive square(double x0, double y0, double x1, double y1, rec::Colour colour = kWhite) {
  return shape(rec::Mode::Quads, {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}, colour);
}

rec::Primitive disc(double radius, int segments) {
  rec::Primitive fan = shape(rec::Mode::TriangleFan, {{32, 32}}, {1.0f, 1.0f, 1.0f, 0.5f});
  for (int k = 0; k <= segments; ++k) {
    const double theta = k / static_cast<double>(segments) * 2.0 * M_PI;
    fan.vertices.push_back({32 + radius * std::cos(theta), 32 + radius * std::sin(theta)});
  }
  return fan;
}

// Red channel at chosen pixels, and how many pixels got any red (the painted area) when that is given.
TEST(Raster, PaintsWhatThePrimitivesCoverAlphaBlendedAndNothingElse) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  rec::Primitive loop = shape(rec::Mode::LineLoop, {{10, 10}, {30, 10}, {30, 30}, {10, 30}});
  loop.lineWidth = 3.0f;
  const struct {
    const char *what;
    int width, height;
    std::vector<rec::Primitive> drawn;
    std::vector<std::array<int, 3>> reds;  // x, y, red
    double area;                           // summed coverage; < 0: not checked
  } cases[] = {
      // Pixel centres x 2..4 at canonical y 0..1: the two bottom rows.
      {"canonical y goes up", 20, 10, {square(1.5, -0.5, 4.5, 1.5)},
       {{2, 9, 255}, {4, 8, 255}, {2, 7, 0}, {5, 9, 0}, {1, 9, 0}}, 6},
      {"half a pixel column", 4, 4, {square(0.5, -0.5, 1.0, 3.5)}, {{1, 2, 128}, {0, 2, 0}}, 2},
      // Alpha 0.5 blended once, even where fan triangles meet; area 20/2 * 400 * sin(2 pi / 20) = 1236.
      {"a fan", 64, 64, {disc(20, 20)}, {{31, 31, 128}, {32, 31, 128}, {40, 20, 128}, {2, 2, 0}}, 1236 * 0.5},
      // Canonical y 10 is row 29: a 3 wide line covers rows 28..30; the closing segment is drawn too.
      {"a line loop", 40, 40, {loop},
       {{20, 28, 255}, {20, 29, 255}, {20, 30, 255}, {20, 27, 0}, {20, 31, 0}, {20, 20, 0}, {10, 20, 255}}, -1},
      {"unusable input", 16, 16,
       {shape(rec::Mode::Quads, {{0, 0}, {10, 0}, {nan, 10}, {0, 10}}), square(1e300, 1e300, 2e300, 2e300),
        shape(rec::Mode::Points, {{0, 0}, {10, 0}, {10, 10}, {0, 10}}), square(0, 5, 10, 5)},
       {}, 0},
      {"a huge square, cut to the canvas", 16, 16, {square(-1e12, -1e12, 1e12, 1e12)}, {}, 256},
  };
  for (const auto &c : cases) {
    rec::Canvas canvas = blackCanvas(c.width, c.height);
    rec::rasterise(c.drawn, canvas);
    for (const auto &[x, y, red] : c.reds) EXPECT_EQ(pixel(canvas, x, y)[0], red) << c.what << " at " << x << "," << y;
    double area = 0.0;
    for (std::size_t i = 0; i < canvas.rgba.size(); i += 4) area += canvas.rgba[i] / 255.0;
    if (c.area >= 0) {
      EXPECT_NEAR(area, c.area, c.area > 100 ? 5.0 : 0.01) << c.what;
    }
  }

  // Alpha blends over the frame; a buffer of the wrong size is left alone.
  rec::Canvas canvas = blackCanvas(8, 8);
  for (std::size_t i = 0; i < canvas.rgba.size(); i += 4) canvas.rgba[i + 2] = 200;  // blue frame
  rec::rasterise({square(-0.5, -0.5, 7.5, 7.5, {0.0f, 0.898f, 1.0f, 0.35f})}, canvas);
  const std::uint8_t *p = pixel(canvas, 3, 3);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[1], static_cast<int>(std::lround(0.898 * 255 * 0.35)));
  EXPECT_EQ(p[2], static_cast<int>(std::lround(255 * 0.35 + 200 * 0.65)));
  EXPECT_EQ(p[3], 255);

  rec::Canvas wrong{16, 16, std::vector<std::uint8_t>(10, 0)};
  rec::rasterise({square(0, 0, 10, 10)}, wrong);
  EXPECT_EQ(wrong.rgba, std::vector<std::uint8_t>(10, 0));
}

}  // namespace
