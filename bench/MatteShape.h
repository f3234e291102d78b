#pragma once
// Shape figures of a matte without a true matte: the holes a cut-out shows through the character, and where
// the character is.

#include <algorithm>

#include <opencv2/imgproc.hpp>

namespace kesto::bench {

// Background regions enclosed by the largest foreground component of `matte` (CV_8UC1) thresholded at 128,
// each larger than 0.1% of that component's area.
inline int enclosed_holes(const cv::Mat& matte) {
  const cv::Mat fg = matte >= 128;
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(fg, labels, stats, centroids, 8, CV_32S);
  if (count <= 1) return 0;
  int best = 1;
  for (int i = 2; i < count; ++i) {
    if (stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(best, cv::CC_STAT_AREA)) best = i;
  }
  const double min_area = 0.001 * stats.at<int>(best, cv::CC_STAT_AREA);
  // What is not the component, 4-connected (the complement of an 8-connected region); a region that does not
  // reach the frame's border is enclosed.
  const cv::Mat outside = labels != best;
  cv::Mat hole_labels;
  cv::Mat hole_stats;
  const int holes = cv::connectedComponentsWithStats(outside, hole_labels, hole_stats, centroids, 4, CV_32S);
  int enclosed = 0;
  for (int i = 1; i < holes; ++i) {
    const int x = hole_stats.at<int>(i, cv::CC_STAT_LEFT);
    const int y = hole_stats.at<int>(i, cv::CC_STAT_TOP);
    const int w = hole_stats.at<int>(i, cv::CC_STAT_WIDTH);
    const int h = hole_stats.at<int>(i, cv::CC_STAT_HEIGHT);
    const bool touches_border = x == 0 || y == 0 || x + w == matte.cols || y + h == matte.rows;
    if (!touches_border && hole_stats.at<int>(i, cv::CC_STAT_AREA) > min_area) ++enclosed;
  }
  return enclosed;
}

// Bounding box of the matte at 128 and above; empty when there is none.
inline cv::Rect matte_bounds(const cv::Mat& matte) { return cv::boundingRect(matte >= 128); }

inline double box_iou(const cv::Rect& a, const cv::Rect& b) {
  const double inter = (a & b).area();
  const double uni = a.area() + b.area() - inter;
  return uni <= 0 ? 0.0 : inter / uni;
}

}  // namespace kesto::bench
