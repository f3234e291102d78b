// The viewer overlay interact: draws the stored selection over the host's viewer and turns pen drags into
// the selection records. It keeps nothing per effect instance: the records live in the instance's hidden
// parameters; only the pen state of each interact instance is kept here, in gDrag.

#include "overlay/KestoOverlay.h"

#include <GL/gl.h>

#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "ofxImageEffect.h"
#include "ofxInteract.h"
#include "overlay/DragTable.h"
#include "overlay/OverlayGeometry.h"
#include "overlay/SelectionRecords.h"
#include "plugin/HostSuites.h"
#include "plugin/Params.h"
#include "plugin/PluginPrivate.h"

namespace kesto {
namespace {

// Values of the "select_tool" choice.
constexpr int kToolBox = 0;
constexpr int kToolBrushExclude = 2;
constexpr double kDefaultBrushSize = 0.03;

DragTable gDrag;

// What one action that passed the prologue works on.
struct OverlayContext {
  const void *interact = nullptr;
  OfxImageEffectHandle effect = nullptr;
  OfxParamHandle bboxParam = nullptr;
  OfxParamHandle brushParam = nullptr;
  Space space;
};

OfxParamHandle fetchParam(OfxImageEffectHandle effect, const char *name) {
  OfxParamSetHandle params = nullptr;
  gEffect->getParamSet(effect, &params);
  if (params == nullptr) return nullptr;
  OfxParamHandle param = nullptr;
  gParam->paramGetHandle(params, name, &param, nullptr);
  return param;
}

std::string readString(OfxParamHandle param) {
  if (param == nullptr) return {};
  char *value = nullptr;
  gParam->paramGetValue(param, &value);
  return value != nullptr ? std::string(value) : std::string();
}

void writeString(OfxParamHandle param, const std::string &value) {
  if (param == nullptr) return;
  gParam->paramSetValue(param, value.c_str());
}

Space readSpace(OfxImageEffectHandle effect) {
  double offset[2] = {0.0, 0.0};
  double size[2] = {0.0, 0.0};
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  if (props != nullptr) {
    gProp->propGetDoubleN(props, kOfxImageEffectPropProjectOffset, 2, offset);
    gProp->propGetDoubleN(props, kOfxImageEffectPropProjectSize, 2, size);
  }
  return make_space(offset, size);
}

// The effect instance the interact belongs to; null on the interact descriptor or when the host refuses.
OfxImageEffectHandle effectOfInteract(const void *interact) {
  OfxPropertySetHandle props = nullptr;
  gInteract->interactGetPropertySet(static_cast<OfxInteractHandle>(const_cast<void *>(interact)), &props);
  if (props == nullptr) return nullptr;
  void *effect = nullptr;
  gProp->propGetPointer(props, kOfxPropEffectInstance, 0, &effect);
  return static_cast<OfxImageEffectHandle>(effect);
}

template <std::size_t N>
void emit(GLenum mode, const std::array<CanonicalPoint, N> &points) {
  glBegin(mode);
  for (const CanonicalPoint &p : points) glVertex2d(p.x, p.y);
  glEnd();
}

void setColour(const OverlayColour &c) { glColor4f(c.red, c.green, c.blue, c.alpha); }

void drawBox(const Space &space, const BoxRecord &box) {
  const BoxGeometry geometry = box_geometry(space, box);
  glLineWidth(kBoxLineWidthPixels);
  setColour(kBoxColour);
  emit(GL_LINE_LOOP, geometry.outline);
  for (const auto &handle : geometry.handles) emit(GL_QUADS, handle);
}

OfxStatus onDraw(const OverlayContext &ctx) {
  // Both records are read before the first GL call, so nothing can throw between a glBegin and its glEnd.
  const std::optional<BoxRecord> box = read_box(readString(ctx.bboxParam));
  const nlohmann::json dabs = read_dab_list(readString(ctx.brushParam));
  if (box) drawBox(ctx.space, *box);
  for (const nlohmann::json &entry : dabs) {
    const std::optional<Dab> dab = dab_from_entry(entry);
    if (!dab) continue;
    setColour(dab_colour(*dab));
    emit(GL_TRIANGLE_FAN, dab_fan(ctx.space, *dab));
  }
  return kOfxStatOK;
}

// Pen-down and pen-motion: both write the record under the pen; only pen-down starts a drag.
OfxStatus onPen(const OverlayContext &ctx, OfxPropertySetHandle inArgs, bool penDown) {
  Drag drag = gDrag.current(ctx.interact);
  if (!penDown && !drag.active) return kOfxStatReplyDefault;

  double pen[2] = {0.0, 0.0};
  if (inArgs != nullptr) gProp->propGetDoubleN(inArgs, kOfxInteractPropPenPosition, 2, pen);
  const NormalisedPoint at = to_normalised(ctx.space, {pen[0], pen[1]});
  const int tool = get_int(ctx.effect, param::kSelectTool, kToolBox);
  if (penDown) drag = gDrag.penDown(ctx.interact, at);

  if (tool != kToolBox) {
    const double size = get_double(ctx.effect, param::kBrushSize, kDefaultBrushSize);
    const Dab dab{at.u, at.v, tool == kToolBrushExclude ? -size : size};
    // A full list is left exactly as it is: nothing is written.
    if (const std::optional<std::string> list = append_dab(readString(ctx.brushParam), dab)) {
      writeString(ctx.brushParam, *list);
    }
    return kOfxStatOK;
  }
  writeString(ctx.bboxParam, write_box(box_from_drag({drag.anchorX, drag.anchorY}, at)));
  return kOfxStatOK;
}

}  // namespace

OfxStatus overlayMain(const char *action, const void *handle, OfxPropertySetHandle inArgs,
                      OfxPropertySetHandle /*outArgs*/) {
  if (action == nullptr || handle == nullptr) return kOfxStatReplyDefault;
  // The interact instance is gone: its pen state must not pass to a later instance at the same address.
  if (std::strcmp(action, kOfxActionDestroyInstance) == 0) {
    gDrag.forget(handle);
    return kOfxStatReplyDefault;
  }
  // Without these suites the overlay can neither see the instance nor its records: leave it all to the host.
  if (gInteract == nullptr || !coreSuitesPresent()) return kOfxStatReplyDefault;

  OverlayContext ctx;
  ctx.interact = handle;
  ctx.effect = effectOfInteract(handle);
  if (ctx.effect == nullptr) return kOfxStatReplyDefault;
  if (get_int(ctx.effect, param::kDrawMask, 0) == 0) return kOfxStatReplyDefault;
  ctx.bboxParam = fetchParam(ctx.effect, param::kBboxJson);
  ctx.brushParam = fetchParam(ctx.effect, param::kBrushJson);
  ctx.space = readSpace(ctx.effect);

  if (std::strcmp(action, kOfxInteractActionDraw) == 0) return onDraw(ctx);
  if (std::strcmp(action, kOfxInteractActionPenDown) == 0) return onPen(ctx, inArgs, true);
  if (std::strcmp(action, kOfxInteractActionPenMotion) == 0) return onPen(ctx, inArgs, false);
  if (std::strcmp(action, kOfxInteractActionPenUp) == 0) {
    gDrag.penUp(handle);
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

}  // namespace kesto

extern "C" OfxStatus overlayEntryPoint(const char *action, const void *handle, OfxPropertySetHandle inArgs,
                                       OfxPropertySetHandle outArgs) {
  // No exception may cross into the host.
  try {
    return kesto::overlayMain(action, handle, inArgs, outArgs);
  } catch (const std::bad_alloc &) {
    return kOfxStatErrMemory;
  } catch (...) {
    return kOfxStatFailed;
  }
}
