#pragma once
// What a loaded plug-in shares with its instances and overlays.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "Objects.h"
#include "Suites.h"
#include "ofxImageEffect.h"

namespace kesto::host::detail {

struct PluginState {
  std::shared_ptr<HostState> host;
  void *library = nullptr;
  OfxPlugin *record = nullptr;
  std::string identifier;
  std::string bundlePath;
  std::string binaryPath;
  bool dlcloseOnUnload = false;
  std::shared_ptr<Effect> descriptor;
  std::shared_ptr<Effect> contextDescriptor;

  std::atomic<int> liveInstances{0};

  std::mutex mu;  // guards what follows
  bool loaded = false;      // load succeeded: unload is owed
  bool unloadSent = false;
  std::shared_ptr<Interact> overlayDescriptor;
  bool overlayDescribed = false;
  OfxStatus overlayDescribeStatus = kOfxStatOK;

  OfxPluginEntryPoint *mainEntry() const { return record == nullptr ? nullptr : record->mainEntry; }
  OfxPluginEntryPoint *overlayEntry() const;
  // "OfxActionUnload" once, then dlclose when asked to.
  OfxStatus unload();
  ~PluginState();
};

}  // namespace kesto::host::detail
