// The matte worker: one matte session on the backend, from the spooled frames to the matte files, on a
// detached thread of its own. It reports through the "status" and "session_id" parameters and one host
// message, and only while its instance lives; a job whose instance is gone stops at its next step.

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "image/WriteFile.h"
#include "net/HttpClient.h"
#include "plugin/BackendReplies.h"
#include "plugin/Job.h"
#include "plugin/JobFolders.h"
#include "plugin/JobSeams.h"
#include "plugin/LiveInstances.h"
#include "plugin/Params.h"
#include "plugin/PluginPrivate.h"
#include "plugin/Spooler.h"

namespace kesto {

std::atomic<bool> gBusy{false};

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kProgressEveryFrames = 24;
constexpr int kUploadAttempts = 3;
constexpr std::chrono::milliseconds kLivenessCheckInterval{100};
constexpr const char *kSessionsPath = "/api/matte/sessions";
constexpr const char *kJpegContentType = "image/jpeg";
constexpr const char *kMessagePrefix = "Orvalis: ";

// The host as one job sees it: parameter writes and messages reach it only while the job's instance lives,
// and under the registry's lock, so a destroy waits for a call in flight.
class JobHost {
 public:
  explicit JobHost(const PullAlphaJob &job) : effect_(job.effect), ticket_(job.instanceTicket) {}

  bool alive() const { return instance_lives(effect_, ticket_); }

  // False when the instance is gone (nothing was written).
  bool set(const char *name, const std::string &text) const {
    return with_live_instance(effect_, ticket_, [&] { set_string(effect_, name, text); });
  }
  bool setStatus(const std::string &text) const { return set(param::kStatus, text); }
  bool message(const std::string &text) const {
    return with_live_instance(effect_, ticket_, [&] { showMessage(text); });
  }

 private:
  OfxImageEffectHandle effect_;
  std::uint64_t ticket_;
};

// How a step, and in the end the whole session, went: Done lets the next step run.
struct Outcome {
  enum class Kind { Done, Failed, InstanceGone };
  Kind kind = Kind::Done;
  std::string reason;  // Failed
};

Outcome failed(std::string reason) { return Outcome{Outcome::Kind::Failed, std::move(reason)}; }
Outcome gone() { return Outcome{Outcome::Kind::InstanceGone, {}}; }

struct FileClose {
  void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

// The whole of a regular file; false when it cannot be opened, is no regular file, or a read fails, so a
// spooled frame that went missing is never sent as an empty body.
bool readWholeFile(const std::string &path, std::vector<std::uint8_t> &bytes) {
  const File file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  struct stat info {};
  if (::fstat(::fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  bytes.resize(static_cast<std::size_t>(info.st_size));
  if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
  return std::fgetc(file.get()) == EOF && !std::ferror(file.get());
}

std::string progressText(const char *what, std::int32_t index, std::int32_t frameCount) {
  return what + std::to_string(index + 1) + "/" + std::to_string(frameCount);
}

class MatteSession {
 public:
  MatteSession(const PullAlphaJob &job, const JobHost &host) : job_(job), host_(host) {}

  Outcome run() {
    Outcome outcome = create();
    if (outcome.kind == Outcome::Kind::Done) outcome = upload();
    if (outcome.kind == Outcome::Kind::Done) outcome = start();
    if (outcome.kind == Outcome::Kind::Done) outcome = poll();
    if (outcome.kind == Outcome::Kind::Done) outcome = download();
    return outcome;
  }

  const std::string &sessionId() const { return sessionId_; }

 private:
  Outcome create() {
    if (!host_.alive()) return gone();
    const nlohmann::json body = {{"fps", job_.fps}, {"source", "plugin"}};
    const SessionReply reply = read_session_reply(client_.post_json(job_.backendUrl + kSessionsPath, body.dump()));
    if (reply.kind == SessionReply::Kind::Unusable) return failed("cannot reach backend");
    // The id names a folder on this machine and a path on the backend: only a plain single segment will do.
    if (reply.kind == SessionReply::Kind::BadId) return failed("backend sent an unusable session id");
    sessionId_ = reply.sessionId;
    sessionUrl_ = job_.backendUrl + kSessionsPath + "/" + sessionId_;
    return {};
  }

  Outcome upload() {
    for (std::int32_t i = 0; i < job_.frameCount; ++i) {
      const std::string path = spool_file_path(job_.spoolDir, i);
      std::vector<std::uint8_t> bytes;
      if (!readWholeFile(path, bytes)) return failed("could not read spooled frame " + std::to_string(i));
      bool sent = false;
      for (int attempt = 0; attempt < kUploadAttempts && !sent; ++attempt) {
        if (!host_.alive()) return gone();
        sent = http_success(client_.put_bytes(sessionUrl_ + "/frames/" + std::to_string(i), bytes, kJpegContentType).status);
      }
      if (!sent) return failed("upload failed at frame " + std::to_string(i));
      std::remove(path.c_str());
      if (i % kProgressEveryFrames == 0 && !host_.setStatus(progressText("uploading ", i, job_.frameCount))) {
        return gone();
      }
    }
    return {};
  }

  Outcome start() {
    if (!host_.alive()) return gone();
    const HttpResponse reply = client_.post_json(sessionUrl_ + "/start", job_.jobJson);
    if (!http_success(reply.status)) return failed(start_rejected_reason(reply.body));
    return {};
  }

  // Polls until the backend says COMPLETED or FAILED. A backend that keeps answering that it is working is
  // polled without limit; one that gives no usable reply for poll_silence_limit() in a row is given up.
  Outcome poll() {
    Clock::time_point lastAnswer = Clock::now();
    for (;;) {
      if (!sleepWhileAlive(detail::poll_interval())) return gone();
      const PollReply reply = read_poll_reply(client_.get(sessionUrl_));
      switch (reply.kind) {
        case PollReply::Kind::Unusable:
          if (Clock::now() - lastAnswer >= detail::poll_silence_limit()) return failed("backend stopped answering");
          break;
        case PollReply::Kind::Failed: return failed(reply.failure);
        case PollReply::Kind::Completed: return {};
        case PollReply::Kind::Running:
          lastAnswer = Clock::now();
          if (reply.hasProgress && !host_.setStatus("tracking: " + reply.stage)) return gone();
          break;
      }
    }
  }

  Outcome download() {
    const std::string root = detail::job_root();
    const std::string matteDir = root + sessionId_ + "/";
    const std::string rootProblem = prepare_job_root(root);
    if (!rootProblem.empty()) return failed("could not create the matte folder: " + rootProblem);
    if (!ensure_private_dir(matteDir)) return failed("could not create the matte folder " + matteDir);
    for (std::int32_t i = 0; i < job_.frameCount; ++i) {
      if (!host_.alive()) return gone();
      std::vector<std::uint8_t> bytes;
      if (!client_.get_bytes(sessionUrl_ + "/alpha/" + std::to_string(i) + ".png", &bytes)) {
        return failed("download failed at frame " + std::to_string(i));
      }
      if (!write_file(matte_file_path(matteDir, i), bytes)) {
        return failed("could not write the matte of frame " + std::to_string(i) + " to " + matteDir);
      }
      if (i % kProgressEveryFrames == 0 && !host_.setStatus(progressText("downloading matte ", i, job_.frameCount))) {
        return gone();
      }
    }
    return {};
  }

  // Sleeps `wait`, looking every kLivenessCheckInterval whether the instance still lives.
  bool sleepWhileAlive(std::chrono::milliseconds wait) const {
    const Clock::time_point until = Clock::now() + wait;
    for (;;) {
      if (!host_.alive()) return false;
      const Clock::time_point now = Clock::now();
      if (now >= until) return true;
      std::this_thread::sleep_for(std::min<Clock::duration>(until - now, kLivenessCheckInterval));
    }
  }

  const PullAlphaJob &job_;
  const JobHost &host_;
  HttpClient client_;
  std::string sessionId_;
  std::string sessionUrl_;
};

void publish(const PullAlphaJob &job, const JobHost &host, const std::string &sessionId) {
  const std::string frames = std::to_string(job.frameCount);
  if (!host.set(param::kSessionId, sessionId)) return;
  if (!host.setStatus("ready: " + frames + " frames matted")) return;
  host.message(kMessagePrefix + std::string("alpha ready for ") + frames + " frames.");
}

void reportFailure(const JobHost &host, const std::string &reason) {
  if (!host.setStatus("failed: " + reason)) return;
  host.message(kMessagePrefix + reason);
}

std::string internalFailureReason(const std::exception *error) {
  if (error == nullptr) return "internal error";
  if (dynamic_cast<const std::bad_alloc *>(error) != nullptr) return "out of memory";
  return std::string("internal error: ") + error->what();
}

// Whatever way the worker ends: the spool folder goes, then the busy flag is cleared, last of all.
class WorkerEnd {
 public:
  explicit WorkerEnd(const std::string &spoolDir) : spoolDir_(spoolDir) {}
  ~WorkerEnd() {
    remove_spool_dir(spoolDir_);
    gBusy.store(false);
  }
  WorkerEnd(const WorkerEnd &) = delete;
  WorkerEnd &operator=(const WorkerEnd &) = delete;

 private:
  const std::string &spoolDir_;
};

}  // namespace

void runMatteWorker(PullAlphaJob job) noexcept {
  WorkerEnd end(job.spoolDir);
  const JobHost host(job);
  try {
    MatteSession session(job, host);
    const Outcome outcome = session.run();
    switch (outcome.kind) {
      case Outcome::Kind::Done: publish(job, host, session.sessionId()); break;
      case Outcome::Kind::Failed: reportFailure(host, outcome.reason); break;
      case Outcome::Kind::InstanceGone: break;
    }
  } catch (const std::exception &error) {
    try {
      reportFailure(host, internalFailureReason(&error));
    } catch (...) {
      // Nothing more can be said; the flag is still cleared below.
    }
  } catch (...) {
    try {
      reportFailure(host, internalFailureReason(nullptr));
    } catch (...) {
      // As above.
    }
  }
}

bool startMatteWorker(PullAlphaJob job) noexcept {
  if (detail::take_worker_start_failure()) return false;
  initialise_libcurl();
  try {
    std::thread(runMatteWorker, std::move(job)).detach();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace kesto
