#pragma once
// Folder-private: how one request is set up on a libcurl handle and run. Every request shares the identity,
// limits and safety settings; what a request adds of its own (method, body, headers, time limit, redirect
// rule) is written out in a RequestPlan, so each request's options read in one place.

#include <cstddef>
#include <string>

#include <curl/curl.h>

namespace kesto::detail {

enum class HttpMethod { Get, Post, Put };

struct RequestPlan {
  HttpMethod method = HttpMethod::Get;
  // POST and PUT: the bytes sent, in memory (a real pointer even for an empty body).
  const void *body = nullptr;
  std::size_t body_bytes = 0;
  const char *content_type = nullptr;  // a "Content-Type" header, or none
  const char *accept = nullptr;        // an "Accept" header, or none
  long timeout_sec = 0;                // before the test seam's scaling
  bool follow_redirects = false;
};

// Where the response body goes: a libcurl write callback, its target, and the most the body may hold.
struct ResponseSink {
  curl_write_callback write = nullptr;
  void *target = nullptr;
  std::size_t limit_bytes = 0;
};

// Resets `curl`, sets the shared options and then the plan's, and runs the transfer into `sink`.
// Returns the last response code, or -1 when a header or option could not be set or the transfer failed.
// May throw std::bad_alloc while building the header lines.
long perform_request(CURL *curl, const std::string &url, const RequestPlan &plan, const ResponseSink &sink);

}  // namespace kesto::detail
