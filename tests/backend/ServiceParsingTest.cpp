// What the backend reads before it acts: the command line and the engine it chooses, request targets and
// routes, ids, indices and JSON bodies, uploaded image headers, and the record a session keeps on disk.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "BackendTestSupport.h"
#include "backend/matting/ModelCache.h"
#include "backend/service/BackendConfig.h"
#include "backend/service/ImageProbe.h"
#include "backend/service/Routes.h"
#include "backend/service/SessionRecord.h"
#include "backend/service/Validation.h"

namespace kesto::backend {
namespace {

using nlohmann::json;

const std::string kHex = "0123456789abcdef0123456789abcdef";

TEST(BackendConfig, ReadsEveryOptionOverItsDefaultAndRefusesBadValuesNamingTheOption) {
  EXPECT_EQ(parse_args({}).config.host, "127.0.0.1");  // loopback unless told otherwise
  const ParsedArgs parsed = parse_args(
      {"--host", "0.0.0.0", "--port", "0", "--workdir", "/tmp/w", "--engine", "neural", "--max-jobs", "3",
       "--http-threads", "4", "--max-sessions", "5", "--max-frames", "6", "--max-frame-mb", "7", "--max-disk-mb", "8",
       "--session-ttl", "9", "--log", "quiet", "--port-file", "/tmp/p", "--node", "b7", "--model", "m.onnx",
       "--model-size", "320x288", "--model-mean", "0.485,0.456,0.406", "--model-std", "2", "--model-output", "d0",
       "--keyframe-spacing", "0"});
  ASSERT_EQ(parsed.action, ParsedArgs::Action::Run) << parsed.message;
  const BackendConfig& c = parsed.config;
  EXPECT_EQ(std::tie(c.host, c.port, c.workdir, c.engine, c.port_file, c.node),
            std::make_tuple("0.0.0.0", 0, "/tmp/w", "neural", "/tmp/p", "b7"));
  EXPECT_EQ(std::tie(c.max_jobs, c.http_threads, c.max_sessions, c.max_frames), std::make_tuple(3, 4, 5, 6));
  EXPECT_EQ(std::tie(c.max_frame_bytes, c.max_disk_bytes, c.session_ttl, c.log_level),
            std::make_tuple(7u << 20, 8u << 20, std::chrono::seconds(9), LogLevel::Quiet));
  const NeuralOptions& n = c.neural;
  EXPECT_EQ(std::tie(n.model_path, n.input_width, n.input_height, n.output_name, n.keyframe_spacing),
            std::make_tuple("m.onnx", 320, 288, "d0", 0));
  EXPECT_EQ(std::tie(n.mean, n.std), std::make_tuple(std::array{0.485, 0.456, 0.406}, std::array{2.0, 2.0, 2.0}));
  EXPECT_EQ(parse_args({"--model-size", "512"}).config.neural.input_height, 512);
  EXPECT_EQ(parse_args({"--port", "1", "--help"}).action, ParsedArgs::Action::Help);
  EXPECT_EQ(parse_args({"--check-model"}).action, ParsedArgs::Action::CheckModel);
  // One of each kind of check; the ranges themselves are the declarations'.
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "70000"},         {"--port", "12x"},        {"--engine", "magic"},      {"--log", "loud"},
      {"--port"},                  {"--max-frame-mb", "99999"}, {"--node", ""},          {"--node", "Node1"},
      {"--node", "abcdefghijklmnopq"}, {"--model-size", "64x"}, {"--model-size", "8x8x8"}, {"--model-size", "99999"},
      {"--model-mean", "1,2"},     {"--model-mean", "1,2,3,4"}, {"--model-mean", "nan"}, {"--model-std", "0"},
      {"--model-std", "1,,1"},     {"--model-output", ""},   {"--keyframe-spacing", "-1"}, {"--model", ""},
      {"--bogus", "1"},            {"stray"},                {"--engine", "classical", "--model", "m.onnx"},
  };
  for (const auto& args : bad) {
    const ParsedArgs refused = parse_args(args);
    EXPECT_EQ(refused.action, ParsedArgs::Action::Error) << args[0];
    EXPECT_NE(refused.message.find(args[0]), std::string::npos) << refused.message;
  }
  EXPECT_EQ(parse_args({"--engine", "auto", "--model", "m.onnx"}).action, ParsedArgs::Action::Run);  // neural: above
}

TEST(BackendConfig, AutoTakesTheGivenModelThenTheCachedOneThenTheClassicalEngine) {
  test::TempDir dir;
  const std::filesystem::path cached = dir.path() / kCachedModelName;
  std::ofstream(cached) << "model";
  NeuralOptions given;
  given.model_path = "/m/given.onnx";
  const struct {
    std::string engine;
    bool with_model;
    std::filesystem::path cache;
    std::string want_engine;
    std::string want_model;
  } rows[] = {
      {"auto", true, cached, "neural", "/m/given.onnx"},     {"auto", false, cached, "neural", cached.string()},
      {"auto", false, dir.path() / "absent", "classical", ""}, {"neural", false, cached, "neural", cached.string()},
      {"neural", false, "", "neural", ""},                   {"trivial", false, cached, "trivial", ""},
  };
  for (const auto& row : rows) {
    const EngineChoice choice = choose_engine(row.engine, row.with_model ? given : NeuralOptions{}, row.cache);
    EXPECT_EQ(choice.engine, row.want_engine) << row.engine << " " << row.cache;
    EXPECT_EQ(choice.neural.model_path, row.want_model) << row.engine << " " << row.cache;
    EXPECT_EQ(choice.model_from_cache, !row.with_model && row.want_model == cached.string()) << row.engine;
  }
}

TEST(Routes, MatchEveryRouteWithItsMethodNameTheAllowedOnesAndGiveTargetsTheirDecodedPathAndBodyLimit) {
  const std::string s = "/api/matte/sessions/" + kHex;
  const struct {
    const char* method;
    std::string path;
    RouteKind kind;
    const char* detail;  // the frame index, or the allowed methods when the method is wrong
  } cases[] = {
      {"GET", "/api/health", RouteKind::Health, ""},
      {"POST", "/api/beacon", RouteKind::Beacon, ""},
      {"POST", "/api/matte/sessions", RouteKind::CreateSession, ""},
      {"POST", "//api/matte/sessions", RouteKind::CreateSession, ""},  // a trailing slash in the base URL
      {"GET", s, RouteKind::SessionStatus, ""},
      {"DELETE", s, RouteKind::DeleteSession, ""},
      {"PUT", s + "/frames/17", RouteKind::UploadFrame, "17"},
      {"POST", s + "/start", RouteKind::StartJob, ""},
      {"GET", s + "/alpha/3.png", RouteKind::DownloadMatte, "3"},
      {"GET", "/api/matte/sessions", RouteKind::MethodNotAllowed, "POST"},
      {"PUT", s, RouteKind::MethodNotAllowed, "GET, DELETE"},
      {"POST", s + "/frames/0", RouteKind::MethodNotAllowed, "PUT"},
      {"PATCH", "/api/health", RouteKind::MethodNotAllowed, "GET"},
  };
  for (const auto& c : cases) {
    const Route route = match_route(c.method, c.path);
    EXPECT_EQ(route.kind, c.kind) << c.method << " " << c.path;
    EXPECT_EQ(route.kind == RouteKind::MethodNotAllowed ? route.allow : route.frame_index, c.detail) << c.path;
    if (c.path.rfind(s, 0) == 0 && c.kind != RouteKind::MethodNotAllowed) {
      EXPECT_EQ(route.session_id, kHex);
    }
  }
  // Segments are taken raw, for validation later.
  const Route raw = match_route("PUT", "/api/matte/sessions/..%2F/frames/-1");
  EXPECT_EQ(std::tie(raw.session_id, raw.frame_index), std::make_tuple("..%2F", "-1"));
  for (const char* path : {"/", "", "/apix/health", "/api/matte/session", "/api/matte/sessions/x/y",
                           "/api/matte/sessions/x/frames/1/2", "/api/matte/sessions/x/alpha/.png",
                           "/api/matte/sessions/x/alpha/1.jpg", "/api/health/more", "/api/matte/sessions//frames/0"}) {
    EXPECT_EQ(match_route("GET", path).kind, RouteKind::NotFound) << path;
    EXPECT_EQ(match_route("PUT", path).kind, RouteKind::NotFound) << path;
  }
  const std::pair<const char*, std::optional<std::string>> targets[] = {
      {"/api/health", "/api/health"},  {"/api/health?probe=1#top", "/api/health"},
      {"/s/%2e%2E%2F", "/s/../"},      {"/a%00b", std::string("/a\0b", 4)},
      {"/a%2", std::nullopt},          {"/a%zz", std::nullopt},
      {"http://host/api/health", std::nullopt}, {"*", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& [target, path] : targets) EXPECT_EQ(request_path(target), path) << target;
  EXPECT_EQ(body_limit(RouteKind::UploadFrame, 5000), 5000u);
  for (const RouteKind takes_json : {RouteKind::StartJob, RouteKind::CreateSession, RouteKind::Beacon}) {
    EXPECT_EQ(body_limit(takes_json, 5000), kMaxJsonBodyBytes);
  }
  EXPECT_EQ(body_limit(RouteKind::SessionStatus, 5000), 0u);
}

TEST(Validation, SessionIdsAreThirtyTwoLowerHexDigitsAfterAnOptionalNodeNameAndFrameIndicesPlainDecimals) {
  const std::pair<std::string, const char*> cases[] = {  // the id and its node, nullptr when not valid
      {kHex, ""}, {"a-" + kHex, "a"}, {"node16charsxxxxx-" + kHex, "node16charsxxxxx"}, {"b7-" + kHex, "b7"},
      {"0123456789ABCDEF0123456789abcdef", nullptr}, {kHex.substr(1), nullptr}, {kHex + "0", nullptr},
      {"../../../../etc/passwd0123456789", nullptr}, {"", nullptr}, {"-" + kHex, nullptr}, {"A-" + kHex, nullptr},
      {"a_b-" + kHex, nullptr}, {"a-b-" + kHex, nullptr}, {"node17charsxxxxxx-" + kHex, nullptr},
      {"a-" + kHex.substr(1), nullptr},
  };
  for (const auto& [id, node] : cases) {
    EXPECT_EQ(is_valid_session_id(id), node != nullptr) << id;
    if (node != nullptr) {
      EXPECT_EQ(session_node(id), node) << id;
    }
  }
  EXPECT_EQ(parse_frame_index("0", 10).value(), 0);
  EXPECT_EQ(parse_frame_index("9", 10).value(), 9);
  EXPECT_EQ(parse_frame_index("10", 10).error().http_status, 413);
  for (const char* bad : {"", "-1", "+1", "01", "1.0", "1e3", "x", " 1", "1234567890"}) {
    EXPECT_EQ(parse_frame_index(bad, 1000000).error().http_status, 400) << bad;
  }
}

TEST(Validation, CreateSessionAndBeaconBodiesAndTheJobRequestFromThePluginReadWholeWithEachBadMemberRefused) {
  const auto created = parse_create_session(R"({"fps":25.0,"source":"plugin"})");
  ASSERT_TRUE(created.ok()) << created.error().message;
  EXPECT_EQ(std::tie(created.value().fps, created.value().source), std::make_tuple(25.0, "plugin"));
  EXPECT_TRUE(parse_create_session(R"({"fps":0})").ok());
  for (const char* bad : {"", "{", "[]", "null", R"({"source":"plugin"})", R"({"fps":"25"})", R"({"fps":-1})",
                          R"({"fps":1001})", R"({"fps":25,"source":7})", R"({"fps":25,"extra":1})",
                          R"({"fps":25} trailing)", "{\"fps\":25 /* c */}"}) {
    const auto refused = parse_create_session(bad);
    EXPECT_EQ(refused.ok() ? 0 : refused.error().http_status, 400) << bad;
  }
  const auto beacon = parse_beacon(R"({"arch":"x86_64","host":"resolve","os":"macos","plugin_version":"1.1.0"})");
  ASSERT_TRUE(beacon.ok());
  EXPECT_EQ(std::tie(beacon.value().plugin_version, beacon.value().arch), std::make_tuple("1.1.0", "x86_64"));
  EXPECT_TRUE(parse_beacon(R"({"arch":"a","host":"h","os":"o","plugin_version":"v","later":1})").ok());
  for (const char* bad : {R"({"arch":"a","host":"h","os":"o"})", R"({"arch":1,"host":"h","os":"o","plugin_version":"v"})", "[]"}) {
    EXPECT_FALSE(parse_beacon(bad).ok()) << bad;
  }
  // The job request: read whole, its alternatives taken.
  const auto r = parse_job_request(
      R"({"anchor_frame":2,"bbox":{"h":0.5,"w":0.25,"x":0.5,"y":0.25},"edge_softness":0.3,"quality":"fine",)"
      R"("strokes":[[0.6,0.4,0.03],[0.7,0.5,-0.05]],"text_prompt":"the knight"})", 5);
  ASSERT_TRUE(r.ok()) << r.error().message;
  const JobRequest& job = r.value();
  EXPECT_EQ(std::tie(job.anchor_frame, job.quality, job.edge_softness, job.text_prompt),
            std::make_tuple(2, Quality::Fine, 0.3, "the knight"));
  ASSERT_TRUE(job.bbox.has_value());
  EXPECT_EQ(std::tie(job.bbox->x, job.bbox->y, job.bbox->w, job.bbox->h), std::make_tuple(0.5, 0.25, 0.25, 0.5));
  ASSERT_EQ(job.strokes.size(), 2u);
  EXPECT_TRUE(job.strokes[0].adds());
  EXPECT_FALSE(job.strokes[1].adds());

  // A hint alone; each patch below is merged into it (null removes the member).
  const json base = json::parse(R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"text_prompt":"a"})");
  const auto with = [&](json patch) {
    json body = base;
    body.merge_patch(patch);
    return body.dump();
  };
  const auto dabs = [&](std::size_t count) { return with({{"strokes", json(count, json{0.5, 0.5, 0.01})}}); };
  const std::string good[] = {base.dump(), dabs(kMaxStrokeCount),
                              // dabs alone, at the softest edge
                              with(json::parse(R"({"text_prompt":null,"edge_softness":1,"strokes":[[0.5,0.5,0.1]]})")),
                              with(json::parse(R"({"bbox":{"x":0.5,"y":0.5,"w":0.5,"h":0.5}})"))};   // to the corner
  for (const std::string& body : good) EXPECT_TRUE(parse_job_request(body, 1).ok()) << body;
  // Malformed dabs, which the overlay skips too; a zero radius excludes.
  const auto skipped = parse_job_request(with(json::parse(R"({"strokes":[[0.5,0.5],"x",{},[0.2,0.2,0.05,9],[0.5,0.5,0]]})")), 1);
  ASSERT_TRUE(skipped.ok()) << skipped.error().message;
  ASSERT_EQ(skipped.value().strokes.size(), 2u);
  EXPECT_DOUBLE_EQ(skipped.value().strokes[0].x, 0.2);
  EXPECT_FALSE(skipped.value().strokes[1].adds());

  const char* patches[] = {
      R"({"anchor_frame":null})", R"({"anchor_frame":1.5})", R"({"anchor_frame":-1})", R"({"anchor_frame":3})",
      R"({"quality":null})", R"({"quality":"Fine"})", R"({"edge_softness":null})", R"({"edge_softness":1.01})",
      R"({"edge_softness":"0.5"})", R"({"text_prompt":5})", R"({"colour":"red"})", R"({"bbox":[0,0,1,1]})",
      R"({"bbox":{"x":0.1,"y":0.1,"w":0.5,"h":0}})", R"({"bbox":{"x":0.1,"y":0.1,"w":0,"h":0.5}})",
      R"({"bbox":{"x":0.8,"y":0.1,"w":0.5,"h":0.2}})", R"({"bbox":{"x":0.1,"y":0.8,"w":0.2,"h":0.5}})",
      R"({"bbox":{"x":-0.1,"y":0.1,"w":0.5,"h":0.2}})", R"({"bbox":{"x":"0","y":0.1,"w":0.5,"h":0.2}})",
      R"({"bbox":{"x":0,"y":0.1,"w":0.5,"h":0.2,"z":1}})", R"({"strokes":{}})", R"({"strokes":[["a","b","c"]]})",
      R"({"strokes":[[1.5,0.5,0.1]]})", R"({"strokes":[[0.5,-0.1,0.1]]})", R"({"strokes":[[0.5,1.1,0.1]]})",
      R"({"strokes":[[0.5,0.5,2]]})", R"({"strokes":[[0.5,0.5,-0.1]],"text_prompt":"  "})",  // nothing selected
  };
  std::vector<std::string> bad = {"not json", "[1,2]", R"({"anchor_frame":0,"quality":"fine","edge_softness":0,"text_prompt":")"
                                  "\xff\xfe\"}",  // not UTF-8
                                  with({{"text_prompt", std::string(kMaxTextPromptBytes + 1, 'a')}}), dabs(kMaxStrokeCount + 1)};
  for (const char* patch : patches) bad.push_back(with(json::parse(patch)));
  for (const std::string& body : bad) {
    const auto refused = parse_job_request(body, 3);
    ASSERT_FALSE(refused.ok()) << body;
    EXPECT_EQ(refused.error().http_status, 400) << body;
    EXPECT_FALSE(refused.error().message.empty()) << body;
  }
  EXPECT_EQ(parse_job_request(std::string(kMaxJsonBodyBytes + 1, ' '), 1).error().http_status, 413);
}

TEST(ImageProbe, ReadsTheSizeOfJpegAndPngHeadersAndRefusesOthers) {
  const cv::Mat frame = test::square_frame(37, 21, 3, 3, 8);
  const std::string progressive = test::encode(frame, ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
  const std::string jpeg = test::encode(frame, ".jpg");
  const std::string png = test::encode(frame, ".png");
  for (const auto& [bytes, format] : {std::pair{jpeg, ImageFormat::Jpeg},
                                      std::pair{progressive, ImageFormat::Jpeg},
                                      std::pair{png, ImageFormat::Png}}) {
    const auto info = probe_image(bytes);
    ASSERT_TRUE(info.ok()) << info.error().message;
    EXPECT_EQ(std::tie(info.value().format, info.value().width, info.value().height), std::make_tuple(format, 37, 21));
  }
  std::string bad_depth = png, huge = png, empty = png;
  bad_depth[24] = 3;  // bit depth 3 does not exist
  huge[18] = 0x7F;    // width 0x7F0025
  empty[16] = empty[17] = empty[18] = empty[19] = 0;
  const std::pair<std::string, int> refused[] = {
      {"", 400}, {huge, 413}, {"GIF89a......", 415}, {std::string("\xFF\xD8\xFF", 3), 415}, {jpeg.substr(0, 20), 415},
      {png.substr(0, 20), 415}, {"BM" + std::string(60, '\0'), 415}, {std::string(100, 'x'), 415}, {bad_depth, 415},
      {empty, 415}};
  for (const auto& [bytes, status] : refused) EXPECT_EQ(probe_image(bytes).error().http_status, status) << bytes.size();
}

TEST(SessionRecord, IsReadAsWrittenAndRefusedWhenNotWhole) {
  // The text on disk, as earlier runs of this version wrote it: every member read back as it was written.
  const std::string completed =
      R"({"error":"","fps":25.0,"frame_count":2,"matte_bytes":[10,20],"source":"plugin","stage":"completed","version":1})";
  EXPECT_EQ(encode_session_record(decode_session_record(completed).value()), completed + "\n");
  const std::pair<std::string, std::optional<SessionRecord::Stage>> cases[] = {
      {completed, SessionRecord::Stage::Completed},
      {R"({"error":"boom","fps":1,"frame_count":2,"matte_bytes":[],"source":"","stage":"failed","version":1})",
       SessionRecord::Stage::Failed},
      {R"({"error":"","fps":1,"frame_count":3,"matte_bytes":[1],"source":"","stage":"completed","version":1})", std::nullopt},
      {R"({"error":"","fps":1,"frame_count":-1,"matte_bytes":[],"source":"","stage":"failed","version":1})", std::nullopt},
      {R"({"error":"","fps":1,"frame_count":0,"matte_bytes":[],"source":"","stage":"done","version":1})", std::nullopt},
      {R"({"error":"","fps":1,"frame_count":0,"matte_bytes":[],"source":"","stage":"failed","version":2})", std::nullopt},
      {"trevane-backend session", std::nullopt},
  };
  for (const auto& [text, stage] : cases) {
    const auto decoded = decode_session_record(text);
    EXPECT_EQ(decoded ? std::optional(decoded->stage) : std::nullopt, stage) << text;
  }
  EXPECT_EQ(decode_session_record(cases[1].first)->error, "boom");
}

}  // namespace
}  // namespace kesto::backend
