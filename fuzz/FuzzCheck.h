#pragma once
// Shared by the fuzz targets: how a broken property is reported, and the few independent checks the
// targets use to judge the code under test without reusing its own helpers.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kesto::fuzz {

// A property that does not hold ends the run: libFuzzer keeps the input that broke it as a crash.
inline void require(bool holds, const char *property) {
  if (holds) return;
  std::fprintf(stderr, "fuzz property failed: %s\n", property);
  std::abort();
}

// Well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF), written straight from the
// Unicode table of well-formed byte sequences.
inline bool valid_utf8(const std::string &text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[at]);
    if (b0 < 0x80) {
      ++at;
      continue;
    }
    std::size_t length = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (text.size() - at < length) return false;
    const auto b1 = static_cast<unsigned char>(text[at + 1]);
    if (b1 < lo || b1 > hi) return false;
    for (std::size_t i = 2; i < length; ++i) {
      const auto b = static_cast<unsigned char>(text[at + i]);
      if (b < 0x80 || b > 0xBF) return false;
    }
    at += length;
  }
  return true;
}

// No byte below 0x20 and no DEL: text fit for one status line.
inline bool free_of_controls(const std::string &text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

}  // namespace kesto::fuzz
