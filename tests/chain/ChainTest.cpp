#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "chain/Chain.h"

namespace {

using kesto::Chain;
using kesto::ChainNode;

Chain loaded(const std::string &text) {
  Chain chain;
  chain.load(text);
  return chain;
}

ChainNode make_node(const std::string &id, const std::string &parent, std::int32_t seed, double duration,
                    bool completed) {
  ChainNode node;
  node.task_id = id;
  node.parent_task_id = parent;
  node.prompt = "a prompt for " + id;
  node.video_url = "https://videos.example/" + id + ".mp4";
  node.seed = seed;
  node.duration_sec = duration;
  node.completed = completed;
  return node;
}

TEST(ChainLoad, EmptyTextsGiveEmptyChain) {
  for (const char *text : {"", "[]", "{}", "null", " [ ] "}) {
    EXPECT_TRUE(loaded(text).nodes.empty()) << text;
  }
}

TEST(ChainLoad, BareScalarsGiveEmptyChain) {
  for (const char *text : {"5", "-2.5", "\"text\"", "true", "false"}) {
    EXPECT_TRUE(loaded(text).nodes.empty()) << text;
  }
}

TEST(ChainLoad, BareObjectWithObjectValuesIsVisitedByKey) {
  // A bare node object is an object of members, each of which must itself be a node object.
  EXPECT_TRUE(loaded(R"({"task_id":"a"})").nodes.empty());
  const Chain chain = loaded(R"({"b":{"task_id":"2"},"a":{"task_id":"1"}})");
  ASSERT_EQ(chain.nodes.size(), 2u);
  EXPECT_EQ(chain.nodes[0].task_id, "1");
  EXPECT_EQ(chain.nodes[1].task_id, "2");
}

TEST(ChainLoad, EmptyObjectNodeTakesEveryDefault) {
  const Chain chain = loaded("[{}]");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0], ChainNode{});
  EXPECT_EQ(chain.dump(), R"([{"completed":false,"duration_sec":0.0,"parent_task_id":"","prompt":"","seed":0,)"
                          R"("task_id":"","video_url":""}])");
}

TEST(ChainLoad, ReadsEveryFieldAndIgnoresUnknownMembers) {
  const Chain chain = loaded(R"([{"task_id":"t2","parent_task_id":"t1","prompt":"walk","video_url":"u","seed":42,)"
                             R"("duration_sec":4.5,"completed":true,"extra":[1,2,{"x":null}]}])");
  ASSERT_EQ(chain.nodes.size(), 1u);
  const ChainNode &node = chain.nodes[0];
  EXPECT_EQ(node.task_id, "t2");
  EXPECT_EQ(node.parent_task_id, "t1");
  EXPECT_EQ(node.prompt, "walk");
  EXPECT_EQ(node.video_url, "u");
  EXPECT_EQ(node.seed, 42);
  EXPECT_EQ(node.duration_sec, 4.5);
  EXPECT_TRUE(node.completed);
}

TEST(ChainLoad, SeedAcceptsNumbersAndBooleans) {
  EXPECT_EQ(loaded(R"([{"seed":3.9}])").nodes.at(0).seed, 3);
  EXPECT_EQ(loaded(R"([{"seed":-3.9}])").nodes.at(0).seed, -3);
  EXPECT_EQ(loaded(R"([{"seed":true}])").nodes.at(0).seed, 1);
  EXPECT_EQ(loaded(R"([{"seed":false}])").nodes.at(0).seed, 0);
  EXPECT_EQ(loaded(R"([{"seed":-1}])").nodes.at(0).seed, -1);
  // Integers keep their low 32 bits.
  EXPECT_EQ(loaded(R"([{"seed":4294967297}])").nodes.at(0).seed, 1);
  EXPECT_EQ(loaded(R"([{"seed":2147483648}])").nodes.at(0).seed, -2147483647 - 1);
  EXPECT_EQ(loaded(R"([{"seed":18446744073709551615}])").nodes.at(0).seed, -1);
  EXPECT_EQ(loaded(R"([{"seed":4294967297.7}])").nodes.at(0).seed, 1);
}

TEST(ChainLoad, SeedOfWrongTypeOrOutOfRangeEmptiesChain) {
  EXPECT_TRUE(loaded(R"([{"seed":"7"}])").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"seed":null}])").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"seed":[1]}])").nodes.empty());
  // No integer holds the truncated value: refused rather than converted with undefined behaviour.
  EXPECT_TRUE(loaded(R"([{"seed":1e300}])").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"seed":-9.3e18}])").nodes.empty());
}

TEST(ChainLoad, DurationAcceptsAnyNumberOnly) {
  EXPECT_EQ(loaded(R"([{"duration_sec":3}])").nodes.at(0).duration_sec, 3.0);
  EXPECT_EQ(loaded(R"([{"duration_sec":18446744073709551615}])").nodes.at(0).duration_sec, 18446744073709551615.0);
  EXPECT_EQ(loaded(R"([{"duration_sec":-0.25}])").nodes.at(0).duration_sec, -0.25);
  EXPECT_TRUE(loaded(R"([{"duration_sec":"3"}])").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"duration_sec":true}])").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"duration_sec":null}])").nodes.empty());
}

TEST(ChainLoad, CompletedAcceptsOnlyBoolean) {
  EXPECT_TRUE(loaded(R"([{"completed":true}])").nodes.at(0).completed);
  EXPECT_TRUE(loaded(R"([{"completed":1}])").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"completed":"true"}])").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"completed":null}])").nodes.empty());
}

TEST(ChainLoad, StringMembersMustBeStrings) {
  for (const char *key : {"task_id", "parent_task_id", "prompt", "video_url"}) {
    for (const char *value : {"5", "null", "false", "{}", "[]"}) {
      const std::string text = std::string("[{\"") + key + "\":" + value + "}]";
      EXPECT_TRUE(loaded(text).nodes.empty()) << text;
    }
  }
}

TEST(ChainLoad, IsAllOrNothing) {
  EXPECT_TRUE(loaded(R"([{"task_id":"a"},{"task_id":5}])").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"task_id":"a"},7])").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"task_id":"a"},null])").nodes.empty());
  EXPECT_TRUE(loaded(R"({"a":{"task_id":"1"},"b":"x"})").nodes.empty());
}

TEST(ChainLoad, FailureReplacesPreviousNodes) {
  Chain chain;
  chain.load(R"([{"task_id":"kept?"}])");
  ASSERT_EQ(chain.nodes.size(), 1u);
  chain.load("[{\"task_id\":");
  EXPECT_TRUE(chain.nodes.empty());
  chain.load(R"([{"task_id":"x"}])");
  chain.load("");
  EXPECT_TRUE(chain.nodes.empty());
}

TEST(ChainLoad, IsStrictJson) {
  EXPECT_TRUE(loaded(R"([{"task_id":"a"},])").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"task_id":"a",}])").nodes.empty());
  EXPECT_TRUE(loaded("// note\n[{\"task_id\":\"a\"}]").nodes.empty());
  EXPECT_TRUE(loaded("[{\"task_id\":\"a\" /* c */}]").nodes.empty());
  EXPECT_TRUE(loaded(R"([{"task_id":"a"}] [])").nodes.empty());
  EXPECT_TRUE(loaded("[{'task_id':'a'}]").nodes.empty());
}

TEST(ChainLoad, KeepsOrderAndUncheckedLinks) {
  // Order of the text, a dangling parent, a repeated identifier and a cycle all pass unchanged.
  const Chain chain = loaded(R"([{"task_id":"c","parent_task_id":"b"},{"task_id":"a","parent_task_id":"missing"},)"
                             R"({"task_id":"b","parent_task_id":"c"},{"task_id":"a"}])");
  ASSERT_EQ(chain.nodes.size(), 4u);
  EXPECT_EQ(chain.nodes[0].task_id, "c");
  EXPECT_EQ(chain.nodes[1].parent_task_id, "missing");
  EXPECT_EQ(chain.nodes[2].parent_task_id, "c");
  EXPECT_EQ(chain.nodes[3].task_id, "a");
}

TEST(ChainDump, EmptyChainIsEmptyArray) { EXPECT_EQ(Chain{}.dump(), "[]"); }

TEST(ChainDump, ExactTextWithSortedKeysAndWholeDurations) {
  Chain chain;
  chain.nodes.push_back(make_node("t1", "", -1, 5.0, true));
  chain.nodes.push_back(make_node("t2", "t1", 2147483647, 0.5, false));
  EXPECT_EQ(chain.dump(), R"([{"completed":true,"duration_sec":5.0,"parent_task_id":"","prompt":"a prompt for t1",)"
                          R"("seed":-1,"task_id":"t1","video_url":"https://videos.example/t1.mp4"},)"
                          R"({"completed":false,"duration_sec":0.5,"parent_task_id":"t1","prompt":"a prompt for t2",)"
                          R"("seed":2147483647,"task_id":"t2","video_url":"https://videos.example/t2.mp4"}])");
}

TEST(ChainDump, KeepsNonAsciiAndEscapesControlCharacters) {
  Chain chain;
  ChainNode node;
  node.prompt = "caf\xC3\xA9 \"quoted\"\n";
  chain.nodes.push_back(node);
  const std::string text = chain.dump();
  EXPECT_NE(text.find("\"prompt\":\"caf\xC3\xA9 \\\"quoted\\\"\\n\""), std::string::npos) << text;
}

TEST(ChainDump, InvalidUtf8Throws) {
  Chain chain;
  ChainNode node;
  node.task_id = "\xFF\xFE";
  chain.nodes.push_back(node);
  EXPECT_THROW(chain.dump(), nlohmann::json::type_error);
}

TEST(ChainDump, NonFiniteDurationThrowsInsteadOfWritingNull) {
  // Written as null, such a node would make the whole dumped text unloadable.
  for (const double duration : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    Chain chain;
    chain.nodes.push_back(make_node("t1", "", 1, 2.0, true));
    chain.nodes.push_back(make_node("t2", "t1", 2, duration, false));
    EXPECT_THROW(chain.dump(), std::domain_error) << duration;
  }
}

TEST(ChainRoundTrip, DumpThenLoadGivesSameNodes) {
  Chain chain;
  chain.nodes.push_back(make_node("root", "", -1, 12.0, true));
  chain.nodes.push_back(make_node("child", "root", -2147483647 - 1, 0.1, false));
  chain.nodes.push_back(make_node("loop", "loop", 7, 1e-9, true));
  chain.nodes.push_back(ChainNode{});
  Chain again;
  again.load(chain.dump());
  EXPECT_EQ(again.nodes, chain.nodes);
  EXPECT_EQ(again.dump(), chain.dump());
}

}  // namespace
