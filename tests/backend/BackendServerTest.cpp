// The backend's protocol over real HTTP on 127.0.0.1 and an OS-chosen port, with the trivial engine and tiny
// frames: every route, every refusal, the limits, expiry and concurrent sessions; clients that hold
// connections without finishing a request (the deadlines are shortened here; the server's own are 10 s and 5 s);
// and the trevane-backend executable as a user runs it. A restart after a kill is the cluster test's
// (tests/e2e), the sessions it recovers SessionStoreTest's.

#include "backend/service/BackendServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "BackendTestSupport.h"
#include "backend/service/SessionStore.h"

namespace kesto::backend {
namespace {

using namespace test;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kJobBox =
    R"({"anchor_frame":0,"bbox":{"h":0.5,"w":0.5,"x":0.25,"y":0.25},"edge_softness":0.2,"quality":"fast","strokes":[],"text_prompt":""})";

json body_of(const httplib::Result& r) { return r ? json::parse(r->body, nullptr, false) : json(); }
std::string session_path(const std::string& id) { return "/api/matte/sessions/" + id; }

std::string create_session(httplib::Client& client) {
  auto r = client.Post("/api/matte/sessions", R"({"fps":25.0,"source":"plugin"})", "application/json");
  return r && r->status == 201 ? body_of(r).value("session_id", "") : "";
}

const std::string kTinyJpeg = encode(square_frame(8, 8, 1, 1, 3), ".jpg");

// A new session holding one uploaded frame; its id, or "" when that failed.
std::string session_with_a_frame(httplib::Client& client) {
  const std::string id = create_session(client);
  auto r = client.Put(session_path(id) + "/frames/0", kTinyJpeg, "image/jpeg");
  return r && r->status == 200 ? id : "";
}

json wait_until_done(httplib::Client& client, const std::string& id) {
  json last = body_of(client.Get(session_path(id)));
  for (int i = 0; i < 1000 && last.value("status", "") != "COMPLETED" && last.value("status", "") != "FAILED"; ++i) {
    std::this_thread::sleep_for(5ms);
    last = body_of(client.Get(session_path(id)));
  }
  return last;
}

// A served backend on a folder of its own: the trivial engine, small limits, quiet, on an OS-chosen port.
class Backend {
 public:
  explicit Backend(const std::function<void(BackendConfig&)>& adjust = nullptr) : server(config(adjust)) {
    const auto port = server.start();
    EXPECT_TRUE(port.ok()) << port.error().message;
    client = std::make_unique<httplib::Client>("127.0.0.1", server.port());
    client->set_read_timeout(10, 0);
  }
  BackendConfig config(const std::function<void(BackendConfig&)>& adjust) const {
    BackendConfig config;
    config.port = 0;
    config.engine = "trivial";
    config.workdir = dir.path().string();
    config.log_level = LogLevel::Quiet;
    config.max_frames = 100;
    config.max_frame_bytes = 64 * 1024;
    if (adjust) adjust(config);
    return config;
  }
  TempDir dir;
  BackendServer server;
  std::unique_ptr<httplib::Client> client;
};

// A whole session as the plug-in runs it: uploads frames (bright square moving right on dark ground, JPEG and
// PNG in turn), starts, waits, and checks each matte. The session's id goes to `made` when given.
void run_full_session(httplib::Client& client, int frames, std::string* made = nullptr) {
  const std::string id = create_session(client);
  if (made != nullptr) *made = id;
  const json status = body_of(client.Get(session_path(id)));
  EXPECT_EQ(status["status"], "UPLOADING");
  EXPECT_EQ(status["session_id"], id);
  for (int i = 0; i < frames; ++i) {
    const bool png = i % 2 == 1;
    const cv::Mat frame = square_frame(40 + i % 2 * 8, 30, 4 + i, 6, 12);
    auto r = client.Put(session_path(id) + "/frames/" + std::to_string(i), encode(frame, png ? ".png" : ".jpg"),
                        png ? "image/png" : "image/jpeg");
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "no reply");
  }
  EXPECT_EQ(body_of(client.Get(session_path(id)))["frames_received"], frames);
  auto start = client.Post(session_path(id) + "/start", kJobBox, "application/json");
  ASSERT_TRUE(start && start->status == 202) << (start ? start->body : "no reply");
  const json done = wait_until_done(client, id);
  ASSERT_EQ(done.value("status", ""), "COMPLETED");
  EXPECT_EQ(done["frame_count"], frames);
  for (int i = 0; i < frames; ++i) {
    auto r = client.Get(session_path(id) + "/alpha/" + std::to_string(i) + ".png");
    ASSERT_TRUE(r && r->status == 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/png");
    const cv::Mat matte = cv::imdecode(std::vector<uchar>(r->body.begin(), r->body.end()), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(matte.type(), CV_8UC1);
    ASSERT_EQ(matte.size(), cv::Size(40 + i % 2 * 8, 30));
    EXPECT_EQ(matte.at<uchar>(12, 10 + i), 255);  // inside the square
    EXPECT_EQ(matte.at<uchar>(27, 2), 0);         // background
  }
}

TEST(BackendServer, AnswersEveryBadRequestWithA4xxAndAJsonErrorFirstThenServesASessionToItsDeletion) {
  Backend backend([](BackendConfig& c) {
    c.node = "b7";
    c.max_sessions = 2;
  });
  httplib::Client& client = *backend.client;
  // The session rules behind these refusals are SessionStoreTest's and the parsers' ServiceParsingTest's; here,
  // that each route hands them on as its reply.
  const std::string s = session_path(create_session(client));
  const std::string started = session_path(session_with_a_frame(client));
  const std::string png = encode(square_frame(8, 8, 1, 1, 3), ".png");
  ASSERT_EQ(client.Post(started + "/start", kJobBox, "application/json")->status, 202);
  const struct {
    const char* what;
    std::function<httplib::Result(httplib::Client&)> send;
    int status;
  } cases[] = {
      {"unknown route", [](httplib::Client& c) { return c.Get("/nowhere"); }, 404},
      {"wrong method", [](httplib::Client& c) { return c.Get("/api/matte/sessions"); }, 405},
      {"create: wrong type", [](httplib::Client& c) { return c.Post("/api/matte/sessions", "{\"fps\":1}", "text/plain"); }, 415},
      {"create: too many sessions", [](httplib::Client& c) { return c.Post("/api/matte/sessions", "{\"fps\":1}", "application/json"); }, 429},
      {"status: unknown id", [&](httplib::Client& c) { return c.Get(session_path("b7-" + std::string(32, 'a'))); }, 404},
      {"upload: beyond frame limit", [&](httplib::Client& c) { return c.Put(s + "/frames/100", kTinyJpeg, "image/jpeg"); }, 413},
      {"upload: type mismatch", [&](httplib::Client& c) { return c.Put(s + "/frames/0", png, "image/jpeg"); }, 415},
      {"upload: foreign type", [&](httplib::Client& c) { return c.Put(s + "/frames/0", kTinyJpeg, "text/html"); }, 415},
      {"upload: too large", [&](httplib::Client& c) { return c.Put(s + "/frames/0", std::string(70000, 'x'), "image/jpeg"); }, 413},
      {"upload: after start", [&](httplib::Client& c) { return c.Put(started + "/frames/1", kTinyJpeg, "image/jpeg"); }, 409},
  };
  for (const auto& bad : cases) {
    auto r = bad.send(client);
    ASSERT_TRUE(r) << bad.what << ": " << httplib::to_string(r.error());
    EXPECT_EQ(r->status, bad.status) << bad.what << ": " << r->body;
    // The plug-in shows the first 160 bytes of the reply: the reason comes first.
    EXPECT_EQ(r->body.rfind("{\"error\":\"", 0), 0u) << bad.what << ": " << r->body;
    EXPECT_FALSE(body_of(r).value("error", "").empty()) << bad.what;
  }
  EXPECT_EQ(client.Get("/api/matte/sessions")->get_header_value("Allow"), "POST");
  EXPECT_EQ(client.Delete(started)->status, 200);  // frees its place
  std::string id;
  run_full_session(client, 2, &id);  // on the same kept-alive connection
  ASSERT_EQ(id.rfind("b7-", 0), 0u) << id;
  const json health = body_of(client.Get("/api/health"));
  EXPECT_EQ(health["node"], "b7");
  EXPECT_EQ(health["sessions"], 2);
  // An id of another node, as a misconfigured proxy would send it: the reply names both nodes.
  auto elsewhere = client.Get(session_path("c-" + id.substr(3)));
  EXPECT_EQ(elsewhere->status, 404);
  EXPECT_NE(body_of(elsewhere).value("error", "").find("names node c, this is node b7"), std::string::npos);
  EXPECT_EQ(client.Delete(session_path(id))->status, 200);
  EXPECT_EQ(client.Get(session_path(id))->status, 404);
  const char* beacon = R"({"arch":"x86_64","host":"resolve","os":"macos","plugin_version":"1.1.0"})";
  EXPECT_EQ(client.Post("/api/beacon", beacon, "application/json")->status, 200);
  EXPECT_EQ(backend.server.beacons_received(), 1u);
  // A PNG whose header is sound but whose pixels are garbage passes the upload check and fails decoding.
  const std::string broken_id = create_session(client);
  const std::string broken = png.substr(0, 33) + std::string(40, 'z');
  ASSERT_EQ(client.Put(session_path(broken_id) + "/frames/0", broken, "image/png")->status, 200);
  ASSERT_EQ(client.Post(session_path(broken_id) + "/start", kJobBox, "application/json")->status, 202);
  const json done = wait_until_done(client, broken_id);
  EXPECT_EQ(done["status"], "FAILED");
  EXPECT_NE(done.value("error", "").find("frame 0"), std::string::npos) << done.dump();
  EXPECT_EQ(client.Get(session_path(broken_id) + "/alpha/0.png")->status, 409);
}

TEST(BackendServer, ABusyPortIsRefusedARestartRecoversItsFolderIdleSessionsExpireAndStopRemovesAFolderOfItsOwn) {
  Backend first;
  BackendServer busy(first.config([&](BackendConfig& c) { c.port = first.server.port(); }));
  const auto refused = busy.start();
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().message.find("cannot listen"), std::string::npos);
  // A run killed with a session uploading leaves its folder: here a copy taken while the session is alive.
  // What a restart makes of each kind of session is SessionStoreTest's.
  const std::string id = session_with_a_frame(*first.client);
  TempDir left;
  std::filesystem::copy(first.dir.path(), left.path(), std::filesystem::copy_options::recursive);
  BackendServer restarted(first.config([&](BackendConfig& c) { c.workdir = left.path().string(); }));
  ASSERT_TRUE(restarted.start().ok());
  httplib::Client after("127.0.0.1", restarted.port());
  EXPECT_EQ(body_of(after.Get(session_path(id)))["error"], kRestartedError);
  BackendServer own(first.config([](BackendConfig& c) {
    c.workdir.clear();
    c.session_ttl = 200ms;
  }));
  ASSERT_TRUE(own.start().ok());
  const std::filesystem::path workdir = own.workdir();
  httplib::Client client("127.0.0.1", own.port());
  const std::string idle = create_session(client);
  ASSERT_FALSE(idle.empty());
  for (int i = 0; i < 100 && std::filesystem::exists(workdir / idle); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(std::filesystem::exists(workdir / idle));
  EXPECT_EQ(client.Get(session_path(idle))->status, 404);
  own.stop();
  EXPECT_FALSE(std::filesystem::exists(workdir));
  own.stop();  // idempotent
}

// A plain TCP connection to the server, to send exactly the bytes a test needs.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_TRUE(fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) << errno;
  }
  ~RawConnection() { ::close(fd_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  bool send(std::string_view bytes) const {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // What arrives until `enough` bytes, the server closes, or nothing comes for `wait`.
  std::string receive(std::chrono::milliseconds wait, std::size_t enough = 1 << 20) {
    const timeval patience{static_cast<time_t>(wait.count() / 1000), static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string got;
    char buffer[4096];
    for (ssize_t n = 1; got.size() < enough && !closed_ && n > 0;) {
      n = ::recv(fd_, buffer, sizeof buffer, 0);
      // A server that closes with our unread bytes still queued (a slow client's trickle) resets instead.
      closed_ = n == 0 || (n < 0 && errno == ECONNRESET);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  bool closed_within(std::chrono::milliseconds wait) {
    receive(wait);
    return closed_;
  }

 private:
  int fd_;
  bool closed_ = false;
};

constexpr auto kHeaderTimeout = 1500ms;
constexpr auto kIdleTimeout = 500ms;

TEST(BackendConnections, IdleAndSlowClientsNeitherStarveOthersNorOutstayTheHeaderDeadlineAndOthersAreRefusedEarly) {
  Backend backend([](BackendConfig& c) {
    c.header_timeout = kHeaderTimeout;
    c.idle_timeout = kIdleTimeout;
  });
  std::vector<std::unique_ptr<RawConnection>> idle, slow;
  for (int i = 0; i < 50; ++i) {
    idle.push_back(std::make_unique<RawConnection>(backend.server.port()));
    slow.push_back(std::make_unique<RawConnection>(backend.server.port()));
    ASSERT_TRUE(slow.back()->send("GET /api/health HTTP/1.1\r\nHost: slow\r\n"));
  }
  // The slow clients go on sending one header line at a time, never the blank line that ends the headers.
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    for (; !done.load(); std::this_thread::sleep_for(100ms)) {
      for (auto& c : slow) c->send("X-Slow: 1\r\n");
    }
  });
  httplib::Client client("127.0.0.1", backend.server.port());
  client.set_read_timeout(1, 0);  // a client with a short patience is still served at once
  EXPECT_EQ(client.Get("/api/health")->status, 200);
  // Two sessions at once, with their jobs.
  std::thread other([port = backend.server.port()] {
    httplib::Client second("127.0.0.1", port);
    second.set_read_timeout(10, 0);
    run_full_session(second, 4);
  });
  run_full_session(*backend.client, 4);
  other.join();
  std::size_t closed = 0;
  for (auto* group : {&idle, &slow}) {
    for (auto& c : *group) closed += c->closed_within(kHeaderTimeout + 1s) ? 1 : 0;
  }
  done.store(true);
  trickle.join();
  EXPECT_EQ(closed, idle.size() + slow.size());
  // Requests are refused before what they cannot send, and a kept-alive connection lasts until it idles.
  const std::string id = session_with_a_frame(*backend.client);
  const std::string upload = "PUT " + session_path(id) + "/frames/1 HTTP/1.1\r\nHost: t\r\nContent-Type: image/jpeg\r\n";
  const struct {
    const char* what;
    std::string request;
    const char* reply;  // how the reply begins
    bool closes;
  } cases[] = {
      {"headers too large", "GET /api/health HTTP/1.1\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n", "HTTP/1.1 431", true},
      {"body declared too large", upload + "Content-Length: 70000\r\nExpect: 100-continue\r\n\r\n", "HTTP/1.1 413", true},
      {"body declared at the limit", upload + "Content-Length: 65536\r\nExpect: 100-continue\r\n\r\n",
       "HTTP/1.1 100 Continue", false},
      {"not HTTP", "HELLO THERE\r\n\r\n", "HTTP/1.1 400", true},
      {"broken escape", "GET /api/%zz HTTP/1.1\r\n\r\n", "HTTP/1.1 400", true},
  };
  for (const auto& c : cases) {
    RawConnection connection(backend.server.port());
    ASSERT_TRUE(connection.send(c.request)) << c.what;
    const std::string reply = connection.receive(2s, std::string_view(c.reply).size());
    EXPECT_EQ(reply.rfind(c.reply, 0), 0u) << c.what << ": " << reply.substr(0, 80);
    if (c.closes) {
      EXPECT_TRUE(connection.closed_within(1s)) << c.what;
    }
  }
  RawConnection kept(backend.server.port());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(kept.send("GET /api/health HTTP/1.1\r\nHost: t\r\n\r\n"));
    const std::string reply = kept.receive(2s, 12);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
    kept.receive(50ms);  // the rest of the reply
  }
  EXPECT_TRUE(kept.closed_within(kIdleTimeout + 1s));
}

using kesto::testing::ChildProcess;

// Runs the executable with `env` (NAME=VALUE) and `args`, its output and error into `log`.out and .err.
std::unique_ptr<ChildProcess> run_backend(const std::filesystem::path& log, const std::vector<std::string>& env,
                                          std::vector<std::string> args) {
  args.insert(args.begin(), TREVANE_BACKEND_EXE);
  args.insert(args.begin(), env.begin(), env.end());
  args.insert(args.begin(), "/usr/bin/env");
  return std::make_unique<ChildProcess>(args, log.string() + ".out", log.string() + ".err");
}

// The executable with a usable model in the cache, and with a broken file there: --check-model reports on it,
// and auto runs the neural engine on it or refuses to start (as a usage error does, with its own status). Which engine each choice gives is BackendConfig's
// test, the reasons a model is refused NeuralModel's.
TEST(BackendExecutable, AutoTakesTheCachedModelAndTheNeuralEngineStartsOnlyWithAUsableModelAndHelpOrUsage) {
  const TestModels& models = TestModels::get();
  ASSERT_EQ(models.problem(), "");
  for (const bool usable : {true, false}) {
    SCOPED_TRACE(usable ? "a usable model cached" : "a broken file cached");
    TempDir dir;
    const std::vector<std::string> env = {"XDG_CACHE_HOME=" + (dir.path() / "cache").string()};
    const std::filesystem::path cached = dir.path() / "cache" / "orvalis-trevane" / "models" / "isnet-general-use.onnx";
    std::filesystem::create_directories(cached.parent_path());
    if (usable) {
      std::filesystem::copy_file(models.path("threshold"), cached);
    } else {
      std::ofstream(cached) << "not a network";
    }
    EXPECT_EQ(run_backend(dir.path() / "check", env, {"--check-model"})->end(), usable ? 0 : 1);

    const auto port_file = dir.path() / "port";
    const auto backend = run_backend(dir.path() / "backend", env,
                                     {"--port", "0", "--port-file", port_file.string(), "--workdir", dir.path() / "work"});
    if (!usable) {
      EXPECT_EQ(backend->end(), 1);
      const std::string error = fileText(dir.path() / "backend.err");
      EXPECT_NE(error.find("model " + cached.string() + ": not an ONNX model"), std::string::npos) << error;
      EXPECT_NE(error.find("run scripts/fetch-model again, or start with --engine classical"), std::string::npos);
      EXPECT_EQ(run_backend(dir.path() / "help", {}, {"--help"})->end(), 0);
      EXPECT_NE(fileText(dir.path() / "help.out").find("--max-frame-mb"), std::string::npos);
      EXPECT_EQ(run_backend(dir.path() / "usage", {}, {"--engine", "magic"})->end(), 2);
      EXPECT_NE(fileText(dir.path() / "usage.err").find("--engine"), std::string::npos);
      continue;
    }
    int port = 0;
    for (int i = 0; i < 500 && (port = std::atoi(fileText(port_file).c_str())) == 0; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(port, 0) << fileText(dir.path() / "backend.err");
    httplib::Client client("127.0.0.1", port);
    const std::string id = session_with_a_frame(client);
    const json health = body_of(client.Get("/api/health"));
    EXPECT_EQ(health["engine"], "neural");
    EXPECT_EQ(health["model"], cached.string());
    EXPECT_NE(fileText(dir.path() / "backend.err").find("engine neural"), std::string::npos);
    EXPECT_NE(fileText(dir.path() / "backend.out").find("listening on http://127.0.0.1:" + std::to_string(port)),
              std::string::npos);
    EXPECT_EQ(backend->end(SIGTERM), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "work"));  // given by the user: kept, but not its sessions
    EXPECT_FALSE(id.empty() || std::filesystem::exists(dir.path() / "work" / id));
  }
}

}  // namespace
}  // namespace kesto::backend
