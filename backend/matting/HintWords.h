#pragma once
// What a short text hint says about the character: where it is, what colour it is, what kind of thing it is.
// Words are matched whole and in lower case; a word none of the tables knows is ignored.

#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

namespace kesto::backend {

// Places: left/right/middle across the frame, top/bottom up and down it, front/back by apparent size.
enum class Place { Left, Right, Middle, Top, Bottom, Front, Back };

// Person words go to the people and face detectors; "cat" to the cat-face cascade too; any other thing the
// table knows ("dog", "car") relies on the general candidates.
enum class Kind { Unknown, Person, Cat, Thing };

struct HintWords {
  std::vector<Place> places;
  std::vector<std::string> colours;  // as the colour table names them ("red", "grey", ...)
  Kind kind = Kind::Unknown;
};

HintWords parse_hint(const std::string& hint);

// The colour words of `hint`, lower case, in order; empty when it names none.
std::vector<std::string> colour_words(const std::string& hint);

// CV_8UC1 mask (255 where the colour of `bgr` matches `word`); all zero for a word that is not a colour.
// White and black are judged against the picture's own brightness.
cv::Mat colour_mask(const cv::Mat& bgr, const std::string& word);

// Fraction of the pixels of `box` in `bgr` whose colour matches `word` (judged on the whole picture).
double colour_share(const cv::Mat& bgr, const cv::Rect& box, const std::string& word);

// How a place reads in a sentence: "on the left", "in the middle", "in front", ...
const char* place_phrase(Place place);

}  // namespace kesto::backend
