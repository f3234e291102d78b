// The backend's protocol over real HTTP on 127.0.0.1 and an OS-chosen port, with the trivial engine and tiny
// frames: every route, every validation error, the limits, expiry and concurrent sessions.

#include "backend/service/BackendServer.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "BackendTestSupport.h"
#include "ServedBackend.h"
#include "backend/service/SessionStore.h"

namespace kesto::backend {
namespace {

using namespace served;

TEST(BackendServer, StatusReportsProgressAndFrameCounts) {
  Backend backend;
  httplib::Client& client = *backend.client;
  const std::string id = create_session(client);
  auto before = client.Get(session_path(id));
  ASSERT_TRUE(before);
  json status = body_of(before);
  EXPECT_EQ(status["status"], "UPLOADING");
  EXPECT_EQ(status["session_id"], id);
  EXPECT_TRUE(status["progress"].is_object());
  EXPECT_TRUE(status["progress"]["stage"].is_string());
  ASSERT_EQ(client.Put(session_path(id) + "/frames/0", tiny_jpeg(), "image/jpeg")->status, 200);
  EXPECT_EQ(body_of(client.Get(session_path(id)))["frames_received"], 1);
  ASSERT_EQ(client.Post(session_path(id) + "/start", kJobBox, "application/json")->status, 202);
  const json done = wait_until_done(client, id);
  EXPECT_EQ(done["status"], "COMPLETED");
  EXPECT_EQ(done["frame_count"], 1);
  EXPECT_FALSE(done.contains("error"));
}

TEST(BackendServer, HealthAndBeacon) {
  Backend backend;
  httplib::Client& client = *backend.client;
  auto health = client.Get("/api/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(body_of(health)["status"], "ok");
  EXPECT_TRUE(body_of(health)["node"].is_null());
  auto beacon = client.Post("/api/beacon", R"({"arch":"x86_64","host":"resolve","os":"macos","plugin_version":"1.1.0"})",
                            "application/json");
  ASSERT_TRUE(beacon);
  EXPECT_EQ(beacon->status, 200);
  EXPECT_EQ(backend.server.beacons_received(), 1u);
  // A trailing slash in the client's base URL doubles the first slash; it still reaches the beacon.
  EXPECT_EQ(client.Post("//api/beacon", R"({"arch":"a","host":"h","os":"o","plugin_version":"v"})", "application/json")->status,
            200);
  EXPECT_EQ(client.Post("/api/beacon", R"({"arch":"a"})", "application/json")->status, 400);
  EXPECT_EQ(backend.server.beacons_received(), 2u);
}

TEST(BackendServer, ANamedNodeNamesItsSessionsAndItsLoad) {
  Backend backend([](BackendConfig& c) { c.node = "b7"; });
  httplib::Client& client = *backend.client;
  const std::string id = session_with_a_frame(client);
  ASSERT_EQ(id.rfind("b7-", 0), 0u) << id;
  EXPECT_EQ(id.size(), 3u + 32u);
  const json health = body_of(client.Get("/api/health"));
  EXPECT_EQ(health["node"], "b7");
  EXPECT_EQ(health["sessions"], 1);
  EXPECT_EQ(health["jobs_running"], 0);
  EXPECT_EQ(health["jobs_queued"], 0);
  // An id of another node, as a misconfigured proxy would send it: the reply names both nodes.
  auto elsewhere = client.Get(session_path("c-" + id.substr(3)));
  ASSERT_TRUE(elsewhere);
  EXPECT_EQ(elsewhere->status, 404);
  EXPECT_NE(body_of(elsewhere).value("error", "").find("names node c, this is node b7"), std::string::npos)
      << elsewhere->body;
  ASSERT_EQ(client.Post(session_path(id) + "/start", kJobBox, "application/json")->status, 202);
  EXPECT_EQ(wait_until_done(client, id)["status"], "COMPLETED");
}

struct BadCase {
  const char* what;
  std::function<httplib::Result(httplib::Client&)> send;
  int status;
};

TEST(BackendServer, AnswersEveryBadRequestWithA4xxAndAJsonError) {
  Backend backend;
  httplib::Client& client = *backend.client;
  const std::string id = create_session(client);
  const std::string done_id = session_with_a_frame(client);
  const std::string s = session_path(id);
  const std::string d = session_path(done_id);
  const std::string& jpeg = tiny_jpeg();
  const std::string png = test::encode(test::square_frame(8, 8, 1, 1, 3), ".png");
  ASSERT_EQ(client.Post(d + "/start", kJobBox, "application/json")->status, 202);
  ASSERT_EQ(wait_until_done(client, done_id)["status"], "COMPLETED");
  const std::string unknown = session_path("0123456789abcdef0123456789abcdef");

  const std::vector<BadCase> cases = {
      {"unknown route", [](httplib::Client& c) { return c.Get("/nowhere"); }, 404},
      {"unknown api route", [](httplib::Client& c) { return c.Get("/api/matte"); }, 404},
      {"wrong method", [](httplib::Client& c) { return c.Get("/api/matte/sessions"); }, 405},
      {"create: not JSON", [](httplib::Client& c) { return c.Post("/api/matte/sessions", "nope", "application/json"); }, 400},
      {"create: wrong type", [](httplib::Client& c) { return c.Post("/api/matte/sessions", "{\"fps\":1}", "text/plain"); }, 415},
      {"status: malformed id", [](httplib::Client& c) { return c.Get("/api/matte/sessions/..."); }, 400},
      {"status: unknown id", [&](httplib::Client& c) { return c.Get(unknown); }, 404},
      {"delete: unknown id", [&](httplib::Client& c) { return c.Delete(unknown); }, 404},
      {"upload: unknown id", [&](httplib::Client& c) { return c.Put(unknown + "/frames/0", jpeg, "image/jpeg"); }, 404},
      {"upload: bad index", [&](httplib::Client& c) { return c.Put(s + "/frames/x", jpeg, "image/jpeg"); }, 400},
      {"upload: beyond frame limit", [&](httplib::Client& c) { return c.Put(s + "/frames/100", jpeg, "image/jpeg"); }, 413},
      {"upload: empty", [&](httplib::Client& c) { return c.Put(s + "/frames/0", "", "image/jpeg"); }, 400},
      {"upload: not an image", [&](httplib::Client& c) { return c.Put(s + "/frames/0", "hello", "image/jpeg"); }, 415},
      {"upload: type mismatch", [&](httplib::Client& c) { return c.Put(s + "/frames/0", png, "image/jpeg"); }, 415},
      {"upload: foreign type", [&](httplib::Client& c) { return c.Put(s + "/frames/0", jpeg, "text/html"); }, 415},
      {"upload: too large", [&](httplib::Client& c) { return c.Put(s + "/frames/0", std::string(70000, 'x'), "image/jpeg"); }, 413},
      {"upload: after start", [&](httplib::Client& c) { return c.Put(d + "/frames/1", jpeg, "image/jpeg"); }, 409},
      {"start: no frames", [&](httplib::Client& c) { return c.Post(s + "/start", kJobBox, "application/json"); }, 409},
      {"start: twice", [&](httplib::Client& c) { return c.Post(d + "/start", kJobBox, "application/json"); }, 409},
      {"start: unknown id", [&](httplib::Client& c) { return c.Post(unknown + "/start", kJobBox, "application/json"); }, 404},
      {"start: too large", [&](httplib::Client& c) { return c.Post(s + "/start", std::string(2 << 20, ' '), "application/json"); }, 413},
      {"matte: before completion", [&](httplib::Client& c) { return c.Get(s + "/alpha/0.png"); }, 409},
      {"matte: beyond the clip", [&](httplib::Client& c) { return c.Get(d + "/alpha/1.png"); }, 404},
      {"matte: bad index", [&](httplib::Client& c) { return c.Get(d + "/alpha/x.png"); }, 400},
      {"matte: unknown id", [&](httplib::Client& c) { return c.Get(unknown + "/alpha/0.png"); }, 404},
  };
  for (const BadCase& bad : cases) {
    auto r = bad.send(client);
    ASSERT_TRUE(r) << bad.what << ": " << httplib::to_string(r.error());
    EXPECT_EQ(r->status, bad.status) << bad.what << ": " << r->body;
    const json body = json::parse(r->body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << bad.what << ": " << r->body;
    EXPECT_TRUE(body["error"].is_string()) << bad.what;
    EXPECT_FALSE(body.value("error", "").empty()) << bad.what;
  }
  EXPECT_EQ(client.Get("/api/matte/sessions")->get_header_value("Allow"), "POST");
  // After all that, on the same kept-alive connection, the server still works.
  run_full_session(client, 2);
}

TEST(BackendServer, SurvivesRandomBodiesOnEveryRoute) {
  Backend backend;
  httplib::Client& client = *backend.client;
  const std::string id = create_session(client);
  const std::string s = session_path(id);
  cv::RNG rng(11);
  for (int round = 0; round < 40; ++round) {
    std::string body(static_cast<std::size_t>(rng.uniform(0, 300)), '\0');
    for (char& c : body) c = static_cast<char>(rng.uniform(0, 256));
    if (round % 4 == 1) body = "\xFF\xD8\xFF" + body;                          // a JPEG start
    if (round % 4 == 2) body = std::string("\x89PNG\r\n\x1A\n", 8) + body;   // a PNG start
    if (round % 4 == 3) body = "{\"anchor_frame\":" + body;                    // a JSON start
    for (const auto& r : {client.Post("/api/matte/sessions", body, "application/json"),
                          client.Put(s + "/frames/" + std::to_string(round % 3), body, "image/jpeg"),
                          client.Post(s + "/start", body, "application/json"),
                          client.Post("/api/beacon", body, "application/json")}) {
      ASSERT_TRUE(r);
      if (r->status >= 400) {
        EXPECT_LT(r->status, 500) << r->body;
        EXPECT_TRUE(json::parse(r->body, nullptr, false).is_object());
      }
    }
  }
  // Escapes in the path are decoded before the id is checked: a NUL or a dot never reaches the disk.
  auto weird = client.Get("/api/matte/sessions/%00..%20/alpha/0.png");
  ASSERT_TRUE(weird);
  EXPECT_EQ(weird->status, 400);
  EXPECT_EQ(client.Get("/api/health")->status, 200);
}

TEST(BackendServer, StartWithABadJobRequestLeavesTheSessionOpen) {
  Backend backend;
  httplib::Client& client = *backend.client;
  const std::string id = session_with_a_frame(client);
  ASSERT_FALSE(id.empty());
  // Anchor beyond the clip (each bad member is refused by Validation's own tests).
  const char* beyond = R"({"anchor_frame":1,"quality":"fast","edge_softness":0,"text_prompt":"x"})";
  auto r = client.Post(session_path(id) + "/start", beyond, "application/json");
  EXPECT_EQ(r->status, 400);
  // The plug-in shows the first 160 bytes of this reply: keep the reason near the front.
  EXPECT_LT(r->body.find("\"error\""), 10u);
  EXPECT_EQ(client.Post(session_path(id) + "/start", kJobBox, "application/json")->status, 202);
}

TEST(BackendServer, FailedJobReportsItsError) {
  Backend backend;
  httplib::Client& client = *backend.client;
  const std::string id = create_session(client);
  // A PNG whose header is sound but whose pixels are garbage passes the upload check and fails decoding.
  std::string broken = test::encode(test::square_frame(8, 8, 1, 1, 3), ".png").substr(0, 33) + std::string(40, 'z');
  ASSERT_EQ(client.Put(session_path(id) + "/frames/0", broken, "image/png")->status, 200);
  ASSERT_EQ(client.Post(session_path(id) + "/start", kJobBox, "application/json")->status, 202);
  const json done = wait_until_done(client, id);
  EXPECT_EQ(done["status"], "FAILED");
  EXPECT_NE(done.value("error", "").find("frame 0"), std::string::npos) << done.dump();
  EXPECT_EQ(client.Get(session_path(id) + "/alpha/0.png")->status, 409);
}

TEST(BackendServer, ChunkedUploadsCannotExceedTheFrameLimit) {
  Backend backend;
  const std::string id = create_session(*backend.client);
  httplib::Client client("127.0.0.1", backend.server.port());
  auto r = client.Put(session_path(id) + "/frames/0",
                      [](std::size_t offset, httplib::DataSink& sink) {
                        if (offset >= 200000) {
                          sink.done();
                          return true;
                        }
                        const std::string chunk(10000, 'x');
                        return sink.write(chunk.data(), chunk.size());
                      },
                      "image/jpeg");
  if (r) {
    EXPECT_EQ(r->status, 413);  // or the server hung up on the rest of the body, which is as good
  }
  auto health = backend.client->Get("/api/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
}

TEST(BackendServer, SessionAndDiskLimits) {
  Backend backend([](BackendConfig& c) {
    c.max_sessions = 2;
    c.max_disk_bytes = tiny_jpeg().size() * 3;
  });
  httplib::Client& client = *backend.client;
  const std::string a = create_session(client);
  ASSERT_FALSE(create_session(client).empty());
  auto third = client.Post("/api/matte/sessions", R"({"fps":25.0})", "application/json");
  EXPECT_EQ(third->status, 429);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(client.Put(session_path(a) + "/frames/" + std::to_string(i), tiny_jpeg(), "image/jpeg")->status, 200);
  }
  EXPECT_EQ(client.Put(session_path(a) + "/frames/3", tiny_jpeg(), "image/jpeg")->status, 507);
  EXPECT_EQ(client.Delete(session_path(a))->status, 200);
  EXPECT_EQ(client.Post("/api/matte/sessions", R"({"fps":25.0})", "application/json")->status, 201);
}

TEST(BackendServer, DeleteRemovesTheSessionAndItsFolder) {
  Backend backend;
  httplib::Client& client = *backend.client;
  const std::string id = session_with_a_frame(client);
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(std::filesystem::exists(backend.dir.path() / id));
  EXPECT_EQ(client.Delete(session_path(id))->status, 200);
  EXPECT_EQ(client.Get(session_path(id))->status, 404);
  EXPECT_FALSE(std::filesystem::exists(backend.dir.path() / id));
}

TEST(BackendServer, IdleSessionsExpire) {
  Backend backend([](BackendConfig& c) { c.session_ttl = 200ms; });
  httplib::Client& client = *backend.client;
  const std::string id = create_session(client);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(client.Get(session_path(id))->status, 200);
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    std::this_thread::sleep_for(20ms);
    gone = !std::filesystem::exists(backend.dir.path() / id);
  }
  EXPECT_TRUE(gone);
  EXPECT_EQ(client.Get(session_path(id))->status, 404);
}

TEST(BackendServer, ServesSeveralSessionsAtOnce) {
  Backend backend([](BackendConfig& c) { c.max_jobs = 2; });
  const int port = backend.server.port();
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([port] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(10, 0);
      run_full_session(client, 6);
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(backend.server.sessions().size(), 4u);
}

TEST(BackendServer, StopRemovesItsOwnWorkingFolder) {
  BackendConfig config;
  config.port = 0;
  config.engine = "trivial";
  config.log_level = LogLevel::Quiet;
  BackendServer server(config);
  ASSERT_TRUE(server.start().ok());
  const std::filesystem::path workdir = server.workdir();
  EXPECT_TRUE(std::filesystem::is_directory(workdir));
  httplib::Client client("127.0.0.1", server.port());
  EXPECT_FALSE(create_session(client).empty());
  server.stop();
  EXPECT_FALSE(std::filesystem::exists(workdir));
  server.stop();  // idempotent
}

TEST(BackendServer, RefusesAPortInUse) {
  Backend first;
  BackendServer second(first.config([&](BackendConfig& c) { c.port = first.server.port(); }));
  const auto result = second.start();
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.error().message.find("cannot listen"), std::string::npos);
}

}  // namespace
}  // namespace kesto::backend
