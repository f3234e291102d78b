// Coverage-mask rasterisation of recorded primitives over an RGBA canvas.

#include "glrecord/Raster.h"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstddef>

namespace kesto::glrecord {
namespace {

constexpr int kSamplesPerPixel = kSamplesPerAxis * kSamplesPerAxis;
using SampleMask = std::bitset<kSamplesPerPixel>;

// A point in pixel space: x right, y down, pixel centres at whole numbers.
struct Point {
  double x;
  double y;
};

struct Triangle {
  Point a, b, c;
};

struct Segment {
  Point a, b;
};

struct Parts {
  std::vector<Triangle> triangles;
  std::vector<Segment> segments;
};

// Inclusive pixel rectangle.
struct PixelRect {
  int x0, y0, x1, y1;
  bool empty() const { return x1 < x0 || y1 < y0; }
};

double sample_offset(int index) { return (index + 0.5) / kSamplesPerAxis - 0.5; }

double cross(Point o, Point p, Point q) { return (p.x - o.x) * (q.y - o.y) - (p.y - o.y) * (q.x - o.x); }

bool inside(const Triangle &t, Point p) {
  const double area = cross(t.a, t.b, t.c);
  if (area == 0.0) return false;
  const double e0 = cross(t.a, t.b, p);
  const double e1 = cross(t.b, t.c, p);
  const double e2 = cross(t.c, t.a, p);
  return area > 0.0 ? (e0 >= 0.0 && e1 >= 0.0 && e2 >= 0.0) : (e0 <= 0.0 && e1 <= 0.0 && e2 <= 0.0);
}

bool near(const Segment &s, Point p, double halfWidth) {
  const double dx = s.b.x - s.a.x;
  const double dy = s.b.y - s.a.y;
  const double lengthSq = dx * dx + dy * dy;
  const double t = std::clamp(((p.x - s.a.x) * dx + (p.y - s.a.y) * dy) / lengthSq, 0.0, 1.0);
  const double ex = s.a.x + t * dx - p.x;
  const double ey = s.a.y + t * dy - p.y;
  return ex * ex + ey * ey <= halfWidth * halfWidth;
}

void add_quad(Parts &parts, Point a, Point b, Point c, Point d) {
  parts.triangles.push_back({a, b, c});
  parts.triangles.push_back({a, c, d});
}

void add_segment(Parts &parts, Point a, Point b) {
  // GL draws nothing for a line of no length.
  if (a.x != b.x || a.y != b.y) parts.segments.push_back({a, b});
}

Parts decompose(const Primitive &primitive, int canvasHeight) {
  std::vector<Point> v;
  v.reserve(primitive.vertices.size());
  for (const Vertex &vertex : primitive.vertices) v.push_back({vertex.x, canvasHeight - 1 - vertex.y});
  const std::size_t n = v.size();
  Parts parts;
  switch (primitive.mode) {
    case Mode::Points: break;
    case Mode::Lines:
      for (std::size_t i = 0; i + 1 < n; i += 2) add_segment(parts, v[i], v[i + 1]);
      break;
    case Mode::LineStrip:
    case Mode::LineLoop:
      for (std::size_t i = 0; i + 1 < n; ++i) add_segment(parts, v[i], v[i + 1]);
      if (primitive.mode == Mode::LineLoop && n > 2) add_segment(parts, v[n - 1], v[0]);
      break;
    case Mode::Triangles:
      for (std::size_t i = 0; i + 2 < n; i += 3) parts.triangles.push_back({v[i], v[i + 1], v[i + 2]});
      break;
    case Mode::TriangleStrip:
      for (std::size_t i = 0; i + 2 < n; ++i) parts.triangles.push_back({v[i], v[i + 1], v[i + 2]});
      break;
    case Mode::TriangleFan:
    case Mode::Polygon:
      for (std::size_t i = 1; i + 1 < n; ++i) parts.triangles.push_back({v[0], v[i], v[i + 1]});
      break;
    case Mode::Quads:
      for (std::size_t i = 0; i + 3 < n; i += 4) add_quad(parts, v[i], v[i + 1], v[i + 2], v[i + 3]);
      break;
    case Mode::QuadStrip:
      for (std::size_t i = 0; i + 3 < n; i += 2) add_quad(parts, v[i], v[i + 1], v[i + 3], v[i + 2]);
      break;
  }
  return parts;
}

// Pixels whose area may touch [minX, maxX] x [minY, maxY], cut to the canvas.
PixelRect pixel_rect(double minX, double minY, double maxX, double maxY, int width, int height) {
  const double x0 = std::max(std::floor(minX - 0.5), 0.0);
  const double y0 = std::max(std::floor(minY - 0.5), 0.0);
  const double x1 = std::min(std::ceil(maxX + 0.5), static_cast<double>(width - 1));
  const double y1 = std::min(std::ceil(maxY + 0.5), static_cast<double>(height - 1));
  if (x1 < x0 || y1 < y0) return {0, 0, -1, -1};
  return {static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1), static_cast<int>(y1)};
}

// Coverage of one primitive over the pixels of `area`.
class Coverage {
 public:
  explicit Coverage(PixelRect area)
      : area_(area), masks_(static_cast<std::size_t>(area.x1 - area.x0 + 1) * (area.y1 - area.y0 + 1)) {}

  template <typename InsideTest>
  void cover(PixelRect part, InsideTest &&test) {
    const PixelRect r{std::max(part.x0, area_.x0), std::max(part.y0, area_.y0), std::min(part.x1, area_.x1),
                      std::min(part.y1, area_.y1)};
    for (int y = r.y0; y <= r.y1; ++y) {
      for (int x = r.x0; x <= r.x1; ++x) {
        SampleMask &mask = at(x, y);
        for (int s = 0; s < kSamplesPerPixel; ++s) {
          if (mask.test(static_cast<std::size_t>(s))) continue;
          const Point p{x + sample_offset(s % kSamplesPerAxis), y + sample_offset(s / kSamplesPerAxis)};
          if (test(p)) mask.set(static_cast<std::size_t>(s));
        }
      }
    }
  }

  void blend(const Colour &colour, Canvas &canvas) const {
    const double src[3] = {std::clamp(static_cast<double>(colour.red), 0.0, 1.0),
                           std::clamp(static_cast<double>(colour.green), 0.0, 1.0),
                           std::clamp(static_cast<double>(colour.blue), 0.0, 1.0)};
    const double alpha = std::clamp(static_cast<double>(colour.alpha), 0.0, 1.0);
    for (int y = area_.y0; y <= area_.y1; ++y) {
      for (int x = area_.x0; x <= area_.x1; ++x) {
        const std::size_t covered = masks_[index(x, y)].count();
        if (covered == 0) continue;
        const double a = alpha * static_cast<double>(covered) / kSamplesPerPixel;
        std::uint8_t *px = &canvas.rgba[(static_cast<std::size_t>(y) * static_cast<std::size_t>(canvas.width) +
                                         static_cast<std::size_t>(x)) * 4];
        for (int c = 0; c < 3; ++c) px[c] = to_byte(src[c] * 255.0 * a + px[c] * (1.0 - a));
        px[3] = to_byte(a * 255.0 + px[3] * (1.0 - a));
      }
    }
  }

 private:
  static std::uint8_t to_byte(double value) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
  }
  std::size_t index(int x, int y) const {
    return static_cast<std::size_t>(y - area_.y0) * static_cast<std::size_t>(area_.x1 - area_.x0 + 1) +
           static_cast<std::size_t>(x - area_.x0);
  }
  SampleMask &at(int x, int y) { return masks_[index(x, y)]; }

  PixelRect area_;
  std::vector<SampleMask> masks_;
};

bool all_finite(const Primitive &primitive) {
  return std::all_of(primitive.vertices.begin(), primitive.vertices.end(),
                     [](const Vertex &v) { return std::isfinite(v.x) && std::isfinite(v.y); });
}

void paint(const Primitive &primitive, Canvas &canvas) {
  if (!all_finite(primitive)) return;
  const Parts parts = decompose(primitive, canvas.height);
  const double halfWidth = std::max(static_cast<double>(primitive.lineWidth), 0.0) / 2.0;

  std::vector<PixelRect> triangleRects;
  std::vector<PixelRect> segmentRects;
  PixelRect all{canvas.width, canvas.height, -1, -1};
  auto grow = [&all](const PixelRect &r) {
    if (r.empty()) return;
    all = {std::min(all.x0, r.x0), std::min(all.y0, r.y0), std::max(all.x1, r.x1), std::max(all.y1, r.y1)};
  };
  for (const Triangle &t : parts.triangles) {
    triangleRects.push_back(pixel_rect(std::min({t.a.x, t.b.x, t.c.x}), std::min({t.a.y, t.b.y, t.c.y}),
                                       std::max({t.a.x, t.b.x, t.c.x}), std::max({t.a.y, t.b.y, t.c.y}),
                                       canvas.width, canvas.height));
    grow(triangleRects.back());
  }
  for (const Segment &s : parts.segments) {
    segmentRects.push_back(pixel_rect(std::min(s.a.x, s.b.x) - halfWidth, std::min(s.a.y, s.b.y) - halfWidth,
                                      std::max(s.a.x, s.b.x) + halfWidth, std::max(s.a.y, s.b.y) + halfWidth,
                                      canvas.width, canvas.height));
    grow(segmentRects.back());
  }
  if (all.empty()) return;

  Coverage coverage(all);
  for (std::size_t i = 0; i < parts.triangles.size(); ++i) {
    if (triangleRects[i].empty()) continue;
    const Triangle &t = parts.triangles[i];
    coverage.cover(triangleRects[i], [&t](Point p) { return inside(t, p); });
  }
  for (std::size_t i = 0; i < parts.segments.size(); ++i) {
    if (segmentRects[i].empty()) continue;
    const Segment &s = parts.segments[i];
    coverage.cover(segmentRects[i], [&s, halfWidth](Point p) { return near(s, p, halfWidth); });
  }
  coverage.blend(primitive.colour, canvas);
}

}  // namespace

void rasterise(const std::vector<Primitive> &list, Canvas &canvas) {
  if (canvas.width <= 0 || canvas.height <= 0) return;
  if (canvas.rgba.size() != static_cast<std::size_t>(canvas.width) * static_cast<std::size_t>(canvas.height) * 4) {
    return;
  }
  for (const Primitive &primitive : list) paint(primitive, canvas);
}

}  // namespace kesto::glrecord
