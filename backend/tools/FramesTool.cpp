// trevane-frames: decodes a stretch of a video into a folder of numbered PNG frames, optionally scaled, so
// that a real clip can be fed to `trevane pull` (which reads image sequences).
//
//   trevane-frames --input VIDEO --output DIR [--start SEC] [--count N] [--width W] [--step K]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kDefaultCount = 24;
constexpr int kMaxCount = 100000;
constexpr int kMaxWidthPx = 8192;
constexpr int kMaxStep = 1000;
// Far beyond any real video, and small enough that the frame number it gives fits in a long long.
constexpr double kMaxStartSeconds = 1e7;
// Some containers report no frame rate; frame times are then counted at this rate.
constexpr double kFallbackFps = 25.0;

const char *const kHelp =
    "usage: trevane-frames --input VIDEO --output DIR [--start SEC] [--count N] [--width W] [--step K]\n"
    "  Decodes N frames of VIDEO from SEC seconds on into DIR as 000000.png, 000001.png, ...\n"
    "  --input VIDEO   a video file FFmpeg reads (AVI, MP4, MKV, MOV, ...)\n"
    "  --output DIR    the folder to write into (made when missing; existing PNG files are left)\n"
    "  --start SEC     where to begin, in seconds from the start (default 0)\n"
    "  --count N       how many frames to write (default 24)\n"
    "  --width W       scale every frame to W pixels wide, keeping the aspect (default: as decoded)\n"
    "  --step K        keep every K-th decoded frame (default 1)\n"
    "  Exit status: 0 when every frame was written, 1 when the video cannot be read or ends early,\n"
    "  2 for bad usage.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string input;
  std::string output;
  double startSeconds = 0.0;
  int count = kDefaultCount;
  std::optional<int> width;
  int step = 1;
};

double parse_number(const std::string &option, const std::string &text) {
  try {
    std::size_t used = 0;
    const double v = std::stod(text, &used);
    if (used == text.size() && std::isfinite(v)) return v;
  } catch (const std::exception &) {
  }
  throw UsageError("--" + option + ": '" + text + "' is not a number");
}

int parse_count(const std::string &option, const std::string &text, int lowest, int highest) {
  const double v = parse_number(option, text);
  if (v != std::floor(v) || v < lowest || v > highest) {
    throw UsageError("--" + option + ": a whole number from " + std::to_string(lowest) + " to " +
                     std::to_string(highest));
  }
  return static_cast<int>(v);
}

// Returns nothing when help was asked for.
std::optional<Options> read_options(const std::vector<std::string> &args) {
  Options o;
  bool haveInput = false;
  bool haveOutput = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "-h" || a == "--help") return std::nullopt;
    if (a.rfind("--", 0) != 0) throw UsageError("unexpected argument '" + a + "'");
    if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
    const std::string name = a.substr(2);
    const std::string &value = args[++i];
    if (name == "input") {
      o.input = value;
      haveInput = true;
    } else if (name == "output") {
      o.output = value;
      haveOutput = true;
    } else if (name == "start") {
      o.startSeconds = parse_number(name, value);
      if (o.startSeconds < 0.0 || o.startSeconds > kMaxStartSeconds) {
        throw UsageError("--start: seconds from 0 to " + std::to_string(static_cast<long long>(kMaxStartSeconds)));
      }
    } else if (name == "count") {
      o.count = parse_count(name, value, 1, kMaxCount);
    } else if (name == "width") {
      o.width = parse_count(name, value, 2, kMaxWidthPx);
    } else if (name == "step") {
      o.step = parse_count(name, value, 1, kMaxStep);
    } else {
      throw UsageError("unknown option '" + a + "'");
    }
  }
  if (!haveInput) throw UsageError("--input VIDEO is required");
  if (!haveOutput) throw UsageError("--output DIR is required");
  return o;
}

std::string frame_name(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d.png", index);
  return name;
}

int run(const std::vector<std::string> &args) {
  const std::optional<Options> parsed = read_options(args);
  if (!parsed) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  const Options &o = *parsed;
  if (!fs::is_regular_file(o.input)) throw UsageError("--input: no file '" + o.input + "'");
  std::error_code ec;
  fs::create_directories(o.output, ec);
  if (ec || !fs::is_directory(o.output)) throw UsageError("--output: cannot make the folder '" + o.output + "'");

  // FFmpeg reads every common container. Left to choose, OpenCV would try each of its capture back-ends on
  // a file none can read (GStreamer, image sequences, cameras), logging several lines for each and leaking
  // in one of them; the tool says what went wrong in one line instead.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  cv::VideoCapture capture(o.input, cv::CAP_FFMPEG);
  if (!capture.isOpened()) {
    std::fprintf(stderr, "trevane-frames: cannot open the video '%s'\n", o.input.c_str());
    return kExitFailure;
  }
  double fps = capture.get(cv::CAP_PROP_FPS);
  if (!(fps > 0.0) || !std::isfinite(fps)) fps = kFallbackFps;
  // Frames are read one by one from the start rather than sought: seeking lands on key frames in some
  // containers and would shift the stretch silently.
  const long long firstFrame = std::llround(o.startSeconds * fps);

  cv::Mat frame;
  cv::Size size;
  long long decoded = 0;
  int written = 0;
  while (written < o.count && capture.read(frame)) {
    const long long index = decoded++;
    if (index < firstFrame || (index - firstFrame) % o.step != 0) continue;
    cv::Mat out = frame;
    if (o.width && *o.width != frame.cols) {
      const int height = std::max(1, static_cast<int>(std::lround(static_cast<double>(frame.rows) * *o.width /
                                                                  frame.cols)));
      const int interpolation = *o.width < frame.cols ? cv::INTER_AREA : cv::INTER_CUBIC;
      cv::resize(frame, out, cv::Size(*o.width, height), 0, 0, interpolation);
    }
    const std::string path = (fs::path(o.output) / frame_name(written)).string();
    if (!cv::imwrite(path, out)) {
      std::fprintf(stderr, "trevane-frames: cannot write '%s'\n", path.c_str());
      return kExitFailure;
    }
    size = out.size();
    ++written;
  }
  if (written < o.count) {
    std::fprintf(stderr, "trevane-frames: the video ended after %d of %d frames\n", written, o.count);
    return kExitFailure;
  }
  std::printf("wrote %d frame(s) of %dx%d to %s (from %.2f s at %.3g fps)\n", written, size.width, size.height,
              o.output.c_str(), o.startSeconds, fps);
  return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError &e) {
    std::fprintf(stderr, "trevane-frames: %s (see --help)\n", e.what());
    return kExitUsage;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "trevane-frames: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "trevane-frames: unexpected error\n");
  }
  return kExitFailure;
}
