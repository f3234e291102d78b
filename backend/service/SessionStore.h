#pragma once
// All live sessions by id, the per-server limits on them, and their expiry.

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Session.h"

namespace kesto::backend {

// What recover() found in the folder.
struct Recovered {
  std::size_t completed = 0;    // served again
  std::size_t failed = 0;       // kept to answer FAILED (most cut short by the restart)
  std::size_t discarded = 0;    // session folders without a usable record, removed
};

struct StoreLimits {
  int max_sessions = 64;
  SteadyClock::duration session_ttl = std::chrono::hours(1);
};

class SessionStore {
 public:
  // New ids begin with "NODE-" when `node` is not empty.
  SessionStore(std::filesystem::path root, StoreLimits limits, std::shared_ptr<DiskBudget> budget,
               std::string node = std::string());

  // A new session with a fresh random id and its folder. 429 when the session limit is reached.
  Result<std::shared_ptr<Session>> create(const CreateSessionRequest& info, SteadyClock::time_point now);
  std::shared_ptr<Session> find(std::string_view id) const;
  // Takes the session out of the store and asks its job to stop; its folder goes once nobody holds it.
  std::shared_ptr<Session> remove(std::string_view id);
  // Removes every session idle for longer than the time to live; returns the ids removed.
  std::vector<std::string> remove_expired(SteadyClock::time_point now);
  // Empties the store, cancelling every job.
  void clear();
  std::size_t size() const;

  // Takes in the sessions an earlier run that did not end cleanly left in `root` (see Session::restore); their
  // time to live counts from `now`. Only folders named like a session id and marked by a session record are
  // touched; those whose record cannot be read are removed.
  Recovered recover(SteadyClock::time_point now);

 private:
  const std::filesystem::path root_;
  const StoreLimits limits_;
  const std::string node_;
  const std::shared_ptr<DiskBudget> budget_;
  mutable std::mutex mu_;
  std::map<std::string, std::shared_ptr<Session>, std::less<>> sessions_;
};

}  // namespace kesto::backend
