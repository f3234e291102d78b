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

// Anything but a strict JSON array (or object) of well-typed node objects loads as nothing, all or nothing.
TEST(ChainLoad, RefusedOrEmptyTextsGiveAnEmptyChain) {
  for (const char *text :
       {"", "[]", "{}", "null", " [ ] ", "5", "\"text\"", "true", R"({"task_id":"a"})", R"([{"seed":"7"}])",
        R"([{"seed":null}])", R"([{"seed":1e300}])", R"([{"seed":-9.3e18}])", R"([{"duration_sec":"3"}])",
        R"([{"duration_sec":true}])", R"([{"completed":1}])", R"([{"completed":"true"}])", R"([{"task_id":5}])",
        R"([{"parent_task_id":null}])", R"([{"prompt":{}}])", R"([{"video_url":[]}])", R"([{"task_id":"a"},7])",
        R"({"a":{"task_id":"1"},"b":"x"})", R"([{"task_id":"a"},])", "// note\n[{\"task_id\":\"a\"}]",
        R"([{"task_id":"a"}] [])", "[{'task_id':'a'}]", "[{\"task_id\":"}) {
    EXPECT_TRUE(loaded(text).nodes.empty()) << text;
  }
  Chain chain;
  chain.load(R"([{"task_id":"kept?"}])");
  chain.load("[{\"task_id\":");
  EXPECT_TRUE(chain.nodes.empty()) << "a failed load replaces the nodes before it";
}

// Integers keep their low 32 bits, floating numbers are truncated first, booleans count 1 or 0.
TEST(ChainLoad, SeedsAndDurations) {
  const std::pair<const char *, std::int32_t> seeds[] = {
      {"3.9", 3}, {"-3.9", -3}, {"true", 1}, {"false", 0}, {"-1", -1}, {"4294967297", 1},
      {"2147483647", 2147483647}, {"2147483648", -2147483647 - 1}, {"18446744073709551615", -1},
      {"4294967297.7", 1}};
  for (const auto &[text, seed] : seeds) {
    EXPECT_EQ(loaded(std::string(R"([{"seed":)") + text + "}]").nodes.at(0).seed, seed) << text;
  }
  EXPECT_EQ(loaded(R"([{"duration_sec":18446744073709551615}])").nodes.at(0).duration_sec, 18446744073709551615.0);
}

TEST(ChainLoad, ReadsEveryFieldInTextOrderWithUncheckedLinks) {
  const Chain chain = loaded(R"([{"task_id":"t2","parent_task_id":"t1","prompt":"walk","video_url":"u","seed":42,)"
                             R"("duration_sec":4.5,"completed":true,"extra":[1,{"x":null}]},{"task_id":"t2"},{}])");
  ASSERT_EQ(chain.nodes.size(), 3u);
  EXPECT_EQ(chain.nodes[0], (ChainNode{"t2", "t1", "walk", "u", 42, 4.5, true}));
  EXPECT_EQ(chain.nodes[1].task_id, "t2");
  EXPECT_EQ(chain.nodes[2], ChainNode{});
  // An object's nodes come in key order.
  const Chain byKey = loaded(R"({"b":{"task_id":"2"},"a":{"task_id":"1"}})");
  ASSERT_EQ(byKey.nodes.size(), 2u);
  EXPECT_EQ(byKey.nodes[0].task_id, "1");
}

TEST(ChainDump, ExactTextThatLoadsBackTheSameNodesAndRefusesWhatCouldNot) {
  EXPECT_EQ(Chain{}.dump(), "[]");
  Chain chain;
  chain.nodes = {ChainNode{"t1", "", "walk", "u1", -1, 5.0, true},
                 ChainNode{"t2", "t1", "run", "u2", 2147483647, 0.5, false}};
  EXPECT_EQ(chain.dump(), R"([{"completed":true,"duration_sec":5.0,"parent_task_id":"","prompt":"walk","seed":-1,)"
                          R"("task_id":"t1","video_url":"u1"},{"completed":false,"duration_sec":0.5,"parent_task_id":"t1",)"
                          R"("prompt":"run","seed":2147483647,"task_id":"t2","video_url":"u2"}])");
  chain.nodes.push_back(ChainNode{"child", "root", "", "", -2147483647 - 1, 1e-9, false});
  chain.nodes.push_back(ChainNode{"", "", "caf\xC3\xA9 \"quoted\"\n", "", 0, 0.0, false});
  EXPECT_NE(chain.dump().find("\"prompt\":\"caf\xC3\xA9 \\\"quoted\\\"\\n\""), std::string::npos) << chain.dump();
  EXPECT_EQ(loaded(chain.dump()).nodes, chain.nodes);
  // What could not load back is refused: text that is no UTF-8, and durations JSON has no number for.
  chain.nodes[0].task_id = "\xFF\xFE";
  EXPECT_THROW(chain.dump(), nlohmann::json::type_error);
  for (const double duration : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    chain.nodes[0] = ChainNode{"t2", "t1", "p", "u", 2, duration, false};
    EXPECT_THROW(chain.dump(), std::domain_error) << duration;
  }
}

}  // namespace
