#include "SessionStore.h"

#include <system_error>

#include "FileUtil.h"
#include "RandomId.h"
#include "Validation.h"

namespace kesto::backend {

namespace fs = std::filesystem;

SessionStore::SessionStore(fs::path root, StoreLimits limits, std::shared_ptr<DiskBudget> budget, std::string node)
    : root_(std::move(root)), limits_(limits), node_(std::move(node)), budget_(std::move(budget)) {}

Result<std::shared_ptr<Session>> SessionStore::create(const CreateSessionRequest& info, SteadyClock::time_point now) {
  std::shared_ptr<Session> session;
  {
    const std::lock_guard<std::mutex> lock(mu_);
    if (sessions_.size() >= static_cast<std::size_t>(limits_.max_sessions)) {
      return ApiError{429, "too many sessions (limit " + std::to_string(limits_.max_sessions) + "); try again later"};
    }
    std::string id = random_session_id(node_);
    while (sessions_.count(id) != 0) id = random_session_id(node_);
    session = std::make_shared<Session>(id, root_ / id, budget_, info, now);
    sessions_.emplace(id, session);
  }
  const std::string problem = session->prepare_folders();
  if (!problem.empty()) {
    remove(session->id());
    return ApiError{507, problem};
  }
  return session;
}

std::shared_ptr<Session> SessionStore::find(std::string_view id) const {
  const std::lock_guard<std::mutex> lock(mu_);
  const auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : it->second;
}

std::shared_ptr<Session> SessionStore::remove(std::string_view id) {
  std::shared_ptr<Session> removed;
  {
    const std::lock_guard<std::mutex> lock(mu_);
    const auto it = sessions_.find(id);
    if (it == sessions_.end()) return nullptr;
    removed = std::move(it->second);
    sessions_.erase(it);
  }
  removed->request_cancel();
  return removed;
}

std::vector<std::string> SessionStore::remove_expired(SteadyClock::time_point now) {
  std::vector<std::shared_ptr<Session>> expired;
  {
    const std::lock_guard<std::mutex> lock(mu_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (it->second->is_expired(now, limits_.session_ttl)) {
        expired.push_back(std::move(it->second));
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::vector<std::string> ids;
  for (const auto& session : expired) ids.push_back(session->id());
  return ids;  // folders go here, outside the lock, as `expired` releases the sessions
}

void SessionStore::clear() {
  std::map<std::string, std::shared_ptr<Session>, std::less<>> all;
  {
    const std::lock_guard<std::mutex> lock(mu_);
    all.swap(sessions_);
  }
  for (auto& entry : all) entry.second->request_cancel();
}

std::size_t SessionStore::size() const {
  const std::lock_guard<std::mutex> lock(mu_);
  return sessions_.size();
}

Recovered SessionStore::recover(SteadyClock::time_point now) {
  Recovered found;
  std::error_code ec;
  for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& dir = it->path();
    const std::string id = dir.filename().string();
    if (!it->is_directory(ec) || !is_valid_session_id(id)) continue;
    const auto text = read_whole_file(dir / kSessionRecordFile);
    if (!text) continue;  // not a session's folder
    const auto record = decode_session_record(*text);
    auto session = std::make_shared<Session>(id, dir, budget_, CreateSessionRequest{record ? record->fps : 0.0,
                                                                                     record ? record->source : ""},
                                             now);
    // A session dropped here takes its folder with it.
    if (!record || !session->restore(*record, now).empty()) {
      ++found.discarded;
      continue;
    }
    ++(session->snapshot(now).state == SessionState::Completed ? found.completed : found.failed);
    const std::lock_guard<std::mutex> lock(mu_);
    sessions_.emplace(id, std::move(session));
  }
  return found;
}

}  // namespace kesto::backend
