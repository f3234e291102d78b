// `trevane describe` on the built bundle, as a user runs it.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/ToolRun.h"

namespace {

using kesto::testing::runTrevane;
using kesto::testing::ToolResult;

const std::string kBundle = std::string(" --bundle ") + TREVANE_BUNDLE_DIR;

TEST(DescribeCommand, JsonListsTheDeclaredEffect) {
  const ToolResult run = runTrevane("describe --json" + kBundle);
  ASSERT_EQ(0, run.exitCode) << run.err;
  const auto doc = nlohmann::json::parse(run.out, nullptr, false);
  ASSERT_TRUE(doc.is_object()) << run.out;
  EXPECT_EQ("com.orvalis.trevane.ofx", doc["plugin"]["pluginIdentifier"]);
  EXPECT_EQ(1, doc["plugin"]["pluginVersionMajor"]);
  EXPECT_EQ(1, doc["plugin"]["pluginVersionMinor"]);

  const auto &effect = doc["effect"];
  ASSERT_EQ(11u, effect.size());
  size_t values = 0;
  for (const auto &p : effect) values += p["values"].size();
  EXPECT_EQ(12u, values);
  EXPECT_EQ("OfxPropLabel", effect[0]["name"]);
  EXPECT_EQ("OfxImageEffectPluginPropOverlayInteractV1", effect[10]["name"]);
  EXPECT_EQ("pointer", effect[10]["type"]);

  ASSERT_EQ(2u, doc["clips"].size());
  EXPECT_EQ("Source", doc["clips"][0]["name"]);
  EXPECT_EQ("Output", doc["clips"][1]["name"]);

  const auto &params = doc["parameters"];
  ASSERT_EQ(16u, params.size());
  const char *names[] = {"backend_url", "output_mode", "draw_mask",   "select_tool", "brush_size", "text_hint",
                         "quality",     "edge_softness", "pull_alpha", "clear_mask",  "reset_matte", "status",
                         "bbox_json",   "brush_json",    "session_id", "clip_start"};
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(names[i], params[i]["name"]) << i;
  // Order within a parameter is the order the plug-in set its properties in.
  EXPECT_EQ("OfxParamPropSecret", params[12]["properties"][0]["name"]);
  EXPECT_EQ("OfxParamPropDefault", params[12]["properties"][1]["name"]);
  EXPECT_EQ(1u, params[14]["properties"].size());
}

TEST(DescribeCommand, TextAndErrors) {
  const ToolResult text = runTrevane("describe" + kBundle);
  ASSERT_EQ(0, text.exitCode) << text.err;
  EXPECT_NE(std::string::npos, text.out.find("effect (11 properties)"));
  EXPECT_NE(std::string::npos, text.out.find("parameters (16)"));

  const ToolResult missing = runTrevane("describe --bundle /nonexistent/Nothing.ofx.bundle");
  EXPECT_EQ(2, missing.exitCode);
  EXPECT_TRUE(missing.out.empty());
  EXPECT_NE(std::string::npos, missing.err.find("cannot load"));
  EXPECT_EQ(1, std::count(missing.err.begin(), missing.err.end(), '\n')) << missing.err;

  const ToolResult unknown = runTrevane("describe --bogus");
  EXPECT_EQ(2, unknown.exitCode);
  EXPECT_NE(std::string::npos, unknown.err.find("--bogus"));

  const ToolResult help = runTrevane("describe --help");
  EXPECT_EQ(0, help.exitCode);
  EXPECT_NE(std::string::npos, help.out.find("Usage: trevane describe"));
}

}  // namespace
