#include "net/Beacon.h"

#include <exception>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "net/HttpClient.h"
#include "net/Version.h"

namespace kesto {
namespace {

// The host's own name is not asked for.
constexpr char kBeaconHostWord[] = "resolve";
constexpr char kBeaconPath[] = "/api/beacon";

#if defined(__APPLE__)
constexpr char kBuildOsWord[] = "macos";
#elif defined(_WIN32)
constexpr char kBuildOsWord[] = "windows";
#elif defined(__linux__)
constexpr char kBuildOsWord[] = "linux";
#else
constexpr char kBuildOsWord[] = "unknown";
#endif

#if defined(__x86_64__) || defined(_M_X64)
constexpr char kBuildArchWord[] = "x86_64";
#elif defined(__aarch64__) || defined(_M_ARM64)
constexpr char kBuildArchWord[] = "arm64";
#else
constexpr char kBuildArchWord[] = "unknown";
#endif

}  // namespace

const char *buildOsWord() noexcept { return kBuildOsWord; }
const char *buildArchWord() noexcept { return kBuildArchWord; }

std::string beaconBody() {
  nlohmann::json body = nlohmann::json::object();
  body["plugin_version"] = kPluginVersionString;
  body["host"] = kBeaconHostWord;
  body["os"] = kBuildOsWord;
  body["arch"] = kBuildArchWord;
  return body.dump(-1, ' ', /*ensure_ascii=*/false);
}

void runBeacon(std::string baseUrl) noexcept {
  try {
    const std::string body = beaconBody();
    const HttpClient client;
    // Fire and forget: neither the status nor the body matters to anyone.
    (void)client.post_json(baseUrl + kBeaconPath, body);
  } catch (...) {
    // Only allocation can fail here; a beacon that cannot be built is simply not sent.
  }
}

bool startBeacon(const std::string &baseUrl) noexcept {
  try {
    // A base URL the client would refuse anyway (the placeholder under ".invalid") needs no thread at all.
    if (!is_sendable_url(baseUrl + "/api/beacon")) return false;
    initialise_libcurl();
    std::thread beacon(runBeacon, baseUrl);
    beacon.detach();
    return true;
  } catch (...) {
    return false;  // no thread (or no memory for the URL's copy): nothing started
  }
}

}  // namespace kesto
