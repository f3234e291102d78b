// Pen state per interact instance, under one lock.

#include "overlay/DragTable.h"

namespace kesto {

Drag DragTable::penDown(const void *interact, NormalisedPoint anchor) {
  std::lock_guard<std::mutex> lock(mutex_);
  Drag &drag = drags_[interact];
  drag.active = true;
  drag.anchorX = anchor.u;
  drag.anchorY = anchor.v;
  return drag;
}

Drag DragTable::current(const void *interact) {
  std::lock_guard<std::mutex> lock(mutex_);
  return drags_[interact];
}

void DragTable::penUp(const void *interact) {
  std::lock_guard<std::mutex> lock(mutex_);
  drags_[interact].active = false;
}

void DragTable::forget(const void *interact) {
  std::lock_guard<std::mutex> lock(mutex_);
  drags_.erase(interact);
}

std::size_t DragTable::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return drags_.size();
}

}  // namespace kesto
