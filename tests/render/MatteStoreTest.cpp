// Which matte file a render reads (session ids, frame indices, file names) and the matte store: the
// eight-entry cache in insertion order, no negative caching, and the behaviour of concurrent fetches (one
// decode per path, different paths decoded in parallel; many render threads on the cache: the stress tests).

#include "plugin/MatteStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "plugin/FrameIndex.h"
#include "plugin/SessionId.h"
#include "tests/render/MatteFolder.h"

namespace {

using kesto::GrayMatte;
using kesto::SharedMatte;
using kesto::testing::MatteFolder;
namespace detail = kesto::detail;

constexpr auto kWaitLimit = std::chrono::seconds(5);

GrayMatte smallMatte(std::uint8_t value) { return GrayMatte{{value}, 1, 1}; }

// A frame's file is named with at least six digits (as MatteFolder writes them). Insertion order: a hit shares
// the pixels and does not move its entry, so the ninth insertion evicts the first one inserted; a cached path
// is not decoded again until then.
TEST(MatteStore, PathsNameFramesAndTheNinthInsertionEvictsTheOldestEvenAfterAHit) {
  MatteFolder folder;
  for (int f : {0, 42, 999999, 1234567}) EXPECT_EQ(folder.matteFile(f), kesto::matte_path(folder.sessionId(), f));
  int decodes = 0;
  const auto fetch = [&](int frame) {
    return detail::fetch_matte_with(folder.matteFile(frame),
                                    [&](const std::string &) { return smallMatte(static_cast<std::uint8_t>(++decodes)); });
  };
  const SharedMatte first = fetch(0);
  for (int f = 1; f <= 7; ++f) ASSERT_NE(nullptr, fetch(f)) << f;
  EXPECT_EQ(first.get(), fetch(0).get());
  EXPECT_EQ(8, decodes);
  std::vector<std::string> keys;
  for (int f = 8; f >= 1; --f) keys.push_back(folder.matteFile(f));
  ASSERT_NE(nullptr, fetch(8));
  EXPECT_EQ(keys, detail::matte_cache_keys()) << "the first insertion went, the others kept their order";
  EXPECT_EQ(10, fetch(0)->bytes[0]) << "decoded again";
}

// No negative caching: a file that is missing or cannot be decoded, a decoder result whose size does not
// match its bytes, and a decode that throws leave the cache as it was and the path free for the next fetch,
// which finds the file once it is written (its rows top row first).
TEST(MatteStore, FailedDecodesChangeNothingAndTheNextFetchDecodesAgain) {
  MatteFolder folder;
  ASSERT_TRUE(folder.writeMatte(0, {7}, 1, 1));
  ASSERT_NE(nullptr, kesto::fetch_matte(folder.matteFile(0)));
  const std::vector<std::string> keysBefore = detail::matte_cache_keys();
  ASSERT_TRUE(folder.writeRaw(2, {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'}));
  ASSERT_TRUE(folder.writeRaw(3, {}));
  for (int f : {1, 2, 3, 1}) {
    EXPECT_EQ(nullptr, kesto::fetch_matte(folder.matteFile(f))) << f;
    EXPECT_EQ(keysBefore, detail::matte_cache_keys()) << f;
  }
  const std::string path = folder.matteFile(1);
  for (const GrayMatte &bad : {GrayMatte{{1, 2, 3}, 2, 2}, GrayMatte{{}, 0, 0}, GrayMatte{{1}, -1, -1},
                               GrayMatte{{1, 2}, 0, 2}}) {
    EXPECT_EQ(nullptr, detail::fetch_matte_with(path, [&](const std::string &) { return bad; }))
        << bad.bytes.size() << " bytes, " << bad.width << "x" << bad.height;
  }
  EXPECT_THROW(detail::fetch_matte_with(path, [](const std::string &) -> GrayMatte { throw std::runtime_error("x"); }),
               std::runtime_error);
  EXPECT_EQ(keysBefore, detail::matte_cache_keys());

  ASSERT_TRUE(folder.writeMatte(1, {1, 2, 3, 4}, 2, 2));
  const SharedMatte found = kesto::fetch_matte(path);
  ASSERT_NE(nullptr, found);
  EXPECT_EQ((std::vector<std::uint8_t>{1, 2, 3, 4}), found->bytes);
  EXPECT_EQ(path, detail::matte_cache_keys().front());
}

// Threads wanting one path wait for the decode in flight and share its result; when that decode fails (the
// file was not there yet), one waiter decodes again, for all of them. Meanwhile another path decodes: the
// first decode ends only once that one has begun, which only parallel decodes allow.
TEST(MatteStore, ThreadsWantingOnePathShareOneDecodeWhileOtherPathsDecode) {
  MatteFolder folder;
  const std::string path = folder.matteFile(0);
  constexpr int kThreads = 8;
  std::atomic<int> decodes{0};
  std::atomic<int> entered{0};
  std::atomic<bool> sawOtherDecode{false};
  std::promise<void> otherDecodeBegun;  // waited for with a time limit, so a fault cannot hang the test
  const std::shared_future<void> otherBegun = otherDecodeBegun.get_future().share();
  const detail::MatteDecoder decoder = [&](const std::string &) {
    if (decodes.fetch_add(1) > 0) return smallMatte(77);
    sawOtherDecode = otherBegun.wait_for(kWaitLimit) == std::future_status::ready;
    return GrayMatte{};
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
  detail::fetch_matte_with(folder.matteFile(1), [&](const std::string &) {
    otherDecodeBegun.set_value();
    return smallMatte(1);
  });
  first.join();
  for (std::thread &t : threads) t.join();

  EXPECT_TRUE(sawOtherDecode.load());
  EXPECT_EQ(nullptr, firstResult);
  ASSERT_NE(nullptr, results[0]);
  for (const SharedMatte &r : results) EXPECT_EQ(results[0].get(), r.get());
  EXPECT_EQ(results[0].get(), detail::fetch_matte_with(path, decoder).get()) << "cached";
  EXPECT_EQ(2, decodes.load());
}

// Empty, too long, dot names, names that leave the folder, and names carrying odd bytes are no session.
TEST(SessionId, OnlyPlainFolderNamesAreSafe) {
  const std::pair<std::string, bool> cases[] = {
      {"a", true},      {"sess_0123-abc.DEF", true}, {"...", true},   {".hidden", true}, {std::string(128, 'x'), true},
      {"", false},      {std::string(129, 'x'), false}, {".", false}, {"..", false},     {"../etc", false},
      {"a/b", false},   {"/abs", false},  {"a\\b", false},  {"a b", false}, {" a", false}, {"a\n", false},
      {std::string("a\0b", 3), false},    {"caf\xc3\xa9", false}, {"a%2f", false}, {"a:b", false}};
  for (const auto &[id, safe] : cases) EXPECT_EQ(safe, kesto::is_safe_session_id(id)) << id;
}

// The clip start reads like the C library's strtod (no number: 0); the frame is the time less it, halves
// rounded away from zero; an index below zero or beyond 32 bits, or one made of no number, is no frame.
TEST(FrameIndex, TimeLessClipStartRoundedHalfAway) {
  const std::pair<const char *, double> starts[] = {
      {"-12.500000", -12.5}, {"  7.25 frames", 7.25}, {"1e2", 100.0}, {"", 0.0}, {"x3", 0.0}};
  for (const auto &[text, value] : starts) EXPECT_DOUBLE_EQ(value, kesto::parse_clip_start(text)) << text;
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = kesto::parse_clip_start("nan");
  const std::optional<std::int32_t> none;
  const struct {
    double time, clipStart;
    std::optional<std::int32_t> frame;
  } cases[] = {
      {10.4, 3.0, 7},   {10.5, 3.0, 8},   {2.6, 3.0, 0},  {3.0, 3.0, 0},  {1000000.0, 0.0, 1000000},
      {2.51, 3.0, 0},   {2.0, 3.0, none}, {2.5, 3.0, none},  // -0.5 rounds away from zero to -1
      {5.0, inf, none}, {inf, 0.0, none}, {nan, 0.0, none}, {5.0, nan, none}, {3.0e9, 0.0, none},
      {2147483647.0, 0.0, 2147483647},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.frame, kesto::matte_frame_index(c.time, c.clipStart)) << c.time << " - " << c.clipStart;
  }
}

}  // namespace
