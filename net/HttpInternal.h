#pragma once
// Internals of the HTTP client, private to net/ and its tests.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

namespace kesto {
namespace detail {

struct CurlSlistDeleter {
  void operator()(curl_slist *list) const noexcept { curl_slist_free_all(list); }
};
// Owns a libcurl header list.
using CurlHeaderList = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// Appends a header line; false (and the list unchanged) when libcurl cannot.
bool append_header(CurlHeaderList &list, const std::string &line) noexcept;

// Where a write callback puts the body, and how much it may hold in all.
// `received_bytes` counts this transfer only: bytes already in the target are not held against the limit.
struct StringSink {
  std::string *target = nullptr;
  std::size_t limit_bytes = 0;
  std::size_t received_bytes = 0;
};
struct VectorSink {
  std::vector<std::uint8_t> *target = nullptr;
  std::size_t limit_bytes = 0;
  std::size_t received_bytes = 0;
};

// libcurl write callbacks: append size * count bytes and return that count, or return 0 (libcurl then
// ends the transfer as failed) when the target would grow past its limit or memory runs out.
std::size_t write_string(char *data, std::size_t size, std::size_t count, void *user) noexcept;
std::size_t write_vector(char *data, std::size_t size, std::size_t count, void *user) noexcept;

// Effective limits, after any scaling by the test seam.
long timeout_ms(long seconds) noexcept;
std::size_t text_body_limit_bytes() noexcept;
std::size_t byte_body_limit_bytes() noexcept;

// Times curl_global_init ran in this process.
int global_init_count() noexcept;

}  // namespace detail
}  // namespace kesto
