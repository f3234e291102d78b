#include "cli/SequenceOptions.h"

#include "cli/Cli.h"

namespace trevane::cli {

std::optional<host::PixelDepth> pixelDepthNamed(const std::string &text) {
  if (text == "byte") return host::PixelDepth::Byte;
  if (text == "float") return host::PixelDepth::Float;
  return std::nullopt;
}

double parseRateFps(const std::string &text) {
  const double rateFps = parseDouble("rate", text);
  if (rateFps <= 0.0) throw UsageError("--rate: frames per second must be above 0");
  return rateFps;
}

host::InstanceOptions sequenceInstanceOptions(host::PixelDepth depth, int width, int height, double rateFps) {
  host::InstanceOptions options;
  options.depth = depth;
  options.projectWidth = width;
  options.projectHeight = height;
  options.frameRate = rateFps;
  options.interactive = false;
  return options;
}

}  // namespace trevane::cli
