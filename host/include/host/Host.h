#pragma once
// The in-process OpenFX host: loads a plug-in bundle, implements the five version-1 suites strictly, and
// drives instances the way real hosts do.
//
// Usage:
//
//   #include "host/Host.h"
//   namespace th = trevane::host;                       // == kesto::host
//
//   th::Host host;                                      // th::HostOptions{...} to withhold suites etc.
//   th::LoadResult loaded = host.load(TREVANE_BUNDLE_DIR);   // a bundle folder or a name on the path
//   ASSERT_TRUE(loaded.ok()) << loaded.error;
//   th::Plugin &plugin = *loaded.plugin;
//   for (const auto &p : plugin.descriptor().pluginSetOrder()) std::cout << p.toString() << "\n";
//
//   auto made = plugin.createInstance();                // filter context, byte depth, 1920x1080
//   ASSERT_TRUE(made.ok()) << made.error();
//   th::Instance &fx = **made;
//   fx.setSourceFrame(0, th::Image::make({0, 0, 64, 32}, th::PixelDepth::Byte));
//   fx.setString("backend_url", "http://127.0.0.1:1234");    // a user edit: begin/changed/end at once
//   th::RenderResult r = fx.render(0);                 // r.status, r.output.pixel(x, y)
//   EXPECT_EQ(fx.unreleasedImages(), 0);
//   fx.pressButton("pull_alpha");
//   fx.pumpEventsUntil([&] { return *fx.getString("status") == "ready"; }, std::chrono::seconds(5));
//   auto overlay = fx.createOverlay();                  // (*overlay)->penDown(960, 540) ...
//   for (const auto &m : host.messages()) std::cout << m.type << ": " << m.text << "\n";

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/Args.h"
#include "host/Bundle.h"
#include "host/Expected.h"
#include "host/Image.h"
#include "host/Instance.h"
#include "host/Messages.h"
#include "host/Overlay.h"
#include "host/Plugin.h"
#include "host/PropertySet.h"
#include "host/Status.h"

namespace kesto::host {

namespace detail {
struct HostState;
}

struct HostOptions {
  std::vector<std::string> searchPath;  // searched before OFX_PLUGIN_PATH
  bool useEnvironmentPath = true;       // OFX_PLUGIN_PATH, then /usr/OFX/Plugins
  // Suite names ("OfxPropertySuite", "OfxImageEffectSuite", "OfxParameterSuite", "OfxInteractSuite",
  // "OfxMessageSuite") for which fetchSuite yields null.
  std::set<std::string> withheldSuites;
  // dlclose the module after "OfxActionUnload". Off by default: a plug-in's detached threads may still run
  // module code, and dlopen of the same path shares one module anyway.
  bool dlcloseOnUnload = false;
};

enum class LoadStage { Find, Open, Record, SetHost, Load, Describe, DescribeInContext, Validate, Done };
const char *loadStageName(LoadStage stage);

struct LoadResult {
  std::shared_ptr<Plugin> plugin;   // set when every step succeeded
  LoadStage stage = LoadStage::Find;  // the step that failed, or Done
  OfxStatus status = kOfxStatOK;    // the plug-in's reply at the failing step (load, describe...), else OK
  std::string error;
  bool ok() const { return plugin != nullptr; }
};

class Host {
 public:
  explicit Host(HostOptions options = {});
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  // Finds the bundle, dlopens it, checks the record, calls setHost, then "OfxActionLoad", "OfxActionDescribe"
  // and "OfxImageEffectActionDescribeInContext" (filter). `identifier` picks one plug-in of a multi-plug-in
  // module (default: the first image effect).
  LoadResult load(const std::string &bundleOrName, const std::string &identifier = "");

  // The host property set (a test may change values before loading).
  PropertySet &properties() const;
  // What a plug-in's fetchSuite call returns (null for withheld or unknown suites).
  const void *fetchSuite(const char *name, int version) const;
  const OfxHost *record() const;

  // Messages recorded since this host was made or since clearMessages().
  std::vector<HostMessage> messages() const;
  void clearMessages();

 private:
  HostOptions options_;
  std::shared_ptr<detail::HostState> state_;
  std::size_t messageStart_ = 0;
};

// Process-wide image counters, across hosts and instances.
int outstandingImages();   // fetched and not released
int leakedImages();        // still held when the fetching action returned
int badImageReleases();    // releases of unknown or already released handles

}  // namespace kesto::host
