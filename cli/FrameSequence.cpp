#include "cli/FrameSequence.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

namespace trevane::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxPadDigits = 18;
constexpr int kFolderOutputDigits = 6;
constexpr const char *kPngSuffix = ".png";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isDirectory(const std::string &path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool endsWith(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The number in `name` if `name` is exactly what `pattern` makes of that number.
std::optional<long long> numberIn(const NumberedName &pattern, const std::string &name) {
  if (name.size() <= pattern.prefix.size() + pattern.suffix.size()) return std::nullopt;
  if (name.compare(0, pattern.prefix.size(), pattern.prefix) != 0 || !endsWith(name, pattern.suffix)) {
    return std::nullopt;
  }
  const std::string digits = name.substr(pattern.prefix.size(), name.size() - pattern.prefix.size() - pattern.suffix.size());
  if (digits.empty() || digits.size() > static_cast<std::size_t>(kMaxPadDigits) ||
      !std::all_of(digits.begin(), digits.end(), isDigit)) {
    return std::nullopt;
  }
  const long long number = std::stoll(digits);
  if (pattern.format(number) != name) return std::nullopt;
  return number;
}

std::vector<SequenceFrame> folderFrames(const std::string &folder, std::string *error) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (endsWith(name, kPngSuffix) && it->is_regular_file(ec)) names.push_back(it->path().string());
  }
  if (ec) {
    *error = "cannot list the folder '" + folder + "': " + ec.message();
    return {};
  }
  std::sort(names.begin(), names.end());
  std::vector<SequenceFrame> frames;
  for (std::size_t i = 0; i < names.size(); ++i) frames.push_back({static_cast<long long>(i), names[i]});
  return frames;
}

std::vector<SequenceFrame> patternFrames(const NumberedName &pattern, std::string *error) {
  // The pattern's folder is the part of the prefix up to its last '/'.
  const std::size_t slash = pattern.prefix.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : pattern.prefix.substr(0, slash + 1);
  const NumberedName local{slash == std::string::npos ? pattern.prefix : pattern.prefix.substr(slash + 1),
                           pattern.minDigits, pattern.suffix};
  if (local.suffix.find('/') != std::string::npos) {
    *error = "the frame number must be in the file name, not in a folder name";
    return {};
  }
  std::map<long long, std::string> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (const auto n = numberIn(local, it->path().filename().string())) found[*n] = pattern.format(*n);
  }
  if (ec) {
    *error = "cannot list the folder '" + folder + "': " + ec.message();
    return {};
  }
  std::vector<SequenceFrame> frames;
  for (const auto &[number, path] : found) frames.push_back({number, path});
  return frames;
}

}  // namespace

std::string NumberedName::format(long long number) const {
  std::string digits = std::to_string(number < 0 ? -number : number);
  if (digits.size() < static_cast<std::size_t>(minDigits)) {
    digits.insert(0, static_cast<std::size_t>(minDigits) - digits.size(), '0');
  }
  return prefix + (number < 0 ? "-" : "") + digits + suffix;
}

std::optional<NumberedName> parseNumberedPattern(const std::string &pattern, std::string *error) {
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
  if (!seen) {
    *error = "'" + pattern + "' is neither a folder nor a pattern with a frame number such as frames/%06d.png";
    return std::nullopt;
  }
  return name;
}

std::vector<SequenceFrame> findSequence(const std::string &input, std::optional<long long> first,
                                        std::optional<long long> last, std::string *error) {
  std::vector<SequenceFrame> all;
  if (isDirectory(input)) {
    all = folderFrames(input, error);
  } else {
    const std::optional<NumberedName> pattern = parseNumberedPattern(input, error);
    if (!pattern) return {};
    all = patternFrames(*pattern, error);
  }
  if (!error->empty()) return {};
  if (all.empty()) {
    *error = "no frames found at '" + input + "'";
    return {};
  }
  const long long from = first.value_or(all.front().number);
  const long long to = last.value_or(all.back().number);
  if (from > to) {
    *error = "the first frame (" + std::to_string(from) + ") comes after the last (" + std::to_string(to) + ")";
    return {};
  }
  std::vector<SequenceFrame> frames;
  auto it = std::lower_bound(all.begin(), all.end(), from,
                             [](const SequenceFrame &f, long long n) { return f.number < n; });
  for (long long n = from; n <= to; ++n, ++it) {
    if (it == all.end() || it->number != n) {
      *error = "frame " + std::to_string(n) + " of '" + input + "' is missing";
      return {};
    }
    frames.push_back(*it);
  }
  return frames;
}

bool isFolderOutput(const std::string &output) {
  return (!output.empty() && output.back() == '/') || isDirectory(output);
}

std::optional<std::string> outputPath(const std::string &output, long long number, std::string *error) {
  if (isFolderOutput(output)) {
    const std::string folder = output.back() == '/' ? output : output + "/";
    return NumberedName{folder, kFolderOutputDigits, kPngSuffix}.format(number);
  }
  const std::optional<NumberedName> pattern = parseNumberedPattern(output, error);
  if (!pattern) return std::nullopt;
  return pattern->format(number);
}

}  // namespace trevane::cli
