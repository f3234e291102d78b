#include "host/InteractDescriptor.h"

#include "ActionScope.h"
#include "Objects.h"

namespace kesto::host {

InteractDescriptor::InteractDescriptor() : interact_(detail::Interact::create(false)) {}

InteractDescriptor::~InteractDescriptor() = default;

OfxInteractHandle InteractDescriptor::handle() const { return interact_->handle(); }

PropertySet &InteractDescriptor::properties() const { return interact_->props(); }

OfxStatus InteractDescriptor::call(OfxPluginEntryPoint *entry, const char *action) const {
  return detail::callEntry(entry, action, interact_->handle(), nullptr, nullptr);
}

}  // namespace kesto::host
