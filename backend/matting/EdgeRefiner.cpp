#include "EdgeRefiner.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

namespace kesto::backend {

namespace {

// Guided filter window, as a fraction of the longer side, and its regularisation (in 8-bit intensity units
// squared): small enough to follow real edges, large enough to ignore texture.
constexpr double kGuideRadiusFraction = 0.004;
constexpr int kMinGuideRadiusPx = 2;
constexpr double kGuideEps = 0.01 * 255.0 * 255.0;

}  // namespace

cv::Mat refine_edges(const cv::Mat& frame_bgr, const cv::Mat& mask, Quality quality, double edge_softness) {
  const cv::Size size = frame_bgr.size();
  const int longer = std::max(size.width, size.height);
  cv::Mat alpha;  // CV_32F, 0..1
  cv::Mat scaled;
  if (mask.size() == size) {
    scaled = mask;
  } else {
    cv::resize(mask, scaled, size, 0, 0, cv::INTER_LINEAR);
  }
  scaled.convertTo(alpha, CV_32F, 1.0 / 255.0);

  if (quality == Quality::Fine) {
    const int radius = std::max(kMinGuideRadiusPx, static_cast<int>(std::lround(longer * kGuideRadiusFraction)));
    cv::Mat filtered;
    cv::ximgproc::guidedFilter(frame_bgr, alpha, filtered, radius, kGuideEps, -1);
    alpha = filtered;
  }

  const double feather_px = std::clamp(edge_softness, 0.0, 1.0) * kMaxFeatherFraction * longer;
  if (feather_px >= 0.5) {
    const double sigma = feather_px / 2.0;
    cv::GaussianBlur(alpha, alpha, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
  }
  cv::Mat out;
  alpha.convertTo(out, CV_8U, 255.0);  // saturates below 0 and above 1
  return out;
}

}  // namespace kesto::backend
