#pragma once
// The plug-in loaded from its bundle and one instance of it, as the commands that drive a single instance
// make them.

#include <memory>
#include <optional>
#include <string>

#include "host/Host.h"

namespace trevane::cli {

// Declared in this order so the instance goes before the plug-in it came from.
struct PluginInstance {
  std::shared_ptr<host::Plugin> plugin;
  std::unique_ptr<host::Instance> instance;
};

// Loads the plug-in from `bundle` into `host` and makes an instance with `options`. On failure prints
// "trevane <command>: cannot load the plug-in from '<bundle>': <why>" or
// "trevane <command>: the plug-in refused to make an instance: <why>" on stderr and returns none.
std::optional<PluginInstance> loadPluginInstance(host::Host &host, const std::string &bundle,
                                                 const host::InstanceOptions &options, const char *command);

}  // namespace trevane::cli
