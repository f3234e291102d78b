#pragma once
// Options that the commands rendering a whole sequence (render, pull) read alike, and the instance they make
// from them.

#include <optional>
#include <string>

#include "host/Host.h"

namespace trevane::cli {

inline constexpr double kDefaultRateFps = 25.0;

// "byte" or "float"; none for any other text (each command words its own usage error).
std::optional<host::PixelDepth> pixelDepthNamed(const std::string &text);

// The value of "--rate": frames per second, above 0. Fails with UsageError otherwise.
double parseRateFps(const std::string &text);

// An instance that renders a sequence unattended: the project is one frame's size, at the clip's rate.
host::InstanceOptions sequenceInstanceOptions(host::PixelDepth depth, int width, int height, double rateFps);

}  // namespace trevane::cli
