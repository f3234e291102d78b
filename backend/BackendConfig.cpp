#include "BackendConfig.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <optional>

namespace kesto::backend {

namespace {

constexpr std::uint64_t kBytesPerMiB = 1024u * 1024u;

std::optional<long long> parse_integer(const std::string& text, long long lo, long long hi) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || value < lo || value > hi) return std::nullopt;
  return value;
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
         "  --engine NAME        matting engine: classical (OpenCV) or trivial (luminance threshold, for tests)\n"
         "                       (default " +
         d.engine +
         ")\n"
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
      if (value != "classical" && value != "trivial") return fail("--engine must be classical or trivial");
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
    } else {
      return fail("unknown option: " + name);
    }
  }
  return out;
}

}  // namespace kesto::backend
