#include "Log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace kesto::backend {

namespace {

std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  std::tm parts{};
  localtime_r(&secs, &parts);
  char buf[32] = {};
  std::strftime(buf, sizeof buf, "%H:%M:%S", &parts);
  return buf;
}

}  // namespace

void Log::warn(std::string_view text) const {
  write(LogLevel::Info, std::string("warning: ").append(text));
}

void Log::write(LogLevel level, std::string_view text) const {
  if (static_cast<int>(level) > static_cast<int>(level_)) return;
  const std::string line = timestamp() + " trevane-backend: " + std::string(text) + "\n";
  const std::lock_guard<std::mutex> lock(mu_);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string printable(std::string_view text, std::size_t max_bytes) {
  std::string out;
  out.reserve(std::min(text.size(), max_bytes) + 3);
  for (const char c : text) {
    if (out.size() >= max_bytes) {
      out += "...";
      break;
    }
    const auto byte = static_cast<unsigned char>(c);
    out += (byte < 0x20 || byte == 0x7f) ? '?' : c;
  }
  return out;
}

}  // namespace kesto::backend
