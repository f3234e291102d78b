// The overlay interact driven through the in-process host on the built module: replies, the records that pen
// drags write, and what a draw sends to OpenGL (recorded by the GL library linked into this executable, to
// which the module's GL calls bind).

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "glrecord/Recording.h"
#include "host/Host.h"
#include "host/InteractDescriptor.h"

namespace {

namespace th = kesto::host;
namespace rec = kesto::glrecord;

constexpr OfxStatus kDefault = kOfxStatReplyDefault;

const char *const kEveryAction[] = {
    kOfxInteractActionDraw,      kOfxInteractActionPenDown,   kOfxInteractActionPenMotion,
    kOfxInteractActionPenUp,     kOfxInteractActionKeyDown,   kOfxInteractActionKeyUp,
    kOfxInteractActionGainFocus, kOfxInteractActionLoseFocus, kOfxActionCreateInstance,
    kOfxActionDescribe,          "OfxInteractActionSomethingNew"};

// No backend: an empty URL starts no usage beacon, so the tests make no network calls and leave no threads.
th::InstanceOptions quietInstance() {
  th::InstanceOptions options;
  options.savedValues.push_back({"backend_url", std::string()});
  return options;
}

// A loaded plug-in, one instance and one overlay on it; project 1920 x 1080 at offset (0, 0) unless a test
// changes it.
class OverlayInteract : public ::testing::Test {
 protected:
  explicit OverlayInteract(th::HostOptions options = {}) : host_(std::move(options)) {}

  void SetUp() override {
    rec::clear();
    loaded_ = host_.load(TREVANE_BUNDLE_DIR);
    ASSERT_TRUE(loaded_.ok()) << loaded_.error;
    auto made = loaded_.plugin->createInstance(quietInstance());
    ASSERT_TRUE(made.ok()) << made.error();
    fx_ = std::move(*made);
    overlay_ = newOverlay();
    ASSERT_NE(overlay_, nullptr);
  }

  void TearDown() override {
    overlay_.reset();
    fx_.reset();
    rec::clear();
  }

  std::unique_ptr<th::Overlay> newOverlay() {
    auto made = fx_->createOverlay();
    EXPECT_TRUE(made.ok()) << made.error();
    return made.ok() ? std::move(*made) : nullptr;
  }

  std::string param(const char *name) const {
    auto value = fx_->getString(name);
    EXPECT_TRUE(value.ok()) << value.error();
    return value.ok() ? *value : std::string("<unreadable>");
  }

  void set(const char *name, const std::string &text) { ASSERT_TRUE(fx_->setString(name, text).ok()); }
  void setInt(const char *name, int value) { ASSERT_TRUE(fx_->setInt(name, value).ok()); }
  void setDouble(const char *name, double value) { ASSERT_TRUE(fx_->setDouble(name, value).ok()); }

  // Canonical position of a normalised point in the 1920 x 1080 project.
  static double cx(double u) { return u * 1920.0; }
  static double cy(double v) { return (1.0 - v) * 1080.0; }

  th::Host host_;
  th::LoadResult loaded_;
  std::unique_ptr<th::Instance> fx_;
  std::unique_ptr<th::Overlay> overlay_;
};

constexpr const char *kBox = "{\"h\":0.5,\"w\":0.25,\"x\":0.5,\"y\":0.25}";

void expectVertex(const rec::Primitive &p, std::size_t i, double x, double y) {
  ASSERT_LT(i, p.vertices.size());
  EXPECT_DOUBLE_EQ(p.vertices[i].x, x) << "vertex " << i;
  EXPECT_DOUBLE_EQ(p.vertices[i].y, y) << "vertex " << i;
}

void expectColour(const rec::Primitive &p, float red, float green, float blue, float alpha) {
  EXPECT_EQ(p.colour.red, red);
  EXPECT_EQ(p.colour.green, green);
  EXPECT_EQ(p.colour.blue, blue);
  EXPECT_EQ(p.colour.alpha, alpha);
}

// Prologue: without an effect instance to work on, every action gets the default reply and nothing is drawn.

TEST_F(OverlayInteract, WithoutAnEffectInstanceEveryActionRepliesDefault) {
  OfxPluginEntryPoint *entry = loaded_.plugin->overlayEntry();
  ASSERT_NE(entry, nullptr);
  for (const char *action : kEveryAction) EXPECT_EQ(entry(action, nullptr, nullptr, nullptr), kDefault) << action;
  EXPECT_EQ(entry(nullptr, nullptr, nullptr, nullptr), kDefault);

  // The interact descriptor: draw_mask is on (its default) and an instance exists, yet the descriptor has none.
  ASSERT_EQ(*fx_->getInt("draw_mask"), 1);
  const th::InteractDescriptor descriptor;
  EXPECT_FALSE(descriptor.properties().getPointer(kOfxPropEffectInstance).has_value());
  for (const char *action : kEveryAction) EXPECT_EQ(descriptor.call(entry, action), kDefault) << action;

  // An interact whose effect instance the host reports as null.
  ASSERT_EQ(overlay_->properties().setPointer(kOfxPropEffectInstance, nullptr), kOfxStatOK);
  for (const char *action : kEveryAction) EXPECT_EQ(overlay_->callAction(action, nullptr, nullptr), kDefault) << action;
  EXPECT_EQ(overlay_->penDown(cx(0.5), cy(0.5)), kDefault);
  EXPECT_EQ(param("bbox_json"), "");
  EXPECT_TRUE(rec::primitives().empty());
}

TEST_F(OverlayInteract, DrawMaskOffRepliesDefaultAndChangesNothing) {
  set("bbox_json", kBox);
  set("brush_json", "[[0.5,0.5,0.03]]");
  setInt("draw_mask", 0);
  for (int tool : {1, 0}) {
    setInt("select_tool", tool);
    for (const char *action : kEveryAction) {
      EXPECT_EQ(overlay_->callAction(action, nullptr, nullptr), kDefault) << action;
    }
    EXPECT_EQ(overlay_->penDown(cx(0.1), cy(0.1)), kDefault);
    EXPECT_EQ(overlay_->penMotion(cx(0.2), cy(0.2)), kDefault);
  }
  EXPECT_EQ(param("bbox_json"), kBox);
  EXPECT_EQ(param("brush_json"), "[[0.5,0.5,0.03]]");
  EXPECT_TRUE(rec::primitives().empty()) << rec::describe(rec::primitives());
}

TEST_F(OverlayInteract, RepliesFollowTheActionTableAndMotionWithoutADragWritesNothing) {
  EXPECT_EQ(overlay_->draw(), kOfxStatOK);
  for (int tool : {1, 0}) {
    setInt("select_tool", tool);
    EXPECT_EQ(overlay_->penMotion(cx(0.5), cy(0.5)), kDefault) << "no drag yet, tool " << tool;
  }
  EXPECT_EQ(param("bbox_json"), "");
  EXPECT_EQ(param("brush_json"), "[]");
  EXPECT_EQ(overlay_->penUp(cx(0.5), cy(0.5)), kOfxStatOK);  // pen-up without a drag
  EXPECT_EQ(overlay_->penDown(cx(0.5), cy(0.5)), kOfxStatOK);
  EXPECT_EQ(overlay_->penMotion(cx(0.6), cy(0.6)), kOfxStatOK);
  EXPECT_EQ(overlay_->penUp(cx(0.6), cy(0.6)), kOfxStatOK);
  EXPECT_EQ(overlay_->penMotion(cx(0.7), cy(0.7)), kDefault);  // the drag ended
  for (const char *action : {kOfxInteractActionKeyDown, kOfxInteractActionKeyUp, kOfxInteractActionKeyRepeat,
                             kOfxInteractActionGainFocus, kOfxInteractActionLoseFocus, kOfxActionCreateInstance,
                             kOfxActionDescribe}) {
    EXPECT_EQ(overlay_->callAction(action, nullptr, nullptr), kDefault) << action;
  }
}

TEST_F(OverlayInteract, WithoutTheInteractSuiteEveryActionGetsTheDefault) {
  th::HostOptions options;
  options.withheldSuites = {kOfxInteractSuite};
  th::Host bare(options);
  auto loaded = bare.load(TREVANE_BUNDLE_DIR);
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  auto made = loaded.plugin->createInstance(quietInstance());
  ASSERT_TRUE(made.ok()) << made.error();
  th::Instance &fx = **made;
  ASSERT_TRUE(fx.setString("bbox_json", kBox).ok());
  auto overlay = fx.createOverlay();
  ASSERT_TRUE(overlay.ok()) << overlay.error();
  for (const char *action : kEveryAction) {
    EXPECT_EQ((*overlay)->callAction(action, nullptr, nullptr), kDefault) << action;
  }
  EXPECT_EQ((*overlay)->draw(), kDefault);
  EXPECT_EQ((*overlay)->penDown(cx(0.1), cy(0.1)), kDefault);
  EXPECT_EQ((*overlay)->penMotion(cx(0.2), cy(0.2)), kDefault);
  EXPECT_EQ((*overlay)->penUp(cx(0.2), cy(0.2)), kDefault);
  EXPECT_EQ(*fx.getString("bbox_json"), kBox);
  EXPECT_TRUE(rec::primitives().empty());
  EXPECT_EQ((*overlay)->destroy(), kDefault);
}

// Box drags

TEST_F(OverlayInteract, BoxDragWritesTheRecordLive) {
  ASSERT_EQ(overlay_->penDown(cx(0.75), cy(0.25)), kOfxStatOK);
  // A pen-down alone leaves a zero box at the pen, which counts as no box.
  EXPECT_EQ(param("bbox_json"), "{\"h\":0.0,\"w\":0.0,\"x\":0.75,\"y\":0.25}");
  ASSERT_EQ(overlay_->penMotion(cx(0.5), cy(0.5)), kOfxStatOK);
  EXPECT_EQ(param("bbox_json"), "{\"h\":0.25,\"w\":0.25,\"x\":0.5,\"y\":0.25}");
  ASSERT_EQ(overlay_->penMotion(cx(0.5), cy(0.75)), kOfxStatOK);
  EXPECT_EQ(param("bbox_json"), kBox);
  // Pen-up writes nothing, and the brush list is untouched by box drags.
  ASSERT_EQ(overlay_->penUp(cx(0.9), cy(0.9)), kOfxStatOK);
  EXPECT_EQ(param("bbox_json"), kBox);
  EXPECT_EQ(param("brush_json"), "[]");
  // A new pen-down replaces the box.
  ASSERT_EQ(overlay_->penDown(cx(0.125), cy(0.5)), kOfxStatOK);
  EXPECT_EQ(param("bbox_json"), "{\"h\":0.0,\"w\":0.0,\"x\":0.125,\"y\":0.5}");
}

// The project offset and size place both the pen and the drawing; pens outside the project are clamped.
TEST_F(OverlayInteract, ProjectOffsetAndSizePlaceThePenAndTheDrawing) {
  fx_->setProjectOffset(100.0, 50.0);
  fx_->setProjectSize(1000.0, 500.0);
  // Left of and below the project rectangle, then right of and above it.
  ASSERT_EQ(overlay_->penDown(20.0, -300.0), kOfxStatOK);
  ASSERT_EQ(overlay_->penMotion(4000.0, 900.0), kOfxStatOK);
  EXPECT_EQ(param("bbox_json"), "{\"h\":1.0,\"w\":1.0,\"x\":0.0,\"y\":0.0}");
  ASSERT_EQ(overlay_->penMotion(600.0, 300.0), kOfxStatOK);
  EXPECT_EQ(param("bbox_json"), "{\"h\":0.5,\"w\":0.5,\"x\":0.0,\"y\":0.5}");
  set("brush_json", "[[0.5,0.25,0.03]]");
  ASSERT_EQ(overlay_->draw(), kOfxStatOK);
  const auto list = rec::primitives();
  ASSERT_EQ(list.size(), 6u) << rec::describe(list);
  expectVertex(list[0], 0, 100.0, 300.0);  // the box's top-left corner
  expectVertex(list[5], 0, 600.0, 425.0);  // the dab's centre and rim: radius 0.03 x width
  expectVertex(list[5], 1, 630.0, 425.0);
}

TEST_F(OverlayInteract, MissingPenPositionReadsAsTheOrigin) {
  ASSERT_EQ(overlay_->callAction(kOfxInteractActionPenDown, nullptr, nullptr), kOfxStatOK);
  EXPECT_EQ(param("bbox_json"), "{\"h\":0.0,\"w\":0.0,\"x\":0.0,\"y\":1.0}");
}

TEST_F(OverlayInteract, EachOverlayHasItsOwnDrag) {
  auto second = newOverlay();
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(overlay_->penDown(cx(0.75), cy(0.25)), kOfxStatOK);
  EXPECT_EQ(second->penMotion(cx(0.5), cy(0.5)), kDefault);
  EXPECT_EQ(overlay_->penMotion(cx(0.5), cy(0.5)), kOfxStatOK);
  EXPECT_EQ(param("bbox_json"), "{\"h\":0.25,\"w\":0.25,\"x\":0.5,\"y\":0.25}");
  // A destroyed overlay's drag does not pass to the next one.
  ASSERT_EQ(overlay_->destroy(), kDefault);
  overlay_ = newOverlay();
  ASSERT_NE(overlay_, nullptr);
  EXPECT_EQ(overlay_->penMotion(cx(0.1), cy(0.1)), kDefault);
  EXPECT_EQ(param("bbox_json"), "{\"h\":0.25,\"w\":0.25,\"x\":0.5,\"y\":0.25}");
  // The destroy action drops the interact's pen state, whatever the host does with the handle afterwards.
  ASSERT_EQ(second->penDown(cx(0.75), cy(0.25)), kOfxStatOK);
  EXPECT_EQ(second->callAction(kOfxActionDestroyInstance, nullptr, nullptr), kDefault);
  EXPECT_EQ(second->penMotion(cx(0.1), cy(0.1)), kDefault);
}

TEST_F(OverlayInteract, ToolChangeDuringADragKeepsTheAnchor) {
  setInt("select_tool", 1);
  ASSERT_EQ(overlay_->penDown(cx(0.75), cy(0.25)), kOfxStatOK);
  setInt("select_tool", 0);
  ASSERT_EQ(overlay_->penMotion(cx(0.5), cy(0.5)), kOfxStatOK);
  EXPECT_EQ(param("bbox_json"), "{\"h\":0.25,\"w\":0.25,\"x\":0.5,\"y\":0.25}");
  EXPECT_EQ(param("brush_json"), "[[0.75,0.25,0.03]]");
}

// Brush drags

TEST_F(OverlayInteract, BrushDragAppendsOneDabPerEvent) {
  setInt("select_tool", 1);
  ASSERT_EQ(overlay_->penDown(960.0, 810.0), kOfxStatOK);
  EXPECT_EQ(param("brush_json"), "[[0.5,0.25,0.03]]");
  ASSERT_EQ(overlay_->penMotion(cx(0.75), cy(0.5)), kOfxStatOK);
  EXPECT_EQ(param("brush_json"), "[[0.5,0.25,0.03],[0.75,0.5,0.03]]");
  ASSERT_EQ(overlay_->penUp(cx(0.75), cy(0.5)), kOfxStatOK);
  EXPECT_EQ(param("brush_json"), "[[0.5,0.25,0.03],[0.75,0.5,0.03]]");

  setInt("select_tool", 2);
  setDouble("brush_size", 0.05);
  ASSERT_EQ(overlay_->penDown(cx(0.25), cy(0.5)), kOfxStatOK);
  EXPECT_EQ(param("brush_json"), "[[0.5,0.25,0.03],[0.75,0.5,0.03],[0.25,0.5,-0.05]]");
  EXPECT_EQ(param("bbox_json"), "");
}

TEST_F(OverlayInteract, FullDabListStaysByteForByte) {
  setInt("select_tool", 1);
  std::string full = "[[0.25, 0.75, 0.03]";  // spaced: any rewrite would show
  for (int i = 1; i < 2048; ++i) full += ",  [0.25, 0.75, 0.03]";
  full += "]";
  set("brush_json", full);
  EXPECT_EQ(overlay_->penDown(cx(0.5), cy(0.5)), kOfxStatOK);
  EXPECT_EQ(overlay_->penMotion(cx(0.6), cy(0.5)), kOfxStatOK);
  EXPECT_EQ(param("brush_json"), full);
}

// Undrawable entries are skipped in the drawing and kept in the text when a dab is appended.
TEST_F(OverlayInteract, UndrawableDabsAreSkippedAndKept) {
  setInt("select_tool", 1);
  const std::string text = "[[0.5,\"0.5\",0.03],[true,0.5,0.03],[0.5,0.5,null],{\"x\":1},7,[0.5,0.5],"
                           "[0.4,0.6,0.02,\"x\"]]";
  set("brush_json", text);
  ASSERT_EQ(overlay_->draw(), kOfxStatOK);
  const auto list = rec::takePrimitives();
  ASSERT_EQ(list.size(), 1u) << rec::describe(list);
  EXPECT_DOUBLE_EQ(list[0].vertices[0].x, 0.4 * 1920.0);
  ASSERT_EQ(overlay_->penDown(cx(0.5), cy(0.25)), kOfxStatOK);
  EXPECT_EQ(param("brush_json"), text.substr(0, text.size() - 1) + ",[0.5,0.25,0.03]]");
}

// Drawing

TEST_F(OverlayInteract, DrawSendsTheBoxThenTheDabs) {
  set("bbox_json", kBox);
  set("brush_json", "[[0.5,0.25,0.03],[0.2,0.8,-0.05]]");
  ASSERT_EQ(overlay_->draw(), kOfxStatOK);
  const auto list = rec::primitives();
  ASSERT_EQ(list.size(), 7u) << rec::describe(list);
  EXPECT_EQ(rec::misuseCount(), 0u);

  // Outline from A = (960, 810) to B = (1440, 270), 1.5 wide, then 10 x 10 handles at A, (Ax, By), (Bx, Ay), B
  // (the shapes themselves are checked on the geometry functions).
  EXPECT_EQ(list[0].mode, rec::Mode::LineLoop);
  EXPECT_EQ(list[0].lineWidth, 1.5f);
  expectColour(list[0], 0.902f, 0.616f, 0.153f, 1.0f);
  EXPECT_EQ(list[0].vertices.size(), 4u);
  expectVertex(list[0], 0, 960, 810);
  expectVertex(list[0], 2, 1440, 270);
  for (std::size_t h = 1; h <= 4; ++h) EXPECT_EQ(list[h].mode, rec::Mode::Quads);
  expectColour(list[4], 0.902f, 0.616f, 0.153f, 1.0f);
  expectVertex(list[4], 0, 1440 - 5, 270 - 5);
  // An add dab, then an exclude dab: discs of radius r x width about their centres.
  for (std::size_t d : {5, 6}) {
    EXPECT_EQ(list[d].mode, rec::Mode::TriangleFan);
    EXPECT_EQ(list[d].vertices.size(), 22u);
  }
  expectColour(list[5], 0.0f, 0.898f, 1.0f, 0.35f);
  expectVertex(list[5], 0, 960.0, 810.0);
  expectVertex(list[5], 1, 960.0 + 57.6, 810.0);
  expectColour(list[6], 1.0f, 0.271f, 0.227f, 0.35f);
  expectVertex(list[6], 0, 0.2 * 1920.0, 0.2 * 1080.0);
  expectVertex(list[6], 1, 0.2 * 1920.0 + 0.05 * 1920.0, 0.2 * 1080.0);
}

// The presence rules themselves are the record functions'; here only that the draw follows them.
TEST_F(OverlayInteract, OnlyPresentBoxesAreDrawn) {
  set("bbox_json", "{\"x\":0.1,\"y\":0.1,\"w\":0,\"h\":0.5}");
  EXPECT_EQ(overlay_->draw(), kOfxStatOK);
  EXPECT_TRUE(rec::primitives().empty()) << rec::describe(rec::primitives());
  set("bbox_json", "{\"w\":0.5}");  // an absent member reads as 0: a box from the top-left corner
  ASSERT_EQ(overlay_->draw(), kOfxStatOK);
  const auto list = rec::primitives();
  ASSERT_EQ(list.size(), 5u) << rec::describe(list);
  expectVertex(list[0], 2, 960.0, 1080.0);
}

TEST_F(OverlayInteract, OverlaysOnSeveralThreadsKeepTheirOwnDrags) {
  std::vector<std::unique_ptr<th::Overlay>> overlays;
  for (int i = 0; i < 3; ++i) overlays.push_back(newOverlay());
  std::vector<std::thread> threads;
  std::vector<int> failures(overlays.size(), 0);
  for (std::size_t i = 0; i < overlays.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 50; ++round) {
        failures[i] += overlays[i]->penDown(cx(0.1 * static_cast<double>(i + 1)), cy(0.5)) != kOfxStatOK;
        failures[i] += overlays[i]->penMotion(cx(0.9), cy(0.5)) != kOfxStatOK;
        failures[i] += overlays[i]->draw() != kOfxStatOK;
        failures[i] += overlays[i]->penUp(cx(0.9), cy(0.5)) != kOfxStatOK;
        failures[i] += overlays[i]->penMotion(cx(0.9), cy(0.5)) != kDefault;
      }
    });
  }
  for (auto &thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);
  EXPECT_EQ(rec::misuseCount(), 0u);
  // The last box written spans from one of the anchors to (0.9, 0.5).
  const std::string box = param("bbox_json");
  EXPECT_EQ(box.compare(0, 13, "{\"h\":0.0,\"w\":"), 0) << box;
  EXPECT_NE(box.find("\"y\":0.5}"), std::string::npos) << box;
  // Draws on different threads never mix their primitives.
  for (const rec::Primitive &p : rec::primitives()) {
    EXPECT_TRUE(p.mode == rec::Mode::LineLoop || p.mode == rec::Mode::Quads) << rec::modeName(p.mode);
    EXPECT_EQ(p.vertices.size(), 4u);
  }
}

}  // namespace
