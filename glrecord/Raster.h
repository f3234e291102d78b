#pragma once
// A small software rasteriser for recorded primitives: paints them over an 8-bit RGBA picture the way a
// viewer shows an overlay at 1:1 zoom, so that what the overlay drew can be looked at.
//
// Mapping: canonical (x, y) lands on pixel (x, height - 1 - y) (y up in canonical space, rows top first in the
// picture), pixel centres at whole numbers. Each pixel is sampled on a regular grid (kSamplesPerAxis squared
// samples); a primitive covers the samples inside any of its parts and is blended once per pixel with
// alpha = colour alpha x covered fraction: out = src x a + dst x (1 - a), alpha out = a + dst alpha x (1 - a).
//
// Drawn: GL_LINES, GL_LINE_STRIP, GL_LINE_LOOP (segments of the primitive's line width in pixels, round
// joins), GL_TRIANGLES, GL_TRIANGLE_STRIP, GL_TRIANGLE_FAN, GL_POLYGON (as a fan), GL_QUADS, GL_QUAD_STRIP.
// GL_POINTS, incomplete parts, degenerate triangles and primitives with a non-finite vertex draw nothing.

#include <cstdint>
#include <vector>

#include "glrecord/Recording.h"

namespace kesto::glrecord {

inline constexpr int kSamplesPerAxis = 4;

// Tightly packed 8-bit RGBA, R G B A per pixel, top row first (stride = width * 4).
struct Canvas {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;
};

// Paints `list` in order over `canvas`. A canvas whose buffer is not width * height * 4 bytes is left alone.
void rasterise(const std::vector<Primitive> &list, Canvas &canvas);

}  // namespace kesto::glrecord
