#pragma once
// Makes one solid character of a segmentation. GrabCut labels a dark eye, a nostril or a logo as background
// whenever the background has a colour closer to it than the character's own colours, and the cut-out then
// shows the floor through the character's face. A region the character's mask encloses is taken back into the
// character unless it looks like the background around it (the floor seen between an arm and the body),
// judged against the background pixels near it outside the character.

#include <opencv2/core/mat.hpp>

namespace kesto::backend {

// `mask` (CV_8UC1, 0/255, the size of `bgr`) with its enclosed background regions filled, except those that
// look like the surrounding background, those touching a non-zero pixel of `keep_open`, and those lying mostly
// on non-zero pixels of `was_open` (either may be empty). Pixels of `keep_open` always stay background.
cv::Mat fill_enclosed_holes(const cv::Mat& bgr, const cv::Mat& mask, const cv::Mat& keep_open,
                            const cv::Mat& was_open);

}  // namespace kesto::backend
