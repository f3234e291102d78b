// trevane render: renders an image sequence through the plug-in, with parameter values given on the command
// line, into a PNG sequence.
//
// Frame number N of the input is served to the plug-in at time N and written as frame N of the output.
// Frames are decoded a batch at a time (one frame per render thread), so memory stays bounded for long
// sequences.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/FrameSequence.h"
#include "cli/ParamSettings.h"
#include "cli/PluginInstance.h"
#include "cli/SequenceOptions.h"
#include "cli/SequenceOutput.h"
#include "host/Host.h"
#include "image/RgbaFile.h"

namespace trevane::cli {
namespace {


constexpr int kMaxThreads = 64;

struct RenderOptionsCli {
  std::string input;
  std::string output;
  host::PixelDepth depth = host::PixelDepth::Byte;
  std::optional<long long> first;
  std::optional<long long> last;
  double rateFps = kDefaultRateFps;
  int threads = 1;
  std::vector<ParamSetting> settings;
  std::string bundle;
};

long long parseFrameNumber(const std::string &option, const std::string &text) {
  const int value = parseInt(option, text);
  if (value < 0) throw UsageError("--" + option + ": frame numbers start at 0");
  return value;
}

RenderOptionsCli readOptions(Args &args) {
  RenderOptionsCli o;
  const std::optional<std::string> input = args.value("input");
  const std::optional<std::string> output = args.value("output");
  const std::optional<std::string> depth = args.value("depth");
  const std::optional<std::string> first = args.value("first");
  const std::optional<std::string> last = args.value("last");
  const std::optional<std::string> rate = args.value("rate");
  const std::optional<std::string> threads = args.value("threads");
  o.settings = parseParamSettings(args.values("set"));
  o.bundle = args.value("bundle").value_or(defaultBundlePath());
  args.finish();

  o.input = requiredValue(input, "--input SEQUENCE");
  o.output = requiredValue(output, "--output SEQUENCE");
  if (depth) {
    const std::optional<host::PixelDepth> named = pixelDepthNamed(*depth);
    if (!named) throw UsageError("--depth: '" + *depth + "' is neither byte nor float");
    o.depth = *named;
  }
  if (first) o.first = parseFrameNumber("first", *first);
  if (last) o.last = parseFrameNumber("last", *last);
  if (rate) o.rateFps = parseRateFps(*rate);
  if (threads) {
    o.threads = parseInt("threads", *threads);
    if (o.threads < 1 || o.threads > kMaxThreads) {
      throw UsageError("--threads: between 1 and " + std::to_string(kMaxThreads));
    }
  }
  return o;
}

class Progress {
 public:
  explicit Progress(std::size_t total) : total_(total), bar_(interactiveOutput()) {}
  void frameWritten(const std::string &path) {
    ++done_;
    if (bar_) {
      constexpr std::size_t kBarCells = 30;
      const std::size_t filled = total_ == 0 ? kBarCells : done_ * kBarCells / total_;
      std::printf("\r[%s%s] %zu/%zu", std::string(filled, '#').c_str(), std::string(kBarCells - filled, ' ').c_str(),
                  done_, total_);
      if (done_ == total_) std::printf("\n");
    } else {
      std::printf("%s\n", path.c_str());
    }
    std::fflush(stdout);
  }
  // Ends a bar that an error interrupts, so the error starts on a line of its own.
  void interrupt() {
    if (bar_ && done_ != total_) std::printf("\n");
    std::fflush(stdout);
  }

 private:
  std::size_t total_;
  std::size_t done_ = 0;
  bool bar_;
};

}  // namespace

int runRender(Args &args) {
  const RenderOptionsCli o = readOptions(args);

  std::string error;
  const std::vector<SequenceFrame> frames = findSequence(o.input, o.first, o.last, &error);
  if (frames.empty()) throw UsageError("--input: " + error);
  const std::vector<std::string> outputs = outputPathsFor(o.output, frames);
  // The output folder is made when missing, like the folder a pattern names.
  makeOutputFolder(o.output, outputs.front());

  // The project takes the first frame's size.
  int width = 0;
  int height = 0;
  if (kesto::load_rgba(frames.front().path, &width, &height).empty()) {
    throw UsageError("cannot read the frame '" + frames.front().path + "' (not a readable PNG of a usable size)");
  }

  host::Host host;
  const std::optional<PluginInstance> made =
      loadPluginInstance(host, o.bundle, sequenceInstanceOptions(o.depth, width, height, o.rateFps), "render");
  if (!made) return kExitJobFailed;
  host::Instance &fx = *made->instance;
  fx.setSourceFrameRange(static_cast<double>(frames.front().number), static_cast<double>(frames.back().number));
  fx.setSourceFrameRate(o.rateFps);
  for (const ParamSetting &s : o.settings) applyParamSetting(*made->plugin, fx, s);

  Progress progress(frames.size());
  const std::size_t batch = static_cast<std::size_t>(o.threads);
  for (std::size_t start = 0; start < frames.size(); start += batch) {
    const std::size_t end = std::min(frames.size(), start + batch);
    std::vector<double> times;
    fx.clearSourceFrames();
    for (std::size_t i = start; i < end; ++i) {
      int w = 0;
      int h = 0;
      const std::vector<std::uint8_t> rgba = kesto::load_rgba(frames[i].path, &w, &h);
      if (rgba.empty()) {
        progress.interrupt();
        throw UsageError("cannot read the frame '" + frames[i].path + "' (not a readable PNG of a usable size)");
      }
      const double time = static_cast<double>(frames[i].number);
      fx.setSourceFrame(time, host::Image::fromRgba8TopDown(w, h, rgba.data(), o.depth));
      times.push_back(time);
    }
    auto rendered = fx.renderMany(times, o.threads);
    if (!rendered.ok()) {
      progress.interrupt();
      std::fprintf(stderr, "trevane render: the host could not render: %s\n", rendered.error().c_str());
      return kExitJobFailed;
    }
    for (std::size_t k = 0; k < rendered->size(); ++k) {
      const host::RenderResult &r = (*rendered)[k];
      const SequenceFrame &frame = frames[start + k];
      if (r.status != kOfxStatOK) {
        progress.interrupt();
        std::fprintf(stderr, "trevane render: the plug-in failed to render frame %lld (status %d)%s%s\n", frame.number,
                     r.status, r.error.empty() ? "" : ": ", r.error.c_str());
        return kExitJobFailed;
      }
      const std::string &path = outputs[start + k];
      if (!writeFramePng(r.output, path)) {
        progress.interrupt();
        std::fprintf(stderr, "trevane render: cannot write '%s'\n", path.c_str());
        return kExitJobFailed;
      }
      progress.frameWritten(path);
    }
  }
  fx.clearSourceFrames();
  std::printf("rendered %zu frame(s), %lld to %lld, into %s\n", frames.size(), frames.front().number,
              frames.back().number, o.output.c_str());
  if (fx.unreleasedImages() != 0 || fx.leakedImages() != 0) {
    std::fprintf(stderr, "trevane render: the plug-in kept %d image(s) it fetched\n",
                 fx.unreleasedImages() + fx.leakedImages());
    return kExitJobFailed;
  }
  return kExitOk;
}

}  // namespace trevane::cli
