// trevane pull: the main job without an editor. Loads the clip, sets the selection, presses "Pull alpha
// (whole clip)", follows "Status" until the matte is ready or the job failed, then renders every frame in the
// chosen output mode into an output sequence.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/Cli.h"
#include "cli/ClipSource.h"
#include "cli/ContactSheet.h"
#include "cli/EmbeddedBackend.h"
#include "cli/FrameOutput.h"
#include "cli/OutputSequence.h"
#include "cli/PluginInstance.h"
#include "cli/PullOptions.h"
#include "cli/StatusDisplay.h"
#include "host/Host.h"

namespace trevane::cli {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds kPumpInterval{100};
constexpr int kContactSheetRows = 4;
constexpr int kContactSheetCellWidth = 320;

// The selection records exactly as the overlay writes them: compact JSON, keys in ascending order.
std::string boxRecord(const std::vector<double> &b) {
  return nlohmann::json{{"x", b[0]}, {"y", b[1]}, {"w", b[2]}, {"h", b[3]}}.dump();
}

std::string dabRecords(const std::vector<std::vector<double>> &dabs) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto &d : dabs) list.push_back(d);
  return list.dump();
}

bool startsWith(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

RgbaPicture pictureOf(const host::Image &image) {
  return RgbaPicture{image.width(), image.height(), image.toRgba8TopDown()};
}

// Serves the clip's frames to the host. A frame that cannot be decoded is kept as the reason the job stopped.
class FrameFeed {
 public:
  explicit FrameFeed(ClipSource &clip) : clip_(clip) {}
  std::shared_ptr<const host::Image> operator()(double time) {
    try {
      return clip_.read(static_cast<long long>(time));
    } catch (const UsageError &e) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!failure_) failure_ = e.what();
      return nullptr;
    }
  }
  // Fails with the first decoding problem, if there was one.
  void rethrow() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_) throw UsageError(*failure_);
  }

 private:
  ClipSource &clip_;
  std::mutex mutex_;
  std::optional<std::string> failure_;
};

int pull(const PullOptions &o) {
  checkPullOptions(o);
  std::optional<kesto::backend::EngineChoice> engine;
  if (!o.backend) engine = embeddedEngine(o, kesto::backend::cached_model_path());
  const std::unique_ptr<ClipSource> clip = openClip(o.clip.request);
  const std::vector<ClipFrame> &frames = clip->frames();
  const long long first = frames.front().number;
  const long long last = frames.back().number;
  const long long anchor = o.anchor.value_or(first);
  if (anchor < first || anchor > last) {
    throw UsageError("--anchor: frame " + std::to_string(anchor) + " is outside the clip (" + std::to_string(first) +
                     " to " + std::to_string(last) + ")");
  }
  const OutputSequence outputs = planOutput(o.clip.output, *clip, "pull");
  const double rateFps = o.clip.rateFor(*clip);

  std::unique_ptr<EmbeddedBackend> embedded;
  std::string backendUrl;
  if (o.backend) {
    backendUrl = *o.backend;
  } else {
    embedded = std::make_unique<EmbeddedBackend>(o.backendExe, engine->engine, engine->neural.model_path);
    backendUrl = embedded->url();
  }

  host::Host host;
  host::InstanceOptions options = clipInstanceOptions(o.clip.request.depth, clip->size(), rateFps);
  // Settings as a saved project would hold them, so the instance is created with its backend already set.
  options.savedValues = {
      {"backend_url", backendUrl},   {"text_hint", o.hint},
      {"quality", o.quality},         {"edge_softness", o.softness},
      {"bbox_json", o.box ? boxRecord(*o.box) : std::string()},
      {"brush_json", dabRecords(o.dabs)},
  };
  const std::optional<PluginInstance> made = loadPluginInstance(host, o.bundle, options, "pull");
  if (!made) return kExitJobFailed;
  host::Instance &fx = *made->instance;
  FrameFeed feed(*clip);
  fx.setSourceProvider([&feed](double time) { return feed(time); }, static_cast<double>(first),
                       static_cast<double>(last));
  fx.setSourceFrameRate(rateFps);
  fx.setTime(static_cast<double>(anchor));

  StatusDisplay display;
  host.clearMessages();
  const auto pressed = fx.pressButton("pull_alpha");
  if (!pressed.ok()) {
    display.end();
    std::fprintf(stderr, "trevane pull: the host refused the button: %s\n", pressed.error().c_str());
    return kExitJobFailed;
  }
  // A refused or failed launch says so in a host message and starts no worker; a worker writes its status
  // before any message, so a message beside the launch's own status text belongs to the launch.
  std::string status = fx.getString("status").ok() ? *fx.getString("status") : "";
  const auto messages = host.messages();
  if (status != "idle") display.show(status);
  if (status == "idle" || (!messages.empty() && startsWith(status, "grabbing"))) {
    display.end();
    feed.rethrow();
    std::fprintf(stderr, "trevane pull: %s\n",
                 messages.empty() ? "the job did not start" : messages.back().text.c_str());
    return kExitJobFailed;
  }

  const auto deadline = steady_clock::now() + std::chrono::duration<double>(o.timeoutSeconds);
  while (!startsWith(status, "ready") && !startsWith(status, "failed")) {
    if (steady_clock::now() > deadline) {
      display.end();
      std::fprintf(stderr, "trevane pull: no result within %g s (status: %s)\n", o.timeoutSeconds, status.c_str());
      return kExitJobFailed;
    }
    std::this_thread::sleep_for(kPumpInterval);
    fx.pumpEvents();
    status = *fx.getString("status");
    display.show(status);
  }
  display.end();
  if (startsWith(status, "failed")) {
    feed.rethrow();
    std::fprintf(stderr, "trevane pull: %s\n", status.c_str());
    return kExitJobFailed;
  }

  // Render every frame in the chosen mode.
  outputs.makeFolder();
  if (!fx.setInt("output_mode", o.mode).ok()) throw std::runtime_error("cannot set the output mode");

  std::vector<size_t> sheetFrames;
  for (int k = 0; k < kContactSheetRows && o.contactSheet; ++k) {
    const size_t index = frames.size() == 1 ? 0 : k * (frames.size() - 1) / (kContactSheetRows - 1);
    if (sheetFrames.empty() || sheetFrames.back() != index) sheetFrames.push_back(index);
  }
  std::vector<ContactRow> sheet;
  for (size_t i = 0; i < frames.size(); ++i) {
    const host::RenderResult r = fx.render(static_cast<double>(frames[i].number));
    feed.rethrow();
    if (r.status != kOfxStatOK) {
      std::fprintf(stderr, "trevane pull: the plug-in failed to render frame %lld\n", frames[i].number);
      return kExitJobFailed;
    }
    std::string error;
    if (!writeFrame(r.output, outputs.paths[i], {rateFps, clip->pixelAspect(), frames[i].timecode}, o.clip.exrFloat,
                    &error)) {
      std::fprintf(stderr, "trevane pull: %s\n", error.c_str());
      return kExitJobFailed;
    }
    if (std::find(sheetFrames.begin(), sheetFrames.end(), i) != sheetFrames.end()) {
      // The sheet always shows the cut-out, whatever mode the sequence was written in.
      host::RenderResult cut = r;
      if (o.mode != 0) {
        fx.setInt("output_mode", 0);
        cut = fx.render(static_cast<double>(frames[i].number));
        fx.setInt("output_mode", o.mode);
      }
      const std::shared_ptr<const host::Image> src = clip->read(frames[i].number);
      if (src && cut.status == kOfxStatOK) sheet.push_back({pictureOf(*src), pictureOf(cut.output)});
    }
  }
  const std::string session = fx.getString("session_id").ok() ? *fx.getString("session_id") : "";
  std::printf("%s; wrote %zu frame(s) to %s; matte session %s\n", status.c_str(), frames.size(),
              o.clip.output.c_str(), session.c_str());
  if (o.contactSheet) {
    std::string error;
    if (!writeContactSheet(*o.contactSheet, sheet, kContactSheetCellWidth, &error)) {
      std::fprintf(stderr, "trevane pull: the contact sheet: %s\n", error.c_str());
      return kExitJobFailed;
    }
    std::printf("contact sheet: %s\n", o.contactSheet->c_str());
  }
  return kExitOk;
}

}  // namespace

CommandRun declarePull(CLI::App &command) {
  auto o = std::make_shared<PullOptions>();
  declarePullOptions(command, *o);
  return [o] { return pull(*o); };
}

}  // namespace trevane::cli
