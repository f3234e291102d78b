// trevane pull: the main job without an editor. Loads an image sequence as the clip, sets the selection,
// presses "Pull alpha (whole clip)", follows "Status" until the matte is ready or the job failed, then
// renders every frame in the chosen output mode into an output sequence.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/Cli.h"
#include "cli/ContactSheet.h"
#include "cli/EmbeddedBackend.h"
#include "cli/FrameSequence.h"
#include "cli/PluginInstance.h"
#include "cli/SequenceOptions.h"
#include "cli/SequenceOutput.h"
#include "host/Host.h"
#include "image/RgbaFile.h"

namespace trevane::cli {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds kPumpInterval{100};
constexpr double kDefaultTimeoutSeconds = 6 * 3600.0;
constexpr int kContactSheetRows = 4;
constexpr int kContactSheetCellWidth = 320;

struct PullOptions {
  std::string input;
  std::string output;
  std::optional<std::string> backend;
  std::string backendExe;
  std::string engine = "classical";
  std::optional<std::vector<double>> box;
  std::vector<std::vector<double>> dabs;
  std::string hint;
  int quality = 0;  // 0 fine, 1 fast
  double softness = 0.35;
  std::optional<long long> anchor;
  int mode = 0;  // 0 rgba, 1 matte, 2 source
  host::PixelDepth depth = host::PixelDepth::Byte;
  double rateFps = kDefaultRateFps;
  double timeoutSeconds = kDefaultTimeoutSeconds;
  std::optional<std::string> contactSheet;
  std::string bundle;
};

// "a,b,c" into exactly `count` finite numbers.
std::vector<double> parseNumberList(const std::string &option, const std::string &text, size_t count) {
  std::vector<double> values;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) values.push_back(parseDouble(option, item));
  if (values.size() != count) {
    throw UsageError("--" + option + ": '" + text + "' needs " + std::to_string(count) + " numbers separated by commas");
  }
  return values;
}

bool inUnit(double v) { return v >= 0.0 && v <= 1.0; }

PullOptions readOptions(Args &args) {
  PullOptions o;
  const auto input = args.value("input");
  const auto output = args.value("output");
  o.backend = args.value("backend");
  o.backendExe = args.value("backend-exe").value_or("");
  const auto engine = args.value("engine");
  const auto box = args.value("box");
  const auto dabs = args.values("dab");
  o.hint = args.value("hint").value_or("");
  const auto quality = args.value("quality");
  const auto softness = args.value("softness");
  const auto anchor = args.value("anchor");
  const auto mode = args.value("mode");
  const auto depth = args.value("depth");
  const auto rate = args.value("rate");
  const auto timeout = args.value("timeout");
  o.contactSheet = args.value("contact-sheet");
  o.bundle = args.value("bundle").value_or(defaultBundlePath());
  args.finish();

  o.input = requiredValue(input, "--input SEQUENCE");
  o.output = requiredValue(output, "--output SEQUENCE");
  if (engine) {
    if (*engine != "classical" && *engine != "trivial") throw UsageError("--engine: classical or trivial");
    if (o.backend) throw UsageError("--engine applies to the embedded backend only, not with --backend");
    o.engine = *engine;
  }
  if (box) {
    o.box = parseNumberList("box", *box, 4);
    const auto &b = *o.box;
    if (!inUnit(b[0]) || !inUnit(b[1]) || b[2] <= 0.0 || b[3] <= 0.0 || b[0] + b[2] > 1.0 + 1e-9 ||
        b[1] + b[3] > 1.0 + 1e-9) {
      throw UsageError("--box: x,y,w,h in normalised coordinates (0 to 1, from the top left), w and h above 0");
    }
  }
  for (const std::string &d : dabs) {
    std::vector<double> dab = parseNumberList("dab", d, 3);
    if (!inUnit(dab[0]) || !inUnit(dab[1]) || dab[2] == 0.0 || std::fabs(dab[2]) > 0.3) {
      throw UsageError("--dab: x,y,r with x and y from 0 to 1 and r from -0.3 to 0.3, not 0 (negative excludes)");
    }
    o.dabs.push_back(std::move(dab));
  }
  if (!o.box && o.dabs.empty() && o.hint.empty()) {
    throw UsageError("mark the character: --box, --dab or --hint (see --help)");
  }
  if (quality) {
    if (*quality == "fine") o.quality = 0;
    else if (*quality == "fast") o.quality = 1;
    else throw UsageError("--quality: fine or fast");
  }
  if (softness) {
    o.softness = parseDouble("softness", *softness);
    if (!inUnit(o.softness)) throw UsageError("--softness: from 0 to 1");
  }
  if (anchor) o.anchor = parseInt("anchor", *anchor);
  if (mode) {
    if (*mode == "rgba") o.mode = 0;
    else if (*mode == "matte") o.mode = 1;
    else if (*mode == "source") o.mode = 2;
    else throw UsageError("--mode: rgba, matte or source");
  }
  if (depth) {
    const std::optional<host::PixelDepth> named = pixelDepthNamed(*depth);
    if (!named) throw UsageError("--depth: byte or float");
    o.depth = *named;
  }
  if (rate) o.rateFps = parseRateFps(*rate);
  if (timeout) {
    o.timeoutSeconds = parseDouble("timeout", *timeout);
    if (o.timeoutSeconds <= 0.0) throw UsageError("--timeout: seconds must be above 0");
  }
  return o;
}

// The selection records exactly as the overlay writes them: compact JSON, keys in ascending order.
std::string boxRecord(const std::vector<double> &b) {
  return nlohmann::json{{"x", b[0]}, {"y", b[1]}, {"w", b[2]}, {"h", b[3]}}.dump();
}

std::string dabRecords(const std::vector<std::vector<double>> &dabs) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto &d : dabs) list.push_back(d);
  return list.dump();
}

// Decodes frames on demand for the host (spooling and rendering both ask), keeping the last few.
class FrameSource {
 public:
  FrameSource(const std::vector<SequenceFrame> &frames, host::PixelDepth depth) : frames_(frames), depth_(depth) {}

  std::shared_ptr<const host::Image> operator()(double time) {
    const auto it = std::find_if(frames_.begin(), frames_.end(),
                                 [&](const SequenceFrame &f) { return static_cast<double>(f.number) == time; });
    if (it == frames_.end()) return nullptr;
    int w = 0;
    int h = 0;
    const std::vector<std::uint8_t> rgba = kesto::load_rgba(it->path, &w, &h);
    if (rgba.empty()) return nullptr;
    return std::make_shared<const host::Image>(host::Image::fromRgba8TopDown(w, h, rgba.data(), depth_));
  }

 private:
  std::vector<SequenceFrame> frames_;
  host::PixelDepth depth_;
};

// Follows "Status" as a bar on a terminal, as plain lines otherwise.
class StatusDisplay {
 public:
  StatusDisplay() : bar_(interactiveOutput()) {}
  void show(const std::string &status) {
    if (status == last_) return;
    last_ = status;
    if (!bar_) {
      std::printf("%s\n", status.c_str());
    } else {
      constexpr int kCells = 30;
      const std::optional<double> f = fraction(status);
      const int filled = f ? static_cast<int>(*f * kCells) : 0;
      std::printf("\r\033[K[%s%s] %s", std::string(static_cast<size_t>(filled), '#').c_str(),
                  std::string(static_cast<size_t>(kCells - filled), f ? ' ' : '.').c_str(), status.c_str());
    }
    std::fflush(stdout);
  }
  void end() {
    if (bar_ && !last_.empty()) std::printf("\n");
    std::fflush(stdout);
  }

 private:
  // The "i/n" count in a status text such as "uploading 25/120" or "tracking: propagating 37/120".
  static std::optional<double> fraction(const std::string &s) {
    const size_t slash = s.rfind('/');
    if (slash == std::string::npos || slash == 0) return std::nullopt;
    size_t start = slash;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(s[start - 1])) != 0) --start;
    size_t stop = slash + 1;
    while (stop < s.size() && std::isdigit(static_cast<unsigned char>(s[stop])) != 0) ++stop;
    if (start == slash || stop == slash + 1) return std::nullopt;
    const double done = std::stod(s.substr(start, slash - start));
    const double total = std::stod(s.substr(slash + 1, stop - slash - 1));
    if (total <= 0.0) return std::nullopt;
    return std::clamp(done / total, 0.0, 1.0);
  }

  bool bar_;
  std::string last_;
};

bool startsWith(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

RgbaPicture pictureOf(const host::Image &image) {
  return RgbaPicture{image.width(), image.height(), image.toRgba8TopDown()};
}

}  // namespace

int runPull(Args &args) {
  const PullOptions o = readOptions(args);

  std::string error;
  const std::vector<SequenceFrame> frames = findSequence(o.input, std::nullopt, std::nullopt, &error);
  if (frames.empty()) throw UsageError("--input: " + error);
  const long long first = frames.front().number;
  const long long last = frames.back().number;
  const long long anchor = o.anchor.value_or(first);
  if (anchor < first || anchor > last) {
    throw UsageError("--anchor: frame " + std::to_string(anchor) + " is outside the clip (" + std::to_string(first) +
                     " to " + std::to_string(last) + ")");
  }
  const std::vector<std::string> outputs = outputPathsFor(o.output, frames);
  int width = 0;
  int height = 0;
  if (kesto::load_rgba(frames.front().path, &width, &height).empty()) {
    throw UsageError("cannot read the frame '" + frames.front().path + "'");
  }

  std::unique_ptr<EmbeddedBackend> embedded;
  std::string backendUrl;
  if (o.backend) {
    backendUrl = *o.backend;
  } else {
    embedded = std::make_unique<EmbeddedBackend>(o.backendExe, o.engine);
    backendUrl = embedded->url();
  }

  host::Host host;
  host::InstanceOptions options = sequenceInstanceOptions(o.depth, width, height, o.rateFps);
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
  FrameSource source(frames, o.depth);
  fx.setSourceProvider([&source](double time) { return source(time); }, static_cast<double>(first),
                       static_cast<double>(last));
  fx.setSourceFrameRate(o.rateFps);
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
    std::fprintf(stderr, "trevane pull: %s\n", status.c_str());
    return kExitJobFailed;
  }

  // Render every frame in the chosen mode.
  makeOutputFolder(o.output, outputs.front());
  if (!fx.setInt("output_mode", o.mode).ok()) throw std::runtime_error("cannot set the output mode");

  std::vector<size_t> sheetFrames;
  for (int k = 0; k < kContactSheetRows && o.contactSheet; ++k) {
    const size_t index = frames.size() == 1 ? 0 : k * (frames.size() - 1) / (kContactSheetRows - 1);
    if (sheetFrames.empty() || sheetFrames.back() != index) sheetFrames.push_back(index);
  }
  std::vector<ContactRow> sheet;
  for (size_t i = 0; i < frames.size(); ++i) {
    const host::RenderResult r = fx.render(static_cast<double>(frames[i].number));
    if (r.status != kOfxStatOK) {
      std::fprintf(stderr, "trevane pull: the plug-in failed to render frame %lld\n", frames[i].number);
      return kExitJobFailed;
    }
    if (!writeFramePng(r.output, outputs[i])) {
      std::fprintf(stderr, "trevane pull: cannot write '%s'\n", outputs[i].c_str());
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
      std::shared_ptr<const host::Image> src = source(static_cast<double>(frames[i].number));
      if (src && cut.status == kOfxStatOK) sheet.push_back({pictureOf(*src), pictureOf(cut.output)});
    }
  }
  std::printf("%s; wrote %zu frame(s) to %s\n", status.c_str(), frames.size(), o.output.c_str());
  if (o.contactSheet) {
    if (!writeContactSheet(*o.contactSheet, sheet, kContactSheetCellWidth)) {
      std::fprintf(stderr, "trevane pull: cannot write the contact sheet '%s'\n", o.contactSheet->c_str());
      return kExitJobFailed;
    }
    std::printf("contact sheet: %s\n", o.contactSheet->c_str());
  }
  return kExitOk;
}

}  // namespace trevane::cli
