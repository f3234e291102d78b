// Focused runs of the classical engine on small synthetic clips: a coloured disc moving over a textured
// background, checked against the true mask by intersection over union.

#include "backend/matting/ClassicalEngine.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "backend/matting/AnchorSegmenter.h"
#include "backend/matting/HoleFiller.h"
#include "BackendTestSupport.h"

namespace kesto::backend {
namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 96;

JobRequest box_request(int anchor, Quality quality) {
  JobRequest request;
  request.anchor_frame = anchor;
  request.quality = quality;
  request.edge_softness = 0.0;
  // The disc (radius h/5) starts at (w/4, h/2) and moves 3 px per frame.
  const double cx = (kWidth / 4.0 + anchor * 3) / kWidth;
  request.bbox = NormBox{cx - 0.16, 0.22, 0.32, 0.56};
  return request;
}

struct Outcome {
  EngineOutcome error;
  std::map<int, cv::Mat> mattes;
  std::vector<std::string> stages;
};

Outcome run_engine(const JobRequest& request, const std::vector<cv::Mat>& clip, bool cancel = false) {
  test::TempDir scratch;
  test::MemoryFrames frames(clip);
  test::MemoryMattes mattes;
  test::RecordingMonitor monitor;
  monitor.cancel = cancel;
  ClassicalEngine engine;
  Outcome out;
  out.error = engine.run(EngineJob{request, frames, mattes, monitor, scratch.path()});
  out.mattes = std::move(mattes.mattes);
  out.stages = std::move(monitor.stages);
  return out;
}

TEST(ClassicalEngine, TracksAMovingCharacterBothWaysFromTheAnchorReportingItsStages) {
  std::vector<cv::Mat> truth;
  const auto clip = test::moving_disc_clip(8, kWidth, kHeight, &truth);
  for (const Quality quality : {Quality::Fast, Quality::Fine}) {
    const Outcome out = run_engine(box_request(3, quality), clip);
    ASSERT_FALSE(out.error) << *out.error;
    ASSERT_EQ(out.mattes.size(), clip.size());
    for (int i = 0; i < static_cast<int>(clip.size()); ++i) {
      const cv::Mat& matte = out.mattes.at(i);
      ASSERT_EQ(matte.size(), clip[0].size());
      EXPECT_GT(test::iou(matte, truth[static_cast<std::size_t>(i)]), 0.85) << "frame " << i;
    }
    for (const char* stage : {"segmenting anchor", "propagating 8/8", "refining edges 8/8"}) {
      EXPECT_NE(std::find(out.stages.begin(), out.stages.end(), stage), out.stages.end()) << stage;
    }
  }
}

TEST(ClassicalEngine, DabsAloneSelectTheCharacter) {
  std::vector<cv::Mat> truth;
  const auto clip = test::moving_disc_clip(2, kWidth, kHeight, &truth);
  JobRequest request;
  request.quality = Quality::Fine;
  request.strokes = {{(kWidth / 4.0) / kWidth, 0.5, 0.05}};
  const Outcome out = run_engine(request, clip);
  ASSERT_FALSE(out.error) << *out.error;
  EXPECT_GT(test::iou(out.mattes.at(0), truth[0]), 0.8);
}

TEST(ClassicalEngine, ExcludeDabsRemovePartOfTheBox) {
  const auto clip = test::moving_disc_clip(1, kWidth, kHeight, nullptr);
  JobRequest request = box_request(0, Quality::Fine);
  const Outcome plain = run_engine(request, clip);
  request.strokes = {{(kWidth / 4.0) / kWidth, 0.5, -0.08}};  // the middle of the disc is not the character
  const Outcome excluded = run_engine(request, clip);
  ASSERT_FALSE(plain.error);
  ASSERT_FALSE(excluded.error);
  const int cx = kWidth / 4;
  EXPECT_EQ(plain.mattes.at(0).at<uchar>(kHeight / 2, cx), 255);
  EXPECT_EQ(excluded.mattes.at(0).at<uchar>(kHeight / 2, cx), 0);
}

TEST(ClassicalEngine, TextHintWithNothingFoundAsksForABox) {
  const auto clip = test::moving_disc_clip(2, kWidth, kHeight, nullptr);
  JobRequest request;
  request.text_prompt = "the woman in red";
  const Outcome out = run_engine(request, clip);
  ASSERT_TRUE(out.error);
  EXPECT_NE(out.error->find("draw a box"), std::string::npos);
  EXPECT_TRUE(out.mattes.empty());
}

// A character as GrabCut leaves it: a blue figure over a pale floor with dark bars beside it, its mask open at
// its two dark eyes (the colour of the bars) and at the patch of floor its arm encloses.
struct Figure {
  cv::Mat frame;
  cv::Mat mask;
  cv::Point left_eye{50, 30}, right_eye{70, 30}, gap{94, 66};
};

Figure figure_with_holes() {
  Figure figure;
  cv::RNG rng(11);
  cv::Mat floor(kHeight, kWidth, CV_8UC3);
  rng.fill(floor, cv::RNG::UNIFORM, cv::Scalar(170, 195, 210), cv::Scalar(190, 215, 230));
  floor(cv::Rect(6, 0, 22, kHeight)).setTo(cv::Scalar(25, 25, 25));
  floor(cv::Rect(114, 0, 22, kHeight)).setTo(cv::Scalar(30, 28, 26));
  figure.frame = floor.clone();
  figure.mask = cv::Mat::zeros(floor.size(), CV_8UC1);
  for (cv::Mat* layer : {&figure.frame, &figure.mask}) {
    const cv::Scalar body = layer == &figure.mask ? cv::Scalar(255) : cv::Scalar(200, 90, 40);
    cv::ellipse(*layer, cv::Point(60, 32), cv::Size(24, 18), 0, 0, 360, body, cv::FILLED);
    cv::rectangle(*layer, cv::Rect(42, 46, 36, 46), body, cv::FILLED);
    cv::circle(*layer, figure.gap, 17, body, cv::FILLED);
  }
  cv::Mat gap = cv::Mat::zeros(floor.size(), CV_8UC1);
  cv::circle(gap, figure.gap, 9, cv::Scalar(255), cv::FILLED);
  floor.copyTo(figure.frame, gap);
  figure.mask.setTo(0, gap);
  for (const cv::Point eye : {figure.left_eye, figure.right_eye}) {
    cv::circle(figure.frame, eye, 6, cv::Scalar(22, 22, 22), cv::FILLED);
    cv::circle(figure.mask, eye, 6, cv::Scalar(0), cv::FILLED);
  }
  return figure;
}

TEST(HoleFiller, FillsFeaturesUnlikeTheBackgroundAndKeepsGapsExcludedAndCarriedHolesOpen) {
  const Figure figure = figure_with_holes();
  const auto disc = [&](cv::Point centre, int radius) {
    cv::Mat m = cv::Mat::zeros(figure.mask.size(), CV_8UC1);
    cv::circle(m, centre, radius, cv::Scalar(255), cv::FILLED);
    return m;
  };
  struct Case {
    const char* name;
    cv::Mat keep_open, was_open;
    bool left_eye, right_eye, gap;  // character (true) or background afterwards
  };
  const Case cases[] = {
      {"nothing drawn", cv::Mat(), cv::Mat(), true, true, false},
      {"an exclude dab inside the right eye", disc(figure.right_eye + cv::Point(1, 0), 2), cv::Mat(), true, false, false},
      {"the left eye open on the last frame", cv::Mat(), disc(figure.left_eye + cv::Point(1, 1), 6), false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const cv::Mat filled = fill_enclosed_holes(figure.frame, figure.mask, c.keep_open, c.was_open);
    EXPECT_EQ(filled.at<uchar>(figure.left_eye) == 255, c.left_eye);
    EXPECT_EQ(filled.at<uchar>(figure.right_eye) == 255, c.right_eye);
    EXPECT_EQ(filled.at<uchar>(figure.gap) == 255, c.gap);
    EXPECT_EQ(cv::countNonZero(filled & ~figure.mask & ~disc(figure.left_eye, 6) & ~disc(figure.right_eye, 6)), 0)
        << "filled something besides the eyes";
    if (!c.keep_open.empty()) {
      EXPECT_EQ(cv::countNonZero(filled & c.keep_open), 0);
    }
  }
}

TEST(ClassicalEngine, StopsWhenCancelled) {
  const auto clip = test::moving_disc_clip(6, kWidth, kHeight, nullptr);
  const Outcome out = run_engine(box_request(0, Quality::Fast), clip, true);
  ASSERT_TRUE(out.error);
  EXPECT_EQ(*out.error, "cancelled");
}

TEST(AnchorSegmenter, BoxToPixelsClampsAndKeepsTwoPixels) {
  EXPECT_EQ(box_to_pixels(NormBox{0.25, 0.5, 0.5, 0.25}, 100, 40), cv::Rect(25, 20, 50, 10));
  EXPECT_EQ(box_to_pixels(NormBox{0.999, 0.999, 0.0001, 0.0001}, 100, 40), cv::Rect(98, 38, 2, 2));
  EXPECT_EQ(box_to_pixels(NormBox{0.0, 0.0, 1.0, 1.0}, 100, 40), cv::Rect(0, 0, 100, 40));
}

TEST(AnchorSegmenter, KeepsTheLargestRegionAndRegionsTouchingSeeds) {
  cv::Mat mask = cv::Mat::zeros(50, 50, CV_8UC1);
  mask(cv::Rect(2, 2, 20, 20)).setTo(255);
  mask(cv::Rect(30, 30, 5, 5)).setTo(255);
  mask(cv::Rect(40, 5, 3, 3)).setTo(255);
  cv::Mat seeds = cv::Mat::zeros(50, 50, CV_8UC1);
  seeds.at<uchar>(31, 31) = 255;
  const cv::Mat kept = keep_largest_region(mask, seeds);
  EXPECT_EQ(kept.at<uchar>(10, 10), 255);
  EXPECT_EQ(kept.at<uchar>(32, 32), 255);
  EXPECT_EQ(kept.at<uchar>(6, 41), 0);
}

}  // namespace
}  // namespace kesto::backend
