#include "CandidateSources.h"

#include <algorithm>
#include <cmath>
#include <string>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/saliency.hpp>

namespace kesto::backend {

namespace {

// People are searched on a copy no wider than this: the detector's cost grows with the area.
constexpr int kDetectMaxWidthPx = 800;
constexpr const char* kFaceCascadeFile = "/haarcascades/haarcascade_frontalface_default.xml";
constexpr const char* kCatFaceCascadeFile = "/haarcascades/haarcascade_frontalcatface.xml";
// A person's face stands for the body below it: this much wider on each side and this many face heights
// down. A cat's body is lower and wider for its face.
constexpr double kFaceSideWidths = 0.8;
constexpr double kFaceTopHeights = 0.4;
constexpr double kFaceBodyHeights = 5.0;
constexpr double kCatSideWidths = 1.0;
constexpr double kCatBodyHeights = 3.0;
// A pixel moves when it differs from every aligned neighbour by more than this (8-bit grey, after a blur
// that keeps sensor noise and JPEG blocks below it).
constexpr double kMotionThreshold = 18.0;

std::vector<cv::Rect> detect_with_cascade(const cv::Mat& bgr, const char* file, double side_widths,
                                          double top_heights, double body_heights) {
  cv::CascadeClassifier cascade;
  if (bgr.empty() || !cascade.load(std::string(TREVANE_OPENCV_DATA_DIR) + file)) return {};
  cv::Mat gray;
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  cv::equalizeHist(gray, gray);
  std::vector<cv::Rect> faces;
  cascade.detectMultiScale(gray, faces, 1.1, 4, 0, cv::Size(24, 24));
  std::vector<cv::Rect> bodies;
  for (const cv::Rect& f : faces) {
    const int x0 = f.x - static_cast<int>(side_widths * f.width);
    const int y0 = f.y - static_cast<int>(top_heights * f.height);
    const int x1 = f.x + f.width + static_cast<int>(side_widths * f.width);
    const int y1 = f.y + static_cast<int>(body_heights * f.height);
    bodies.push_back(cv::Rect(x0, y0, x1 - x0, y1 - y0) & cv::Rect(0, 0, bgr.cols, bgr.rows));
  }
  return bodies;
}

}  // namespace

std::vector<cv::Rect> detect_people(const cv::Mat& bgr) {
  const double scale = bgr.cols > kDetectMaxWidthPx ? static_cast<double>(kDetectMaxWidthPx) / bgr.cols : 1.0;
  cv::Mat small;
  cv::resize(bgr, small, cv::Size(), scale, scale, cv::INTER_AREA);
  const cv::HOGDescriptor hog_size;
  if (small.cols < hog_size.winSize.width || small.rows < hog_size.winSize.height) return {};
  cv::HOGDescriptor hog;
  hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
  std::vector<cv::Rect> found;
  hog.detectMultiScale(small, found, 0.0, cv::Size(8, 8), cv::Size(16, 16), 1.05, 2.0);
  std::vector<cv::Rect> boxes;
  for (const cv::Rect& r : found) {
    boxes.push_back(cv::Rect(static_cast<int>(r.x / scale), static_cast<int>(r.y / scale),
                             static_cast<int>(r.width / scale), static_cast<int>(r.height / scale)) &
                    cv::Rect(0, 0, bgr.cols, bgr.rows));
  }
  return boxes;
}

std::vector<cv::Rect> detect_faces(const cv::Mat& bgr) {
  return detect_with_cascade(bgr, kFaceCascadeFile, kFaceSideWidths, kFaceTopHeights, kFaceBodyHeights);
}

std::vector<cv::Rect> detect_cat_faces(const cv::Mat& bgr) {
  return detect_with_cascade(bgr, kCatFaceCascadeFile, kCatSideWidths, kFaceTopHeights, kCatBodyHeights);
}

cv::Mat saliency_map(const cv::Mat& bgr) {
  cv::Mat map;
  const cv::Ptr<cv::saliency::StaticSaliencyFineGrained> saliency = cv::saliency::StaticSaliencyFineGrained::create();
  if (bgr.empty() || !saliency->computeSaliency(bgr, map) || map.empty()) return cv::Mat::zeros(bgr.size(), CV_32F);
  cv::Mat out;
  map.convertTo(out, CV_32F, map.depth() == CV_8U ? 1.0 / 255.0 : 1.0);
  return out;
}

cv::Mat motion_mask(const cv::Mat& anchor_gray, const std::vector<cv::Mat>& neighbour_grays) {
  cv::Mat moving;
  if (neighbour_grays.empty()) return cv::Mat::zeros(anchor_gray.size(), CV_8UC1);
  cv::Mat anchor;
  cv::GaussianBlur(anchor_gray, anchor, cv::Size(5, 5), 0);
  cv::Mat anchor_f;
  anchor.convertTo(anchor_f, CV_32F);
  for (const cv::Mat& gray : neighbour_grays) {
    if (gray.size() != anchor_gray.size()) continue;
    cv::Mat other;
    cv::GaussianBlur(gray, other, cv::Size(5, 5), 0);
    cv::Mat other_f;
    other.convertTo(other_f, CV_32F);
    const cv::Point2d shift = cv::phaseCorrelate(other_f, anchor_f);
    const cv::Mat move = (cv::Mat_<double>(2, 3) << 1, 0, shift.x, 0, 1, shift.y);
    cv::Mat aligned;
    cv::warpAffine(other, aligned, move, other.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::Mat difference;
    cv::absdiff(anchor, aligned, difference);
    const cv::Mat differs = difference > kMotionThreshold;
    moving = moving.empty() ? differs : (moving & differs);
  }
  if (moving.empty()) return cv::Mat::zeros(anchor_gray.size(), CV_8UC1);
  return moving;
}

std::vector<cv::Rect> mask_regions(const cv::Mat& mask, double close_fraction, double min_area_fraction,
                                   bool keep_cut_edges) {
  const int radius = std::max(1, static_cast<int>(std::lround(close_fraction * mask.cols)));
  const cv::Mat disc = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1));
  cv::Mat solid;
  cv::morphologyEx(mask, solid, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
  if (keep_cut_edges) {
    // Only the top stays eroded: zero rows above it, and the closing's own border (neutral) elsewhere.
    cv::copyMakeBorder(solid, solid, radius, 0, 0, 0, cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::morphologyEx(solid, solid, cv::MORPH_CLOSE, disc);
    solid = solid.rowRange(radius, solid.rows);
  } else {
    cv::morphologyEx(solid, solid, cv::MORPH_CLOSE, disc, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  }
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(solid, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  std::vector<cv::Rect> boxes;
  const double min_area = min_area_fraction * mask.total();
  for (const auto& contour : contours) {
    if (cv::contourArea(contour) >= min_area) boxes.push_back(cv::boundingRect(contour));
  }
  return boxes;
}

}  // namespace kesto::backend
