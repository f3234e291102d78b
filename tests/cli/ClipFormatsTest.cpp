// `trevane pull` on the formats a pipeline hands over: a half-float EXR sequence numbered from 1001 with values
// outside [0, 1], and an MP4 clip, both pulled against the reference backend's trivial engine at float depth
// into EXR and read back; and bad input, refused in one line before anything is written.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tests/support/ImageFiles.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/ToolRun.h"

namespace {

namespace fs = std::filesystem;
using kesto::testing::runTrevane;
using kesto::testing::ToolResult;

constexpr int kW = 32;
constexpr int kH = 16;
constexpr int kFirst = 1001;
constexpr int kFrames = 6;
// Half floats keep 11 significant bits.
constexpr float kHalfStep = 1.0f / 1024.0f;

struct Picture {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<float> pixels;
  OIIO::ImageSpec spec;
  float at(int x, int y, int c) const { return pixels[(static_cast<std::size_t>(y) * width + x) * channels + c]; }
};

Picture readPicture(const std::string &path) {
  Picture p;
  std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(path);
  if (!in) return p;
  p.spec = in->spec();
  p.width = p.spec.width;
  p.height = p.spec.height;
  p.channels = p.spec.nchannels;
  p.pixels.resize(static_cast<std::size_t>(p.width) * p.height * p.channels);
  if (!in->read_image(0, 0, 0, p.channels, OIIO::TypeDesc::FLOAT, p.pixels.data())) p.pixels.clear();
  return p;
}

// Frame k of the EXR clip, RGB only: a bright left half with channels far above 1 and one below 0 (still bright
// once the plug-in clamps it for the backend), a dark right half dipping below 0.
std::array<float, 3> exrSource(int k, int x, int y) {
  if (x < kW / 2) return {2.0f + 0.25f * static_cast<float>(k), 1.5f + 0.01f * static_cast<float>(y), -0.25f};
  return {-0.5f, 0.05f * static_cast<float>(x % 4), 0.1f};
}

// `number` in at least `digits` digits, zero-padded.
std::string padded(int number, int digits) {
  std::string text = std::to_string(number);
  return std::string(static_cast<std::size_t>(std::max(0, digits - static_cast<int>(text.size()))), '0') + text;
}

// The matte the backend served for frame `index` of the session, from 0 to 1.
Picture servedMatte(const std::string &session, int index) {
  return readPicture("/tmp/orvalis/" + session + "/" + padded(index, 6) + ".png");
}

std::string sessionOf(const std::string &out) {
  const std::string key = "matte session ";
  const std::size_t at = out.find(key);
  if (at == std::string::npos) return "";
  return out.substr(at + key.size(), out.find('\n', at) - at - key.size());
}

struct SessionCleanup {
  std::string session;
  ~SessionCleanup() {
    std::error_code ignored;
    if (!session.empty() && session.find('/') == std::string::npos) fs::remove_all("/tmp/orvalis/" + session, ignored);
  }
};

// Every output frame: alpha equal to the served matte, colour equal to source times matte, to half precision.
template <class Source>
void expectCutOut(const Picture &out, const Picture &matte, Source source, const std::string &what) {
  ASSERT_EQ(kW * kH * 4, static_cast<int>(out.pixels.size())) << what;
  ASSERT_EQ(kW, matte.width) << what;
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const float m = matte.at(x, y, 0);
      const std::array<float, 3> s = source(x, y);
      EXPECT_EQ(m, out.at(x, y, 3)) << what << " at " << x << "," << y;
      for (int c = 0; c < 3; ++c) {
        const float want = s[static_cast<std::size_t>(c)] * m;
        EXPECT_NEAR(want, out.at(x, y, c), kHalfStep * std::max(1.0f, std::fabs(want)))
            << what << " channel " << c << " at " << x << "," << y;
      }
    }
  }
}

class ClipFormats : public ::testing::Test {
 protected:
  std::string dir() const { return scratch_.path(); }

  void writeExrFrame(int number, int width, int k) {
    OIIO::ImageSpec spec(width, kH, 3, OIIO::TypeDesc::HALF);
    spec.attribute("PixelAspectRatio", 2.0f);
    const int rate[2] = {24, 1};
    spec.attribute("FramesPerSecond", OIIO::TypeRational, rate);
    const std::uint32_t timecode[2] = {0x01000000u + static_cast<std::uint32_t>(k), 0u};  // 01:00:00:0k
    spec.attribute("smpte:TimeCode", OIIO::TypeTimeCode, timecode);
    std::vector<float> pixels;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < width; ++x) {
        for (float v : exrSource(k, x, y)) pixels.push_back(v);
      }
    }
    std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create("openexr");
    ASSERT_TRUE(out && out->open(dir() + "/" + "shot." + padded(number, 4) + ".exr", spec));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()));
    ASSERT_TRUE(out->close());
  }

  kesto::testing::ScratchFolder scratch_{"trevane-formats-test"};
};

#ifdef TREVANE_HAVE_BACKEND
TEST_F(ClipFormats, HalfFloatExrSequenceKeepsItsNumbersValuesAndMetadata) {
  for (int k = 0; k < kFrames; ++k) writeExrFrame(kFirst + k, kW, k);
  const ToolResult run = runTrevane("pull --input '" + dir() + "/shot.####.exr' --output '" + dir() +
                                    "/out/cut.%04d.exr' --depth float --engine trivial --box 0,0,1,1");
  ASSERT_EQ(0, run.exitCode) << run.err << run.out;
  const SessionCleanup cleanup{sessionOf(run.out)};
  ASSERT_FALSE(cleanup.session.empty()) << run.out;

  EXPECT_FALSE(fs::exists(dir() + "/out/cut.1000.exr"));
  EXPECT_FALSE(fs::exists(dir() + "/out/cut.1007.exr"));
  for (int k = 0; k < kFrames; ++k) {
    const std::string name = "cut." + padded(kFirst + k, 4) + ".exr";
    const Picture out = readPicture(dir() + "/out/" + name);
    EXPECT_EQ(OIIO::TypeDesc::HALF, out.spec.format) << name;
    EXPECT_EQ("zip", out.spec.get_string_attribute("compression")) << name;
    ASSERT_EQ(4, out.channels) << name;
    EXPECT_EQ("A", out.spec.channelnames[3]) << name;
    EXPECT_EQ(2.0f, out.spec.get_float_attribute("PixelAspectRatio")) << name;
    const OIIO::ParamValue *rate = out.spec.find_attribute("FramesPerSecond", OIIO::TypeRational);
    ASSERT_NE(nullptr, rate) << name;
    EXPECT_EQ(24, static_cast<const int *>(rate->data())[0]) << name;
    const OIIO::ParamValue *timecode = out.spec.find_attribute("smpte:TimeCode", OIIO::TypeTimeCode);
    ASSERT_NE(nullptr, timecode) << name;
    EXPECT_EQ(0x01000000u + static_cast<unsigned>(k), static_cast<const std::uint32_t *>(timecode->data())[0]);
    const Picture matte = servedMatte(cleanup.session, k);
    expectCutOut(out, matte, [k](int x, int y) { return exrSource(k, x, y); }, name);
    // The trivial engine finds the bright half: the values above 1 and below 0 come through there unclamped.
    EXPECT_EQ(1.0f, matte.at(0, 0, 0));
    EXPECT_GE(out.at(0, 0, 0), 2.0f) << name;
    EXPECT_LT(out.at(0, 0, 2), 0.0f) << name;
  }

  // "Source (bypass)" at float depth hands every value back as it came, above 1 and below 0 included.
  const ToolResult bypass = runTrevane("render --input '" + dir() + "/shot.%04d.exr' --first 1003 --last 1003 "
                                       "--output '" + dir() + "/src/' --depth float --set output_mode=2");
  ASSERT_EQ(0, bypass.exitCode) << bypass.err;
  const Picture given = readPicture(dir() + "/shot.1003.exr");
  const Picture passed = readPicture(dir() + "/src/shot.1003.exr");
  ASSERT_EQ(kW * kH * 4, static_cast<int>(passed.pixels.size()));
  EXPECT_EQ(OIIO::TypeDesc::HALF, passed.spec.format);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      for (int c = 0; c < 3; ++c) EXPECT_EQ(given.at(x, y, c), passed.at(x, y, c)) << c << " at " << x << "," << y;
      EXPECT_EQ(1.0f, passed.at(x, y, 3)) << "a file without alpha is opaque, at " << x << "," << y;
    }
  }
  EXPECT_GT(passed.at(0, 0, 0), 2.0f);
  EXPECT_LT(passed.at(kW - 1, 0, 0), 0.0f);
}

TEST_F(ClipFormats, Mp4ClipIsReadDirectlyFrameByFrame) {
  // Frames that differ from each other, so a frame served in the place of another shows.
  const std::string video = dir() + "/clip.mp4";
  std::vector<cv::Mat> written;
  {
    cv::VideoWriter writer(video, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('a', 'v', 'c', '1'), 10.0, {kW, kH});
    ASSERT_TRUE(writer.isOpened());
    for (int k = 0; k < 8; ++k) {
      cv::Mat frame(kH, kW, CV_8UC3, cv::Scalar::all(30));
      frame(cv::Rect(0, 0, kW / 2, kH)).setTo(cv::Scalar(60 + 20 * k, 200, 240 - 10 * k));
      writer.write(frame);
    }
  }
  // What FFmpeg decodes, frame by frame, as the reference.
  std::vector<cv::Mat> decoded;
  cv::VideoCapture capture(video, cv::CAP_FFMPEG);
  for (cv::Mat f; capture.read(f);) {
    cv::Mat rgb;
    cv::cvtColor(f, rgb, cv::COLOR_BGR2RGB);
    decoded.push_back(rgb);
  }
  ASSERT_EQ(8u, decoded.size());

  const ToolResult run = runTrevane("pull --input '" + video + "' --first 2 --last 7 --output '" + dir() +
                                    "/out/v.%02d.exr' --exr-float --depth float --engine trivial --box 0,0,1,1");
  ASSERT_EQ(0, run.exitCode) << run.err << run.out;
  const SessionCleanup cleanup{sessionOf(run.out)};
  EXPECT_FALSE(fs::exists(dir() + "/out/v.01.exr"));
  for (int n = 2; n <= 7; ++n) {
    const std::string name = "v." + padded(n, 2) + ".exr";
    const Picture out = readPicture(dir() + "/out/" + name);
    EXPECT_EQ(OIIO::TypeDesc::FLOAT, out.spec.format) << name;
    const OIIO::ParamValue *rate = out.spec.find_attribute("FramesPerSecond", OIIO::TypeRational);
    ASSERT_NE(nullptr, rate) << name;
    EXPECT_EQ(10, static_cast<const int *>(rate->data())[0]) << name;
    const cv::Mat &src = decoded[static_cast<std::size_t>(n)];
    expectCutOut(out, servedMatte(cleanup.session, n - 2),
                 [&src](int x, int y) {
                   const cv::Vec3b p = src.at<cv::Vec3b>(y, x);
                   return std::array<float, 3>{p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f};
                 },
                 name);
  }

  // A proxy at half the width, into a folder: the frame numbers in six digits, as PNG.
  const ToolResult proxy = runTrevane("render --input '" + video + "' --last 1 --proxy 0.5 --output '" + dir() +
                                      "/proxy/'");
  ASSERT_EQ(0, proxy.exitCode) << proxy.err;
  int w = 0;
  int h = 0;
  const std::vector<std::uint8_t> small = kesto::testing::load_rgba(dir() + "/proxy/000001.png", &w, &h);
  ASSERT_EQ(kW / 2, w);
  ASSERT_EQ(kH / 2, h);
  // Each proxy pixel averages four; inside the left half that is the frame's own colour.
  const cv::Vec3b left = decoded[1].at<cv::Vec3b>(kH / 2, kW / 4);
  EXPECT_NEAR(left[0], small[(static_cast<std::size_t>(h / 2) * w + w / 4) * 4], 3);
  EXPECT_EQ(255, small[3]);
}
#endif

TEST_F(ClipFormats, BadInputIsRefusedInOneLineBeforeAnythingIsWritten) {
  const std::string junk = "not an image";
  fs::create_directories(dir() + "/gap");
  fs::create_directories(dir() + "/sizes");
  fs::create_directories(dir() + "/junk");
  for (const char *folder : {"gap", "sizes", "junk"}) {
    for (int n : {1001, 1002, 1004}) {
      const std::string path = dir() + "/" + folder + "/" + "f." + padded(n, 4) + ".png";
      const int width = std::string(folder) == "sizes" && n == 1002 ? 8 : 4;
      const std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * 4 * 3, 128);
      if (std::string(folder) == "junk" && n == 1002) {
        std::ofstream(path) << junk;
      } else {
        ASSERT_TRUE(kesto::testing::write_png_file(path, rgb.data(), width, 4, 3));
      }
    }
  }
  { std::ofstream(dir() + "/broken.mp4") << junk; }
  const std::string out = dir() + "/out";
  const struct {
    std::string input;
    std::string output;
    std::string says;
  } cases[] = {
      {"gap/f.####.png", "out/", "frame 1003 of"},
      {"sizes/f.####.png --last 1002", "out/", "frame 1002 ('" + dir() + "/sizes/f.1002.png') is 8x4"},
      {"junk/f.%04d.png --last 1002", "out/", "cannot read frame 1002"},
      {"gap/f.####.xyz", "out/", "does not name image files trevane reads"},
      {"gap/f.####.png --last 1002", "out/f.%04d.xyz", "does not end in .exr, .png, .tif, .dpx or .jpg"},
      {"broken.mp4", "out/", "cannot open the video"},
      {"gap/f.####.png --last 1002 --proxy 5", "out/", "wider than the input"},
  };
  for (const auto &c : cases) {
    const ToolResult run = runTrevane("pull --input " + dir() + "/" + c.input + " --output " + dir() + "/" +
                                      c.output + " --box 0,0,1,1 --backend http://127.0.0.1:9");
    EXPECT_EQ(2, run.exitCode) << c.input;
    EXPECT_NE(std::string::npos, run.err.find(c.says)) << c.input << " -> " << run.err;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    EXPECT_FALSE(fs::exists(out)) << c.input;
  }
}

}  // namespace
