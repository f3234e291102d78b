#include "net/CurlRequest.h"

#include "net/HttpClient.h"
#include "net/HttpInternal.h"

namespace kesto::detail {
namespace {

// Only plain and secure web addresses are used: never file://, ftp:// or the other schemes libcurl knows,
// neither for the URL nor for a redirect target a server names.
constexpr char kAllowedProtocols[] = "http,https";

// Sets options in order until one fails; the first failure is kept.
class OptionSetter {
 public:
  explicit OptionSetter(CURL *curl) noexcept : curl_(curl) {}
  template <typename Value>
  OptionSetter &set(CURLoption option, Value value) noexcept {
    if (result_ == CURLE_OK) result_ = curl_easy_setopt(curl_, option, value);
    return *this;
  }
  bool ok() const noexcept { return result_ == CURLE_OK; }

 private:
  CURL *curl_;
  CURLcode result_ = CURLE_OK;
};

// Options every request shares: the URL, identity, limits and the safety settings for a library that runs
// on threads inside someone else's process.
void set_common_options(OptionSetter &options, const std::string &url, long timeout_sec,
                        std::size_t body_limit_bytes) noexcept {
  options.set(CURLOPT_URL, url.c_str())
      .set(CURLOPT_USERAGENT, kUserAgent)
      .set(CURLOPT_TIMEOUT_MS, timeout_ms(timeout_sec))
      // No signals: the host owns its signal handlers, and other threads may be running.
      .set(CURLOPT_NOSIGNAL, 1L)
      .set(CURLOPT_PROTOCOLS_STR, kAllowedProtocols)
      .set(CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols)
      .set(CURLOPT_MAXREDIRS, kMaxRedirects)
      // A declared length over the limit fails before any byte is stored; the write callback catches the rest.
      .set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(body_limit_bytes));
}

void set_method_options(OptionSetter &options, const RequestPlan &plan) noexcept {
  switch (plan.method) {
    case HttpMethod::Get:
      options.set(CURLOPT_HTTPGET, 1L);
      return;
    case HttpMethod::Post:
      options.set(CURLOPT_POST, 1L);
      break;
    case HttpMethod::Put:
      // The body goes as in-memory fields, like a POST, with only the method name replaced.
      options.set(CURLOPT_CUSTOMREQUEST, "PUT");
      break;
  }
  options.set(CURLOPT_POSTFIELDS, plan.body)
      .set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(plan.body_bytes));
}

// The plan's header lines; false when libcurl cannot take one.
bool build_headers(const RequestPlan &plan, CurlHeaderList &headers) {
  if (plan.content_type != nullptr &&
      !append_header(headers, std::string("Content-Type: ") + plan.content_type)) {
    return false;
  }
  return plan.accept == nullptr || append_header(headers, std::string("Accept: ") + plan.accept);
}

// Runs the transfer and returns the status: the last response code, or -1 when the transfer failed.
long perform_and_read_status(CURL *curl) noexcept {
  const CURLcode performed = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  return performed == CURLE_OK ? status : -1;
}

}  // namespace

long perform_request(CURL *curl, const std::string &url, const RequestPlan &plan, const ResponseSink &sink) {
  CurlHeaderList headers;
  if (!build_headers(plan, headers)) return -1;
  curl_easy_reset(curl);
  OptionSetter options(curl);
  set_common_options(options, url, plan.timeout_sec, sink.limit_bytes);
  set_method_options(options, plan);
  if (headers) options.set(CURLOPT_HTTPHEADER, headers.get());
  options.set(CURLOPT_WRITEFUNCTION, sink.write).set(CURLOPT_WRITEDATA, sink.target);
  if (plan.follow_redirects) options.set(CURLOPT_FOLLOWLOCATION, 1L);
  if (!options.ok()) return -1;
  return perform_and_read_status(curl);
}

}  // namespace kesto::detail
