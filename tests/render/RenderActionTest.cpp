// The render action as a host sees it: the built module loaded by the in-process host, matte files in
// /tmp/orvalis/<session>/. The pixel formulas are MatteComposite's tests; here the wiring: the host's images
// at both depths and row orders reach the pixel processor, which matte a time and session pick, failures that
// write nothing, and every image handed back (renders on several threads at once: the stress tests).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "plugin/MatteComposite.h"
#include "tests/plugin/PluginFixture.h"
#include "tests/render/MatteFolder.h"

namespace {

using kesto::testing::MatteFolder;

constexpr int kModeCharacter = 0;
constexpr int kModeMatteOnly = 1;
constexpr int kModeBypass = 2;
constexpr std::uint8_t kPoison = 0xCD;  // what the host fills output buffers with

th::Image solidSource(OfxRectI bounds, const th::Rgba &colour, th::PixelDepth depth = th::PixelDepth::Byte) {
  th::Image image = th::Image::make(bounds, depth);
  image.fill(colour);
  return image;
}

kesto::ImageView viewOf(th::Image &image) {
  const OfxRectI b = image.bounds();
  return {image.data(), image.rowBytes(), kesto::PixelRect{b.x1, b.y1, b.x2, b.y2}};
}

// The processor writes every output pixel or none: a failed render left its first byte as the host filled it.
bool untouched(const th::Image &output) { return *output.pixelAddress(output.bounds().x1, output.bounds().y1) == kPoison; }

class RenderAction : public PluginTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(0, th::outstandingImages());
    EXPECT_EQ(0, th::leakedImages());
    EXPECT_EQ(0, th::badImageReleases());
  }

  // An instance showing `session` in `mode`.
  std::unique_ptr<th::Instance> instance(const std::string &session, int mode = kModeMatteOnly,
                                         th::PixelDepth depth = th::PixelDepth::Byte) {
    th::InstanceOptions options;
    options.depth = depth;
    auto fx = makeInstance(options);
    if (fx == nullptr) return nullptr;
    set(*fx, "session_id", session);
    EXPECT_TRUE(fx->setInt("output_mode", mode).ok());
    return fx;
  }

  static void set(th::Instance &fx, const std::string &name, const std::string &value) {
    const auto r = fx.setString(name, value);
    ASSERT_TRUE(r.ok()) << name << ": " << r.error();
  }

  // Renders `time`, expecting `status` (that every image was released within the action: TearDown).
  static th::RenderResult render(th::Instance &fx, double time, const th::RenderOptions &options = {},
                                 OfxStatus status = kOfxStatOK) {
    th::RenderResult r = fx.render(time, options);
    EXPECT_EQ(status, r.status) << r.error;
    return r;
  }
  static th::Rgba8 firstPixel(th::Instance &fx, double time) {
    return render(fx, time).output.pixelBytes(0, 0).value_or(th::Rgba8{});
  }
};

// The host's images reach the pixel processor with their bounds, depth and row layout, the frame's matte with
// them: every output row is what the processor makes of the same images, also where the output reaches past
// the source.
TEST_F(RenderAction, HandsTheHostsImagesAndTheFramesMatteToTheProcessor) {
  MatteFolder folder;
  std::mt19937 rng(5);
  kesto::GrayMatte matte{std::vector<std::uint8_t>(13 * 9), 13, 9};
  for (std::uint8_t &b : matte.bytes) b = static_cast<std::uint8_t>(rng());
  ASSERT_TRUE(folder.writeMatte(0, matte.bytes, 13, 9));
  const struct {
    OfxRectI source, output;
    th::RowOrder sourceOrder, outputOrder;
    int sourcePadding, outputPadding;
  } cases[] = {
      {{-7, 5, 30, 26}, {-9, 3, 33, 29}, th::RowOrder::TopDown, th::RowOrder::BottomUp, 12, 0},
      {{-7, 5, 30, 26}, {-2, 8, 21, 19}, th::RowOrder::BottomUp, th::RowOrder::TopDown, 4, 20},
  };
  for (th::PixelDepth depth : {th::PixelDepth::Byte, th::PixelDepth::Float}) {
    auto fx = instance(folder.sessionId(), kModeCharacter, depth);
    ASSERT_NE(nullptr, fx);
    for (const auto &c : cases) {
      th::Image source = th::Image::make(c.source, depth, c.sourceOrder, c.sourcePadding);
      for (int y = c.source.y1; y < c.source.y2; ++y) {
        for (int x = c.source.x1; x < c.source.x2; ++x) {
          const auto v = [&] { return static_cast<float>(rng() % 1000) / 500.0f - 0.25f; };
          source.setPixel(x, y, th::Rgba{v(), v(), v(), v()});
        }
      }
      fx->setSourceFrame(0, source);
      th::RenderOptions options;
      options.outputBounds = c.output;
      options.outputRowOrder = c.outputOrder;
      options.outputRowPaddingBytes = c.outputPadding;
      for (int mode : {kModeCharacter, kModeMatteOnly, kModeBypass}) {
        SCOPED_TRACE(::testing::Message() << th::depthName(depth) << ", mode " << mode << ", output x1 " << c.output.x1);
        ASSERT_TRUE(fx->setInt("output_mode", mode).ok());
        const th::Image output = render(*fx, 0, options).output;
        th::Image expected = output;
        const kesto::ImageView in = viewOf(source);
        kesto::composite_matte({in.data, in.rowBytes, in.bounds}, viewOf(expected),
                               depth == th::PixelDepth::Float ? kesto::PixelDepth::Float : kesto::PixelDepth::Byte,
                               mode == kModeBypass ? nullptr : &matte,
                               mode == kModeMatteOnly ? kesto::MatteMode::MatteOnly : kesto::MatteMode::Character);
        int differences = 0;
        for (int y = c.output.y1; y < c.output.y2; ++y) {
          const auto bytes = static_cast<std::size_t>((c.output.x2 - c.output.x1) * output.bytesPerPixel());
          differences += std::memcmp(expected.pixelAddress(c.output.x1, y), output.pixelAddress(c.output.x1, y), bytes) != 0;
        }
        EXPECT_EQ(0, differences) << "rows that differ from the processor's";
      }
    }
  }
}

// The frame is the time less "clip_start" (which frame: the FrameIndex tests); before the clip there is none.
// Without a usable matte the source shows: a missing or undecodable file (found once it appears), bypass
// (which leaves the file unread: had it been decoded, the cache would keep showing that first version), and a
// session id that is not one plain folder name (which ones: the SessionId tests), though this one leads to a
// folder holding a matte.
TEST_F(RenderAction, TheSessionTimeAndClipStartPickTheMatteElseTheSourceShows) {
  MatteFolder folder;
  MatteFolder other;
  ASSERT_TRUE(other.writeMatte(7, {100}, 1, 1));
  const th::Rgba8 source{10, 20, 30, 255};
  auto fx = instance(other.sessionId());
  ASSERT_NE(nullptr, fx);
  for (double t : {2.0, 3.0, 10.0, 11.0}) {  // the host serves the frame nearest to a time
    fx->setSourceFrame(t, solidSource({0, 0, 2, 2}, {10 / 255.0f, 20 / 255.0f, 30 / 255.0f, 1}));
  }
  set(*fx, "clip_start", "3.000000");
  EXPECT_EQ((th::Rgba8{100, 100, 100, 255}), firstPixel(*fx, 10.4));
  EXPECT_EQ(source, firstPixel(*fx, 2.0));
  EXPECT_EQ(source, firstPixel(*fx, 11.0)) << "no file";
  set(*fx, "session_id", "../orvalis/" + other.sessionId());
  EXPECT_EQ(source, firstPixel(*fx, 10.0)) << "a session id that leaves the folder";

  set(*fx, "session_id", folder.sessionId());
  ASSERT_TRUE(folder.writeRaw(0, {'n', 'o', 'p', 'e'}));
  EXPECT_EQ(source, firstPixel(*fx, 3.0)) << "no PNG";
  ASSERT_TRUE(folder.writeMatte(0, {10}, 1, 1));
  ASSERT_TRUE(fx->setInt("output_mode", kModeBypass).ok());
  EXPECT_EQ(source, firstPixel(*fx, 3.0)) << "bypass";
  ASSERT_TRUE(folder.writeMatte(0, {90}, 1, 1));
  ASSERT_TRUE(fx->setInt("output_mode", kModeMatteOnly).ok());
  EXPECT_EQ((th::Rgba8{90, 90, 90, 255}), firstPixel(*fx, 3.0));
  for (const OfxRectI &bounds : {OfxRectI{0, 0, 0, 4}, OfxRectI{0, 0, 4, 0}}) {
    th::RenderOptions options;
    options.outputBounds = bounds;
    render(*fx, 3.0, options);  // an empty output, which the host gives no data: nothing to write, no failure
  }
}

// Images that cannot be fetched, have no data or another depth fail the render with nothing written; bypass
// does not skip the checks.
TEST_F(RenderAction, UnusableImagesFailTheRenderAndAreAllReleased) {
  MatteFolder folder;
  ASSERT_TRUE(folder.writeMatte(0, {255}, 1, 1));
  using D = th::PixelDepth;
  const struct {
    D sourceDepth, outputDepth;
    th::FetchFault fault;
  } cases[] = {{D::Byte, D::Byte, th::FetchFault::Fail}, {D::Byte, D::Byte, th::FetchFault::NullData},
               {D::Float, D::Float, th::FetchFault::NullData}, {D::Byte, D::Float, th::FetchFault::None},
               {D::Float, D::Byte, th::FetchFault::None}};
  for (const auto &c : cases) {
    auto fx = instance(folder.sessionId(), kModeCharacter, c.sourceDepth);
    ASSERT_NE(nullptr, fx);
    fx->setSourceFrame(0, solidSource({0, 0, 16, 16}, {1, 1, 1, 1}, c.sourceDepth));
    fx->setFetchFault(0, c.fault);
    th::RenderOptions options;
    options.outputDepth = c.outputDepth;
    for (int mode : {kModeCharacter, kModeBypass}) {
      SCOPED_TRACE(::testing::Message() << th::depthName(c.sourceDepth) << " into " << th::depthName(c.outputDepth)
                                        << ", fault " << static_cast<int>(c.fault) << ", mode " << mode);
      ASSERT_TRUE(fx->setInt("output_mode", mode).ok());
      EXPECT_TRUE(untouched(render(*fx, 0, options, kOfxStatFailed).output));
    }
  }
}

}  // namespace
