#pragma once
// Helpers shared by the backend tests: synthetic frames, in-memory frame sources and matte sinks.

#include <stdlib.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "backend/matting/MattingEngine.h"

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

// A w x h frame: dark textured background and a bright square at (x, y).
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
      cv::Mat mask = cv::Mat::zeros(h, w, CV_8UC1);
      cv::circle(mask, centre, radius, cv::Scalar(255), cv::FILLED, cv::LINE_AA);
      truth->push_back(mask);
    }
  }
  return clip;
}

inline double iou(const cv::Mat& a, const cv::Mat& b) {
  const cv::Mat ab = a > 127;
  const cv::Mat bb = b > 127;
  const double inter = cv::countNonZero(ab & bb);
  const double uni = cv::countNonZero(ab | bb);
  return uni == 0 ? 1.0 : inter / uni;
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
  std::mutex mu;
  std::vector<std::string> stages;
  bool cancel = false;
};

}  // namespace kesto::backend::test
