#pragma once
// Finding OpenFX bundles: NAME.ofx.bundle/Contents/Linux-x86-64/NAME.ofx.

#include <string>
#include <vector>

#include "host/Expected.h"

namespace kesto::host {

struct BundleLocation {
  std::string name;        // "HostProbe"
  std::string bundleDir;   // ".../HostProbe.ofx.bundle"
  std::string binaryPath;  // ".../HostProbe.ofx.bundle/Contents/Linux-x86-64/HostProbe.ofx"
};

// Checks the layout of one bundle folder.
Expected<BundleLocation> checkBundle(const std::string &bundleDir);

// `what` is a bundle folder ("/x/HostProbe.ofx.bundle") or a plug-in name ("HostProbe" or
// "HostProbe.ofx.bundle"). A name is looked up in `searchPath`, then, when `useEnvironment`, in the
// ':'-separated folders of OFX_PLUGIN_PATH and in /usr/OFX/Plugins, in that order; the first match wins.
Expected<BundleLocation> findBundle(const std::string &what, const std::vector<std::string> &searchPath,
                                    bool useEnvironment = true);

}  // namespace kesto::host
