#pragma once
// Test-only switches of the matte job. Nothing in the product calls the setters, and no parameter, file or
// environment variable reaches them: they let tests and benchmarks run a job in milliseconds instead of
// minutes, in a folder of their own, and choose how many threads spool. Set them while no job runs.

#include <chrono>
#include <string>

namespace kesto::detail {

// Shipped values.
inline constexpr std::chrono::milliseconds kPollInterval{3000};
// Polls that get no usable reply for this long in a row end the job.
inline constexpr std::chrono::milliseconds kPollSilenceLimit{10 * 60 * 1000};
// Encoder threads never exceed this (the host's thread fetches; four frames in flight at most in all).
inline constexpr int kMaxSpoolThreads = 3;

// Effective values.
std::chrono::milliseconds poll_interval() noexcept;
std::chrono::milliseconds poll_silence_limit() noexcept;
// Threads that encode and write spooled frames; 1 means everything on the host's thread.
int spool_threads() noexcept;
// The folder that holds spool and matte folders, ending in '/': "/tmp/orvalis/" unless a test moved it.
std::string job_root();
// True once after failNextWorkerStartForTests: the next worker thread "cannot start".
bool take_worker_start_failure() noexcept;
// Calls the hook set by setSpoolRemovedHookForTests, if any; remove_spool_dir calls it once the folder is
// gone, so a test can look at the job's state at that moment (the busy flag must still be held).
void spool_dir_removed(const std::string &path) noexcept;

// Zero (or an empty root) restores the shipped value.
void setPollTimingForTests(std::chrono::milliseconds interval, std::chrono::milliseconds silenceLimit) noexcept;
void setSpoolThreadsForTests(int threads) noexcept;
void setJobRootForTests(const std::string &root);
void failNextWorkerStartForTests() noexcept;
// Null removes the hook.
void setSpoolRemovedHookForTests(void (*hook)(const char *path)) noexcept;

}  // namespace kesto::detail
