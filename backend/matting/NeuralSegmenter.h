#pragma once
// Where and how the neural engine asks the network for a mask. A salient-object network segments whatever
// stands out most in the picture it is given, so it is given the region the character is known to be in:
// on the anchor frame the selection's box (or the box found from the text hint), padded for context, or with
// add dabs but no box the whole frame, where the region under the dabs is the character; on a keyframe the propagated mask's bounding box, padded more, since the character may
// have moved away from it. Its map is pasted back at the region's place; of the regions it finds, the one
// that overlaps the selection (or the propagated mask) most is the character.

#include <string>

#include <opencv2/core/mat.hpp>

#include "AnchorSegmenter.h"
#include "NeuralModel.h"

namespace kesto::backend {

// `rect` grown on each side by `fraction` of its width (left and right) and height (top and bottom), at least
// `min_px`, inside `bounds`.
cv::Rect pad_region(const cv::Rect& rect, double fraction, int min_px, cv::Size bounds);

// The network's map for `region` of `frame`, pasted back into a frame-size map (CV_32F, 0..1, 0 outside the
// region). Empty with `error` set, naming the model's file, when the network fails.
cv::Mat predict_region(const NeuralModel& model, const cv::Mat& frame, const cv::Rect& region, std::string& error);

// Of the 8-connected regions of `mask` (0/255), keeps the one with most pixels inside `focus` (0/255, same
// size) and any that touch a pixel of `keep` (may be empty). All zero when no region meets `focus`.
cv::Mat keep_focused_region(const cv::Mat& mask, const cv::Mat& focus, const cv::Mat& keep);

// The anchor frame's mask (CV_8UC1 0/255, frame size) from the network, with add dabs forced to the character
// and exclude dabs to the background, in the order drawn. Empty with `error` set when the network fails or
// finds nothing in the selection.
cv::Mat neural_anchor_mask(const NeuralModel& model, const cv::Mat& frame, const AnchorSeeds& seeds,
                           std::string& error);

// A keyframe's mask from the network, guided by the mask propagated to it (0/255, frame size). When the
// network finds nothing that agrees with the propagated mask (no overlap, or an area less than a third or more
// than three times as large) the propagated mask is returned. Empty with `error` set when the network fails.
cv::Mat neural_keyframe_mask(const NeuralModel& model, const cv::Mat& frame, const cv::Mat& propagated,
                             std::string& error);

// True for the frames the network corrects: every `spacing`-th frame away from the anchor, in both directions
// (never the anchor itself, which it segments anyway). Spacing 0 or less: none.
bool is_keyframe(int index, int anchor, int spacing);

}  // namespace kesto::backend
