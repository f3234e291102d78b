// Session ids that may name a matte folder, and the ones that must count as no session.

#include "plugin/SessionId.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kesto::is_safe_session_id;

TEST(SessionId, PlainFolderNamesAreAccepted) {
  EXPECT_TRUE(is_safe_session_id("a"));
  EXPECT_TRUE(is_safe_session_id("sess_0123-abc.DEF"));
  EXPECT_TRUE(is_safe_session_id("..."));
  EXPECT_TRUE(is_safe_session_id(".hidden"));
  EXPECT_TRUE(is_safe_session_id(std::string(128, 'x')));
}

TEST(SessionId, EmptyTooLongAndDotNamesAreRefused) {
  EXPECT_FALSE(is_safe_session_id(""));
  EXPECT_FALSE(is_safe_session_id(std::string(129, 'x')));
  EXPECT_FALSE(is_safe_session_id("."));
  EXPECT_FALSE(is_safe_session_id(".."));
}

TEST(SessionId, NamesThatLeaveTheFolderOrCarryOddBytesAreRefused) {
  EXPECT_FALSE(is_safe_session_id("../etc"));
  EXPECT_FALSE(is_safe_session_id("a/b"));
  EXPECT_FALSE(is_safe_session_id("/abs"));
  EXPECT_FALSE(is_safe_session_id("a\\b"));
  EXPECT_FALSE(is_safe_session_id("a b"));
  EXPECT_FALSE(is_safe_session_id(" a"));
  EXPECT_FALSE(is_safe_session_id("a\n"));
  EXPECT_FALSE(is_safe_session_id(std::string("a\0b", 3)));
  EXPECT_FALSE(is_safe_session_id("caf\xc3\xa9"));
  EXPECT_FALSE(is_safe_session_id("a%2f"));
  EXPECT_FALSE(is_safe_session_id("a:b"));
}

}  // namespace
