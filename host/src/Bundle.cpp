#include "host/Bundle.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kesto::host {

namespace fs = std::filesystem;

namespace {

constexpr const char *kBundleSuffix = ".ofx.bundle";
constexpr const char *kArchFolder = "Contents/Linux-x86-64";
constexpr const char *kDefaultPluginFolder = "/usr/OFX/Plugins";

bool ends_with(const std::string &text, const std::string &suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> split_path(const char *value) {
  std::vector<std::string> out;
  if (value == nullptr) {
    return out;
  }
  std::string text(value);
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find(':', start);
    const std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!part.empty()) {
      out.push_back(part);
    }
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  return out;
}

}  // namespace

Expected<BundleLocation> checkBundle(const std::string &bundleDir) {
  std::error_code ec;
  fs::path dir(bundleDir);
  if (dir.filename().empty()) {
    dir = dir.parent_path();  // a trailing '/'
  }
  const std::string folder = dir.filename().string();
  if (!ends_with(folder, kBundleSuffix)) {
    return Error{"not a bundle folder (no " + std::string(kBundleSuffix) + " suffix): " + bundleDir};
  }
  if (!fs::is_directory(dir, ec)) {
    return Error{"bundle folder does not exist: " + dir.string()};
  }
  BundleLocation location;
  location.name = folder.substr(0, folder.size() - std::string(kBundleSuffix).size());
  location.bundleDir = dir.string();
  const fs::path binary = dir / kArchFolder / (location.name + ".ofx");
  if (!fs::is_regular_file(binary, ec)) {
    return Error{"bundle " + dir.string() + " lacks its binary " + binary.string()};
  }
  location.binaryPath = binary.string();
  return location;
}

Expected<BundleLocation> findBundle(const std::string &what, const std::vector<std::string> &searchPath,
                                    bool useEnvironment) {
  std::error_code ec;
  if (what.empty()) {
    return Error{"no plug-in name given"};
  }
  if (what.find('/') != std::string::npos && fs::is_directory(what, ec)) {
    return checkBundle(what);
  }
  const std::string folder = ends_with(what, kBundleSuffix) ? what : what + kBundleSuffix;
  std::vector<std::string> dirs = searchPath;
  if (useEnvironment) {
    for (auto &d : split_path(std::getenv("OFX_PLUGIN_PATH"))) {
      dirs.push_back(d);
    }
    dirs.emplace_back(kDefaultPluginFolder);
  }
  std::string looked;
  for (const auto &d : dirs) {
    // A search-path entry may itself name the bundle folder.
    if (ends_with(fs::path(d).filename().string(), kBundleSuffix) && fs::path(d).filename() == folder) {
      return checkBundle(d);
    }
    const fs::path candidate = fs::path(d) / folder;
    if (fs::is_directory(candidate, ec)) {
      return checkBundle(candidate.string());
    }
    looked += (looked.empty() ? "" : ":") + d;
  }
  return Error{"plug-in bundle " + folder + " not found in " + (looked.empty() ? "(empty search path)" : looked)};
}

}  // namespace kesto::host
