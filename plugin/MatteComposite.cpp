// The pixel loops behind the render. They give bit for bit what the per-pixel formulas in the header give,
// but do the expensive parts once: the matte column of every output column once per call, the matte row
// once per output row (and the row's matte values only when that row changes), and at byte depth every
// possible (source byte, matte byte) result once per process, in a table. At byte depth, runs of output
// columns under a matte that is all 0 or all 255 skip the per-pixel work, and large frames are written with
// stores that bypass the cache.

#include "plugin/MatteComposite.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kesto {
namespace {

constexpr std::size_t kBytePixelBytes = 4;
constexpr std::size_t kFloatPixelBytes = 16;
constexpr int kByteLevels = 256;
constexpr float kByteScale = 255.0f;
// Byte outputs at least this large are written with streaming stores where the CPU has them: such a frame
// does not stay in the cache anyway, and plain stores would first read every line they write.
constexpr std::size_t kStreamingMinFrameBytes = std::size_t{16} << 20;
constexpr std::size_t kStreamBlockBytes = 16;
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

// ---- the matte as the output sees it ----

std::uint64_t load64(const std::uint8_t *p) {
  std::uint64_t v = 0;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// What the matte holds over one run of kRunPixels output columns of the current row.
enum class Run : std::uint8_t { Mixed, Clear, Opaque };

// Whether matte bytes [lo, hi] of a row are all 0, all 255, or neither. Spans of 4 to 16 bytes (every
// span when the output is at least as wide as the matte) cost two overlapping loads within the span.
Run classifySpan(const std::uint8_t *row, std::int32_t lo, std::int32_t hi) {
  const std::int64_t n = std::int64_t{hi} - lo + 1;
  const std::uint8_t *p = row + lo;
  if (n >= 8 && n <= 16) {
    const std::uint64_t a = load64(p);
    const std::uint64_t b = load64(p + n - 8);
    if ((a | b) == 0) return Run::Clear;
    if ((a & b) == ~std::uint64_t{0}) return Run::Opaque;
    return Run::Mixed;
  }
  if (n >= 4 && n < 8) {
    const std::uint32_t a = loadWord(p);
    const std::uint32_t b = loadWord(p + n - 4);
    if ((a | b) == 0) return Run::Clear;
    if ((a & b) == ~std::uint32_t{0}) return Run::Opaque;
    return Run::Mixed;
  }
  std::uint8_t any = 0;
  std::uint8_t all = 0xFF;
  for (std::int64_t k = 0; k < n; ++k) {
    any = static_cast<std::uint8_t>(any | p[k]);
    all = static_cast<std::uint8_t>(all & p[k]);
  }
  if (any == 0) return Run::Clear;
  if (all == 0xFF) return Run::Opaque;
  return Run::Mixed;
}

// For each output column its matte column (once per call), and for the current output row the matte row,
// plus what the byte and float loops need from it, rebuilt only when the matte row changes.
class MatteSampler {
 public:
  MatteSampler(const GrayMatte &matte, const Geometry &g, bool wantFloats, bool wantRuns)
      : matte_(matte), g_(g), columns_(static_cast<std::size_t>(g.width)),
        floats_(wantFloats ? static_cast<std::size_t>(g.width) : 0),
        runs_(wantRuns ? static_cast<std::size_t>(g.width / kRunPixels) : 0) {
    for (std::int64_t i = 0; i < g.width; ++i) columns_[static_cast<std::size_t>(i)] = sampleIndex(matte.width, i, g.width);
    for (int b = 0; b < kByteLevels; ++b) unit_[b] = byteToUnit(b);
  }

  // Output row i counted from the bottom of the output (y = y1 + i).
  void selectRow(std::int64_t i) {
    const std::int32_t my = sampleIndex(matte_.height, g_.height - 1 - i, g_.height);
    if (my == loadedRow_) return;
    loadedRow_ = my;
    row_ = matte_.bytes.data() + static_cast<std::size_t>(my) * static_cast<std::size_t>(matte_.width);
    for (std::size_t k = 0; k < floats_.size(); ++k) floats_[k] = unit_[row_[columns_[k]]];
    if (runs_.empty()) return;
    const ByteTables &t = byteTables();
    for (std::size_t c = 0; c < runs_.size(); ++c) {
      const std::int32_t lo = columns_[c * kRunPixels];
      const std::int32_t hi = columns_[c * kRunPixels + kRunPixels - 1];
      Run run = classifySpan(row_, lo, hi);
      if ((run == Run::Clear && !t.zeroMatteClears) || (run == Run::Opaque && !t.fullMatteKeeps)) run = Run::Mixed;
      runs_[c] = run;
    }
  }

  // Matte byte under output column i of the selected row.
  std::uint8_t at(std::int64_t i) const { return row_[columns_[static_cast<std::size_t>(i)]]; }
  const float *floats() const { return floats_.data(); }
  // Runs cover output columns [c * kRunPixels, (c + 1) * kRunPixels) for every whole run in the width.
  const Run *runs() const { return runs_.data(); }
  std::int64_t runCount() const { return static_cast<std::int64_t>(runs_.size()); }

 private:
  const GrayMatte &matte_;
  Geometry g_;
  std::vector<std::int32_t> columns_;
  std::vector<float> floats_;
  std::vector<Run> runs_;
  float unit_[kByteLevels];
  const std::uint8_t *row_ = nullptr;
  std::int32_t loadedRow_ = -1;
};

// ---- byte depth with a matte ----

void byteCharacterPixel(const ByteTables &t, std::uint8_t *out, const std::uint8_t *in, std::uint8_t m) {
  const std::uint8_t *row = t.product + m * kByteLevels;
  out[0] = row[in[0]];
  out[1] = row[in[1]];
  out[2] = row[in[2]];
  out[3] = row[kByteLevels - 1];
}

void byteOutsidePixels(const ByteTables &t, std::uint8_t *out, const MatteSampler &ms, std::int64_t from,
                       std::int64_t to) {
  for (std::int64_t i = from; i < to; ++i) storeWord(out + i * 4, t.outside[ms.at(i)]);
}

// Output columns [from, to) over source pixels; `in` is the source pixel under column `begin`.
void byteInsidePixels(const ByteTables &t, std::uint8_t *out, const std::uint8_t *in, std::int64_t begin,
                      const MatteSampler &ms, std::int64_t from, std::int64_t to) {
  for (std::int64_t i = from; i < to; ++i) byteCharacterPixel(t, out + i * 4, in + (i - begin) * 4, ms.at(i));
}

// Zero-fills `n` bytes of the output; `streaming` asks for stores that bypass the cache (see
// kStreamingMinFrameBytes), which then need one fence before the image is handed back (endStreaming).
void clearBytes(std::uint8_t *p, std::size_t n, bool streaming) {
#if defined(__SSE2__)
  if (streaming && n >= 4 * kStreamBlockBytes) {
    const std::size_t head = (kStreamBlockBytes - reinterpret_cast<std::uintptr_t>(p) % kStreamBlockBytes) % kStreamBlockBytes;
    std::memset(p, 0, head);
    p += head;
    n -= head;
    const __m128i zero = _mm_setzero_si128();
    for (; n >= kStreamBlockBytes; p += kStreamBlockBytes, n -= kStreamBlockBytes) {
      _mm_stream_si128(reinterpret_cast<__m128i *>(p), zero);
    }
  }
#else
  (void)streaming;
#endif
  std::memset(p, 0, n);
}

// Streaming stores are weakly ordered: make them visible before the host (maybe on another thread) reads.
void endStreaming(bool streaming) {
#if defined(__SSE2__)
  if (streaming) _mm_sfence();
#else
  (void)streaming;
#endif
}

// Stores one run of kRunPixels finished pixels; with `streaming`, bypassing the cache when the address is
// aligned for it.
void storeRun(std::uint8_t *d, const std::uint32_t *px, bool streaming) {
#if defined(__SSE2__)
  if (streaming && reinterpret_cast<std::uintptr_t>(d) % kStreamBlockBytes == 0) {
    constexpr std::int64_t kPixelsPerBlock = kStreamBlockBytes / 4;
    for (std::int64_t k = 0; k < kRunPixels; k += kPixelsPerBlock) {
      _mm_stream_si128(reinterpret_cast<__m128i *>(d + k * 4),
                       _mm_loadu_si128(reinterpret_cast<const __m128i *>(px + k)));
    }
    return;
  }
#else
  (void)streaming;
#endif
  std::memcpy(d, px, kRunPixels * 4);
}

// Output columns [from, to), whole runs, under a fully opaque matte: the source colour with the alpha set.
void byteOpaqueRuns(const ByteTables &t, std::uint8_t *out, const std::uint8_t *in, std::int64_t begin,
                    std::int64_t from, std::int64_t to, bool streaming) {
  for (std::int64_t i = from; i < to; i += kRunPixels) {
    std::uint32_t px[kRunPixels];
    std::memcpy(px, in + (i - begin) * 4, sizeof px);
    for (std::uint32_t &p : px) p |= t.opaqueAlpha;
    storeRun(out + i * 4, px, streaming);
  }
}

// Output columns [from, to), whole runs, under a matte with values between: every pixel from the table.
void byteMixedRuns(const ByteTables &t, std::uint8_t *out, const std::uint8_t *in, std::int64_t begin,
                   const MatteSampler &ms, std::int64_t from, std::int64_t to, bool streaming) {
  for (std::int64_t i = from; i < to; i += kRunPixels) {
    std::uint8_t px[kRunPixels * 4];
    for (std::int64_t k = 0; k < kRunPixels; ++k) byteCharacterPixel(t, px + k * 4, in + (i + k - begin) * 4, ms.at(i + k));
    std::uint32_t words[kRunPixels];
    std::memcpy(words, px, sizeof words);
    storeRun(out + i * 4, words, streaming);
  }
}

void byteCharacterRow(std::uint8_t *out, const std::uint8_t *in, const MatteSampler &ms, const Geometry &g,
                      bool streaming) {
  const ByteTables &t = byteTables();
  const std::int64_t begin = in != nullptr ? g.inBegin : g.width;
  const std::int64_t end = in != nullptr ? g.inEnd : g.width;
  byteOutsidePixels(t, out, ms, 0, begin);
  // Whole runs inside [begin, end): real mattes are mostly 0 or 255 in long stretches, which are cleared,
  // or copied with the alpha set, without looking at single pixels.
  const std::int64_t firstRun = std::min((begin + kRunPixels - 1) / kRunPixels, ms.runCount());
  const std::int64_t endRun = std::min(end / kRunPixels, ms.runCount());
  if (firstRun >= endRun) {
    byteInsidePixels(t, out, in, begin, ms, begin, end);
  } else {
    byteInsidePixels(t, out, in, begin, ms, begin, firstRun * kRunPixels);
    const Run *runs = ms.runs();
    std::int64_t c = firstRun;
    while (c < endRun) {
      // A stretch of runs of one kind is handled in one go.
      const Run kind = runs[c];
      std::int64_t stretchEnd = c + 1;
      while (stretchEnd < endRun && runs[stretchEnd] == kind) ++stretchEnd;
      const std::int64_t from = c * kRunPixels;
      const std::int64_t to = stretchEnd * kRunPixels;
      switch (kind) {
        case Run::Clear: clearBytes(out + from * 4, static_cast<std::size_t>(to - from) * 4, streaming); break;
        case Run::Opaque: byteOpaqueRuns(t, out, in, begin, from, to, streaming); break;
        case Run::Mixed: byteMixedRuns(t, out, in, begin, ms, from, to, streaming); break;
      }
      c = stretchEnd;
    }
    byteInsidePixels(t, out, in, begin, ms, endRun * kRunPixels, end);
  }
  byteOutsidePixels(t, out, ms, end, g.width);
}

void byteMatteOnlyRow(std::uint8_t *out, const MatteSampler &ms, const Geometry &g) {
  const ByteTables &t = byteTables();
  for (std::int64_t i = 0; i < g.width; ++i) storeWord(out + i * 4, t.matteOnly[ms.at(i)]);
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
  const bool isFloat = depth == PixelDepth::Float;
  MatteSampler ms(matte, g, isFloat, !isFloat && mode == MatteMode::Character);
  const std::size_t ps = pixel_bytes(depth);
  const bool streaming = !isFloat && static_cast<std::size_t>(g.width) * static_cast<std::size_t>(g.height) * ps >=
                                          kStreamingMinFrameBytes;
  for (std::int64_t i = 0; i < g.height; ++i) {
    const std::int64_t y = output.bounds.y1 + i;
    ms.selectRow(i);
    std::uint8_t *out = outputRow(output, y);
    if (mode == MatteMode::MatteOnly) {
      if (isFloat) {
        floatMatteOnlyRow(out, ms.floats(), g);
      } else {
        byteMatteOnlyRow(out, ms, g);
      }
      continue;
    }
    const std::uint8_t *in = sourceRow(source, output, g, y, ps);
    if (isFloat) {
      floatCharacterRow(out, in, ms.floats(), g);
    } else {
      byteCharacterRow(out, in, ms, g, streaming);
    }
  }
  endStreaming(streaming);
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
