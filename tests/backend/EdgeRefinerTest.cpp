#include "backend/matting/EdgeRefiner.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace kesto::backend {
namespace {

// Number of pixels along the middle row that are neither fully in nor fully out.
int soft_pixels(const cv::Mat& alpha) {
  int count = 0;
  const uchar* row = alpha.ptr<uchar>(alpha.rows / 2);
  for (int x = 0; x < alpha.cols; ++x) count += (row[x] > 5 && row[x] < 250) ? 1 : 0;
  return count;
}

struct Scene {
  cv::Mat frame;
  cv::Mat mask;
};

Scene half_scene(int w, int h, int mask_w, int mask_h) {
  Scene s;
  s.frame = cv::Mat(h, w, CV_8UC3, cv::Scalar(20, 20, 20));
  s.frame(cv::Rect(w / 4, 0, w / 2, h)).setTo(cv::Scalar(230, 230, 230));
  s.mask = cv::Mat::zeros(mask_h, mask_w, CV_8UC1);
  s.mask(cv::Rect(mask_w / 4, 0, mask_w / 2, mask_h)).setTo(255);
  return s;
}

TEST(EdgeRefiner, OutputsAnEightBitMatteAtTheFramesSize) {
  const Scene s = half_scene(160, 90, 80, 45);
  for (const Quality q : {Quality::Fast, Quality::Fine}) {
    const cv::Mat alpha = refine_edges(s.frame, s.mask, q, 0.5);
    EXPECT_EQ(alpha.type(), CV_8UC1);
    EXPECT_EQ(alpha.size(), s.frame.size());
    EXPECT_EQ(alpha.at<uchar>(45, 80), 255);
    EXPECT_EQ(alpha.at<uchar>(45, 2), 0);
  }
}

TEST(EdgeRefiner, SoftnessWidensTheFeather) {
  const Scene s = half_scene(800, 100, 800, 100);
  const int hard = soft_pixels(refine_edges(s.frame, s.mask, Quality::Fast, 0.0));
  const int half = soft_pixels(refine_edges(s.frame, s.mask, Quality::Fast, 0.5));
  const int full = soft_pixels(refine_edges(s.frame, s.mask, Quality::Fast, 1.0));
  EXPECT_EQ(hard, 0);
  EXPECT_GT(half, hard);
  EXPECT_GT(full, half);
}

TEST(EdgeRefiner, FineSnapsAnOffsetEdgeToThePicture) {
  // The mask's edge is 3 px outside the picture's edge; the guided filter pulls it back.
  cv::Mat frame(100, 200, CV_8UC3, cv::Scalar(20, 20, 20));
  frame(cv::Rect(50, 0, 100, 100)).setTo(cv::Scalar(230, 230, 230));
  cv::Mat mask = cv::Mat::zeros(100, 200, CV_8UC1);
  mask(cv::Rect(47, 0, 106, 100)).setTo(255);
  const cv::Mat fast = refine_edges(frame, mask, Quality::Fast, 0.0);
  const cv::Mat fine = refine_edges(frame, mask, Quality::Fine, 0.0);
  EXPECT_EQ(fast.at<uchar>(50, 48), 255);
  EXPECT_LT(fine.at<uchar>(50, 48), fast.at<uchar>(50, 48));
}

}  // namespace
}  // namespace kesto::backend
