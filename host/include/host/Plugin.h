#pragma once
// A loaded and described plug-in (see Host::load). It stays loaded while this object or any of its instances
// lives; then "OfxActionUnload" is sent. The module is not dlclose'd unless HostOptions::dlcloseOnUnload:
// plug-ins may leave detached threads running that still execute module code.

#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "host/Expected.h"
#include "host/Image.h"
#include "host/PropertySet.h"
#include "ofxImageEffect.h"

namespace kesto::host {

class Instance;
namespace detail {
struct PluginState;
}

struct ClipInfo {
  std::string name;
  std::shared_ptr<PropertySet> properties;  // the clip descriptor; pluginSetOrder() = what describe set
};

struct ParamInfo {
  std::string name;
  std::string type;                         // "OfxParamTypeString", ...
  std::shared_ptr<PropertySet> properties;  // the parameter descriptor
};

struct InstanceOptions {
  PixelDepth depth = PixelDepth::Byte;  // of both clips; must be one the plug-in supports
  double projectWidth = 1920.0;
  double projectHeight = 1080.0;
  double projectOffsetX = 0.0;
  double projectOffsetY = 0.0;
  double frameRate = 25.0;
  bool interactive = true;
  // Send "OfxImageEffectActionGetClipPreferences" right after creation, as hosts do before rendering.
  bool clipPreferencesOnCreate = true;
  // Parameter values restored from a saved project: in place before "OfxActionCreateInstance", as when a host
  // reopens a project (integer, boolean and choice take an int, double a double, string a text).
  std::vector<std::pair<std::string, std::variant<int, double, std::string>>> savedValues;
};

class Plugin {
 public:
  explicit Plugin(std::shared_ptr<detail::PluginState> state);
  ~Plugin();

  const std::string &identifier() const;
  unsigned int versionMajor() const;
  unsigned int versionMinor() const;
  const std::string &bundlePath() const;
  const std::string &binaryPath() const;
  const OfxPlugin &record() const;

  // The effect descriptor of "OfxActionDescribe" and the filter-context descriptor of describe-in-context.
  PropertySet &descriptor() const;
  PropertySet &contextDescriptor() const;
  OfxImageEffectHandle descriptorHandle() const;
  OfxImageEffectHandle contextDescriptorHandle() const;
  // Clips and parameters defined in describe-in-context, in definition order.
  std::vector<ClipInfo> clips() const;
  std::vector<ParamInfo> params() const;

  OfxPluginEntryPoint *mainEntry() const;
  // "OfxImageEffectPluginPropOverlayInteractV1" of the descriptor (null when none).
  OfxPluginEntryPoint *overlayEntry() const;
  // Calls the main entry as is (any action, any handle, null allowed), behind an exception barrier.
  OfxStatus callMain(const char *action, const void *handle, OfxPropertySetHandle inArgs = nullptr,
                     OfxPropertySetHandle outArgs = nullptr) const;
  // An exported symbol of the module (test plug-ins export probes), or null.
  void *symbol(const char *name) const;

  // Builds an instance (clips, parameters at their defaults) and sends "OfxActionCreateInstance"; an error
  // when the plug-in refuses (the text names its status).
  Expected<std::unique_ptr<Instance>> createInstance(const InstanceOptions &options = {});
  int liveInstances() const;

  // Sends "OfxActionUnload" now (once). Refused while instances live. Returns the plug-in's status.
  Expected<OfxStatus> unload();

 private:
  std::shared_ptr<detail::PluginState> state_;
};

}  // namespace kesto::host
