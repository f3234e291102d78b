#pragma once
// The size of an image scaled by a factor, as the engines' reduced working copies use it.

#include <algorithm>
#include <cmath>

#include <opencv2/core/types.hpp>

namespace kesto::backend {

// `size` times `scale`, rounded, and never below 2 x 2 (OpenCV's flow and GrabCut need that much).
inline cv::Size scaled_size(cv::Size size, double scale) {
  return {std::max(2, static_cast<int>(std::lround(size.width * scale))),
          std::max(2, static_cast<int>(std::lround(size.height * scale)))};
}

}  // namespace kesto::backend
