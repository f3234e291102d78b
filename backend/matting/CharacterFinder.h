#pragma once
// Finds the character from a text hint when nothing is drawn. Candidates come from the people detector and
// the face cascades (the cat-face cascade too when the hint names a cat), from what stands out in the anchor
// frame (a loaded network's salient regions, else OpenCV's saliency), from what moves against the background
// over the neighbouring frames, and from the regions of any colour the hint names. Every candidate is scored
// against every word the hint's tables know (HintWords.h), on top of a prior for what a character usually
// is: large, standing out and moving. The best one is the character.

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "HintWords.h"

namespace kesto::backend {

class NeuralModel;

enum class Source { People, Face, CatFace, Salient, Moving, Colour, Network };

struct CharacterCandidate {
  cv::Rect box;  // in frame pixels
  Source source = Source::Salient;
  // What the finder measures of it:
  double area = 0.0;          // the box's area relative to the largest candidate's
  double x = 0.5, y = 0.5;    // the box's centre, 0..1 across and down the frame
  double motion = 0.0;        // 0..1, how much of the box moves against the background
  double salience = 0.0;      // 0..1, how much more the box stands out than the frame on average
  bool person = false;        // a people or face detection, or a region holding most of one
  bool cat = false;
  std::vector<double> colour_shares;  // per colour word of the hint, the fraction of the box in that colour
};

// How the candidates range: "big" and "small" compare a candidate's size with the others'.
struct CandidateSpan {
  double x_lo = 0.0, x_hi = 1.0;
  double y_lo = 0.0, y_hi = 1.0;
  double area_lo = 0.0, area_hi = 1.0;
};
CandidateSpan span_of(const std::vector<CharacterCandidate>& candidates);

// How well `c` matches the hint among candidates spanning `span`; higher is better.
double score_candidate(const CharacterCandidate& c, const HintWords& words, const CandidateSpan& span);

// False when `c` cannot be what the hint describes: it shows too little of a colour the hint names.
bool fits(const CharacterCandidate& c, const HintWords& words);

// The best fitting candidate's index; nothing when none fits.
std::optional<std::size_t> best_candidate(const std::vector<CharacterCandidate>& candidates, const HintWords& words);

// What the stage text says was found: "the largest salient region on the left".
std::string describe(const CharacterCandidate& c, const HintWords& words);

// The first row of `mask` (8-bit, non-zero is the character) below a straight band running off its top edge,
// narrower than the rest (a lit door frame above a head); 0 when there is none.
int below_top_band(const cv::Mat& mask);

struct FoundCharacter {
  cv::Rect box;             // the character with a margin, in the anchor's pixels, as a user would draw it
  std::string description;  // as describe() says
};

// The character `hint` describes in `anchor` (BGR), with `neighbours` (frames near it, same size, may be
// empty) for motion and `model` (may be null) for salient regions. Nothing when no candidate fits; `error` is
// set only when the network fails.
std::optional<FoundCharacter> find_character(const cv::Mat& anchor, const std::vector<cv::Mat>& neighbours,
                                             const std::string& hint, const NeuralModel* model, std::string& error);

}  // namespace kesto::backend
