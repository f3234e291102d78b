#include "HintWords.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include <opencv2/imgproc.hpp>

namespace kesto::backend {

namespace {

struct PlaceWord {
  const char* word;
  Place place;
};

constexpr PlaceWord kPlaces[] = {
    {"left", Place::Left},         {"right", Place::Right},         {"middle", Place::Middle},
    {"centre", Place::Middle},     {"center", Place::Middle},       {"central", Place::Middle},
    {"top", Place::Top},           {"upper", Place::Top},           {"bottom", Place::Bottom},
    {"lower", Place::Bottom},      {"front", Place::Front},         {"foreground", Place::Front},
    {"nearest", Place::Front},     {"near", Place::Front},          {"closest", Place::Front},
    {"big", Place::Front},         {"bigger", Place::Front},        {"biggest", Place::Front},
    {"large", Place::Front},       {"larger", Place::Front},        {"largest", Place::Front},
    {"back", Place::Back},         {"background", Place::Back},     {"far", Place::Back},
    {"farthest", Place::Back},     {"furthest", Place::Back},       {"distant", Place::Back},
    {"small", Place::Back},        {"smaller", Place::Back},        {"smallest", Place::Back},
    {"little", Place::Back},       {"tiny", Place::Back},
};

struct KindWord {
  const char* word;
  Kind kind;
};

constexpr KindWord kKinds[] = {
    {"person", Kind::Person},  {"people", Kind::Person}, {"man", Kind::Person},    {"men", Kind::Person},
    {"woman", Kind::Person},   {"women", Kind::Person},  {"boy", Kind::Person},    {"girl", Kind::Person},
    {"child", Kind::Person},   {"kid", Kind::Person},    {"baby", Kind::Person},   {"guy", Kind::Person},
    {"lady", Kind::Person},    {"gentleman", Kind::Person}, {"someone", Kind::Person}, {"he", Kind::Person},
    {"she", Kind::Person},     {"him", Kind::Person},    {"her", Kind::Person},    {"actor", Kind::Person},
    {"actress", Kind::Person}, {"face", Kind::Person},   {"head", Kind::Person},   {"pedestrian", Kind::Person},
    {"walker", Kind::Person},  {"runner", Kind::Person}, {"dancer", Kind::Person}, {"player", Kind::Person},
    {"king", Kind::Person},    {"queen", Kind::Person},  {"prince", Kind::Person}, {"princess", Kind::Person},
    {"cat", Kind::Cat},        {"cats", Kind::Cat},      {"kitten", Kind::Cat},    {"kitty", Kind::Cat},
    {"dog", Kind::Thing},      {"puppy", Kind::Thing},   {"animal", Kind::Thing},  {"horse", Kind::Thing},
    {"bird", Kind::Thing},     {"cow", Kind::Thing},     {"sheep", Kind::Thing},   {"car", Kind::Thing},
    {"bike", Kind::Thing},     {"bicycle", Kind::Thing}, {"ball", Kind::Thing},    {"toy", Kind::Thing},
    {"robot", Kind::Thing},    {"object", Kind::Thing},  {"thing", Kind::Thing},   {"creature", Kind::Thing},
};

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
    {"brown", 5, 25, 80, 255, 30, 150},     {"white", 0, 180, 0, 60, 190, 255},
    {"black", 0, 180, 0, 255, 0, 50},       {"gray", 0, 180, 0, 40, 60, 190},
    {"grey", 0, 180, 0, 40, 60, 190},
};

// White is at least this bright and among the brightest this fraction of the picture; black at most this
// dark and among the darkest.
constexpr int kMinWhiteValue = 120;
constexpr double kWhitePercentile = 0.6;
constexpr int kMaxBlackValue = 80;
constexpr double kBlackPercentile = 0.1;

const HsvRange* find_colour(std::string_view word) {
  for (const HsvRange& range : kColours) {
    if (word == range.word) return &range;
  }
  return nullptr;
}

std::vector<std::string> split_words(const std::string& hint) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : hint) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalpha(byte) != 0) {
      word += static_cast<char>(std::tolower(byte));
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

}  // namespace

HintWords parse_hint(const std::string& hint) {
  HintWords parsed;
  for (const std::string& word : split_words(hint)) {
    for (const PlaceWord& p : kPlaces) {
      if (word == p.word && std::find(parsed.places.begin(), parsed.places.end(), p.place) == parsed.places.end()) {
        parsed.places.push_back(p.place);
      }
    }
    if (find_colour(word) != nullptr &&
        std::find(parsed.colours.begin(), parsed.colours.end(), word) == parsed.colours.end()) {
      parsed.colours.push_back(word);
    }
    for (const KindWord& k : kKinds) {
      // The first kind named decides: "the man with the dog" is a man.
      if (word == k.word && parsed.kind == Kind::Unknown) parsed.kind = k.kind;
    }
  }
  return parsed;
}

std::vector<std::string> colour_words(const std::string& hint) { return parse_hint(hint).colours; }

// The value (0..255) that `fraction` of the pixels of `hsv` stay below.
int value_percentile(const cv::Mat& hsv, double fraction) {
  int histogram[256] = {};
  for (int y = 0; y < hsv.rows; ++y) {
    const auto* row = hsv.ptr<cv::Vec3b>(y);
    for (int x = 0; x < hsv.cols; ++x) ++histogram[row[x][2]];
  }
  const double wanted = fraction * static_cast<double>(hsv.total());
  double seen = 0.0;
  for (int v = 0; v < 256; ++v) {
    seen += histogram[v];
    if (seen >= wanted) return v;
  }
  return 255;
}

cv::Mat colour_mask(const cv::Mat& bgr, const std::string& word) {
  const HsvRange* found = find_colour(word);
  if (found == nullptr || bgr.empty()) return cv::Mat::zeros(bgr.size(), CV_8UC1);
  cv::Mat hsv;
  cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
  HsvRange adjusted = *found;
  const HsvRange* range = &adjusted;
  // White and black are seen against the picture's own light: a white dog in a dim room is well below
  // pure white, yet among the brightest things there.
  if (word == "white") adjusted.val_lo = std::min(adjusted.val_lo, std::max(kMinWhiteValue, value_percentile(hsv, kWhitePercentile)));
  if (word == "black") adjusted.val_hi = std::max(adjusted.val_hi, std::min(kMaxBlackValue, value_percentile(hsv, kBlackPercentile)));
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
  return in_range;
}

double colour_share(const cv::Mat& bgr, const cv::Rect& box, const std::string& word) {
  const cv::Rect area = box & cv::Rect(0, 0, bgr.cols, bgr.rows);
  if (find_colour(word) == nullptr || area.area() == 0) return 0.0;
  return static_cast<double>(cv::countNonZero(colour_mask(bgr, word)(area))) / area.area();
}

const char* place_phrase(Place place) {
  switch (place) {
    case Place::Left: return "on the left";
    case Place::Right: return "on the right";
    case Place::Middle: return "in the middle";
    case Place::Top: return "at the top";
    case Place::Bottom: return "at the bottom";
    case Place::Front: return "in front";
    case Place::Back: return "at the back";
  }
  return "";
}

}  // namespace kesto::backend
