#pragma once
// Helpers shared by the backend tests: temporary folders, synthetic frames, an engine run on a clip in memory,
// child processes with their output in files, the tiny ONNX models of make_test_models.py (the threshold model
// marks what is brighter than mid-grey), and a backend served in the test process over real HTTP on 127.0.0.1
// (the trivial engine, tiny frames) with the client steps of a session as the plug-in takes them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "backend/matting/MattingEngine.h"
#include "backend/matting/NeuralOptions.h"
#include "backend/service/BackendServer.h"

extern char** environ;

namespace kesto::backend::test {

using nlohmann::json;
using namespace std::chrono_literals;

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
    std::this_thread::sleep_for(10ms);
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

inline constexpr const char* kJobBox =
    R"({"anchor_frame":0,"bbox":{"h":0.5,"w":0.5,"x":0.25,"y":0.25},"edge_softness":0.2,"quality":"fast","strokes":[],"text_prompt":""})";

// A served backend on a folder of its own: the trivial engine, small limits, quiet, on an OS-chosen port.
class Backend {
 public:
  explicit Backend(const std::function<void(BackendConfig&)>& adjust = nullptr) : server(config(adjust)) {
    const auto port = server.start();
    EXPECT_TRUE(port.ok()) << port.error().message;
    client = std::make_unique<httplib::Client>("127.0.0.1", server.port());
    client->set_read_timeout(10, 0);
  }
  BackendConfig config(const std::function<void(BackendConfig&)>& adjust) const {
    BackendConfig config;
    config.port = 0;
    config.engine = "trivial";
    config.workdir = dir.path().string();
    config.log_level = LogLevel::Quiet;
    config.max_frames = 100;
    config.max_frame_bytes = 64 * 1024;
    if (adjust) adjust(config);
    return config;
  }
  TempDir dir;
  BackendServer server;
  std::unique_ptr<httplib::Client> client;
};

inline json body_of(const httplib::Result& r) { return r ? json::parse(r->body, nullptr, false) : json(); }
inline std::string session_path(const std::string& id) { return "/api/matte/sessions/" + id; }

inline std::string create_session(httplib::Client& client) {
  auto r = client.Post("/api/matte/sessions", R"({"fps":25.0,"source":"plugin"})", "application/json");
  return r && r->status == 201 ? body_of(r).value("session_id", "") : "";
}

inline const std::string& tiny_jpeg() {
  static const std::string bytes = encode(square_frame(8, 8, 1, 1, 3), ".jpg");
  return bytes;
}

// A new session holding one uploaded frame; its id, or "" when that failed.
inline std::string session_with_a_frame(httplib::Client& client) {
  const std::string id = create_session(client);
  auto r = client.Put(session_path(id) + "/frames/0", tiny_jpeg(), "image/jpeg");
  return r && r->status == 200 ? id : "";
}

inline json wait_until_done(httplib::Client& client, const std::string& id) {
  json last;
  for (int i = 0; i < 1000; ++i) {
    last = body_of(client.Get(session_path(id)));
    if (last.value("status", "") == "COMPLETED" || last.value("status", "") == "FAILED") return last;
    std::this_thread::sleep_for(5ms);
  }
  return last;
}

// A whole session as the plug-in runs it: uploads frames (bright square moving right on dark ground, JPEG and
// PNG in turn), starts, waits, and checks each matte.
inline void run_full_session(httplib::Client& client, int frames) {
  const std::string id = create_session(client);
  for (int i = 0; i < frames; ++i) {
    const bool png = i % 2 == 1;
    const cv::Mat frame = square_frame(40 + i % 2 * 8, 30, 4 + i, 6, 12);
    auto r = client.Put(session_path(id) + "/frames/" + std::to_string(i), encode(frame, png ? ".png" : ".jpg"),
                        png ? "image/png" : "image/jpeg");
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "no reply");
  }
  auto start = client.Post(session_path(id) + "/start", kJobBox, "application/json");
  ASSERT_TRUE(start && start->status == 202) << (start ? start->body : "no reply");
  ASSERT_EQ(wait_until_done(client, id).value("status", ""), "COMPLETED");
  for (int i = 0; i < frames; ++i) {
    auto r = client.Get(session_path(id) + "/alpha/" + std::to_string(i) + ".png");
    ASSERT_TRUE(r && r->status == 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/png");
    const cv::Mat matte = cv::imdecode(std::vector<uchar>(r->body.begin(), r->body.end()), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(matte.type(), CV_8UC1);
    ASSERT_EQ(matte.size(), cv::Size(40 + i % 2 * 8, 30));
    EXPECT_EQ(matte.at<uchar>(12, 10 + i), 255);  // inside the square
    EXPECT_EQ(matte.at<uchar>(27, 2), 0);         // background
  }
}

}  // namespace kesto::backend::test
