#pragma once
// Base64 text encoding of raw bytes.

#include <cstdint>
#include <string>

namespace kesto {

// Encodes `count` bytes starting at `data` as standard Base64 (RFC 4648 section 4: alphabet A-Z a-z 0-9 + /,
// "=" padding, no line breaks). The result always holds 4 * ceil(count / 3) characters.
// A null `data` is read as no bytes and gives the empty string. The function keeps nothing and may be called
// from any thread. Throws std::length_error only when the text could not fit in a std::string at all.
std::string base64_encode(const std::uint8_t* data, std::uint64_t count);

} // namespace kesto
