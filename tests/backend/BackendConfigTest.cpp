#include "backend/service/BackendConfig.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "backend/matting/ModelCache.h"

namespace kesto::backend {
namespace {

TEST(BackendConfig, DefaultsBindToLoopbackAndChooseTheEngineAutomatically) {
  const ParsedArgs parsed = parse_args({});
  ASSERT_EQ(parsed.action, ParsedArgs::Action::Run);
  EXPECT_EQ(parsed.config.host, "127.0.0.1");
  EXPECT_EQ(parsed.config.engine, "auto");
  EXPECT_TRUE(parsed.config.workdir.empty());
  EXPECT_GT(parsed.config.max_frames, 0);
}

TEST(BackendConfig, ReadsEveryOption) {
  const ParsedArgs parsed = parse_args({"--host", "0.0.0.0", "--port", "0", "--workdir", "/tmp/w", "--engine", "trivial",
                                        "--max-jobs", "3", "--http-threads", "4", "--max-sessions", "5", "--max-frames",
                                        "6", "--max-frame-mb", "7", "--max-disk-mb", "8", "--session-ttl", "9", "--log",
                                        "quiet", "--port-file", "/tmp/p", "--node", "b7"});
  ASSERT_EQ(parsed.action, ParsedArgs::Action::Run) << parsed.message;
  const BackendConfig& c = parsed.config;
  EXPECT_EQ(c.host, "0.0.0.0");
  EXPECT_EQ(c.port, 0);
  EXPECT_EQ(c.workdir, "/tmp/w");
  EXPECT_EQ(c.engine, "trivial");
  EXPECT_EQ(c.max_jobs, 3);
  EXPECT_EQ(c.http_threads, 4);
  EXPECT_EQ(c.max_sessions, 5);
  EXPECT_EQ(c.max_frames, 6);
  EXPECT_EQ(c.max_frame_bytes, 7u * 1024u * 1024u);
  EXPECT_EQ(c.max_disk_bytes, 8u * 1024u * 1024u);
  EXPECT_EQ(c.session_ttl, std::chrono::seconds(9));
  EXPECT_EQ(c.log_level, LogLevel::Quiet);
  EXPECT_EQ(c.port_file, "/tmp/p");
  EXPECT_EQ(c.node, "b7");
  EXPECT_TRUE(parse_args({}).config.node.empty());
}

TEST(BackendConfig, RefusesBadValuesWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "70000"}, {"--port", "-1"},        {"--port", "12x"},         {"--engine", "magic"}, 
      {"--max-jobs", "0"}, {"--max-frames", ""},    {"--session-ttl", "0"},    {"--log", "loud"},
      {"--port"},          {"--bogus", "1"},        {"stray"},                 {"--max-frame-mb", "99999"},
      {"--node", ""},      {"--node", "Node1"},     {"--node", "a-b"},         {"--node", "abcdefghijklmnopq"},
  };
  for (const auto& args : bad) {
    const ParsedArgs parsed = parse_args(args);
    EXPECT_EQ(parsed.action, ParsedArgs::Action::Error) << args[0];
    EXPECT_FALSE(parsed.message.empty());
  }
}

TEST(BackendConfig, ReadsTheNeuralEngineOptions) {
  const ParsedArgs defaults = parse_args({"--engine", "neural", "--model", "/m/isnet.onnx"});
  ASSERT_EQ(defaults.action, ParsedArgs::Action::Run) << defaults.message;
  const NeuralOptions& d = defaults.config.neural;
  EXPECT_EQ(defaults.config.engine, "neural");
  EXPECT_EQ(d.model_path, "/m/isnet.onnx");
  EXPECT_EQ(d.input_width, 1024);
  EXPECT_EQ(d.input_height, 1024);
  EXPECT_EQ(d.mean, (std::array<double, 3>{0.5, 0.5, 0.5}));
  EXPECT_EQ(d.std, (std::array<double, 3>{1.0, 1.0, 1.0}));
  EXPECT_TRUE(d.output_name.empty());
  EXPECT_GT(d.keyframe_spacing, 0);

  const ParsedArgs parsed =
      parse_args({"--model", "m.onnx", "--engine", "neural", "--model-size", "320x288", "--model-mean",
                  "0.485,0.456,0.406", "--model-std", "0.229,0.224,0.225", "--model-output", "d0", "--keyframe-spacing", "0"});
  ASSERT_EQ(parsed.action, ParsedArgs::Action::Run) << parsed.message;
  const NeuralOptions& n = parsed.config.neural;
  EXPECT_EQ(n.input_width, 320);
  EXPECT_EQ(n.input_height, 288);
  EXPECT_EQ(n.mean, (std::array<double, 3>{0.485, 0.456, 0.406}));
  EXPECT_EQ(n.std, (std::array<double, 3>{0.229, 0.224, 0.225}));
  EXPECT_EQ(n.output_name, "d0");
  EXPECT_EQ(n.keyframe_spacing, 0);
  const ParsedArgs square = parse_args({"--engine", "neural", "--model", "m", "--model-size", "512", "--model-std", "2"});
  ASSERT_EQ(square.action, ParsedArgs::Action::Run) << square.message;
  EXPECT_EQ(square.config.neural.input_height, 512);
  EXPECT_EQ(square.config.neural.std, (std::array<double, 3>{2.0, 2.0, 2.0}));
}

TEST(BackendConfig, RefusesBadNeuralOptionsWithAReason) {
  const std::vector<std::string> model = {"--engine", "neural", "--model", "m.onnx"};
  const std::vector<std::vector<std::string>> extra = {
      {"--model-size", "0"},      {"--model-size", "64x"},    {"--model-size", "x64"},   {"--model-size", "99999"},
      {"--model-size", "8x8x8"},  {"--model-mean", "a"},      {"--model-mean", "1,2"},   {"--model-mean", "1,2,3,4"},
      {"--model-mean", "nan"},    {"--model-std", "0"},       {"--model-std", "-1"},     {"--model-std", "1,,1"},
      {"--model-output", ""},     {"--keyframe-spacing", "-1"}, {"--model", ""},
  };
  for (const auto& args : extra) {
    std::vector<std::string> all = model;
    all.insert(all.end(), args.begin(), args.end());
    const ParsedArgs parsed = parse_args(all);
    EXPECT_EQ(parsed.action, ParsedArgs::Action::Error) << args[0] << " " << args[1];
    EXPECT_NE(parsed.message.find(args[0]), std::string::npos) << parsed.message;
  }
  EXPECT_EQ(parse_args({"--model", "m.onnx"}).action, ParsedArgs::Action::Run);
  const ParsedArgs unused_model = parse_args({"--engine", "classical", "--model", "m.onnx"});
  EXPECT_EQ(unused_model.action, ParsedArgs::Action::Error);
  EXPECT_NE(unused_model.message.find("--engine auto or neural"), std::string::npos);
}

TEST(BackendConfig, AutoTakesTheGivenModelThenTheCachedOneThenTheClassicalEngine) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("trevane-cache-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path cached = dir / kCachedModelName;
  std::ofstream(cached) << "model";
  NeuralOptions given;
  given.model_path = "/m/given.onnx";
  struct Row {
    std::string engine;
    bool with_model;
    std::filesystem::path cache;
    std::string want_engine;
    std::string want_model;
  };
  const std::vector<Row> rows = {
      {"auto", true, cached, "neural", "/m/given.onnx"},     {"auto", false, cached, "neural", cached.string()},
      {"auto", false, dir / "absent.onnx", "classical", ""}, {"neural", false, cached, "neural", cached.string()},
      {"neural", false, "", "neural", ""},                   {"trivial", false, cached, "trivial", ""},
  };
  for (const Row& row : rows) {
    const EngineChoice choice = choose_engine(row.engine, row.with_model ? given : NeuralOptions{}, row.cache);
    EXPECT_EQ(choice.engine, row.want_engine) << row.engine << " " << row.cache;
    EXPECT_EQ(choice.neural.model_path, row.want_model) << row.engine << " " << row.cache;
  }
  std::filesystem::remove_all(dir);
}

TEST(BackendConfig, HelpListsOptionsAndDefaults) {
  EXPECT_EQ(parse_args({"--port", "1", "--help"}).action, ParsedArgs::Action::Help);
  const std::string help = help_text();
  for (const char* text : {"--host", "--port", "--workdir", "--engine", "--max-jobs", "--max-frames", "--max-frame-mb",
                           "--max-disk-mb", "--session-ttl", "--max-sessions", "127.0.0.1", "classical", "trivial",
                           "neural", "--model", "--model-size", "--model-mean", "--model-std", "--model-output",
                           "--keyframe-spacing", "1024x1024", "0.485,0.456,0.406", "--node"}) {
    EXPECT_NE(help.find(text), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace kesto::backend
