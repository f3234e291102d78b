#pragma once

#include <string>

namespace kesto::backend {

// 32 lower-case hex digits (128 bits) from the operating system's random source, after "NODE-" when a node
// name is given.
std::string random_session_id(const std::string& node = std::string());

}  // namespace kesto::backend
