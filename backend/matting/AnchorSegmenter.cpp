#include "AnchorSegmenter.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "GrabCutRestarts.h"
#include "HoleFiller.h"
#include "ParallelFrames.h"
#include "ScaledSize.h"

namespace kesto::backend {

namespace {

// Background context around the box that GrabCut learns the background colours from.
constexpr double kContextFraction = 0.25;
constexpr int kMinContextPx = 12;
// With dabs but no box, the search area is the dabs' extent grown by this factor on each side.
constexpr double kDabAreaGrowth = 0.75;
// The motion cue is acted on when the still background inside the character is more than this share of it.
constexpr double kMinStillShare = 0.005;

// GrabCut on `labels` (in and out, at the size of `bgr`), on a copy scaled by `scale` when that is below 1.
void cut_again(const cv::Mat& bgr, cv::Mat& labels, int iterations, int starts, double scale) {
  if (scale >= 1.0) {
    grab_cut_best_start(bgr, labels, std::max(1, iterations), starts, frame_worker_count());
    return;
  }
  const cv::Size small = scaled_size(bgr.size(), scale);
  cv::Mat small_bgr;
  cv::Mat small_labels;
  cv::resize(bgr, small_bgr, small, 0, 0, cv::INTER_AREA);
  cv::resize(labels, small_labels, small, 0, 0, cv::INTER_NEAREST);
  grab_cut_best_start(small_bgr, small_labels, std::max(1, iterations), starts, frame_worker_count());
  cv::resize(small_labels, labels, bgr.size(), 0, 0, cv::INTER_NEAREST);
}

cv::Mat foreground_of(const cv::Mat& roi_labels, const cv::Rect& roi, cv::Size size) {
  cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
  cv::Mat roi_fg = (roi_labels == cv::GC_FGD) | (roi_labels == cv::GC_PR_FGD);
  roi_fg.copyTo(mask(roi));
  return mask;
}

// The part of `lost` that is background by the cue: in each region of `lost` holding still pixels, the pixels
// nearer a still pixel than a moving one (a sword arm lost with the road it crossed stays).
cv::Mat still_part(const cv::Mat& lost, const MotionCue& cue) {
  cv::Mat to_still;
  cv::Mat to_moving;
  cv::distanceTransform(~cue.still, to_still, cv::DIST_L2, 3, CV_32F);
  cv::distanceTransform(~cue.moving, to_moving, cv::DIST_L2, 3, CV_32F);
  cv::Mat regions;
  const int count = cv::connectedComponents(lost, regions, 8, CV_32S);
  std::vector<uchar> has_still(static_cast<std::size_t>(count), 0);
  for (int y = 0; y < lost.rows; ++y) {
    for (int x = 0; x < lost.cols; ++x) {
      const int r = regions.at<int>(y, x);
      if (r > 0 && cue.still.at<uchar>(y, x) != 0) has_still[static_cast<std::size_t>(r)] = 1;
    }
  }
  cv::Mat part = cv::Mat::zeros(lost.size(), CV_8UC1);
  for (int y = 0; y < lost.rows; ++y) {
    for (int x = 0; x < lost.cols; ++x) {
      const int r = regions.at<int>(y, x);
      if (r > 0 && has_still[static_cast<std::size_t>(r)] != 0 && to_still.at<float>(y, x) < to_moving.at<float>(y, x)) {
        part.at<uchar>(y, x) = 255;
      }
    }
  }
  return part;
}

cv::Rect grow(const cv::Rect& r, int dx, int dy, const cv::Size& bounds) {
  cv::Rect grown(r.x - dx, r.y - dy, r.width + 2 * dx, r.height + 2 * dy);
  return grown & cv::Rect(0, 0, bounds.width, bounds.height);
}

}  // namespace

int pixel_radius(const BrushDab& dab, int width) {
  return std::max(1, static_cast<int>(std::lround(std::fabs(dab.r) * width)));
}

cv::Point dab_centre(const BrushDab& dab, int width, int height) {
  return {std::clamp(static_cast<int>(std::lround(dab.x * width)), 0, width - 1),
          std::clamp(static_cast<int>(std::lround(dab.y * height)), 0, height - 1)};
}

cv::Rect box_to_pixels(const NormBox& box, int width, int height) {
  const int x0 = std::clamp(static_cast<int>(std::floor(box.x * width)), 0, width - 1);
  const int y0 = std::clamp(static_cast<int>(std::floor(box.y * height)), 0, height - 1);
  const int x1 = std::clamp(static_cast<int>(std::ceil((box.x + box.w) * width)), x0 + 1, width);
  const int y1 = std::clamp(static_cast<int>(std::ceil((box.y + box.h) * height)), y0 + 1, height);
  cv::Rect rect(x0, y0, x1 - x0, y1 - y0);
  if (rect.width < 2 && width >= 2) {
    rect.x = std::min(rect.x, width - 2);
    rect.width = 2;
  }
  if (rect.height < 2 && height >= 2) {
    rect.y = std::min(rect.y, height - 2);
    rect.height = 2;
  }
  return rect;
}

cv::Mat keep_largest_region(const cv::Mat& mask, const cv::Mat& keep) {
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  if (count <= 1) return cv::Mat::zeros(mask.size(), CV_8UC1);
  int best = 1;
  for (int i = 2; i < count; ++i) {
    if (stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(best, cv::CC_STAT_AREA)) best = i;
  }
  std::vector<uchar> wanted(static_cast<std::size_t>(count), 0);
  wanted[static_cast<std::size_t>(best)] = 1;
  if (!keep.empty()) {
    for (int y = 0; y < labels.rows; ++y) {
      const int* row = labels.ptr<int>(y);
      const uchar* k = keep.ptr<uchar>(y);
      for (int x = 0; x < labels.cols; ++x) {
        if (k[x] != 0 && row[x] > 0) wanted[static_cast<std::size_t>(row[x])] = 1;
      }
    }
  }
  cv::Mat out(mask.size(), CV_8UC1);
  for (int y = 0; y < labels.rows; ++y) {
    const int* row = labels.ptr<int>(y);
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x) o[x] = wanted[static_cast<std::size_t>(row[x])] ? 255 : 0;
  }
  return out;
}

cv::Mat segment_anchor(const cv::Mat& bgr, const AnchorSeeds& seeds, int iterations, int starts, std::string& error,
                       double second_cut_scale) {
  const int width = bgr.cols;
  const int height = bgr.rows;
  const cv::Size size = bgr.size();
  cv::Mat labels(size, CV_8UC1, cv::Scalar(cv::GC_BGD));
  cv::Mat definite_fg = cv::Mat::zeros(size, CV_8UC1);
  cv::Mat excluded = cv::Mat::zeros(size, CV_8UC1);

  cv::Rect area;
  if (seeds.box) {
    area = *seeds.box & cv::Rect(0, 0, width, height);
    labels(area).setTo(cv::GC_PR_FGD);
  } else {
    cv::Rect extent;
    for (const BrushDab& dab : seeds.dabs) {
      if (!dab.adds()) continue;
      const int r = pixel_radius(dab, width);
      const cv::Point c = dab_centre(dab, width, height);
      const cv::Rect disc(c.x - r, c.y - r, 2 * r + 1, 2 * r + 1);
      extent = extent.area() == 0 ? disc : (extent | disc);
    }
    extent &= cv::Rect(0, 0, width, height);
    if (extent.area() == 0) {
      error = "nothing selected on the anchor frame";
      return {};
    }
    area = grow(extent, static_cast<int>(extent.width * kDabAreaGrowth), static_cast<int>(extent.height * kDabAreaGrowth),
                size);
    labels(area).setTo(cv::GC_PR_BGD);
    for (const BrushDab& dab : seeds.dabs) {
      if (!dab.adds()) continue;
      cv::circle(labels, dab_centre(dab, width, height), 2 * pixel_radius(dab, width), cv::Scalar(cv::GC_PR_FGD),
                 cv::FILLED);
    }
  }
  // Dabs in the order drawn, so a later dab wins where two overlap.
  for (const BrushDab& dab : seeds.dabs) {
    const cv::Point c = dab_centre(dab, width, height);
    const int r = pixel_radius(dab, width);
    cv::circle(labels, c, r, cv::Scalar(dab.adds() ? cv::GC_FGD : cv::GC_BGD), cv::FILLED);
    cv::circle(definite_fg, c, r, cv::Scalar(dab.adds() ? 255 : 0), cv::FILLED);
    cv::circle(excluded, c, r, cv::Scalar(dab.adds() ? 0 : 255), cv::FILLED);
  }
  for (const BrushDab& dab : seeds.dabs) {
    if (dab.adds()) area |= grow(cv::Rect(dab_centre(dab, width, height), cv::Size(1, 1)), pixel_radius(dab, width),
                                 pixel_radius(dab, width), size);
  }

  // Segment only the area and a ring of context around it: faster, and the background model stays local.
  const int context = std::max(kMinContextPx, static_cast<int>(std::max(area.width, area.height) * kContextFraction));
  const cv::Rect roi = grow(area, context, context, size);
  cv::Mat roi_labels = labels(roi).clone();
  const bool has_background = cv::countNonZero(roi_labels == cv::GC_BGD) + cv::countNonZero(roi_labels == cv::GC_PR_BGD) > 0;
  const bool has_foreground = cv::countNonZero(roi_labels == cv::GC_FGD) + cv::countNonZero(roi_labels == cv::GC_PR_FGD) > 0;
  if (!has_foreground) {
    error = "the selection marks no part of the character";
    return {};
  }
  if (!has_background) {
    // The box covers the whole frame: the frame's border is the only background there is.
    cv::rectangle(roi_labels, cv::Rect(0, 0, roi.width, roi.height), cv::Scalar(cv::GC_BGD), 2);
  }
  const bool has_cue = !seeds.motion.still.empty() && seeds.motion.still.size() == size;
  const cv::Mat initial_labels = has_cue ? roi_labels.clone() : cv::Mat();
  cv::Mat mask;
  cv::Mat background_by_motion;
  try {
    grab_cut_best_start(bgr(roi), roi_labels, std::max(1, iterations), starts, frame_worker_count());
    mask = foreground_of(roi_labels, roi, size);
    // Seeding the still pixels as background from the start teaches GrabCut the road's colours as
    // background, and it then drops pale faces with them; so first segment as drawn, then segment again
    // with the still background inside the character fixed, and take out only what that loses near it.
    if (has_cue) {
      const cv::Mat still_inside = seeds.motion.still & mask & ~definite_fg;
      if (cv::countNonZero(still_inside) > kMinStillShare * cv::countNonZero(mask)) {
        cv::Mat relabelled = initial_labels.clone();
        relabelled.setTo(cv::GC_BGD, still_inside(roi));
        cut_again(bgr(roi), relabelled, iterations, starts, second_cut_scale);
        const cv::Mat lost = mask & ~foreground_of(relabelled, roi, size);
        background_by_motion = still_part(lost, seeds.motion) & ~definite_fg;
        mask &= ~background_by_motion;
      }
    }
  } catch (const cv::Exception&) {
    error = "the anchor frame could not be segmented; draw a box around the character";
    return {};
  }
  mask = fill_enclosed_holes(bgr, keep_largest_region(mask, definite_fg), excluded, background_by_motion);
  if (cv::countNonZero(mask) == 0) {
    error = "no character found inside the selection; draw a tighter box";
    return {};
  }
  return mask;
}

}  // namespace kesto::backend
