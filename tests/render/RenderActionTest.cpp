// The render action as a host sees it: the built module loaded by the in-process host, matte files in
// /tmp/orvalis/<session>/, outputs compared with the literal formulas, and every image handed back (renders
// on several threads at once: the stress tests).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/Host.h"
#include "tests/render/LiteralRender.h"
#include "tests/render/MatteFolder.h"

namespace {

namespace th = trevane::host;
using kesto::testing::LiteralImage;
using kesto::testing::LiteralMatte;
using kesto::testing::MatteFolder;

constexpr int kModeCharacter = 0;
constexpr int kModeMatteOnly = 1;
constexpr int kModeBypass = 2;
constexpr std::uint8_t kPoison = 0xCD;  // what the host fills output buffers with

struct Matte {
  std::vector<std::uint8_t> bytes;
  int width = 0;
  int height = 0;
};

Matte uniformMatte(std::uint8_t value) { return Matte{{value}, 1, 1}; }

Matte randomMatte(int width, int height, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Matte m{std::vector<std::uint8_t>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)), width, height};
  for (std::uint8_t &b : m.bytes) b = static_cast<std::uint8_t>(rng());
  return m;
}

void writeMatte(const MatteFolder &folder, int frame, const Matte &m) {
  ASSERT_TRUE(folder.writeMatte(frame, m.bytes, m.width, m.height)) << folder.matteFile(frame);
}

// A source frame with random content; at float depth with values beyond [0, 1] too.
th::Image randomSource(OfxRectI bounds, th::PixelDepth depth, th::RowOrder order, std::uint32_t seed,
                       int paddingBytes = 0) {
  th::Image image = th::Image::make(bounds, depth, order, paddingBytes);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-0.25f, 1.75f);
  for (int y = bounds.y1; y < bounds.y2; ++y) {
    for (int x = bounds.x1; x < bounds.x2; ++x) {
      std::uint8_t *p = image.pixelAddress(x, y);
      if (depth == th::PixelDepth::Byte) {
        for (int c = 0; c < 4; ++c) p[c] = static_cast<std::uint8_t>(rng());
      } else {
        const float v[4] = {value(rng), value(rng), value(rng), value(rng)};
        std::memcpy(p, v, sizeof v);
      }
    }
  }
  return image;
}

th::Image solidSource(OfxRectI bounds, const th::Rgba &colour, th::PixelDepth depth = th::PixelDepth::Byte) {
  th::Image image = th::Image::make(bounds, depth);
  image.fill(colour);
  return image;
}

LiteralImage literalOf(const th::Image &image) {
  const OfxRectI b = image.bounds();
  return {image.data(), image.rowBytes(), b.x1, b.y1, b.x2, b.y2};
}

// Every output pixel equals the literal formulas' result, bit for bit.
void expectLiteral(const th::Image &source, const th::Image &output, const Matte *matte, int mode) {
  th::Image expected = output;
  const LiteralMatte lm{matte != nullptr ? &matte->bytes : nullptr, matte != nullptr ? matte->width : 0,
                        matte != nullptr ? matte->height : 0};
  kesto::testing::literalRender(literalOf(source), literalOf(expected), output.depth() == th::PixelDepth::Float,
                                matte != nullptr ? &lm : nullptr, mode);
  const OfxRectI b = output.bounds();
  const auto size = static_cast<std::size_t>(output.bytesPerPixel());
  int differences = 0;
  for (int y = b.y1; y < b.y2; ++y) {
    for (int x = b.x1; x < b.x2; ++x) {
      if (std::memcmp(expected.pixelAddress(x, y), output.pixelAddress(x, y), size) != 0 && ++differences <= 3) {
        ADD_FAILURE() << "pixel (" << x << ", " << y << ") differs from the formulas";
      }
    }
  }
  EXPECT_EQ(0, differences);
}

bool untouched(const th::Image &output) {
  const OfxRectI b = output.bounds();
  for (int y = b.y1; y < b.y2; ++y) {
    for (int x = b.x1; x < b.x2; ++x) {
      const std::uint8_t *p = output.pixelAddress(x, y);
      for (int c = 0; c < output.bytesPerPixel(); ++c) {
        if (p[c] != kPoison) return false;
      }
    }
  }
  return true;
}

class RenderAction : public ::testing::Test {
 protected:
  void SetUp() override {
    loaded_ = host_.load(TREVANE_BUNDLE_DIR);
    ASSERT_TRUE(loaded_.ok()) << loaded_.error;
  }

  void TearDown() override {
    EXPECT_EQ(0, th::outstandingImages());
    EXPECT_EQ(0, th::leakedImages());
    EXPECT_EQ(0, th::badImageReleases());
  }

  std::unique_ptr<th::Instance> instance(th::PixelDepth depth = th::PixelDepth::Byte) {
    th::InstanceOptions options;
    options.depth = depth;
    auto made = loaded_.plugin->createInstance(options);
    EXPECT_TRUE(made.ok()) << made.error();
    return made.ok() ? std::move(*made) : nullptr;
  }

  static void set(th::Instance &fx, const std::string &name, const std::string &value) {
    const auto r = fx.setString(name, value);
    ASSERT_TRUE(r.ok()) << name << ": " << r.error();
  }
  static void setMode(th::Instance &fx, int mode) {
    const auto r = fx.setInt("output_mode", mode);
    ASSERT_TRUE(r.ok()) << r.error();
  }

  // Renders `time` and checks the reply and that every image was released within the action.
  static th::RenderResult renderOk(th::Instance &fx, double time, const th::RenderOptions &options = {}) {
    th::RenderResult r = fx.render(time, options);
    EXPECT_EQ(kOfxStatOK, r.status) << r.error;
    EXPECT_EQ(0, r.leakedImages);
    EXPECT_EQ(0, fx.unreleasedImages());
    return r;
  }

  static th::RenderResult renderFailed(th::Instance &fx, double time, const th::RenderOptions &options = {}) {
    th::RenderResult r = fx.render(time, options);
    EXPECT_EQ(kOfxStatFailed, r.status) << r.error;
    EXPECT_EQ(0, r.leakedImages);
    EXPECT_EQ(0, fx.unreleasedImages());
    return r;
  }

  th::Host host_;
  th::LoadResult loaded_;
};

// ---- the formulas wired to the host's images: both depths, both row orders, padded rows, shifted bounds ----

TEST_F(RenderAction, OutputMatchesTheFormulasAtBothDepthsAndAllLayouts) {
  MatteFolder folder;
  const Matte matte = randomMatte(13, 9, 5);
  writeMatte(folder, 0, matte);
  struct Case {
    OfxRectI source;
    th::RowOrder sourceOrder;
    int sourcePadding;
    OfxRectI output;
    th::RowOrder outputOrder;
    int outputPadding;
  };
  const Case cases[] = {
      // Output larger than the source on every side: the pixels outside it read as zero.
      {{-7, 5, 30, 26}, th::RowOrder::TopDown, 12, {-9, 3, 33, 29}, th::RowOrder::BottomUp, 0},
      {{-7, 5, 30, 26}, th::RowOrder::BottomUp, 4, {-2, 8, 21, 19}, th::RowOrder::TopDown, 20},
  };
  std::uint32_t seed = 10;
  for (th::PixelDepth depth : {th::PixelDepth::Byte, th::PixelDepth::Float}) {
    auto fx = instance(depth);
    ASSERT_NE(nullptr, fx);
    set(*fx, "session_id", folder.sessionId());
    for (const Case &c : cases) {
      const th::Image source = randomSource(c.source, depth, c.sourceOrder, ++seed, c.sourcePadding);
      fx->setSourceFrame(0, source);
      th::RenderOptions options;
      options.outputBounds = c.output;
      options.outputRowOrder = c.outputOrder;
      options.outputRowPaddingBytes = c.outputPadding;
      for (int mode : {kModeCharacter, kModeMatteOnly, kModeBypass}) {
        SCOPED_TRACE(::testing::Message() << "depth " << th::depthName(depth) << ", mode " << mode << ", output x1 "
                                          << c.output.x1);
        setMode(*fx, mode);
        const th::RenderResult r = renderOk(*fx, 0, options);
        expectLiteral(source, r.output, mode == kModeBypass ? nullptr : &matte, mode);
      }
    }
  }
}

// ---- which matte, and when none ----

TEST_F(RenderAction, FrameIndexIsTimeMinusClipStartRoundedHalfAway) {
  MatteFolder folder;
  writeMatte(folder, 7, uniformMatte(100));
  writeMatte(folder, 8, uniformMatte(200));
  auto fx = instance();
  ASSERT_NE(nullptr, fx);
  set(*fx, "session_id", folder.sessionId());
  set(*fx, "clip_start", "3.000000");
  setMode(*fx, kModeMatteOnly);
  // The host serves the frame nearest to a time.
  for (double t : {2.0, 8.0, 10.0, 11.0}) {
    fx->setSourceFrame(t, solidSource({0, 0, 2, 2}, {10 / 255.0f, 20 / 255.0f, 30 / 255.0f, 1}));
  }
  EXPECT_EQ((th::Rgba8{100, 100, 100, 255}), renderOk(*fx, 10.4).output.pixelBytes(0, 0));
  EXPECT_EQ((th::Rgba8{200, 200, 200, 255}), renderOk(*fx, 10.5).output.pixelBytes(0, 0));
  // Before the clip start: no frame, the source shows.
  EXPECT_EQ((th::Rgba8{10, 20, 30, 255}), renderOk(*fx, 2.0).output.pixelBytes(0, 0));
  // A clip start that is no number counts as zero.
  for (const char *text : {"", "not a number", "   "}) {
    set(*fx, "clip_start", text);
    EXPECT_EQ((th::Rgba8{200, 200, 200, 255}), renderOk(*fx, 8.0).output.pixelBytes(0, 0)) << "'" << text << "'";
  }
}

TEST_F(RenderAction, BypassShowsTheSourceAndLeavesTheMatteFileUnread) {
  MatteFolder folder;
  writeMatte(folder, 0, uniformMatte(10));
  auto fx = instance();
  ASSERT_NE(nullptr, fx);
  set(*fx, "session_id", folder.sessionId());
  fx->setSourceFrame(0, solidSource({0, 0, 2, 2}, {1, 1, 1, 1}));
  setMode(*fx, kModeBypass);
  EXPECT_EQ((th::Rgba8{255, 255, 255, 255}), renderOk(*fx, 0).output.pixelBytes(1, 1));
  // Had bypass decoded the file, the cache would now hold the first version and keep showing it.
  writeMatte(folder, 0, uniformMatte(90));
  setMode(*fx, kModeMatteOnly);
  EXPECT_EQ((th::Rgba8{90, 90, 90, 255}), renderOk(*fx, 0).output.pixelBytes(1, 1));
}

TEST_F(RenderAction, MissingMatteShowsTheSourceUntilTheFileAppears) {
  MatteFolder folder;
  auto fx = instance();
  ASSERT_NE(nullptr, fx);
  set(*fx, "session_id", folder.sessionId());
  setMode(*fx, kModeMatteOnly);
  fx->setSourceFrame(0, solidSource({0, 0, 2, 2}, {0, 1, 0, 1}));
  EXPECT_EQ((th::Rgba8{0, 255, 0, 255}), renderOk(*fx, 0).output.pixelBytes(0, 0));
  ASSERT_TRUE(folder.writeRaw(0, {'n', 'o', 'p', 'e'}));
  EXPECT_EQ((th::Rgba8{0, 255, 0, 255}), renderOk(*fx, 0).output.pixelBytes(0, 0));
  writeMatte(folder, 0, uniformMatte(33));
  EXPECT_EQ((th::Rgba8{33, 33, 33, 255}), renderOk(*fx, 0).output.pixelBytes(0, 0));
}

// A project file is plain text: a session id edited to climb out of its folder must not be followed, and no
// session at all shows the source. Each refused id below does lead to a folder that holds a matte.
TEST_F(RenderAction, SessionIdsThatAreNotOnePlainFolderNameCountAsNoSession) {
  MatteFolder folder;
  MatteFolder other;
  ASSERT_TRUE(other.writeMatte(0, {200}, 1, 1));
  std::filesystem::create_directories(folder.path() + "inner");
  std::filesystem::copy_file(other.matteFile(0), folder.path() + "inner/000000.png");

  auto fx = instance();
  ASSERT_NE(nullptr, fx);
  setMode(*fx, kModeMatteOnly);
  fx->setSourceFrame(0, solidSource({0, 0, 1, 1}, {1, 0, 0, 1}));
  for (const std::string &id : {std::string(), "../orvalis/" + other.sessionId(), folder.sessionId() + "/inner",
                                "/tmp/orvalis/" + other.sessionId()}) {
    set(*fx, "session_id", id);
    EXPECT_EQ((th::Rgba8{255, 0, 0, 255}), renderOk(*fx, 0).output.pixelBytes(0, 0)) << "'" << id << "'";
  }
  set(*fx, "session_id", other.sessionId());
  EXPECT_EQ((th::Rgba8{200, 200, 200, 255}), renderOk(*fx, 0).output.pixelBytes(0, 0));
}

// ---- failures: nothing written out of bounds, every image released ----

TEST_F(RenderAction, ImagesThatCannotBeFetchedFailTheRender) {
  auto fx = instance();
  ASSERT_NE(nullptr, fx);
  fx->setSourceFrame(0, solidSource({0, 0, 4, 4}, {1, 1, 1, 1}));
  fx->setFetchFault(0, th::FetchFault::Fail);
  EXPECT_TRUE(untouched(renderFailed(*fx, 0).output)) << "source";

  // The source was fetched first and must be handed back too.
  fx->setFetchFault(0, th::FetchFault::None);
  th::PropertySet *output = fx->clipProperties(kOfxImageEffectOutputClipName);
  ASSERT_NE(nullptr, output);
  ASSERT_EQ(kOfxStatOK, output->setInt(kOfxImageClipPropConnected, 0));
  EXPECT_TRUE(untouched(renderFailed(*fx, 0).output)) << "output";
}

// Both images are fetched by then; bypass does not skip the checks.
TEST_F(RenderAction, SourceWithoutDataOrOfAnotherDepthFailsAndBothImagesAreReleased) {
  MatteFolder folder;
  writeMatte(folder, 0, uniformMatte(255));
  const th::PixelDepth byte = th::PixelDepth::Byte;
  const th::PixelDepth flt = th::PixelDepth::Float;
  struct Case {
    th::PixelDepth sourceDepth;
    th::PixelDepth outputDepth;
    bool nullData;
  };
  for (const Case &c : {Case{byte, byte, true}, Case{flt, flt, true}, Case{byte, flt, false}, Case{flt, byte, false}}) {
    auto fx = instance(c.sourceDepth);
    ASSERT_NE(nullptr, fx);
    set(*fx, "session_id", folder.sessionId());
    fx->setSourceFrame(0, solidSource({0, 0, 16, 16}, {1, 1, 1, 1}, c.sourceDepth));
    if (c.nullData) fx->setFetchFault(0, th::FetchFault::NullData);
    th::RenderOptions options;
    options.outputDepth = c.outputDepth;
    for (int mode : {kModeCharacter, kModeBypass}) {
      SCOPED_TRACE(::testing::Message() << th::depthName(c.sourceDepth) << " into " << th::depthName(c.outputDepth)
                                        << (c.nullData ? ", no data" : "") << ", mode " << mode);
      setMode(*fx, mode);
      EXPECT_TRUE(untouched(renderFailed(*fx, 0, options).output));
    }
  }
}

// A host may hand an empty output without any data: there is nothing to write, and that is no failure.
TEST_F(RenderAction, EmptyOutputSucceeds) {
  MatteFolder folder;
  writeMatte(folder, 0, uniformMatte(255));
  auto fx = instance();
  ASSERT_NE(nullptr, fx);
  set(*fx, "session_id", folder.sessionId());
  fx->setSourceFrame(0, solidSource({0, 0, 4, 4}, {1, 1, 1, 1}));
  for (const OfxRectI &bounds : {OfxRectI{0, 0, 0, 4}, OfxRectI{0, 0, 4, 0}}) {
    th::RenderOptions options;
    options.outputBounds = bounds;
    renderOk(*fx, 0, options);
  }
}

}  // namespace
