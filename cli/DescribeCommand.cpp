// trevane describe: loads the plug-in and prints what it declared, in the order it declared it.

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <CLI/CLI.hpp>

#include "cli/Cli.h"
#include "cli/CommandOptions.h"
#include "host/Host.h"

namespace trevane::cli {
namespace {

namespace th = kesto::host;
using nlohmann::ordered_json;

// Pointer values depend on where the module was loaded: print whether they are set, not the address.
ordered_json valuesJson(const th::PropertyValue &p) {
  ordered_json values = ordered_json::array();
  switch (p.type) {
    case th::PropType::String: for (const auto &s : p.strings) values.push_back(s); break;
    case th::PropType::Int: for (int i : p.ints) values.push_back(i); break;
    case th::PropType::Double: for (double d : p.doubles) values.push_back(d); break;
    case th::PropType::Pointer:
      for (void *ptr : p.pointers) values.push_back(ptr != nullptr ? ordered_json("<pointer>") : ordered_json());
      break;
  }
  return values;
}

ordered_json propertiesJson(const std::vector<th::PropertyValue> &props) {
  ordered_json out = ordered_json::array();
  for (const th::PropertyValue &p : props) {
    out.push_back({{"name", p.name}, {"type", th::propTypeName(p.type)}, {"values", valuesJson(p)}});
  }
  return out;
}

ordered_json describeJson(const th::Plugin &plugin) {
  const OfxPlugin &record = plugin.record();
  ordered_json doc;
  doc["plugin"] = {{"pluginApi", record.pluginApi != nullptr ? record.pluginApi : ""},
                   {"apiVersion", record.apiVersion},
                   {"pluginIdentifier", plugin.identifier()},
                   {"pluginVersionMajor", plugin.versionMajor()},
                   {"pluginVersionMinor", plugin.versionMinor()},
                   {"binary", plugin.binaryPath()}};
  doc["effect"] = propertiesJson(plugin.descriptor().pluginSetOrder());
  doc["clips"] = ordered_json::array();
  for (const th::ClipInfo &clip : plugin.clips()) {
    doc["clips"].push_back({{"name", clip.name}, {"properties", propertiesJson(clip.properties->pluginSetOrder())}});
  }
  doc["parameters"] = ordered_json::array();
  for (const th::ParamInfo &param : plugin.params()) {
    doc["parameters"].push_back({{"name", param.name},
                                 {"type", param.type},
                                 {"properties", propertiesJson(param.properties->pluginSetOrder())}});
  }
  return doc;
}

void printProperties(const ordered_json &props, const char *indent) {
  for (const auto &p : props) {
    std::string values;
    for (const auto &v : p["values"]) values += (values.empty() ? "" : ", ") + v.dump();
    std::printf("%s%s (%s) = %s\n", indent, p["name"].get<std::string>().c_str(),
                p["type"].get<std::string>().c_str(), values.c_str());
  }
}

void printText(const ordered_json &doc) {
  const auto &plugin = doc["plugin"];
  std::printf("plug-in %s %u.%u (%s, API version %d)\n  %s\n",
              plugin["pluginIdentifier"].get<std::string>().c_str(), plugin["pluginVersionMajor"].get<unsigned>(),
              plugin["pluginVersionMinor"].get<unsigned>(), plugin["pluginApi"].get<std::string>().c_str(),
              plugin["apiVersion"].get<int>(), plugin["binary"].get<std::string>().c_str());
  std::printf("\neffect (%zu properties)\n", doc["effect"].size());
  printProperties(doc["effect"], "  ");
  std::printf("\nclips (%zu)\n", doc["clips"].size());
  for (const auto &clip : doc["clips"]) {
    std::printf("  %s\n", clip["name"].get<std::string>().c_str());
    printProperties(clip["properties"], "    ");
  }
  std::printf("\nparameters (%zu)\n", doc["parameters"].size());
  for (const auto &param : doc["parameters"]) {
    std::printf("  %s (%s)\n", param["name"].get<std::string>().c_str(), param["type"].get<std::string>().c_str());
    printProperties(param["properties"], "    ");
  }
}

int describe(bool json, const std::string &bundle) {
  th::Host host;
  th::LoadResult loaded = host.load(bundle);
  if (!loaded.ok()) {
    std::fprintf(stderr, "trevane describe: cannot load %s: %s\n", bundle.c_str(), loaded.error.c_str());
    return kExitUsage;
  }
  const ordered_json doc = describeJson(*loaded.plugin);
  if (json) {
    std::cout << doc.dump(2) << "\n";
  } else {
    printText(doc);
  }
  return kExitOk;
}

}  // namespace

CommandRun declareDescribe(CLI::App &command) {
  struct Options {
    bool json = false;
    std::string bundle;
  };
  auto o = std::make_shared<Options>();
  command.description(
      "Prints what the plug-in declares to a host.\n"
      "Loads the plug-in and prints its record, the effect's properties, the clips and the parameters with every "
      "property the plug-in set, in the order it set them.");
  command.add_flag("--json", o->json, "print one JSON document instead of text");
  addBundleOption(command, o->bundle);
  command.footer("Exit status: 0 when the plug-in loaded, 2 when it cannot be loaded or for bad usage.");
  return [o] { return describe(o->json, o->bundle); };
}

}  // namespace trevane::cli
