// Instance creation: the usage beacon starts when the backend URL looks like a web address.

#include "net/Beacon.h"
#include "plugin/Params.h"
#include "plugin/PluginPrivate.h"

namespace kesto {

// Byte comparison of the first four characters, case-sensitive, no trimming: "https" and "http" pass,
// "HTTP://", " http" and "htt" do not.
bool looksLikeBackendUrl(const std::string &url) { return url.size() >= 4 && url.compare(0, 4, "http") == 0; }

void beaconToBackend(OfxImageEffectHandle effect) {
  const std::string url = get_string(effect, param::kBackendUrl);
  if (!looksLikeBackendUrl(url)) return;
  // A beacon that cannot start is not the user's concern: the instance works the same without it.
  (void)startBeacon(url);
}

}  // namespace kesto
