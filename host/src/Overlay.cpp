#include "host/Overlay.h"

#include <cmath>

#include "ActionScope.h"
#include "PluginState.h"
#include "host/Args.h"

namespace kesto::host {

Overlay::Overlay(std::shared_ptr<detail::PluginState> plugin, std::shared_ptr<detail::Effect> effect,
                 std::shared_ptr<detail::Interact> interact)
    : plugin_(std::move(plugin)), effect_(effect), interact_(std::move(interact)) {}

Overlay::~Overlay() { destroy(); }

OfxInteractHandle Overlay::handle() const { return interact_->handle(); }
PropertySet &Overlay::properties() const { return interact_->props(); }
int Overlay::redrawRequests() const { return interact_->redrawRequests.load(); }

namespace {

void fill_view(PropertySet &args, const PropertySet &interact, const ViewState &view) {
  args.setPointer(kOfxPropEffectInstance, interact.getPointer(kOfxPropEffectInstance).value_or(nullptr));
  args.setDoubles(kOfxInteractPropPixelScale, {view.pixelScaleX, view.pixelScaleY});
  args.setDoubles(kOfxInteractPropBackgroundColour, {view.background[0], view.background[1], view.background[2]});
  args.setDouble(kOfxPropTime, view.time);
  args.setDoubles(kOfxImageEffectPropRenderScale, {view.renderScaleX, view.renderScaleY});
}

}  // namespace

OfxStatus Overlay::callAction(const char *action, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  auto effect = effect_.lock();
  detail::ActionScope scope(effect.get(), action == nullptr ? "" : action);
  return detail::callEntry(plugin_->overlayEntry(), action, interact_->handle(), inArgs, outArgs);
}

OfxStatus Overlay::draw(const ViewState &view) {
  interact_->props().setDoubles(kOfxInteractPropPixelScale, {view.pixelScaleX, view.pixelScaleY});
  auto args = makeArgs(ArgsKind::InteractDrawIn);
  fill_view(*args, interact_->props(), view);
  return callAction(kOfxInteractActionDraw, args->handle(), nullptr);
}

OfxStatus Overlay::pen(const char *action, const Pen &pen, const ViewState &view) {
  auto args = makeArgs(ArgsKind::InteractPenIn);
  fill_view(*args, interact_->props(), view);
  args->setDoubles(kOfxInteractPropPenPosition, {pen.x, pen.y});
  args->setInts(kOfxInteractPropPenViewportPosition, {pen.viewportX, pen.viewportY});
  args->setDouble(kOfxInteractPropPenPressure, pen.pressure);
  return callAction(action, args->handle(), nullptr);
}

namespace {
Pen pen_at(double x, double y, const ViewState &view) {
  Pen p;
  p.x = x;
  p.y = y;
  p.viewportX = static_cast<int>(std::lround(x / (view.pixelScaleX > 0.0 ? view.pixelScaleX : 1.0)));
  p.viewportY = static_cast<int>(std::lround(y / (view.pixelScaleY > 0.0 ? view.pixelScaleY : 1.0)));
  return p;
}
}  // namespace

OfxStatus Overlay::penDown(double x, double y, const ViewState &view) {
  return pen(kOfxInteractActionPenDown, pen_at(x, y, view), view);
}
OfxStatus Overlay::penMotion(double x, double y, const ViewState &view) {
  return pen(kOfxInteractActionPenMotion, pen_at(x, y, view), view);
}
OfxStatus Overlay::penUp(double x, double y, const ViewState &view) {
  return pen(kOfxInteractActionPenUp, pen_at(x, y, view), view);
}

OfxStatus Overlay::destroy() {
  if (destroyed_) {
    return kOfxStatOK;
  }
  destroyed_ = true;
  return callAction(kOfxActionDestroyInstance, nullptr, nullptr);
}

}  // namespace kesto::host
