#include "BackendConfig.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <optional>

namespace kesto::backend {

namespace {

constexpr std::uint64_t kBytesPerMiB = 1024u * 1024u;
constexpr long long kMinModelSidePx = 8;
constexpr long long kMaxModelSidePx = 8192;
constexpr double kMaxMeanMagnitude = 1000.0;
constexpr double kMinStd = 1e-6;
constexpr double kMaxStd = 1000.0;
constexpr long long kMaxKeyframeSpacing = 1000000;

std::optional<long long> parse_integer(const std::string& text, long long lo, long long hi) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || value < lo || value > hi) return std::nullopt;
  return value;
}

std::optional<double> parse_real(const std::string& text, double lo, double hi) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == nullptr || *end != '\0' || !(value >= lo && value <= hi)) return std::nullopt;
  return value;
}

// "V" (the same for R, G and B) or "R,G,B".
std::optional<std::array<double, 3>> parse_rgb(const std::string& text, double lo, double hi) {
  std::array<double, 3> out{};
  std::size_t start = 0;
  int count = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    if (count == 3) return std::nullopt;
    const auto v = parse_real(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start), lo, hi);
    if (!v) return std::nullopt;
    out[static_cast<std::size_t>(count++)] = *v;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (count == 1) return std::array<double, 3>{out[0], out[0], out[0]};
  if (count != 3) return std::nullopt;
  return out;
}

// "N" (square) or "WxH".
bool parse_size(const std::string& text, int& width, int& height) {
  const std::size_t x = text.find('x');
  const auto w = parse_integer(text.substr(0, x), kMinModelSidePx, kMaxModelSidePx);
  const auto h = x == std::string::npos ? w : parse_integer(text.substr(x + 1), kMinModelSidePx, kMaxModelSidePx);
  if (!w || !h) return false;
  width = static_cast<int>(*w);
  height = static_cast<int>(*h);
  return true;
}

std::string rgb_text(const std::array<double, 3>& v) {
  auto one = [](double d) {
    std::string t = std::to_string(d);
    t.erase(t.find_last_not_of('0') + 1);
    if (!t.empty() && t.back() == '.') t.pop_back();
    return t;
  };
  if (v[0] == v[1] && v[1] == v[2]) return one(v[0]);
  return one(v[0]) + "," + one(v[1]) + "," + one(v[2]);
}

}  // namespace

std::string help_text() {
  const BackendConfig d;
  return std::string(
             "Usage: trevane-backend [OPTIONS]\n"
             "\n"
             "The reference matting backend of Orvalis Trevane: an HTTP server that takes a clip's frames and a\n"
             "selection from the plug-in and returns one grayscale matte per frame.\n"
             "\n"
             "Options:\n"
             "  --host ADDR          address to listen on (default ") +
         d.host +
         "; another address exposes the server)\n"
         "  --port N             TCP port, 0 lets the system choose (default " +
         std::to_string(d.port) +
         ")\n"
         "  --port-file PATH     write the bound port to PATH once listening\n"
         "  --workdir DIR        folder for session data (default: a fresh folder under /tmp, removed at exit)\n"
         "  --engine NAME        matting engine: classical (OpenCV), neural (your ONNX model, see --model) or\n"
         "                       trivial (luminance threshold, for tests) (default " +
         d.engine +
         ")\n"
         "\n"
         "Neural engine (a salient-object segmentation network in ONNX form: IS-Net, U2-Net, BiRefNet, ...):\n"
         "  --model FILE         the network; needed by --engine neural. It is checked at start with one\n"
         "                       inference, and the server refuses to start when it is unusable\n"
         "  --model-size N|WxH   input size in pixels (default " +
         std::to_string(d.neural.input_width) + "x" + std::to_string(d.neural.input_height) +
         ")\n"
         "  --model-mean V|R,G,B normalisation: the network sees (pixel/255 - mean) / std (default " +
         rgb_text(d.neural.mean) +
         ")\n"
         "  --model-std V|R,G,B  (default " +
         rgb_text(d.neural.std) +
         "; ImageNet-trained families: mean 0.485,0.456,0.406 std 0.229,0.224,0.225)\n"
         "  --model-output NAME  the output holding the probability map (default: \"output\" if there is one,\n"
         "                       else the only output)\n"
         "  --keyframe-spacing N also run the network every N frames from the anchor, against drift; 0: on the\n"
         "                       anchor only (default " +
         std::to_string(d.neural.keyframe_spacing) +
         ")\n"
         "\n"
         "  --max-jobs N         jobs matted at the same time (default " +
         std::to_string(d.max_jobs) +
         ")\n"
         "  --http-threads N     connections served at the same time (default " +
         std::to_string(d.http_threads) +
         ")\n"
         "  --max-sessions N     sessions kept at once (default " +
         std::to_string(d.max_sessions) +
         ")\n"
         "  --max-frames N       frames per session (default " +
         std::to_string(d.max_frames) +
         ")\n"
         "  --max-frame-mb N     bytes per uploaded frame, in MiB (default " +
         std::to_string(d.max_frame_bytes / kBytesPerMiB) +
         ")\n"
         "  --max-disk-mb N      disk used by all sessions together, in MiB (default " +
         std::to_string(d.max_disk_bytes / kBytesPerMiB) +
         ")\n"
         "  --session-ttl S      seconds a session may stay idle before it is removed (default " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d.session_ttl).count()) +
         ")\n"
         "  --log LEVEL          quiet, info or debug (default info); the log goes to stderr\n"
         "  --help               show this text\n"
         "\n"
         "Once listening it prints one line to stdout: \"listening on http://HOST:PORT\".\n"
         "Stop it with SIGINT or SIGTERM; it removes its sessions on the way out.\n";
}

ParsedArgs parse_args(const std::vector<std::string>& args) {
  ParsedArgs out;
  BackendConfig& c = out.config;
  auto fail = [&out](std::string message) {
    out.action = ParsedArgs::Action::Error;
    out.message = std::move(message);
    return out;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--help" || name == "-h") {
      out.action = ParsedArgs::Action::Help;
      return out;
    }
    if (name.rfind("--", 0) != 0) return fail("unexpected argument: " + name);
    if (i + 1 >= args.size()) return fail(name + " needs a value");
    const std::string& value = args[++i];
    auto integer = [&](long long lo, long long hi) -> std::optional<long long> {
      return parse_integer(value, lo, hi);
    };
    if (name == "--host") {
      if (value.empty()) return fail("--host needs an address");
      c.host = value;
    } else if (name == "--port") {
      auto v = integer(0, 65535);
      if (!v) return fail("--port must be 0 to 65535");
      c.port = static_cast<int>(*v);
    } else if (name == "--port-file") {
      c.port_file = value;
    } else if (name == "--workdir") {
      if (value.empty()) return fail("--workdir needs a folder");
      c.workdir = value;
    } else if (name == "--engine") {
      if (value != "classical" && value != "neural" && value != "trivial") {
        return fail("--engine must be classical, neural or trivial");
      }
      c.engine = value;
    } else if (name == "--max-jobs") {
      auto v = integer(1, 64);
      if (!v) return fail("--max-jobs must be 1 to 64");
      c.max_jobs = static_cast<int>(*v);
    } else if (name == "--http-threads") {
      auto v = integer(2, 256);
      if (!v) return fail("--http-threads must be 2 to 256");
      c.http_threads = static_cast<int>(*v);
    } else if (name == "--max-sessions") {
      auto v = integer(1, 100000);
      if (!v) return fail("--max-sessions must be 1 to 100000");
      c.max_sessions = static_cast<int>(*v);
    } else if (name == "--max-frames") {
      auto v = integer(1, 10000000);
      if (!v) return fail("--max-frames must be 1 to 10000000");
      c.max_frames = static_cast<int>(*v);
    } else if (name == "--max-frame-mb") {
      auto v = integer(1, 1024);
      if (!v) return fail("--max-frame-mb must be 1 to 1024");
      c.max_frame_bytes = static_cast<std::size_t>(*v) * kBytesPerMiB;
    } else if (name == "--max-disk-mb") {
      auto v = integer(1, std::numeric_limits<int>::max());
      if (!v) return fail("--max-disk-mb must be a positive number");
      c.max_disk_bytes = static_cast<std::uint64_t>(*v) * kBytesPerMiB;
    } else if (name == "--session-ttl") {
      auto v = integer(1, 30LL * 24 * 3600);
      if (!v) return fail("--session-ttl must be 1 to 2592000 seconds");
      c.session_ttl = std::chrono::seconds(*v);
    } else if (name == "--log") {
      if (value == "quiet") {
        c.log_level = LogLevel::Quiet;
      } else if (value == "info") {
        c.log_level = LogLevel::Info;
      } else if (value == "debug") {
        c.log_level = LogLevel::Debug;
      } else {
        return fail("--log must be quiet, info or debug");
      }
    } else if (name == "--model") {
      if (value.empty()) return fail("--model needs a file");
      c.neural.model_path = value;
    } else if (name == "--model-size") {
      if (!parse_size(value, c.neural.input_width, c.neural.input_height)) {
        return fail("--model-size must be N or WxH, each 8 to 8192");
      }
    } else if (name == "--model-mean") {
      const auto v = parse_rgb(value, -kMaxMeanMagnitude, kMaxMeanMagnitude);
      if (!v) return fail("--model-mean must be one number or three separated by commas");
      c.neural.mean = *v;
    } else if (name == "--model-std") {
      const auto v = parse_rgb(value, kMinStd, kMaxStd);
      if (!v) return fail("--model-std must be one positive number or three separated by commas");
      c.neural.std = *v;
    } else if (name == "--model-output") {
      if (value.empty()) return fail("--model-output needs a name");
      c.neural.output_name = value;
    } else if (name == "--keyframe-spacing") {
      auto v = integer(0, kMaxKeyframeSpacing);
      if (!v) return fail("--keyframe-spacing must be 0 or a positive number of frames");
      c.neural.keyframe_spacing = static_cast<int>(*v);
    } else {
      return fail("unknown option: " + name);
    }
  }
  if (c.engine == "neural" && c.neural.model_path.empty()) return fail("--engine neural needs --model FILE");
  if (c.engine != "neural" && !c.neural.model_path.empty()) return fail("--model is used only with --engine neural");
  return out;
}

}  // namespace kesto::backend
