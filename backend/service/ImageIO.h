#pragma once
// Frame decoding and matte encoding through OpenCV's imgcodecs.

#include <filesystem>
#include <string>

#include <opencv2/core/mat.hpp>

namespace kesto::backend {

// Decodes a JPEG or PNG file into 8-bit BGR, in the file's own pixel layout (EXIF orientation is not
// applied, so the size matches the header the upload was checked against).
bool read_color_image(const std::filesystem::path& path, cv::Mat& bgr, std::string& error);

// Encodes an 8-bit single-channel image as PNG and stores it atomically. Returns the bytes written, 0 on
// failure with `error` set.
std::size_t write_gray_png(const std::filesystem::path& path, const cv::Mat& gray, std::string& error);

}  // namespace kesto::backend
