#include "MaskPropagator.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "AnchorSegmenter.h"
#include "HoleFiller.h"

namespace kesto::backend {

namespace {

// A re-segmented mask that grew or shrank more than this against the warped one is distrusted: GrabCut has
// leaked into the background or lost the character, and the warped mask is the better guess.
constexpr double kMaxAreaChange = 0.35;

cv::Mat disc(int radius) {
  return cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1));
}

}  // namespace

cv::Mat warp_mask(const cv::Mat& prev_mask, const cv::Mat& flow_cur_to_prev) {
  cv::Mat map(flow_cur_to_prev.size(), CV_32FC2);
  for (int y = 0; y < map.rows; ++y) {
    const auto* f = flow_cur_to_prev.ptr<cv::Point2f>(y);
    auto* m = map.ptr<cv::Point2f>(y);
    for (int x = 0; x < map.cols; ++x) m[x] = cv::Point2f(static_cast<float>(x) + f[x].x, static_cast<float>(y) + f[x].y);
  }
  cv::Mat warped;
  cv::remap(prev_mask, warped, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
  cv::Mat binary;
  cv::threshold(warped, binary, 127.0, 255.0, cv::THRESH_BINARY);
  return binary;
}

MaskPropagator::MaskPropagator(PropagationParams params)
    : params_(params),
      flow_(cv::DISOpticalFlow::create(params.fine_flow ? cv::DISOpticalFlow::PRESET_MEDIUM
                                                        : cv::DISOpticalFlow::PRESET_FAST)) {}

MaskPropagator::~MaskPropagator() = default;

cv::Mat MaskPropagator::track(const cv::Mat& prev_gray, const cv::Mat& prev_mask, const cv::Mat& cur_bgr,
                              const cv::Mat& cur_gray) {
  cv::Mat flow;
  flow_->calc(cur_gray, prev_gray, flow);  // for each pixel of the new frame, where it was in the last one
  const cv::Mat warped = warp_mask(prev_mask, flow);
  const int warped_area = cv::countNonZero(warped);
  if (warped_area == 0) return warped;

  const int band = std::max(1, params_.band_px);
  cv::Mat inner;
  cv::Mat outer;
  cv::erode(warped, inner, disc(band));
  cv::dilate(warped, outer, disc(band));

  cv::Mat labels(warped.size(), CV_8UC1, cv::Scalar(cv::GC_BGD));
  labels.setTo(cv::GC_PR_BGD, outer);
  labels.setTo(cv::GC_PR_FGD, warped);
  labels.setTo(cv::GC_FGD, inner);

  const cv::Rect bounds(0, 0, warped.cols, warped.rows);
  const cv::Rect core = cv::boundingRect(outer);
  const int context = 2 * band + 8;
  const cv::Rect roi = cv::Rect(core.x - context, core.y - context, core.width + 2 * context, core.height + 2 * context) & bounds;

  cv::Mat roi_labels = labels(roi).clone();
  const bool has_background = cv::countNonZero(roi_labels == cv::GC_BGD) > 0;
  if (!has_background) cv::rectangle(roi_labels, cv::Rect(0, 0, roi.width, roi.height), cv::Scalar(cv::GC_BGD), 1);
  try {
    cv::grabCut(cur_bgr(roi), roi_labels, cv::Rect(), bgd_model_, fgd_model_, std::max(1, params_.iterations),
                cv::GC_INIT_WITH_MASK);
  } catch (const cv::Exception&) {
    bgd_model_.release();
    fgd_model_.release();
    return warped;
  }
  cv::Mat mask = cv::Mat::zeros(warped.size(), CV_8UC1);
  cv::Mat roi_fg = (roi_labels == cv::GC_FGD) | (roi_labels == cv::GC_PR_FGD);
  roi_fg.copyTo(mask(roi));
  // New holes GrabCut opened where the warped mask was solid are filled unless they look like the background;
  // the holes the mask carried from the last frame stay open.
  mask = fill_enclosed_holes(cur_bgr, keep_largest_region(mask, inner), cv::Mat(), warped == 0);
  const double ratio = static_cast<double>(cv::countNonZero(mask)) / warped_area;
  if (ratio < 1.0 - kMaxAreaChange || ratio > 1.0 + kMaxAreaChange) return warped;
  return mask;
}

}  // namespace kesto::backend
