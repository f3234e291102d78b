#pragma once
// The tiny ONNX models of make_test_models.py, written once per test process into a temporary folder, and
// the synthetic pictures the neural tests segment. The threshold model marks what is brighter than mid-grey,
// so a bright character on a dark background has a known true mask.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "BackendTestSupport.h"
#include "backend/matting/NeuralOptions.h"

extern char** environ;

namespace kesto::backend::test {

// Small input so that every inference takes well under a millisecond.
constexpr int kTestModelSidePx = 64;

class TestModels {
 public:
  // The folder holding the models, or an empty path with `problem()` saying why they could not be made.
  static const TestModels& get() {
    static const TestModels models;
    return models;
  }
  std::filesystem::path path(const std::string& name) const { return dir_.path() / (name + ".onnx"); }
  bool ok() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }

  // Options for one of the models at the small test input size; the rest at their defaults.
  NeuralOptions options(const std::string& name) const {
    NeuralOptions o;
    o.model_path = path(name).string();
    o.input_width = kTestModelSidePx;
    o.input_height = kTestModelSidePx;
    return o;
  }

 private:
  TestModels() {
    const std::string script = std::string(TREVANE_SOURCE_DIR) + "/tests/backend/make_test_models.py";
    const std::string log = (dir_.path() / "make_test_models.log").string();
    std::vector<std::string> args = {TREVANE_PYTHON, script, dir_.path().string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid) {
      problem_ = "cannot run " + args[0] + " " + script;
      return;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::ifstream in(log);
      problem_ = "make_test_models.py failed (it needs Debian's python3-onnx: run scripts/setup): " +
                 std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }

  TempDir dir_;
  std::string problem_;
};

// A dark, lightly textured w x h background (every pixel well below mid-grey).
inline cv::Mat dark_background(int w, int h) {
  cv::RNG rng(11);
  cv::Mat frame(h, w, CV_8UC3);
  rng.fill(frame, cv::RNG::UNIFORM, cv::Scalar(20, 20, 20), cv::Scalar(80, 80, 80));
  cv::GaussianBlur(frame, frame, cv::Size(0, 0), 1.5);
  return frame;
}

// A bright disc on `frame` and, when `truth` is given, on the true mask (255 inside).
inline void draw_bright_disc(cv::Mat& frame, cv::Point centre, int radius, cv::Mat* truth) {
  cv::circle(frame, centre, radius, cv::Scalar(230, 235, 240), cv::FILLED);
  if (truth != nullptr) cv::circle(*truth, centre, radius, cv::Scalar(255), cv::FILLED);
}

}  // namespace kesto::backend::test
