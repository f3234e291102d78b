#pragma once
// Reads an uploaded frame's format and size from its header bytes, without decoding the picture, so uploads
// stay fast and a bad file is refused at once. JPEG (baseline, progressive, any SOF) and PNG are accepted.

#include <cstddef>
#include <string_view>

#include "Result.h"

namespace kesto::backend {

enum class ImageFormat { Jpeg, Png };

inline constexpr int kMaxFrameSidePx = 8192;

struct ImageInfo {
  ImageFormat format = ImageFormat::Jpeg;
  int width = 0;
  int height = 0;
};

// 415 for an unknown or damaged header, 413 for a side beyond kMaxFrameSidePx.
Result<ImageInfo> probe_image(std::string_view bytes);

const char* file_extension(ImageFormat format);  // ".jpg" or ".png"
const char* media_type(ImageFormat format);      // "image/jpeg" or "image/png"

}  // namespace kesto::backend
