// Where the tool finds the plug-in bundle when --bundle is not given.

#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

#include "cli/Cli.h"

namespace trevane::cli {
namespace {

constexpr const char *kBundleName = "OrvalisTrevane.ofx.bundle";

bool isDirectory(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string defaultBundlePath() {
  if (isDirectory(TREVANE_BUNDLE_DIR)) return TREVANE_BUNDLE_DIR;
  if (const char *path = std::getenv("OFX_PLUGIN_PATH")) {
    std::istringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
      if (!folder.empty() && isDirectory(folder + "/" + kBundleName)) return folder + "/" + kBundleName;
    }
  }
  return std::string("/usr/OFX/Plugins/") + kBundleName;
}

}  // namespace trevane::cli
