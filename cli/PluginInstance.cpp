#include "cli/PluginInstance.h"

#include <cstdio>
#include <utility>

namespace trevane::cli {

std::optional<PluginInstance> loadPluginInstance(host::Host &host, const std::string &bundle,
                                                 const host::InstanceOptions &options, const char *command) {
  host::LoadResult loaded = host.load(bundle);
  if (!loaded.ok()) {
    std::fprintf(stderr, "trevane %s: cannot load the plug-in from '%s': %s\n", command, bundle.c_str(),
                 loaded.error.c_str());
    return std::nullopt;
  }
  auto made = loaded.plugin->createInstance(options);
  if (!made.ok()) {
    std::fprintf(stderr, "trevane %s: the plug-in refused to make an instance: %s\n", command, made.error().c_str());
    return std::nullopt;
  }
  return PluginInstance{std::move(loaded.plugin), std::move(*made)};
}

}  // namespace trevane::cli
