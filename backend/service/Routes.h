#pragma once
// Maps a method and path to one of the backend's routes. Pure text work, no server state, so every route and
// every malformed path can be tested directly.
//
//   GET    /api/health
//   POST   /api/beacon
//   POST   /api/matte/sessions
//   GET    /api/matte/sessions/{id}
//   DELETE /api/matte/sessions/{id}
//   PUT    /api/matte/sessions/{id}/frames/{index}
//   POST   /api/matte/sessions/{id}/start
//   GET    /api/matte/sessions/{id}/alpha/{index}.png
//
// Empty path segments are ignored, so a base URL with a trailing slash ("//api/...") still works.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kesto::backend {

enum class RouteKind {
  Health,
  Beacon,
  CreateSession,
  SessionStatus,
  DeleteSession,
  UploadFrame,
  StartJob,
  DownloadMatte,
  NotFound,          // no route has this path
  MethodNotAllowed,  // the path exists, but not for this method; `allow` lists the methods it takes
};

struct Route {
  RouteKind kind = RouteKind::NotFound;
  std::string session_id;   // raw segment, not yet validated
  std::string frame_index;  // raw segment, not yet validated
  std::string allow;
};

Route match_route(std::string_view method, std::string_view path);

// The path of a request target: the query is dropped and %XX escapes are decoded (the decoded bytes are
// checked later, like any other segment). Nothing for a target that is not a path or has a broken escape.
std::optional<std::string> request_path(std::string_view target);

// The largest body a route accepts, checked before the body is read.
std::size_t body_limit(RouteKind kind, std::size_t max_frame_bytes);

}  // namespace kesto::backend
