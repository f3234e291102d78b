#pragma once
// Numbered file names of image sequences: "shot.%04d.exr", "shot.####.exr", "shot.@.exr".

#include <optional>
#include <string>

namespace trevane::cli {

// A file name with one frame number in it: prefix, the number with at least minDigits digits (zero-padded),
// suffix. Nothing of a pattern is ever handed to printf.
struct NumberedName {
  std::string prefix;
  int minDigits = 1;
  std::string suffix;
  std::string format(long long number) const;
  // The number in `name` when `name` is exactly what format() makes of it.
  std::optional<long long> numberIn(const std::string &name) const;
};

// The parts of a pattern with one frame number: a %d, %Nd or %0Nd conversion ("%%" stands for '%'), or,
// in a pattern without '%', one run of '#' or '@', a digit each ("####" is four digits, zero-padded; "@"
// any number of digits). None when there is no frame number; none with *error set when there is more than
// one, or another conversion.
std::optional<NumberedName> parseNumberedPattern(const std::string &pattern, std::string *error);

}  // namespace trevane::cli
