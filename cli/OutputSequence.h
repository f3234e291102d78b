#pragma once
// Where the sequence commands (render, pull) put their frames. Output frames keep the input's numbers.

#include <string>
#include <vector>

#include "cli/ClipSource.h"
#include "cli/FrameOutput.h"

namespace trevane::cli {

struct OutputSequence {
  std::vector<std::string> paths;  // one per frame of the clip, in order
  std::string folder;              // where they go, made by makeFolder()
  void makeFolder() const;         // fails with UsageError when the folder cannot be made
};

// The output file of every frame of `clip`. `output` is a numbered pattern (as for --input) whose extension
// names the format, or a folder (an existing one, or a path ending in '/'): there each frame keeps its input
// file's name, in the input's format where trevane writes it with alpha, else (JPEG, another format, a video)
// as PNG with the file's name, or for a video the frame number in six digits. Fails with UsageError when the extension
// names no format trevane writes, or when a path would overwrite an input file: a mistyped --output never
// destroys the footage. `command` names the tool's command for the note that a format keeps no alpha.
OutputSequence planOutput(const std::string &output, const ClipSource &clip, const char *command);

}  // namespace trevane::cli
