#pragma once
// Carries a mask from one frame to the next: the previous mask is warped by dense optical flow (DIS), then
// re-segmented with GrabCut in a band around its edge, keeping the largest region, solid where the warped
// mask was. One propagator per
// direction of travel; it is not shared between threads.

#include <memory>

#include <opencv2/core/mat.hpp>

namespace cv {
class DISOpticalFlow;
}

namespace kesto::backend {

struct PropagationParams {
  int band_px = 6;          // half-width of the undecided band around the warped edge
  int iterations = 1;       // GrabCut iterations per frame
  bool fine_flow = false;   // a slower, more accurate flow preset
};

class MaskPropagator {
 public:
  explicit MaskPropagator(PropagationParams params);
  ~MaskPropagator();
  MaskPropagator(const MaskPropagator&) = delete;
  MaskPropagator& operator=(const MaskPropagator&) = delete;

  // prev_gray/prev_mask: the last frame's grey image and mask. cur_bgr/cur_gray: the new frame, same size.
  // Returns the new frame's mask (CV_8UC1, 0 or 255).
  cv::Mat track(const cv::Mat& prev_gray, const cv::Mat& prev_mask, const cv::Mat& cur_bgr, const cv::Mat& cur_gray);

 private:
  PropagationParams params_;
  cv::Ptr<cv::DISOpticalFlow> flow_;
  // GrabCut's colour models, carried from frame to frame: later frames refine them instead of starting
  // over with k-means, which is most of GrabCut's cost on a small band.
  cv::Mat bgd_model_;
  cv::Mat fgd_model_;
};

// The mask warped along the flow only (no re-segmentation); exposed for tests.
cv::Mat warp_mask(const cv::Mat& prev_mask, const cv::Mat& flow_cur_to_prev);

}  // namespace kesto::backend
