#pragma once
// A thread-safe line logger to stderr. One instance per server; components get it by reference.

#include <mutex>
#include <string>
#include <string_view>

namespace kesto::backend {

enum class LogLevel { Quiet = 0, Info = 1, Debug = 2 };

class Log {
 public:
  explicit Log(LogLevel level) : level_(level) {}
  void info(std::string_view text) const { write(LogLevel::Info, text); }
  void debug(std::string_view text) const { write(LogLevel::Debug, text); }
  // Problems are shown unless the log is quiet, like info lines, but marked.
  void warn(std::string_view text) const;

 private:
  void write(LogLevel level, std::string_view text) const;
  LogLevel level_;
  mutable std::mutex mu_;
};

// Makes client-supplied text safe for one log line: control bytes become '?', and long text is cut.
std::string printable(std::string_view text, std::size_t max_bytes = 120);

}  // namespace kesto::backend
