#include "MotionCue.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "ScaledSize.h"
namespace kesto::backend {

namespace {

// A pixel is textured, so that its flow can be trusted, when the smaller eigenvalue of its gradients'
// structure tensor (over 5 x 5 pixels, grey levels 0..1) is above this.
constexpr int kTextureBlock = 5;
constexpr float kMinTexture = 2e-4F;
// The camera's motion is fitted on textured pixels outside the box, one every kSampleStep pixels each way.
constexpr int kSampleStep = 6;
constexpr int kMinSamples = 60;
constexpr double kRansacTolerancePx = 1.0;
// Inside the box: closer than this to the camera's motion is still, farther than the other is moving. Moving
// must be well clear of the flow's error on compressed video: the fur of a dog lying still on a phone clip
// strays 1.5 to 2.5 px from the floor's motion over two frames.
constexpr double kStillResidualPx = 0.5;
constexpr double kMovingResidualPx = 3.0;
// The cue holds only for a character that moves as a whole: then most of its box's textured pixels move
// (0.6 to 0.75 on characters walking across a street). When only a part of it moves (a head turning), its
// still parts (the paws, the nose) move with the background as much as the floor does, and the cue would
// cut them away.
constexpr double kMinMovingShare = 0.40;

MotionCue motion_cue_at_size(const cv::Mat& anchor_gray, const cv::Mat& neighbour_gray, const cv::Rect& box) {
  MotionCue none;
  const cv::Rect inside = box & cv::Rect(0, 0, anchor_gray.cols, anchor_gray.rows);
  if (anchor_gray.empty() || neighbour_gray.size() != anchor_gray.size() || inside.area() == 0) return none;

  cv::Mat flow;  // for each anchor pixel, how far it goes in the neighbour
  cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)->calc(anchor_gray, neighbour_gray, flow);
  cv::Mat gray01;
  anchor_gray.convertTo(gray01, CV_32F, 1.0 / 255.0);
  cv::Mat texture;
  cv::cornerMinEigenVal(gray01, texture, kTextureBlock);

  std::vector<cv::Point2f> from;
  std::vector<cv::Point2f> to;
  for (int y = 0; y < anchor_gray.rows; y += kSampleStep) {
    for (int x = 0; x < anchor_gray.cols; x += kSampleStep) {
      if (inside.contains(cv::Point(x, y)) || texture.at<float>(y, x) <= kMinTexture) continue;
      const cv::Point2f p(static_cast<float>(x), static_cast<float>(y));
      from.push_back(p);
      to.push_back(p + flow.at<cv::Point2f>(y, x));
    }
  }
  if (static_cast<int>(from.size()) < kMinSamples) return none;
  const cv::Mat camera = cv::findHomography(from, to, cv::RANSAC, kRansacTolerancePx);
  if (camera.empty()) return none;

  cv::Mat still = cv::Mat::zeros(anchor_gray.size(), CV_8UC1);
  cv::Mat moving = cv::Mat::zeros(anchor_gray.size(), CV_8UC1);
  int textured = 0;
  int strays = 0;
  const cv::Matx33d h(camera);
  for (int y = inside.y; y < inside.br().y; ++y) {
    for (int x = inside.x; x < inside.br().x; ++x) {
      if (texture.at<float>(y, x) <= kMinTexture) continue;
      const cv::Vec3d q = h * cv::Vec3d(x, y, 1.0);
      if (q[2] == 0.0) continue;
      const cv::Point2f f = flow.at<cv::Point2f>(y, x);
      const double dx = q[0] / q[2] - (x + static_cast<double>(f.x));
      const double dy = q[1] / q[2] - (y + static_cast<double>(f.y));
      const double residual2 = dx * dx + dy * dy;
      ++textured;
      if (residual2 < kStillResidualPx * kStillResidualPx) {
        still.at<uchar>(y, x) = 255;
      } else if (residual2 > kMovingResidualPx * kMovingResidualPx) {
        moving.at<uchar>(y, x) = 255;
        ++strays;
      }
    }
  }
  if (textured == 0 || strays < kMinMovingShare * textured) return none;
  return MotionCue{still, moving};
}

}  // namespace

MotionCue motion_cue(const cv::Mat& anchor_gray, const cv::Mat& neighbour_gray, const cv::Rect& box, double scale) {
  if (scale >= 1.0 || neighbour_gray.size() != anchor_gray.size()) {
    return motion_cue_at_size(anchor_gray, neighbour_gray, box);
  }
  const cv::Size small = scaled_size(anchor_gray.size(), scale);
  cv::Mat anchor_small;
  cv::Mat neighbour_small;
  cv::resize(anchor_gray, anchor_small, small, 0, 0, cv::INTER_AREA);
  cv::resize(neighbour_gray, neighbour_small, small, 0, 0, cv::INTER_AREA);
  const cv::Rect box_small(static_cast<int>(std::floor(box.x * scale)), static_cast<int>(std::floor(box.y * scale)),
                           static_cast<int>(std::ceil(box.width * scale)), static_cast<int>(std::ceil(box.height * scale)));
  MotionCue cue = motion_cue_at_size(anchor_small, neighbour_small, box_small);
  if (cue.still.empty()) return cue;
  cv::resize(cue.still, cue.still, anchor_gray.size(), 0, 0, cv::INTER_NEAREST);
  cv::resize(cue.moving, cue.moving, anchor_gray.size(), 0, 0, cv::INTER_NEAREST);
  return cue;
}

}  // namespace kesto::backend
