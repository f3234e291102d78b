// The job request text and the numbers taken from the clip's frame range.

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

TEST(JobRequest, DefaultSettingsGiveEveryMemberButTheBox) {
  EXPECT_EQ(R"({"anchor_frame":0,"edge_softness":0.35,"quality":"fine","strokes":[],"text_prompt":""})",
            kesto::job_request_json(defaults()));
}

TEST(JobRequest, FullSettingsAreCopiedInKeyOrder) {
  JobSettings s = defaults();
  s.anchorFrame = 42;
  s.quality = 1;
  s.edgeSoftness = 0.5;
  s.textHint = "the dancer in red";
  s.bboxJson = R"({"x":0.5,"y":0.25,"w":0.25,"h":0.25})";
  s.brushJson = R"([[0.5,0.5,0.03],[0.1,0.2,-0.05]])";
  EXPECT_EQ(R"({"anchor_frame":42,"bbox":{"h":0.25,"w":0.25,"x":0.5,"y":0.25},"edge_softness":0.5,)"
            R"("quality":"fast","strokes":[[0.5,0.5,0.03],[0.1,0.2,-0.05]],"text_prompt":"the dancer in red"})",
            kesto::job_request_json(s));
}

TEST(JobRequest, BoxFollowsThePresenceRule) {
  struct Case {
    const char *bbox;
    bool present;
  };
  const Case cases[] = {
      {"", false},
      {"{}", false},
      {"[]", false},
      {"not json", false},
      {R"({"x":0.1,"y":0.1,"w":0,"h":0.4})", false},
      {R"({"w":-0.2})", false},
      {R"({"w":"0.5"})", false},  // a number in a string is not a number
      {R"({"w":null})", false},
      {R"({"w":true})", false},
      {R"({"w":0.5})", true},
      {R"({"w":1,"h":0})", true},
      {R"({"w":0.25,"extra":{"kept":[1,2]}})", true},
  };
  for (const Case &c : cases) {
    JobSettings s = defaults();
    s.bboxJson = c.bbox;
    const std::string json = kesto::job_request_json(s);
    EXPECT_EQ(c.present, json.find("\"bbox\"") != std::string::npos) << c.bbox << " -> " << json;
  }
  JobSettings s = defaults();
  s.bboxJson = R"({"w":0.25,"extra":{"kept":[1,2]}})";
  EXPECT_NE(std::string::npos, kesto::job_request_json(s).find(R"("bbox":{"extra":{"kept":[1,2]},"w":0.25})"));
}

TEST(JobRequest, StrokesAreTheArrayOrEmpty) {
  struct Case {
    const char *brush;
    const char *strokes;
  };
  const Case cases[] = {
      {"[]", "[]"},
      {"", "[]"},
      {"[[0.5,0.5", "[]"},
      {R"({"a":1})", "[]"},
      {"3", "[]"},
      {"[[0.5,0.5],[1,2,3,4],\"odd\"]", "[[0.5,0.5],[1,2,3,4],\"odd\"]"},
  };
  for (const Case &c : cases) {
    JobSettings s = defaults();
    s.brushJson = c.brush;
    EXPECT_NE(std::string::npos, kesto::job_request_json(s).find(std::string("\"strokes\":") + c.strokes + ","))
        << c.brush;
  }
}

TEST(JobRequest, DeeplyNestedRecordsReadAsAbsent) {
  // Copied whole and dumped, such records would recurse once per level on the host's thread.
  constexpr std::size_t kDepth = 400000;
  const std::string deep = std::string(kDepth, '[') + std::string(kDepth, ']');
  JobSettings s = defaults();
  s.brushJson = deep;
  s.bboxJson = "{\"w\":0.5,\"x\":" + deep + "}";
  EXPECT_EQ(R"({"anchor_frame":0,"edge_softness":0.35,"quality":"fine","strokes":[],"text_prompt":""})",
            kesto::job_request_json(s));
  // Nesting as deep as any record needs is still copied.
  s.brushJson = "[[[[0.5]]],[0.5,0.5,0.03]]";
  EXPECT_NE(std::string::npos, kesto::job_request_json(s).find(R"("strokes":[[[[0.5]]],[0.5,0.5,0.03]])"));
}

TEST(JobRequest, QualityIndexZeroIsFineAnyOtherFast) {
  for (int q : {0, 1, 2, -1}) {
    JobSettings s = defaults();
    s.quality = q;
    const std::string expected = q == 0 ? "\"quality\":\"fine\"" : "\"quality\":\"fast\"";
    EXPECT_NE(std::string::npos, kesto::job_request_json(s).find(expected)) << q;
  }
}

TEST(JobRequest, TextIsUtf8AndBrokenBytesAreReplaced) {
  JobSettings s = defaults();
  s.textHint = "Zo\xC3\xAB \xF0\x9F\x99\x82 \"q\"";
  EXPECT_NE(std::string::npos,
            kesto::job_request_json(s).find("\"text_prompt\":\"Zo\xC3\xAB \xF0\x9F\x99\x82 \\\"q\\\"\""));
  s.textHint = "a\xFF" "b\xC3";
  std::string json;
  ASSERT_NO_THROW(json = kesto::job_request_json(s));
  EXPECT_NE(std::string::npos, json.find("\"text_prompt\":\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD\"")) << json;
}

TEST(JobRequest, WholeEdgeSoftnessKeepsItsPoint) {
  JobSettings s = defaults();
  s.edgeSoftness = 1.0;
  EXPECT_NE(std::string::npos, kesto::job_request_json(s).find("\"edge_softness\":1.0,"));
}

TEST(ClipFrames, LastIndexRoundsHalvesAwayAndNeverGoesNegative) {
  EXPECT_EQ(0, kesto::last_frame_index(10, 10));
  EXPECT_EQ(99, kesto::last_frame_index(0, 99));
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
  EXPECT_EQ(50, kesto::anchor_frame(49.6, 0, 99));
  EXPECT_EQ(50, kesto::anchor_frame(49.5, 0, 99));
  EXPECT_EQ(49, kesto::anchor_frame(49.4, 0, 99));
  EXPECT_EQ(0, kesto::anchor_frame(-0.5, 0, 99));
  EXPECT_EQ(0, kesto::anchor_frame(10, 10, 0));
  EXPECT_EQ(3, kesto::anchor_frame(27, 24, 10));
  EXPECT_EQ(0, kesto::anchor_frame(std::nan(""), 0, 10));
  EXPECT_EQ(10, kesto::anchor_frame(std::numeric_limits<double>::infinity(), 0, 10));
}

TEST(ClipFrames, ClipStartHasSixDecimals) {
  EXPECT_EQ("0.000000", kesto::clip_start_text(0));
  EXPECT_EQ("24.000000", kesto::clip_start_text(24));
  EXPECT_EQ("-3.500000", kesto::clip_start_text(-3.5));
  EXPECT_EQ("1001.125000", kesto::clip_start_text(1001.125));
  EXPECT_EQ("100000000000000000000.000000", kesto::clip_start_text(1e20));
}

}  // namespace
