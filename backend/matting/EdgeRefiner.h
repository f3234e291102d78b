#pragma once
// Turns a binary working-resolution mask into the final 8-bit matte at the frame's size: "fast" scales it up
// and feathers it; "fine" also snaps the edge to the picture with a guided filter. "edge_softness" (0..1)
// sets the feather width.

#include <opencv2/core/mat.hpp>

#include "JobRequest.h"

namespace kesto::backend {

// Widest feather, at edge_softness 1, as a fraction of the frame's longer side (about 19 px at 1920).
inline constexpr double kMaxFeatherFraction = 0.01;

// mask: CV_8UC1 0/255 at any size; frame_bgr: the frame at full size. Returns CV_8UC1 at the frame's size.
cv::Mat refine_edges(const cv::Mat& frame_bgr, const cv::Mat& mask, Quality quality, double edge_softness);

}  // namespace kesto::backend
