#include "CharacterFinder.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

namespace kesto::backend {

namespace {

// People are searched on a copy no wider than this: the detector's cost grows with the area.
constexpr int kDetectMaxWidthPx = 800;
constexpr const char* kFaceCascadeFile = "/haarcascades/haarcascade_frontalface_default.xml";
// A face stands for the body below it: this much wider on each side and this many face heights down.
constexpr double kFaceSideWidths = 0.8;
constexpr double kFaceTopHeights = 0.4;
constexpr double kFaceBodyHeights = 5.0;
// Colour shares closer than this count as equal, and size decides.
constexpr double kColourShareStep = 0.05;

struct HsvRange {
  const char* word;
  int hue_lo, hue_hi;  // OpenCV hue, 0..180; lo > hi wraps through red
  int sat_lo, sat_hi;
  int val_lo, val_hi;
};

constexpr HsvRange kColours[] = {
    {"red", 170, 10, 90, 255, 60, 255},     {"orange", 10, 22, 90, 255, 80, 255},
    {"yellow", 22, 35, 90, 255, 80, 255},   {"green", 35, 85, 60, 255, 40, 255},
    {"cyan", 85, 100, 60, 255, 60, 255},    {"blue", 100, 130, 70, 255, 40, 255},
    {"purple", 130, 155, 50, 255, 40, 255}, {"violet", 130, 155, 50, 255, 40, 255},
    {"pink", 155, 170, 50, 255, 80, 255},   {"magenta", 155, 170, 50, 255, 80, 255},
    {"brown", 5, 25, 80, 255, 30, 150},     {"white", 0, 180, 0, 40, 190, 255},
    {"black", 0, 180, 0, 255, 0, 50},       {"gray", 0, 180, 0, 40, 60, 190},
    {"grey", 0, 180, 0, 40, 60, 190},
};

const HsvRange* find_colour(const std::string& word) {
  for (const HsvRange& range : kColours) {
    if (word == range.word) return &range;
  }
  return nullptr;
}

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
    boxes.emplace_back(static_cast<int>(r.x / scale), static_cast<int>(r.y / scale), static_cast<int>(r.width / scale),
                       static_cast<int>(r.height / scale));
  }
  return boxes;
}

std::vector<cv::Rect> detect_faces(const cv::Mat& bgr) {
  cv::CascadeClassifier cascade;
  if (!cascade.load(std::string(TREVANE_OPENCV_DATA_DIR) + kFaceCascadeFile)) return {};
  cv::Mat gray;
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  cv::equalizeHist(gray, gray);
  std::vector<cv::Rect> faces;
  cascade.detectMultiScale(gray, faces, 1.1, 4, 0, cv::Size(24, 24));
  std::vector<cv::Rect> bodies;
  for (const cv::Rect& f : faces) {
    const int x0 = f.x - static_cast<int>(kFaceSideWidths * f.width);
    const int y0 = f.y - static_cast<int>(kFaceTopHeights * f.height);
    const int x1 = f.x + f.width + static_cast<int>(kFaceSideWidths * f.width);
    const int y1 = f.y + static_cast<int>(kFaceBodyHeights * f.height);
    bodies.emplace_back(x0, y0, x1 - x0, y1 - y0);
  }
  return bodies;
}

}  // namespace

std::vector<std::string> colour_words(const std::string& hint) {
  std::vector<std::string> words;
  std::string word;
  auto flush = [&] {
    if (!word.empty() && find_colour(word) != nullptr) words.push_back(word);
    word.clear();
  };
  for (const char c : hint) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalpha(byte) != 0) {
      word += static_cast<char>(std::tolower(byte));
    } else {
      flush();
    }
  }
  flush();
  return words;
}

double colour_share(const cv::Mat& bgr, const cv::Rect& box, const std::string& word) {
  const HsvRange* range = find_colour(word);
  const cv::Rect area = box & cv::Rect(0, 0, bgr.cols, bgr.rows);
  if (range == nullptr || area.area() == 0) return 0.0;
  cv::Mat hsv;
  cv::cvtColor(bgr(area), hsv, cv::COLOR_BGR2HSV);
  cv::Mat in_range;
  if (range->hue_lo > range->hue_hi) {
    cv::Mat upper;
    cv::Mat lower;
    cv::inRange(hsv, cv::Scalar(range->hue_lo, range->sat_lo, range->val_lo), cv::Scalar(180, range->sat_hi, range->val_hi), upper);
    cv::inRange(hsv, cv::Scalar(0, range->sat_lo, range->val_lo), cv::Scalar(range->hue_hi, range->sat_hi, range->val_hi), lower);
    in_range = upper | lower;
  } else {
    cv::inRange(hsv, cv::Scalar(range->hue_lo, range->sat_lo, range->val_lo),
                cv::Scalar(range->hue_hi, range->sat_hi, range->val_hi), in_range);
  }
  return static_cast<double>(cv::countNonZero(in_range)) / area.area();
}

void rank_candidates(std::vector<CharacterCandidate>& candidates, bool by_colour) {
  std::stable_sort(candidates.begin(), candidates.end(), [by_colour](const CharacterCandidate& a, const CharacterCandidate& b) {
    if (by_colour) {
      const long step_a = static_cast<long>(a.colour_share / kColourShareStep);
      const long step_b = static_cast<long>(b.colour_share / kColourShareStep);
      if (step_a != step_b) return step_a > step_b;
    }
    return a.box.area() > b.box.area();
  });
}

std::optional<cv::Rect> find_character(const cv::Mat& bgr, const std::string& hint) {
  const cv::Rect frame(0, 0, bgr.cols, bgr.rows);
  std::vector<CharacterCandidate> candidates;
  for (const cv::Rect& r : detect_people(bgr)) candidates.push_back({r & frame, 0.0});
  for (const cv::Rect& r : detect_faces(bgr)) candidates.push_back({r & frame, 0.0});
  candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                  [](const CharacterCandidate& c) { return c.box.area() == 0; }),
                   candidates.end());
  if (candidates.empty()) return std::nullopt;
  const std::vector<std::string> colours = colour_words(hint);
  for (CharacterCandidate& c : candidates) {
    for (const std::string& word : colours) c.colour_share = std::max(c.colour_share, colour_share(bgr, c.box, word));
  }
  rank_candidates(candidates, !colours.empty());
  return candidates.front().box;
}

}  // namespace kesto::backend
