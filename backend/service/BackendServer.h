#pragma once
// The backend as a whole: the HTTP listener, the session store, the job runner and the expiry sweep. Start it
// on port 0 to let the system choose a free port; stop() (or the destructor) ends every thread it started and
// removes the sessions' folders.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "BackendConfig.h"
#include "Result.h"

namespace kesto::backend {

class SessionStore;

class BackendServer {
 public:
  explicit BackendServer(BackendConfig config);
  ~BackendServer();
  BackendServer(const BackendServer&) = delete;
  BackendServer& operator=(const BackendServer&) = delete;

  // Prepares the working folder, binds, and serves on background threads. Returns the bound port.
  Result<int> start();
  // Stops listening, cancels jobs, joins every thread, removes the sessions. Idempotent.
  void stop();

  int port() const;
  std::string base_url() const;  // "http://HOST:PORT"
  const std::filesystem::path& workdir() const;
  SessionStore& sessions();
  std::uint64_t beacons_received() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kesto::backend
