#pragma once
// The parsed, validated session and beacon requests the plug-in sends (the job request is the engines').

#include <string>

namespace kesto::backend {

struct CreateSessionRequest {
  double fps = 0.0;
  std::string source;
};

struct BeaconReport {
  std::string plugin_version;
  std::string host;
  std::string os;
  std::string arch;
};

}  // namespace kesto::backend
