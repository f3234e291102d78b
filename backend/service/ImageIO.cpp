#include "ImageIO.h"

#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "FileUtil.h"

namespace kesto::backend {

namespace {
// Mattes are mostly runs of 0 and 255: run-length zlib at the fastest level compresses them best and cheapest.
constexpr int kPngCompressionLevel = 1;
}  // namespace

bool read_color_image(const std::filesystem::path& path, cv::Mat& bgr, std::string& error) {
  try {
    bgr = cv::imread(path.string(), cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  } catch (const cv::Exception& e) {
    error = "cannot decode " + path.filename().string() + ": " + e.what();
    return false;
  }
  if (bgr.empty()) {
    error = "cannot decode " + path.filename().string();
    return false;
  }
  return true;
}

std::size_t write_gray_png(const std::filesystem::path& path, const cv::Mat& gray, std::string& error) {
  if (gray.empty() || gray.type() != CV_8UC1) {
    error = "matte is not an 8-bit single-channel image";
    return 0;
  }
  std::vector<uchar> bytes;
  try {
    if (!cv::imencode(".png", gray, bytes, {cv::IMWRITE_PNG_COMPRESSION, kPngCompressionLevel, cv::IMWRITE_PNG_STRATEGY,
                                          cv::IMWRITE_PNG_STRATEGY_RLE})) {
      error = "cannot encode matte";
      return 0;
    }
  } catch (const cv::Exception& e) {
    error = std::string("cannot encode matte: ") + e.what();
    return 0;
  }
  error = write_file_atomic(path, bytes.data(), bytes.size());
  return error.empty() ? bytes.size() : 0;
}

}  // namespace kesto::backend
