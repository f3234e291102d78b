// The pixel loops behind the render. They give bit for bit what the per-pixel formulas in the header give,
// but do the expensive parts once: the matte column of every output column once per call, the matte row
// once per output row (and the row's matte values only when that row changes), and at byte depth every
// possible (source byte, matte byte) result once per process, in a table.

#include "plugin/MatteComposite.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace kesto {
namespace {

constexpr std::size_t kBytePixelBytes = 4;
constexpr std::size_t kFloatPixelBytes = 16;
constexpr int kByteLevels = 256;
constexpr float kByteScale = 255.0f;
// Pixels looked at together when checking for runs of fully transparent or fully opaque matte at byte depth.
constexpr std::int64_t kRunPixels = 16;

// The byte store of one channel: clamp to [0, 1], then trunc(c * 255 + 0.5) in single precision.
std::uint8_t storeByte(float c) {
  if (c > 1.0f) c = 1.0f;
  if (c < 0.0f) c = 0.0f;
  return static_cast<std::uint8_t>(std::trunc(c * kByteScale + 0.5f));
}

float byteToUnit(int b) { return static_cast<float>(b) / kByteScale; }

// One RGBA byte pixel as a 32-bit word with the channels in memory order, whatever the machine's endianness.
std::uint32_t packPixel(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
  const std::uint8_t bytes[4] = {r, g, b, a};
  std::uint32_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

std::uint32_t loadWord(const std::uint8_t *p) {
  std::uint32_t word = 0;
  std::memcpy(&word, p, sizeof word);
  return word;
}

void storeWord(std::uint8_t *p, std::uint32_t word) { std::memcpy(p, &word, sizeof word); }

// Every byte-depth result, computed once with the formulas themselves. A result depends only on the source
// byte and the matte byte, so looking it up is exact.
struct ByteTables {
  std::uint8_t product[kByteLevels * kByteLevels];  // [m * 256 + s]: store(s / 255 * m / 255)
  std::uint32_t outside[kByteLevels];              // Character pixel over a zero source sample, by matte byte
  std::uint32_t matteOnly[kByteLevels];            // (m, m, m, 1) stored, by matte byte
  std::uint32_t opaqueAlpha = 0;                   // alpha byte 255, colour bytes 0
  bool identity = true;         // store(b / 255) == b for every byte: a byte source passes through as it is
  bool zeroMatteClears = true;  // matte byte 0 gives (0, 0, 0, 0) over every source
  bool fullMatteKeeps = true;   // matte byte 255 gives (s.r, s.g, s.b, 255) over every source

  ByteTables() {
    for (int m = 0; m < kByteLevels; ++m) {
      const float mf = byteToUnit(m);
      for (int s = 0; s < kByteLevels; ++s) product[m * kByteLevels + s] = storeByte(byteToUnit(s) * mf);
      const std::uint8_t alpha = storeByte(mf);
      const std::uint8_t overZero = storeByte(0.0f * mf);
      outside[m] = packPixel(overZero, overZero, overZero, alpha);
      matteOnly[m] = packPixel(alpha, alpha, alpha, storeByte(1.0f));
    }
    constexpr int kTop = kByteLevels - 1;
    opaqueAlpha = packPixel(0, 0, 0, kTop);
    for (int s = 0; s < kByteLevels; ++s) {
      if (storeByte(byteToUnit(s)) != s) identity = false;
      if (product[s] != 0) zeroMatteClears = false;
      if (product[kTop * kByteLevels + s] != s) fullMatteKeeps = false;
    }
  }
};

const ByteTables &byteTables() {
  static const ByteTables tables;
  return tables;
}

// Where the matte is sampled for each output column and row. Both use the double formula itself:
// mw * i / W (or mh * rt / H) in double precision, truncated, clamped to the matte.
std::int32_t sampleIndex(std::int32_t matteSize, std::int64_t position, std::int64_t outputSize) {
  const double v = static_cast<double>(matteSize) * static_cast<double>(position) / static_cast<double>(outputSize);
  const double truncated = std::trunc(v);
  if (!(truncated > 0.0)) return 0;
  if (truncated > static_cast<double>(matteSize - 1)) return matteSize - 1;
  return static_cast<std::int32_t>(truncated);
}

struct Geometry {
  std::int64_t width = 0;   // output W
  std::int64_t height = 0;  // output H
  // Output columns [inBegin, inEnd), relative to output x1, that lie inside the source's columns.
  std::int64_t inBegin = 0;
  std::int64_t inEnd = 0;
};

Geometry geometryOf(const ConstImageView &source, const ImageView &output) {
  Geometry g;
  const PixelRect &o = output.bounds;
  const PixelRect &s = source.bounds;
  g.width = std::int64_t{o.x2} - o.x1;
  g.height = std::int64_t{o.y2} - o.y1;
  const std::int64_t begin = std::max<std::int64_t>(s.x1, o.x1) - o.x1;
  const std::int64_t end = std::min<std::int64_t>(s.x2, o.x2) - o.x1;
  if (begin < end) {
    g.inBegin = begin;
    g.inEnd = end;
  }
  return g;
}

std::uint8_t *outputRow(const ImageView &image, std::int64_t y) {
  return static_cast<std::uint8_t *>(image.data) + (y - image.bounds.y1) * image.rowBytes;
}

// The source pixel under output column inBegin of row y, or null when row y is outside the source or no
// column is inside it.
const std::uint8_t *sourceRow(const ConstImageView &source, const ImageView &output, const Geometry &g,
                              std::int64_t y, std::size_t pixelSize) {
  if (g.inBegin >= g.inEnd || y < source.bounds.y1 || y >= source.bounds.y2) return nullptr;
  const std::int64_t x = std::int64_t{output.bounds.x1} + g.inBegin;
  return static_cast<const std::uint8_t *>(source.data) + (y - source.bounds.y1) * source.rowBytes +
         (x - source.bounds.x1) * static_cast<std::int64_t>(pixelSize);
}

// ---- no matte: the source as it is, zero outside it ----

void passThroughRow(std::uint8_t *out, const std::uint8_t *in, const Geometry &g, std::size_t pixelSize) {
  const std::size_t ps = pixelSize;
  if (in == nullptr) {
    std::memset(out, 0, static_cast<std::size_t>(g.width) * ps);
    return;
  }
  std::memset(out, 0, static_cast<std::size_t>(g.inBegin) * ps);
  std::memcpy(out + g.inBegin * ps, in, static_cast<std::size_t>(g.inEnd - g.inBegin) * ps);
  std::memset(out + g.inEnd * ps, 0, static_cast<std::size_t>(g.width - g.inEnd) * ps);
}

void passThroughBytesByTable(std::uint8_t *out, const std::uint8_t *in, const Geometry &g) {
  const std::uint8_t *keep = byteTables().product + (kByteLevels - 1) * kByteLevels;
  std::memset(out, 0, static_cast<std::size_t>(g.width) * kBytePixelBytes);
  if (in == nullptr) return;
  for (std::int64_t i = g.inBegin; i < g.inEnd; ++i) {
    const std::uint8_t *s = in + (i - g.inBegin) * 4;
    std::uint8_t *d = out + i * 4;
    for (int c = 0; c < 4; ++c) d[c] = keep[s[c]];
  }
}

// ---- byte depth with a matte ----

void byteCharacterPixel(const ByteTables &t, std::uint8_t *out, const std::uint8_t *in, std::uint8_t m) {
  const std::uint8_t *row = t.product + m * kByteLevels;
  out[0] = row[in[0]];
  out[1] = row[in[1]];
  out[2] = row[in[2]];
  out[3] = row[kByteLevels - 1];
}

void byteCharacterRow(std::uint8_t *out, const std::uint8_t *in, const std::uint8_t *mcol, const Geometry &g) {
  const ByteTables &t = byteTables();
  const std::int64_t begin = in != nullptr ? g.inBegin : g.width;
  const std::int64_t end = in != nullptr ? g.inEnd : g.width;
  for (std::int64_t i = 0; i < begin; ++i) storeWord(out + i * 4, t.outside[mcol[i]]);
  std::int64_t i = begin;
  // Real mattes are mostly 0 or 255 in long runs: those runs are cleared, or copied with the alpha set.
  for (; i + kRunPixels <= end; i += kRunPixels) {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    std::memcpy(&lo, mcol + i, sizeof lo);
    std::memcpy(&hi, mcol + i + 8, sizeof hi);
    const std::uint8_t *s = in + (i - begin) * 4;
    std::uint8_t *d = out + i * 4;
    if (t.zeroMatteClears && (lo | hi) == 0) {
      std::memset(d, 0, kRunPixels * 4);
    } else if (t.fullMatteKeeps && (lo & hi) == ~std::uint64_t{0}) {
      for (std::int64_t k = 0; k < kRunPixels; ++k) storeWord(d + k * 4, loadWord(s + k * 4) | t.opaqueAlpha);
    } else {
      for (std::int64_t k = 0; k < kRunPixels; ++k) byteCharacterPixel(t, d + k * 4, s + k * 4, mcol[i + k]);
    }
  }
  for (; i < end; ++i) byteCharacterPixel(t, out + i * 4, in + (i - begin) * 4, mcol[i]);
  for (i = end; i < g.width; ++i) storeWord(out + i * 4, t.outside[mcol[i]]);
}

void byteMatteOnlyRow(std::uint8_t *out, const std::uint8_t *mcol, const Geometry &g) {
  const ByteTables &t = byteTables();
  for (std::int64_t i = 0; i < g.width; ++i) storeWord(out + i * 4, t.matteOnly[mcol[i]]);
}

// ---- float depth with a matte ----

void floatCharacterRow(std::uint8_t *out, const std::uint8_t *in, const float *mval, const Geometry &g) {
  const std::int64_t begin = in != nullptr ? g.inBegin : g.width;
  const std::int64_t end = in != nullptr ? g.inEnd : g.width;
  // Outside the source the sample is zero: (0 * m, 0 * m, 0 * m, m), and 0 * m is +0 for every matte value.
  for (std::int64_t i = 0; i < begin; ++i) {
    const float px[4] = {0.0f, 0.0f, 0.0f, mval[i]};
    std::memcpy(out + i * 16, px, sizeof px);
  }
  for (std::int64_t i = begin; i < end; ++i) {
    float px[4];
    std::memcpy(px, in + (i - begin) * 16, sizeof px);
    const float m = mval[i];
    px[0] *= m;
    px[1] *= m;
    px[2] *= m;
    px[3] = m;
    std::memcpy(out + i * 16, px, sizeof px);
  }
  for (std::int64_t i = end; i < g.width; ++i) {
    const float px[4] = {0.0f, 0.0f, 0.0f, mval[i]};
    std::memcpy(out + i * 16, px, sizeof px);
  }
}

void floatMatteOnlyRow(std::uint8_t *out, const float *mval, const Geometry &g) {
  for (std::int64_t i = 0; i < g.width; ++i) {
    const float m = mval[i];
    const float px[4] = {m, m, m, 1.0f};
    std::memcpy(out + i * 16, px, sizeof px);
  }
}

void compositeWithMatte(const ConstImageView &source, const ImageView &output, PixelDepth depth,
                        const GrayMatte &matte, MatteMode mode, const Geometry &g) {
  const std::size_t ps = pixel_bytes(depth);
  std::vector<std::int32_t> columns(static_cast<std::size_t>(g.width));
  for (std::int64_t i = 0; i < g.width; ++i) columns[static_cast<std::size_t>(i)] = sampleIndex(matte.width, i, g.width);
  // The matte values of the current output row; rebuilt only when the matte row changes.
  std::vector<std::uint8_t> mcol(static_cast<std::size_t>(g.width));
  std::vector<float> mval(depth == PixelDepth::Float ? static_cast<std::size_t>(g.width) : 0);
  std::int32_t loadedRow = -1;
  for (std::int64_t i = 0; i < g.height; ++i) {
    const std::int64_t y = output.bounds.y1 + i;
    const std::int32_t my = sampleIndex(matte.height, g.height - 1 - i, g.height);
    if (my != loadedRow) {
      const std::uint8_t *matteRow = matte.bytes.data() + static_cast<std::size_t>(my) * static_cast<std::size_t>(matte.width);
      for (std::size_t k = 0; k < mcol.size(); ++k) mcol[k] = matteRow[columns[k]];
      for (std::size_t k = 0; k < mval.size(); ++k) mval[k] = byteToUnit(mcol[k]);
      loadedRow = my;
    }
    std::uint8_t *out = outputRow(output, y);
    if (mode == MatteMode::MatteOnly) {
      if (depth == PixelDepth::Float) {
        floatMatteOnlyRow(out, mval.data(), g);
      } else {
        byteMatteOnlyRow(out, mcol.data(), g);
      }
      continue;
    }
    const std::uint8_t *in = sourceRow(source, output, g, y, ps);
    if (depth == PixelDepth::Float) {
      floatCharacterRow(out, in, mval.data(), g);
    } else {
      byteCharacterRow(out, in, mcol.data(), g);
    }
  }
}

}  // namespace

std::size_t pixel_bytes(PixelDepth depth) { return depth == PixelDepth::Float ? kFloatPixelBytes : kBytePixelBytes; }

bool rows_fit(std::ptrdiff_t rowBytes, const PixelRect &bounds, PixelDepth depth) {
  const std::int64_t width = std::int64_t{bounds.x2} - bounds.x1;
  const std::int64_t height = std::int64_t{bounds.y2} - bounds.y1;
  if (width <= 0 || height <= 0) return true;
  const std::int64_t rowSpan = rowBytes < 0 ? -static_cast<std::int64_t>(rowBytes) : static_cast<std::int64_t>(rowBytes);
  return rowSpan >= width * static_cast<std::int64_t>(pixel_bytes(depth));
}

void composite_matte(const ConstImageView &source, const ImageView &output, PixelDepth depth,
                     const GrayMatte *matte, MatteMode mode) {
  const Geometry g = geometryOf(source, output);
  if (g.width <= 0 || g.height <= 0) return;
  if (matte != nullptr) {
    compositeWithMatte(source, output, depth, *matte, mode, g);
    return;
  }
  const std::size_t ps = pixel_bytes(depth);
  const bool copyBytes = depth == PixelDepth::Float || byteTables().identity;
  for (std::int64_t i = 0; i < g.height; ++i) {
    const std::int64_t y = output.bounds.y1 + i;
    std::uint8_t *out = outputRow(output, y);
    const std::uint8_t *in = sourceRow(source, output, g, y, ps);
    if (copyBytes) {
      passThroughRow(out, in, g, ps);
    } else {
      passThroughBytesByTable(out, in, g);
    }
  }
}

}  // namespace kesto
