#include "plugin/SessionId.h"

namespace kesto {
namespace {

// Spelled out rather than taken from <cctype>, whose answers depend on the process's locale.
bool isIdChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.';
}

}  // namespace

bool is_safe_session_id(const std::string &id) {
  if (id.empty() || id.size() > kMaxSessionIdChars || id == "." || id == "..") return false;
  for (char c : id) {
    if (!isIdChar(c)) return false;
  }
  return true;
}

}  // namespace kesto
