#include "Routes.h"

#include <vector>

#include "Validation.h"

namespace kesto::backend {

namespace {

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    const std::size_t slash = path.find('/', pos);
    const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (end > pos) parts.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

Route pick(std::string_view method, std::string_view allowed_get, RouteKind get_kind, std::string_view allowed_other,
           RouteKind other_kind, std::string allow) {
  Route route;
  if (!allowed_get.empty() && method == allowed_get) {
    route.kind = get_kind;
  } else if (!allowed_other.empty() && method == allowed_other) {
    route.kind = other_kind;
  } else {
    route.kind = RouteKind::MethodNotAllowed;
    route.allow = std::move(allow);
  }
  return route;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> request_path(std::string_view target) {
  target = target.substr(0, target.find_first_of("?#"));
  if (target.empty() || target.front() != '/') return std::nullopt;
  std::string path;
  path.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target[i] != '%') {
      path += target[i];
      continue;
    }
    const int high = i + 2 < target.size() ? hex_value(target[i + 1]) : -1;
    const int low = high >= 0 ? hex_value(target[i + 2]) : -1;
    if (low < 0) return std::nullopt;
    path += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return path;
}

Route match_route(std::string_view method, std::string_view path) {
  const auto parts = split_path(path);
  const std::size_t n = parts.size();
  if (n < 2 || parts[0] != "api") return Route{};
  if (n == 2 && parts[1] == "health") return pick(method, "GET", RouteKind::Health, "", RouteKind::NotFound, "GET");
  if (n == 2 && parts[1] == "beacon") return pick(method, "", RouteKind::NotFound, "POST", RouteKind::Beacon, "POST");
  if (parts[1] != "matte" || n < 3 || parts[2] != "sessions") return Route{};
  if (n == 3) return pick(method, "", RouteKind::NotFound, "POST", RouteKind::CreateSession, "POST");

  Route route;
  if (n == 4) {
    route = pick(method, "GET", RouteKind::SessionStatus, "DELETE", RouteKind::DeleteSession, "GET, DELETE");
  } else if (n == 5 && parts[4] == "start") {
    route = pick(method, "", RouteKind::NotFound, "POST", RouteKind::StartJob, "POST");
  } else if (n == 6 && parts[4] == "frames") {
    route = pick(method, "", RouteKind::NotFound, "PUT", RouteKind::UploadFrame, "PUT");
    route.frame_index = std::string(parts[5]);
  } else if (n == 6 && parts[4] == "alpha") {
    const std::string_view name = parts[5];
    constexpr std::string_view kSuffix = ".png";
    if (name.size() <= kSuffix.size() || name.substr(name.size() - kSuffix.size()) != kSuffix) return Route{};
    route = pick(method, "GET", RouteKind::DownloadMatte, "", RouteKind::NotFound, "GET");
    route.frame_index = std::string(name.substr(0, name.size() - kSuffix.size()));
  } else {
    return Route{};
  }
  route.session_id = std::string(parts[3]);
  return route;
}

std::size_t body_limit(RouteKind kind, std::size_t max_frame_bytes) {
  switch (kind) {
    case RouteKind::UploadFrame:
      return max_frame_bytes;
    case RouteKind::Beacon:
    case RouteKind::CreateSession:
    case RouteKind::StartJob:
      return kMaxJsonBodyBytes;
    default:
      return 0;
  }
}

}  // namespace kesto::backend
