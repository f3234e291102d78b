// Where the neural engine asks the network and what it keeps of the answer, on the tiny threshold model
// (which marks whatever is brighter than mid-grey): padding, crop and paste-back, the choice of region, dabs,
// keyframe guidance and the keyframe schedule.

#include "backend/matting/NeuralSegmenter.h"

#include <gtest/gtest.h>

#include "NeuralTestSupport.h"

namespace kesto::backend {
namespace {

using test::TestModels;

constexpr int kWidth = 240;
constexpr int kHeight = 160;

class NeuralSegmenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(TestModels::get().ok()) << TestModels::get().problem();
    std::string error;
    model_ = NeuralModel::load(TestModels::get().options("threshold"), error);
    ASSERT_NE(model_, nullptr) << error;
  }
  std::shared_ptr<NeuralModel> model_;
};

TEST(NeuralSegmenter, PadRegionGrowsByAFractionAtLeastTheMinimumInsideTheFrame) {
  const cv::Size frame(200, 100);
  EXPECT_EQ(pad_region(cv::Rect(50, 40, 100, 20), 0.1, 4, frame), cv::Rect(40, 36, 120, 28));
  EXPECT_EQ(pad_region(cv::Rect(50, 40, 100, 20), 0.1, 8, frame), cv::Rect(40, 32, 120, 36));
  EXPECT_EQ(pad_region(cv::Rect(0, 0, 200, 100), 0.25, 8, frame), cv::Rect(0, 0, 200, 100));
  EXPECT_EQ(pad_region(cv::Rect(190, 95, 10, 5), 0.5, 2, frame), cv::Rect(185, 92, 15, 8));
}

TEST_F(NeuralSegmenterTest, PredictRegionSeesOnlyTheRegionAndPastesItsMapBackInPlace) {
  cv::Mat frame = test::dark_background(kWidth, kHeight);
  frame(cv::Rect(60, 50, 40, 30)).setTo(cv::Scalar::all(250));   // inside the region
  frame(cv::Rect(180, 20, 40, 40)).setTo(cv::Scalar::all(250));  // outside it
  const cv::Rect region(40, 30, 100, 80);
  std::string error;
  const cv::Mat map = predict_region(*model_, frame, region, error);
  ASSERT_FALSE(map.empty()) << error;
  ASSERT_EQ(map.size(), frame.size());
  ASSERT_EQ(map.type(), CV_32F);
  const cv::Mat marked = map > 0.5f;
  EXPECT_EQ(cv::countNonZero(marked(cv::Rect(180, 20, 40, 40))), 0);  // never shown to the network
  EXPECT_EQ(cv::countNonZero(marked) - cv::countNonZero(marked(region)), 0);
  // The bright block comes back where it is, to within the model's half-resolution step (about 2 px here).
  const cv::Rect found = cv::boundingRect(marked);
  EXPECT_NEAR(found.x, 60, 3);
  EXPECT_NEAR(found.y, 50, 3);
  EXPECT_NEAR(found.width, 40, 4);
  EXPECT_NEAR(found.height, 30, 4);

  EXPECT_TRUE(predict_region(*model_, frame, cv::Rect(kWidth - 1, 0, 10, 10), error).empty());
}

TEST(NeuralSegmenter, KeepFocusedRegionPrefersOverlapToSizeAndKeepsSeededRegions) {
  cv::Mat mask = cv::Mat::zeros(60, 100, CV_8UC1);
  mask(cv::Rect(0, 0, 40, 40)).setTo(255);   // the largest
  mask(cv::Rect(60, 10, 15, 15)).setTo(255); // the one in focus
  mask(cv::Rect(85, 45, 10, 10)).setTo(255); // seeded
  cv::Mat focus = cv::Mat::zeros(mask.size(), CV_8UC1);
  focus(cv::Rect(35, 5, 45, 25)).setTo(255);  // 5x25 of the largest, all 15x15 of the small one
  cv::Mat keep = cv::Mat::zeros(mask.size(), CV_8UC1);
  keep.at<uchar>(50, 90) = 255;
  const cv::Mat kept = keep_focused_region(mask, focus, keep);
  EXPECT_EQ(kept.at<uchar>(20, 20), 0);
  EXPECT_EQ(kept.at<uchar>(15, 65), 255);
  EXPECT_EQ(kept.at<uchar>(50, 90), 255);
  EXPECT_EQ(cv::countNonZero(kept), 15 * 15 + 10 * 10);
  EXPECT_EQ(cv::countNonZero(keep_focused_region(mask, cv::Mat::zeros(mask.size(), CV_8UC1), cv::Mat())), 0);
  EXPECT_EQ(cv::countNonZero(keep_focused_region(cv::Mat::zeros(mask.size(), CV_8UC1), focus, keep)), 0);
}

TEST_F(NeuralSegmenterTest, AnchorMaskIsTheCharacterInsideTheBoxWithDabsApplied) {
  cv::Mat frame = test::dark_background(kWidth, kHeight);
  cv::Mat truth = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
  test::draw_bright_disc(frame, {80, 80}, 30, &truth);
  frame(cv::Rect(150, 10, 80, 140)).setTo(cv::Scalar::all(250));  // larger and brighter, outside the box
  AnchorSeeds seeds;
  seeds.box = cv::Rect(45, 45, 72, 72);
  std::string error;
  const cv::Mat plain = neural_anchor_mask(*model_, frame, seeds, error);
  ASSERT_FALSE(plain.empty()) << error;
  EXPECT_GT(test::iou(plain, truth), 0.9);
  EXPECT_EQ(cv::countNonZero(plain(cv::Rect(150, 10, 80, 140))), 0);

  // Exclude the disc's middle, add a dark patch that touches nothing the network found.
  seeds.dabs = {{80.0 / kWidth, 0.5, -8.0 / kWidth}, {60.0 / kWidth, 130.0 / kHeight, 5.0 / kWidth}};
  const cv::Mat dabbed = neural_anchor_mask(*model_, frame, seeds, error);
  ASSERT_FALSE(dabbed.empty()) << error;
  EXPECT_EQ(dabbed.at<uchar>(80, 80), 0);
  EXPECT_EQ(dabbed.at<uchar>(130, 60), 255);
  EXPECT_EQ(dabbed.at<uchar>(80, 60), 255);

  // Dabs alone: the area around them.
  AnchorSeeds dabs_only;
  dabs_only.dabs = {{80.0 / kWidth, 0.5, 6.0 / kWidth}};
  const cv::Mat from_dabs = neural_anchor_mask(*model_, frame, dabs_only, error);
  ASSERT_FALSE(from_dabs.empty()) << error;
  EXPECT_GT(test::iou(from_dabs, truth), 0.85);  // the whole frame at the small input size: coarser
}

TEST_F(NeuralSegmenterTest, AnchorMaskSaysSoWhenTheSelectionHoldsNothing) {
  const cv::Mat frame = test::dark_background(kWidth, kHeight);
  AnchorSeeds seeds;
  seeds.box = cv::Rect(40, 40, 60, 60);
  std::string error;
  EXPECT_TRUE(neural_anchor_mask(*model_, frame, seeds, error).empty());
  EXPECT_NE(error.find("no character inside the selection"), std::string::npos) << error;
  error.clear();
  EXPECT_TRUE(neural_anchor_mask(*model_, frame, AnchorSeeds{}, error).empty());
  EXPECT_NE(error.find("nothing selected"), std::string::npos) << error;
}

TEST_F(NeuralSegmenterTest, KeyframeMaskReplacesADriftedMaskButNotWithNonsense) {
  cv::Mat frame = test::dark_background(kWidth, kHeight);
  cv::Mat truth = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
  test::draw_bright_disc(frame, {100, 80}, 32, &truth);
  frame(cv::Rect(200, 0, 40, 160)).setTo(cv::Scalar::all(250));  // another bright thing nearby
  cv::Mat drifted = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
  cv::circle(drifted, {110, 75}, 24, cv::Scalar(255), cv::FILLED);
  std::string error;
  const cv::Mat corrected = neural_keyframe_mask(*model_, frame, drifted, error);
  ASSERT_FALSE(corrected.empty()) << error;
  EXPECT_GT(test::iou(corrected, truth), 0.9);
  EXPECT_EQ(cv::countNonZero(corrected(cv::Rect(200, 0, 40, 160))), 0);

  // Nothing bright where the mask is: the network's answer would be empty, the propagated mask stays.
  const cv::Mat dark = test::dark_background(kWidth, kHeight);
  const cv::Mat kept = neural_keyframe_mask(*model_, dark, drifted, error);
  ASSERT_FALSE(kept.empty()) << error;
  EXPECT_EQ(cv::norm(kept, drifted, cv::NORM_INF), 0.0);
  // A propagated mask that has lost the character is left as it is.
  const cv::Mat none = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
  EXPECT_EQ(cv::countNonZero(neural_keyframe_mask(*model_, frame, none, error)), 0);
}

TEST(NeuralSegmenter, KeyframesAreEverySpacingFramesFromTheAnchorBothWays) {
  std::vector<int> picked;
  for (int i = 0; i < 30; ++i) {
    if (is_keyframe(i, 12, 5)) picked.push_back(i);
  }
  EXPECT_EQ(picked, (std::vector<int>{2, 7, 17, 22, 27}));
  for (int i = 0; i < 30; ++i) {
    EXPECT_FALSE(is_keyframe(i, 12, 0));
    EXPECT_FALSE(is_keyframe(i, 12, -3));
  }
  EXPECT_TRUE(is_keyframe(1, 0, 1));
}

}  // namespace
}  // namespace kesto::backend
