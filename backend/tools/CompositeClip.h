#pragma once
// Clips with a true matte, for measuring mattes: an RGBA character composited over background frames along a
// path, with the character's alpha kept per frame. The matte quality benchmark builds them from real media
// (character portraits over street footage); the end-to-end test builds them from a drawn character over a
// drawn textured background, so it needs no media.

#include <filesystem>
#include <vector>

#include <opencv2/core.hpp>

namespace kesto::clips {

// Where the character goes in each frame. Its height is a fraction of the frame's; it moves right by a
// fixed step per frame, bobs up and down, and its lower edge hangs below the frame (a portrait's cut-off
// lower edge must not show).
struct ClipPath {
  double height_fraction = 0.78;
  int start_x_px = 0;
  int step_x_px = 5;
  double bob_px = 6.0;
  int overhang_px = 12;
  double box_margin_fraction = 0.04;  // of the frame's width and height, around the box of the anchor frame
};

// A box in normalised frame coordinates: 0 to 1 from the top-left corner.
struct NormalisedBox {
  double x = 0.0;
  double y = 0.0;
  double w = 0.0;
  double h = 0.0;
};

struct CompositeClip {
  std::vector<cv::Mat> frames;  // CV_8UC3, BGR
  std::vector<cv::Mat> truth;   // CV_32FC1, the character's alpha from 0 to 1
  int anchor = 0;               // the middle frame: where the box was drawn
  NormalisedBox box;            // the character on the anchor frame, with the path's margin
};

// Composites `character` (CV_8UC4, BGRA, straight alpha) over each background frame (CV_8UC3, all of one
// size) along `path`. No frames: an empty clip.
CompositeClip composite_clip(const cv::Mat& character, const std::vector<cv::Mat>& backgrounds, const ClipPath& path);

// Frames `first` to `first + count - 1` of a video, each scaled to `size`. Fewer when the video is shorter or
// cannot be read.
std::vector<cv::Mat> read_video_frames(const std::filesystem::path& video, int first, int count, cv::Size size);

// A drawn character with antialiased edges (BGRA): a head with hair, a neck and a shirted torso with arms,
// in colours and stripes unlike any single background colour. `height_px` tall, about three quarters as wide.
cv::Mat drawn_character(int height_px);

// `count` frames of a drawn, textured background of `size`: blotches of colour at several scales, grain,
// bricks and poles, panning sideways by `pan_px` per frame as a moving camera would. Same seed, same frames.
std::vector<cv::Mat> drawn_background(cv::Size size, int count, int pan_px, unsigned seed);

// Intersection over union of matte > 0.5 and truth > 0.5 (both CV_32FC1 of one size); 1 when both are empty.
double matte_iou(const cv::Mat& matte, const cv::Mat& truth);
// Mean absolute difference of two CV_32FC1 alphas of one size.
double matte_mad(const cv::Mat& matte, const cv::Mat& truth);

}  // namespace kesto::clips
