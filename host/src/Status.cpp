#include "host/Status.h"

#include <array>

namespace kesto::host {

std::string statusName(OfxStatus status) {
  static const std::array<const char *, 15> kNames = {
      "kOfxStatOK",          "kOfxStatFailed",         "kOfxStatErrFatal",    "kOfxStatErrUnknown",
      "kOfxStatErrMissingHostFeature", "kOfxStatErrUnsupported", "kOfxStatErrExists", "kOfxStatErrFormat",
      "kOfxStatErrMemory",   "kOfxStatErrBadHandle",   "kOfxStatErrBadIndex", "kOfxStatErrValue",
      "kOfxStatReplyYes",    "kOfxStatReplyNo",        "kOfxStatReplyDefault"};
  if (status >= 0 && static_cast<std::size_t>(status) < kNames.size()) {
    return kNames[static_cast<std::size_t>(status)];
  }
  return "status " + std::to_string(status);
}

}  // namespace kesto::host
