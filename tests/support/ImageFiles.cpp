#include "tests/support/ImageFiles.h"

#include <memory>

#include <OpenImageIO/imageio.h>

namespace kesto::testing {

std::vector<std::uint8_t> load_rgba(const std::string &path, int *width, int *height) {
  int scratch = 0;
  int &w = width != nullptr ? *width : scratch;
  int &h = height != nullptr ? *height : scratch;
  w = h = 0;
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(path, &config);
  if (!in) return {};
  const OIIO::ImageSpec &spec = in->spec();
  const int n = spec.nchannels;
  std::vector<std::uint8_t> file(static_cast<std::size_t>(spec.width) * spec.height * n);
  if (n < 1 || n > 4 || !in->read_image(0, 0, 0, n, OIIO::TypeDesc::UINT8, file.data())) return {};
  std::vector<std::uint8_t> rgba(static_cast<std::size_t>(spec.width) * spec.height * 4);
  for (std::size_t i = 0; i < rgba.size() / 4; ++i) {
    const std::uint8_t *s = &file[i * n];
    std::uint8_t *d = &rgba[i * 4];
    d[0] = s[0];
    d[1] = n >= 3 ? s[1] : s[0];
    d[2] = n >= 3 ? s[2] : s[0];
    d[3] = n == 4 ? s[3] : n == 2 ? s[1] : 255;
  }
  w = spec.width;
  h = spec.height;
  return rgba;
}

bool write_png_file(const std::string &path, const std::uint8_t *pixels, int width, int height, int channels) {
  if (pixels == nullptr || width < 1 || height < 1 || channels < 1 || channels > 4) return false;
  OIIO::ImageSpec spec(width, height, channels, OIIO::TypeDesc::UINT8);
  spec.attribute("oiio:UnassociatedAlpha", 1);
  std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create("png");
  if (!out || !out->open(path, spec)) return false;
  const bool written = out->write_image(OIIO::TypeDesc::UINT8, pixels);
  return out->close() && written;
}

}  // namespace kesto::testing
