// trevane render: renders a clip through the plug-in, with parameter values given on the command line, into
// an image sequence.
//
// Frame number N of the input is served to the plug-in at time N and written as frame N of the output.
// Frames are decoded a batch at a time (one frame per render thread), so memory stays bounded for long clips.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/Cli.h"
#include "cli/ClipSource.h"
#include "cli/CommandOptions.h"
#include "cli/FrameOutput.h"
#include "cli/OutputSequence.h"
#include "cli/ParamSettings.h"
#include "cli/PluginInstance.h"
#include "host/Host.h"
#include "options/CommandLine.h"

namespace trevane::cli {
namespace {

constexpr int kMaxThreads = 64;

struct RenderOptions {
  ClipOptions clip;
  int threads = 1;
  std::vector<ParamSetting> settings;
  std::string bundle;
};

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

int render(const RenderOptions &o) {
  const std::unique_ptr<ClipSource> clip = openClip(o.clip.request);
  const std::vector<ClipFrame> &frames = clip->frames();
  const OutputSequence outputs = planOutput(o.clip.output, *clip, "render");
  const double rateFps = o.clip.rateFor(*clip);

  host::Host host;
  const std::optional<PluginInstance> made = loadPluginInstance(
      host, o.bundle, clipInstanceOptions(o.clip.request.depth, clip->size(), rateFps), "render");
  if (!made) return kExitJobFailed;
  host::Instance &fx = *made->instance;
  fx.setSourceFrameRange(static_cast<double>(frames.front().number), static_cast<double>(frames.back().number));
  fx.setSourceFrameRate(rateFps);
  for (const ParamSetting &s : o.settings) applyParamSetting(*made->plugin, fx, s);
  // The output folder is made when missing, once the input and the settings are known to be good.
  outputs.makeFolder();

  Progress progress(frames.size());
  const std::size_t batch = static_cast<std::size_t>(o.threads);
  for (std::size_t start = 0; start < frames.size(); start += batch) {
    const std::size_t end = std::min(frames.size(), start + batch);
    std::vector<double> times;
    fx.clearSourceFrames();
    for (std::size_t i = start; i < end; ++i) {
      std::shared_ptr<const host::Image> image;
      try {
        image = clip->read(frames[i].number);
      } catch (const UsageError &) {
        progress.interrupt();
        throw;
      }
      const double time = static_cast<double>(frames[i].number);
      fx.setSourceFrame(time, *image);
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
      const ClipFrame &frame = frames[start + k];
      if (r.status != kOfxStatOK) {
        progress.interrupt();
        std::fprintf(stderr, "trevane render: the plug-in failed to render frame %lld (status %d)%s%s\n", frame.number,
                     r.status, r.error.empty() ? "" : ": ", r.error.c_str());
        return kExitJobFailed;
      }
      const std::string &path = outputs.paths[start + k];
      std::string error;
      if (!writeFrame(r.output, path, {rateFps, clip->pixelAspect(), frame.timecode}, o.clip.exrFloat, &error)) {
        progress.interrupt();
        std::fprintf(stderr, "trevane render: %s\n", error.c_str());
        return kExitJobFailed;
      }
      progress.frameWritten(path);
    }
  }
  fx.clearSourceFrames();
  std::printf("rendered %zu frame(s), %lld to %lld, into %s\n", frames.size(), frames.front().number,
              frames.back().number, o.clip.output.c_str());
  if (fx.unreleasedImages() != 0 || fx.leakedImages() != 0) {
    std::fprintf(stderr, "trevane render: the plug-in kept %d image(s) it fetched\n",
                 fx.unreleasedImages() + fx.leakedImages());
    return kExitJobFailed;
  }
  return kExitOk;
}

}  // namespace

CommandRun declareRender(CLI::App &command) {
  auto o = std::make_shared<RenderOptions>();
  command.description(
      "Renders a clip through the plug-in into an image sequence.\n"
      "Loads the plug-in, sets the parameters, and renders every frame of the clip through it. Frame number N of "
      "the input is given to the plug-in at time N and written as frame N.");
  addClipOptions(command, o->clip);
  addSetOption(command, o->settings);
  command.add_option("--threads", o->threads, "frames rendered at once, on as many threads")
      ->type_name("N")
      ->capture_default_str()
      ->check(kesto::options::within(1, kMaxThreads));
  addBundleOption(command, o->bundle);
  command.footer(
      "To apply a pulled matte: --set session_id=SESSION --set clip_start=FIRST --set output_mode=0, where "
      "session_id names /tmp/orvalis/SESSION/ holding one gray PNG per frame (000000.png for the frame at time "
      "clip_start); output_mode 0 = character (RGBA, colour premultiplied by the matte), 1 = matte only, 2 = source "
      "(bypass).\n"
      "Prints each file written (a progress bar on a terminal).\n"
      "Exit status: 0 when every frame was written, 1 when the plug-in failed to render a frame or a file could "
      "not be written, 2 for bad usage or an unreadable or missing input frame.");
  return [o] { return render(*o); };
}

}  // namespace trevane::cli
