#pragma once
// A small blocking HTTP client over one libcurl easy handle.
//
// Each thread that talks to a server builds a client of its own; a client has no lock. Callers pass complete
// URLs and ready-made bodies and get back the HTTP status and the response body. HTTP errors are values:
// `status` carries the server's code and `body` its error page. Only URLs that begin with http:// or https://
// are used (no scheme is guessed), and redirects only to such URLs. Bodies are held whole in memory, up to a limit per request (see
// kMaxTextBodyBytes, kMaxByteBodyBytes); a server that sends more fails the transfer.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kesto {

// Result of post_json, put_bytes and get.
struct HttpResponse {
  // HTTP status of the last response (after redirects), 0 before the request, -1 when the transfer failed
  // (cannot resolve or connect, TLS failure, time limit, too many redirects, refused scheme, body too large).
  long status = 0;
  // The response body exactly as received; after a failure, whatever had arrived.
  std::string body;
};

// Guards libcurl's process-wide initialisation: run once, by the first client built, and never undone.
extern std::once_flag g_global_init;

// Runs that initialisation now, on the calling thread, if no client has yet. Whoever starts a detached
// thread that will make requests calls this first: libcurl's set-up leaves TLS-library state behind in the
// thread that runs it, and a detached thread's state can still be being released while the process exits.
void initialise_libcurl() noexcept;

// Whole-transfer time limits (connect, send, wait and receive), per request kind.
inline constexpr long kPostJsonTimeoutSec = 300;
inline constexpr long kPutBytesTimeoutSec = 120;
inline constexpr long kGetTimeoutSec = 60;
inline constexpr long kGetBytesTimeoutSec = 600;
// Largest response bodies accepted: a server that misbehaves cannot exhaust the host's memory.
inline constexpr std::size_t kMaxTextBodyBytes = std::size_t{64} << 20;   // post_json, put_bytes, get
inline constexpr std::size_t kMaxByteBodyBytes = std::size_t{512} << 20;  // get_bytes
// Redirects followed at most by one request.
inline constexpr long kMaxRedirects = 30;
inline constexpr char kUserAgent[] = "OrvalisTrevane-OFX/1.1";

namespace detail {
struct CurlEasyDeleter {
  void operator()(void *handle) const noexcept;
};
// Owns one libcurl easy handle (CURL is void in libcurl's API).
using CurlEasyHandle = std::unique_ptr<void, CurlEasyDeleter>;
}  // namespace detail

// True for the URLs the client sends requests to: an explicit http:// or https:// scheme (any letter case)
// and a host outside the reserved ".invalid" domain. Every request to any other URL fails without a transfer.
bool is_sendable_url(const std::string &url) noexcept;

class HttpClient {
 public:
  // Initialises libcurl once per process, then makes the client's handle; a failed handle leaves the client
  // invalid, and every request then fails without a transfer.
  HttpClient() noexcept;
  ~HttpClient() = default;
  HttpClient(const HttpClient &) = delete;
  HttpClient &operator=(const HttpClient &) = delete;
  HttpClient(HttpClient &&) noexcept = default;
  HttpClient &operator=(HttpClient &&) noexcept = default;

  bool valid() const noexcept { return handle != nullptr; }

  // POST of a JSON text, sent byte for byte with "Content-Type: application/json" and
  // "Accept: application/json". Redirects are followed. Time limit kPostJsonTimeoutSec.
  HttpResponse post_json(const std::string &url, const std::string &body) const noexcept;
  // PUT of the bytes as the request body with "Content-Type: " + content_type (application/octet-stream when
  // null). Redirects are not followed: a 301 or 302 comes back as the status. Time limit kPutBytesTimeoutSec.
  HttpResponse put_bytes(const std::string &url, const std::vector<std::uint8_t> &bytes,
                         const char *content_type) const noexcept;
  // GET of a text. Redirects are followed. Time limit kGetTimeoutSec.
  HttpResponse get(const std::string &url) const noexcept;
  // GET whose body is appended to *out (bytes already there stay in front). True exactly when the transfer
  // succeeded with a status of 200 to 299; otherwise *out may hold a partial or error body. False when out
  // is null. Redirects are followed. Time limit kGetBytesTimeoutSec.
  bool get_bytes(const std::string &url, std::vector<std::uint8_t> *out) const noexcept;

 private:
  detail::CurlEasyHandle handle;
};

}  // namespace kesto
