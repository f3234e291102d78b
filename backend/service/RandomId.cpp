#include "RandomId.h"

#include <random>

namespace kesto::backend {

std::string random_session_id(const std::string& node) {
  static const char kHex[] = "0123456789abcdef";
  std::random_device device;  // /dev/urandom on Linux
  std::string id = node.empty() ? std::string() : node + "-";
  id.reserve(id.size() + 32);
  for (int word = 0; word < 4; ++word) {
    std::uint32_t bits = device();
    for (int nibble = 0; nibble < 8; ++nibble) {
      id += kHex[bits & 0xF];
      bits >>= 4;
    }
  }
  return id;
}

}  // namespace kesto::backend
