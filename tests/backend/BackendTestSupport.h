#pragma once
// Helpers shared by the backend tests: temporary folders, synthetic frames, an engine run on a clip in memory
// and the tiny ONNX models of make_test_models.py (the threshold model marks what is brighter than mid-grey).
// Child processes are tests/support's.

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "backend/matting/MattingEngine.h"
#include "backend/matting/NeuralOptions.h"
#include "tests/support/ToolRun.h"

namespace kesto::backend::test {

// A fresh folder of the test's own, removed with everything in it; its path as a path.
struct TempDir : kesto::testing::ScratchFolder {
  TempDir() : ScratchFolder("trevane-backend-test") {}
  std::filesystem::path path() const { return ScratchFolder::path(); }
};

inline std::string encode(const cv::Mat& image, const char* ext, const std::vector<int>& params = {}) {
  std::vector<uchar> bytes;
  cv::imencode(ext, image, bytes, params);
  return std::string(bytes.begin(), bytes.end());
}

using kesto::testing::fileText;

// A w x h frame: dark background and a bright square at (x, y).
inline cv::Mat square_frame(int w, int h, int x, int y, int side) {
  cv::Mat frame(h, w, CV_8UC3, cv::Scalar(30, 30, 30));
  cv::rectangle(frame, cv::Rect(x, y, side, side), cv::Scalar(240, 240, 240), cv::FILLED);
  return frame;
}

inline double iou(const cv::Mat& a, const cv::Mat& b) {
  const cv::Mat ab = a > 127;
  const cv::Mat bb = b > 127;
  const double uni = cv::countNonZero(ab | bb);
  return uni == 0 ? 1.0 : cv::countNonZero(ab & bb) / uni;
}

// An engine's job in memory: the clip it reads, the mattes it writes and the stages it reports.
struct Outcome final : FrameSource, MatteSink, JobMonitor {
  int frame_count() const override { return static_cast<int>(clip.size()); }
  bool read_frame(int index, cv::Mat& bgr, std::string& problem) const override {
    if (index < 0 || index >= frame_count()) {  // as a real source answers, not by throwing
      problem = "out of range";
      return false;
    }
    bgr = clip[static_cast<std::size_t>(index)].clone();
    return true;
  }
  bool write_matte(int index, const cv::Mat& alpha, std::string&) override {
    const std::lock_guard<std::mutex> lock(mu);
    mattes[index] = alpha.clone();
    return true;
  }
  void report_stage(std::string stage) override {
    const std::lock_guard<std::mutex> lock(mu);
    stages.push_back(std::move(stage));
  }
  bool cancelled() const override { return cancel; }
  bool saw(const std::string& stage) const { return std::find(stages.begin(), stages.end(), stage) != stages.end(); }
  std::vector<cv::Mat> clip;
  bool cancel = false;
  std::mutex mu;
  std::map<int, cv::Mat> mattes;
  std::vector<std::string> stages;
  EngineOutcome error;
};

// Runs `engine` on `clip` with the request, collecting the mattes and the stages it reports.
inline std::unique_ptr<Outcome> run_engine(MattingEngine& engine, const JobRequest& request,
                                           const std::vector<cv::Mat>& clip, bool cancel = false) {
  TempDir scratch;
  auto out = std::make_unique<Outcome>();
  out->clip = clip;
  out->cancel = cancel;
  out->error = engine.run(EngineJob{request, *out, *out, *out, scratch.path()});
  return out;
}

// The models, written once per test process into a temporary folder.
class TestModels {
 public:
  static const TestModels& get() {
    static const TestModels models;
    return models;
  }
  std::filesystem::path path(const std::string& name) const { return dir_.path() / (name + ".onnx"); }
  // Empty when the models were written.
  const std::string& problem() const { return problem_; }
  // Options for one of the models at the small test input size; the rest at their defaults.
  NeuralOptions options(const std::string& name) const {
    NeuralOptions o;
    o.model_path = path(name).string();
    o.input_width = o.input_height = 64;  // small: every inference takes well under a millisecond
    return o;
  }

 private:
  TestModels() {
    const std::string script = std::string(TREVANE_SOURCE_DIR) + "/tests/backend/make_test_models.py";
    const std::string log = dir_.path() / "make_test_models.log";
    if (kesto::testing::ChildProcess({TREVANE_PYTHON, script, dir_.path()}, log, log).end() != 0) {
      problem_ = "make_test_models.py failed (it needs Debian's python3-onnx: run scripts/setup): " + fileText(log);
    }
  }
  TempDir dir_;
  std::string problem_;
};

}  // namespace kesto::backend::test
