#pragma once
// Where the hint finder's candidates come from: OpenCV's people detector and face cascades, and the general
// sources that know nothing of kinds: what stands out (OpenCV contrib's fine-grained static saliency), what
// moves against the background over the neighbouring frames, and the regions of a colour the hint names.

#include <vector>

#include <opencv2/core/mat.hpp>

namespace kesto::backend {

// Whole-character boxes in `bgr`'s pixels: people from the HOG people detector; faces (people's, or cats')
// from the Haar cascades of opencv-data, grown to the body below them.
std::vector<cv::Rect> detect_people(const cv::Mat& bgr);
std::vector<cv::Rect> detect_faces(const cv::Mat& bgr);
std::vector<cv::Rect> detect_cat_faces(const cv::Mat& bgr);

// Saliency of `bgr` (CV_32F, 0..1, same size).
cv::Mat saliency_map(const cv::Mat& bgr);

// What moves against the background at the anchor (CV_8UC1 0/255, the anchor's size): each neighbour is
// aligned to the anchor by the dominant shift (a panning camera moves everything), and a pixel moves when it
// differs from every aligned neighbour. Grey images of one size; no neighbours, nothing moves.
cv::Mat motion_mask(const cv::Mat& anchor_gray, const std::vector<cv::Mat>& neighbour_grays);

// The boxes of the solid regions of `mask` (closed over gaps of about `close_fraction` of the width, holes
// filled), each covering at least `min_area_fraction` of the image. The closing erodes what runs off the
// image's edges; with `keep_cut_edges` it leaves regions whole along the bottom and the sides, where a frame
// cuts a character off (its feet, an arm), and erodes only along the top, where characters are framed.
std::vector<cv::Rect> mask_regions(const cv::Mat& mask, double close_fraction, double min_area_fraction,
                                   bool keep_cut_edges = false);

}  // namespace kesto::backend
