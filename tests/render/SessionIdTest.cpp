// Session ids that may name a matte folder, and the ones that must count as no session.

#include "plugin/SessionId.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kesto::is_safe_session_id;

TEST(SessionId, PlainFolderNamesAreAccepted) {
  for (const std::string &id : {std::string("a"), std::string("sess_0123-abc.DEF"), std::string("..."),
                                std::string(".hidden"), std::string(128, 'x')}) {
    EXPECT_TRUE(is_safe_session_id(id)) << id;
  }
}

// Empty, too long, dot names, names that leave the folder, and names carrying odd bytes.
TEST(SessionId, OtherNamesAreRefused) {
  for (const std::string &id :
       {std::string(), std::string(129, 'x'), std::string("."), std::string(".."), std::string("../etc"),
        std::string("a/b"), std::string("/abs"), std::string("a\\b"), std::string("a b"), std::string(" a"),
        std::string("a\n"), std::string("a\0b", 3), std::string("caf\xc3\xa9"), std::string("a%2f"),
        std::string("a:b")}) {
    EXPECT_FALSE(is_safe_session_id(id)) << id;
  }
}

}  // namespace
