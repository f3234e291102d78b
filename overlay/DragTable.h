#pragma once
// Folder-private: the pen state of every overlay interact instance, keyed by the interact handle's address.
// Hosts may send interact actions from more than one thread, so every operation takes the table's lock.

#include <cstddef>
#include <map>
#include <mutex>

#include "overlay/SelectionRecords.h"

namespace kesto {

// Pen state of one interact instance. A new one is idle with the anchor at (0, 0).
struct Drag {
  bool active = false;
  double anchorX = 0.0;
  double anchorY = 0.0;
};

class DragTable {
 public:
  // Starts (or re-anchors) the drag of `interact` at `anchor`; returns the new state.
  Drag penDown(const void *interact, NormalisedPoint anchor);
  // The state of `interact`, made (idle) when it has none yet.
  Drag current(const void *interact);
  // Ends any drag of `interact`, making its entry when it has none yet.
  void penUp(const void *interact);
  // Drops the entry of an interact instance that the host destroyed, so that a new instance that happens to
  // get the same address starts idle.
  void forget(const void *interact);
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::map<const void *, Drag> drags_;
};

}  // namespace kesto
