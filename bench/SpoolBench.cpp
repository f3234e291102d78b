// Spool speed: a 3840 x 2160 float clip spooled as the launch does it (each frame resampled to 1920 x 1080
// on the calling thread, then JPEG-encoded and written), on one thread and with two encoder threads, against
// a floor measured in the same run: the same resample and encode of the same frames in memory, no files and
// no overlap, each of the same number of threads taking every n-th frame.
//
// The host's own fetch is not in the loop: the frame is served from memory, as a host hands out a pointer
// to its image. The repetitions of the four runs are interleaved in random order, so a change in the
// machine's load touches spool and floor alike. Figures:
//   spool.frames_per_s.1thread / .2threads  20-frame clip, median of the repetitions
//   spool.speedup                            2threads / 1thread
//   spool.floor_frames_per_s.1thread / .2threads   the floor, median of the repetitions
//   spool.vs_floor.1thread / spool.vs_floor  spool time over floor time, one thread / two threads
//   spool.resample_ms_per_frame / spool.encode_ms_per_frame   the 1-thread floor's two steps, median
//   spool.peak_rss_mb.20 / .200              peak resident memory of a child process that spools a 20-frame
//                                            and a 200-frame clip with two encoder threads (getrusage of the
//                                            child via wait4), so the clip length is the only difference
//   spool.frames_per_s.2threads.200          the 200-frame child's rate
//   spool.cpu_per_wall.1thread / .2threads   process CPU time over wall time: near 1 and 2 on an idle
//                                            two-core machine; lower values mean other processes took the
//                                            cores and the speedup cannot show
//   spool.speedup_bound.2cores               what two free cores allow, from CPU times of the 2-thread run:
//                                            process CPU / max(calling thread's CPU, process CPU / 2); a
//                                            model, printed beside the measured speedup

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench/InterleavedRun.h"
#include "image/JpegEncoder.h"
#include "plugin/SpoolImage.h"
#include "plugin/Spooler.h"

namespace {

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;
constexpr int kShortClip = 20;
constexpr int kLongClip = 200;
constexpr int kRepetitions = 5;
constexpr const char *kChildFlag = "--spool-child=";

// A UHD float frame that looks like footage to the encoder: smooth gradients, a soft disc, mild noise.
std::vector<float> makeFrame() {
  std::vector<float> pixels(static_cast<std::size_t>(kWidth) * kHeight * 4);
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      float *p = &pixels[(static_cast<std::size_t>(y) * kWidth + x) * 4];
      const float dx = (x - kWidth * 0.5f) / kHeight;
      const float dy = (y - kHeight * 0.5f) / kHeight;
      const float disc = std::exp(-(dx * dx + dy * dy) * 8.0f);
      p[0] = static_cast<float>(x) / kWidth + noise(rng);
      p[1] = static_cast<float>(y) / kHeight * 0.8f + disc * 0.3f + noise(rng);
      p[2] = 0.5f + 0.5f * std::sin(static_cast<float>(x + y) * 0.003f) + noise(rng);
      p[3] = 1.0f;
    }
  }
  return pixels;
}

const std::vector<float> &frame() {
  static const std::vector<float> pixels = makeFrame();
  return pixels;
}

kesto::SourceImage sourceImage() {
  kesto::SourceImage image;
  image.bottomRow = frame().data();
  image.width = kWidth;
  image.height = kHeight;
  image.rowBytes = static_cast<std::ptrdiff_t>(kWidth) * 4 * sizeof(float);
  image.isFloat = true;
  return image;
}

class SpoolFolder {
 public:
  SpoolFolder() {
    char pattern[] = "/tmp/trevane-bench-spool-XXXXXX";
    const char *made = ::mkdtemp(pattern);
    path_ = made != nullptr ? std::string(made) + "/" : std::string();
  }
  ~SpoolFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string &path() const { return path_; }
  void empty() const {
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(path_, ignored)) {
      std::filesystem::remove(entry.path(), ignored);
    }
  }

 private:
  std::string path_;
};

bool spoolClip(int frames, int threads, const std::string &dir) {
  const kesto::SourceImage source = sourceImage();
  const auto failure = kesto::spool_frames(
      frames, [&](std::int32_t) { return std::optional<kesto::RgbaFrame>(kesto::resample_upright(source)); }, dir,
      threads);
  return !failure;
}

double threadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// CPU time of every thread of the process so far, in seconds.
double processCpuSeconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_SpoolClip(benchmark::State &state) {
  const int threads = static_cast<int>(state.range(0));
  const SpoolFolder folder;
  frame();  // made before timing
  double cpuSeconds = 0.0;
  double callingThreadSeconds = 0.0;
  double wallSeconds = 0.0;
  for (auto _ : state) {
    const double cpuBefore = processCpuSeconds();
    const double threadBefore = threadCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    if (!spoolClip(kShortClip, threads, folder.path())) {
      state.SkipWithError("spooling failed");
      return;
    }
    state.PauseTiming();
    callingThreadSeconds += threadCpuSeconds() - threadBefore;
    cpuSeconds += processCpuSeconds() - cpuBefore;
    wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    folder.empty();
    state.ResumeTiming();
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(kShortClip), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["cpu_per_wall"] = wallSeconds > 0.0 ? cpuSeconds / wallSeconds : 0.0;
  const double bound = std::max(callingThreadSeconds, cpuSeconds / 2.0);
  state.counters["speedup_bound"] = bound > 0.0 ? cpuSeconds / bound : 0.0;
}

BENCHMARK(BM_SpoolClip)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(kRepetitions)
    ->UseRealTime();

struct StepSeconds {
  double resample = 0.0;
  double encode = 0.0;
};

// The floor's share of one thread: frames first, first + threads, ... resampled and encoded in memory.
bool floorFrames(int first, int threads, StepSeconds &steps) {
  const kesto::SourceImage source = sourceImage();
  kesto::JpegEncoder encoder;
  for (int i = first; i < kShortClip; i += threads) {
    const double before = threadCpuSeconds();
    const kesto::RgbaFrame picture = kesto::resample_upright(source);
    const double resampled = threadCpuSeconds();
    const std::vector<std::uint8_t> jpeg =
        encoder.encode(picture.pixels.data(), picture.width, picture.height, kesto::kSpoolJpegQuality);
    steps.resample += resampled - before;
    steps.encode += threadCpuSeconds() - resampled;
    if (jpeg.empty()) return false;
  }
  return true;
}

bool floorClip(int threads, StepSeconds &steps) {
  if (threads <= 1) return floorFrames(0, 1, steps);
  std::vector<StepSeconds> perThread(static_cast<std::size_t>(threads));
  std::vector<char> ok(static_cast<std::size_t>(threads), 0);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] { ok[static_cast<std::size_t>(t)] = floorFrames(t, threads, perThread[static_cast<std::size_t>(t)]); });
  }
  for (std::thread &thread : pool) thread.join();
  for (const StepSeconds &share : perThread) {
    steps.resample += share.resample;
    steps.encode += share.encode;
  }
  return std::all_of(ok.begin(), ok.end(), [](char done) { return done != 0; });
}

void BM_Floor(benchmark::State &state) {
  const int threads = static_cast<int>(state.range(0));
  frame();  // made before timing
  double cpuSeconds = 0.0;
  double wallSeconds = 0.0;
  StepSeconds steps;
  for (auto _ : state) {
    const double cpuBefore = processCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    if (!floorClip(threads, steps)) {
      state.SkipWithError("encoding failed");
      return;
    }
    cpuSeconds += processCpuSeconds() - cpuBefore;
    wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  }
  const double frames = static_cast<double>(kShortClip) * static_cast<double>(state.iterations());
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(kShortClip), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["cpu_per_wall"] = wallSeconds > 0.0 ? cpuSeconds / wallSeconds : 0.0;
  state.counters["resample_ms"] = steps.resample * 1000.0 / frames;
  state.counters["encode_ms"] = steps.encode * 1000.0 / frames;
}

BENCHMARK(BM_Floor)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(kRepetitions)
    ->UseRealTime();

// Keeps the median real time and counters of every benchmark, by name: "BM_SpoolClip/2", "BM_Floor/1".
class MedianKeeper : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        Median &median = medians_[run.run_name.function_name + "/" + run.run_name.args];
        median.ms = run.GetAdjustedRealTime();
        for (const auto &counter : run.counters) median.counters[counter.first] = counter.second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double medianMs(const std::string &name) const {
    const auto it = medians_.find(name);
    return it == medians_.end() ? 0.0 : it->second.ms;
  }
  double counter(const std::string &name, const std::string &counterName) const {
    const auto it = medians_.find(name);
    if (it == medians_.end()) return 0.0;
    const auto value = it->second.counters.find(counterName);
    return value == it->second.counters.end() ? 0.0 : value->second;
  }

 private:
  struct Median {
    double ms = 0.0;
    std::map<std::string, double> counters;
  };
  std::map<std::string, Median> medians_;
};

// The child: spools `frames` frames with two encoder threads and prints the seconds it took.
int runChild(int frames) {
  frame();
  const SpoolFolder folder;
  const auto start = std::chrono::steady_clock::now();
  if (!spoolClip(frames, 2, folder.path())) return 1;
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%.6f\n", took.count());
  return 0;
}

struct ChildFigures {
  double peakRssMb = 0.0;
  double seconds = 0.0;
};

// Runs this program again as a child that spools `frames` frames; its peak RSS comes from wait4.
ChildFigures measureChild(int frames) {
  ChildFigures figures;
  int out[2];
  if (::pipe(out) != 0) return figures;
  const std::string flag = kChildFlag + std::to_string(frames);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    char *const argv[] = {const_cast<char *>("bench_spool"), const_cast<char *>(flag.c_str()), nullptr};
    ::execv("/proc/self/exe", argv);
    std::_Exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  struct rusage usage {};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return figures;
  }
  figures.peakRssMb = static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
  figures.seconds = std::atof(text.c_str());
  return figures;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strncmp(argv[1], kChildFlag, std::strlen(kChildFlag)) == 0) {
    return runChild(std::atoi(argv[1] + std::strlen(kChildFlag)));
  }
  MedianKeeper reporter;
  if (const int status = runInterleaved(argc, argv, reporter)) return status;

  const double oneMs = reporter.medianMs("BM_SpoolClip/1");
  const double twoMs = reporter.medianMs("BM_SpoolClip/2");
  const double floorOneMs = reporter.medianMs("BM_Floor/1");
  const double floorTwoMs = reporter.medianMs("BM_Floor/2");
  const ChildFigures shortClip = measureChild(kShortClip);
  const ChildFigures longClip = measureChild(kLongClip);
  const auto rate = [](double ms) { return kShortClip * 1000.0 / ms; };
  if (oneMs > 0.0) std::printf("spool.frames_per_s.1thread: %.2f\n", rate(oneMs));
  if (twoMs > 0.0) std::printf("spool.frames_per_s.2threads: %.2f\n", rate(twoMs));
  if (oneMs > 0.0 && twoMs > 0.0) std::printf("spool.speedup: %.3f\n", oneMs / twoMs);
  if (floorOneMs > 0.0) std::printf("spool.floor_frames_per_s.1thread: %.2f\n", rate(floorOneMs));
  if (floorTwoMs > 0.0) std::printf("spool.floor_frames_per_s.2threads: %.2f\n", rate(floorTwoMs));
  if (oneMs > 0.0 && floorOneMs > 0.0) std::printf("spool.vs_floor.1thread: %.3f\n", oneMs / floorOneMs);
  if (twoMs > 0.0 && floorTwoMs > 0.0) std::printf("spool.vs_floor: %.3f\n", twoMs / floorTwoMs);
  std::printf("spool.resample_ms_per_frame: %.2f\nspool.encode_ms_per_frame: %.2f\n",
              reporter.counter("BM_Floor/1", "resample_ms"), reporter.counter("BM_Floor/1", "encode_ms"));
  std::printf("spool.peak_rss_mb.%d: %.1f\n", kShortClip, shortClip.peakRssMb);
  std::printf("spool.peak_rss_mb.%d: %.1f\n", kLongClip, longClip.peakRssMb);
  std::printf("spool.cpu_per_wall.1thread: %.2f\nspool.cpu_per_wall.2threads: %.2f\n",
              reporter.counter("BM_SpoolClip/1", "cpu_per_wall"), reporter.counter("BM_SpoolClip/2", "cpu_per_wall"));
  std::printf("spool.floor_cpu_per_wall.2threads: %.2f\n", reporter.counter("BM_Floor/2", "cpu_per_wall"));
  std::printf("spool.speedup_bound.2cores: %.3f\n", reporter.counter("BM_SpoolClip/2", "speedup_bound"));
  if (longClip.seconds > 0.0) {
    std::printf("spool.frames_per_s.2threads.%d: %.2f\n", kLongClip, kLongClip / longClip.seconds);
  }
  return 0;
}
