#pragma once
// The anchor frame's mask from the user's selection: the box seeds a GrabCut segmentation, add dabs are
// definite foreground and exclude dabs definite background. The character comes out as one solid region:
// what it encloses is filled unless it looks like the background or an exclude dab touches it.

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "JobRequest.h"
#include "MotionCue.h"

namespace kesto::backend {

struct AnchorSeeds {
  std::optional<cv::Rect> box;   // in pixels of the image being segmented
  std::vector<BrushDab> dabs;    // normalised, radius as a fraction of the image width
  MotionCue motion;              // what moves inside the box against the background (may be empty)
};

// Converts the job request's normalised box to pixels of a width x height image, at least 2 x 2 pixels.
cv::Rect box_to_pixels(const NormBox& box, int width, int height);

// A dab's radius and centre in pixels of a width x height image (radius at least 1, centre inside).
int pixel_radius(const BrushDab& dab, int width);
cv::Point dab_centre(const BrushDab& dab, int width, int height);

// Returns a CV_8UC1 mask (255 = character) the size of `bgr`, or an empty Mat with `error` set. GrabCut runs
// `iterations` from each of `starts` fixed starts; the same input gives the same mask on every run. Still
// background that GrabCut keeps for its colours is taken out by the seeds' motion cue, after a second cut
// (at `second_cut_scale` of the image's size: it only says which parts go with the still background).
cv::Mat segment_anchor(const cv::Mat& bgr, const AnchorSeeds& seeds, int iterations, int starts, std::string& error,
                       double second_cut_scale = 1.0);

// Keeps the largest 8-connected region of a binary mask, and any region touching a pixel of `keep` (may be
// empty). Removes specks and stray blobs that GrabCut leaves in the background.
cv::Mat keep_largest_region(const cv::Mat& mask, const cv::Mat& keep = cv::Mat());

}  // namespace kesto::backend
