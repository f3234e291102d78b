#pragma once
// The render's per-pixel formulas transcribed literally, one pixel at a time, with no shortcut: the
// reference that the fast pixel loops and the plug-in's render are compared against, bit for bit.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kesto::testing {

// An RGBA image as a host hands it: pixel (x, y) at data + (y - y1) * rowBytes + (x - x1) * pixel size.
struct LiteralImage {
  const void *data = nullptr;
  std::ptrdiff_t rowBytes = 0;
  int x1 = 0;
  int y1 = 0;
  int x2 = 0;
  int y2 = 0;
};

struct LiteralMatte {
  const std::vector<std::uint8_t> *bytes = nullptr;  // width x height, top row first
  int width = 0;
  int height = 0;
};

inline std::uint8_t literalStore(float c) {
  if (c > 1.0f) c = 1.0f;
  if (c < 0.0f) c = 0.0f;
  return static_cast<std::uint8_t>(std::trunc(c * 255.0f + 0.5f));
}

// Writes every pixel of `dst` from `src` and `matte` (null: no matte). outputMode 1 is "Matte only", any
// other value "Character (RGBA)".
inline void literalRender(const LiteralImage &src, const LiteralImage &dst, bool isFloat, const LiteralMatte *matte,
                          int outputMode) {
  const long long ps = isFloat ? 16 : 4;
  const long long W = static_cast<long long>(dst.x2) - dst.x1;
  const long long H = static_cast<long long>(dst.y2) - dst.y1;
  for (long long y = dst.y1; y < dst.y2; ++y) {
    for (long long x = dst.x1; x < dst.x2; ++x) {
      float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
      if (y >= src.y1 && y < src.y2 && x >= src.x1 && x < src.x2) {
        const auto *p = static_cast<const std::uint8_t *>(src.data) + (y - src.y1) * src.rowBytes + (x - src.x1) * ps;
        if (isFloat) {
          std::memcpy(s, p, 16);
        } else {
          for (int c = 0; c < 4; ++c) s[c] = static_cast<float>(p[c]) / 255.0f;
        }
      }
      float r[4];
      if (matte != nullptr) {
        const long long rt = H - 1 - (y - dst.y1);
        long long my = static_cast<long long>(static_cast<double>(matte->height) * static_cast<double>(rt) /
                                              static_cast<double>(H));
        long long mx = static_cast<long long>(static_cast<double>(matte->width) * static_cast<double>(x - dst.x1) /
                                              static_cast<double>(W));
        if (my < 0) my = 0;
        if (my > matte->height - 1) my = matte->height - 1;
        if (mx < 0) mx = 0;
        if (mx > matte->width - 1) mx = matte->width - 1;
        const float m = static_cast<float>((*matte->bytes)[static_cast<std::size_t>(my * matte->width + mx)]) / 255.0f;
        if (outputMode == 1) {
          r[0] = m;
          r[1] = m;
          r[2] = m;
          r[3] = 1.0f;
        } else {
          r[0] = s[0] * m;
          r[1] = s[1] * m;
          r[2] = s[2] * m;
          r[3] = m;
        }
      } else {
        std::memcpy(r, s, sizeof r);
      }
      auto *q = static_cast<std::uint8_t *>(const_cast<void *>(dst.data)) + (y - dst.y1) * dst.rowBytes + (x - dst.x1) * ps;
      if (isFloat) {
        std::memcpy(q, r, 16);
      } else {
        for (int c = 0; c < 4; ++c) q[c] = literalStore(r[c]);
      }
    }
  }
}

}  // namespace kesto::testing
