#pragma once
// Session ids name a folder under the matte root and come back from saved projects and from the backend,
// so they are checked before any path is built from them.

#include <cstddef>
#include <string>

namespace kesto {

inline constexpr std::size_t kMaxSessionIdChars = 128;

// True for 1 to kMaxSessionIdChars characters, each an ASCII letter, digit, '-', '_' or '.', other than "."
// and "..": a single path segment that stays inside the matte root. Anything else counts as no session.
bool is_safe_session_id(const std::string &id);

}  // namespace kesto
