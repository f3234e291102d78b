#pragma once
// One matte session: its uploaded frames, its job request, its state and progress, and its folder on disk.
// A session owns its folder: the folder is removed when the last holder (store, running job, download in
// flight) lets go of the session.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ImageProbe.h"
#include "backend/matting/JobRequest.h"
#include "Result.h"
#include "ServiceRequests.h"
#include "SessionRecord.h"

namespace kesto::backend {

using SteadyClock = std::chrono::steady_clock;

// What a session whose job a restart cut short answers.
inline constexpr const char* kRestartedError = "the server restarted during the job; pull the matte again";

// Bytes on disk of all sessions together, against one limit.
class DiskBudget {
 public:
  explicit DiskBudget(std::uint64_t limit_bytes) : limit_bytes_(limit_bytes) {}
  bool try_reserve(std::uint64_t bytes);
  void release(std::uint64_t bytes);
  std::uint64_t used_bytes() const;
  std::uint64_t limit_bytes() const { return limit_bytes_; }

 private:
  const std::uint64_t limit_bytes_;
  mutable std::mutex mu_;
  std::uint64_t used_bytes_ = 0;
};

// Queued and Running both read as "RUNNING" on the wire; Uploading as "UPLOADING".
enum class SessionState { Uploading, Queued, Running, Completed, Failed };
const char* wire_status(SessionState state);

struct SessionSnapshot {
  SessionState state = SessionState::Uploading;
  std::string stage;
  std::string error;
  int frames_received = 0;  // distinct frame indices uploaded
  int frame_count = 0;      // frames in the job, once started
};

class Session {
 public:
  Session(std::string id, std::filesystem::path dir, std::shared_ptr<DiskBudget> budget,
          CreateSessionRequest info, SteadyClock::time_point now);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Creates the folder layout and the session's record. Returns an empty string on success.
  std::string prepare_folders();

  // For a folder an earlier run of the server left: takes the state its record gives. A completed job whose
  // mattes are all whole is served again; one that was uploading or running fails with kRestartedError.
  // Frames and unfinished files go. Returns an empty string, or why the session cannot be kept.
  std::string restore(const SessionRecord& record, SteadyClock::time_point now);

  const std::string& id() const { return id_; }
  const std::filesystem::path& dir() const { return dir_; }

  // --- client side; each call counts as activity for expiry ---
  // Stores (or replaces) frame `index`. 409 once the job has started, 507 when the disk limit is reached.
  Result<int> store_frame(int index, std::string_view bytes, const ImageInfo& info, SteadyClock::time_point now);
  // Checks the frames (0..n-1, none missing) and the job request, then moves to Queued. Returns n.
  Result<int> begin_job(std::string_view job_body, SteadyClock::time_point now);
  // The finished matte of frame `index`: 409 until the job has completed, 404 for an index outside the clip.
  Result<std::filesystem::path> matte_for_download(int index, SteadyClock::time_point now);
  SessionSnapshot snapshot(SteadyClock::time_point now);
  bool is_expired(SteadyClock::time_point now, SteadyClock::duration ttl) const;

  // --- job side ---
  JobRequest job_request() const;
  int job_frame_count() const;
  std::filesystem::path frame_file(int index) const;
  std::filesystem::path matte_file(int index) const;
  std::filesystem::path scratch_dir() const;
  bool mark_running();  // false when the session was cancelled while queued
  void set_stage(std::string stage);
  bool account_matte(int index, std::uint64_t bytes);  // for each matte a job writes; false at the disk limit
  void finish(std::optional<std::string> error, SteadyClock::time_point now);
  void request_cancel() { cancel_.store(true); }
  bool cancel_requested() const { return cancel_.load(); }

 private:
  // Writes the record of the current state (mu_ held); returns why it could not. Past creation only the
  // session's recovery depends on it, so a failure there is not the client's and is ignored.
  std::string write_record() const;
  void remove_unfinished_files(bool keep_mattes) const;

  struct FrameRecord {
    bool present = false;
    ImageFormat format = ImageFormat::Jpeg;
    std::uint64_t bytes = 0;
  };

  const std::string id_;
  const std::filesystem::path dir_;
  const std::shared_ptr<DiskBudget> budget_;
  const CreateSessionRequest info_;
  std::atomic<bool> cancel_{false};

  mutable std::mutex mu_;
  SessionState state_ = SessionState::Uploading;
  std::string stage_;
  std::string error_;
  std::vector<FrameRecord> frames_;
  int frames_received_ = 0;
  int frame_count_ = 0;
  JobRequest job_;
  std::vector<std::uint64_t> matte_bytes_;
  std::uint64_t bytes_on_disk_ = 0;
  SteadyClock::time_point last_activity_;
};

}  // namespace kesto::backend
