// The overlay interact driven through the in-process host on the built module: replies, the records that pen
// events write, and what a draw sends to OpenGL (recorded by the GL library linked into this executable, to
// which the module's GL calls bind). The shapes themselves are checked on the geometry functions.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "glrecord/Recording.h"
#include "host/InteractDescriptor.h"
#include "tests/plugin/PluginFixture.h"

namespace {

namespace rec = kesto::glrecord;

constexpr OfxStatus kOK = kOfxStatOK;
constexpr OfxStatus kDefault = kOfxStatReplyDefault;
constexpr const char *kBox = "{\"h\":0.5,\"w\":0.25,\"x\":0.5,\"y\":0.25}";

const char *const kEveryAction[] = {
    kOfxInteractActionDraw,      kOfxInteractActionPenDown,   kOfxInteractActionPenMotion,
    kOfxInteractActionPenUp,     kOfxInteractActionKeyDown,   kOfxInteractActionKeyUp,
    kOfxInteractActionGainFocus, kOfxInteractActionLoseFocus, kOfxActionCreateInstance,
    kOfxActionDescribe,          "OfxInteractActionSomethingNew"};

// A loaded plug-in (no backend: an empty URL starts no usage beacon, so no network calls and no threads), one
// instance and one overlay on it, in a 1920 x 1080 project at offset (0, 0).
class OverlayInteract : public PluginTest {
 protected:
  void SetUp() override {
    rec::clear();
    PluginTest::SetUp();
    fx_ = makeInstance(withoutBackend());
    ASSERT_NE(fx_, nullptr);
    overlay_ = newOverlay(*fx_);
    ASSERT_NE(overlay_, nullptr);
  }

  static th::InstanceOptions withoutBackend() {
    th::InstanceOptions options;
    options.savedValues.push_back({"backend_url", std::string()});
    return options;
  }

  static std::unique_ptr<th::Overlay> newOverlay(th::Instance &fx) {
    auto made = fx.createOverlay();
    EXPECT_TRUE(made.ok()) << made.error();
    return made.ok() ? std::move(*made) : nullptr;
  }

  std::string param(const char *name) const {
    auto value = fx_->getString(name);
    return value.ok() ? *value : std::string("<unreadable>");
  }
  void set(const char *name, const std::string &text) { ASSERT_TRUE(fx_->setString(name, text).ok()); }
  void setInt(const char *name, int value) { ASSERT_TRUE(fx_->setInt(name, value).ok()); }

  // Canonical position of a normalised point in the project.
  static double cx(double u) { return u * 1920.0; }
  static double cy(double v) { return (1.0 - v) * 1080.0; }

  std::unique_ptr<th::Instance> fx_;
  std::unique_ptr<th::Overlay> overlay_;
};

// Where the overlay may not work, every action gets the default reply, nothing is drawn and no record changes.
TEST_F(OverlayInteract, EveryActionRepliesDefaultWhereTheOverlayMayNotWork) {
  set("bbox_json", kBox);
  set("brush_json", "[[0.5,0.5,0.03]]");
  OfxPluginEntryPoint *entry = loaded_.plugin->overlayEntry();
  ASSERT_NE(entry, nullptr);
  const th::InteractDescriptor descriptor;  // has no effect instance
  auto noEffect = newOverlay(*fx_);
  ASSERT_EQ(noEffect->properties().setPointer(kOfxPropEffectInstance, nullptr), kOK);
  th::HostOptions bare;
  bare.withheldSuites = {kOfxInteractSuite};
  th::Host bareHost(bare);
  const th::LoadResult bareLoaded = bareHost.load(TREVANE_BUNDLE_DIR);
  ASSERT_TRUE(bareLoaded.ok()) << bareLoaded.error;
  auto bareFx = bareLoaded.plugin->createInstance(withoutBackend());
  ASSERT_TRUE(bareFx.ok()) << bareFx.error();
  auto bareOverlay = newOverlay(**bareFx);

  const struct {
    const char *where;
    int drawMask;
    std::function<OfxStatus(const char *)> call;
  } callers[] = {
      {"no handle", 1, [&](const char *a) { return entry(a, nullptr, nullptr, nullptr); }},
      {"the descriptor", 1, [&](const char *a) { return descriptor.call(entry, a); }},
      {"a null effect instance", 1, [&](const char *a) { return noEffect->callAction(a, nullptr, nullptr); }},
      {"no interact suite", 1, [&](const char *a) { return bareOverlay->callAction(a, nullptr, nullptr); }},
      {"draw_mask off", 0, [&](const char *a) { return overlay_->callAction(a, nullptr, nullptr); }},
  };
  for (const auto &c : callers) {
    setInt("draw_mask", c.drawMask);
    for (const char *action : kEveryAction) EXPECT_EQ(c.call(action), kDefault) << c.where << ": " << action;
  }
  EXPECT_EQ(entry(nullptr, nullptr, nullptr, nullptr), kDefault);
  EXPECT_EQ(bareOverlay->penDown(cx(0.1), cy(0.1)), kDefault);
  EXPECT_EQ(param("bbox_json"), kBox);
  EXPECT_EQ(param("brush_json"), "[[0.5,0.5,0.03]]");
  EXPECT_EQ(*(*bareFx)->getString("bbox_json"), "");
  EXPECT_TRUE(rec::primitives().empty()) << rec::describe(rec::primitives());
}

// A pen session, one event per row, and both records after it. Tool 0 draws boxes, 1 adds dabs, 2 excludes.
TEST_F(OverlayInteract, PenEventsWriteTheRecords) {
  enum Event { Down, Motion, Up, NoPenDown, Tool, Key };
  const struct {
    Event event;
    double u, v;  // the normalised pen position; Tool: the tool in u, the brush size in v
    OfxStatus reply;
    const char *bbox;   // null: as in the row before
    const char *brush;  // null: as in the row before
  } steps[] = {
      {Motion, 0.5, 0.5, kDefault, "", "[]"},  // no drag yet
      {Up, 0.5, 0.5, kOK, nullptr, nullptr},
      {Down, 0.75, 0.25, kOK, "{\"h\":0.0,\"w\":0.0,\"x\":0.75,\"y\":0.25}", nullptr},  // a zero box: no box
      {Motion, 0.5, 0.5, kOK, "{\"h\":0.25,\"w\":0.25,\"x\":0.5,\"y\":0.25}", nullptr},
      {Motion, 0.5, 0.75, kOK, kBox, nullptr},
      {Key, 0, 0, kDefault, nullptr, nullptr},
      {Up, 0.9, 0.9, kOK, nullptr, nullptr},  // pen-up writes nothing
      {Motion, 0.7, 0.7, kDefault, nullptr, nullptr},  // the drag ended
      {Down, 0.25, 0.75, kOK, "{\"h\":0.0,\"w\":0.0,\"x\":0.25,\"y\":0.75}", nullptr},
      {Down, 0.125, 0.5, kOK, "{\"h\":0.0,\"w\":0.0,\"x\":0.125,\"y\":0.5}", nullptr},  // re-anchors
      {NoPenDown, 0, 0, kOK, "{\"h\":0.0,\"w\":0.0,\"x\":0.0,\"y\":1.0}", nullptr},  // the origin, re-anchored
      {Tool, 1, 0.03, kOK, nullptr, nullptr},
      {Down, 0.75, 0.25, kOK, nullptr, "[[0.75,0.25,0.03]]"},
      {Motion, 0.5, 0.25, kOK, nullptr, "[[0.75,0.25,0.03],[0.5,0.25,0.03]]"},
      {Tool, 0, 0.03, kOK, nullptr, nullptr},  // mid-drag: the box spans from the brush's anchor
      {Motion, 0.5, 0.5, kOK, "{\"h\":0.25,\"w\":0.25,\"x\":0.5,\"y\":0.25}", nullptr},
      {Up, 0.5, 0.5, kOK, nullptr, nullptr},
      {Tool, 2, 0.05, kOK, nullptr, nullptr},
      {Down, 0.25, 0.5, kOK, nullptr, "[[0.75,0.25,0.03],[0.5,0.25,0.03],[0.25,0.5,-0.05]]"},
  };
  std::string bbox, brush;
  int row = 0;
  for (const auto &s : steps) {
    ++row;
    const double x = cx(s.u), y = cy(s.v);
    OfxStatus reply = kOK;
    switch (s.event) {
      case Down: reply = overlay_->penDown(x, y); break;
      case Motion: reply = overlay_->penMotion(x, y); break;
      case Up: reply = overlay_->penUp(x, y); break;
      case NoPenDown: reply = overlay_->callAction(kOfxInteractActionPenDown, nullptr, nullptr); break;
      case Key: reply = overlay_->callAction(kOfxInteractActionKeyRepeat, nullptr, nullptr); break;
      case Tool:
        setInt("select_tool", static_cast<int>(s.u));
        ASSERT_TRUE(fx_->setDouble("brush_size", s.v).ok());
        break;
    }
    bbox = s.bbox ? s.bbox : bbox;
    brush = s.brush ? s.brush : brush;
    EXPECT_EQ(reply, s.reply) << "row " << row;
    EXPECT_EQ(param("bbox_json"), bbox) << "row " << row;
    EXPECT_EQ(param("brush_json"), brush) << "row " << row;
  }
}

// The project offset and size place both the pen (clamped to the project) and the drawing: outline, four
// handles, then the dabs in list order; an absent box draws nothing of its own.
TEST_F(OverlayInteract, DrawSendsTheBoxThenTheDabsWherePenAndProjectPlaceThem) {
  fx_->setProjectOffset(100.0, 50.0);
  fx_->setProjectSize(1000.0, 500.0);
  ASSERT_EQ(overlay_->penDown(20.0, -300.0), kOK);  // (0, 1) in the project
  ASSERT_EQ(overlay_->penMotion(600.0, 300.0), kOK);
  EXPECT_EQ(param("bbox_json"), "{\"h\":0.5,\"w\":0.5,\"x\":0.0,\"y\":0.5}");
  set("bbox_json", "{\"x\":0.1,\"y\":0.1,\"w\":0,\"h\":0.5}");
  set("brush_json", "[[0.5,0.25,0.03],[0.2,0.8,-0.05]]");
  ASSERT_EQ(overlay_->draw(), kOK);
  EXPECT_EQ(rec::takePrimitives().size(), 2u);
  set("bbox_json", kBox);
  ASSERT_EQ(overlay_->draw(), kOK);
  const auto list = rec::primitives();
  ASSERT_EQ(list.size(), 7u) << rec::describe(list);
  EXPECT_EQ(rec::misuseCount(), 0u);
  constexpr rec::Colour kOrange{0.902f, 0.616f, 0.153f, 1.0f};
  const auto rgba = [](const rec::Colour &c) { return std::vector<float>{c.red, c.green, c.blue, c.alpha}; };
  // The box's corners are canonical (600, 425) top-left and (850, 175) bottom-right; each handle's first
  // vertex is 5 below and left of its corner; the shapes themselves: the geometry tests.
  const struct {
    rec::Mode mode;
    rec::Colour colour;
    double x, y;  // the first vertex
  } expected[] = {
      {rec::Mode::LineLoop, kOrange, 600, 425}, {rec::Mode::Quads, kOrange, 595, 420},
      {rec::Mode::Quads, kOrange, 595, 170},    {rec::Mode::Quads, kOrange, 845, 420},
      {rec::Mode::Quads, kOrange, 845, 170},    {rec::Mode::TriangleFan, {0.0f, 0.898f, 1.0f, 0.35f}, 600, 425},
      {rec::Mode::TriangleFan, {1.0f, 0.271f, 0.227f, 0.35f}, 300, 150},
  };
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].mode, expected[i].mode) << i;
    EXPECT_EQ(rgba(list[i].colour), rgba(expected[i].colour)) << i;
    ASSERT_FALSE(list[i].vertices.empty()) << i;
    EXPECT_DOUBLE_EQ(list[i].vertices[0].x, expected[i].x) << i;
    EXPECT_DOUBLE_EQ(list[i].vertices[0].y, expected[i].y) << i;
  }
  EXPECT_EQ(list[0].lineWidth, 1.5f);
}

// Two overlays dragging and drawing at once (for the thread sanitizer) keep their own drags and primitives;
// then one's drag does not move the other, and the destroy action drops the interact's pen state, whatever
// the host does with the handle afterwards.
TEST_F(OverlayInteract, EachOverlayHasItsOwnDragOnAnyThreadAndDestroyDropsIt) {
  auto second = newOverlay(*fx_);
  int failures[2] = {0, 0};
  const auto drag = [&](th::Overlay &overlay, double u, int &failed) {
    for (int round = 0; round < 20; ++round) {
      failed += overlay.penDown(cx(u), cy(0.5)) != kOK || overlay.penMotion(cx(0.9), cy(0.5)) != kOK ||
                overlay.draw() != kOK || overlay.penUp(cx(0.9), cy(0.5)) != kOK;
    }
  };
  std::thread other(drag, std::ref(*second), 0.2, std::ref(failures[1]));
  drag(*overlay_, 0.1, failures[0]);
  other.join();
  EXPECT_EQ(failures[0] + failures[1], 0);
  EXPECT_EQ(rec::misuseCount(), 0u);
  const std::string box = param("bbox_json");  // the last written, from either anchor to (0.9, 0.5)
  EXPECT_TRUE(box == "{\"h\":0.0,\"w\":0.8,\"x\":0.1,\"y\":0.5}" ||
              box == "{\"h\":0.0,\"w\":0.7,\"x\":0.2,\"y\":0.5}") << box;
  for (const rec::Primitive &p : rec::primitives()) EXPECT_EQ(p.vertices.size(), 4u) << rec::modeName(p.mode);
  ASSERT_EQ(overlay_->penDown(cx(0.75), cy(0.25)), kOK);
  EXPECT_EQ(second->penMotion(cx(0.5), cy(0.5)), kDefault);
  EXPECT_EQ(overlay_->callAction(kOfxActionDestroyInstance, nullptr, nullptr), kDefault);
  EXPECT_EQ(overlay_->penMotion(cx(0.1), cy(0.1)), kDefault);
  ASSERT_EQ(second->penDown(cx(0.75), cy(0.25)), kOK);
  ASSERT_EQ(second->destroy(), kDefault);
  second = newOverlay(*fx_);
  EXPECT_EQ(second->penMotion(cx(0.1), cy(0.1)), kDefault);
}

}  // namespace
