// trevane-frames run as a separate process on a small video written here: which frames it keeps, their
// size and order, and its exit status for short videos and bad usage.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "tests/support/ScratchFolder.h"
#include "tests/support/ToolRun.h"

namespace {

namespace fs = std::filesystem;
using kesto::testing::runCommandLine;
using kesto::testing::ToolResult;

constexpr int kVideoFrames = 12;
constexpr double kVideoFps = 10.0;
constexpr int kVideoWidth = 64;
constexpr int kVideoHeight = 48;
constexpr int kGrayStep = 20;      // frame k is a flat gray of k * kGrayStep
constexpr double kJpegSlack = 6.0;  // MJPEG keeps a flat gray within a few levels

std::string quoted(const fs::path &p) { return "'" + p.string() + "'"; }

std::string tool() { return quoted(TREVANE_FRAMES_EXE); }

// A motion-JPEG AVI whose frames are flat grays, brighter frame by frame.
bool writeVideo(const fs::path &path) {
  cv::VideoWriter writer(path.string(), cv::CAP_OPENCV_MJPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), kVideoFps,
                         cv::Size(kVideoWidth, kVideoHeight));
  if (!writer.isOpened()) return false;
  for (int k = 0; k < kVideoFrames; ++k) {
    writer.write(cv::Mat(kVideoHeight, kVideoWidth, CV_8UC3, cv::Scalar::all(k * kGrayStep)));
  }
  return true;
}

class FramesTool : public ::testing::Test {
 protected:
  void SetUp() override {
    video_ = folder() / "clip.avi";
    ASSERT_TRUE(writeVideo(video_));
    out_ = folder() / "frames";
  }
  fs::path folder() const { return scratch_.path(); }
  kesto::testing::ScratchFolder scratch_{"trevane-frames-test"};
  fs::path video_;
  fs::path out_;
};

TEST_F(FramesTool, WritesTheChosenStretchScaledInOrder) {
  // From 0.2 s (frame 2) every second frame, three of them: frames 2, 4 and 6, at half the width.
  const ToolResult run = runCommandLine(tool() + " --input " + quoted(video_) + " --output " + quoted(out_) +
                              " --start 0.2 --count 3 --step 2 --width 32");
  ASSERT_EQ(0, run.exitCode) << run.err;
  EXPECT_NE(std::string::npos, run.out.find("wrote 3 frame(s) of 32x24")) << run.out;
  const int expected[] = {2, 4, 6};
  for (int i = 0; i < 3; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%06d.png", i);
    const cv::Mat frame = cv::imread((out_ / name).string(), cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(frame.empty()) << name;
    EXPECT_EQ(32, frame.cols);
    EXPECT_EQ(24, frame.rows);
    EXPECT_NEAR(expected[i] * kGrayStep, cv::mean(frame)[0], kJpegSlack) << name;
  }
  EXPECT_FALSE(fs::exists(out_ / "000003.png"));
}

TEST_F(FramesTool, KeepsTheDecodedSizeWithoutWidth) {
  const ToolResult run = runCommandLine(tool() + " --input " + quoted(video_) + " --output " + quoted(out_) + " --count 1");
  ASSERT_EQ(0, run.exitCode) << run.err;
  const cv::Mat frame = cv::imread((out_ / "000000.png").string(), cv::IMREAD_GRAYSCALE);
  ASSERT_FALSE(frame.empty());
  EXPECT_EQ(kVideoWidth, frame.cols);
  EXPECT_EQ(kVideoHeight, frame.rows);
  EXPECT_NEAR(0.0, cv::mean(frame)[0], kJpegSlack);
}

TEST_F(FramesTool, AVideoThatEndsEarlyFailsWithStatus1) {
  const ToolResult run = runCommandLine(tool() + " --input " + quoted(video_) + " --output " + quoted(out_) +
                              " --start 1.0 --count 5");
  EXPECT_EQ(1, run.exitCode);
  EXPECT_NE(std::string::npos, run.err.find("ended after 2 of 5 frames")) << run.err;

  const fs::path notVideo = folder() / "not-a-video.avi";
  { std::ofstream(notVideo) << "plain text"; }
  const ToolResult unreadable = runCommandLine(tool() + " --input " + quoted(notVideo) + " --output " + quoted(out_));
  EXPECT_EQ(1, unreadable.exitCode) << unreadable.err;
  EXPECT_EQ(0, unreadable.err.rfind("trevane-frames: cannot open the video", 0)) << unreadable.err;
  EXPECT_EQ(1, std::count(unreadable.err.begin(), unreadable.err.end(), '\n')) << unreadable.err;
}

// Each run of the tool loads OpenCV, which takes a few tenths of a second: the usage cases come in two groups.
void expectUsageErrors(const std::vector<std::string> &argumentLists, const fs::path &out) {
  for (const std::string &args : argumentLists) {
    const ToolResult run = runCommandLine(tool() + args);
    EXPECT_EQ(2, run.exitCode) << args;
    EXPECT_EQ(0, run.err.rfind("trevane-frames: ", 0)) << args << ": " << run.err;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << args << ": " << run.err;
  }
  EXPECT_FALSE(fs::exists(out / "000000.png"));
}

TEST_F(FramesTool, MissingPiecesFailWithStatus2AndOneLine) {
  const std::string in = " --input " + quoted(video_);
  const std::string out = " --output " + quoted(out_);
  expectUsageErrors({out, in, in + out + " --count", " --input " + quoted(folder() / "missing.avi") + out}, out_);
  const ToolResult help = runCommandLine(tool() + " --help");
  EXPECT_EQ(0, help.exitCode);
  EXPECT_EQ(0, help.out.rfind("usage: trevane-frames", 0));
}

TEST_F(FramesTool, MalformedValuesFailWithStatus2AndOneLine) {
  const std::string inOut = " --input " + quoted(video_) + " --output " + quoted(out_);
  expectUsageErrors({inOut + " --count 0", inOut + " --width abc", inOut + " --start 1e300", inOut + " --frobnicate 1"},
                    out_);
}

}  // namespace
