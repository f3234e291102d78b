// Render speed: one UHD output frame (3840 x 2160) in "Character (RGBA)" mode from a 1920 x 1080 matte that
// is already in the matte cache, at byte and at float depth, on one thread, against a plain memcpy of the
// source frame into the output buffer (the same bytes read and written, the matte aside).
//
// Each render iteration does what the render action does after fetching the host's images: one cache hit
// for the frame's matte, then the pixel processor. The host itself is not in the loop.
// Ends with one "NAME: VALUE" line per figure: render.<depth>.vs_memcpy is (time of one render) / (time of
// one copy), medians of the repetitions. Times are CPU times of the one benchmark thread.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <OpenImageIO/imageio.h>

#include "bench/InterleavedRun.h"
#include "plugin/MatteComposite.h"
#include "plugin/MatteStore.h"

namespace {

constexpr int kOutputWidth = 3840;
constexpr int kOutputHeight = 2160;
constexpr int kMatteWidth = 1920;
constexpr int kMatteHeight = 1080;
constexpr int kRepetitions = 9;
constexpr double kPi = 3.14159265358979323846;

// A soft-edged upright ellipse, like a person cut out of a frame: about 18% of the pixels fully inside
// (255), 2% in a soft edge band, the rest 0.
std::vector<std::uint8_t> blobMatte() {
  std::vector<std::uint8_t> gray(static_cast<std::size_t>(kMatteWidth) * kMatteHeight);
  constexpr double kInsideFraction = 0.18;
  constexpr double kEdgeFraction = 0.02;
  const double insideArea = kInsideFraction * kMatteWidth * kMatteHeight;
  const double semiY = 0.47 * kMatteHeight;
  const double semiX = insideArea / (kPi * semiY);
  const double edge = std::sqrt((kInsideFraction + kEdgeFraction) / kInsideFraction) - 1.0;
  for (int y = 0; y < kMatteHeight; ++y) {
    for (int x = 0; x < kMatteWidth; ++x) {
      const double dx = (x + 0.5 - kMatteWidth / 2.0) / semiX;
      const double dy = (y + 0.5 - kMatteHeight / 2.0) / semiY;
      const double d = std::sqrt(dx * dx + dy * dy);
      const double v = std::clamp((1.0 + edge - d) / edge, 0.0, 1.0);
      gray[static_cast<std::size_t>(y) * kMatteWidth + x] = static_cast<std::uint8_t>(std::lround(v * 255.0));
    }
  }
  return gray;
}

bool writeGrayPng(const std::string &path, const std::vector<std::uint8_t> &gray) {
  std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create("png");
  const OIIO::ImageSpec spec(kMatteWidth, kMatteHeight, 1, OIIO::TypeDesc::UINT8);
  if (!out || !out->open(path, spec)) return false;
  const bool written = out->write_image(OIIO::TypeDesc::UINT8, gray.data());
  return out->close() && written;
}

// The matte file in a folder of its own, fetched once so that it sits in the cache; removed at exit.
struct CachedMatte {
  std::string folder;
  std::string path;
  kesto::SharedMatte matte;
  CachedMatte() {
    folder = std::string(kesto::kMatteRoot) + "bench-render-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    path = kesto::matte_path(folder.substr(std::strlen(kesto::kMatteRoot)), 0);
    const std::vector<std::uint8_t> gray = blobMatte();
    if (writeGrayPng(path, gray)) matte = kesto::fetch_matte(path);
  }
  ~CachedMatte() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
};

CachedMatte &cachedMatte() {
  static CachedMatte matte;
  return matte;
}

struct Frames {
  std::vector<std::uint8_t> source;
  std::vector<std::uint8_t> output;
  std::size_t rowBytes = 0;
};

Frames makeFrames(kesto::PixelDepth depth) {
  Frames f;
  f.rowBytes = static_cast<std::size_t>(kOutputWidth) * kesto::pixel_bytes(depth);
  f.source.resize(f.rowBytes * kOutputHeight);
  f.output.assign(f.rowBytes * kOutputHeight, 0);  // touched now, so no page faults are timed
  std::mt19937 rng(42);
  if (depth == kesto::PixelDepth::Byte) {
    for (std::uint8_t &b : f.source) b = static_cast<std::uint8_t>(rng());
  } else {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (std::size_t i = 0; i < f.source.size(); i += sizeof(float)) {
      const float v = unit(rng);
      std::memcpy(&f.source[i], &v, sizeof v);
    }
  }
  return f;
}

void renderFrame(benchmark::State &state, kesto::PixelDepth depth) {
  Frames f = makeFrames(depth);
  const CachedMatte &cached = cachedMatte();
  if (!cached.matte) {
    state.SkipWithError("the matte file could not be written or read");
    return;
  }
  const kesto::PixelRect bounds{0, 0, kOutputWidth, kOutputHeight};
  const auto rowBytes = static_cast<std::ptrdiff_t>(f.rowBytes);
  for (auto _ : state) {
    const kesto::SharedMatte matte = kesto::fetch_matte(cached.path);
    kesto::composite_matte(kesto::ConstImageView{f.source.data(), rowBytes, bounds},
                           kesto::ImageView{f.output.data(), rowBytes, bounds}, depth, matte.get(),
                           kesto::MatteMode::Character);
    benchmark::DoNotOptimize(f.output.data());
    benchmark::ClobberMemory();
  }
}

void copyFrame(benchmark::State &state, kesto::PixelDepth depth) {
  Frames f = makeFrames(depth);
  for (auto _ : state) {
    std::memcpy(f.output.data(), f.source.data(), f.source.size());
    benchmark::DoNotOptimize(f.output.data());
    benchmark::ClobberMemory();
  }
}

void BM_RenderByte(benchmark::State &state) { renderFrame(state, kesto::PixelDepth::Byte); }
void BM_CopyByte(benchmark::State &state) { copyFrame(state, kesto::PixelDepth::Byte); }
void BM_RenderFloat(benchmark::State &state) { renderFrame(state, kesto::PixelDepth::Float); }
void BM_CopyFloat(benchmark::State &state) { copyFrame(state, kesto::PixelDepth::Float); }

BENCHMARK(BM_CopyByte)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_RenderByte)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_CopyFloat)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_RenderFloat)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);

// Passes everything to the console and keeps the median CPU time per iteration of each benchmark.
class MedianKeeper : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medianMs_[run.run_name.function_name] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double medianMs(const std::string &name) const {
    const auto it = medianMs_.find(name);
    return it == medianMs_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> medianMs_;
};

void printRatio(const char *name, double render, double copy) {
  if (render > 0.0 && copy > 0.0) std::printf("%s: %.3f\n", name, render / copy);
}

void printMatteMix() {
  const CachedMatte &cached = cachedMatte();
  if (!cached.matte) return;
  std::size_t zero = 0;
  std::size_t full = 0;
  for (std::uint8_t b : cached.matte->bytes) {
    zero += b == 0;
    full += b == 255;
  }
  const double n = static_cast<double>(cached.matte->bytes.size());
  std::printf("matte.fraction_0: %.3f\nmatte.fraction_255: %.3f\nmatte.fraction_between: %.3f\n", zero / n,
              full / n, 1.0 - (zero + full) / n);
}

}  // namespace

int main(int argc, char **argv) {
  // The render and the copy under the same load: repetitions interleaved.
  MedianKeeper reporter;
  if (const int status = runInterleaved(argc, argv, reporter)) return status;

  printMatteMix();
  std::printf("memcpy.byte.ms: %.3f\nrender.byte.ms: %.3f\n", reporter.medianMs("BM_CopyByte"),
              reporter.medianMs("BM_RenderByte"));
  std::printf("memcpy.float.ms: %.3f\nrender.float.ms: %.3f\n", reporter.medianMs("BM_CopyFloat"),
              reporter.medianMs("BM_RenderFloat"));
  printRatio("render.byte.vs_memcpy", reporter.medianMs("BM_RenderByte"), reporter.medianMs("BM_CopyByte"));
  printRatio("render.float.vs_memcpy", reporter.medianMs("BM_RenderFloat"), reporter.medianMs("BM_CopyFloat"));
  return 0;
}
