// The matte store: file naming and the cache of decoded mattes shared by every render thread.
//
// The decode of a miss runs outside gCacheMu, so renders that need different mattes never queue behind
// each other's PNG decode. A path being decoded is listed in gDecoding; a thread that wants the same path
// waits for that decode instead of starting its own, which keeps every key in the cache unique.

#include "plugin/MatteStore.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>

#include "image/LoadGray.h"

namespace kesto {
namespace {

struct CacheEntry {
  std::string key;
  SharedMatte matte;
};

std::mutex gCacheMu;
// Newest insertion at the front. Guarded by gCacheMu.
std::deque<CacheEntry> gCache;
// Paths whose decode is running now. Guarded by gCacheMu.
std::vector<std::string> gDecoding;
// Signalled whenever a decode ends, successful or not.
std::condition_variable gDecodeDone;
std::atomic<std::uint64_t> gDecodeCount{0};

SharedMatte findCached(const std::string &path) {
  for (const CacheEntry &entry : gCache) {
    if (entry.key == path) return entry.matte;
  }
  return nullptr;
}

bool isDecoding(const std::string &path) {
  return std::find(gDecoding.begin(), gDecoding.end(), path) != gDecoding.end();
}

// Holds a path in gDecoding for the length of one decode and takes it out again however the decode ends,
// waking the threads that wait for it. Re-takes the lock if the decode left it released.
class DecodeClaim {
 public:
  DecodeClaim(std::unique_lock<std::mutex> &lock, const std::string &path) : lock_(lock), path_(path) {
    gDecoding.push_back(path_);
  }
  DecodeClaim(const DecodeClaim &) = delete;
  DecodeClaim &operator=(const DecodeClaim &) = delete;
  ~DecodeClaim() {
    if (!lock_.owns_lock()) lock_.lock();
    const auto it = std::find(gDecoding.begin(), gDecoding.end(), path_);
    if (it != gDecoding.end()) gDecoding.erase(it);
    lock_.unlock();
    gDecodeDone.notify_all();
  }

 private:
  std::unique_lock<std::mutex> &lock_;
  const std::string &path_;
};

// A decoder result is used only when its bytes cover exactly width x height pixels: the render indexes
// the bytes by those two numbers.
SharedMatte decodeChecked(const std::string &path, const detail::MatteDecoder &decoder) {
  GrayMatte decoded = decoder(path);
  if (decoded.width <= 0 || decoded.height <= 0) return nullptr;
  const std::size_t pixels = static_cast<std::size_t>(decoded.width) * static_cast<std::size_t>(decoded.height);
  if (decoded.bytes.size() != pixels) return nullptr;
  return std::make_shared<const GrayMatte>(std::move(decoded));
}

GrayMatte decodeFile(const std::string &path) {
  GrayMatte matte;
  int width = 0;
  int height = 0;
  matte.bytes = load_gray(path, &width, &height);
  if (!matte.bytes.empty()) {
    matte.width = width;
    matte.height = height;
  }
  return matte;
}

}  // namespace

std::string matte_path(const std::string &sessionId, std::int32_t frameIndex) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d.png", static_cast<int>(frameIndex));
  return std::string(kMatteRoot) + sessionId + "/" + name;
}

SharedMatte fetch_matte(const std::string &path) { return detail::fetch_matte_with(path, decodeFile); }

namespace detail {

SharedMatte fetch_matte_with(const std::string &path, const MatteDecoder &decoder) {
  std::unique_lock<std::mutex> lock(gCacheMu);
  for (;;) {
    if (SharedMatte hit = findCached(path)) return hit;
    if (!isDecoding(path)) break;
    // Another thread is decoding this path: its result (or its failure) decides what happens next.
    gDecodeDone.wait(lock);
  }
  DecodeClaim claim(lock, path);
  lock.unlock();
  gDecodeCount.fetch_add(1, std::memory_order_relaxed);
  SharedMatte decoded = decodeChecked(path, decoder);
  lock.lock();
  if (decoded) {
    gCache.push_front(CacheEntry{path, decoded});
    if (gCache.size() > kMatteCacheEntries) gCache.pop_back();
  }
  return decoded;
}

std::vector<std::string> matte_cache_keys() {
  std::lock_guard<std::mutex> lock(gCacheMu);
  std::vector<std::string> keys;
  keys.reserve(gCache.size());
  for (const CacheEntry &entry : gCache) keys.push_back(entry.key);
  return keys;
}

std::uint64_t matte_decode_count() { return gDecodeCount.load(std::memory_order_relaxed); }

}  // namespace detail
}  // namespace kesto
