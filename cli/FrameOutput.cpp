#include "cli/FrameOutput.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <filesystem>
#include <memory>
#include <system_error>

#include <OpenImageIO/imageio.h>

#include "cli/ClipPixels.h"

namespace trevane::cli {

struct OutputFormat {
  const char *extensions[3];  // the first is the one trevane names files with
  const char *oiioFormat;
  OIIO::TypeDesc::BASETYPE byteDepthType;   // for a clip at byte depth
  OIIO::TypeDesc::BASETYPE floatDepthType;  // for a clip at float depth
  bool alpha;
  const char *compression;  // null: the format's default
};

namespace {

namespace fs = std::filesystem;
using OIIO::TypeDesc;

constexpr OutputFormat kFormats[] = {
    {{".exr", nullptr, nullptr}, "openexr", TypeDesc::HALF, TypeDesc::HALF, true, "zip"},
    {{".png", nullptr, nullptr}, "png", TypeDesc::UINT8, TypeDesc::UINT16, true, nullptr},
    {{".tif", ".tiff", nullptr}, "tiff", TypeDesc::UINT8, TypeDesc::FLOAT, true, "zip"},
    {{".dpx", nullptr, nullptr}, "dpx", TypeDesc::UINT8, TypeDesc::UINT16, true, nullptr},
    {{".jpg", ".jpeg", nullptr}, "jpeg", TypeDesc::UINT8, TypeDesc::UINT8, false, "jpeg:95"},
};
constexpr int kRgba = 4;
constexpr int kMaxRateDenominator = 100000;

std::string lowerExtension(const std::string &path) {
  std::string ext = fs::path(path).extension().string();
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// The rate as a fraction with a denominator up to kMaxRateDenominator: 25 as 25/1, 23.976... as 24000/1001.
std::array<int, 2> rateFraction(double fps) {
  long long h0 = 0, h1 = 1, k0 = 1, k1 = 0;
  double x = fps;
  for (int i = 0; i < 32; ++i) {
    const double a = std::floor(x);
    const long long h2 = static_cast<long long>(a) * h1 + h0;
    const long long k2 = static_cast<long long>(a) * k1 + k0;
    if (k2 > kMaxRateDenominator || h2 > INT_MAX) break;
    h0 = h1, h1 = h2, k0 = k1, k1 = k2;
    if (std::fabs(static_cast<double>(h1) / static_cast<double>(k1) - fps) <= 1e-9 * fps || x - a < 1e-9) break;
    x = 1.0 / (x - a);
  }
  return {static_cast<int>(h1), static_cast<int>(k1 > 0 ? k1 : 1)};
}

// Writes `width` x `height` RGBA pixels of `type`, the top row at `topRow`, rows `rowStride` bytes apart.
bool writePixels(const void *topRow, OIIO::stride_t rowStride, TypeDesc type, int width, int height,
                 const std::string &path, TypeDesc fileType, const FrameMetadata &metadata, std::string *error) {
  const OutputFormat *format = outputFormatFor(path);
  if (format == nullptr) {
    *error = "cannot write '" + path + "': no format trevane writes has the extension '" + lowerExtension(path) + "'";
    return false;
  }
  OIIO::ImageSpec spec(width, height, format->alpha ? kRgba : 3, fileType);
  spec.attribute("PixelAspectRatio", metadata.pixelAspect);
  if (metadata.framesPerSecond > 0.0) {
    const std::array<int, 2> rate = rateFraction(metadata.framesPerSecond);
    spec.attribute("FramesPerSecond", OIIO::TypeRational, rate.data());
    spec.attribute("dpx:FrameRate", static_cast<float>(metadata.framesPerSecond));  // DPX has a field of its own
  }
  if (metadata.timecode) spec.attribute("smpte:TimeCode", OIIO::TypeTimeCode, metadata.timecode->data());
  if (format->compression != nullptr) spec.attribute("compression", format->compression);
  // PNG is defined with unassociated alpha and OpenImageIO would divide the colour by it; the frames are
  // written as they were rendered, as the tool always has.
  if (std::string(format->oiioFormat) == "png") spec.attribute("oiio:UnassociatedAlpha", 1);

  const fs::path target(path);
  const std::string partial = (target.parent_path() / ("." + target.filename().string() + ".partial")).string();
  std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(format->oiioFormat);
  bool ok = out != nullptr && out->open(partial, spec) &&
            out->write_image(type, topRow, static_cast<OIIO::stride_t>(kRgba * type.size()), rowStride);
  if (out != nullptr) ok = out->close() && ok;
  std::error_code ec;
  if (ok) fs::rename(partial, target, ec);
  if (!ok || ec) {
    const std::string why = out == nullptr ? oneLine(OIIO::geterror()) : oneLine(out->geterror());
    *error = "cannot write '" + path + "'" + (ec ? ": " + ec.message() : why.empty() ? "" : ": " + why);
    fs::remove(partial, ec);
    return false;
  }
  return true;
}

}  // namespace

const OutputFormat *outputFormatFor(const std::string &path) {
  const std::string ext = lowerExtension(path);
  for (const OutputFormat &f : kFormats) {
    for (const char *e : f.extensions) {
      if (e != nullptr && ext == e) return &f;
    }
  }
  return nullptr;
}

const OutputFormat *outputFormatNamed(const std::string &oiioFormat) {
  for (const OutputFormat &f : kFormats) {
    if (oiioFormat == f.oiioFormat) return &f;
  }
  return nullptr;
}

const char *mainExtension(const OutputFormat &format) { return format.extensions[0]; }

bool keepsAlpha(const OutputFormat &format) { return format.alpha; }

CLI::Validator writableImageName() {
  return CLI::Validator(
      [](const std::string &path) {
        return outputFormatFor(path) != nullptr ? std::string()
                                                : "'" + path + "' does not end in .exr, .png, .tif, .dpx or .jpg";
      },
      "");
}

bool writeFrame(const host::Image &image, const std::string &path, const FrameMetadata &metadata, bool exrFloat,
                std::string *error) {
  const OutputFormat *format = outputFormatFor(path);
  const bool isFloat = image.depth() == host::PixelDepth::Float;
  TypeDesc fileType = format == nullptr ? TypeDesc::UINT8 : isFloat ? format->floatDepthType : format->byteDepthType;
  if (fileType == TypeDesc::HALF && exrFloat) fileType = TypeDesc::FLOAT;
  // Host images keep the bottom row first: start at the top row and step down.
  const void *top = image.pixelAddress(image.bounds().x1, image.bounds().y2 - 1);
  return writePixels(top, -static_cast<OIIO::stride_t>(image.rowBytes()), isFloat ? TypeDesc::FLOAT : TypeDesc::UINT8,
                     image.width(), image.height(), path, fileType, metadata, error);
}

bool writePicture(const std::uint8_t *rgba, int width, int height, const std::string &path, std::string *error) {
  const OutputFormat *format = outputFormatFor(path);
  const TypeDesc fileType = format == nullptr ? TypeDesc::UINT8 : format->byteDepthType;
  return writePixels(rgba, static_cast<OIIO::stride_t>(width) * kRgba, TypeDesc::UINT8, width, height, path, fileType,
                     FrameMetadata{}, error);
}

}  // namespace trevane::cli
