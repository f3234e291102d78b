// The render's pixel work, compared bit for bit with a plain per-pixel transcription of the formulas (kept
// here, deliberately slow and literal), plus known answers for the cases people reason about.

#include "plugin/MatteComposite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using kesto::ConstImageView;
using kesto::GrayMatte;
using kesto::ImageView;
using kesto::MatteMode;
using kesto::PixelDepth;
using kesto::PixelRect;

// The formulas transcribed literally, one pixel at a time, with no shortcut: the reference.
std::uint8_t literalStore(float c) {
  return static_cast<std::uint8_t>(std::trunc(std::clamp(c, 0.0f, 1.0f) * 255.0f + 0.5f));
}

// Writes every pixel of `dst` from `src` and `matte` (null: no matte).
void literalComposite(const ConstImageView &src, const ImageView &dst, PixelDepth depth, const GrayMatte *matte,
                      MatteMode mode) {
  const bool isFloat = depth == PixelDepth::Float;
  const long long ps = isFloat ? 16 : 4;
  const long long W = static_cast<long long>(dst.bounds.x2) - dst.bounds.x1;
  const long long H = static_cast<long long>(dst.bounds.y2) - dst.bounds.y1;
  for (long long y = dst.bounds.y1; y < dst.bounds.y2; ++y) {
    for (long long x = dst.bounds.x1; x < dst.bounds.x2; ++x) {
      float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
      if (y >= src.bounds.y1 && y < src.bounds.y2 && x >= src.bounds.x1 && x < src.bounds.x2) {
        const auto *p = static_cast<const std::uint8_t *>(src.data) + (y - src.bounds.y1) * src.rowBytes + (x - src.bounds.x1) * ps;
        if (isFloat) {
          std::memcpy(s, p, 16);
        } else {
          for (int c = 0; c < 4; ++c) s[c] = static_cast<float>(p[c]) / 255.0f;
        }
      }
      float r[4] = {s[0], s[1], s[2], s[3]};
      if (matte != nullptr) {
        const long long rt = H - 1 - (y - dst.bounds.y1);
        long long my = static_cast<long long>(static_cast<double>(matte->height) * static_cast<double>(rt) /
                                              static_cast<double>(H));
        long long mx = static_cast<long long>(static_cast<double>(matte->width) * static_cast<double>(x - dst.bounds.x1) /
                                              static_cast<double>(W));
        my = std::clamp(my, 0LL, static_cast<long long>(matte->height) - 1);
        mx = std::clamp(mx, 0LL, static_cast<long long>(matte->width) - 1);
        const float m = static_cast<float>(matte->bytes[static_cast<std::size_t>(my * matte->width + mx)]) / 255.0f;
        for (int c = 0; c < 3; ++c) r[c] = mode == MatteMode::MatteOnly ? m : s[c] * m;
        r[3] = mode == MatteMode::MatteOnly ? 1.0f : m;
      }
      auto *q = static_cast<std::uint8_t *>(dst.data) + (y - dst.bounds.y1) * dst.rowBytes + (x - dst.bounds.x1) * ps;
      if (isFloat) {
        std::memcpy(q, r, 16);
      } else {
        for (int c = 0; c < 4; ++c) q[c] = literalStore(r[c]);
      }
    }
  }
}

// ---- test images ----

// An image in a buffer of its own, with padding around every row and a data pointer at row bounds.y1; a
// negative row-bytes image keeps its rows top-down in memory, as some hosts do.
struct TestImage {
  std::vector<std::uint8_t> buffer;
  std::ptrdiff_t rowBytes = 0;
  PixelRect bounds;
  std::size_t dataOffset = 0;

  TestImage(PixelRect b, PixelDepth depth, bool negativeRows, std::size_t padBytes, std::uint8_t fill)
      : bounds(b) {
    const std::size_t width = static_cast<std::size_t>(std::max(0, b.x2 - b.x1));
    const std::size_t height = static_cast<std::size_t>(std::max(0, b.y2 - b.y1));
    const std::size_t stride = width * kesto::pixel_bytes(depth) + padBytes;
    buffer.assign(stride * height + 2 * padBytes + 16, fill);
    rowBytes = negativeRows ? -static_cast<std::ptrdiff_t>(stride) : static_cast<std::ptrdiff_t>(stride);
    dataOffset = padBytes + (negativeRows && height > 0 ? stride * (height - 1) : 0);
  }
  std::uint8_t *data() { return buffer.data() + dataOffset; }
  ConstImageView view() const { return {buffer.data() + dataOffset, rowBytes, bounds}; }
  ImageView mutableView() { return {data(), rowBytes, bounds}; }
  std::uint8_t *pixel(int x, int y, PixelDepth depth) {
    return data() + static_cast<std::ptrdiff_t>(y - bounds.y1) * rowBytes +
           static_cast<std::ptrdiff_t>(x - bounds.x1) * static_cast<std::ptrdiff_t>(kesto::pixel_bytes(depth));
  }
};

void fillRandom(TestImage &image, PixelDepth depth, std::mt19937 &rng) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_real_distribution<float> unit(-0.5f, 1.5f);
  const float specials[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(), -0.0f, 0.0f, 1.0f, 1e30f, -3.0f};
  for (int y = image.bounds.y1; y < image.bounds.y2; ++y) {
    for (int x = image.bounds.x1; x < image.bounds.x2; ++x) {
      std::uint8_t *p = image.pixel(x, y, depth);
      if (depth == PixelDepth::Byte) {
        for (int c = 0; c < 4; ++c) p[c] = static_cast<std::uint8_t>(byte(rng));
      } else {
        float v[4];
        for (float &f : v) f = byte(rng) < 8 ? specials[byte(rng) % 8] : unit(rng);
        std::memcpy(p, v, sizeof v);
      }
    }
  }
}

// Random bytes, or with no generator a matte like a real one: long runs of 0 and 255 with soft edges between.
GrayMatte makeMatte(int width, int height, std::mt19937 *random = nullptr) {
  GrayMatte m{std::vector<std::uint8_t>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)), width,
              height};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double dx = (x - width * 0.5) / (width * 0.3);
      const double dy = (y - height * 0.5) / (height * 0.35);
      const double v = std::clamp((1.1 - std::sqrt(dx * dx + dy * dy)) * 6.0, 0.0, 1.0);
      m.bytes[static_cast<std::size_t>(y * width + x)] =
          static_cast<std::uint8_t>(random != nullptr ? (*random)() : static_cast<unsigned>(v * 255.0));
    }
  }
  return m;
}

struct Layout {
  PixelRect source;
  PixelRect output;
  bool sourceNegative;
  bool outputNegative;
};

// Runs the processor and the literal formulas on the same inputs; outputs start from the same fill, so
// bytes outside the output rows must stay equal too.
void expectSameAsFormulas(const Layout &layout, PixelDepth depth, const GrayMatte *matte, MatteMode mode,
                          std::uint32_t seed) {
  std::mt19937 rng(seed);
  TestImage source(layout.source, depth, layout.sourceNegative, 12, 0xA5);
  fillRandom(source, depth, rng);
  TestImage fast(layout.output, depth, layout.outputNegative, 20, 0x5A);
  TestImage literal(layout.output, depth, layout.outputNegative, 20, 0x5A);
  kesto::composite_matte(source.view(), fast.mutableView(), depth, matte, mode);
  literalComposite(source.view(), literal.mutableView(), depth, matte, mode);
  const auto differ = std::mismatch(literal.buffer.begin(), literal.buffer.end(), fast.buffer.begin());
  ASSERT_TRUE(differ.first == literal.buffer.end())
      << "first difference at byte " << differ.first - literal.buffer.begin() << " of " << fast.buffer.size();
}

const Layout kLayouts[] = {
    // Output wider and taller than the source on every side, odd sizes, non-zero bounds.
    {{3, -4, 30, 17}, {-5, -9, 32, 22}, false, false},
    {{3, -4, 30, 17}, {-5, -9, 32, 22}, true, false},
    {{3, -4, 30, 17}, {-5, -9, 32, 22}, false, true},
    {{3, -4, 30, 17}, {-5, -9, 32, 22}, true, true},
    // Source covers the output; widths that are not a multiple of the run length.
    {{-100, 40, 200, 90}, {7, 51, 90, 80}, true, false},
    // Source entirely to the side of the output, and entirely above it.
    {{100, 0, 120, 10}, {0, 0, 19, 10}, false, true},
    {{0, 50, 19, 60}, {0, 0, 19, 11}, false, false},
    // A single pixel; empty outputs, where nothing may be written.
    {{0, 0, 1, 1}, {0, 0, 1, 1}, false, false},
    {{0, 0, 4, 4}, {0, 0, 0, 4}, false, false},
    {{0, 0, 4, 4}, {0, 0, 4, 0}, false, true},
    {{0, 0, 4, 4}, {3, 3, 1, 1}, false, false},
};

// Every layout at both depths, in both modes, with mattes of several sizes and none; then frame-sized images:
// long runs of transparent and opaque matte take shortcuts at byte depth, and frames of a UHD order of size
// are written with cache-bypassing stores where the CPU has them (aligned and unaligned rows both take that
// path).
TEST(MatteComposite, MatchesTheFormulasBitForBit) {
  std::mt19937 rng(1234);
  const GrayMatte mattes[] = {makeMatte(13, 7, &rng), makeMatte(1, 1, &rng), makeMatte(64, 50, &rng),
                              makeMatte(55, 41)};
  std::uint32_t seed = 1;
  for (PixelDepth depth : {PixelDepth::Byte, PixelDepth::Float}) {
    for (const Layout &layout : kLayouts) {
      SCOPED_TRACE(::testing::Message() << (depth == PixelDepth::Float ? "float" : "byte") << " output "
                                        << layout.output.x1 << "," << layout.output.y1);
      for (MatteMode mode : {MatteMode::Character, MatteMode::MatteOnly}) {
        for (const GrayMatte &matte : mattes) expectSameAsFormulas(layout, depth, &matte, mode, ++seed);
      }
      expectSameAsFormulas(layout, depth, nullptr, MatteMode::Character, ++seed);
    }
  }
  const GrayMatte soft = makeMatte(480, 270);
  const GrayMatte large = makeMatte(1000, 700);
  const Layout hd{{0, 0, 961, 541}, {0, 0, 961, 541}, false, false};
  const Layout hdShifted{{-3, 2, 950, 541}, {0, 0, 961, 541}, true, false};
  const struct {
    const GrayMatte *matte;
    Layout layout;
    PixelDepth depth;
  } frameSized[] = {
      {&soft, hd, PixelDepth::Byte},
      {&soft, hdShifted, PixelDepth::Byte},
      {&soft, hd, PixelDepth::Float},
      {&soft, hdShifted, PixelDepth::Float},
      {&large, {{0, 0, 2200, 2000}, {0, 0, 2200, 2000}, false, false}, PixelDepth::Byte},
      {&large, {{-9, -3, 2190, 2001}, {0, 0, 2197, 2001}, true, true}, PixelDepth::Byte},
  };
  for (const auto &c : frameSized) {
    SCOPED_TRACE(::testing::Message() << "output " << c.layout.output.x2 << "x" << c.layout.output.y2);
    expectSameAsFormulas(c.layout, c.depth, c.matte, MatteMode::Character, ++seed);
  }
}

// ---- known answers ----

// A one-pixel source at (0, 0) rendered into a one-pixel output at (at, at): byte samples are given as 0..255,
// float ones as they are. An output outside the source reads the source as zero and still takes the matte; a
// two-row output shows the matte's first row (the top of the PNG) on its top row: the bit-for-bit test.
TEST(MatteComposite, KnownAnswersAndRowsThatFit) {
  const PixelDepth B = PixelDepth::Byte, F = PixelDepth::Float;
  const float m4 = 102.0f / 255.0f, m2 = 51.0f / 255.0f;
  const struct {
    PixelDepth depth;
    std::vector<float> in;
    int matte;  // the matte's one byte; -1: no matte
    MatteMode mode;
    int at;
    std::vector<float> out;
  } cases[] = {
      {B, {255, 255, 255, 255}, 128, MatteMode::Character, 0, {128, 128, 128, 128}},
      {B, {200, 100, 50, 7}, 255, MatteMode::Character, 0, {200, 100, 50, 255}},
      {B, {1, 2, 3, 4}, 128, MatteMode::MatteOnly, 0, {128, 128, 128, 255}},
      {B, {9, 8, 7, 6}, -1, MatteMode::Character, 0, {9, 8, 7, 6}},
      // Float values are multiplied, never clamped.
      {F, {2.5f, -0.75f, 1.0f, 0.3f}, 102, MatteMode::Character, 0, {2.5f * m4, -0.75f * m4, 1.0f * m4, m4}},
      {F, {2.5f, -0.75f, 1.0f, 0.3f}, 51, MatteMode::Character, 5, {0, 0, 0, m2}},
      {F, {2.5f, -0.75f, 1.0f, 0.3f}, -1, MatteMode::Character, 5, {0, 0, 0, 0}},
  };
  for (const auto &c : cases) {
    TestImage source({0, 0, 1, 1}, c.depth, false, 0, 0);
    TestImage out({c.at, c.at, c.at + 1, c.at + 1}, c.depth, false, 0, 0xEE);
    if (c.depth == B) {
      std::transform(c.in.begin(), c.in.end(), source.data(), [](float v) { return static_cast<std::uint8_t>(v); });
    } else {
      std::memcpy(source.data(), c.in.data(), 16);
    }
    const GrayMatte matte{{static_cast<std::uint8_t>(c.matte)}, 1, 1};
    kesto::composite_matte(source.view(), out.mutableView(), c.depth, c.matte < 0 ? nullptr : &matte, c.mode);
    std::vector<float> got(out.data(), out.data() + 4);  // byte samples, widened
    if (c.depth == F) std::memcpy(got.data(), out.data(), 16);
    EXPECT_EQ(c.out, got) << (c.depth == F ? "float" : "byte") << " in " << c.in[0] << ", matte " << c.matte;
  }
  // The image checks of the render: each row step must hold a whole row.
  EXPECT_TRUE(kesto::rows_fit(16, PixelRect{0, 0, 4, 2}, PixelDepth::Byte));
  EXPECT_TRUE(kesto::rows_fit(-16, PixelRect{0, 0, 4, 2}, PixelDepth::Byte));
  EXPECT_FALSE(kesto::rows_fit(15, PixelRect{0, 0, 4, 2}, PixelDepth::Byte));
  EXPECT_FALSE(kesto::rows_fit(16, PixelRect{0, 0, 4, 2}, PixelDepth::Float));
  EXPECT_TRUE(kesto::rows_fit(64, PixelRect{0, 0, 4, 2}, PixelDepth::Float));
  EXPECT_TRUE(kesto::rows_fit(0, PixelRect{0, 0, 0, 2}, PixelDepth::Float));
  EXPECT_FALSE(kesto::rows_fit(0, PixelRect{0, 0, 1, 1}, PixelDepth::Byte));
}

}  // namespace
