#pragma once
// The usage beacon: one background POST telling the backend which plug-in version runs on which platform.

#include <string>

namespace kesto {

// Starts one detached thread that sends the beacon to base_url + "/api/beacon" (nothing trimmed) and ends.
// Returns false, having started nothing, when the thread cannot be created or the URL is one the client
// never sends to (no http or https scheme, or a host under ".invalid"). Never waits for the
// beacon; its outcome is never reported.
bool startBeacon(const std::string &baseUrl) noexcept;

// The beacon thread's body: one client, one post_json of beaconBody(), the reply discarded. Blocks for the
// one exchange; catches everything.
void runBeacon(std::string baseUrl) noexcept;

// The beacon's JSON text: {"arch":...,"host":"resolve","os":...,"plugin_version":...}, compact, keys sorted.
std::string beaconBody();

// The words for the platform this module was built for.
const char *buildOsWord() noexcept;    // "linux", "macos" or "windows" ("unknown" elsewhere)
const char *buildArchWord() noexcept;  // "x86_64" or "arm64" ("unknown" elsewhere)

}  // namespace kesto
