// The neural model wrapper on tiny generated ONNX models: loading, pre- and post-processing, the choice of
// output, the error paths of unusable files, and concurrent use.

#include "backend/matting/NeuralModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <thread>
#include <vector>

#include "NeuralTestSupport.h"

namespace kesto::backend {
namespace {

using test::TestModels;

class NeuralModelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TestModels::get().ok()) << TestModels::get().problem(); }
  const TestModels& models() const { return TestModels::get(); }

  // Loads a model expected to be refused and returns the reason.
  std::string refusal(const NeuralOptions& options) const {
    std::string error;
    const auto model = NeuralModel::load(options, error);
    EXPECT_EQ(model, nullptr) << options.model_path;
    EXPECT_NE(error.find(options.model_path), std::string::npos) << error;
    return error;
  }
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A 100 x 60 picture: left half white, right half black.
cv::Mat half_white() {
  cv::Mat image(60, 100, CV_8UC3, cv::Scalar(0, 0, 0));
  image(cv::Rect(0, 0, 50, 60)).setTo(cv::Scalar(255, 255, 255));
  return image;
}

TEST_F(NeuralModelTest, LoadsAModelAndMapsThePictureAtItsOwnSize) {
  std::string error;
  const auto model = NeuralModel::load(models().options("threshold"), error);
  ASSERT_NE(model, nullptr) << error;
  EXPECT_EQ(model->output_name(), "output");
  const cv::Mat map = model->predict(half_white(), error);
  ASSERT_FALSE(map.empty()) << error;
  ASSERT_EQ(map.type(), CV_32F);
  ASSERT_EQ(map.size(), cv::Size(100, 60));  // the model answers at half its input size: scaled back
  EXPECT_GT(map.at<float>(30, 10), 0.99f);
  EXPECT_LT(map.at<float>(30, 90), 0.01f);
  double lo = 0;
  double hi = 0;
  cv::minMaxLoc(map, &lo, &hi);
  EXPECT_GE(lo, 0.0);
  EXPECT_LE(hi, 1.0);
  // The boundary between the halves stays where it was, within the model's half-resolution step.
  const cv::Mat row = map.row(30) > 0.5f;
  EXPECT_NEAR(cv::countNonZero(row), 50, 2);
}

TEST_F(NeuralModelTest, FeedsRgbNormalisedAndClampsTheOutputToZeroOne) {
  // The red model answers the normalised red channel as it is.
  NeuralOptions options = models().options("red");
  options.mean = {0.2, 0.9, 0.9};
  options.std = {0.5, 1.0, 1.0};
  std::string error;
  const auto model = NeuralModel::load(options, error);
  ASSERT_NE(model, nullptr) << error;
  // BGR (10, 20, 153): red is 153 = 0.6, so (0.6 - 0.2) / 0.5 = 0.8. Read as BGR it would be below 0.
  const cv::Mat map = model->predict(cv::Mat(30, 40, CV_8UC3, cv::Scalar(10, 20, 153)), error);
  ASSERT_FALSE(map.empty()) << error;
  EXPECT_NEAR(cv::mean(map)[0], 0.8, 1e-3);
  // (1 - 0.2) / 0.5 = 1.6 and (0 - 0.2) / 0.5 = -0.4 come back clamped.
  EXPECT_FLOAT_EQ(model->predict(cv::Mat(8, 8, CV_8UC3, cv::Scalar(0, 0, 255)), error).at<float>(4, 4), 1.0f);
  EXPECT_FLOAT_EQ(model->predict(cv::Mat(8, 8, CV_8UC3, cv::Scalar(255, 255, 0)), error).at<float>(4, 4), 0.0f);
  // Not a colour picture: refused, not guessed at.
  EXPECT_TRUE(model->predict(cv::Mat(8, 8, CV_8UC1, cv::Scalar(0)), error).empty());
}

// A model configured for a large input that runs at any size is given an input sized to the picture; one
// bound to its size, or configured small, gets its own size. Either way the map lands on the picture.
TEST_F(NeuralModelTest, InputIsSizedToThePictureWhenTheModelTakesAnySize) {
  struct Row {
    const char* model;
    int side;
    cv::Size picture;
    bool free;
    cv::Size input;
  };
  const std::vector<Row> rows = {
      {"threshold", 1024, {705, 540}, true, {768, 640}},   // own detail, sides rounded up to steps of 128
      {"threshold", 512, {1920, 1080}, true, {512, 384}},  // shrunk to the configured size
      {"threshold", 1024, {100, 50}, true, {512, 256}},    // grown to the smallest input that keeps context
      {"fixed_size", 512, {705, 540}, false, {512, 512}},
      {"threshold", 64, {705, 540}, false, {64, 64}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.model) + " at " + std::to_string(row.side));
    NeuralOptions options = models().options(row.model);
    options.input_width = options.input_height = row.side;
    std::string error;
    const auto model = NeuralModel::load(options, error);
    ASSERT_NE(model, nullptr) << error;
    EXPECT_EQ(model->free_input_size(), row.free);
    EXPECT_EQ(model->input_size_for(row.picture), row.input);

    cv::Mat picture = test::dark_background(row.picture.width, row.picture.height);
    cv::Mat truth = cv::Mat::zeros(row.picture, CV_8UC1);
    const int radius = std::min(row.picture.width, row.picture.height) / 3;
    test::draw_bright_disc(picture, {row.picture.width / 3, row.picture.height / 2}, radius, &truth);
    const cv::Mat map = model->predict(picture, error);
    ASSERT_EQ(map.size(), row.picture) << error;
    const cv::Mat found = map > 0.5f;
    const double iou = static_cast<double>(cv::countNonZero(found & truth)) / cv::countNonZero(found | truth);
    EXPECT_GT(iou, 0.9);
  }
}

TEST(NeuralPreprocessing, BlobHasTheInputSizeChannelsInRgbOrderAndNormalisedValues) {
  NeuralOptions options;
  options.input_width = 40;
  options.input_height = 24;
  options.mean = {0.5, 0.25, 0.0};
  options.std = {1.0, 0.5, 0.25};
  const cv::Mat bgr(100, 200, CV_8UC3, cv::Scalar(0, 51, 255));  // B 0, G 0.2, R 1
  const cv::Mat blob = make_input_blob(bgr, options);
  ASSERT_EQ(blob.dims, 4);
  EXPECT_EQ(blob.size[0], 1);
  EXPECT_EQ(blob.size[1], 3);
  EXPECT_EQ(blob.size[2], 24);
  EXPECT_EQ(blob.size[3], 40);
  EXPECT_EQ(blob.type(), CV_32F);
  EXPECT_NEAR(blob.ptr<float>(0, 0)[5 * 40 + 7], (1.0 - 0.5) / 1.0, 1e-5);   // R
  EXPECT_NEAR(blob.ptr<float>(0, 1)[5 * 40 + 7], (0.2 - 0.25) / 0.5, 1e-5);  // G
  EXPECT_NEAR(blob.ptr<float>(0, 2)[5 * 40 + 7], (0.0 - 0.0) / 0.25, 1e-5);  // B
  // A small crop is enlarged to the input size all the same.
  EXPECT_EQ(make_input_blob(cv::Mat(3, 5, CV_8UC3, cv::Scalar::all(9)), options).size[3], 40);
}

TEST(NeuralPostprocessing, AcceptsSingleChannelMapsAndRefusesEverythingElse) {
  const int four[] = {1, 1, 4, 6};
  cv::Mat out4(4, four, CV_32F, cv::Scalar(0.25f));
  out4.ptr<float>()[0] = 7.0f;  // out of range: clamped
  cv::Mat map;
  std::string error;
  ASSERT_TRUE(output_to_map(out4, cv::Size(12, 8), map, error)) << error;
  EXPECT_EQ(map.size(), cv::Size(12, 8));
  EXPECT_FLOAT_EQ(map.at<float>(0, 0), 1.0f);
  EXPECT_FLOAT_EQ(map.at<float>(7, 11), 0.25f);
  const int three[] = {1, 4, 6};
  EXPECT_TRUE(output_to_map(cv::Mat(3, three, CV_32F, cv::Scalar(-2.0f)), cv::Size(6, 4), map, error));
  EXPECT_FLOAT_EQ(map.at<float>(2, 2), 0.0f);

  const int channels3[] = {1, 3, 4, 6};
  const int tiny[] = {1, 1, 1, 1};
  const int flat[] = {1, 3};
  const std::vector<cv::Mat> refused = {cv::Mat(4, channels3, CV_32F, cv::Scalar(0)), cv::Mat(4, tiny, CV_32F, cv::Scalar(0)),
                                        cv::Mat(2, flat, CV_32F, cv::Scalar(0)), cv::Mat(4, four, CV_8U, cv::Scalar(0))};
  for (const cv::Mat& output : refused) {
    error.clear();
    EXPECT_FALSE(output_to_map(output, cv::Size(6, 4), map, error));
    EXPECT_TRUE(contains(error, "not a single-channel")) << error;
  }
  for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    cv::Mat poisoned = out4.clone();
    poisoned.ptr<float>()[13] = bad;
    error.clear();
    EXPECT_FALSE(output_to_map(poisoned, cv::Size(6, 4), map, error));
    EXPECT_TRUE(contains(error, "NaN or infinite")) << error;
  }
}

TEST_F(NeuralModelTest, RefusesFilesThatAreNoUsableModelNamingThem) {
  test::TempDir dir;
  const auto garbage = dir.path() / "garbage.onnx";
  std::ofstream(garbage) << "this is not a network\n";
  const auto truncated = dir.path() / "truncated.onnx";
  {
    std::ifstream in(models().path("threshold"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(truncated, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
  }
  const auto empty = dir.path() / "empty.onnx";
  std::ofstream(empty).close();

  NeuralOptions options = models().options("threshold");
  options.model_path = (dir.path() / "missing.onnx").string();
  EXPECT_TRUE(contains(refusal(options), "no such file"));
  options.model_path = dir.path().string();
  EXPECT_TRUE(contains(refusal(options), "not a regular file"));
  for (const auto& path : {garbage, truncated, empty}) {
    options.model_path = path.string();
    EXPECT_TRUE(contains(refusal(options), "not an ONNX model OpenCV can read")) << path;
  }
  options.model_path = models().path("half").string();
  EXPECT_TRUE(contains(refusal(options), "widen a half-precision model to float first"));
  std::string error;
  EXPECT_EQ(NeuralModel::load(NeuralOptions{}, error), nullptr);
  EXPECT_TRUE(contains(error, "no file given"));
}

TEST_F(NeuralModelTest, RefusesModelsWithTheWrongInputOrOutputOrNaN) {
  EXPECT_TRUE(contains(refusal(models().options("three_channels")), "is 1x3x64x64, not a single-channel map"));
  EXPECT_TRUE(contains(refusal(models().options("classifier")), "is 1x3, not a single-channel map"));
  EXPECT_TRUE(contains(refusal(models().options("grey_input")), "does not run on a 1x3x64x64 input"));
  EXPECT_TRUE(contains(refusal(models().options("nan")), "NaN"));
  NeuralOptions bad_std = models().options("threshold");
  bad_std.std = {1.0, 0.0, 1.0};
  EXPECT_TRUE(contains(refusal(bad_std), "std"));
}

TEST_F(NeuralModelTest, ChoosesTheOutputByNameAndAsksWhenItCannotTell) {
  NeuralOptions options = models().options("two_outputs");
  const std::string ambiguous = refusal(options);
  EXPECT_TRUE(contains(ambiguous, "--model-output")) << ambiguous;
  EXPECT_TRUE(contains(ambiguous, "map")) << ambiguous;
  EXPECT_TRUE(contains(ambiguous, "inverse")) << ambiguous;

  options.output_name = "absent";
  EXPECT_TRUE(contains(refusal(options), "no output named \"absent\""));

  const cv::Mat white(16, 16, CV_8UC3, cv::Scalar::all(255));
  for (const auto& [name, expected] : {std::pair<const char*, float>{"map", 1.0f}, {"inverse", 0.0f}}) {
    options.output_name = name;
    std::string error;
    const auto model = NeuralModel::load(options, error);
    ASSERT_NE(model, nullptr) << error;
    EXPECT_NEAR(model->predict(white, error).at<float>(8, 8), expected, 0.01f) << name;
  }
}

TEST_F(NeuralModelTest, ServesSeveralThreadsAtOnce) {
  std::string error;
  const auto model = NeuralModel::load(models().options("threshold"), error);
  ASSERT_NE(model, nullptr) << error;
  const cv::Mat picture = half_white();
  const cv::Mat expected = model->predict(picture, error);
  std::vector<double> differences(4, -1.0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < differences.size(); ++t) {
    threads.emplace_back([&, t] {
      double worst = 0.0;
      for (int i = 0; i < 20; ++i) {
        std::string problem;
        const cv::Mat map = model->predict(picture, problem);
        worst = map.empty() ? 1e9 : std::max(worst, cv::norm(map, expected, cv::NORM_INF));
      }
      differences[t] = worst;
    });
  }
  for (auto& thread : threads) thread.join();
  for (const double d : differences) EXPECT_EQ(d, 0.0);
}

}  // namespace
}  // namespace kesto::backend
