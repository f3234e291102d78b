#pragma once
// The backend's routes as plain functions of a request: method, path, content type and body in, status,
// headers and body out. The HTTP server only carries bytes to and from here, so the whole protocol can be
// exercised with or without a socket.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "BackendConfig.h"
#include "Log.h"
#include "Result.h"

namespace kesto::backend {

class SessionStore;
class Session;
class JobRunner;

struct ApiRequest {
  std::string method;
  std::string path;
  std::string content_type;  // empty when the client sent none
  std::string body;
  std::string peer;          // for the log
};

struct ApiResponse {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// A JSON {"error": message} reply.
ApiResponse error_response(int status, const std::string& message);

class ApiHandlers {
 public:
  ApiHandlers(const BackendConfig& config, SessionStore& store, JobRunner& runner, const Log& log);
  ApiResponse handle(const ApiRequest& request);
  std::uint64_t beacons_received() const { return beacons_.load(); }

 private:
  ApiResponse health() const;
  // The live session `id` names: 400 for a malformed id, 404 for one this node does not hold.
  Result<std::shared_ptr<Session>> find_session(const std::string& id) const;
  ApiResponse beacon(const ApiRequest& request);
  ApiResponse create_session(const ApiRequest& request);
  ApiResponse session_status(const std::string& id);
  ApiResponse delete_session(const std::string& id);
  ApiResponse upload_frame(const ApiRequest& request, const std::string& id, const std::string& index_text);
  ApiResponse start_job(const ApiRequest& request, const std::string& id);
  ApiResponse download_matte(const std::string& id, const std::string& index_text);

  const BackendConfig& config_;
  SessionStore& store_;
  JobRunner& runner_;
  const Log& log_;
  std::atomic<std::uint64_t> beacons_{0};
};

}  // namespace kesto::backend
