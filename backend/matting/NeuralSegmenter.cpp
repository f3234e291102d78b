#include "NeuralSegmenter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace kesto::backend {

namespace {

// Context around the selection's box. These networks were trained on whole pictures: with a wide margin of
// background they find thin and faint parts of the character that a tight crop loses. What else the margin
// brings in is dropped: only the region that overlaps the box most is kept (and any under add dabs).
constexpr double kAnchorPadFraction = 0.3;
// Around the propagated mask on a keyframe: the character may have moved or grown past it.
constexpr double kKeyframePadFraction = 0.35;
constexpr int kMinPadPx = 8;
constexpr float kForegroundProbability = 0.5f;
// A keyframe's network mask this much smaller or larger than the propagated one is more likely the
// network's mistake than the propagation's.
constexpr double kMaxKeyframeAreaRatio = 3.0;

cv::Mat to_mask(const cv::Mat& probability) {
  cv::Mat mask = probability > kForegroundProbability;
  return mask;
}

}  // namespace

cv::Rect pad_region(const cv::Rect& rect, double fraction, int min_px, cv::Size bounds) {
  const int dx = std::max(min_px, static_cast<int>(std::lround(rect.width * fraction)));
  const int dy = std::max(min_px, static_cast<int>(std::lround(rect.height * fraction)));
  return cv::Rect(rect.x - dx, rect.y - dy, rect.width + 2 * dx, rect.height + 2 * dy) &
         cv::Rect(0, 0, bounds.width, bounds.height);
}

cv::Mat predict_region(const NeuralModel& model, const cv::Mat& frame, const cv::Rect& region, std::string& error) {
  const cv::Rect inside = region & cv::Rect(0, 0, frame.cols, frame.rows);
  if (inside.width < 2 || inside.height < 2) {
    error = "the region to segment is empty";
    return {};
  }
  const cv::Mat crop_map = model.predict(frame(inside), error);
  if (crop_map.empty()) {
    error = "model " + model.options().model_path + ": " + error;
    return {};
  }
  cv::Mat map = cv::Mat::zeros(frame.size(), CV_32F);
  crop_map.copyTo(map(inside));
  return map;
}

cv::Mat keep_focused_region(const cv::Mat& mask, const cv::Mat& focus, const cv::Mat& keep) {
  cv::Mat labels;
  const int count = cv::connectedComponents(mask, labels, 8, CV_32S);
  std::vector<int> in_focus(static_cast<std::size_t>(std::max(count, 1)), 0);
  std::vector<uchar> wanted(in_focus.size(), 0);
  for (int y = 0; y < labels.rows; ++y) {
    const int* row = labels.ptr<int>(y);
    const uchar* f = focus.ptr<uchar>(y);
    const uchar* k = keep.empty() ? nullptr : keep.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (row[x] == 0) continue;
      if (f[x] != 0) ++in_focus[static_cast<std::size_t>(row[x])];
      if (k != nullptr && k[x] != 0) wanted[static_cast<std::size_t>(row[x])] = 1;
    }
  }
  std::size_t best = 0;  // label 0 is the background and counts nothing
  for (std::size_t i = 1; i < in_focus.size(); ++i) {
    if (in_focus[i] > in_focus[best]) best = i;
  }
  if (best > 0) wanted[best] = 1;
  cv::Mat out(mask.size(), CV_8UC1);
  for (int y = 0; y < labels.rows; ++y) {
    const int* row = labels.ptr<int>(y);
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x) o[x] = (row[x] != 0 && wanted[static_cast<std::size_t>(row[x])]) ? 255 : 0;
  }
  return out;
}

cv::Mat neural_anchor_mask(const NeuralModel& model, const cv::Mat& frame, const AnchorSeeds& seeds,
                           std::string& error) {
  const cv::Size size = frame.size();
  const cv::Rect whole(0, 0, size.width, size.height);
  const bool adds = std::any_of(seeds.dabs.begin(), seeds.dabs.end(), [](const BrushDab& d) { return d.adds(); });
  const cv::Rect box = seeds.box ? (*seeds.box & whole) : cv::Rect();
  if (box.area() == 0 && !adds) {
    error = "nothing selected on the anchor frame";
    return {};
  }
  // Without a box the dabs say where the character is but not how far it reaches: the whole frame is shown.
  const cv::Rect region = box.area() > 0 ? pad_region(box, kAnchorPadFraction, kMinPadPx, size) : whole;
  const cv::Mat probability = predict_region(model, frame, region, error);
  if (probability.empty()) return {};
  cv::Mat mask = to_mask(probability);

  // Dabs in the order drawn, so a later dab wins where two overlap.
  cv::Mat added = cv::Mat::zeros(size, CV_8UC1);
  for (const BrushDab& dab : seeds.dabs) {
    const cv::Point centre = dab_centre(dab, size.width, size.height);
    const int radius = pixel_radius(dab, size.width);
    const cv::Scalar value(dab.adds() ? 255 : 0);
    cv::circle(mask, centre, radius, value, cv::FILLED);
    cv::circle(added, centre, radius, value, cv::FILLED);
  }
  cv::Mat focus = box.area() > 0 ? cv::Mat::zeros(size, CV_8UC1) : added.clone();
  if (box.area() > 0) focus(box).setTo(255);
  mask = keep_focused_region(mask, focus, added);
  if (cv::countNonZero(mask) == 0) {
    error = "the model found no character inside the selection; draw a tighter box or add dabs on the character";
    return {};
  }
  return mask;
}

cv::Mat neural_keyframe_mask(const NeuralModel& model, const cv::Mat& frame, const cv::Mat& propagated,
                             std::string& error) {
  const int propagated_area = cv::countNonZero(propagated);
  if (propagated_area == 0) return propagated;  // the character has left the frame: nothing to look for
  const cv::Rect region = pad_region(cv::boundingRect(propagated), kKeyframePadFraction, kMinPadPx, frame.size());
  const cv::Mat probability = predict_region(model, frame, region, error);
  if (probability.empty()) return {};
  const cv::Mat mask = keep_focused_region(to_mask(probability), propagated, cv::Mat());
  const double ratio = static_cast<double>(cv::countNonZero(mask)) / propagated_area;
  if (ratio * kMaxKeyframeAreaRatio < 1.0 || ratio > kMaxKeyframeAreaRatio) return propagated;
  return mask;
}

bool is_keyframe(int index, int anchor, int spacing) {
  if (spacing <= 0 || index == anchor) return false;
  return std::abs(index - anchor) % spacing == 0;
}

}  // namespace kesto::backend
