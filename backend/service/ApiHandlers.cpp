#include "ApiHandlers.h"

#include <exception>
#include <nlohmann/json.hpp>

#include "FileUtil.h"
#include "ImageProbe.h"
#include "JobRunner.h"
#include "Routes.h"
#include "SessionStore.h"
#include "Validation.h"

namespace kesto::backend {

namespace {

using nlohmann::json;

ApiResponse json_response(int status, const json& body) {
  ApiResponse response;
  response.status = status;
  // Replace, not throw, on invalid UTF-8: client text only reaches here after validation, but be safe.
  response.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
  return response;
}

ApiResponse from_error(const ApiError& error) { return error_response(error.http_status, error.message); }

// The media type without parameters, lower-cased: "Application/JSON; charset=utf-8" gives "application/json".
std::string bare_media_type(const std::string& content_type) {
  std::string type = content_type.substr(0, content_type.find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  for (char& c : type) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return type;
}

std::optional<ApiError> require_json_type(const ApiRequest& request) {
  const std::string type = bare_media_type(request.content_type);
  if (type.empty() || type == "application/json") return std::nullopt;
  return ApiError{415, "Content-Type must be application/json"};
}

}  // namespace

ApiResponse error_response(int status, const std::string& message) {
  return json_response(status, json{{"error", message}});
}

ApiHandlers::ApiHandlers(const BackendConfig& config, SessionStore& store, JobRunner& runner, const Log& log)
    : config_(config), store_(store), runner_(runner), log_(log) {}

ApiResponse ApiHandlers::handle(const ApiRequest& request) {
  try {
    const Route route = match_route(request.method, request.path);
    const std::size_t limit = body_limit(route.kind, config_.max_frame_bytes);
    if (request.body.size() > limit && route.kind != RouteKind::NotFound &&
        route.kind != RouteKind::MethodNotAllowed) {
      return error_response(413, limit == 0 ? "this route takes no body"
                                            : "body larger than " + std::to_string(limit) + " bytes");
    }
    switch (route.kind) {
      case RouteKind::Health:
        return health();
      case RouteKind::Beacon:
        return beacon(request);
      case RouteKind::CreateSession:
        return create_session(request);
      case RouteKind::SessionStatus:
        return session_status(route.session_id);
      case RouteKind::DeleteSession:
        return delete_session(route.session_id);
      case RouteKind::UploadFrame:
        return upload_frame(request, route.session_id, route.frame_index);
      case RouteKind::StartJob:
        return start_job(request, route.session_id);
      case RouteKind::DownloadMatte:
        return download_matte(route.session_id, route.frame_index);
      case RouteKind::MethodNotAllowed: {
        ApiResponse response = error_response(405, request.method + " is not allowed here; use " + route.allow);
        response.headers.emplace_back("Allow", route.allow);
        return response;
      }
      case RouteKind::NotFound:
        break;
    }
    return error_response(404, "no such route: " + request.method + " " + printable(request.path, 200));
  } catch (const std::exception& e) {
    log_.warn(std::string("internal error on ") + request.method + " " + printable(request.path) + ": " + e.what());
    return error_response(500, "internal error");
  }
}

ApiResponse ApiHandlers::health() const {
  const json model = config_.engine == "neural" ? json(config_.neural.model_path) : json(nullptr);
  const json node = config_.node.empty() ? json(nullptr) : json(config_.node);
  const JobCounts jobs = runner_.counts();
  return json_response(200, json{{"status", "ok"},
                                 {"engine", config_.engine},
                                 {"model", model},
                                 {"node", node},
                                 {"sessions", store_.size()},
                                 {"jobs_running", jobs.running},
                                 {"jobs_queued", jobs.queued}});
}

Result<std::shared_ptr<Session>> ApiHandlers::find_session(const std::string& id) const {
  if (!is_valid_session_id(id)) return ApiError{400, "malformed session id"};
  auto session = store_.find(id);
  if (session) return session;
  const std::string_view owner = session_node(id);
  if (owner != config_.node) {
    // A proxy sent it to the wrong backend; say so, since the session itself may be alive elsewhere.
    const std::string here = config_.node.empty() ? "an unnamed node" : "node " + config_.node;
    return ApiError{404, "unknown session: its id names " +
                             (owner.empty() ? std::string("no node") : "node " + std::string(owner)) + ", this is " + here};
  }
  return ApiError{404, "unknown or expired session"};
}

ApiResponse ApiHandlers::beacon(const ApiRequest& request) {
  if (auto bad = require_json_type(request)) return from_error(*bad);
  auto report = parse_beacon(request.body);
  if (!report.ok()) return from_error(report.error());
  beacons_.fetch_add(1);
  const BeaconReport& r = report.value();
  log_.info("beacon from " + printable(request.peer) + ": plugin_version=" + printable(r.plugin_version) +
            " host=" + printable(r.host) + " os=" + printable(r.os) + " arch=" + printable(r.arch));
  return json_response(200, json{{"accepted", true}});
}

ApiResponse ApiHandlers::create_session(const ApiRequest& request) {
  if (auto bad = require_json_type(request)) return from_error(*bad);
  auto info = parse_create_session(request.body);
  if (!info.ok()) return from_error(info.error());
  auto session = store_.create(info.value(), SteadyClock::now());
  if (!session.ok()) return from_error(session.error());
  const std::string& id = session.value()->id();
  log_.info("session " + id + " created for " + printable(request.peer) + " (source \"" +
            printable(info.value().source, 40) + "\", " + std::to_string(info.value().fps) + " fps)");
  return json_response(201, json{{"session_id", id},
                                 {"max_frames", config_.max_frames},
                                 {"max_frame_bytes", config_.max_frame_bytes}});
}

ApiResponse ApiHandlers::session_status(const std::string& id) {
  const auto found = find_session(id);
  if (!found.ok()) return from_error(found.error());
  const std::shared_ptr<Session>& session = found.value();
  const SessionSnapshot s = session->snapshot(SteadyClock::now());
  json body{{"session_id", id},
            {"status", wire_status(s.state)},
            {"progress", json{{"stage", s.stage.empty() ? std::string("uploading") : s.stage}}},
            {"frames_received", s.frames_received},
            {"frame_count", s.frame_count}};
  if (s.state == SessionState::Failed) body["error"] = s.error;
  return json_response(200, body);
}

ApiResponse ApiHandlers::delete_session(const std::string& id) {
  if (!is_valid_session_id(id)) return error_response(400, "malformed session id");
  if (!store_.remove(id)) return error_response(404, "unknown or expired session");
  log_.info("session " + id + " deleted");
  return json_response(200, json{{"deleted", id}});
}

ApiResponse ApiHandlers::upload_frame(const ApiRequest& request, const std::string& id,
                                      const std::string& index_text) {
  const auto found = find_session(id);
  if (!found.ok()) return from_error(found.error());
  const std::shared_ptr<Session>& session = found.value();
  auto index = parse_frame_index(index_text, config_.max_frames);
  if (!index.ok()) return from_error(index.error());
  auto info = probe_image(request.body);
  if (!info.ok()) return from_error(info.error());
  const std::string type = bare_media_type(request.content_type);
  if (!type.empty() && type != "application/octet-stream" && type != media_type(info.value().format)) {
    return error_response(415, "Content-Type " + printable(type, 60) + " does not match the " +
                                   media_type(info.value().format) + " body");
  }
  auto stored = session->store_frame(index.value(), request.body, info.value(), SteadyClock::now());
  if (!stored.ok()) return from_error(stored.error());
  return json_response(200, json{{"frame", index.value()},
                                 {"bytes", request.body.size()},
                                 {"width", info.value().width},
                                 {"height", info.value().height}});
}

ApiResponse ApiHandlers::start_job(const ApiRequest& request, const std::string& id) {
  if (auto bad = require_json_type(request)) return from_error(*bad);
  const auto found = find_session(id);
  if (!found.ok()) return from_error(found.error());
  const std::shared_ptr<Session>& session = found.value();
  auto count = session->begin_job(request.body, SteadyClock::now());
  if (!count.ok()) return from_error(count.error());
  if (!runner_.submit(session)) {
    session->finish(std::string("the server is shutting down"), SteadyClock::now());
    return error_response(503, "the server is shutting down");
  }
  log_.info("session " + id + ": job started on " + std::to_string(count.value()) + " frames");
  return json_response(202, json{{"status", "RUNNING"}, {"frame_count", count.value()}});
}

ApiResponse ApiHandlers::download_matte(const std::string& id, const std::string& index_text) {
  const auto found = find_session(id);
  if (!found.ok()) return from_error(found.error());
  const std::shared_ptr<Session>& session = found.value();
  auto index = parse_frame_index(index_text, config_.max_frames);
  if (!index.ok()) return index.error().http_status == 413 ? error_response(404, "no such frame") : from_error(index.error());
  auto path = session->matte_for_download(index.value(), SteadyClock::now());
  if (!path.ok()) return from_error(path.error());
  auto bytes = read_whole_file(path.value());
  if (!bytes) return error_response(500, "matte " + std::to_string(index.value()) + " cannot be read");
  ApiResponse response;
  response.content_type = "image/png";
  response.body = std::move(*bytes);
  return response;
}

}  // namespace kesto::backend
