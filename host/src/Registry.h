#pragma once
// Live-handle registry. Every handle the host gives a plug-in is an opaque token, never reused, that maps
// to the object it names while that object lives. A stale, garbage or wrong-kind handle therefore yields
// kOfxStatErrBadHandle instead of touching freed memory, and a lookup keeps the object alive for the whole
// suite call even if another thread destroys its owner meanwhile.

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "host/PropertySet.h"

namespace kesto::host::detail {

enum class HandleKind : int { PropertySet, Image, HostProperties, Effect, Clip, ParamSet, Param, Interact, Memory };

class Registry {
 public:
  // Process-wide; never destroyed, so detached plug-in threads may call suites until the process ends.
  static Registry &instance();

  std::uintptr_t add(HandleKind kind, std::weak_ptr<void> object, std::weak_ptr<PropertySet> props = {});
  void remove(std::uintptr_t token);

  template <class T>
  std::shared_ptr<T> find(const void *handle, HandleKind kind) const {
    std::shared_ptr<void> object = findObject(handle, kind);
    return std::static_pointer_cast<T>(object);
  }
  // The property set behind any handle that is one (plain sets, images, the host's set).
  std::shared_ptr<PropertySet> findProperties(const void *handle) const;

 private:
  struct Entry {
    HandleKind kind;
    std::weak_ptr<void> object;
    std::weak_ptr<PropertySet> props;
  };
  std::shared_ptr<void> findObject(const void *handle, HandleKind kind) const;

  mutable std::mutex mu_;
  std::unordered_map<std::uintptr_t, Entry> entries_;
  std::uintptr_t next_ = 0;
};

template <class Handle>
Handle to_handle(std::uintptr_t token) {
  return reinterpret_cast<Handle>(token);  // NOLINT: opaque token, never dereferenced
}

}  // namespace kesto::host::detail
