#include "Session.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <system_error>

#include "FileUtil.h"
#include "Validation.h"

namespace kesto::backend {

namespace fs = std::filesystem;

namespace {

std::string numbered(int index, const char* extension) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d%s", index, extension);
  return name;
}

}  // namespace

bool DiskBudget::try_reserve(std::uint64_t bytes) {
  const std::lock_guard<std::mutex> lock(mu_);
  if (bytes > limit_bytes_ - used_bytes_) return false;
  used_bytes_ += bytes;
  return true;
}

void DiskBudget::release(std::uint64_t bytes) {
  const std::lock_guard<std::mutex> lock(mu_);
  used_bytes_ -= std::min(bytes, used_bytes_);
}

std::uint64_t DiskBudget::used_bytes() const {
  const std::lock_guard<std::mutex> lock(mu_);
  return used_bytes_;
}

const char* wire_status(SessionState state) {
  switch (state) {
    case SessionState::Uploading:
      return "UPLOADING";
    case SessionState::Queued:
    case SessionState::Running:
      return "RUNNING";
    case SessionState::Completed:
      return "COMPLETED";
    case SessionState::Failed:
      return "FAILED";
  }
  return "FAILED";
}

Session::Session(std::string id, fs::path dir, std::shared_ptr<DiskBudget> budget, CreateSessionRequest info,
                 SteadyClock::time_point now)
    : id_(std::move(id)), dir_(std::move(dir)), budget_(std::move(budget)), info_(std::move(info)),
      last_activity_(now) {}

Session::~Session() {
  std::error_code ec;
  fs::remove_all(dir_, ec);  // nothing useful to do on failure: the folder is ours and nobody else reads it
  budget_->release(bytes_on_disk_);
}

std::string Session::prepare_folders() {
  std::error_code ec;
  for (const char* sub : {"frames", "alpha", "scratch"}) {
    fs::create_directories(dir_ / sub, ec);
    if (ec) return "cannot create session folder: " + ec.message();
  }
  const std::lock_guard<std::mutex> lock(mu_);
  return write_record();
}

std::string Session::write_record() const {
  SessionRecord record{SessionRecord::Stage::Uploading, info_.fps, info_.source, frame_count_, error_, {}};
  switch (state_) {
    case SessionState::Uploading:
      break;
    case SessionState::Queued:
    case SessionState::Running:
      record.stage = SessionRecord::Stage::Started;
      break;
    case SessionState::Completed:
      record.stage = SessionRecord::Stage::Completed;
      record.matte_bytes = matte_bytes_;
      break;
    case SessionState::Failed:
      record.stage = SessionRecord::Stage::Failed;
      break;
  }
  const std::string text = encode_session_record(record);
  return write_file_atomic(dir_ / kSessionRecordFile, text.data(), text.size());
}

void Session::remove_unfinished_files(bool keep_mattes) const {
  std::error_code ec;
  fs::remove_all(dir_ / "frames", ec);
  fs::remove_all(scratch_dir(), ec);
  // Files a write had not renamed into place yet carry ".tmp-" (see write_file_atomic).
  const auto unfinished = [](const fs::path& file) { return file.filename().string().find(".tmp-") != std::string::npos; };
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code remove_ec;
    if (unfinished(it->path())) fs::remove(it->path(), remove_ec);
  }
  for (fs::directory_iterator it(dir_ / "alpha", ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code remove_ec;
    if (!keep_mattes || unfinished(it->path())) fs::remove(it->path(), remove_ec);
  }
}

std::string Session::restore(const SessionRecord& record, SteadyClock::time_point now) {
  const std::lock_guard<std::mutex> lock(mu_);
  last_activity_ = now;  // the time to live counts from the restart
  frame_count_ = record.frame_count;
  frames_received_ = record.frame_count;
  state_ = SessionState::Failed;
  stage_ = "failed";
  if (record.stage == SessionRecord::Stage::Completed) {
    std::uint64_t total = 0;
    int damaged = -1;
    for (int i = 0; i < frame_count_ && damaged < 0; ++i) {
      const std::uint64_t bytes = record.matte_bytes[static_cast<std::size_t>(i)];
      if (file_size_or_zero(matte_file(i)) != bytes || bytes == 0) damaged = i;
      total += bytes;
    }
    if (damaged < 0) {
      if (!budget_->try_reserve(total)) return "its mattes do not fit in the disk limit";
      bytes_on_disk_ = total;
      matte_bytes_ = record.matte_bytes;
      state_ = SessionState::Completed;
      stage_ = "done";
    } else {
      error_ = "the server restarted and matte " + std::to_string(damaged) + " was lost; pull the matte again";
    }
  } else {
    error_ = record.stage == SessionRecord::Stage::Failed ? record.error : kRestartedError;
  }
  remove_unfinished_files(state_ == SessionState::Completed);
  write_record();
  return {};
}

Result<int> Session::store_frame(int index, std::string_view bytes, const ImageInfo& info,
                                 SteadyClock::time_point now) {
  const std::lock_guard<std::mutex> lock(mu_);
  last_activity_ = now;
  if (state_ == SessionState::Failed) return ApiError{409, "the session failed: " + error_};
  if (state_ != SessionState::Uploading) return ApiError{409, "the job has started: frames can no longer change"};
  // A refused frame must not lengthen the clip: the job would then wait for a frame that was never taken.
  const std::size_t known_frames = frames_.size();
  if (static_cast<std::size_t>(index) >= known_frames) frames_.resize(static_cast<std::size_t>(index) + 1);
  FrameRecord& record = frames_[static_cast<std::size_t>(index)];
  // A replacement needs only the growth reserved: the old copy's bytes come back once it is overwritten.
  const std::uint64_t old_bytes = record.present ? record.bytes : 0;
  const std::uint64_t growth = bytes.size() > old_bytes ? bytes.size() - old_bytes : 0;
  if (!budget_->try_reserve(growth)) {
    frames_.resize(known_frames);
    return ApiError{507, "the server's disk limit for sessions is reached"};
  }
  // frame_file() reads the record's format, so set it before naming the file. A copy of the other format is
  // removed only once its replacement is written: a failed write keeps the frame the clip had.
  const ImageFormat old_format = record.format;
  const std::optional<fs::path> other_format =
      record.present && old_format != info.format ? std::optional<fs::path>(frame_file(index)) : std::nullopt;
  record.format = info.format;
  const std::string problem = write_file_atomic(frame_file(index), bytes.data(), bytes.size());
  if (!problem.empty()) {
    record.format = old_format;
    budget_->release(growth);
    frames_.resize(known_frames);
    return ApiError{507, problem};
  }
  if (other_format) {
    std::error_code ec;
    fs::remove(*other_format, ec);
  }
  if (old_bytes > bytes.size()) budget_->release(old_bytes - bytes.size());
  bytes_on_disk_ -= old_bytes;
  if (!record.present) ++frames_received_;
  record.present = true;
  record.bytes = bytes.size();
  bytes_on_disk_ += bytes.size();
  return index;
}

Result<int> Session::begin_job(std::string_view job_body, SteadyClock::time_point now) {
  const std::lock_guard<std::mutex> lock(mu_);
  last_activity_ = now;
  if (state_ == SessionState::Failed) return ApiError{409, "the session failed: " + error_};
  if (state_ != SessionState::Uploading) return ApiError{409, "the job has already been started"};
  if (frames_received_ == 0) return ApiError{409, "no frames uploaded"};
  const int count = static_cast<int>(frames_.size());
  if (frames_received_ != count) {
    for (int i = 0; i < count; ++i) {
      if (!frames_[static_cast<std::size_t>(i)].present) {
        return ApiError{409, "frame " + std::to_string(i) + " is missing (frames 0 to " + std::to_string(count - 1) +
                                 " are expected)"};
      }
    }
  }
  auto job = parse_job_request(job_body, count);
  if (!job.ok()) return job.error();
  job_ = std::move(job.value());
  frame_count_ = count;
  matte_bytes_.assign(static_cast<std::size_t>(count), 0);
  state_ = SessionState::Queued;
  stage_ = "queued";
  write_record();
  return count;
}

Result<fs::path> Session::matte_for_download(int index, SteadyClock::time_point now) {
  const std::lock_guard<std::mutex> lock(mu_);
  last_activity_ = now;
  if (state_ == SessionState::Failed) return ApiError{409, "the job failed: " + error_};
  if (state_ != SessionState::Completed) return ApiError{409, "the mattes are not ready yet"};
  if (index >= frame_count_) {
    return ApiError{404, "no frame " + std::to_string(index) + ": the clip has " + std::to_string(frame_count_) +
                             " frames"};
  }
  return matte_file(index);
}

SessionSnapshot Session::snapshot(SteadyClock::time_point now) {
  const std::lock_guard<std::mutex> lock(mu_);
  last_activity_ = now;
  return SessionSnapshot{state_, stage_, error_, frames_received_, frame_count_};
}

bool Session::is_expired(SteadyClock::time_point now, SteadyClock::duration ttl) const {
  const std::lock_guard<std::mutex> lock(mu_);
  if (state_ == SessionState::Queued || state_ == SessionState::Running) return false;  // a job is not idle
  return now - last_activity_ >= ttl;
}

JobRequest Session::job_request() const {
  const std::lock_guard<std::mutex> lock(mu_);
  return job_;
}

int Session::job_frame_count() const {
  const std::lock_guard<std::mutex> lock(mu_);
  return frame_count_;
}

fs::path Session::frame_file(int index) const {
  // Callers hold mu_ or run the job, when the records no longer change.
  const auto slot = static_cast<std::size_t>(index);
  const ImageFormat format = slot < frames_.size() ? frames_[slot].format : ImageFormat::Jpeg;
  return dir_ / "frames" / numbered(index, file_extension(format));
}

fs::path Session::matte_file(int index) const { return dir_ / "alpha" / numbered(index, ".png"); }

fs::path Session::scratch_dir() const { return dir_ / "scratch"; }

bool Session::mark_running() {
  const std::lock_guard<std::mutex> lock(mu_);
  if (cancel_requested() || state_ != SessionState::Queued) return false;
  state_ = SessionState::Running;
  stage_ = "starting";
  return true;
}

void Session::set_stage(std::string stage) {
  const std::lock_guard<std::mutex> lock(mu_);
  stage_ = std::move(stage);
}

bool Session::account_matte(int index, std::uint64_t bytes) {
  if (!budget_->try_reserve(bytes)) return false;
  const std::lock_guard<std::mutex> lock(mu_);
  bytes_on_disk_ += bytes;
  const auto slot = static_cast<std::size_t>(index);
  if (slot >= matte_bytes_.size()) matte_bytes_.resize(slot + 1, 0);
  // A matte written again replaces the earlier file; its bytes stay reserved until the session goes.
  matte_bytes_[slot] = bytes;
  return true;
}

void Session::finish(std::optional<std::string> error, SteadyClock::time_point now) {
  // The frames and scratch files are not needed once the job is over; give their disk back.
  std::error_code ec;
  std::uint64_t freed = 0;
  {
    const std::lock_guard<std::mutex> lock(mu_);
    for (std::size_t i = 0; i < frames_.size(); ++i) {
      if (!frames_[i].present) continue;
      fs::remove(frame_file(static_cast<int>(i)), ec);
      freed += frames_[i].bytes;
      frames_[i].bytes = 0;
    }
    bytes_on_disk_ -= std::min(freed, bytes_on_disk_);
    if (error) {
      state_ = SessionState::Failed;
      error_ = *error;
      stage_ = "failed";
    } else {
      state_ = SessionState::Completed;
      stage_ = "done";
    }
    last_activity_ = now;
    write_record();
  }
  budget_->release(freed);
  fs::remove_all(scratch_dir(), ec);
}

}  // namespace kesto::backend
