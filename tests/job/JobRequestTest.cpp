// The job request text and the numbers taken from the clip's frame range. The text with every setting given
// is pinned through the host in the pull tests (PullTest.cpp).

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "plugin/JobRequest.h"

namespace {

using kesto::JobSettings;

JobSettings defaults() {
  JobSettings s;
  s.edgeSoftness = 0.35;
  s.brushJson = "[]";
  return s;
}

// The presence rule and the nesting limit of the box and strokes are the overlay records' (tested there): a
// present box is copied whole, an absent one and records too deep to copy are left out.
TEST(JobRequest, MembersAreCopiedOrReplacedByTheirDefaults) {
  const std::string all = R"({"anchor_frame":0,"edge_softness":0.35,"quality":"fine","strokes":[],"text_prompt":""})";
  // Copied whole and dumped, such records would recurse once per level on the host's thread.
  static const std::string deep = std::string(400000, '[') + std::string(400000, ']');
  struct Case {
    const char *name;
    void (*set)(JobSettings &);
    std::string expected;  // a part of the request text
  };
  const Case cases[] = {
      {"defaults: every member but the box", [](JobSettings &) {}, all},
      {"empty box", [](JobSettings &s) { s.bboxJson = R"({"x":0.1,"y":0.1,"w":0,"h":0.4})"; }, all},
      {"box", [](JobSettings &s) { s.bboxJson = R"({"w":0.25,"extra":{"kept":[1,2]}})"; },
       R"("bbox":{"extra":{"kept":[1,2]},"w":0.25})"},
      {"too deep", [](JobSettings &s) { s.brushJson = deep, s.bboxJson = "{\"w\":0.5,\"x\":" + deep + "}"; }, all},
      {"quality 0", [](JobSettings &s) { s.quality = 0; }, R"("quality":"fine")"},
      {"quality 1", [](JobSettings &s) { s.quality = 1; }, R"("quality":"fast")"},
      {"quality -1", [](JobSettings &s) { s.quality = -1; }, R"("quality":"fast")"},
      {"whole softness", [](JobSettings &s) { s.edgeSoftness = 1.0; }, R"("edge_softness":1.0,)"},
      {"cut strokes", [](JobSettings &s) { s.brushJson = "[[0.5,0.5"; }, R"("strokes":[],)"},
      {"odd strokes", [](JobSettings &s) { s.brushJson = "[[0.5,0.5],[1,2,3,4],\"odd\"]"; },
       R"("strokes":[[0.5,0.5],[1,2,3,4],"odd"],)"},
      {"utf-8 text", [](JobSettings &s) { s.textHint = "Zo\xC3\xAB \xF0\x9F\x99\x82 \"q\""; },
       "\"text_prompt\":\"Zo\xC3\xAB \xF0\x9F\x99\x82 \\\"q\\\"\""},
      {"broken text", [](JobSettings &s) { s.textHint = "a\xFF" "b\xC3"; },
       "\"text_prompt\":\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD\""},
  };
  for (const Case &c : cases) {
    JobSettings s = defaults();
    c.set(s);
    std::string json;
    ASSERT_NO_THROW(json = kesto::job_request_json(s)) << c.name;
    EXPECT_NE(std::string::npos, json.find(c.expected)) << c.name << ": " << json;
  }
}

TEST(ClipFrames, LastIndexRoundsHalvesAwayAndNeverGoesNegative) {
  EXPECT_EQ(0, kesto::last_frame_index(10, 10));
  EXPECT_EQ(0, kesto::last_frame_index(5, 2));
  EXPECT_EQ(0, kesto::last_frame_index(0, -0.4));
  EXPECT_EQ(3, kesto::last_frame_index(0, 2.5));
  EXPECT_EQ(2, kesto::last_frame_index(0, 2.4999));
  EXPECT_EQ(0, kesto::last_frame_index(0, std::nan("")));
  EXPECT_EQ(kesto::kMaxLastFrameIndex, kesto::last_frame_index(0, 1e300));
}

TEST(ClipFrames, AnchorIsRoundedAndClampedToTheClip) {
  EXPECT_EQ(99, kesto::anchor_frame(150, 0, 99));
  EXPECT_EQ(0, kesto::anchor_frame(-5, 0, 99));
  EXPECT_EQ(50, kesto::anchor_frame(49.5, 0, 99));
  EXPECT_EQ(49, kesto::anchor_frame(49.4, 0, 99));
  EXPECT_EQ(0, kesto::anchor_frame(10, 10, 0));
  EXPECT_EQ(3, kesto::anchor_frame(27, 24, 10));
  EXPECT_EQ(0, kesto::anchor_frame(std::nan(""), 0, 10));
  EXPECT_EQ(10, kesto::anchor_frame(std::numeric_limits<double>::infinity(), 0, 10));
}

}  // namespace
