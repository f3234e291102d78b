// Spooling a clip into a folder: file names, the same files whatever the thread count, the first failure in
// frame order, and a bounded number of pictures in flight.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "plugin/Spooler.h"

namespace {

namespace fs = std::filesystem;
using kesto::RgbaFrame;
using kesto::SpoolFailure;

class SpoolFolder {
 public:
  SpoolFolder() {
    char pattern[] = "/tmp/trevane-spool-XXXXXX";
    path_ = std::string(::mkdtemp(pattern)) + "/";
  }
  ~SpoolFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string &path() const { return path_; }
  std::size_t fileCount() const {
    std::size_t n = 0;
    std::error_code error;
    for (fs::directory_iterator it(path_, error), end; !error && it != end; it.increment(error)) ++n;
    return n;
  }

 private:
  std::string path_;
};

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

std::string readFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(Spooler, FileNamesAreTheZeroPaddedFrameIndex) {
  EXPECT_EQ("/x/000000.jpg", kesto::spool_file_path("/x/", 0));
  EXPECT_EQ("/x/000042.jpg", kesto::spool_file_path("/x/", 42));
  EXPECT_EQ("/x/1234567.jpg", kesto::spool_file_path("/x/", 1234567));
}

TEST(Spooler, EveryThreadCountWritesTheSameJpegFiles) {
  constexpr std::int32_t kFrames = 12;
  std::vector<std::string> reference;
  for (int threads : {1, 2, 3}) {
    SpoolFolder folder;
    const auto failure = kesto::spool_frames(kFrames, [](std::int32_t i) { return noiseFrame(i, 64, 48); },
                                             folder.path(), threads);
    ASSERT_FALSE(failure) << threads;
    ASSERT_EQ(static_cast<std::size_t>(kFrames), folder.fileCount());
    std::vector<std::string> files;
    for (std::int32_t i = 0; i < kFrames; ++i) files.push_back(readFile(kesto::spool_file_path(folder.path(), i)));
    for (const std::string &jpeg : files) {
      ASSERT_GE(jpeg.size(), 4u);
      EXPECT_EQ("\xFF\xD8", jpeg.substr(0, 2));
      EXPECT_EQ("\xFF\xD9", jpeg.substr(jpeg.size() - 2));
    }
    if (reference.empty()) reference = files;
    EXPECT_EQ(reference, files) << threads << " threads";
  }
}

TEST(Spooler, ReadFailureStopsTheFetchingAtThatFrame) {
  for (int threads : {1, 2}) {
    SpoolFolder folder;
    std::atomic<int> highestFetched{-1};
    const auto failure = kesto::spool_frames(
        10,
        [&](std::int32_t i) -> std::optional<RgbaFrame> {
          highestFetched = i;
          if (i == 3) return std::nullopt;
          return noiseFrame(i, 16, 8);
        },
        folder.path(), threads);
    ASSERT_TRUE(failure);
    EXPECT_EQ(SpoolFailure::Kind::Read, failure->kind);
    EXPECT_EQ(3, failure->frame);
    EXPECT_EQ(3, highestFetched.load());
    EXPECT_EQ("could not read frame 3", kesto::spool_failure_text(*failure, folder.path()));
  }
}

TEST(Spooler, WriteFailureIsReportedWithItsFrame) {
  for (int threads : {1, 2, 3}) {
    SpoolFolder folder;
    // A folder where the file should go: the write cannot succeed.
    ASSERT_EQ(0, ::mkdir(kesto::spool_file_path(folder.path(), 4).c_str(), 0700));
    const auto failure = kesto::spool_frames(8, [](std::int32_t i) { return noiseFrame(i, 16, 8); }, folder.path(),
                                             threads);
    ASSERT_TRUE(failure) << threads;
    EXPECT_EQ(SpoolFailure::Kind::Write, failure->kind);
    EXPECT_EQ(4, failure->frame);
    EXPECT_EQ("could not write frame 4 to " + folder.path(), kesto::spool_failure_text(*failure, folder.path()));
  }
}

TEST(Spooler, TheLowestFailingFrameWinsAsInASequentialSpool) {
  for (int run = 0; run < 3; ++run) {
    SpoolFolder folder;
    ASSERT_EQ(0, ::mkdir(kesto::spool_file_path(folder.path(), 2).c_str(), 0700));
    // Frame 2's write fails on a pool thread while the calling thread fails to read frame 3.
    const auto failure = kesto::spool_frames(
        6,
        [](std::int32_t i) -> std::optional<RgbaFrame> {
          if (i == 3) return std::nullopt;
          return noiseFrame(i, 320, 180);
        },
        folder.path(), 2);
    ASSERT_TRUE(failure);
    EXPECT_EQ(2, failure->frame);
    EXPECT_EQ(SpoolFailure::Kind::Write, failure->kind);
  }
}

TEST(Spooler, EncodeFailureIsReported) {
  SpoolFolder folder;
  const auto failure = kesto::spool_frames(
      3,
      [](std::int32_t i) {
        RgbaFrame frame = noiseFrame(i, 16, 8);
        if (i == 1) frame.width = 0;  // the encoder refuses a side of 0
        return frame;
      },
      folder.path(), 2);
  ASSERT_TRUE(failure);
  EXPECT_EQ(SpoolFailure::Kind::Encode, failure->kind);
  EXPECT_EQ(1, failure->frame);
}

TEST(Spooler, AtMostFourPicturesAreInFlight) {
  SpoolFolder folder;
  std::mutex mu;
  std::size_t worst = 0;
  constexpr std::int32_t kFrames = 16;
  const auto failure = kesto::spool_frames(
      kFrames,
      [&](std::int32_t i) {
        // Frames 0 .. i-1 were handed over; those with a file on disk are done. The picture made now is one more.
        const std::size_t done = folder.fileCount();
        std::lock_guard<std::mutex> lock(mu);
        const std::size_t inFlight = static_cast<std::size_t>(i) - std::min(done, static_cast<std::size_t>(i)) + 1;
        worst = std::max(worst, inFlight);
        return noiseFrame(i, 320, 180);
      },
      folder.path(), 3);
  ASSERT_FALSE(failure);
  EXPECT_LE(worst, static_cast<std::size_t>(kesto::kMaxFramesInFlight));
  EXPECT_GE(worst, 2u) << "the pool never overlapped a fetch with an encode";
}

TEST(Spooler, AnExceptionFromTheFetchLeavesNoThreadRunning) {
  SpoolFolder folder;
  EXPECT_THROW(kesto::spool_frames(
                   10,
                   [](std::int32_t i) -> std::optional<RgbaFrame> {
                     if (i == 5) throw std::bad_alloc();
                     return noiseFrame(i, 64, 48);
                   },
                   folder.path(), 3),
               std::bad_alloc);
  // The pool was joined before the exception left: frames 0 to 4 are complete files now.
  for (std::int32_t i = 0; i < 5; ++i) {
    const std::string jpeg = readFile(kesto::spool_file_path(folder.path(), i));
    ASSERT_GE(jpeg.size(), 2u);
    EXPECT_EQ("\xFF\xD9", jpeg.substr(jpeg.size() - 2)) << i;
  }
}

}  // namespace
