// The neural engine and its pieces on the tiny generated ONNX models: the model wrapper (loading, pre- and
// post-processing, the choice of output and input size, the refusals, concurrent use), where the segmenter asks
// the network and what it keeps, and the engine end to end on bright characters over a dark background.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "BackendTestSupport.h"
#include "backend/matting/EngineFactory.h"
#include "backend/matting/NeuralEngine.h"
#include "backend/matting/NeuralModel.h"
#include "backend/matting/NeuralSegmenter.h"

namespace kesto::backend {
namespace {

using test::TestModels;

constexpr int kWidth = 240;
constexpr int kHeight = 160;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A dark, lightly textured w x h background (every pixel well below mid-grey).
cv::Mat dark_background(int w, int h) {
  cv::Mat frame(h, w, CV_8UC3);
  cv::RNG(11).fill(frame, cv::RNG::UNIFORM, cv::Scalar(20, 20, 20), cv::Scalar(80, 80, 80));
  cv::GaussianBlur(frame, frame, cv::Size(0, 0), 1.5);
  return frame;
}

// A bright disc on `frame` and on the true mask (255 inside).
void draw_bright_disc(cv::Mat& frame, cv::Point centre, int radius, cv::Mat& truth) {
  cv::circle(frame, centre, radius, cv::Scalar(230, 235, 240), cv::FILLED);
  cv::circle(truth, centre, radius, cv::Scalar(255), cv::FILLED);
}

class NeuralModelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(TestModels::get().problem(), ""); }
  static std::shared_ptr<NeuralModel> load(const NeuralOptions& options) {
    std::string error;
    auto model = NeuralModel::load(options, error);
    EXPECT_NE(model, nullptr) << error;
    return model;
  }
  // The threshold model at the test input size, loaded once.
  static const std::shared_ptr<NeuralModel>& threshold() {
    static const std::shared_ptr<NeuralModel> model = load(TestModels::get().options("threshold"));
    return model;
  }
};

// A model configured for a large input that runs at any size is given an input sized to the picture; one
// bound to its size, or configured small, gets its own size. Either way the map lands on the picture, from
// any number of threads at once.
TEST_F(NeuralModelTest, MapsThePictureAtAnInputSizedToItWhenTheModelTakesAnySize) {
  const struct {
    const char* model;
    int side;
    cv::Size picture;
    bool free;
    cv::Size input;
  } rows[] = {
      {"threshold", 1024, {705, 540}, true, {768, 640}},   // own detail, sides rounded up to steps of 128
      {"threshold", 512, {1920, 1080}, true, {512, 384}},  // shrunk to the configured size
      {"threshold", 1024, {100, 50}, true, {512, 256}},    // grown to the smallest input that keeps context
      {"fixed_size", 512, {705, 540}, false, {512, 512}},
      {"threshold", 64, {100, 60}, false, {64, 64}},       // the model answers at half its input: scaled back
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.model) + " at " + std::to_string(row.side));
    NeuralOptions options = TestModels::get().options(row.model);
    options.input_width = options.input_height = row.side;
    const auto model = load(options);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->output_name(), "output");
    EXPECT_EQ(model->free_input_size(), row.free);
    EXPECT_EQ(model->input_size_for(row.picture), row.input);
    cv::Mat picture = dark_background(row.picture.width, row.picture.height);
    cv::Mat truth = cv::Mat::zeros(row.picture, CV_8UC1);
    draw_bright_disc(picture, {row.picture.width / 3, row.picture.height / 2},
                     std::min(row.picture.width, row.picture.height) / 3, truth);
    std::string error;
    const cv::Mat map = model->predict(picture, error);
    ASSERT_EQ(map.size(), row.picture) << error;
    ASSERT_EQ(map.type(), CV_32F);
    EXPECT_GT(test::iou(map > 0.5f, truth), 0.9);
    EXPECT_TRUE(model->predict(cv::Mat(8, 8, CV_8UC1, cv::Scalar(0)), error).empty());  // not in colour
    if (row.side != 64) continue;
    std::atomic<int> differing{0};  // answers unlike the one given to a single thread
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
          std::string problem;
          const cv::Mat again = model->predict(picture, problem);
          if (again.empty() || cv::norm(again, map, cv::NORM_INF) != 0.0) ++differing;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(differing.load(), 0);
  }
}

// The blob's size and the map's are the known-answer test's above (the map lands on the picture); here the order
// of the channels and their own normalisation, which the grey test pictures cannot tell apart.
TEST(NeuralPrePostprocessing, BlobHasRgbChannelsEachNormalisedByItsOwnMeanAndStdAndSingleChannelMapsAreClamped) {
  NeuralOptions options;
  options.input_width = 40;
  options.input_height = 24;
  options.mean = {0.5, 0.25, 0.0};
  options.std = {1.0, 0.5, 0.25};
  const cv::Mat blob = make_input_blob(cv::Mat(100, 200, CV_8UC3, cv::Scalar(0, 51, 255)), options);  // B 0, G 0.2, R 1
  ASSERT_EQ(blob.total(), 3u * 24 * 40);
  EXPECT_NEAR(blob.ptr<float>(0, 0)[5 * 40 + 7], (1.0 - 0.5) / 1.0, 1e-5);   // R
  EXPECT_NEAR(blob.ptr<float>(0, 1)[5 * 40 + 7], (0.2 - 0.25) / 0.5, 1e-5);  // G
  EXPECT_NEAR(blob.ptr<float>(0, 2)[5 * 40 + 7], 0.0, 1e-5);                 // B
  // The map out: single-channel outputs clamped to 0..1, others refused.
  const int four[] = {1, 1, 4, 6};
  cv::Mat out4(4, four, CV_32F, cv::Scalar(0.25f));
  out4.ptr<float>()[0] = 7.0f;
  cv::Mat map;
  std::string error;
  ASSERT_TRUE(output_to_map(out4, cv::Size(12, 8), map, error)) << error;
  ASSERT_EQ(map.size(), cv::Size(12, 8));
  EXPECT_FLOAT_EQ(map.at<float>(0, 0), 1.0f);
  EXPECT_FLOAT_EQ(map.at<float>(7, 11), 0.25f);
  const int three[] = {1, 4, 6};
  EXPECT_TRUE(output_to_map(cv::Mat(3, three, CV_32F, cv::Scalar(-2.0f)), cv::Size(6, 4), map, error));
  EXPECT_FLOAT_EQ(map.at<float>(2, 2), 0.0f);
  // Other shapes and values: the models refused below; and a map too small to mean anything, or not float.
  const int tiny[] = {1, 1, 1, 1};
  EXPECT_FALSE(output_to_map(cv::Mat(4, tiny, CV_32F, cv::Scalar(0)), cv::Size(6, 4), map, error));
  EXPECT_FALSE(output_to_map(cv::Mat(4, four, CV_8U, cv::Scalar(0)), cv::Size(6, 4), map, error));
}

TEST_F(NeuralModelTest, RefusesWhatIsNoUsableModelNamingTheFileAndWhy) {
  const TestModels& models = TestModels::get();
  test::TempDir dir;
  std::ofstream(dir.path() / "garbage.onnx") << "this is not a network\n";
  const std::string whole = test::fileText(models.path("threshold"));
  std::ofstream(dir.path() / "truncated.onnx", std::ios::binary) << whole.substr(0, whole.size() / 2);
  const auto at = [&](const std::filesystem::path& path, const char* output = "") {
    NeuralOptions o = models.options("threshold");
    o.model_path = path.string();
    o.output_name = output;
    return o;
  };
  NeuralOptions zero_std = models.options("threshold");
  zero_std.std = {1.0, 0.0, 1.0};
  const std::pair<NeuralOptions, std::vector<std::string>> cases[] = {  // the options and parts of the refusal
      {NeuralOptions{}, {"no file given"}},
      {at(dir.path() / "missing.onnx"), {"no such file"}},
      {at(dir.path()), {"not a regular file"}},
      {at(dir.path() / "garbage.onnx"), {"not an ONNX model OpenCV can read"}},
      {at(dir.path() / "truncated.onnx"), {"not an ONNX model OpenCV can read"}},
      {models.options("half"), {"widen a half-precision model to float first"}},
      {models.options("three_channels"), {"is 1x3x64x64, not a single-channel map"}},
      {models.options("classifier"), {"is 1x3, not a single-channel map"}},
      {models.options("grey_input"), {"does not run on a 1x3x64x64 input"}},
      {models.options("nan"), {"NaN"}},
      {zero_std, {"std"}},
      {models.options("two_outputs"), {"--model-output", "map", "inverse"}},
      {at(models.path("two_outputs"), "absent"), {"no output named \"absent\""}},
  };
  for (const auto& [options, reasons] : cases) {
    std::string error;
    EXPECT_EQ(NeuralModel::load(options, error), nullptr) << options.model_path;
    EXPECT_TRUE(contains(error, "model " + options.model_path + ": ")) << error;
    for (const std::string& reason : reasons) EXPECT_TRUE(contains(error, reason)) << error;
  }
  // The output asked for by name is the one used.
  const cv::Mat white(16, 16, CV_8UC3, cv::Scalar::all(255));
  for (const auto& [name, expected] : {std::pair<const char*, float>{"map", 1.0f}, {"inverse", 0.0f}}) {
    const auto model = load(at(models.path("two_outputs"), name));
    ASSERT_NE(model, nullptr);
    std::string error;
    EXPECT_NEAR(model->predict(white, error).at<float>(8, 8), expected, 0.01f) << name;
  }
}

using NeuralSegmenterTest = NeuralModelTest;
using NeuralEngineTest = NeuralModelTest;

// The bar lies inside the context around the selection, not inside the selection: the region kept is the one the
// selection overlaps, not the largest, and the one an add dab seeds. First the context: the selection grown by a
// fraction, at least by the minimum, inside the frame.
TEST_F(NeuralSegmenterTest, AnchorAndKeyframeMasksAreTheCharacterNearTheSelectionOrSayWhatIsMissing) {
  const cv::Size bounds(200, 100);
  EXPECT_EQ(pad_region(cv::Rect(50, 40, 100, 20), 0.1, 4, bounds), cv::Rect(40, 36, 120, 28));
  EXPECT_EQ(pad_region(cv::Rect(50, 40, 100, 20), 0.1, 8, bounds), cv::Rect(40, 32, 120, 36));
  EXPECT_EQ(pad_region(cv::Rect(0, 0, 200, 100), 0.25, 8, bounds), cv::Rect(0, 0, 200, 100));
  EXPECT_EQ(pad_region(cv::Rect(190, 95, 10, 5), 0.5, 2, bounds), cv::Rect(185, 92, 15, 8));
  cv::Mat frame = dark_background(kWidth, kHeight);
  cv::Mat truth = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
  draw_bright_disc(frame, {80, 80}, 30, truth);
  const cv::Rect bar(128, 10, 100, 140);  // larger and brighter than the character
  frame(bar).setTo(cv::Scalar::all(250));
  std::string error;
  AnchorSeeds seeds;
  seeds.box = cv::Rect(45, 45, 72, 72);
  const cv::Mat plain = neural_anchor_mask(*threshold(), frame, seeds, error);
  EXPECT_GT(test::iou(plain, truth), 0.9) << error;
  EXPECT_EQ(cv::countNonZero(plain(bar)), 0);
  // Exclude the disc's middle, add a dark patch that touches nothing the network found.
  seeds.dabs = {{80.0 / kWidth, 0.5, -8.0 / kWidth}, {60.0 / kWidth, 130.0 / kHeight, 5.0 / kWidth}};
  const cv::Mat dabbed = neural_anchor_mask(*threshold(), frame, seeds, error);
  ASSERT_FALSE(dabbed.empty()) << error;
  EXPECT_EQ(dabbed.at<uchar>(80, 80), 0);
  EXPECT_EQ(dabbed.at<uchar>(130, 60), 255);
  EXPECT_EQ(dabbed.at<uchar>(80, 60), 255);
  AnchorSeeds dabs_only;  // the area around them, the whole frame at the small input size: coarser
  dabs_only.dabs = {{80.0 / kWidth, 0.5, 6.0 / kWidth}};
  EXPECT_GT(test::iou(neural_anchor_mask(*threshold(), frame, dabs_only, error), truth), 0.85) << error;
  seeds = AnchorSeeds{};
  seeds.box = cv::Rect(5, 5, 30, 30);  // dark corner
  EXPECT_TRUE(neural_anchor_mask(*threshold(), frame, seeds, error).empty());
  EXPECT_TRUE(contains(error, "no character inside the selection")) << error;

  // On a keyframe the network's answer replaces a drifted mask; an empty answer, or a lost character, does not.
  cv::Mat drifted = cv::Mat::zeros(kHeight, kWidth, CV_8UC1);
  cv::circle(drifted, {95, 75}, 24, cv::Scalar(255), cv::FILLED);
  const cv::Mat corrected = neural_keyframe_mask(*threshold(), frame, drifted, error);
  EXPECT_GT(test::iou(corrected, truth), 0.9) << error;
  EXPECT_EQ(cv::countNonZero(corrected(bar)), 0);
  const cv::Mat kept = neural_keyframe_mask(*threshold(), dark_background(kWidth, kHeight), drifted, error);
  ASSERT_EQ(kept.size(), drifted.size()) << error;
  EXPECT_EQ(cv::norm(kept, drifted, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::countNonZero(neural_keyframe_mask(*threshold(), frame, cv::Mat::zeros(kHeight, kWidth, CV_8UC1), error)), 0);
}

std::unique_ptr<test::Outcome> run_neural(std::shared_ptr<const NeuralModel> model, int spacing, const JobRequest& request,
                                          const std::vector<cv::Mat>& frames, bool cancel = false) {
  NeuralEngine engine(std::move(model), spacing);
  return test::run_engine(engine, request, frames, cancel);
}

TEST_F(NeuralEngineTest, KeyframesRepairWhatPropagationCannotFollowAndAModelTurningToNaNFailsTheJob) {
  // From frame 3 on an arm sticks out of the disc: beyond the band propagation re-segments in, with nothing in
  // the frame before that optical flow could carry there. The keyframe at 3 sees it.
  // A bright bar stands at the right edge.
  std::vector<cv::Mat> frames, truth;
  for (int i = 0; i < 5; ++i) {
    frames.push_back(dark_background(kWidth, kHeight));
    frames.back()(cv::Rect(kWidth - 24, 0, 24, kHeight)).setTo(cv::Scalar::all(245));
    truth.push_back(cv::Mat::zeros(kHeight, kWidth, CV_8UC1));
    draw_bright_disc(frames.back(), {70, kHeight / 2}, 24, truth.back());
    if (i < 3) continue;
    frames.back()(cv::Rect(92, 76, 18, 8)).setTo(cv::Scalar::all(235));
    truth.back()(cv::Rect(92, 76, 18, 8)).setTo(255);
  }
  const cv::Point arm_tip(107, 80);
  JobRequest request;
  request.quality = Quality::Fine;
  request.edge_softness = 0.0;
  request.bbox = NormBox{40.0 / kWidth, 50.0 / kHeight, 61.0 / kWidth, 61.0 / kHeight};  // the disc and 6 px
  const auto propagated_only = run_neural(threshold(), 0, request, frames);
  const auto with_keyframes = run_neural(threshold(), 3, request, frames);
  for (const auto* out : {propagated_only.get(), with_keyframes.get()}) ASSERT_FALSE(out->error) << *out->error;
  EXPECT_LT(propagated_only->mattes.at(3).at<uchar>(arm_tip), 64);  // so the repair below means something
  for (int i = 0; i < 5; ++i) {
    if (i >= 3) {
      EXPECT_GT(with_keyframes->mattes.at(i).at<uchar>(arm_tip), 191) << "frame " << i;
    }
    EXPECT_GT(test::iou(with_keyframes->mattes.at(i), truth[static_cast<std::size_t>(i)]), 0.9) << "frame " << i;
  }
  EXPECT_EQ(*run_neural(threshold(), 1, request, frames, true)->error, "cancelled");
  // A model finite on the dark anchor frame and NaN on a white keyframe fails the job naming the model and frame.
  frames.assign(2, dark_background(kWidth, kHeight));
  frames.emplace_back(kHeight, kWidth, CV_8UC3, cv::Scalar::all(255));
  const auto model = load(TestModels::get().options("nan_if_bright"));
  ASSERT_NE(model, nullptr);
  const auto out = run_neural(model, 2, request, frames);
  ASSERT_TRUE(out->error);
  const std::string parts[] = {TestModels::get().path("nan_if_bright").string() + ": ", "NaN", "(frame 2)"};
  for (const std::string& part : parts) EXPECT_TRUE(contains(*out->error, part)) << *out->error;
}

TEST_F(NeuralEngineTest, FactoryMakesTheEngineNamedLoadingTheModelOnceOrRefusesWithTheReason) {
  std::string error;
  const EngineFactory factory = engine_factory("neural", TestModels::get().options("threshold"), error);
  ASSERT_TRUE(factory) << error;
  const auto first = factory();
  ASSERT_EQ(first ? first->name() : "none", "neural");
  EXPECT_NE(first.get(), factory().get());
  const NeuralOptions unusable = TestModels::get().options("three_channels");
  EXPECT_FALSE(engine_factory("neural", unusable, error));
  EXPECT_TRUE(contains(error, "three_channels.onnx")) << error;
  EXPECT_FALSE(engine_factory("magic", unusable, error));
  for (const char* name : {"classical", "trivial"}) EXPECT_EQ(engine_factory(name, unusable, error)()->name(), name);
}

}  // namespace
}  // namespace kesto::backend
