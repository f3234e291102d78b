#include "cli/FramePattern.h"

#include <algorithm>

namespace trevane::cli {
namespace {

constexpr int kMaxPadDigits = 18;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool endsWith(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::optional<NumberedName> printfPattern(const std::string &pattern, std::string *error) {
  NumberedName name;
  std::string *part = &name.prefix;
  bool seen = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      part->push_back(pattern[i]);
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      part->push_back('%');
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    while (j < pattern.size() && isDigit(pattern[j])) ++j;
    if (j >= pattern.size() || pattern[j] != 'd') {
      *error = "'" + pattern + "': only %d, %Nd or %0Nd may stand for the frame number";
      return std::nullopt;
    }
    if (seen) {
      *error = "'" + pattern + "' holds more than one frame number";
      return std::nullopt;
    }
    const std::string width = pattern.substr(i + 1, j - i - 1);
    if (width.size() > 2 || (!width.empty() && std::stoi(width) > kMaxPadDigits)) {
      *error = "'" + pattern + "': at most " + std::to_string(kMaxPadDigits) + " digits";
      return std::nullopt;
    }
    name.minDigits = width.empty() ? 1 : std::max(1, std::stoi(width));
    seen = true;
    part = &name.suffix;
    i = j;
  }
  if (!seen) return std::nullopt;
  return name;
}

std::optional<NumberedName> hashPattern(const std::string &pattern, std::string *error) {
  const std::size_t start = pattern.find_first_of("#@");
  if (start == std::string::npos) return std::nullopt;
  const char mark = pattern[start];
  const std::size_t end = pattern.find_first_not_of(mark, start);
  const std::size_t run = (end == std::string::npos ? pattern.size() : end) - start;
  if (pattern.find_first_of("#@", start + run) != std::string::npos) {
    *error = "'" + pattern + "' holds more than one frame number";
    return std::nullopt;
  }
  if (run > static_cast<std::size_t>(kMaxPadDigits)) {
    *error = "'" + pattern + "': at most " + std::to_string(kMaxPadDigits) + " digits";
    return std::nullopt;
  }
  return NumberedName{pattern.substr(0, start), static_cast<int>(run), pattern.substr(start + run)};
}

}  // namespace

std::string NumberedName::format(long long number) const {
  std::string digits = std::to_string(number < 0 ? -number : number);
  if (digits.size() < static_cast<std::size_t>(minDigits)) {
    digits.insert(0, static_cast<std::size_t>(minDigits) - digits.size(), '0');
  }
  return prefix + (number < 0 ? "-" : "") + digits + suffix;
}

std::optional<long long> NumberedName::numberIn(const std::string &name) const {
  if (name.size() <= prefix.size() + suffix.size()) return std::nullopt;
  if (name.compare(0, prefix.size(), prefix) != 0 || !endsWith(name, suffix)) return std::nullopt;
  const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (digits.empty() || digits.size() > static_cast<std::size_t>(kMaxPadDigits) ||
      !std::all_of(digits.begin(), digits.end(), isDigit)) {
    return std::nullopt;
  }
  const long long number = std::stoll(digits);
  if (format(number) != name) return std::nullopt;
  return number;
}

std::optional<NumberedName> parseNumberedPattern(const std::string &pattern, std::string *error) {
  error->clear();
  return pattern.find('%') != std::string::npos ? printfPattern(pattern, error) : hashPattern(pattern, error);
}

}  // namespace trevane::cli
