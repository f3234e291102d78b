#pragma once
// Helpers shared by the backend tests: temporary folders, synthetic frames, in-memory frame sources and matte
// sinks, an engine run on a clip, child processes with their output in files, and the tiny ONNX models of
// make_test_models.py (the threshold model marks what is brighter than mid-grey).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "backend/matting/MattingEngine.h"
#include "backend/matting/NeuralOptions.h"

extern char** environ;

namespace kesto::backend::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "trevane-backend-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string encode(const cv::Mat& image, const char* ext) {
  std::vector<uchar> bytes;
  cv::imencode(ext, image, bytes);
  return std::string(bytes.begin(), bytes.end());
}

inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A w x h frame: dark background and a bright square at (x, y).
inline cv::Mat square_frame(int w, int h, int x, int y, int side) {
  cv::Mat frame(h, w, CV_8UC3, cv::Scalar(30, 30, 30));
  cv::rectangle(frame, cv::Rect(x, y, side, side), cv::Scalar(240, 240, 240), cv::FILLED);
  return frame;
}

// A textured background with a coloured disc moving right; `truth` receives the disc masks.
inline std::vector<cv::Mat> moving_disc_clip(int frames, int w, int h, std::vector<cv::Mat>* truth) {
  cv::RNG rng(7);
  cv::Mat background(h, w, CV_8UC3);
  rng.fill(background, cv::RNG::UNIFORM, cv::Scalar(40, 90, 40), cv::Scalar(110, 160, 110));
  cv::GaussianBlur(background, background, cv::Size(0, 0), 2.0);
  for (int i = 0; i < 12; ++i) {
    cv::rectangle(background, cv::Rect(rng.uniform(0, w), rng.uniform(0, h), 30, 10), cv::Scalar(60, 60, 140),
                  cv::FILLED);
  }
  std::vector<cv::Mat> clip;
  for (int i = 0; i < frames; ++i) {
    cv::Mat frame = background.clone();
    const cv::Point centre(w / 4 + i * 3, h / 2 + (i % 4));
    const int radius = h / 5;
    cv::circle(frame, centre, radius, cv::Scalar(20, 40, 230), cv::FILLED, cv::LINE_AA);
    cv::circle(frame, centre + cv::Point(radius / 3, -radius / 3), radius / 4, cv::Scalar(30, 200, 240), cv::FILLED);
    clip.push_back(frame);
    if (truth != nullptr) {
      truth->push_back(cv::Mat::zeros(h, w, CV_8UC1));
      cv::circle(truth->back(), centre, radius, cv::Scalar(255), cv::FILLED, cv::LINE_AA);
    }
  }
  return clip;
}

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

inline double iou(const cv::Mat& a, const cv::Mat& b) {
  const cv::Mat ab = a > 127;
  const cv::Mat bb = b > 127;
  const double uni = cv::countNonZero(ab | bb);
  return uni == 0 ? 1.0 : cv::countNonZero(ab & bb) / uni;
}

class MemoryFrames final : public FrameSource {
 public:
  explicit MemoryFrames(std::vector<cv::Mat> frames) : frames_(std::move(frames)) {}
  int frame_count() const override { return static_cast<int>(frames_.size()); }
  bool read_frame(int index, cv::Mat& bgr, std::string& error) const override {
    if (index < 0 || index >= frame_count()) {
      error = "out of range";
      return false;
    }
    bgr = frames_[static_cast<std::size_t>(index)].clone();
    return true;
  }

 private:
  std::vector<cv::Mat> frames_;
};

class MemoryMattes final : public MatteSink {
 public:
  bool write_matte(int index, const cv::Mat& alpha, std::string&) override {
    const std::lock_guard<std::mutex> lock(mu);
    mattes[index] = alpha.clone();
    return true;
  }
  std::mutex mu;
  std::map<int, cv::Mat> mattes;
};

class RecordingMonitor final : public JobMonitor {
 public:
  void report_stage(std::string stage) override {
    const std::lock_guard<std::mutex> lock(mu);
    stages.push_back(std::move(stage));
  }
  bool cancelled() const override { return cancel; }
  bool saw(const std::string& stage) const { return std::find(stages.begin(), stages.end(), stage) != stages.end(); }
  std::mutex mu;
  std::vector<std::string> stages;
  bool cancel = false;
};

struct Outcome {
  EngineOutcome error;
  std::map<int, cv::Mat> mattes;
  RecordingMonitor monitor;
};

// Runs `engine` on `clip` with the request, collecting the mattes and the stages it reports.
inline std::unique_ptr<Outcome> run_engine(MattingEngine& engine, const JobRequest& request,
                                           const std::vector<cv::Mat>& clip, bool cancel = false) {
  TempDir scratch;
  MemoryFrames frames(clip);
  MemoryMattes mattes;
  auto out = std::make_unique<Outcome>();
  out->monitor.cancel = cancel;
  out->error = engine.run(EngineJob{request, frames, mattes, out->monitor, scratch.path()});
  out->mattes = std::move(mattes.mattes);
  return out;
}

// Starts `args` with this process's environment plus `env` (NAME=VALUE, set last so it wins), stdout and
// stderr into the files `out` and `err` (both into `out` when `err` is empty). Returns the pid, or -1.
inline pid_t spawn_logged(std::vector<std::string> args, const std::filesystem::path& out,
                          const std::filesystem::path& err = {}, std::vector<std::string> env = {}) {
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (err.empty()) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits up to 10 s for the child to end; kills it if it does not. Returns its exit status, or -1.
inline int wait_exit(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Small input so that every inference takes well under a millisecond.
constexpr int kTestModelSidePx = 64;

// The models, written once per test process into a temporary folder.
class TestModels {
 public:
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
    o.input_width = o.input_height = kTestModelSidePx;
    return o;
  }

 private:
  TestModels() {
    const std::string script = std::string(TREVANE_SOURCE_DIR) + "/tests/backend/make_test_models.py";
    const auto log = dir_.path() / "make_test_models.log";
    const pid_t pid = spawn_logged({TREVANE_PYTHON, script, dir_.path().string()}, log);
    if (pid < 0 || wait_exit(pid) != 0) {
      problem_ = "make_test_models.py failed (it needs Debian's python3-onnx: run scripts/setup): " + read_text(log);
    }
  }
  TempDir dir_;
  std::string problem_;
};

}  // namespace kesto::backend::test
