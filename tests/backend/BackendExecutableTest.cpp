// The trevane-backend executable as a user runs it: options, exit codes, the announced port, the engine it
// chooses, a restart after a kill and a clean stop.

#include <gtest/gtest.h>
#include <httplib.h>

#include "BackendTestSupport.h"
#include "backend/service/Session.h"

namespace kesto::backend {
namespace {

using namespace test;

struct Started {
  pid_t pid;
  int port;  // 0 when it announced none within 5 s
};

// Runs the executable on an OS-chosen port with `args` and `env`, its output into files of `dir`.
Started start_backend(const TempDir& dir, std::vector<std::string> args, std::vector<std::string> env = {}) {
  const auto port_file = dir.path() / "port";
  std::filesystem::remove(port_file);
  args.insert(args.begin(), {TREVANE_BACKEND_EXE, "--port", "0", "--port-file", port_file.string()});
  Started run{spawn_logged(args, dir.path() / "stdout", dir.path() / "stderr", std::move(env)), 0};
  for (int i = 0; i < 500 && run.pid > 0 && run.port == 0; ++i) {
    run.port = std::atoi(read_text(port_file).c_str());
    if (run.port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return run;
}

int stop(pid_t pid) {
  kill(pid, SIGTERM);
  return wait_exit(pid);
}

TEST(BackendExecutable, HelpAndUsageErrors) {
  TempDir dir;
  const auto out = dir.path() / "out";
  EXPECT_EQ(wait_exit(spawn_logged({TREVANE_BACKEND_EXE, "--help"}, out)), 0);
  EXPECT_NE(read_text(out).find("--max-frame-mb"), std::string::npos);
  EXPECT_EQ(wait_exit(spawn_logged({TREVANE_BACKEND_EXE, "--engine", "magic"}, out)), 2);
  EXPECT_NE(read_text(out).find("--engine"), std::string::npos);
}

TEST(BackendExecutable, ServesAgainAfterAKillAndCleansUpOnSigterm) {
  TempDir dir;
  const auto workdir = dir.path() / "work";
  const std::vector<std::string> args = {"--engine", "trivial", "--workdir", workdir.string(), "--log", "quiet", "--node", "a"};
  Started run = start_backend(dir, args);
  ASSERT_GT(run.port, 0);
  EXPECT_NE(read_text(dir.path() / "stdout").find("listening on http://127.0.0.1:" + std::to_string(run.port)),
            std::string::npos);
  // What a restart makes of each kind of session is SessionStoreTest's; here, that the executable recovers them.
  httplib::Client before("127.0.0.1", run.port);
  const std::string finished = session_with_a_frame(before);
  ASSERT_EQ(before.Post(session_path(finished) + "/start", kJobBox, "application/json")->status, 202);
  ASSERT_EQ(wait_until_done(before, finished)["status"], "COMPLETED");
  const std::string uploading = session_with_a_frame(before);
  kill(run.pid, SIGKILL);
  waitpid(run.pid, nullptr, 0);

  run = start_backend(dir, args);
  ASSERT_GT(run.port, 0);
  httplib::Client after("127.0.0.1", run.port);
  EXPECT_EQ(after.Get(session_path(finished) + "/alpha/0.png")->status, 200);
  EXPECT_EQ(body_of(after.Get(session_path(uploading)))["error"], kRestartedError);
  EXPECT_EQ(stop(run.pid), 0);
  EXPECT_TRUE(std::filesystem::exists(workdir));  // given by the user: kept
  EXPECT_FALSE(std::filesystem::exists(workdir / finished));
}

// The engine the executable runs (or refuses to start with) for the model given or found in the cache;
// --check-model reports on the same model. The reasons themselves are NeuralModel's tests' concern.
TEST(BackendExecutable, AutoTakesTheCachedModelAndTheNeuralEngineStartsOnlyWithAUsableModel) {
  const TestModels& models = TestModels::get();
  ASSERT_TRUE(models.ok()) << models.problem();
  const std::vector<std::string> nan_model = {"--engine", "neural", "--model", models.path("nan").string(),
                                              "--model-size", std::to_string(kTestModelSidePx)};
  const struct {
    std::vector<std::string> args;
    const char* cached;  // test model copied into the cache, "" for none, "garbage" for a broken file
    const char* engine;  // /api/health's engine, or nullptr when the backend must refuse to start
    std::vector<std::string> errors;  // parts of the refusal; "@" stands for the model's path
  } rows[] = {
      {{}, "", "classical", {}},
      {{}, "threshold", "neural", {}},
      {{}, "garbage", nullptr, {"model @: not an ONNX model", "run scripts/fetch-model again, or start with --engine classical"}},
      {nan_model, "", nullptr, {"model @: ", "NaN"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE((row.args.empty() ? std::string("cached: ") + row.cached : row.args[3]));
    TempDir dir;
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
    EXPECT_EQ(wait_exit(spawn_logged(check, dir.path() / "check", {}, env)), usable ? 0 : 1);

    if (row.engine == nullptr) {
      std::vector<std::string> args = {TREVANE_BACKEND_EXE, "--port", "0"};
      args.insert(args.end(), row.args.begin(), row.args.end());
      EXPECT_EQ(wait_exit(spawn_logged(args, dir.path() / "stdout", dir.path() / "stderr", env)), 1);
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
    const json health = body_of(client.Get("/api/health"));
    EXPECT_EQ(health["engine"], row.engine);
    EXPECT_EQ(health["model"], usable ? json(model) : json());
    EXPECT_NE(read_text(dir.path() / "stderr").find("engine " + std::string(row.engine)), std::string::npos);
    EXPECT_EQ(stop(run.pid), 0);
  }
}

}  // namespace
}  // namespace kesto::backend
