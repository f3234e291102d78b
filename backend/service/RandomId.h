#pragma once

#include <string>

namespace kesto::backend {

// 32 lower-case hex digits (128 bits) from the operating system's random source.
std::string random_session_id();

}  // namespace kesto::backend
