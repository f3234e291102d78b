#pragma once
// Decoded pixels into the clip's frames: whatever the file holds (8-bit, 16-bit, half or float; gray, gray
// and alpha, RGB or RGBA) becomes RGBA at the clip's depth and size. Images without alpha get alpha 1, gray
// is spread to R, G and B. Values are kept as stored: no clamping at float depth, no colour conversion, no
// change of alpha association.

#include <optional>
#include <string>

#include <OpenImageIO/imagebuf.h>

#include "host/Host.h"

namespace trevane::cli {

struct FrameSize {
  int width = 0;
  int height = 0;
  bool operator==(const FrameSize &o) const { return width == o.width && height == o.height; }
  bool operator!=(const FrameSize &o) const { return !(*this == o); }
};

// --proxy: the frames scaled down on reading, to a width in pixels or by a fraction of the source's width,
// keeping the picture's shape.
struct ProxyScale {
  std::optional<int> width;  // pixels, 2 or more
  double fraction = 1.0;     // above 0, up to 1; used when no width is given
  // "640" (a width) or "0.5" (a fraction: any value up to 1). Fails with CLI::ValidationError.
  static ProxyScale parse(const std::string &text);
  // The frames' size for a source of `source`; fails with UsageError when the proxy is wider than the source.
  FrameSize of(FrameSize source) const;
};

// `decoded` (any type, `alphaChannel` its alpha or -1) as an RGBA frame of `size` at `depth`. Scaling
// averages the source pixels each frame pixel covers. Throws std::runtime_error when OpenImageIO fails.
host::Image clipFrame(const OIIO::ImageBuf &decoded, int alphaChannel, FrameSize size, host::PixelDepth depth);

// What reading a file with OpenImageIO asks for: values as stored, alpha as the file holds it.
OIIO::ImageSpec readConfig();

// OpenImageIO's error text as one line.
std::string oneLine(std::string text);

}  // namespace trevane::cli
