#pragma once
// Which action each thread is inside. Images may be fetched only from a thread that is running an action of
// the clip's effect (as in real hosts, where an image belongs to the render or edit that asked for it), and
// whatever the plug-in fetched and did not release when the action returns is counted as leaked.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Objects.h"
#include "host/Image.h"

namespace kesto::host::detail {

struct ActionFrame {
  Effect *effect = nullptr;
  std::string action;
  bool isRender = false;
  double time = 0.0;
  OfxPointD renderScale{1.0, 1.0};
  std::shared_ptr<Image> output;  // the render's output buffer
  std::vector<std::uintptr_t> fetched;
};

// Pushes a frame for the calling thread; the destructor pops it and counts leaks.
class ActionScope {
 public:
  ActionScope(Effect *effect, std::string action);
  ~ActionScope();
  ActionScope(const ActionScope &) = delete;
  ActionScope &operator=(const ActionScope &) = delete;
  ActionFrame &frame() { return *frame_; }
  // Pops the frame and counts the images it leaked (once; the destructor does it otherwise).
  int finish();

 private:
  std::unique_ptr<ActionFrame> frameOwner_;
  ActionFrame *frame_;
  int leaked_ = 0;
  bool finished_ = false;
};

// The innermost frame of the calling thread that belongs to `effect`, or null.
ActionFrame *currentFrameFor(const Effect *effect);

// Calls a plug-in entry point. Exceptions thrown through it become kOfxStatErrFatal with `thrown` set.
OfxStatus callEntry(OfxPluginEntryPoint *entry, const char *action, const void *handle, OfxPropertySetHandle inArgs,
                    OfxPropertySetHandle outArgs, std::string *thrown = nullptr);

}  // namespace kesto::host::detail
