#include "cli/ClipPixels.h"

#include <cmath>
#include <stdexcept>

#include <CLI/CLI.hpp>
#include <OpenImageIO/imagebufalgo.h>

#include "cli/Cli.h"

namespace trevane::cli {
namespace {

constexpr int kRgba = 4;
constexpr int kMinProxyWidth = 2;
constexpr int kMaxProxyWidth = 65535;

}  // namespace

ProxyScale ProxyScale::parse(const std::string &text) {
  double v = 0.0;
  if (!CLI::detail::lexical_cast(text, v) || !std::isfinite(v) || v <= 0.0) {
    throw CLI::ValidationError("--proxy", "'" + text + "' is neither a width in pixels nor a fraction above 0");
  }
  ProxyScale p;
  if (v <= 1.0) {
    p.fraction = v;
  } else if (v == std::floor(v) && v >= kMinProxyWidth && v <= kMaxProxyWidth) {
    p.width = static_cast<int>(v);
  } else {
    throw CLI::ValidationError("--proxy", "'" + text + "': a whole width in pixels, or a fraction up to 1");
  }
  return p;
}

FrameSize ProxyScale::of(FrameSize source) const {
  const int w = width ? *width : std::max(1, static_cast<int>(std::lround(source.width * fraction)));
  if (w > source.width) {
    throw UsageError("--proxy: " + std::to_string(w) + " pixels is wider than the input (" +
                     std::to_string(source.width) + " pixels)");
  }
  if (w == source.width) return source;
  const double h = static_cast<double>(source.height) * w / source.width;
  return {w, std::max(1, static_cast<int>(std::lround(h)))};
}

OIIO::ImageSpec readConfig() {
  OIIO::ImageSpec config;
  // PNG and some TIFFs store alpha unassociated; OpenImageIO would multiply it in. The clip gets the values
  // the file holds, as an editor reading the same file would hand them over.
  config.attribute("oiio:UnassociatedAlpha", 1);
  return config;
}

std::string oneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char &c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

host::Image clipFrame(const OIIO::ImageBuf &decoded, int alphaChannel, FrameSize size, host::PixelDepth depth) {
  const int n = decoded.nchannels();
  const int colour = n >= 3 ? 3 : 1;  // gray is spread to R, G and B
  const bool hasAlpha = alphaChannel >= 0 && alphaChannel < n;
  const int order[kRgba] = {0, colour == 3 ? 1 : 0, colour == 3 ? 2 : 0, hasAlpha ? alphaChannel : -1};
  const float values[kRgba] = {0.0f, 0.0f, 0.0f, 1.0f};
  OIIO::ImageBuf rgba;
  if (!OIIO::ImageBufAlgo::channels(rgba, decoded, kRgba, order, values)) {
    throw std::runtime_error(oneLine(rgba.geterror()));
  }
  const OIIO::TypeDesc type = depth == host::PixelDepth::Float ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT8;
  const OIIO::ImageBuf *pixels = &rgba;
  OIIO::ImageBuf scaled;
  if (size != FrameSize{decoded.spec().width, decoded.spec().height}) {
    scaled.reset(OIIO::ImageSpec(size.width, size.height, kRgba, type));
    // A box as wide as the step between frame pixels averages what each covers, as proxies are made.
    if (!OIIO::ImageBufAlgo::resize(scaled, rgba, "box")) throw std::runtime_error(oneLine(scaled.geterror()));
    pixels = &scaled;
  }
  host::Image frame = host::Image::make({0, 0, size.width, size.height}, depth);
  // Files run top row first, host images bottom row first: start at the top row and step down.
  if (!pixels->get_pixels(OIIO::ROI(0, size.width, 0, size.height, 0, 1, 0, kRgba), type,
                          frame.pixelAddress(0, size.height - 1), OIIO::AutoStride, -frame.rowBytes())) {
    throw std::runtime_error(oneLine(pixels->geterror()));
  }
  return frame;
}

}  // namespace trevane::cli
