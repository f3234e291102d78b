#pragma once
// Which pixels inside a box are background by their motion. GrabCut keeps background whose colours it also
// finds on the character (a grey road behind a pale face, a poster behind a coat); motion tells them apart
// whatever their colours. The camera's motion between the anchor and a nearby frame is fitted as one
// homography on the textured background outside the box; textured pixels inside the box that follow it
// exactly are still background, those that stray from it belong to something moving.

#include <opencv2/core/mat.hpp>

namespace kesto::backend {

struct MotionCue {
  cv::Mat still;   // CV_8UC1, 255 where a textured pixel moves with the background
  cv::Mat moving;  // CV_8UC1, 255 where a textured pixel strays from the background's motion
};

// The cue for `box` on `anchor_gray` against `neighbour_gray` (both CV_8UC1 of one size). Empty masks when
// there is no cue: too little texture outside the box to fit the camera's motion, or too little inside the
// box moving against it (a character that stands still, or moves only a part, gives no evidence of what
// else in the box is background). With `scale` below 1 the frames are compared at that size (the flow is
// the cue's main cost; its masks come back at full size).
MotionCue motion_cue(const cv::Mat& anchor_gray, const cv::Mat& neighbour_gray, const cv::Rect& box,
                     double scale = 1.0);

}  // namespace kesto::backend
