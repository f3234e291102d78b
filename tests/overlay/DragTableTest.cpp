// Pen state per interact instance, including use from several threads at once.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "overlay/DragTable.h"

namespace {

TEST(DragTable, PenDownAnchorsPenUpEndsAndForgetDropsTheEntry) {
  kesto::DragTable table;
  int a = 0, b = 0;
  const kesto::Drag fresh = table.current(&a);  // a new entry is idle at the origin
  EXPECT_FALSE(fresh.active);
  EXPECT_EQ(fresh.anchorX, 0.0);
  EXPECT_EQ(fresh.anchorY, 0.0);
  EXPECT_EQ(table.size(), 1u);
  table.penDown(&a, {0.75, 0.25});
  EXPECT_TRUE(table.current(&a).active);
  EXPECT_EQ(table.current(&a).anchorX, 0.75);
  EXPECT_FALSE(table.current(&b).active);  // each instance has its own state
  table.penDown(&a, {0.1, 0.2});           // re-anchors while dragging
  EXPECT_EQ(table.current(&a).anchorY, 0.2);
  table.penUp(&a);
  EXPECT_FALSE(table.current(&a).active);
  EXPECT_EQ(table.current(&a).anchorX, 0.1);
  table.penUp(&b);  // pen-up without a drag makes an idle entry
  EXPECT_EQ(table.size(), 2u);

  table.penDown(&a, {0.5, 0.5});
  table.forget(&a);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_FALSE(table.current(&a).active);
}

TEST(DragTable, ConcurrentUseKeepsEveryEntry) {
  kesto::DragTable table;
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<int> handles(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&table, &handles, t] {
      const void *mine = &handles[static_cast<std::size_t>(t)];
      for (int i = 0; i < kRounds; ++i) {
        table.penDown(mine, {t / 10.0, i / static_cast<double>(kRounds)});
        table.current(mine);
        table.penUp(mine);
      }
      table.penDown(mine, {t / 10.0, 0.5});
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(table.size(), static_cast<std::size_t>(kThreads));
  for (int t = 0; t < kThreads; ++t) {
    const kesto::Drag drag = table.current(&handles[static_cast<std::size_t>(t)]);
    EXPECT_TRUE(drag.active);
    EXPECT_EQ(drag.anchorX, t / 10.0);
    EXPECT_EQ(drag.anchorY, 0.5);
  }
}

}  // namespace
