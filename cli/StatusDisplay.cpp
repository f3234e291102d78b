#include "cli/StatusDisplay.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "cli/Cli.h"

namespace trevane::cli {
namespace {

constexpr int kCells = 30;

// The "i/n" count in a status text such as "uploading 25/120" or "tracking: propagating 37/120".
std::optional<double> fraction(const std::string &s) {
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

}  // namespace

StatusDisplay::StatusDisplay() : bar_(interactiveOutput()) {}

void StatusDisplay::show(const std::string &status) {
  if (status == last_) return;
  last_ = status;
  if (!bar_) {
    std::printf("%s\n", status.c_str());
  } else {
    const std::optional<double> f = fraction(status);
    const int filled = f ? static_cast<int>(*f * kCells) : 0;
    std::printf("\r\033[K[%s%s] %s", std::string(static_cast<size_t>(filled), '#').c_str(),
                std::string(static_cast<size_t>(kCells - filled), f ? ' ' : '.').c_str(), status.c_str());
  }
  std::fflush(stdout);
}

void StatusDisplay::end() {
  if (bar_ && !last_.empty()) std::printf("\n");
  std::fflush(stdout);
}

}  // namespace trevane::cli
