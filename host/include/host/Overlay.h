#pragma once
// An overlay interact instance of an effect instance (Instance::createOverlay).

#include <memory>

#include "host/Expected.h"
#include "host/PropertySet.h"
#include "ofxImageEffect.h"

namespace kesto::host {

namespace detail {
class Interact;
class Effect;
struct PluginState;
}  // namespace detail

// What the viewer reports with each interact action.
struct ViewState {
  double time = 0.0;
  double pixelScaleX = 1.0;
  double pixelScaleY = 1.0;
  double renderScaleX = 1.0;
  double renderScaleY = 1.0;
  double background[3] = {0.0, 0.0, 0.0};
};

struct Pen {
  double x = 0.0;  // canonical coordinates
  double y = 0.0;
  int viewportX = 0;
  int viewportY = 0;
  double pressure = 1.0;
};

class Overlay {
 public:
  Overlay(std::shared_ptr<detail::PluginState> plugin, std::shared_ptr<detail::Effect> effect,
          std::shared_ptr<detail::Interact> interact);
  ~Overlay();  // destroys the interact instance if destroy() was not called
  Overlay(const Overlay &) = delete;
  Overlay &operator=(const Overlay &) = delete;

  OfxInteractHandle handle() const;
  PropertySet &properties() const;
  int redrawRequests() const;

  OfxStatus draw(const ViewState &view = {});
  // Pen positions in canonical coordinates; the viewport position is derived when not given.
  OfxStatus penDown(double x, double y, const ViewState &view = {});
  OfxStatus penMotion(double x, double y, const ViewState &view = {});
  OfxStatus penUp(double x, double y, const ViewState &view = {});
  OfxStatus pen(const char *action, const Pen &pen, const ViewState &view = {});
  // Any action through the overlay entry with this interact's handle.
  OfxStatus callAction(const char *action, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);
  // "OfxActionDestroyInstance" (once).
  OfxStatus destroy();

 private:
  std::shared_ptr<detail::PluginState> plugin_;
  std::weak_ptr<detail::Effect> effect_;  // the overlay does not keep a destroyed instance alive
  std::shared_ptr<detail::Interact> interact_;
  bool destroyed_ = false;
};

}  // namespace kesto::host
