// The neural engine end to end on small synthetic clips with the tiny threshold model: a bright character on a
// dark background, checked against the true mask; keyframes that repair what propagation cannot follow; a
// model that fails mid-job; and the engine factory that loads the model once.

#include "backend/matting/NeuralEngine.h"

#include <gtest/gtest.h>

#include "backend/matting/EngineFactory.h"
#include "NeuralTestSupport.h"

namespace kesto::backend {
namespace {

using test::TestModels;

constexpr int kWidth = 240;
constexpr int kHeight = 160;

struct Clip {
  std::vector<cv::Mat> frames;
  std::vector<cv::Mat> truth;
};

// A bright disc of `radius(i)` moving right by `step_px` a frame; a bright bar stands at the right edge.
template <class Radius>
Clip disc_clip(int count, int step_px, Radius radius) {
  Clip clip;
  for (int i = 0; i < count; ++i) {
    cv::Mat frame = test::dark_background(kWidth, kHeight);
    frame(cv::Rect(kWidth - 24, 0, 24, kHeight)).setTo(cv::Scalar::all(245));
    cv::Mat truth = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
    test::draw_bright_disc(frame, {70 + i * step_px, kHeight / 2}, radius(i), &truth);
    clip.frames.push_back(frame);
    clip.truth.push_back(truth);
  }
  return clip;
}

JobRequest box_around(const cv::Mat& truth, int anchor) {
  const cv::Rect r = cv::boundingRect(truth);
  JobRequest request;
  request.anchor_frame = anchor;
  request.quality = Quality::Fine;
  request.edge_softness = 0.0;
  request.bbox = NormBox{(r.x - 6.0) / kWidth, (r.y - 6.0) / kHeight, (r.width + 12.0) / kWidth, (r.height + 12.0) / kHeight};
  return request;
}

struct Outcome {
  EngineOutcome error;
  std::map<int, cv::Mat> mattes;
  std::vector<std::string> stages;
};

class NeuralEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TestModels::get().ok()) << TestModels::get().problem(); }

  static std::shared_ptr<const NeuralModel> load(const std::string& name) {
    std::string error;
    auto model = NeuralModel::load(TestModels::get().options(name), error);
    EXPECT_NE(model, nullptr) << error;
    return model;
  }

  static Outcome run(std::shared_ptr<const NeuralModel> model, int spacing, const JobRequest& request,
                     const std::vector<cv::Mat>& frames_in, bool cancel = false) {
    test::TempDir scratch;
    test::MemoryFrames frames(frames_in);
    test::MemoryMattes mattes;
    test::RecordingMonitor monitor;
    monitor.cancel = cancel;
    NeuralEngine engine(std::move(model), spacing);
    Outcome out;
    out.error = engine.run(EngineJob{request, frames, mattes, monitor, scratch.path()});
    out.mattes = std::move(mattes.mattes);
    out.stages = std::move(monitor.stages);
    return out;
  }
};

TEST_F(NeuralEngineTest, MattesEveryFrameBothWaysFromTheAnchor) {
  const Clip clip = disc_clip(7, 4, [](int) { return 26; });
  const auto model = load("threshold");
  ASSERT_NE(model, nullptr);
  for (const Quality quality : {Quality::Fast, Quality::Fine}) {
    JobRequest request = box_around(clip.truth[3], 3);
    request.quality = quality;
    const Outcome out = run(model, 2, request, clip.frames);
    ASSERT_FALSE(out.error) << *out.error;
    ASSERT_EQ(out.mattes.size(), clip.frames.size());
    for (int i = 0; i < static_cast<int>(clip.frames.size()); ++i) {
      const cv::Mat& matte = out.mattes.at(i);
      ASSERT_EQ(matte.size(), clip.frames[0].size());
      EXPECT_GT(test::iou(matte, clip.truth[static_cast<std::size_t>(i)]), 0.85) << "frame " << i;
      EXPECT_EQ(cv::countNonZero(matte(cv::Rect(kWidth - 20, 0, 20, kHeight)) > 127), 0) << "frame " << i;
    }
    auto seen = [&](const std::string& text) {
      return std::find(out.stages.begin(), out.stages.end(), text) != out.stages.end();
    };
    EXPECT_TRUE(seen("segmenting anchor"));
    EXPECT_TRUE(seen("refining edges 7/7"));
  }
}

TEST_F(NeuralEngineTest, KeyframesRepairWhatPropagationCannotFollow) {
  // From frame 3 on an arm sticks out of the disc: beyond the band propagation re-segments in, with nothing in
  // the frame before that optical flow could carry there. The keyframe at 3 sees it.
  Clip clip = disc_clip(5, 0, [](int) { return 24; });
  const cv::Rect arm(92, 76, 18, 8);
  for (int i = 3; i < 5; ++i) {
    clip.frames[static_cast<std::size_t>(i)](arm).setTo(cv::Scalar::all(235));
    clip.truth[static_cast<std::size_t>(i)](arm).setTo(255);
  }
  const cv::Point arm_tip(107, 80);
  const auto model = load("threshold");
  ASSERT_NE(model, nullptr);
  const JobRequest request = box_around(clip.truth[0], 0);
  const Outcome propagated_only = run(model, 0, request, clip.frames);
  const Outcome with_keyframes = run(model, 3, request, clip.frames);
  ASSERT_FALSE(propagated_only.error) << *propagated_only.error;
  ASSERT_FALSE(with_keyframes.error) << *with_keyframes.error;
  EXPECT_LT(propagated_only.mattes.at(3).at<uchar>(arm_tip), 64);  // so the repair below means something
  for (int i = 3; i < 5; ++i) EXPECT_GT(with_keyframes.mattes.at(i).at<uchar>(arm_tip), 191) << "frame " << i;
  for (int i = 0; i < 5; ++i) {
    EXPECT_GT(test::iou(with_keyframes.mattes.at(i), clip.truth[static_cast<std::size_t>(i)]), 0.9) << "frame " << i;
  }
}

TEST_F(NeuralEngineTest, DabsAloneSelectTheCharacterAndSelectionErrorsReadAsSuch) {
  const Clip clip = disc_clip(2, 0, [](int) { return 26; });
  const auto model = load("threshold");
  ASSERT_NE(model, nullptr);
  JobRequest request;
  request.strokes = {{70.0 / kWidth, 0.5, 4.0 / kWidth}};
  const Outcome out = run(model, 0, request, clip.frames);
  ASSERT_FALSE(out.error) << *out.error;
  EXPECT_GT(test::iou(out.mattes.at(0), clip.truth[0]), 0.85);

  JobRequest empty_box;
  empty_box.bbox = NormBox{0.02, 0.02, 0.1, 0.1};  // dark corner
  const Outcome nothing = run(model, 0, empty_box, clip.frames);
  ASSERT_TRUE(nothing.error);
  EXPECT_NE(nothing.error->find("no character inside the selection"), std::string::npos) << *nothing.error;
  EXPECT_TRUE(nothing.mattes.empty());

  JobRequest outside;
  outside.anchor_frame = 5;
  outside.bbox = NormBox{0.1, 0.1, 0.5, 0.5};
  const Outcome beyond = run(model, 0, outside, clip.frames);
  ASSERT_TRUE(beyond.error);
  EXPECT_NE(beyond.error->find("outside the clip"), std::string::npos);
}

TEST_F(NeuralEngineTest, AModelThatTurnsToNaNMidJobFailsTheJobNamingTheModelAndFrame) {
  // Finite on the dark anchor frame, NaN on the white frame 2, a keyframe.
  std::vector<cv::Mat> frames(3, test::dark_background(kWidth, kHeight));
  frames[2] = cv::Mat(kHeight, kWidth, CV_8UC3, cv::Scalar::all(255));
  JobRequest request;
  request.bbox = NormBox{0.25, 0.25, 0.5, 0.5};
  const auto model = load("nan_if_bright");
  ASSERT_NE(model, nullptr);
  const Outcome out = run(model, 2, request, frames);
  ASSERT_TRUE(out.error);
  EXPECT_NE(out.error->find(TestModels::get().path("nan_if_bright").string()), std::string::npos) << *out.error;
  EXPECT_NE(out.error->find("NaN"), std::string::npos) << *out.error;
  EXPECT_NE(out.error->find("(frame 2)"), std::string::npos) << *out.error;

  // On the anchor itself.
  request.anchor_frame = 2;
  const Outcome at_anchor = run(model, 2, request, frames);
  ASSERT_TRUE(at_anchor.error);
  EXPECT_NE(at_anchor.error->find("NaN"), std::string::npos) << *at_anchor.error;
}

TEST_F(NeuralEngineTest, StopsWhenCancelled) {
  const Clip clip = disc_clip(4, 3, [](int) { return 20; });
  const auto model = load("threshold");
  ASSERT_NE(model, nullptr);
  const Outcome out = run(model, 1, box_around(clip.truth[0], 0), clip.frames, true);
  ASSERT_TRUE(out.error);
  EXPECT_EQ(*out.error, "cancelled");
}

TEST_F(NeuralEngineTest, FactoryLoadsTheModelOnceOrRefusesWithTheReason) {
  std::string error;
  const EngineFactory factory = engine_factory("neural", TestModels::get().options("threshold"), error);
  ASSERT_TRUE(factory) << error;
  const auto first = factory();
  const auto second = factory();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->name(), "neural");
  EXPECT_NE(first.get(), second.get());

  const NeuralOptions unusable = TestModels::get().options("three_channels");
  EXPECT_FALSE(engine_factory("neural", unusable, error));
  EXPECT_NE(error.find("three_channels.onnx"), std::string::npos) << error;
  EXPECT_FALSE(engine_factory("magic", unusable, error));
  EXPECT_NE(error.find("unknown engine"), std::string::npos) << error;
  EXPECT_TRUE(engine_factory("classical", unusable, error));
}

}  // namespace
}  // namespace kesto::backend
