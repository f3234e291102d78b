#include "BackendConfig.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>

#include <CLI/CLI.hpp>

#include "options/CommandLine.h"
#include "Validation.h"

namespace kesto::backend {

namespace {

constexpr std::uint64_t kBytesPerMiB = 1024u * 1024u;
constexpr long long kMinModelSidePx = 8;
constexpr long long kMaxModelSidePx = 8192;
constexpr double kMaxMeanMagnitude = 1000.0;
constexpr double kMinStd = 1e-6;
constexpr double kMaxStd = 1000.0;
constexpr int kMaxKeyframeSpacing = 1000000;
constexpr long long kMaxSessionTtlS = 30LL * 24 * 3600;

std::optional<double> parse_real(const std::string& text, double lo, double hi) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == nullptr || *end != '\0' || !(value >= lo && value <= hi)) return std::nullopt;
  return value;
}

std::optional<long long> parse_side(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || value < kMinModelSidePx || value > kMaxModelSidePx) {
    return std::nullopt;
  }
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
  const auto w = parse_side(text.substr(0, x));
  const auto h = x == std::string::npos ? w : parse_side(text.substr(x + 1));
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

// A value CLI11 has no type for, read by `parse` into the configuration; `problem` is the refusal's text.
template <class Parse>
CLI::Option* add_parsed(CLI::App& app, const std::string& name, const std::string& problem, Parse parse,
                        const std::string& description) {
  return app.add_option_function<std::string>(
      name,
      [name, problem, parse](const std::string& value) {
        if (!parse(value)) throw CLI::ValidationError(name, problem);
      },
      description);
}

using kesto::options::within;
CLI::Validator not_empty(const std::string& what) { return kesto::options::notEmpty(what); }

CLI::Validator node_name() {
  return CLI::Validator(
      [](const std::string& v) {
        return is_valid_node_name(v) ? std::string()
                                     : "'" + v + "' must be 1 to " + std::to_string(kMaxNodeNameBytes) +
                                           " lower-case letters and digits";
      },
      "");
}

// Every option, declared once: the parser and the help text both come from here. Values land in `c`.
void declare_options(CLI::App& app, BackendConfig& c, bool& check_model) {
  const BackendConfig d;
  app.description(
      "The reference matting backend of Orvalis Trevane: an HTTP server that takes a clip's frames and a\n"
      "selection from the plug-in and returns one grayscale matte per frame.");
  app.footer(
      "Once listening it prints one line to stdout: \"listening on http://HOST:PORT\".\n"
      "Stop it with SIGINT or SIGTERM; it removes its sessions on the way out.");
  app.get_formatter()->column_width(30);

  app.add_option("--host", c.host, "address to listen on; any other than loopback exposes the server")
      ->type_name("ADDR")->capture_default_str()->check(not_empty("an address"));
  app.add_option("--port", c.port, "TCP port, 0 to 65535; 0 lets the system choose")
      ->type_name("N")->capture_default_str()->check(within(0, 65535));
  app.add_option("--port-file", c.port_file, "write the bound port to PATH once listening")->type_name("PATH");
  app.add_option("--workdir", c.workdir, "folder for session data (default: a fresh one under /tmp, removed at exit)")
      ->type_name("DIR")->check(not_empty("a folder"));
  app.add_option("--node", c.node,
                 "this backend's name among several behind one proxy; session ids begin with \"NAME-\"")
      ->type_name("NAME")->check(node_name());
  app.add_option("--engine", c.engine,
                 "auto (neural with --model or a cached model, else classical), classical, neural or trivial")
      ->type_name("NAME")
      ->capture_default_str()
      ->check(CLI::IsMember({"auto", "classical", "neural", "trivial"}).description(""));

  app.add_option("--max-jobs", c.max_jobs, "jobs matted at the same time, 1 to 64")
      ->type_name("N")->capture_default_str()->check(within(1, 64));
  app.add_option("--http-threads", c.http_threads, "requests handled at the same time, 2 to 256 (idle or slow connections hold none)")
      ->type_name("N")->capture_default_str()->check(within(2, 256));
  app.add_option("--max-sessions", c.max_sessions, "sessions kept at once")
      ->type_name("N")->capture_default_str()->check(within(1, 100000));
  app.add_option("--max-frames", c.max_frames, "frames per session")
      ->type_name("N")->capture_default_str()->check(within(1, 10000000));
  app.add_option_function<long long>(
         "--max-frame-mb", [&c](long long mib) { c.max_frame_bytes = static_cast<std::size_t>(mib) * kBytesPerMiB; },
         "bytes per uploaded frame, in MiB, 1 to 1024")
      ->type_name("N")->default_str(std::to_string(d.max_frame_bytes / kBytesPerMiB))->check(within(1, 1024));
  app.add_option_function<long long>(
         "--max-disk-mb", [&c](long long mib) { c.max_disk_bytes = static_cast<std::uint64_t>(mib) * kBytesPerMiB; },
         "disk used by all sessions together, in MiB")
      ->type_name("N")
      ->default_str(std::to_string(d.max_disk_bytes / kBytesPerMiB))
      ->check(within(1, std::numeric_limits<int>::max()));
  app.add_option_function<long long>(
         "--session-ttl", [&c](long long seconds) { c.session_ttl = std::chrono::seconds(seconds); },
         "seconds a session may stay idle before it is removed")
      ->type_name("S")
      ->default_str(std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d.session_ttl).count()))
      ->check(within(1, kMaxSessionTtlS));
  add_parsed(app, "--log", "must be quiet, info or debug",
             [&c](const std::string& v) {
               static const std::map<std::string, LogLevel> levels{
                   {"quiet", LogLevel::Quiet}, {"info", LogLevel::Info}, {"debug", LogLevel::Debug}};
               const auto level = levels.find(v);
               if (level != levels.end()) c.log_level = level->second;
               return level != levels.end();
             },
             "quiet, info or debug; the log goes to stderr")
      ->type_name("LEVEL")->default_str("info");

  const std::string neural = "Neural engine (a salient-object segmentation network in ONNX form: IS-Net, U2-Net, BiRefNet, ...)";
  app.add_option("--model", c.neural.model_path, "the network for the neural engine; checked at start with one inference")
      ->group(neural)->type_name("FILE")->check(not_empty("a file"));
  app.add_flag("--check-model", check_model,
               "load the model (--model, else the cached one), check it with one inference, say so and exit")
      ->group(neural);
  add_parsed(app, "--model-size", "must be N or WxH, each 8 to 8192",
             [&c](const std::string& v) { return parse_size(v, c.neural.input_width, c.neural.input_height); },
             "input size in pixels")
      ->group(neural)
      ->type_name("N|WxH")
      ->default_str(std::to_string(d.neural.input_width) + "x" + std::to_string(d.neural.input_height));
  add_parsed(app, "--model-mean", "must be one number or three separated by commas",
             [&c](const std::string& v) {
               const auto rgb = parse_rgb(v, -kMaxMeanMagnitude, kMaxMeanMagnitude);
               if (rgb) c.neural.mean = *rgb;
               return rgb.has_value();
             },
             "the network sees (pixel/255 - mean) / std")
      ->group(neural)->type_name("V|R,G,B")->default_str(rgb_text(d.neural.mean));
  add_parsed(app, "--model-std", "must be one positive number or three separated by commas",
             [&c](const std::string& v) {
               const auto rgb = parse_rgb(v, kMinStd, kMaxStd);
               if (rgb) c.neural.std = *rgb;
               return rgb.has_value();
             },
             "ImageNet-trained families: mean 0.485,0.456,0.406 std 0.229,0.224,0.225")
      ->group(neural)->type_name("V|R,G,B")->default_str(rgb_text(d.neural.std));
  app.add_option("--model-output", c.neural.output_name,
                 "the output holding the map (default: \"output\" if there is one, else the only one)")
      ->group(neural)->type_name("NAME")->check(not_empty("a name"));
  app.add_option("--keyframe-spacing", c.neural.keyframe_spacing,
                 "also run the network every N frames from the anchor; 0: on the anchor only")
      ->group(neural)->type_name("N")->capture_default_str()->check(within(0, kMaxKeyframeSpacing));
}

}  // namespace

std::string help_text() {
  BackendConfig scratch;
  bool check_model = false;
  CLI::App app{"", "trevane-backend"};
  declare_options(app, scratch, check_model);
  return app.help();
}

ParsedArgs parse_args(const std::vector<std::string>& args) {
  ParsedArgs out;
  bool check_model = false;
  CLI::App app{"", "trevane-backend"};
  declare_options(app, out.config, check_model);
  try {
    kesto::options::parse(app, args);
  } catch (const CLI::CallForHelp&) {
    out.action = ParsedArgs::Action::Help;
    return out;
  } catch (const CLI::ParseError& e) {
    out.action = ParsedArgs::Action::Error;
    out.message = e.what();
    return out;
  }
  const BackendConfig& c = out.config;
  if (c.engine != "auto" && c.engine != "neural" && !c.neural.model_path.empty()) {
    out.action = ParsedArgs::Action::Error;
    out.message = "--model is used only with --engine auto or neural";
  } else if (check_model) {
    out.action = ParsedArgs::Action::CheckModel;
  }
  return out;
}

}  // namespace kesto::backend
