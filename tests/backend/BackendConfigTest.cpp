#include "BackendConfig.h"

#include <gtest/gtest.h>

namespace kesto::backend {
namespace {

TEST(BackendConfig, DefaultsBindToLoopbackWithTheClassicalEngine) {
  const ParsedArgs parsed = parse_args({});
  ASSERT_EQ(parsed.action, ParsedArgs::Action::Run);
  EXPECT_EQ(parsed.config.host, "127.0.0.1");
  EXPECT_EQ(parsed.config.engine, "classical");
  EXPECT_TRUE(parsed.config.workdir.empty());
  EXPECT_GT(parsed.config.max_frames, 0);
}

TEST(BackendConfig, ReadsEveryOption) {
  const ParsedArgs parsed = parse_args({"--host", "0.0.0.0", "--port", "0", "--workdir", "/tmp/w", "--engine", "trivial",
                                        "--max-jobs", "3", "--http-threads", "4", "--max-sessions", "5", "--max-frames",
                                        "6", "--max-frame-mb", "7", "--max-disk-mb", "8", "--session-ttl", "9", "--log",
                                        "quiet", "--port-file", "/tmp/p"});
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
}

TEST(BackendConfig, RefusesBadValuesWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "70000"}, {"--port", "-1"},        {"--port", "12x"},         {"--engine", "neural"},
      {"--max-jobs", "0"}, {"--max-frames", ""},    {"--session-ttl", "0"},    {"--log", "loud"},
      {"--port"},          {"--bogus", "1"},        {"stray"},                 {"--max-frame-mb", "99999"},
  };
  for (const auto& args : bad) {
    const ParsedArgs parsed = parse_args(args);
    EXPECT_EQ(parsed.action, ParsedArgs::Action::Error) << args[0];
    EXPECT_FALSE(parsed.message.empty());
  }
}

TEST(BackendConfig, HelpListsOptionsAndDefaults) {
  EXPECT_EQ(parse_args({"--port", "1", "--help"}).action, ParsedArgs::Action::Help);
  const std::string help = help_text();
  for (const char* text : {"--host", "--port", "--workdir", "--engine", "--max-jobs", "--max-frames", "--max-frame-mb",
                           "--max-disk-mb", "--session-ttl", "--max-sessions", "127.0.0.1", "classical", "trivial"}) {
    EXPECT_NE(help.find(text), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace kesto::backend
