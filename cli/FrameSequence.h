#pragma once
// Image sequences on disk: numbered file patterns ("frames/%06d.png") and folders of PNG files.

#include <optional>
#include <string>
#include <vector>

namespace trevane::cli {

// A file name with one frame number in it: prefix, the number with at least minDigits digits (zero-padded),
// suffix. Built from a pattern with exactly one %d, %Nd or %0Nd conversion ("%%" stands for '%'); nothing
// of the pattern is ever handed to printf.
struct NumberedName {
  std::string prefix;
  int minDigits = 1;
  std::string suffix;
  std::string format(long long number) const;
};

// The pattern's parts, or none (with *error set) when it has no conversion, more than one, or another kind.
std::optional<NumberedName> parseNumberedPattern(const std::string &pattern, std::string *error);

struct SequenceFrame {
  long long number = 0;  // the frame number: in the file name, or the position in a folder
  std::string path;
};

// Frames of a sequence. `input` is a folder (every file ending in ".png", sorted by name, numbered from 0 by
// position) or a numbered pattern (the numbers whose file exists). `first` and `last` (inclusive) default to
// the first and last frame found; every frame in between must exist. Failure: empty result and *error set.
std::vector<SequenceFrame> findSequence(const std::string &input, std::optional<long long> first,
                                        std::optional<long long> last, std::string *error);

// Where frame `number` is written: `output` as a numbered pattern, or, for a folder (an existing directory
// or a path ending in '/'), the folder + "/" + the number in six digits at least + ".png".
// Failure: none and *error set.
std::optional<std::string> outputPath(const std::string &output, long long number, std::string *error);

// True when `output` names a folder rather than a pattern (see outputPath).
bool isFolderOutput(const std::string &output);

}  // namespace trevane::cli
