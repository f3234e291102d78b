// The trevane-backend executable as a user runs it: options, exit codes, the announced port, clean stop.

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "BackendTestSupport.h"
#include "NeuralTestSupport.h"
#include "ServedBackend.h"
#include "backend/service/Session.h"

extern char** environ;

namespace kesto::backend {
namespace {

using namespace std::chrono_literals;

// Runs the executable with `args` and this process's environment plus `env` (NAME=VALUE, set last so it wins),
// stdout and stderr into files of `dir`. Returns the child's pid or -1.
pid_t spawn_backend(const std::vector<std::string>& args, const std::filesystem::path& dir,
                    std::vector<std::string> env = {}) {
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> all = {TREVANE_BACKEND_EXE};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, (dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits up to 10 s for the child to end; kills it if it does not. Returns its exit status, or -1.
int wait_exit(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(10ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Waits up to 5 s for the executable to write its port into `port_file`; 0 when it did not.
int announced_port(const std::filesystem::path& port_file) {
  for (int i = 0; i < 500; ++i) {
    const std::string text = read_text(port_file);
    if (!text.empty()) return std::atoi(text.c_str());
    std::this_thread::sleep_for(10ms);
  }
  return 0;
}

TEST(BackendExecutable, HelpAndUsageErrors) {
  test::TempDir dir;
  pid_t pid = spawn_backend({"--help"}, dir.path());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(wait_exit(pid), 0);
  EXPECT_NE(read_text(dir.path() / "stdout").find("--max-frame-mb"), std::string::npos);

  pid = spawn_backend({"--engine", "magic"}, dir.path());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(wait_exit(pid), 2);
  EXPECT_NE(read_text(dir.path() / "stderr").find("--engine"), std::string::npos);
}

TEST(BackendExecutable, ServesOnAnAnnouncedPortAndStopsOnSigterm) {
  test::TempDir dir;
  const auto port_file = dir.path() / "port";
  const auto workdir = dir.path() / "work";
  const pid_t pid = spawn_backend({"--port", "0", "--port-file", port_file.string(), "--engine", "trivial", "--workdir",
                                   workdir.string(), "--log", "quiet"},
                                  dir.path());
  ASSERT_GT(pid, 0);
  const int port = announced_port(port_file);
  ASSERT_GT(port, 0);
  EXPECT_NE(read_text(dir.path() / "stdout").find("listening on http://127.0.0.1:" + std::to_string(port)),
            std::string::npos);
  httplib::Client client("127.0.0.1", port);
  auto health = client.Get("/api/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  auto created = client.Post("/api/matte/sessions", R"({"fps":24.0,"source":"plugin"})", "application/json");
  ASSERT_TRUE(created);
  ASSERT_EQ(created->status, 201);
  const std::string id = nlohmann::json::parse(created->body).value("session_id", "");
  EXPECT_TRUE(std::filesystem::exists(workdir / id));

  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(pid), 0);
  EXPECT_TRUE(std::filesystem::exists(workdir));  // given by the user: kept
  EXPECT_FALSE(std::filesystem::exists(workdir / id));
}

TEST(BackendExecutable, AfterAKillFinishedSessionsAreServedAgainAndCutShortOnesFail) {
  test::TempDir dir;
  const auto port_file = dir.path() / "port";
  const std::vector<std::string> args = {"--port", "0", "--port-file", port_file.string(), "--engine", "trivial",
                                         "--workdir", (dir.path() / "work").string(), "--log", "quiet", "--node", "a"};
  pid_t pid = spawn_backend(args, dir.path());
  ASSERT_GT(pid, 0);
  httplib::Client before("127.0.0.1", announced_port(port_file));
  const std::string finished = served::session_with_a_frame(before);
  ASSERT_EQ(before.Post(served::session_path(finished) + "/start", served::kJobBox, "application/json")->status, 202);
  ASSERT_EQ(served::wait_until_done(before, finished)["status"], "COMPLETED");
  const auto matte = before.Get(served::session_path(finished) + "/alpha/0.png");
  ASSERT_TRUE(matte);
  const std::string uploading = served::session_with_a_frame(before);
  ASSERT_FALSE(uploading.empty());
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);

  std::filesystem::remove(port_file);
  pid = spawn_backend(args, dir.path());
  ASSERT_GT(pid, 0);
  httplib::Client after("127.0.0.1", announced_port(port_file));
  after.set_read_timeout(10, 0);
  EXPECT_EQ(served::body_of(after.Get(served::session_path(finished)))["status"], "COMPLETED");
  const auto again = after.Get(served::session_path(finished) + "/alpha/0.png");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
  EXPECT_EQ(again->body, matte->body);
  const nlohmann::json cut = served::body_of(after.Get(served::session_path(uploading)));
  EXPECT_EQ(cut["status"], "FAILED");
  EXPECT_EQ(cut["error"], kRestartedError);
  EXPECT_EQ(after.Put(served::session_path(uploading) + "/frames/1", served::tiny_jpeg(), "image/jpeg")->status, 409);
  EXPECT_EQ(served::body_of(after.Get("/api/health"))["sessions"], 2);
  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(pid), 0);
}

TEST(BackendExecutable, NeuralEngineStartsOnlyWithAUsableModel) {
  const test::TestModels& models = test::TestModels::get();
  ASSERT_TRUE(models.ok()) << models.problem();
  test::TempDir dir;
  const std::string size = std::to_string(test::kTestModelSidePx);
  // The reasons themselves are NeuralModel's tests' concern; here: exit code 1 and the model named.
  const std::string refused = models.path("nan").string();
  pid_t pid = spawn_backend({"--port", "0", "--engine", "neural", "--model", refused, "--model-size", size}, dir.path());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(wait_exit(pid), 1);
  const std::string error = read_text(dir.path() / "stderr");
  EXPECT_NE(error.find("model " + refused + ": "), std::string::npos) << error;
  EXPECT_NE(error.find("NaN"), std::string::npos) << error;

  const auto port_file = dir.path() / "port";
  pid = spawn_backend({"--port", "0", "--port-file", port_file.string(), "--engine", "neural", "--model",
                       models.path("threshold").string(), "--model-size", size, "--log", "quiet"},
                      dir.path());
  ASSERT_GT(pid, 0);
  EXPECT_GT(announced_port(port_file), 0);
  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(pid), 0);
}

// --engine auto, the default, with nothing, a usable model and a broken file in the model cache; --check-model
// reports on the same cached file.
TEST(BackendExecutable, AutoTakesTheCachedModelWhenThereIsOne) {
  const test::TestModels& models = test::TestModels::get();
  ASSERT_TRUE(models.ok()) << models.problem();
  struct Row {
    const char* cached;  // test model copied into the cache, "" for none, "garbage" for a broken file
    int check_status;
    const char* engine;  // /api/health's engine, or nullptr when the backend must refuse to start
  };
  const std::vector<Row> rows = {{"", 1, "classical"}, {"threshold", 0, "neural"}, {"garbage", 1, nullptr}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("cached: ") + row.cached);
    test::TempDir dir;
    const std::vector<std::string> env = {"XDG_CACHE_HOME=" + (dir.path() / "cache").string()};
    const std::filesystem::path cached = dir.path() / "cache" / "orvalis-trevane" / "models" / "isnet-general-use.onnx";
    std::filesystem::create_directories(cached.parent_path());
    if (std::string(row.cached) == "garbage") {
      std::ofstream(cached) << "not a network";
    } else if (*row.cached != '\0') {
      std::filesystem::copy_file(models.path(row.cached), cached);
    }
    pid_t pid = spawn_backend({"--check-model"}, dir.path(), env);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_exit(pid), row.check_status) << read_text(dir.path() / "stderr");

    const auto port_file = dir.path() / "port";
    pid = spawn_backend({"--port", "0", "--port-file", port_file.string()}, dir.path(), env);
    ASSERT_GT(pid, 0);
    if (row.engine == nullptr) {
      EXPECT_EQ(wait_exit(pid), 1);
      const std::string error = read_text(dir.path() / "stderr");
      EXPECT_NE(error.find("model " + cached.string() + ": not an ONNX model"), std::string::npos) << error;
      EXPECT_NE(error.find("run scripts/fetch-model again, or start with --engine classical"), std::string::npos)
          << error;
      continue;
    }
    const int port = announced_port(port_file);
    ASSERT_GT(port, 0) << read_text(dir.path() / "stderr");
    httplib::Client client("127.0.0.1", port);
    auto health = client.Get("/api/health");
    ASSERT_TRUE(health);
    const nlohmann::json body = nlohmann::json::parse(health->body);
    EXPECT_EQ(body.value("engine", ""), row.engine);
    EXPECT_EQ(body["model"], std::string(row.engine) == "neural" ? nlohmann::json(cached.string()) : nlohmann::json());
    EXPECT_NE(read_text(dir.path() / "stderr").find("engine " + std::string(row.engine)), std::string::npos);
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
  }
}

}  // namespace
}  // namespace kesto::backend
