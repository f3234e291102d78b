#include "Registry.h"

namespace kesto::host::detail {

namespace {
// Tokens look like aligned addresses but lie where no mapping is at the start of a 64-bit address space.
constexpr std::uintptr_t kFirstToken = 0x10000;
constexpr std::uintptr_t kTokenStep = 0x10;
}  // namespace

Registry &Registry::instance() {
  static Registry *gRegistry = new Registry();  // intentionally never destroyed
  return *gRegistry;
}

std::uintptr_t Registry::add(HandleKind kind, std::weak_ptr<void> object, std::weak_ptr<PropertySet> props) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::uintptr_t token = kFirstToken + next_ * kTokenStep;
  ++next_;
  entries_.emplace(token, Entry{kind, std::move(object), std::move(props)});
  return token;
}

void Registry::remove(std::uintptr_t token) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.erase(token);
}

std::shared_ptr<void> Registry::findObject(const void *handle, HandleKind kind) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == entries_.end() || it->second.kind != kind) {
    return nullptr;
  }
  return it->second.object.lock();
}

std::shared_ptr<PropertySet> Registry::findProperties(const void *handle) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == entries_.end()) {
    return nullptr;
  }
  return it->second.props.lock();
}

}  // namespace kesto::host::detail
