// Base64: every byte string encodes to the documented length and alphabet, and a plain decoder written
// here from RFC 4648 gives the bytes back.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "image/Base64.h"

namespace {

using kesto::fuzz::require;

constexpr int kNoDigit = -1;

int digit_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return kNoDigit;
}

// Strict decoder: groups of four, "=" only as the last one or two characters, zero bits under the padding.
std::optional<std::vector<std::uint8_t>> decode(const std::string &text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    int padding = 0;
    if (last && text[at + 3] == '=') padding = text[at + 2] == '=' ? 2 : 1;
    std::uint32_t group = 0;
    for (int i = 0; i < 4; ++i) {
      const int value = i >= 4 - padding ? 0 : digit_value(text[at + static_cast<std::size_t>(i)]);
      if (value == kNoDigit) return std::nullopt;
      group = group << 6 | static_cast<std::uint32_t>(value);
    }
    bytes.push_back(static_cast<std::uint8_t>(group >> 16));
    if (padding < 2) bytes.push_back(static_cast<std::uint8_t>(group >> 8 & 0xFF));
    if (padding < 1) bytes.push_back(static_cast<std::uint8_t>(group & 0xFF));
    // The bits that the padding hides must be zero, or two texts would decode to the same bytes.
    if (padding == 2 && (group & 0xFFFF) != 0) return std::nullopt;
    if (padding == 1 && (group & 0xFF) != 0) return std::nullopt;
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text = kesto::base64_encode(data, size);
  require(text.size() == (size + 2) / 3 * 4, "length is 4 * ceil(n / 3)");
  const std::size_t padding = size % 3 == 0 ? 0 : 3 - size % 3;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool padded = i >= text.size() - padding;
    require(padded ? text[i] == '=' : digit_value(text[i]) != kNoDigit, "alphabet digits, then padding");
  }
  const auto decoded = decode(text);
  require(decoded.has_value(), "the text decodes");
  require(*decoded == std::vector<std::uint8_t>(data, data + size), "decoding gives the bytes back");
  return 0;
}
