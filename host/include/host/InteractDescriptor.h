#pragma once
// A stand-alone overlay interact descriptor, like the one a host hands to an overlay's "OfxActionDescribe",
// for tests that send any action to an overlay entry with a descriptor's handle. Its property set is the
// standard's interact descriptor set: it has no "OfxPropEffectInstance".

#include <memory>

#include "host/PropertySet.h"
#include "ofxImageEffect.h"
#include "ofxInteract.h"

namespace kesto::host {

namespace detail {
class Interact;
}

class InteractDescriptor {
 public:
  InteractDescriptor();
  ~InteractDescriptor();
  InteractDescriptor(const InteractDescriptor &) = delete;
  InteractDescriptor &operator=(const InteractDescriptor &) = delete;

  OfxInteractHandle handle() const;
  PropertySet &properties() const;
  // Calls `entry` (an overlay entry point) with `action`, this descriptor's handle and no arguments, behind
  // the host's exception barrier.
  OfxStatus call(OfxPluginEntryPoint *entry, const char *action) const;

 private:
  std::shared_ptr<detail::Interact> interact_;
};

}  // namespace kesto::host
