// Clips with a true matte: compositing along a path, video frames, and the drawn character and background.

#include "CompositeClip.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace kesto::clips {
namespace {

// The drawn pictures are drawn this many times larger, then shrunk, so their edges are antialiased.
constexpr int kSupersample = 4;
constexpr double kCharacterAspect = 0.75;  // width over height
// The bob follows sin(frame * this), a slow up and down over about a dozen frames.
constexpr double kBobRadiansPerFrame = 0.5;

cv::Point at(double fx, double fy, cv::Size canvas) {
  return {static_cast<int>(std::lround(fx * canvas.width)), static_cast<int>(std::lround(fy * canvas.height))};
}

cv::Size axes(double fx, double fy, cv::Size canvas) {
  return {static_cast<int>(std::lround(fx * canvas.width)), static_cast<int>(std::lround(fy * canvas.height))};
}

// Random colour blotches: a grid of `cells` random colours from `low` to `high`, smoothly enlarged to `size`.
cv::Mat blotches(cv::Size size, cv::Size cells, cv::RNG& rng, cv::Scalar low, cv::Scalar high) {
  cv::Mat grid(cells, CV_32FC3);
  rng.fill(grid, cv::RNG::UNIFORM, low, high);
  cv::Mat field;
  cv::resize(grid, field, size, 0, 0, cv::INTER_CUBIC);
  return field;
}

}  // namespace

CompositeClip composite_clip(const cv::Mat& character, const std::vector<cv::Mat>& backgrounds, const ClipPath& path) {
  CompositeClip clip;
  if (backgrounds.empty() || character.empty() || character.type() != CV_8UC4) return clip;
  const int width = backgrounds.front().cols;
  const int height = backgrounds.front().rows;
  const double scale = path.height_fraction * height / character.rows;
  cv::Mat sprite;
  cv::resize(character, sprite, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::Mat sprite_f;
  sprite.convertTo(sprite_f, CV_32FC4, 1.0 / 255.0);
  std::vector<cv::Mat> channels;
  cv::split(sprite_f, channels);
  const cv::Mat alpha = channels[3];
  cv::Mat colour;
  cv::merge(std::vector<cv::Mat>{channels[0], channels[1], channels[2]}, colour);

  const cv::Rect frame_rect(0, 0, width, height);
  for (std::size_t i = 0; i < backgrounds.size(); ++i) {
    const double t = static_cast<double>(i);
    const int x = path.start_x_px + static_cast<int>(i) * path.step_x_px;
    const int y = height - sprite.rows + path.overhang_px +
                  static_cast<int>(std::lround(path.bob_px * std::sin(t * kBobRadiansPerFrame)));
    cv::Mat truth = cv::Mat::zeros(height, width, CV_32F);
    cv::Mat frame;
    backgrounds[i].convertTo(frame, CV_32FC3, 1.0 / 255.0);
    const cv::Rect placed = cv::Rect(x, y, sprite.cols, sprite.rows) & frame_rect;
    if (!placed.empty()) {
      const cv::Rect src(placed.x - x, placed.y - y, placed.width, placed.height);
      alpha(src).copyTo(truth(placed));
      cv::Mat a3;
      cv::merge(std::vector<cv::Mat>{alpha(src), alpha(src), alpha(src)}, a3);
      cv::Mat region = frame(placed);
      region = region.mul(cv::Scalar::all(1.0) - a3) + colour(src).mul(a3);
    }
    cv::Mat frame8;
    frame.convertTo(frame8, CV_8UC3, 255.0);
    clip.frames.push_back(frame8);
    clip.truth.push_back(truth);
  }

  clip.anchor = static_cast<int>(clip.truth.size() / 2);
  const cv::Rect box = cv::boundingRect(clip.truth[static_cast<std::size_t>(clip.anchor)] > 0.5f);
  const double mx = path.box_margin_fraction * width;
  const double my = path.box_margin_fraction * height;
  const double x0 = std::max(0.0, box.x - mx) / width;
  const double y0 = std::max(0.0, box.y - my) / height;
  const double x1 = std::min<double>(width, box.x + box.width + mx) / width;
  const double y1 = std::min<double>(height, box.y + box.height + my) / height;
  clip.box = NormalisedBox{x0, y0, x1 - x0, y1 - y0};
  return clip;
}

std::vector<cv::Mat> read_video_frames(const std::filesystem::path& video, int first, int count, cv::Size size) {
  std::vector<cv::Mat> frames;
  // Only through FFmpeg, and only an existing file: on anything else OpenCV tries every capture back-end,
  // camera ones included, which log pages and leak.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(video, ec)) return frames;
  cv::VideoCapture capture(video.string(), cv::CAP_FFMPEG);
  cv::Mat frame;
  for (int i = 0; static_cast<int>(frames.size()) < count && capture.read(frame); ++i) {
    if (i < first) continue;
    cv::Mat resized;
    cv::resize(frame, resized, size, 0, 0, cv::INTER_AREA);
    frames.push_back(resized);
  }
  return frames;
}

cv::Mat drawn_character(int height_px) {
  const int h = std::max(8, height_px) * kSupersample;
  const cv::Size canvas(static_cast<int>(std::lround(h * kCharacterAspect)), h);
  cv::Mat colour(canvas, CV_8UC3, cv::Scalar::all(0));
  cv::Mat mask = cv::Mat::zeros(canvas, CV_8UC1);
  // Each part is drawn into the colour picture and the mask alike.
  const auto ellipse = [&](cv::Point centre, cv::Size half, cv::Scalar bgr, double start = 0, double end = 360) {
    cv::ellipse(colour, centre, half, 0, start, end, bgr, cv::FILLED);
    cv::ellipse(mask, centre, half, 0, start, end, cv::Scalar(255), cv::FILLED);
  };
  const auto rect = [&](cv::Point a, cv::Point b, cv::Scalar bgr) {
    cv::rectangle(colour, a, b, bgr, cv::FILLED);
    cv::rectangle(mask, a, b, cv::Scalar(255), cv::FILLED);
  };
  const cv::Scalar skin(120, 160, 225);
  const cv::Scalar shirt(170, 80, 30);
  const cv::Scalar hair(30, 45, 85);

  // Torso with rounded shoulders and the arms beside it, running off the bottom.
  ellipse(at(0.5, 1.0, canvas), axes(0.44, 0.52, canvas), shirt);
  ellipse(at(0.14, 0.86, canvas), axes(0.12, 0.3, canvas), shirt);
  ellipse(at(0.86, 0.86, canvas), axes(0.12, 0.3, canvas), shirt);
  // Light stripes across the shirt, only where the shirt is.
  cv::Mat shirt_area;
  cv::inRange(colour, shirt, shirt, shirt_area);
  const int stripe = std::max(2, canvas.height / 18);
  for (int y = 0; y < canvas.height; y += 2 * stripe) {
    cv::Mat band = cv::Mat::zeros(canvas, CV_8UC1);
    cv::rectangle(band, cv::Rect(0, y, canvas.width, stripe), cv::Scalar(255), cv::FILLED);
    colour.setTo(cv::Scalar(215, 190, 150), band & shirt_area);
  }
  rect(at(0.42, 0.3, canvas), at(0.58, 0.52, canvas), skin);
  ellipse(at(0.5, 0.25, canvas), axes(0.21, 0.16, canvas), skin);
  ellipse(at(0.5, 0.2, canvas), axes(0.23, 0.12, canvas), hair, 180, 360);
  // Eyes and mouth: colour only.
  cv::circle(colour, at(0.42, 0.26, canvas), canvas.width / 40, cv::Scalar(40, 30, 20), cv::FILLED);
  cv::circle(colour, at(0.58, 0.26, canvas), canvas.width / 40, cv::Scalar(40, 30, 20), cv::FILLED);
  cv::ellipse(colour, at(0.5, 0.33, canvas), axes(0.06, 0.02, canvas), 0, 0, 180, cv::Scalar(60, 60, 150),
              std::max(1, canvas.width / 80));

  // Shrink colour premultiplied by the mask, then divide, so the antialiased rim keeps the part's colour
  // instead of darkening towards the empty canvas.
  cv::Mat alpha_f;
  mask.convertTo(alpha_f, CV_32F, 1.0 / 255.0);
  cv::Mat colour_f;
  colour.convertTo(colour_f, CV_32FC3);
  cv::Mat premultiplied;
  cv::merge(std::vector<cv::Mat>{alpha_f, alpha_f, alpha_f}, premultiplied);
  premultiplied = premultiplied.mul(colour_f);
  const cv::Size size(canvas.width / kSupersample, canvas.height / kSupersample);
  cv::Mat small_alpha;
  cv::Mat small_colour;
  cv::resize(alpha_f, small_alpha, size, 0, 0, cv::INTER_AREA);
  cv::resize(premultiplied, small_colour, size, 0, 0, cv::INTER_AREA);
  cv::Mat divisor = cv::max(small_alpha, 1e-6);
  cv::Mat divisor3;
  cv::merge(std::vector<cv::Mat>{divisor, divisor, divisor}, divisor3);
  small_colour = small_colour / divisor3;

  cv::Mat bgr8;
  small_colour.convertTo(bgr8, CV_8UC3);
  cv::Mat alpha8;
  small_alpha.convertTo(alpha8, CV_8UC1, 255.0);
  std::vector<cv::Mat> planes;
  cv::split(bgr8, planes);
  planes.push_back(alpha8);
  cv::Mat bgra;
  cv::merge(planes, bgra);
  return bgra;
}

std::vector<cv::Mat> drawn_background(cv::Size size, int count, int pan_px, unsigned seed) {
  std::vector<cv::Mat> frames;
  if (size.width <= 0 || size.height <= 0 || count <= 0) return frames;
  cv::RNG rng(seed);
  const cv::Size canvas(size.width + std::max(0, pan_px) * count, size.height);
  // Broad fields of earthy and green colour with finer blotches on top.
  cv::Mat picture = blotches(canvas, cv::Size(7, 4), rng, cv::Scalar(30, 60, 50), cv::Scalar(150, 190, 190));
  picture += 0.35 * blotches(canvas, cv::Size(40, 12), rng, cv::Scalar(-40, -40, -40), cv::Scalar(40, 40, 40));
  // A brick wall across the upper part.
  const int brick_h = std::max(3, size.height / 16);
  const int brick_w = brick_h * 3;
  for (int row = 0; row * brick_h < canvas.height * 2 / 5; ++row) {
    for (int x = (row % 2) * brick_w / 2 - brick_w; x < canvas.width; x += brick_w) {
      const double shade = rng.uniform(-25.0, 25.0);
      cv::rectangle(picture, cv::Rect(x + 1, row * brick_h + 1, brick_w - 2, brick_h - 2),
                    cv::Scalar(60 + shade, 80 + shade, 150 + shade), cv::FILLED);
    }
  }
  // Poles and signs in front of it.
  for (int i = 0; i < canvas.width / std::max(1, size.width / 3); ++i) {
    const int x = rng.uniform(0, canvas.width);
    cv::rectangle(picture, cv::Rect(x, 0, std::max(2, size.width / 90), canvas.height),
                  cv::Scalar(rng.uniform(20, 90), rng.uniform(20, 90), rng.uniform(20, 90)), cv::FILLED);
    const cv::Point sign(x - size.width / 40, rng.uniform(size.height / 4, size.height / 2));
    cv::rectangle(picture, cv::Rect(sign, cv::Size(size.width / 16, size.height / 14)),
                  cv::Scalar(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255)), cv::FILLED);
  }
  cv::Mat grain(canvas, CV_32FC3);
  rng.fill(grain, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(8));
  picture += grain;
  cv::Mat picture8;
  picture.convertTo(picture8, CV_8UC3);
  for (int i = 0; i < count; ++i) {
    frames.push_back(picture8(cv::Rect(i * std::max(0, pan_px), 0, size.width, size.height)).clone());
  }
  return frames;
}

double matte_iou(const cv::Mat& matte, const cv::Mat& truth) {
  const cv::Mat got = matte > 0.5f;
  const cv::Mat want = truth > 0.5f;
  const double uni = cv::countNonZero(got | want);
  return uni == 0 ? 1.0 : cv::countNonZero(got & want) / uni;
}

double matte_mad(const cv::Mat& matte, const cv::Mat& truth) { return cv::mean(cv::abs(matte - truth))[0]; }

}  // namespace kesto::clips
