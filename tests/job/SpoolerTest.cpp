// Spooling a clip into a folder: the same files whatever the thread count, also when the fetch throws, the
// first failure in frame order, and a bounded number of pictures in flight.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "plugin/Spooler.h"
#include "tests/job/Files.h"

namespace {

using jobtest::folderEntries;
using jobtest::fileText;
using kesto::RgbaFrame;
using kesto::SpoolFailure;

// Noise frames (they take the encoder a while), different per index.
RgbaFrame noiseFrame(std::int32_t index, int width = 320, int height = 180) {
  RgbaFrame frame;
  frame.width = width;
  frame.height = height;
  frame.pixels.resize(static_cast<std::size_t>(width) * height * 4);
  std::mt19937 rng(static_cast<std::uint32_t>(index) + 1);
  for (std::uint8_t &b : frame.pixels) b = static_cast<std::uint8_t>(rng());
  return frame;
}

// Whatever the thread count, the files are the same complete JPEGs. The fetch throws after the last: the
// exception leaves only once the pool is joined, so every file is whole by then.
TEST(Spooler, EveryThreadCountWritesTheSameJpegFilesWholeBeforeAnExceptionLeaves) {
  constexpr std::int32_t kFrames = 12;
  std::vector<std::string> reference;
  for (int threads : {1, 2, 3}) {
    kesto::testing::ScratchFolder folder{"trevane-spool"};
    const auto fetch = [](std::int32_t i) -> std::optional<RgbaFrame> {
      if (i == kFrames) throw std::bad_alloc();
      return noiseFrame(i, 64, 48);
    };
    EXPECT_THROW(kesto::spool_frames(kFrames + 1, fetch, folder.dir(), threads), std::bad_alloc) << threads;
    ASSERT_EQ(static_cast<std::size_t>(kFrames), folderEntries(folder.dir()).size());
    std::vector<std::string> files;
    for (std::int32_t i = 0; i < kFrames; ++i) files.push_back(fileText(kesto::spool_file_path(folder.dir(), i)));
    for (const std::string &jpeg : files) {
      ASSERT_GE(jpeg.size(), 4u);
      EXPECT_EQ("\xFF\xD8", jpeg.substr(0, 2));
      EXPECT_EQ("\xFF\xD9", jpeg.substr(jpeg.size() - 2));
    }
    if (reference.empty()) reference = files;
    EXPECT_EQ(reference, files) << threads << " threads";
  }
}

TEST(Spooler, TheFirstFailureInFrameOrderIsReportedWithItsFrame) {
  struct Case {
    const char *name;
    int threads;
    std::int32_t unreadable;    // the fetch gives nothing for this frame (-1: none)
    std::int32_t unwritable;    // a folder stands where this frame's file goes (-1: none)
    std::int32_t unencodable;   // this frame has a width of 0, which the encoder refuses (-1: none)
    SpoolFailure::Kind kind;
    std::int32_t frame;
    const char *text;           // "{dir}" stands for the folder
  };
  const Case cases[] = {
      {"read, 1 thread", 1, 3, -1, -1, SpoolFailure::Kind::Read, 3, "could not read frame 3"},
      {"read, 2 threads", 2, 3, -1, -1, SpoolFailure::Kind::Read, 3, "could not read frame 3"},
      {"write, 1 thread", 1, -1, 4, -1, SpoolFailure::Kind::Write, 4, "could not write frame 4 to {dir}"},
      {"write, 3 threads", 3, -1, 4, -1, SpoolFailure::Kind::Write, 4, "could not write frame 4 to {dir}"},
      {"encode", 2, -1, -1, 1, SpoolFailure::Kind::Encode, 1, nullptr},
      // Frame 0's write fails on a pool thread after the calling thread has failed to read frame 1 (frame 0 is
      // a large picture that takes the encoder a while): the lower frame wins, as it would sequentially.
      {"lowest wins", 2, 1, 0, -1, SpoolFailure::Kind::Write, 0, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    kesto::testing::ScratchFolder folder{"trevane-spool"};
    if (c.unwritable >= 0) {
      ASSERT_EQ(0, ::mkdir(kesto::spool_file_path(folder.dir(), c.unwritable).c_str(), 0700));
    }
    std::atomic<int> highestFetched{-1};
    const auto failure = kesto::spool_frames(
        8,
        [&](std::int32_t i) -> std::optional<RgbaFrame> {
          highestFetched = std::max<int>(highestFetched, i);
          if (i == c.unreadable) return std::nullopt;
          const bool slow = c.unwritable == 0 && i == 0;
          RgbaFrame frame = noiseFrame(i, slow ? 1920 : c.unwritable >= 0 ? 320 : 16, slow ? 1080 : c.unwritable >= 0 ? 180 : 8);
          if (i == c.unencodable) frame.width = 0;
          return frame;
        },
        folder.dir(), c.threads);
    ASSERT_TRUE(failure);
    EXPECT_EQ(c.kind, failure->kind);
    EXPECT_EQ(c.frame, failure->frame);
    if (c.unreadable >= 0 && c.unwritable < 0) {
      EXPECT_EQ(c.unreadable, highestFetched.load()) << "fetching went on";
    }
    if (c.text != nullptr) {
      std::string text = c.text;
      const std::size_t dir = text.find("{dir}");
      if (dir != std::string::npos) text.replace(dir, 5, folder.dir());
      EXPECT_EQ(text, kesto::spool_failure_text(*failure, folder.dir()));
    }
  }
}

TEST(Spooler, AtMostFourPicturesAreInFlight) {
  kesto::testing::ScratchFolder folder{"trevane-spool"};
  std::mutex mu;
  std::size_t worst = 0;
  constexpr std::int32_t kFrames = 16;
  // Fetching is a copy and encoding noise is slow, so the calling thread runs ahead of the pool and reaches
  // the bound however the machine schedules the threads.
  const RgbaFrame made[2] = {noiseFrame(0, 960, 540), noiseFrame(1, 960, 540)};
  const auto failure = kesto::spool_frames(
      kFrames,
      [&](std::int32_t i) {
        // Frames 0 .. i-1 were handed over; those with a file on disk are done (a file shows when its write
        // begins, so this never overstates). The picture made now is one more.
        const std::size_t done = folderEntries(folder.dir()).size();
        std::lock_guard<std::mutex> lock(mu);
        const std::size_t inFlight = static_cast<std::size_t>(i) - std::min(done, static_cast<std::size_t>(i)) + 1;
        worst = std::max(worst, inFlight);
        return made[i % 2];
      },
      folder.dir(), 3);
  ASSERT_FALSE(failure);
  EXPECT_EQ(static_cast<std::size_t>(kFrames), folderEntries(folder.dir()).size());
  EXPECT_LE(worst, static_cast<std::size_t>(kesto::kMaxFramesInFlight));
  EXPECT_GE(worst, 2u) << "the pool never overlapped a fetch with an encode";
}

}  // namespace
