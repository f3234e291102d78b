#pragma once
// The server's options, their defaults, and the command-line parser behind `trevane-backend --help`.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Log.h"
#include "backend/matting/NeuralOptions.h"

namespace kesto::backend {

struct BackendConfig {
  std::string host = "127.0.0.1";
  int port = 8765;                    // 0: the operating system picks a free port
  std::string workdir;                // empty: a fresh folder under /tmp, removed at exit
  std::string engine = "auto";        // "auto", "classical", "neural" or "trivial" (see ModelCache.h for auto)
  std::string port_file;              // when set, the bound port is written there once listening
  std::string node;                   // when set, every new session id begins with "NODE-" (several backends)
  int max_jobs = 2;                   // jobs matted at the same time; more wait in a queue
  int http_threads = 8;               // requests handled at the same time (connections are not limited by it)
  int max_sessions = 64;
  int max_frames = 50000;             // per session
  std::size_t max_frame_bytes = 32u * 1024u * 1024u;
  std::uint64_t max_disk_bytes = 8ull * 1024u * 1024u * 1024u;
  std::chrono::milliseconds session_ttl{std::chrono::hours(1)};  // idle time after which a session is removed
  LogLevel log_level = LogLevel::Info;
  // Deadlines for slow or idle clients; not options (the defaults suit any client), but tests shorten them.
  std::chrono::milliseconds header_timeout{std::chrono::seconds(10)};  // a request's headers, from its first byte
  std::chrono::milliseconds idle_timeout{std::chrono::seconds(5)};     // a kept-alive connection between requests
  NeuralOptions neural;               // the model and its settings, for the neural engine
};

struct ParsedArgs {
  // CheckModel: load the model (--model, else the cached one), check it, report and exit.
  enum class Action { Run, Help, Error, CheckModel } action = Action::Run;
  BackendConfig config;
  std::string message;  // the error for Action::Error
};

ParsedArgs parse_args(const std::vector<std::string>& args);  // args without the program name
std::string help_text();

}  // namespace kesto::backend
