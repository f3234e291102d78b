#include "plugin/JobSeams.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "plugin/MatteStore.h"

namespace kesto::detail {
namespace {

std::atomic<long long> gPollIntervalMs{0};
std::atomic<long long> gSilenceLimitMs{0};
std::atomic<int> gSpoolThreads{0};
std::atomic<bool> gFailWorkerStart{false};
std::atomic<void (*)(const char *)> gSpoolRemovedHook{nullptr};

// Never destroyed: a detached worker may still read it while the process exits.
struct RootOverride {
  std::mutex mu;
  std::string root;
};
RootOverride &rootOverride() {
  static auto *state = new RootOverride;
  return *state;
}

int default_spool_threads() noexcept {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(static_cast<int>(cores), 1, kMaxSpoolThreads);
}

}  // namespace

std::chrono::milliseconds poll_interval() noexcept {
  const long long ms = gPollIntervalMs.load();
  return ms > 0 ? std::chrono::milliseconds(ms) : kPollInterval;
}

std::chrono::milliseconds poll_silence_limit() noexcept {
  const long long ms = gSilenceLimitMs.load();
  return ms > 0 ? std::chrono::milliseconds(ms) : kPollSilenceLimit;
}

int spool_threads() noexcept {
  const int threads = gSpoolThreads.load();
  return threads > 0 ? std::min(threads, kMaxSpoolThreads) : default_spool_threads();
}

std::string job_root() {
  RootOverride &o = rootOverride();
  std::lock_guard<std::mutex> lock(o.mu);
  return o.root.empty() ? std::string(kMatteRoot) : o.root;
}

bool take_worker_start_failure() noexcept { return gFailWorkerStart.exchange(false); }

void setPollTimingForTests(std::chrono::milliseconds interval, std::chrono::milliseconds silenceLimit) noexcept {
  gPollIntervalMs.store(std::max<long long>(interval.count(), 0));
  gSilenceLimitMs.store(std::max<long long>(silenceLimit.count(), 0));
}

void setSpoolThreadsForTests(int threads) noexcept { gSpoolThreads.store(std::max(threads, 0)); }

void setJobRootForTests(const std::string &root) {
  RootOverride &o = rootOverride();
  std::lock_guard<std::mutex> lock(o.mu);
  o.root = root;
  if (!o.root.empty() && o.root.back() != '/') o.root += '/';
}

void failNextWorkerStartForTests() noexcept { gFailWorkerStart.store(true); }

void spool_dir_removed(const std::string &path) noexcept {
  if (auto *hook = gSpoolRemovedHook.load()) hook(path.c_str());
}

void setSpoolRemovedHookForTests(void (*hook)(const char *path)) noexcept { gSpoolRemovedHook.store(hook); }

}  // namespace kesto::detail
