#include "ActionScope.h"

#include <exception>

namespace kesto::host::detail {

namespace {
thread_local std::vector<ActionFrame *> tFrames;
}

ActionScope::ActionScope(Effect *effect, std::string action) : frameOwner_(std::make_unique<ActionFrame>()) {
  frame_ = frameOwner_.get();
  frame_->effect = effect;
  frame_->action = std::move(action);
  tFrames.push_back(frame_);
}

ActionScope::~ActionScope() { finish(); }

int ActionScope::finish() {
  if (finished_) {
    return leaked_;
  }
  finished_ = true;
  if (!tFrames.empty() && tFrames.back() == frame_) {
    tFrames.pop_back();
  }
  if (frame_->effect == nullptr) {
    return 0;
  }
  for (std::uintptr_t token : frame_->fetched) {
    if (frame_->effect->isOutstanding(token)) {
      ++leaked_;
    }
  }
  frame_->effect->leakedImages += leaked_;
  imageStats().leaked += leaked_;
  return leaked_;
}

ActionFrame *currentFrameFor(const Effect *effect) {
  for (auto it = tFrames.rbegin(); it != tFrames.rend(); ++it) {
    if ((*it)->effect == effect) {
      return *it;
    }
  }
  return nullptr;
}

OfxStatus callEntry(OfxPluginEntryPoint *entry, const char *action, const void *handle, OfxPropertySetHandle inArgs,
                    OfxPropertySetHandle outArgs, std::string *thrown) {
  if (entry == nullptr) {
    if (thrown != nullptr) {
      *thrown = "no entry point";
    }
    return kOfxStatErrFatal;
  }
  try {
    return entry(action, handle, inArgs, outArgs);
  } catch (const std::exception &e) {
    if (thrown != nullptr) {
      *thrown = std::string("plug-in threw: ") + e.what();
    }
  } catch (...) {
    if (thrown != nullptr) {
      *thrown = "plug-in threw a non-standard exception";
    }
  }
  return kOfxStatErrFatal;
}

}  // namespace kesto::host::detail
