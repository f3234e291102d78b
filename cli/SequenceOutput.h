#pragma once
// Where the sequence commands (render, pull) put their frames: the output folder, and each rendered frame
// as a PNG file.

#include <string>
#include <vector>

#include "cli/FrameSequence.h"
#include "host/Host.h"

namespace trevane::cli {

// The output file of every frame, in order. Fails with UsageError when `output` gives no path for a frame,
// or when a path would overwrite one of the input frames: a mistyped --output never destroys the footage.
std::vector<std::string> outputPathsFor(const std::string &output, const std::vector<SequenceFrame> &frames);

// Makes the folder the output frames go to when it is missing: `output` itself when it names a folder, else
// the folder of `firstOutputPath`. Fails with UsageError when the folder cannot be made.
void makeOutputFolder(const std::string &output, const std::string &firstOutputPath);

// Writes a rendered image as an 8-bit RGBA PNG file, top row first. False when the file cannot be written.
bool writeFramePng(const host::Image &image, const std::string &path);

}  // namespace trevane::cli
