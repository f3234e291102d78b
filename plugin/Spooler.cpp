#include "plugin/Spooler.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "image/JpegEncoder.h"
#include "image/WriteFile.h"

namespace kesto {
namespace {

// Pictures the pool may hold: the calling thread holds one more while it fetches.
constexpr std::size_t kPoolPictures = kMaxFramesInFlight - 1;

std::optional<SpoolFailure> encode_and_write(JpegEncoder &encoder, const RgbaFrame &frame, std::int32_t index,
                                             const std::string &spoolDir) {
  const std::vector<std::uint8_t> jpeg =
      encoder.encode(frame.pixels.data(), frame.width, frame.height, kSpoolJpegQuality);
  if (jpeg.empty()) return SpoolFailure{SpoolFailure::Kind::Encode, index};
  if (!write_file(spool_file_path(spoolDir, index), jpeg)) return SpoolFailure{SpoolFailure::Kind::Write, index};
  return std::nullopt;
}

// Encoding in any thread may fail by running out of memory; that is this frame's failure, nothing more.
std::optional<SpoolFailure> encode_and_write_caught(JpegEncoder &encoder, const RgbaFrame &frame, std::int32_t index,
                                                    const std::string &spoolDir) noexcept {
  try {
    return encode_and_write(encoder, frame, index, spoolDir);
  } catch (...) {
    return SpoolFailure{SpoolFailure::Kind::Encode, index};
  }
}

std::optional<SpoolFailure> spool_sequentially(std::int32_t frameCount, const FrameFetch &fetch,
                                               const std::string &spoolDir) {
  JpegEncoder encoder;
  for (std::int32_t i = 0; i < frameCount; ++i) {
    std::optional<RgbaFrame> frame = fetch(i);
    if (!frame) return SpoolFailure{SpoolFailure::Kind::Read, i};
    if (auto failure = encode_and_write_caught(encoder, *frame, i, spoolDir)) return failure;
  }
  return std::nullopt;
}

// Encoder threads fed through a bounded queue. The destructor closes the queue and joins every thread, so
// no thread outlives the spool, whatever way the caller leaves.
class EncodePool {
 public:
  EncodePool(const std::string &spoolDir, int threads) : spoolDir_(spoolDir) {
    for (int t = 0; t < threads; ++t) {
      try {
        threads_.emplace_back([this] { work(); });
      } catch (...) {
        break;  // run with the threads that did start
      }
    }
  }
  ~EncodePool() { close(); }
  EncodePool(const EncodePool &) = delete;
  EncodePool &operator=(const EncodePool &) = delete;

  std::size_t threadCount() const { return threads_.size(); }

  // Waits until another picture may be made; false when a frame has already failed.
  bool waitForRoom() {
    std::unique_lock<std::mutex> lock(mu_);
    roomFree_.wait(lock, [this] { return failure_ || queue_.size() + encoding_ < kPoolPictures; });
    return !failure_;
  }

  void submit(std::int32_t index, RgbaFrame frame) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.emplace_back(index, std::move(frame));
    }
    workReady_.notify_one();
  }

  void fail(const SpoolFailure &failure) {
    std::lock_guard<std::mutex> lock(mu_);
    record(failure);
  }

  // Lets the threads finish what is queued (dropping frames after a failed one, but still writing earlier
  // ones, which may fail first in frame order), joins them, returns the failure of the lowest frame.
  std::optional<SpoolFailure> finish() {
    close();
    std::lock_guard<std::mutex> lock(mu_);
    return failure_;
  }

 private:
  void close() noexcept {
    {
      std::lock_guard<std::mutex> lock(mu_);
      closed_ = true;
    }
    workReady_.notify_all();
    for (std::thread &thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  // Called with mu_ held.
  void record(const SpoolFailure &failure) {
    if (!failure_ || failure.frame < failure_->frame) failure_ = failure;
    roomFree_.notify_all();
  }

  // Every thread body: a failure of the pool itself (a lock that cannot be taken) ends the spool as a
  // failure of the frame in hand rather than ending the process.
  void work() noexcept {
    std::int32_t current = 0;
    try {
      encodeQueued(current);
    } catch (...) {
      abandon(current);
    }
  }

  void encodeQueued(std::int32_t &current) {
    JpegEncoder encoder;  // this thread's, kept from frame to frame
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      workReady_.wait(lock, [this] { return closed_ || !queue_.empty(); });
      if (queue_.empty()) return;  // closed and drained
      std::pair<std::int32_t, RgbaFrame> item = std::move(queue_.front());
      queue_.pop_front();
      current = item.first;
      if (failure_ && item.first > failure_->frame) {
        roomFree_.notify_all();
        continue;  // an earlier frame has failed: this one no longer matters
      }
      ++encoding_;
      lock.unlock();
      const std::optional<SpoolFailure> failure =
          encode_and_write_caught(encoder, item.second, item.first, spoolDir_);
      item.second = RgbaFrame{};  // free the picture before taking the lock
      lock.lock();
      --encoding_;
      if (failure) record(*failure);
      roomFree_.notify_all();
    }
  }

  void abandon(std::int32_t frame) noexcept {
    try {
      std::lock_guard<std::mutex> lock(mu_);
      record(SpoolFailure{SpoolFailure::Kind::Encode, frame});
    } catch (...) {
      // The pool's own lock is broken: no state can be shared any more, and the thread just ends.
    }
  }

  const std::string spoolDir_;
  std::mutex mu_;
  std::condition_variable workReady_;
  std::condition_variable roomFree_;
  std::deque<std::pair<std::int32_t, RgbaFrame>> queue_;
  std::size_t encoding_ = 0;
  bool closed_ = false;
  std::optional<SpoolFailure> failure_;
  std::vector<std::thread> threads_;
};

}  // namespace

std::string spool_file_path(const std::string &spoolDir, std::int32_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d.jpg", static_cast<int>(index));
  return spoolDir + name;
}

std::optional<SpoolFailure> spool_frames(std::int32_t frameCount, const FrameFetch &fetch,
                                         const std::string &spoolDir, int threads) {
  if (threads <= 1) return spool_sequentially(frameCount, fetch, spoolDir);
  EncodePool pool(spoolDir, threads);
  if (pool.threadCount() == 0) return spool_sequentially(frameCount, fetch, spoolDir);
  for (std::int32_t i = 0; i < frameCount; ++i) {
    if (!pool.waitForRoom()) break;
    std::optional<RgbaFrame> frame = fetch(i);
    if (!frame) {
      pool.fail(SpoolFailure{SpoolFailure::Kind::Read, i});
      break;
    }
    pool.submit(i, std::move(*frame));
  }
  return pool.finish();
}

std::string spool_failure_text(const SpoolFailure &failure, const std::string &spoolDir) {
  const std::string index = std::to_string(failure.frame);
  switch (failure.kind) {
    case SpoolFailure::Kind::Read: return "could not read frame " + index;
    case SpoolFailure::Kind::Encode: return "could not encode frame " + index;
    case SpoolFailure::Kind::Write: return "could not write frame " + index + " to " + spoolDir;
  }
  return "could not spool frame " + index;
}

}  // namespace kesto
