#pragma once
// The reference backend started for one job: `trevane-backend` as a child process on a free loopback port,
// stopped (SIGTERM, then SIGKILL after a grace period) and its working folder removed when this object goes.

#include <string>
#include <sys/types.h>

namespace trevane::cli {

class EmbeddedBackend {
 public:
  // Finds the executable (`executable` if given, else beside this tool, in the build tree's backend folder,
  // then on PATH), starts it with the given engine (and model, unless empty) and waits until it listens.
  // Throws std::runtime_error with a one-line reason when it cannot.
  EmbeddedBackend(const std::string &executable, const std::string &engine, const std::string &model);
  ~EmbeddedBackend();
  EmbeddedBackend(const EmbeddedBackend &) = delete;
  EmbeddedBackend &operator=(const EmbeddedBackend &) = delete;

  // "http://127.0.0.1:PORT", without a trailing slash.
  const std::string &url() const { return url_; }

 private:
  void stop() noexcept;

  pid_t pid_ = -1;
  std::string folder_;
  std::string url_;
};

}  // namespace trevane::cli
