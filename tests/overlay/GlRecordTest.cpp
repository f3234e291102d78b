// The recording GL library: what each immediate-mode call records, GL's rules on call order, and use from
// several threads, each with its own state.

#include <gtest/gtest.h>

#include <GL/gl.h>

#include <thread>
#include <vector>

#include "glrecord/Recording.h"

namespace {

namespace rec = kesto::glrecord;

class GlRecord : public ::testing::Test {
 protected:
  void SetUp() override { rec::clear(); }
  void TearDown() override { rec::clear(); }
};

TEST_F(GlRecord, RecordsModeVerticesColourAndLineWidth) {
  glLineWidth(1.5f);
  glColor4f(0.902f, 0.616f, 0.153f, 1.0f);
  glBegin(GL_LINE_LOOP);
  glVertex2d(1.0, 2.0);
  glVertex2d(3.0, 4.0);
  glVertex2f(5.0f, 6.0f);
  glEnd();
  glColor3f(0.0f, 1.0f, 0.0f);
  glBegin(GL_TRIANGLE_FAN);
  glVertex2d(0.0, 0.0);
  glEnd();

  const auto list = rec::primitives();
  ASSERT_EQ(list.size(), 2u) << rec::describe(list);
  EXPECT_EQ(list[0].mode, rec::Mode::LineLoop);
  ASSERT_EQ(list[0].vertices.size(), 3u);
  EXPECT_EQ(list[0].vertices[1].x, 3.0);
  EXPECT_EQ(list[0].vertices[2].y, 6.0);
  EXPECT_EQ(list[0].lineWidth, 1.5f);
  EXPECT_EQ(list[0].colour.red, 0.902f);
  EXPECT_EQ(list[0].colour.blue, 0.153f);
  EXPECT_EQ(list[1].mode, rec::Mode::TriangleFan);
  EXPECT_EQ(list[1].colour.green, 1.0f);
  EXPECT_EQ(list[1].colour.alpha, 1.0f);
  EXPECT_EQ(list[1].lineWidth, 1.5f);  // state persists until changed
  EXPECT_EQ(rec::misuseCount(), 0u);
  EXPECT_STREQ(rec::modeName(list[0].mode), "GL_LINE_LOOP");
}

TEST_F(GlRecord, TakeEmptiesAndClearRestoresDefaults) {
  glColor4f(0.1f, 0.2f, 0.3f, 0.4f);
  glLineWidth(3.0f);
  glBegin(GL_QUADS);
  glEnd();
  EXPECT_EQ(rec::takePrimitives().size(), 1u);
  EXPECT_TRUE(rec::primitives().empty());

  rec::clear();
  glBegin(GL_QUADS);
  glEnd();
  const auto list = rec::primitives();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].colour.red, 1.0f);
  EXPECT_EQ(list[0].colour.alpha, 1.0f);
  EXPECT_EQ(list[0].lineWidth, 1.0f);
}

TEST_F(GlRecord, CallsOutOfOrderAreCountedAndIgnored) {
  glVertex2d(1.0, 1.0);  // outside glBegin
  glEnd();               // without glBegin
  glBegin(0x1234);       // unknown mode
  glLineWidth(0.0f);     // not above 0
  glBegin(GL_LINES);
  glBegin(GL_QUADS);     // nested
  glLineWidth(2.0f);     // inside glBegin
  glVertex2d(1.0, 2.0);
  glEnd();
  EXPECT_EQ(rec::misuseCount(), 6u);
  const auto list = rec::primitives();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].mode, rec::Mode::Lines);
  EXPECT_EQ(list[0].vertices.size(), 1u);
  EXPECT_EQ(list[0].lineWidth, 1.0f);
}

TEST_F(GlRecord, EachThreadHasItsOwnState) {
  constexpr int kThreads = 4;
  constexpr int kPrimitivesPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      glColor4f(static_cast<float>(t), 0.0f, 0.0f, 1.0f);
      for (int i = 0; i < kPrimitivesPerThread; ++i) {
        glBegin(GL_TRIANGLE_FAN);
        for (int v = 0; v < 3; ++v) glVertex2d(t, v);
        glEnd();
      }
    });
  }
  for (auto &thread : threads) thread.join();
  const auto list = rec::primitives();
  ASSERT_EQ(list.size(), static_cast<std::size_t>(kThreads * kPrimitivesPerThread));
  for (const auto &p : list) {
    ASSERT_EQ(p.vertices.size(), 3u);
    // Vertices and colour of a primitive all come from the thread that began it.
    EXPECT_EQ(static_cast<double>(p.colour.red), p.vertices[0].x);
    EXPECT_EQ(p.vertices[2].x, p.vertices[0].x);
  }
  EXPECT_EQ(rec::misuseCount(), 0u);
}

}  // namespace
