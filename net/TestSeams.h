#pragma once
// Test-only switches of the HTTP client. Nothing in the product calls them, and no parameter, file or
// environment variable reaches them. They let tests prove the time and size limits without waiting minutes
// or sending hundreds of megabytes. Set them while no request is running.

#include <cstddef>

namespace kesto {
namespace detail {

// Multiplies every request's time limit; 1.0 restores the real limits. Values <= 0 are ignored.
void setTimeScaleForTests(double scale) noexcept;
// Replaces the body limits; 0 restores the real ones.
void setBodyLimitsForTests(std::size_t text_body_limit_bytes, std::size_t byte_body_limit_bytes) noexcept;

}  // namespace detail
}  // namespace kesto
