// The matte store: file names, the eight-entry cache in insertion order, no negative caching, and the
// behaviour of concurrent fetches (one decode per path, different paths decoded in parallel; many render
// threads on the cache: the stress tests).

#include "plugin/MatteStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/render/MatteFolder.h"

namespace {

using kesto::GrayMatte;
using kesto::SharedMatte;
using kesto::testing::MatteFolder;
namespace detail = kesto::detail;

constexpr auto kWaitLimit = std::chrono::seconds(5);

// A 2 x 2 matte whose bytes tell which frame (and which version of the file) it is.
std::vector<std::uint8_t> signature(int frame, int version = 0) {
  const auto b = static_cast<std::uint8_t>(frame * 10 + version);
  return {b, static_cast<std::uint8_t>(b + 1), static_cast<std::uint8_t>(b + 2), static_cast<std::uint8_t>(b + 3)};
}

void writeFrames(const MatteFolder &folder, int first, int last) {
  for (int f = first; f <= last; ++f) ASSERT_TRUE(folder.writeMatte(f, signature(f), 2, 2)) << f;
}

std::vector<std::string> paths(const MatteFolder &folder, std::vector<int> frames) {
  std::vector<std::string> out;
  for (int f : frames) out.push_back(folder.matteFile(f));
  return out;
}

// A one-shot gate that a test opens for threads waiting on it, with a time limit so a fault cannot hang.
class Gate {
 public:
  void open() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      open_ = true;
    }
    cv_.notify_all();
  }
  bool waitOpen() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kWaitLimit, [this] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

GrayMatte smallMatte(std::uint8_t value) { return GrayMatte{{value}, 1, 1}; }

TEST(MatteStore, PathNamesFrameWithAtLeastSixDigitsAndMattesDecodeTopRowFirst) {
  const std::pair<int, const char *> cases[] = {{0, "/tmp/orvalis/s-1/000000.png"},
                                                {42, "/tmp/orvalis/s-1/000042.png"},
                                                {999999, "/tmp/orvalis/s-1/999999.png"},
                                                {1234567, "/tmp/orvalis/s-1/1234567.png"}};
  for (const auto &[frame, path] : cases) EXPECT_EQ(path, kesto::matte_path("s-1", frame));
  MatteFolder folder;
  const std::vector<std::uint8_t> gray = {1, 2, 3, 40, 50, 60};
  ASSERT_TRUE(folder.writeMatte(0, gray, 3, 2));
  const SharedMatte matte = kesto::fetch_matte(folder.matteFile(0));
  ASSERT_NE(nullptr, matte);
  EXPECT_EQ(3, matte->width);
  EXPECT_EQ(2, matte->height);
  EXPECT_EQ(gray, matte->bytes);
}


// Insertion order: a hit shares the pixels and does not move its entry, so the ninth insertion evicts the
// first one inserted; a cached path is not read again (a newer file stays unseen) until then. The key is the
// whole path: the same frame of another session is an entry of its own.
TEST(MatteStore, TheNinthInsertionEvictsTheOldestEvenAfterAHit) {
  MatteFolder folder;
  MatteFolder other;
  writeFrames(folder, 0, 8);
  ASSERT_TRUE(other.writeMatte(0, signature(9), 2, 2));
  const std::uint64_t before = detail::matte_decode_count();
  const SharedMatte first = kesto::fetch_matte(folder.matteFile(0));
  ASSERT_NE(nullptr, first);
  ASSERT_TRUE(folder.writeMatte(0, signature(0, 5), 2, 2));
  for (int f = 1; f <= 6; ++f) ASSERT_NE(nullptr, kesto::fetch_matte(folder.matteFile(f))) << f;
  EXPECT_EQ(signature(9), kesto::fetch_matte(other.matteFile(0))->bytes);
  const SharedMatte hit = kesto::fetch_matte(folder.matteFile(0));
  EXPECT_EQ(first.get(), hit.get());
  EXPECT_EQ(signature(0), hit->bytes);
  EXPECT_EQ(before + 8, detail::matte_decode_count());
  std::vector<std::string> keys = {other.matteFile(0)};
  for (const std::string &path : paths(folder, {6, 5, 4, 3, 2, 1, 0})) keys.push_back(path);
  EXPECT_EQ(keys, detail::matte_cache_keys());

  ASSERT_NE(nullptr, kesto::fetch_matte(folder.matteFile(7)));
  EXPECT_EQ(paths(folder, {7}).front(), detail::matte_cache_keys().front());
  EXPECT_EQ(paths(folder, {1}).front(), detail::matte_cache_keys().back()) << "the first insertion went";
  const SharedMatte reread = kesto::fetch_matte(folder.matteFile(0));
  ASSERT_NE(nullptr, reread);
  EXPECT_EQ(signature(0, 5), reread->bytes);
  EXPECT_EQ(before + 10, detail::matte_decode_count());
  EXPECT_EQ(8u, detail::matte_cache_keys().size());
}

// No negative caching: a file that is missing or cannot be decoded leaves the cache as it was.
TEST(MatteStore, MissingOrUndecodableFileChangesNothingAndIsFoundOnceWritten) {
  MatteFolder folder;
  writeFrames(folder, 0, 0);
  ASSERT_NE(nullptr, kesto::fetch_matte(folder.matteFile(0)));
  const std::vector<std::string> keysBefore = detail::matte_cache_keys();
  ASSERT_TRUE(folder.writeRaw(2, {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'}));
  ASSERT_TRUE(folder.writeRaw(3, {}));
  for (int f : {1, 2, 3, 1}) {
    EXPECT_EQ(nullptr, kesto::fetch_matte(folder.matteFile(f))) << f;
    EXPECT_EQ(keysBefore, detail::matte_cache_keys()) << f;
  }

  ASSERT_TRUE(folder.writeMatte(1, signature(1), 2, 2));
  const SharedMatte found = kesto::fetch_matte(folder.matteFile(1));
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(signature(1), found->bytes);
  EXPECT_EQ(folder.matteFile(1), detail::matte_cache_keys().front());
}

// A decoder result whose size does not match its bytes is refused, and a decode that throws leaves the path
// free for the next fetch.
TEST(MatteStore, BadDecodesAreRefusedAndTheNextFetchDecodesAgain) {
  MatteFolder folder;
  const std::string path = folder.matteFile(0);
  for (const GrayMatte &bad : {GrayMatte{{1, 2, 3}, 2, 2}, GrayMatte{{}, 0, 0}, GrayMatte{{1}, -1, -1},
                               GrayMatte{{1, 2}, 0, 2}}) {
    EXPECT_EQ(nullptr, detail::fetch_matte_with(path, [&](const std::string &) { return bad; }))
        << bad.bytes.size() << " bytes, " << bad.width << "x" << bad.height;
  }
  EXPECT_THROW(detail::fetch_matte_with(path, [](const std::string &) -> GrayMatte { throw std::runtime_error("x"); }),
               std::runtime_error);
  const SharedMatte good =
      detail::fetch_matte_with(path, [](const std::string &) { return GrayMatte{{1, 2, 3, 4}, 2, 2}; });
  ASSERT_NE(nullptr, good);
  EXPECT_EQ(2, good->width);
  EXPECT_EQ(4, good->bytes[3]);
}

// Threads wanting one path wait for the decode in flight and share its result; when that decode fails (the
// file was not there yet), one waiter decodes again, for all of them.
TEST(MatteStore, ThreadsWantingOnePathShareOneDecode) {
  MatteFolder folder;
  const std::string path = folder.matteFile(0);
  constexpr int kThreads = 8;
  std::atomic<int> decodes{0};
  std::atomic<int> entered{0};
  Gate release;
  const detail::MatteDecoder decoder = [&](const std::string &) {
    if (decodes.fetch_add(1) == 0) {
      release.waitOpen();
      return GrayMatte{};
    }
    return smallMatte(77);
  };
  SharedMatte firstResult;
  std::thread first([&] { firstResult = detail::fetch_matte_with(path, decoder); });
  while (decodes.load() == 0) std::this_thread::yield();
  std::vector<SharedMatte> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      entered.fetch_add(1);
      results[static_cast<std::size_t>(i)] = detail::fetch_matte_with(path, decoder);
    });
  }
  while (entered.load() < kThreads) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // lets the threads reach the wait
  release.open();
  first.join();
  for (std::thread &t : threads) t.join();

  EXPECT_EQ(nullptr, firstResult);
  EXPECT_EQ(2, decodes.load());
  ASSERT_NE(nullptr, results[0]);
  for (const SharedMatte &r : results) EXPECT_EQ(results[0].get(), r.get());
  EXPECT_EQ(path, detail::matte_cache_keys().front());
}

TEST(MatteStore, DifferentPathsDecodeAtTheSameTime) {
  MatteFolder folder;
  Gate secondStarted;
  std::atomic<bool> firstSawSecond{false};
  std::thread first([&] {
    detail::fetch_matte_with(folder.matteFile(1), [&](const std::string &) {
      // Waits inside its decode for the other decode to begin: only possible if decodes run in parallel.
      firstSawSecond = secondStarted.waitOpen();
      return smallMatte(1);
    });
  });
  std::thread second([&] {
    detail::fetch_matte_with(folder.matteFile(2), [&](const std::string &) {
      secondStarted.open();
      return smallMatte(2);
    });
  });
  first.join();
  second.join();
  EXPECT_TRUE(firstSawSecond.load());
}

}  // namespace
