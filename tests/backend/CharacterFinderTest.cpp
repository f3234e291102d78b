#include "backend/matting/CharacterFinder.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace kesto::backend {
namespace {

TEST(CharacterFinder, PicksColourWordsOutOfTheHint) {
  EXPECT_EQ(colour_words("the man in the RED coat"), std::vector<std::string>{"red"});
  EXPECT_EQ(colour_words("grey-haired woman, blue scarf"), (std::vector<std::string>{"grey", "blue"}));
  EXPECT_TRUE(colour_words("the tall one").empty());
  EXPECT_TRUE(colour_words("").empty());
  EXPECT_TRUE(colour_words("reddish").empty());  // whole words only
}

TEST(CharacterFinder, MeasuresColourShareInABox) {
  cv::Mat image(100, 200, CV_8UC3, cv::Scalar(128, 128, 128));
  image(cv::Rect(0, 0, 100, 100)).setTo(cv::Scalar(0, 0, 220));    // red half (BGR)
  image(cv::Rect(100, 0, 100, 100)).setTo(cv::Scalar(220, 60, 0));  // blue half
  EXPECT_NEAR(colour_share(image, cv::Rect(0, 0, 100, 100), "red"), 1.0, 1e-9);
  EXPECT_NEAR(colour_share(image, cv::Rect(0, 0, 200, 100), "red"), 0.5, 1e-9);
  EXPECT_NEAR(colour_share(image, cv::Rect(100, 0, 100, 100), "blue"), 1.0, 1e-9);
  EXPECT_NEAR(colour_share(image, cv::Rect(100, 0, 100, 100), "red"), 0.0, 1e-9);
  EXPECT_NEAR(colour_share(image, cv::Rect(300, 0, 10, 10), "red"), 0.0, 1e-9);  // outside
  EXPECT_NEAR(colour_share(image, cv::Rect(0, 0, 10, 10), "plaid"), 0.0, 1e-9);
}

TEST(CharacterFinder, RanksByColourThenBySize) {
  std::vector<CharacterCandidate> candidates = {
      {cv::Rect(0, 0, 10, 10), 0.60}, {cv::Rect(0, 0, 50, 50), 0.10}, {cv::Rect(0, 0, 30, 30), 0.62}};
  auto by_size = candidates;
  rank_candidates(by_size, false);
  EXPECT_EQ(by_size[0].box.width, 50);
  EXPECT_EQ(by_size[1].box.width, 30);
  rank_candidates(candidates, true);
  EXPECT_EQ(candidates[0].box.width, 30);  // 0.60 and 0.62 count as equal colour: the larger wins
  EXPECT_EQ(candidates[1].box.width, 10);
  EXPECT_EQ(candidates[2].box.width, 50);
}

TEST(CharacterFinder, FindsNothingInAnEmptyScene) {
  cv::Mat image(240, 320, CV_8UC3, cv::Scalar(90, 120, 90));
  cv::rectangle(image, cv::Rect(40, 40, 60, 30), cv::Scalar(20, 20, 200), cv::FILLED);
  EXPECT_FALSE(find_character(image, "the red man").has_value());
  EXPECT_FALSE(find_character(cv::Mat(20, 20, CV_8UC3, cv::Scalar(0, 0, 0)), "man").has_value());
}

}  // namespace
}  // namespace kesto::backend
