#include "HoleFiller.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace kesto::backend {

namespace {

// Colours are compared in Lab, in bins of 8 units, each counted with its neighbours: how much of the
// background lies within about a bin of a colour.
constexpr int kLBins = 32;
constexpr int kAbBins = 32;
// Background sampled around a hole: its own extent plus this many times its distance from the outside.
constexpr double kReachFactor = 1.5;
constexpr int kMinReachPx = 8;
// Fewer samples than this near a hole: the whole outside is the sample.
constexpr int kMinSamples = 64;
// A hole whose colours are this common in the background near it, relative to how common the background's
// own colours are there, looks like that background. A gap showing the background is about as common as the
// background itself (1); a dark eye or the shadowed inside of an ear comes out well below even beside a dark
// door, as long as the door is not the very background the feature is seen against.
constexpr double kBackgroundLikeness = 0.8;
// Holes smaller than this (pixels) are specks of the segmentation and always filled.
constexpr int kSpeckPx = 12;

using Histogram = std::vector<float>;

int bin_of(const cv::Vec3b& lab) {
  return (lab[0] * kLBins / 256 * kAbBins + lab[1] * kAbBins / 256) * kAbBins + lab[2] * kAbBins / 256;
}

// How much of `sample` lies within a bin of each colour: the sample's colour counts, summed over each bin's
// 3 x 3 x 3 neighbourhood, as a fraction of the sample.
Histogram neighbourhood_density(const cv::Mat& lab, const cv::Mat& sample, const cv::Rect& window) {
  Histogram counts(static_cast<std::size_t>(kLBins * kAbBins * kAbBins), 0.0f);
  double total = 0.0;
  for (int y = window.y; y < window.br().y; ++y) {
    const auto* colour = lab.ptr<cv::Vec3b>(y);
    const uchar* in = sample.ptr<uchar>(y);
    for (int x = window.x; x < window.br().x; ++x) {
      if (in[x] == 0) continue;
      counts[static_cast<std::size_t>(bin_of(colour[x]))] += 1.0f;
      total += 1.0;
    }
  }
  Histogram density(counts.size(), 0.0f);
  if (total == 0.0) return density;
  const auto index = [](int l, int a, int b) { return static_cast<std::size_t>((l * kAbBins + a) * kAbBins + b); };
  for (int l = 0; l < kLBins; ++l) {
    for (int a = 0; a < kAbBins; ++a) {
      for (int b = 0; b < kAbBins; ++b) {
        const float c = counts[index(l, a, b)];
        if (c == 0.0f) continue;
        for (int dl = std::max(0, l - 1); dl <= std::min(kLBins - 1, l + 1); ++dl) {
          for (int da = std::max(0, a - 1); da <= std::min(kAbBins - 1, a + 1); ++da) {
            for (int db = std::max(0, b - 1); db <= std::min(kAbBins - 1, b + 1); ++db) {
              density[index(dl, da, db)] += c;
            }
          }
        }
      }
    }
  }
  for (float& d : density) d = static_cast<float>(static_cast<double>(d) / total);
  return density;
}

// Mean density of the colours of the pixels of `region` (same size as `lab`).
double mean_density(const Histogram& density, const cv::Mat& lab, const cv::Mat& region) {
  double sum = 0.0;
  int count = 0;
  for (int y = 0; y < lab.rows; ++y) {
    const auto* colour = lab.ptr<cv::Vec3b>(y);
    const uchar* in = region.ptr<uchar>(y);
    for (int x = 0; x < lab.cols; ++x) {
      if (in[x] == 0) continue;
      sum += static_cast<double>(density[static_cast<std::size_t>(bin_of(colour[x]))]);
      ++count;
    }
  }
  return count == 0 ? 0.0 : sum / count;
}

cv::Rect grown(const cv::Rect& r, int by, const cv::Size& bounds) {
  return cv::Rect(r.x - by, r.y - by, r.width + 2 * by, r.height + 2 * by) & cv::Rect(0, 0, bounds.width, bounds.height);
}

// True when the hole's colours are about as common in the background near it as that background's own. `hole`
// covers `hole_box` only.
bool looks_like_background(const cv::Mat& lab, const cv::Mat& hole, const cv::Rect& hole_box, const cv::Mat& outside,
                           const cv::Mat& distance_to_outside) {
  double nearest = 0.0;
  cv::minMaxLoc(distance_to_outside(hole_box), &nearest, nullptr, nullptr, nullptr, hole);
  const int reach = std::max(kMinReachPx, static_cast<int>(std::lround(kReachFactor * nearest)));
  cv::Rect window = grown(hole_box, reach, lab.size());
  if (cv::countNonZero(outside(window)) < kMinSamples) window = cv::Rect(0, 0, lab.cols, lab.rows);
  if (cv::countNonZero(outside(window)) < kMinSamples) return false;  // no background to compare with
  const Histogram density = neighbourhood_density(lab, outside, window);
  const double own = mean_density(density, lab(window), outside(window));
  return own > 0.0 && mean_density(density, lab(hole_box), hole) >= kBackgroundLikeness * own;
}

}  // namespace

cv::Mat fill_enclosed_holes(const cv::Mat& bgr, const cv::Mat& mask, const cv::Mat& keep_open,
                            const cv::Mat& was_open) {
  cv::Mat background = mask == 0;
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(background, labels, stats, centroids, 4, CV_32S);
  // Regions reaching the frame's border are the outside; the others are enclosed.
  std::vector<uchar> enclosed(static_cast<std::size_t>(count), 0);
  for (int i = 1; i < count; ++i) {
    const cv::Rect r(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                     stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
    enclosed[static_cast<std::size_t>(i)] = r.x > 0 && r.y > 0 && r.br().x < mask.cols && r.br().y < mask.rows;
  }
  if (std::none_of(enclosed.begin(), enclosed.end(), [](uchar e) { return e != 0; })) return mask;

  cv::Mat outside = cv::Mat::zeros(mask.size(), CV_8UC1);
  for (int y = 0; y < labels.rows; ++y) {
    const int* row = labels.ptr<int>(y);
    uchar* o = outside.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x) o[x] = (row[x] > 0 && !enclosed[static_cast<std::size_t>(row[x])]) ? 255 : 0;
  }
  cv::Mat distance_to_outside;
  cv::distanceTransform(~outside, distance_to_outside, cv::DIST_L2, 3, CV_32F);
  cv::Mat lab;
  cv::cvtColor(bgr, lab, cv::COLOR_BGR2Lab);

  cv::Mat out = mask.clone();
  for (int i = 1; i < count; ++i) {
    if (!enclosed[static_cast<std::size_t>(i)]) continue;
    const cv::Rect box(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                       stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
    const int area = stats.at<int>(i, cv::CC_STAT_AREA);
    const cv::Mat hole = labels(box) == i;
    if (!keep_open.empty() && cv::countNonZero(keep_open(box) & hole) > 0) continue;
    if (!was_open.empty() && 2 * cv::countNonZero(was_open(box) & hole) >= area) continue;
    if (area >= kSpeckPx && looks_like_background(lab, hole, box, outside, distance_to_outside)) continue;
    out(box).setTo(255, hole);
  }
  if (!keep_open.empty()) out.setTo(0, keep_open);
  return out;
}

}  // namespace kesto::backend
