// The trevane-backend executable as a user runs it: options, exit codes, the announced port, the engine it
// chooses and a clean stop. A restart after a kill is the cluster test's (tests/e2e), the sessions it
// recovers SessionStoreTest's.

#include <gtest/gtest.h>
#include <httplib.h>

#include "BackendTestSupport.h"

namespace kesto::backend {
namespace {

using namespace test;
using kesto::testing::ChildProcess;

// Runs the executable with `env` (NAME=VALUE) and `args`, its output and error into `log`.out and .err.
std::unique_ptr<ChildProcess> run_backend(const std::filesystem::path& log, const std::vector<std::string>& env,
                                          std::vector<std::string> args) {
  args.insert(args.begin(), TREVANE_BACKEND_EXE);
  args.insert(args.begin(), env.begin(), env.end());
  args.insert(args.begin(), "/usr/bin/env");
  return std::make_unique<ChildProcess>(args, log.string() + ".out", log.string() + ".err");
}

TEST(BackendExecutable, HelpAndUsageErrors) {
  TempDir dir;
  EXPECT_EQ(run_backend(dir.path() / "help", {}, {"--help"})->end(), 0);
  EXPECT_NE(fileText(dir.path() / "help.out").find("--max-frame-mb"), std::string::npos);
  EXPECT_EQ(run_backend(dir.path() / "usage", {}, {"--engine", "magic"})->end(), 2);
  EXPECT_NE(fileText(dir.path() / "usage.err").find("--engine"), std::string::npos);
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
    std::vector<std::string> check = {"--check-model"};
    check.insert(check.end(), row.args.begin(), row.args.end());
    const bool usable = row.engine != nullptr && std::string(row.engine) == "neural";
    EXPECT_EQ(run_backend(dir.path() / "check", env, check)->end(), usable ? 0 : 1);

    const auto port_file = dir.path() / "port";
    std::vector<std::string> args = {"--port", "0", "--port-file", port_file.string(), "--workdir", dir.path() / "work"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const auto backend = run_backend(dir.path() / "backend", env, args);
    if (row.engine == nullptr) {
      EXPECT_EQ(backend->end(), 1);
      const std::string error = fileText(dir.path() / "backend.err");
      for (std::string part : row.errors) {
        if (const auto at = part.find('@'); at != std::string::npos) part.replace(at, 1, model);
        EXPECT_NE(error.find(part), std::string::npos) << error;
      }
      continue;
    }
    int port = 0;
    for (int i = 0; i < 500 && port == 0; ++i) {
      port = std::atoi(fileText(port_file).c_str());
      if (port == 0) std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(port, 0) << fileText(dir.path() / "backend.err");
    httplib::Client client("127.0.0.1", port);
    const std::string id = session_with_a_frame(client);
    const json health = body_of(client.Get("/api/health"));
    EXPECT_EQ(health["engine"], row.engine);
    EXPECT_EQ(health["model"], usable ? json(model) : json());
    EXPECT_NE(fileText(dir.path() / "backend.err").find("engine " + std::string(row.engine)), std::string::npos);
    EXPECT_NE(fileText(dir.path() / "backend.out").find("listening on http://127.0.0.1:" + std::to_string(port)),
              std::string::npos);
    EXPECT_EQ(backend->end(SIGTERM), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "work"));  // given by the user: kept, but not its sessions
    EXPECT_FALSE(id.empty() || std::filesystem::exists(dir.path() / "work" / id));
  }
}

}  // namespace
}  // namespace kesto::backend
