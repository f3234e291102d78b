#pragma once
// An effect instance in the filter context, driven as a real host drives one.
//
// Threads: the thread that calls setInt/setDouble/setString/pressButton/pumpEvents plays the host's interface
// thread; renders may run on any thread (renderMany uses several). Parameter values set by the plug-in (from
// any of its threads) are queued as "OfxChangePluginEdited" notifications and delivered only by pumpEvents().

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/Expected.h"
#include "host/Image.h"
#include "host/Overlay.h"
#include "host/PropertySet.h"
#include "ofxImageEffect.h"

namespace kesto::host {

namespace detail {
class Effect;
struct PluginState;
}  // namespace detail

struct RenderOptions {
  std::optional<OfxRectI> window;        // default: the source frame's bounds, else the project rectangle
  std::optional<OfxRectI> outputBounds;  // default: the render window
  std::optional<PixelDepth> outputDepth; // default: the instance's depth (a different one injects a mismatch)
  RowOrder outputRowOrder = RowOrder::BottomUp;
  int outputRowPaddingBytes = 0;
  double renderScaleX = 1.0;
  double renderScaleY = 1.0;
  std::string field = kOfxImageFieldNone;
  bool sequential = false;
  bool interactive = false;
};

struct RenderResult {
  OfxStatus status = kOfxStatFailed;  // the plug-in's reply
  Image output;                        // the output image after the render (poisoned bytes where not written)
  int leakedImages = 0;                // images fetched in this render and not released
  std::string error;                   // set when the host refused to render (status is then kOfxStatFailed)
};

// One instance-changed action the host delivered.
struct ChangeRecord {
  std::string name;
  std::string reason;  // "OfxChangeUserEdited" / "OfxChangePluginEdited"
  OfxStatus status = kOfxStatOK;
};

struct ClipPreferences {
  OfxStatus status = kOfxStatOK;
  // The out-arguments as the plug-in left them; outArgs->pluginSetOrder() lists what it set.
  std::shared_ptr<PropertySet> outArgs;
};

enum class FetchFault { None, Fail, NullData };

class Instance {
 public:
  Instance(std::shared_ptr<detail::PluginState> plugin, std::shared_ptr<detail::Effect> effect,
           PixelDepth depth);
  ~Instance();  // sends "OfxActionDestroyInstance" if destroy() was not called
  Instance(const Instance &) = delete;
  Instance &operator=(const Instance &) = delete;

  OfxImageEffectHandle handle() const;
  PropertySet &properties() const;
  // "OfxActionDestroyInstance" (once); outstanding images are dropped afterwards.
  OfxStatus destroy();
  bool destroyed() const { return destroyed_; }

  // Project and time.
  void setProjectSize(double width, double height);  // also sets the extent to offset + size
  void setProjectOffset(double x, double y);
  void setTime(double time);  // the time reported with edits and used for plug-in edits
  PixelDepth depth() const { return depth_; }

  // Clips. Frames are copied when served; a time picks the nearest frame.
  PropertySet *clipProperties(const std::string &clip) const;  // null for an unknown clip
  void setSourceFrame(double time, Image image);
  void clearSourceFrames();
  // Serves frames on demand (e.g. decoded from files) for times without a stored frame. `provider` gets the
  // frame number and returns null when there is none; it may be called from several render threads at once.
  // The frame range is set to [first, last].
  using FrameProvider = std::function<std::shared_ptr<const Image>(double frame)>;
  void setSourceProvider(FrameProvider provider, double first, double last);
  // Default: derived from the frames set (first and last frame), rate from InstanceOptions.
  void setSourceFrameRange(double first, double last);
  void setSourceFrameRate(double fps);
  void setSourceConnected(bool connected);
  void setFetchFault(double time, FetchFault fault);

  // Parameters. User edits clamp like the plug-in's, then deliver begin/changed/end at once with reason
  // "OfxChangeUserEdited"; the result is the instance-changed status, or an error when the host refused
  // the value (unknown parameter, wrong type, choice index out of range).
  Expected<OfxStatus> setInt(const std::string &name, int value);  // integer, boolean, choice
  Expected<OfxStatus> setDouble(const std::string &name, double value);
  Expected<OfxStatus> setString(const std::string &name, const std::string &value);
  Expected<OfxStatus> pressButton(const std::string &name);
  // Current values, as stored (no notification).
  Expected<int> getInt(const std::string &name) const;
  Expected<double> getDouble(const std::string &name) const;
  Expected<std::string> getString(const std::string &name) const;
  PropertySet *paramProperties(const std::string &name) const;  // null for an unknown parameter
  std::vector<std::string> paramNames() const;

  // Plug-in edits: delivers the notifications queued before the call, each as begin/changed/end on the
  // calling thread. Returns how many were delivered.
  std::size_t pumpEvents();
  std::size_t pendingEvents() const;
  // Pumps until `done` returns true or the timeout passes; true when done.
  bool pumpEventsUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout,
                       std::chrono::milliseconds poll = std::chrono::milliseconds(5));
  std::vector<ChangeRecord> deliveredChanges() const;

  // Actions.
  ClipPreferences clipPreferences();
  const ClipPreferences &lastClipPreferences() const { return lastClipPreferences_; }
  RenderResult render(double time, const RenderOptions &options = {});
  // Renders every time of `times` on `threads` threads at once (the effect must declare fully safe rendering
  // and host frame threading, else an error). Wrapped in begin/end sequence render. Results in `times` order.
  Expected<std::vector<RenderResult>> renderMany(const std::vector<double> &times, int threads,
                                                 const RenderOptions &options = {});
  // Any action on this instance's handle (inside an action scope, so images may be fetched).
  OfxStatus callAction(const char *action, OfxPropertySetHandle inArgs = nullptr,
                       OfxPropertySetHandle outArgs = nullptr);
  void setAbort(bool abort);

  // Image accounting: images fetched and not yet released; images still held when their action returned.
  int unreleasedImages() const;
  int leakedImages() const;

  // Overlay interact (describes the plug-in's overlay once per plug-in, then creates an instance).
  Expected<std::unique_ptr<Overlay>> createOverlay();

 private:
  Expected<OfxStatus> userEdit(const std::string &name, const std::string &reason);
  OfxStatus deliverChange(const std::string &name, const std::string &reason, double time);
  void updateSourceRange();

  std::shared_ptr<detail::PluginState> plugin_;
  std::shared_ptr<detail::Effect> effect_;
  PixelDepth depth_;
  bool destroyed_ = false;
  bool rangeOverridden_ = false;
  ClipPreferences lastClipPreferences_;
  mutable std::mutex logMu_;
  std::vector<ChangeRecord> delivered_;
  int leakedAtDestroy_ = 0;
};

}  // namespace kesto::host
