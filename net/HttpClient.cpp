#include "net/HttpClient.h"

#include <atomic>
#include <memory>
#include <cmath>
#include <exception>
#include <string>
#include <utility>

#include <curl/curl.h>

#include "net/CurlRequest.h"
#include "net/HttpInternal.h"
#include "net/TestSeams.h"

namespace kesto {

std::once_flag g_global_init;

namespace {

std::atomic<double> gTimeScale{1.0};
std::atomic<std::size_t> gTextBodyLimitOverrideBytes{0};
std::atomic<std::size_t> gByteBodyLimitOverrideBytes{0};
std::atomic<int> gGlobalInitCount{0};

// libcurl guesses a scheme for a URL without one ("host/path" becomes http://host/path); only explicit web
// addresses are sent, so a malformed base URL fails here instead of reaching some host by guesswork.
bool has_web_scheme(const std::string &url) noexcept {
  const auto starts_with_nocase = [&url](const char *prefix) {
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
      if (i >= url.size()) return false;
      const char c = url[i];
      const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      if (lower != prefix[i]) return false;
    }
    return true;
  };
  return starts_with_nocase("http://") || starts_with_nocase("https://");
}

// Names under the reserved ".invalid" domain never resolve: answer for the resolver instead of asking it, so
// the placeholder backend URL of a new instance never makes a lookup leave the machine.
bool has_invalid_host(const std::string &url) noexcept {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
  char *raw = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_HOST, &raw, 0) != CURLUE_OK || raw == nullptr) return false;
  std::string host(raw);
  curl_free(raw);
  for (char &c : host) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  while (!host.empty() && host.back() == '.') host.pop_back();
  constexpr const char kReserved[] = ".invalid";
  const std::size_t n = sizeof(kReserved) - 1;
  return host == "invalid" || (host.size() > n && host.compare(host.size() - n, n, kReserved) == 0);
}


bool is_success_status(long status) noexcept { return status >= 200 && status <= 299; }

// A request that cannot even be set up reports what a failed transfer reports.
HttpResponse failed_response() noexcept {
  HttpResponse response;
  response.status = -1;
  return response;
}

// Runs a request whose response body is text, kept up to the text body limit.
HttpResponse perform_text_request(CURL *curl, const std::string &url, const detail::RequestPlan &plan) noexcept {
  if (curl == nullptr || !is_sendable_url(url)) return failed_response();
  try {
    HttpResponse response;
    detail::StringSink sink{&response.body, detail::text_body_limit_bytes()};
    response.status = detail::perform_request(curl, url, plan, {&detail::write_string, &sink, sink.limit_bytes});
    return response;
  } catch (...) {
    return failed_response();
  }
}

}  // namespace

bool is_sendable_url(const std::string &url) noexcept { return has_web_scheme(url) && !has_invalid_host(url); }

namespace detail {

void CurlEasyDeleter::operator()(void *handle) const noexcept { curl_easy_cleanup(handle); }

bool append_header(CurlHeaderList &list, const std::string &line) noexcept {
  curl_slist *grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return false;
  // On success libcurl returns the same head, or a new one when the list was empty.
  (void)list.release();
  list.reset(grown);
  return true;
}

std::size_t write_string(char *data, std::size_t size, std::size_t count, void *user) noexcept {
  auto *sink = static_cast<StringSink *>(user);
  if (sink == nullptr || sink->target == nullptr) return 0;
  if (count != 0 && size > static_cast<std::size_t>(-1) / count) return 0;
  const std::size_t bytes = size * count;
  if (bytes > sink->limit_bytes - sink->received_bytes) return 0;
  try {
    sink->target->append(data, bytes);
  } catch (...) {
    return 0;  // out of memory: the transfer fails instead of the host
  }
  sink->received_bytes += bytes;
  return bytes;
}

std::size_t write_vector(char *data, std::size_t size, std::size_t count, void *user) noexcept {
  auto *sink = static_cast<VectorSink *>(user);
  if (sink == nullptr || sink->target == nullptr) return 0;
  if (count != 0 && size > static_cast<std::size_t>(-1) / count) return 0;
  const std::size_t bytes = size * count;
  if (bytes > sink->limit_bytes - sink->received_bytes) return 0;
  try {
    const auto *first = reinterpret_cast<const std::uint8_t *>(data);
    sink->target->insert(sink->target->end(), first, first + bytes);
  } catch (...) {
    return 0;
  }
  sink->received_bytes += bytes;
  return bytes;
}

long timeout_ms(long seconds) noexcept {
  const double scaled_ms = static_cast<double>(seconds) * 1000.0 * gTimeScale.load();
  return scaled_ms < 1.0 ? 1L : static_cast<long>(std::llround(scaled_ms));
}

std::size_t text_body_limit_bytes() noexcept {
  const std::size_t override_bytes = gTextBodyLimitOverrideBytes.load();
  return override_bytes != 0 ? override_bytes : kMaxTextBodyBytes;
}

std::size_t byte_body_limit_bytes() noexcept {
  const std::size_t override_bytes = gByteBodyLimitOverrideBytes.load();
  return override_bytes != 0 ? override_bytes : kMaxByteBodyBytes;
}

int global_init_count() noexcept { return gGlobalInitCount.load(); }

void setTimeScaleForTests(double scale) noexcept {
  if (scale > 0.0 && std::isfinite(scale)) gTimeScale.store(scale);
}

void setBodyLimitsForTests(std::size_t text_body_limit_bytes, std::size_t byte_body_limit_bytes) noexcept {
  gTextBodyLimitOverrideBytes.store(text_body_limit_bytes);
  gByteBodyLimitOverrideBytes.store(byte_body_limit_bytes);
}

}  // namespace detail

void initialise_libcurl() noexcept {
  try {
    std::call_once(g_global_init, [] {
      // The result is not checked: a failed global set-up shows as failed transfers later.
      (void)curl_global_init(CURL_GLOBAL_ALL);
      gGlobalInitCount.fetch_add(1);
    });
  } catch (...) {
    // call_once could not run; curl_easy_init still initialises libcurl itself when it must.
  }
}

HttpClient::HttpClient() noexcept {
  initialise_libcurl();
  handle.reset(curl_easy_init());
}

HttpResponse HttpClient::post_json(const std::string &url, const std::string &body) const noexcept {
  detail::RequestPlan plan;
  plan.method = detail::HttpMethod::Post;
  plan.body = body.data();
  plan.body_bytes = body.size();
  plan.content_type = "application/json";
  plan.accept = "application/json";
  plan.timeout_sec = kPostJsonTimeoutSec;
  plan.follow_redirects = true;
  return perform_text_request(handle.get(), url, plan);
}

HttpResponse HttpClient::put_bytes(const std::string &url, const std::vector<std::uint8_t> &bytes,
                                   const char *content_type) const noexcept {
  // An empty vector may have no storage; libcurl needs a real pointer to send an empty body rather than none.
  static const char kNoBytes[1] = {0};
  detail::RequestPlan plan;
  plan.method = detail::HttpMethod::Put;
  plan.body = bytes.empty() ? static_cast<const void *>(kNoBytes) : static_cast<const void *>(bytes.data());
  plan.body_bytes = bytes.size();
  plan.content_type = content_type != nullptr ? content_type : "application/octet-stream";
  plan.timeout_sec = kPutBytesTimeoutSec;
  // A redirect comes back as the status: the upload is not sent on to another address.
  plan.follow_redirects = false;
  return perform_text_request(handle.get(), url, plan);
}

HttpResponse HttpClient::get(const std::string &url) const noexcept {
  detail::RequestPlan plan;
  plan.method = detail::HttpMethod::Get;
  plan.timeout_sec = kGetTimeoutSec;
  plan.follow_redirects = true;
  return perform_text_request(handle.get(), url, plan);
}

bool HttpClient::get_bytes(const std::string &url, std::vector<std::uint8_t> *out) const noexcept {
  if (!handle || out == nullptr || !is_sendable_url(url)) return false;
  try {
    detail::VectorSink sink{out, detail::byte_body_limit_bytes()};
    detail::RequestPlan plan;
    plan.method = detail::HttpMethod::Get;
    plan.timeout_sec = kGetBytesTimeoutSec;
    plan.follow_redirects = true;
    const long status =
        detail::perform_request(handle.get(), url, plan, {&detail::write_vector, &sink, sink.limit_bytes});
    return is_success_status(status);
  } catch (...) {
    return false;
  }
}

}  // namespace kesto
