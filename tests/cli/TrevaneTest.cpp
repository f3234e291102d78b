// The `trevane` tool as a user runs it: `pull` against a scripted backend and against the reference backend it
// starts itself (trivial engine) on half-float EXR and MP4 clips; `render` on a clip without alpha; `describe`
// on the built bundle; and bad usage and bad input, refused in one line before anything is written.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tests/support/FakeBackend.h"
#include "tests/support/ImageFiles.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/ToolRun.h"

namespace {

namespace fs = std::filesystem;
using kesto::testing::runTrevane;
using kesto::testing::ToolResult;
using Bytes = std::vector<std::uint8_t>;

constexpr int kW = 32;
constexpr int kH = 16;
constexpr int kFrames = 3;
constexpr float kHalfStep = 1.0f / 1024.0f;  // half floats keep 11 significant bits

// `n` in at least `digits` digits, zero-padded.
std::string padded(int n, int digits) {
  const std::string text = std::to_string(n);
  return std::string(static_cast<std::size_t>(std::max(0, digits - static_cast<int>(text.size()))), '0') + text;
}

struct Picture {
  OIIO::ImageSpec spec;
  std::vector<float> pixels;
  float at(int x, int y, int c) const { return pixels[(static_cast<std::size_t>(y) * spec.width + x) * spec.nchannels + c]; }
  int frameRate() const {
    const OIIO::ParamValue *rate = spec.find_attribute("FramesPerSecond", OIIO::TypeRational);
    return rate != nullptr ? static_cast<const int *>(rate->data())[0] : 0;
  }
};

Picture readPicture(const std::string &path) {
  Picture p;
  std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(path);
  if (!in) return p;
  p.spec = in->spec();
  p.pixels.resize(static_cast<std::size_t>(p.spec.width) * p.spec.height * p.spec.nchannels);
  if (!in->read_image(0, 0, 0, p.spec.nchannels, OIIO::TypeDesc::FLOAT, p.pixels.data())) p.pixels.clear();
  return p;
}

// The session named in pull's last line; its matte folder is removed at the end.
struct Session {
  explicit Session(const std::string &out) {
    const std::size_t at = out.find("matte session ");
    if (at != std::string::npos) id = out.substr(at + 14, out.find('\n', at) - at - 14);
  }
  ~Session() {
    std::error_code ignored;
    if (!id.empty() && id.find('/') == std::string::npos) fs::remove_all("/tmp/orvalis/" + id, ignored);
  }
  // The matte the backend served for the clip's frame `index`, from 0 to 1.
  Picture matte(int index) const { return readPicture("/tmp/orvalis/" + id + "/" + padded(index, 6) + ".png"); }
  std::string id;
};

// A bright textured left half on a dark textured right half, different in every frame, so that a pixel
// served from elsewhere shows.
Bytes frame(int f) {
  Bytes rgba(kW * kH * 4);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      std::uint8_t *p = &rgba[(y * kW + x) * 4];
      for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>((x < kW / 2 ? 200 : 10) + (x * 7 + y * 3 + c * 5 + f * 11) % 41);
      p[3] = 255;
    }
  }
  return rgba;
}

// Frame k of the EXR clip, RGB only: a bright left half with channels far above 1 and one below 0 (still bright
// once the plug-in clamps it for the backend), a dark right half dipping below 0.
std::array<float, 3> exrSource(int k, int x, int y) {
  if (x < kW / 2) return {2.0f + 0.25f * static_cast<float>(k), 1.5f + 0.01f * static_cast<float>(y), -0.25f};
  return {-0.5f, 0.05f * static_cast<float>(x % 4), 0.1f};
}

// Every output frame: alpha equal to the served matte, colour equal to source times matte, to half precision.
template <class Source>
void expectCutOut(const Picture &out, const Picture &matte, Source source, const std::string &what) {
  ASSERT_EQ(kW * kH * 4, static_cast<int>(out.pixels.size())) << what;
  ASSERT_EQ(kW, matte.spec.width) << what;
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const float m = matte.at(x, y, 0);
      const std::array<float, 3> s = source(x, y);
      EXPECT_EQ(m, out.at(x, y, 3)) << what << " at " << x << "," << y;
      for (int c = 0; c < 3; ++c) {
        const float want = s[static_cast<std::size_t>(c)] * m;
        EXPECT_NEAR(want, out.at(x, y, c), kHalfStep * std::max(1.0f, std::fabs(want))) << what << " " << c;
      }
    }
  }
}

class Trevane : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(in());
    for (int f = 0; f < kFrames; ++f) {
      ASSERT_TRUE(kesto::testing::write_png_file(in() + "/" + padded(f, 6) + ".png", frame(f).data(), kW, kH, 4));
    }
  }
  std::string dir() const { return scratch_.path(); }
  std::string in() const { return dir() + "/in"; }
  std::string pullInto(const std::string &out) const { return "pull --input " + in() + " --output " + dir() + "/" + out; }

  // An OpenImageIO file of kW x kH RGB pixels from `pixel(x, y)`, in the format its extension names.
  template <class Pixel>
  void writeRgb(const std::string &path, OIIO::ImageSpec spec, Pixel pixel) {
    std::vector<float> pixels;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        for (float v : pixel(x, y)) pixels.push_back(v);
      }
    }
    std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, spec) && out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) && out->close());
  }

  kesto::testing::ScratchFolder scratch_{"trevane-cli-test"};
};

TEST_F(Trevane, PullAgainstAScriptedBackendSendsTheSelectionAndWritesTheCutOutOrTheFailure) {
  kesto::test::FakeBackend fb;
  std::vector<std::uint8_t> gray(kW * kH);
  for (std::size_t i = 0; i < gray.size(); ++i) gray[i] = i % kW < kW / 2 ? 255 : 0;
  ASSERT_TRUE(kesto::testing::write_png_file(dir() + "/matte.png", gray.data(), kW, kH, 1));
  const std::string id = "cli-test-" + std::to_string(::getpid());
  kesto::test::scriptMatteSession(fb, id, kesto::testing::fileText(dir() + "/matte.png"));

  const ToolResult run = runTrevane(pullInto("out/") + " --box 0,0,0.5,1 --backend " + fb.url() +
                                    " --anchor 1 --quality fast --softness 0.5 --mode rgba");
  const Session session(run.out);
  ASSERT_EQ(0, run.exitCode) << run.err << run.out;
  EXPECT_EQ(id, session.id) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("ready: 3 frames matted"));
  const auto starts = fb.requests("POST", "/api/matte/sessions/" + id + "/start");
  ASSERT_EQ(1u, starts.size());
  EXPECT_EQ(R"({"anchor_frame":1,"bbox":{"h":1.0,"w":0.5,"x":0.0,"y":0.0},"edge_softness":0.5,)"
            R"("quality":"fast","strokes":[],"text_prompt":""})",
            starts[0].body);
  // A PNG sequence in and out, bit-exact: the source where the matte is 255, nothing where it is 0.
  for (int f = 0; f < kFrames; ++f) {
    Bytes expected = frame(f);
    for (std::size_t i = 0; i < gray.size(); ++i) {
      if (gray[i] == 0) std::fill_n(&expected[i * 4], 4, std::uint8_t{0});
    }
    int w = 0;
    EXPECT_EQ(expected, kesto::testing::load_rgba(dir() + "/out/" + padded(f, 6) + ".png", &w, nullptr)) << f;
    EXPECT_EQ(kW, w);
  }

  fb.on("POST", "/api/matte/sessions").reply(500, "down");
  const ToolResult failed = runTrevane(pullInto("failed/") + " --hint 'a bright square' --backend " + fb.url());
  EXPECT_EQ(1, failed.exitCode);
  EXPECT_NE(std::string::npos, failed.err.find("failed: cannot reach backend")) << failed.err;
  EXPECT_FALSE(fs::exists(dir() + "/failed"));
}

// Bad usage and bad input, refused with exit status 2 in one line before anything is written. In the command
// lines, @IN is the clip of the fixture, @DIR its folder; @GIVEN and @PULL pull that clip into @DIR/out/ with
// and without a backend given, @CLIP pulls a box of a clip in @DIR with a backend given.
struct Refusal {
  const char *args;
  const char *says;
};

const Refusal kRefusals[] = {
    {"@GIVEN", "mark the character"},
    {"@GIVEN --box 0.1,0.2,0.3", "needs 4 numbers"},
    {"@GIVEN --box 0.8,0,0.5,1", "--box"},
    {"@GIVEN --box 0.1,0.1,0.2,x", "not a number"},
    {"@GIVEN --dab 0.5,0.5,0", "--dab"},
    {"@GIVEN --dab 0.5,0.5,-0.31", "--dab"},
    {"@GIVEN --hint x --anchor 3", "frame 3 is outside the clip (0 to 2)"},
    {"@GIVEN --hint x --quality best", "--quality: 'best' is not one of fine|fast"},
    {"@GIVEN --hint x --softness 2", "--softness: '2' is not from 0 to 1"},
    {"@GIVEN --hint x --frobnicate", "--frobnicate"},
    {"@GIVEN --hint x --contact-sheet s.gif", "--contact-sheet"},
    // The engine options choose the engine of the backend pull starts; a given backend has its own.
    {"@GIVEN --hint x --engine trivial", "--backend excludes --engine"},
    {"@GIVEN --hint x --model @IN/000000.png", "--backend excludes --model"},
    {"@PULL --hint x --engine magic", "--engine"},
    // No cached model: --engine auto and neural see only what --model gives.
    {"@PULL --hint x --engine classical --model @IN/000000.png", "--model goes with --engine auto or neural"},
    {"@PULL --hint x --engine neural", "--engine neural needs --model FILE"},
    {"@PULL --hint x --model @IN/none.onnx", "--model"},
    {"pull --input @IN --output @IN/%06d.png --hint x --backend http://127.0.0.1:9", "refusing to overwrite"},
    {"@CLIPnone --output @DIR/out/", "--input"},
    {"@CLIPgap/f.####.png --output @DIR/out/", "frame 1003 of"},
    {"@CLIPsizes/f.####.png --last 1002 --output @DIR/out/", "frame 1002 ('@DIR/sizes/f.1002.png') is 8x4"},
    {"@CLIPjunk/f.%04d.png --last 1002 --output @DIR/out/", "cannot read frame 1002"},
    {"@CLIPgap/f.####.xyz --output @DIR/out/", "does not name image files trevane reads"},
    {"@CLIPgap/f.####.png --last 1002 --output @DIR/out/f.%04d.xyz", "does not end in .exr, .png, .tif, .dpx or .jpg"},
    {"@CLIPbroken.mp4 --output @DIR/out/", "cannot open the video"},
    {"@CLIPgap/f.####.png --last 1002 --proxy 5 --output @DIR/out/", "5 pixels is wider than the input (4 pixels)"},
    // The render's own options; those shared with `pull`, and `--set` with `overlay`, refuse alike.
    {"render --input @IN --output @DIR/out/ --threads 0", "--threads"},
    {"render --input @IN --output @DIR/out/ --threads 65", "--threads"},
    {"render --input @IN --output @DIR/out/ --set output_mode=x", "output_mode"},
    {"render --input @IN --output @DIR/out/ --first 3 --last 2", "after"},
    {"frobnicate", "unknown command 'frobnicate'"},
    {"overlay --input @DIR/missing.png --output @DIR/out/x.png", "missing.png"},
    {"describe --bundle /nonexistent/Nothing.ofx.bundle", "cannot load"},
};

class Refused : public Trevane, public ::testing::WithParamInterface<std::size_t> {
 protected:
  std::string expand(std::string text) const {
    const std::pair<std::string, std::string> marks[] = {
        {"@GIVEN", "@PULL --backend http://127.0.0.1:9"},
        {"@PULL", "pull --input @IN --output @DIR/out/"},
        {"@CLIP", "pull --box 0,0,1,1 --backend http://127.0.0.1:9 --input @DIR/"},
        {"@IN", in()},
        {"@DIR", dir()}};
    for (const auto &[mark, value] : marks) {
      for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), value);
    }
    return text;
  }
};

TEST_P(Refused, InOneLineBeforeAnythingIsWritten) {
  for (const char *folder : {"gap", "sizes", "junk"}) {
    fs::create_directories(dir() + "/" + folder);
    for (int n : {1001, 1002, 1004}) {
      const std::string path = dir() + "/" + folder + "/f." + padded(n, 4) + ".png";
      const int width = std::string(folder) == "sizes" && n == 1002 ? 8 : 4;
      const Bytes rgb(static_cast<std::size_t>(width) * 4 * 3, 128);
      if (std::string(folder) == "junk" && n == 1002) {
        std::ofstream(path) << "not an image";
      } else {
        ASSERT_TRUE(kesto::testing::write_png_file(path, rgb.data(), width, 4, 3));
      }
    }
  }
  std::ofstream(dir() + "/broken.mp4") << "not a video";
  const std::string first = in() + "/000000.png";
  const Bytes before = kesto::testing::load_rgba(first, nullptr, nullptr);
  const Refusal &refusal = kRefusals[GetParam()];
  const std::string args = expand(refusal.args);
  const ToolResult run = runTrevane(args);
  EXPECT_EQ(2, run.exitCode) << args;
  EXPECT_NE(std::string::npos, run.err.find(expand(refusal.says))) << args << " -> " << run.err;
  EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
  EXPECT_TRUE(run.out.empty()) << args;
  EXPECT_FALSE(fs::exists(dir() + "/out")) << args;
  EXPECT_EQ(before, kesto::testing::load_rgba(first, nullptr, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Trevane, Refused, ::testing::Range(std::size_t{0}, std::size(kRefusals)));

#ifdef TREVANE_HAVE_BACKEND
TEST_F(Trevane, HalfFloatExrSequenceKeepsItsNumbersValuesAndMetadata) {
  constexpr int kFirst = 1001;
  constexpr int kExrFrames = 6;
  for (int k = 0; k < kExrFrames; ++k) {
    OIIO::ImageSpec spec(kW, kH, 3, OIIO::TypeDesc::HALF);
    spec.attribute("PixelAspectRatio", 2.0f);
    const int rate[2] = {24, 1};
    spec.attribute("FramesPerSecond", OIIO::TypeRational, rate);
    const std::uint32_t timecode[2] = {0x01000000u + static_cast<std::uint32_t>(k), 0u};  // 01:00:00:0k
    spec.attribute("smpte:TimeCode", OIIO::TypeTimeCode, timecode);
    writeRgb(dir() + "/shot." + padded(kFirst + k, 4) + ".exr", spec, [k](int x, int y) { return exrSource(k, x, y); });
  }
  const ToolResult run = runTrevane("pull --input '" + dir() + "/shot.####.exr' --output '" + dir() +
                                    "/out/cut.%04d.exr' --depth float --engine trivial --box 0,0,1,1");
  const Session session(run.out);
  ASSERT_EQ(0, run.exitCode) << run.err << run.out;
  for (int k = 0; k < kExrFrames; ++k) {
    const std::string name = "cut." + padded(kFirst + k, 4) + ".exr";
    const Picture out = readPicture(dir() + "/out/" + name);
    EXPECT_EQ(OIIO::TypeDesc::HALF, out.spec.format) << name;
    EXPECT_EQ("zip", out.spec.get_string_attribute("compression")) << name;
    ASSERT_EQ(4, out.spec.nchannels) << name;
    EXPECT_EQ("A", out.spec.channelnames[3]) << name;
    EXPECT_EQ(2.0f, out.spec.get_float_attribute("PixelAspectRatio")) << name;
    EXPECT_EQ(24, out.frameRate()) << name;
    const OIIO::ParamValue *timecode = out.spec.find_attribute("smpte:TimeCode", OIIO::TypeTimeCode);
    ASSERT_NE(nullptr, timecode) << name;
    EXPECT_EQ(0x01000000u + static_cast<unsigned>(k), static_cast<const std::uint32_t *>(timecode->data())[0]);
    const Picture matte = session.matte(k);
    expectCutOut(out, matte, [k](int x, int y) { return exrSource(k, x, y); }, name);
    // The trivial engine finds the bright half: the values above 1 and below 0 come through there unclamped.
    EXPECT_EQ(1.0f, matte.at(0, 0, 0));
    EXPECT_GE(out.at(0, 0, 0), 2.0f) << name;
    EXPECT_LT(out.at(0, 0, 2), 0.0f) << name;
  }
}

TEST_F(Trevane, Mp4ClipIsReadDirectlyFrameByFrame) {
  const std::string video = dir() + "/clip.mp4";
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
  for (cv::Mat f, rgb; capture.read(f);) {
    cv::cvtColor(f, rgb, cv::COLOR_BGR2RGB);
    decoded.push_back(rgb.clone());
  }
  ASSERT_EQ(8u, decoded.size());
  const ToolResult run = runTrevane("pull --input '" + video + "' --first 2 --last 7 --output '" + dir() +
                                    "/out/v.%02d.exr' --exr-float --depth float --engine trivial --box 0,0,1,1 --contact-sheet '" + dir() +
                                    "/sheet.png'");
  const Session session(run.out);
  ASSERT_EQ(0, run.exitCode) << run.err << run.out;
  EXPECT_FALSE(fs::exists(dir() + "/out/v.01.exr"));
  EXPECT_TRUE(fs::exists(dir() + "/sheet.png"));
  for (int n = 2; n <= 7; ++n) {
    const std::string name = "v." + padded(n, 2) + ".exr";
    const Picture out = readPicture(dir() + "/out/" + name);
    EXPECT_EQ(OIIO::TypeDesc::FLOAT, out.spec.format) << name;
    EXPECT_EQ(10, out.frameRate()) << name;
    const cv::Mat &src = decoded[static_cast<std::size_t>(n)];
    expectCutOut(out, session.matte(n - 2), [&src](int x, int y) {
      const cv::Vec3b p = src.at<cv::Vec3b>(y, x);
      return std::array<float, 3>{p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f};
    }, name);
  }
  // Into a folder, a video's frames are named by their numbers in six digits.
  ASSERT_EQ(0, runTrevane("render --input '" + video + "' --last 1 --output '" + dir() + "/folder/'").exitCode);
  EXPECT_TRUE(fs::exists(dir() + "/folder/000001.png"));
}
#endif

// A folder output takes the input's format only when it keeps alpha: JPEG frames come out as PNG, 16-bit at
// float depth. A proxy of half the width averages four pixels into one: inside the left half, its colour.
TEST_F(Trevane, RenderIntoAFolderWritesPngForJpegInput) {
  fs::create_directories(dir() + "/jpg");
  for (int n : {7, 8}) {
    writeRgb(dir() + "/jpg/f." + std::to_string(n) + ".jpg", OIIO::ImageSpec(kW, kH, 3, OIIO::TypeDesc::UINT8),
             [](int x, int) { return std::array<float, 3>{x < kW / 2 ? 1.0f : 0.0f, 0.5f, 0.0f}; });
  }
  const ToolResult run =
      runTrevane("render --input '" + dir() + "/jpg' --output '" + dir() + "/out/' --depth float --proxy 0.5");
  ASSERT_EQ(0, run.exitCode) << run.err;
  EXPECT_FALSE(fs::exists(dir() + "/out/f.7.jpg"));
  for (int n : {7, 8}) {
    const Picture out = readPicture(dir() + "/out/f." + std::to_string(n) + ".png");
    EXPECT_EQ(OIIO::TypeDesc::UINT16, out.spec.format) << n;
    ASSERT_EQ(4, out.spec.nchannels) << n;
    ASSERT_EQ(kW / 2, out.spec.width) << n;
    EXPECT_EQ(kH / 2, out.spec.height) << n;
    EXPECT_NEAR(1.0f, out.at(2, 2, 0), 0.05f);
    EXPECT_NEAR(0.5f, out.at(2, 2, 1), 0.05f);
    EXPECT_EQ(1.0f, out.at(2, 2, 3));
  }
}

// The plug-in's own tests list what it declares; here, that describe prints it as JSON and as text.
TEST(Describe, ListsTheDeclaredEffectAsJsonAndText) {
  const ToolResult run = runTrevane(std::string("describe --json --bundle ") + TREVANE_BUNDLE_DIR);
  ASSERT_EQ(0, run.exitCode) << run.err;
  const auto doc = nlohmann::json::parse(run.out, nullptr, false);
  ASSERT_TRUE(doc.is_object()) << run.out;
  EXPECT_EQ("com.orvalis.trevane.ofx", doc["plugin"]["pluginIdentifier"]);
  EXPECT_EQ(16u, doc["parameters"].size());
  const ToolResult text = runTrevane(std::string("describe --bundle ") + TREVANE_BUNDLE_DIR);
  ASSERT_EQ(0, text.exitCode) << text.err;
  EXPECT_NE(std::string::npos, text.out.find("parameters (16)"));
}

}  // namespace
