// The trevane-backend executable as a user runs it: options, exit codes, the announced port, the engine it
// chooses, a restart after a kill and a clean stop.

#include <gtest/gtest.h>
#include <httplib.h>

#include "BackendTestSupport.h"
#include "ServedBackend.h"
#include "backend/service/Session.h"

namespace kesto::backend {
namespace {

using nlohmann::json;
using test::read_text;

struct Started {
  pid_t pid;
  int port;  // 0 when it announced none within 5 s
};

// Runs the executable on an OS-chosen port with `args` and `env`, its output into files of `dir`.
Started start_backend(const test::TempDir& dir, std::vector<std::string> args, std::vector<std::string> env = {}) {
  const auto port_file = dir.path() / "port";
  std::filesystem::remove(port_file);
  args.insert(args.begin(), {TREVANE_BACKEND_EXE, "--port", "0", "--port-file", port_file.string()});
  Started run{test::spawn_logged(args, dir.path() / "stdout", dir.path() / "stderr", std::move(env)), 0};
  for (int i = 0; i < 500 && run.pid > 0 && run.port == 0; ++i) {
    run.port = std::atoi(read_text(port_file).c_str());
    if (run.port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return run;
}

int stop(pid_t pid) {
  kill(pid, SIGTERM);
  return test::wait_exit(pid);
}

TEST(BackendExecutable, HelpAndUsageErrors) {
  test::TempDir dir;
  const auto out = dir.path() / "out";
  EXPECT_EQ(test::wait_exit(test::spawn_logged({TREVANE_BACKEND_EXE, "--help"}, out)), 0);
  EXPECT_NE(read_text(out).find("--max-frame-mb"), std::string::npos);
  EXPECT_EQ(test::wait_exit(test::spawn_logged({TREVANE_BACKEND_EXE, "--engine", "magic"}, out)), 2);
  EXPECT_NE(read_text(out).find("--engine"), std::string::npos);
}

TEST(BackendExecutable, ServesAgainAfterAKillAndCleansUpOnSigterm) {
  test::TempDir dir;
  const auto workdir = dir.path() / "work";
  const std::vector<std::string> args = {"--engine", "trivial", "--workdir", workdir.string(), "--log", "quiet", "--node", "a"};
  Started run = start_backend(dir, args);
  ASSERT_GT(run.port, 0);
  EXPECT_NE(read_text(dir.path() / "stdout").find("listening on http://127.0.0.1:" + std::to_string(run.port)),
            std::string::npos);
  httplib::Client before("127.0.0.1", run.port);
  const std::string finished = served::session_with_a_frame(before);
  ASSERT_EQ(before.Post(served::session_path(finished) + "/start", served::kJobBox, "application/json")->status, 202);
  ASSERT_EQ(served::wait_until_done(before, finished)["status"], "COMPLETED");
  const auto matte = before.Get(served::session_path(finished) + "/alpha/0.png");
  ASSERT_TRUE(matte);
  const std::string uploading = served::session_with_a_frame(before);
  ASSERT_TRUE(std::filesystem::exists(workdir / uploading));
  kill(run.pid, SIGKILL);
  waitpid(run.pid, nullptr, 0);

  run = start_backend(dir, args);
  ASSERT_GT(run.port, 0);
  httplib::Client after("127.0.0.1", run.port);
  EXPECT_EQ(served::body_of(after.Get(served::session_path(finished)))["status"], "COMPLETED");
  const auto again = after.Get(served::session_path(finished) + "/alpha/0.png");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->body, matte->body);
  const json cut = served::body_of(after.Get(served::session_path(uploading)));
  EXPECT_EQ(cut["status"], "FAILED");
  EXPECT_EQ(cut["error"], kRestartedError);
  EXPECT_EQ(after.Put(served::session_path(uploading) + "/frames/1", served::tiny_jpeg(), "image/jpeg")->status, 409);
  EXPECT_EQ(served::body_of(after.Get("/api/health"))["sessions"], 2);
  EXPECT_EQ(stop(run.pid), 0);
  EXPECT_TRUE(std::filesystem::exists(workdir));  // given by the user: kept
  EXPECT_FALSE(std::filesystem::exists(workdir / finished));
}

struct EngineRow {
  std::vector<std::string> args;
  const char* cached;  // test model copied into the cache, "" for none, "garbage" for a broken file
  const char* engine;  // /api/health's engine, or nullptr when the backend must refuse to start
  std::vector<std::string> errors;  // parts of the refusal; "@" stands for the model's path
};

// The engine the executable runs (or refuses to start with) for the model given or found in the cache;
// --check-model reports on the same model. The reasons themselves are NeuralModel's tests' concern.
void check_engine_choice(const std::vector<EngineRow>& rows) {
  const test::TestModels& models = test::TestModels::get();
  ASSERT_TRUE(models.ok()) << models.problem();
  for (const EngineRow& row : rows) {
    SCOPED_TRACE((row.args.empty() ? std::string("cached: ") + row.cached : row.args[3]));
    test::TempDir dir;
    const std::vector<std::string> env = {"XDG_CACHE_HOME=" + (dir.path() / "cache").string()};
    const std::filesystem::path cached = dir.path() / "cache" / "orvalis-trevane" / "models" / "isnet-general-use.onnx";
    std::filesystem::create_directories(cached.parent_path());
    if (std::string(row.cached) == "garbage") {
      std::ofstream(cached) << "not a network";
    } else if (*row.cached != '\0') {
      std::filesystem::copy_file(models.path(row.cached), cached);
    }
    const std::string model = row.args.empty() ? cached.string() : row.args[3];
    std::vector<std::string> check = {TREVANE_BACKEND_EXE, "--check-model"};
    check.insert(check.end(), row.args.begin(), row.args.end());
    const bool usable = row.engine != nullptr && std::string(row.engine) == "neural";
    EXPECT_EQ(test::wait_exit(test::spawn_logged(check, dir.path() / "check", {}, env)), usable ? 0 : 1);

    if (row.engine == nullptr) {
      std::vector<std::string> args = {TREVANE_BACKEND_EXE, "--port", "0"};
      args.insert(args.end(), row.args.begin(), row.args.end());
      EXPECT_EQ(test::wait_exit(test::spawn_logged(args, dir.path() / "stdout", dir.path() / "stderr", env)), 1);
      const std::string error = read_text(dir.path() / "stderr");
      for (std::string part : row.errors) {
        if (const auto at = part.find('@'); at != std::string::npos) part.replace(at, 1, model);
        EXPECT_NE(error.find(part), std::string::npos) << error;
      }
      continue;
    }
    const Started run = start_backend(dir, row.args, env);
    ASSERT_GT(run.port, 0) << read_text(dir.path() / "stderr");
    httplib::Client client("127.0.0.1", run.port);
    const json health = served::body_of(client.Get("/api/health"));
    EXPECT_EQ(health["engine"], row.engine);
    EXPECT_EQ(health["model"], usable ? json(model) : json());
    EXPECT_NE(read_text(dir.path() / "stderr").find("engine " + std::string(row.engine)), std::string::npos);
    EXPECT_EQ(stop(run.pid), 0);
  }
}


TEST(BackendExecutable, AutoTakesTheCachedModelWhenThereIsOneAndRefusesABrokenOne) {
  check_engine_choice({
      {{}, "", "classical", {}},
      {{}, "threshold", "neural", {}},
      {{}, "garbage", nullptr, {"model @: not an ONNX model", "run scripts/fetch-model again, or start with --engine classical"}},
  });
}

TEST(BackendExecutable, TheNeuralEngineStartsOnlyWithAUsableModel) {
  const auto model = [](const char* name) { return test::TestModels::get().path(name).string(); };
  const std::string size = std::to_string(test::kTestModelSidePx);
  check_engine_choice({
      {{"--engine", "neural", "--model", model("threshold"), "--model-size", size}, "", "neural", {}},
      {{"--engine", "neural", "--model", model("nan"), "--model-size", size}, "", nullptr, {"model @: ", "NaN"}},
  });
}

}  // namespace
}  // namespace kesto::backend
