#pragma once
// Writing frames and pictures through OpenImageIO, the format following the file's extension: .exr (half,
// or float with --exr-float; R, G, B, A, alpha associated; lossless ZIP), .png (8-bit, 16-bit at float depth),
// .tif (8-bit, float at float depth), .dpx (8-bit, 16-bit at float depth), .jpg (8-bit, no alpha).

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "host/Host.h"

namespace trevane::cli {

struct OutputFormat;

// The format a file name asks for by its extension; null for one trevane does not write.
const OutputFormat *outputFormatFor(const std::string &path);
// The format of that name in OpenImageIO ("openexr", "png", ...); null when trevane does not write it.
const OutputFormat *outputFormatNamed(const std::string &oiioFormat);
const char *mainExtension(const OutputFormat &format);  // ".exr", ".png", ...
bool keepsAlpha(const OutputFormat &format);
// Refuses file names whose extension names no format trevane writes.
CLI::Validator writableImageName();

// What travels with each frame, where the format keeps it.
struct FrameMetadata {
  double framesPerSecond = 0.0;  // 0: none
  float pixelAspect = 1.0f;
  std::optional<std::array<std::uint32_t, 2>> timecode;  // SMPTE time and flags, user bits
};

// Writes a rendered frame at `path` in the format of its extension. The file appears complete or not at all:
// it is written beside its place and renamed into it. False, with *error set, when it cannot be written.
bool writeFrame(const host::Image &image, const std::string &path, const FrameMetadata &metadata, bool exrFloat,
                std::string *error);

// The same for an 8-bit RGBA picture given top row first, tightly packed (the overlay, the contact sheet).
bool writePicture(const std::uint8_t *rgba, int width, int height, const std::string &path, std::string *error);

}  // namespace trevane::cli
