#pragma once
// Finds the character from a text hint when nothing is drawn: people from OpenCV's built-in HOG people
// detector, faces from the Haar cascades of opencv-data. Candidates are ranked by any colour word in the hint
// ("the man in the red coat"), then by size.

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

namespace kesto::backend {

struct CharacterCandidate {
  cv::Rect box;               // the whole character, in image pixels
  double colour_share = 0.0;  // fraction of the box's pixels in the hint's colour (0 without a colour word)
};

// The colour words the hint understands, lower case ("red", "blue", ...); empty when it names none.
std::vector<std::string> colour_words(const std::string& hint);

// Fraction of the pixels of `box` in `bgr` whose colour matches `word`.
double colour_share(const cv::Mat& bgr, const cv::Rect& box, const std::string& word);

// Best first: by colour share when the hint names a colour, then by area.
void rank_candidates(std::vector<CharacterCandidate>& candidates, bool by_colour);

// The best candidate's box in `bgr`, or nothing when no person or face is found.
std::optional<cv::Rect> find_character(const cv::Mat& bgr, const std::string& hint);

}  // namespace kesto::backend
