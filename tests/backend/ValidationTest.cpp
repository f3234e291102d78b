#include "backend/service/Validation.h"

#include <gtest/gtest.h>

namespace kesto::backend {
namespace {

const char* kPluginJob =
    R"({"anchor_frame":2,"bbox":{"h":0.5,"w":0.25,"x":0.5,"y":0.25},"edge_softness":0.3,"quality":"fine",)"
    R"("strokes":[[0.6,0.4,0.03],[0.7,0.5,-0.05]],"text_prompt":"the knight"})";

TEST(Validation, SessionIdsAreThirtyTwoLowerHexDigitsAfterAnOptionalNodeName) {
  const std::string hex = "0123456789abcdef0123456789abcdef";
  const struct {
    std::string id;
    bool valid;
    const char* node;
  } cases[] = {
      {hex, true, ""},
      {"a-" + hex, true, "a"},
      {"node16charsxxxxx-" + hex, true, "node16charsxxxxx"},
      {"b7-" + hex, true, "b7"},
      {"0123456789ABCDEF0123456789abcdef", false, ""},
      {hex.substr(1), false, ""},
      {hex + "0", false, ""},
      {"../../../../etc/passwd0123456789", false, ""},
      {"", false, ""},
      {"-" + hex, false, ""},
      {"A-" + hex, false, ""},
      {"a_b-" + hex, false, ""},
      {"a-b-" + hex, false, ""},
      {"node17charsxxxxxx-" + hex, false, ""},
      {"a-" + hex.substr(1), false, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_valid_session_id(c.id), c.valid) << c.id;
    if (c.valid) {
      EXPECT_EQ(session_node(c.id), c.node) << c.id;
    }
  }
}

TEST(Validation, FrameIndicesArePlainDecimalBelowTheLimit) {
  EXPECT_EQ(parse_frame_index("0", 10).value(), 0);
  EXPECT_EQ(parse_frame_index("9", 10).value(), 9);
  EXPECT_EQ(parse_frame_index("10", 10).error().http_status, 413);
  for (const char* bad : {"", "-1", "+1", "01", "1.0", "1e3", "x", " 1", "1234567890"}) {
    const auto r = parse_frame_index(bad, 1000000);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().http_status, 400) << bad;
  }
}

TEST(Validation, CreateSessionTakesThePluginsBody) {
  const auto r = parse_create_session(R"({"fps":25.0,"source":"plugin"})");
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_DOUBLE_EQ(r.value().fps, 25.0);
  EXPECT_EQ(r.value().source, "plugin");
  EXPECT_TRUE(parse_create_session(R"({"fps":0})").ok());
}

TEST(Validation, CreateSessionRefusesBadBodies) {
  for (const char* bad : {"", "{", "[]", "null", R"({"source":"plugin"})", R"({"fps":"25"})", R"({"fps":-1})",
                          R"({"fps":1001})", R"({"fps":25,"source":7})", R"({"fps":25,"extra":1})",
                          R"({"fps":25} trailing)", "{\"fps\":25 /* c */}"}) {
    const auto r = parse_create_session(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().http_status, 400) << bad;
    EXPECT_FALSE(r.error().message.empty());
  }
}

TEST(Validation, JobRequestFromThePluginIsReadWhole) {
  const auto r = parse_job_request(kPluginJob, 5);
  ASSERT_TRUE(r.ok()) << r.error().message;
  const JobRequest& job = r.value();
  EXPECT_EQ(job.anchor_frame, 2);
  EXPECT_EQ(job.quality, Quality::Fine);
  EXPECT_DOUBLE_EQ(job.edge_softness, 0.3);
  ASSERT_TRUE(job.bbox.has_value());
  EXPECT_DOUBLE_EQ(job.bbox->x, 0.5);
  EXPECT_DOUBLE_EQ(job.bbox->h, 0.5);
  ASSERT_EQ(job.strokes.size(), 2u);
  EXPECT_TRUE(job.strokes[0].adds());
  EXPECT_FALSE(job.strokes[1].adds());
  EXPECT_EQ(job.text_prompt, "the knight");
}

TEST(Validation, JobRequestSelectionAlternatives) {
  // Text hint only, dabs only, a zero-radius dab (excludes) plus a hint, and malformed dabs the overlay skips.
  EXPECT_TRUE(parse_job_request(R"({"anchor_frame":0,"quality":"fast","edge_softness":0,"strokes":[],"text_prompt":"man"})", 1).ok());
  EXPECT_TRUE(parse_job_request(R"({"anchor_frame":0,"quality":"fast","edge_softness":1,"strokes":[[0.5,0.5,0.1]]})", 1).ok());
  const auto zero = parse_job_request(
      R"({"anchor_frame":0,"quality":"fast","edge_softness":1,"strokes":[[0.5,0.5,0]],"text_prompt":"x"})", 1);
  ASSERT_TRUE(zero.ok());
  EXPECT_FALSE(zero.value().strokes[0].adds());
  const auto skipped = parse_job_request(
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0.5,"strokes":[[0.5,0.5],"x",{},[0.2,0.2,0.05,9]]})", 1);
  ASSERT_TRUE(skipped.ok()) << skipped.error().message;
  ASSERT_EQ(skipped.value().strokes.size(), 1u);
  EXPECT_DOUBLE_EQ(skipped.value().strokes[0].x, 0.2);
}

TEST(Validation, JobRequestRefusesEachBadMember) {
  const std::vector<std::string> bad = {
      "not json",
      "[1,2]",
      R"({"quality":"fine","edge_softness":0,"text_prompt":"a"})",                       // no anchor
      R"({"anchor_frame":1.5,"quality":"fine","edge_softness":0,"text_prompt":"a"})",    // not an integer
      R"({"anchor_frame":-1,"quality":"fine","edge_softness":0,"text_prompt":"a"})",
      R"({"anchor_frame":3,"quality":"fine","edge_softness":0,"text_prompt":"a"})",      // beyond 3 frames
      R"({"anchor_frame":0,"edge_softness":0,"text_prompt":"a"})",                       // no quality
      R"({"anchor_frame":0,"quality":"Fine","edge_softness":0,"text_prompt":"a"})",
      R"({"anchor_frame":0,"quality":"fine","text_prompt":"a"})",                        // no softness
      R"({"anchor_frame":0,"quality":"fine","edge_softness":1.01,"text_prompt":"a"})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":"0.5","text_prompt":"a"})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"text_prompt":5})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"text_prompt":"a","bbox":[0,0,1,1]})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"bbox":{"x":0.1,"y":0.1,"w":0.5,"h":0}})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"bbox":{"x":0.8,"y":0.1,"w":0.5,"h":0.2}})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"bbox":{"x":-0.1,"y":0.1,"w":0.5,"h":0.2}})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"bbox":{"x":"0","y":0.1,"w":0.5,"h":0.2}})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"bbox":{"x":0,"y":0.1,"w":0.5,"h":0.2,"z":1}})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"strokes":{}})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"strokes":[["a","b","c"]]})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"strokes":[[1.5,0.5,0.1]]})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"strokes":[[0.5,-0.1,0.1]]})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"strokes":[[0.5,0.5,2]]})",
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"text_prompt":"a","colour":"red"})",
      "{\"anchor_frame\":0,\"quality\":\"fine\",\"edge_softness\":0,\"text_prompt\":\"\xff\xfe\"}",  // not UTF-8
      // Nothing selected: no box, only excluding dabs, and a blank hint.
      R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"strokes":[[0.5,0.5,-0.1]],"text_prompt":"  "})",
  };
  for (const std::string& body : bad) {
    const auto r = parse_job_request(body, 3);
    ASSERT_FALSE(r.ok()) << body;
    EXPECT_EQ(r.error().http_status, 400) << body;
    EXPECT_FALSE(r.error().message.empty()) << body;
  }
}

TEST(Validation, JobRequestLimitsSizes) {
  std::string long_prompt(kMaxTextPromptBytes + 1, 'a');
  EXPECT_FALSE(parse_job_request(R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"text_prompt":")" +
                                     long_prompt + "\"}",
                                 1)
                   .ok());
  const auto dabs = [](std::size_t count) {
    std::string body = R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"strokes":[)";
    for (std::size_t i = 0; i < count; ++i) body += std::string(i ? "," : "") + "[0.5,0.5,0.01]";
    return body + "]}";
  };
  EXPECT_TRUE(parse_job_request(dabs(kMaxStrokeCount), 1).ok());
  EXPECT_FALSE(parse_job_request(dabs(kMaxStrokeCount + 1), 1).ok());
  const auto huge = parse_job_request(std::string(kMaxJsonBodyBytes + 1, ' '), 1);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().http_status, 413);
}

TEST(Validation, BeaconNeedsItsFourStrings) {
  const auto ok = parse_beacon(R"({"arch":"x86_64","host":"resolve","os":"macos","plugin_version":"1.1.0"})");
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value().plugin_version, "1.1.0");
  EXPECT_EQ(ok.value().arch, "x86_64");
  EXPECT_TRUE(parse_beacon(R"({"arch":"a","host":"h","os":"o","plugin_version":"v","later":1})").ok());
  EXPECT_FALSE(parse_beacon(R"({"arch":"a","host":"h","os":"o"})").ok());
  EXPECT_FALSE(parse_beacon(R"({"arch":1,"host":"h","os":"o","plugin_version":"v"})").ok());
  EXPECT_FALSE(parse_beacon("[]").ok());
}

}  // namespace
}  // namespace kesto::backend
