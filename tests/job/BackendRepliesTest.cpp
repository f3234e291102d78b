// Reading backend replies: what counts as usable, which member types are taken, and how backend text becomes
// one safe line.

#include <gtest/gtest.h>

#include <string>

#include "plugin/BackendReplies.h"

namespace {

using kesto::HttpResponse;
using kesto::PollReply;
using kesto::SessionReply;

HttpResponse reply(long status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

TEST(BackendReplies, SuccessIs200To299) {
  EXPECT_FALSE(kesto::http_success(-1));
  EXPECT_FALSE(kesto::http_success(0));
  EXPECT_FALSE(kesto::http_success(199));
  EXPECT_TRUE(kesto::http_success(200));
  EXPECT_TRUE(kesto::http_success(204));
  EXPECT_TRUE(kesto::http_success(299));
  EXPECT_FALSE(kesto::http_success(300));
  EXPECT_FALSE(kesto::http_success(503));
}

TEST(BackendReplies, SessionReplyNeedsAJsonObjectWithASafeId) {
  struct Case {
    long status;
    const char *body;
    SessionReply::Kind kind;
  };
  const Case cases[] = {
      {200, R"({"session_id":"abc-123_x.y"})", SessionReply::Kind::Ok},
      {201, R"({"session_id":"s1","other":[1]})", SessionReply::Kind::Ok},
      {500, R"({"session_id":"s1"})", SessionReply::Kind::Unusable},
      {-1, R"({"session_id":"s1"})", SessionReply::Kind::Unusable},
      {200, "not json", SessionReply::Kind::Unusable},
      {200, "", SessionReply::Kind::Unusable},
      {200, R"({"session_id":"s1"} trailing)", SessionReply::Kind::Unusable},
      {200, R"({"session_id":"s1",})", SessionReply::Kind::Unusable},
      {200, R"(/* c */ {"session_id":"s1"})", SessionReply::Kind::Unusable},
      {200, R"(["s1"])", SessionReply::Kind::Unusable},
      {200, R"("s1")", SessionReply::Kind::Unusable},
      {200, R"({"session_id":5})", SessionReply::Kind::Unusable},
      {200, R"({"session_id":null})", SessionReply::Kind::Unusable},
      {200, R"({"session_id":["s1"]})", SessionReply::Kind::Unusable},
      {200, R"({})", SessionReply::Kind::BadId},
      {200, R"({"session_id":""})", SessionReply::Kind::BadId},
      // Which ids are safe is the session id rule's table; here only that an unsafe one is refused.
      {200, R"({"session_id":"../etc"})", SessionReply::Kind::BadId},
  };
  for (const Case &c : cases) {
    const SessionReply r = kesto::read_session_reply(reply(c.status, c.body));
    EXPECT_EQ(c.kind, r.kind) << c.status << " " << c.body;
    if (r.kind != SessionReply::Kind::Ok) {
      EXPECT_EQ("", r.sessionId);
    }
  }
  EXPECT_EQ("abc-123_x.y", kesto::read_session_reply(reply(200, R"({"session_id":"abc-123_x.y"})")).sessionId);
}

TEST(BackendReplies, PollReplyStates) {
  struct Case {
    long status;
    const char *body;
    PollReply::Kind kind;
  };
  const Case cases[] = {
      {200, R"({"status":"COMPLETED"})", PollReply::Kind::Completed},
      {200, R"({"status":"FAILED"})", PollReply::Kind::Failed},
      {200, R"({"status":"completed"})", PollReply::Kind::Running},
      {200, R"({"status":"Failed"})", PollReply::Kind::Running},
      {200, R"({"status":""})", PollReply::Kind::Running},
      {200, R"({})", PollReply::Kind::Running},
      {200, R"({"status":"RUNNING"})", PollReply::Kind::Running},
      {503, R"({"status":"COMPLETED"})", PollReply::Kind::Unusable},
      {-1, "", PollReply::Kind::Unusable},
      {200, "<html>", PollReply::Kind::Unusable},
      {200, R"({"status":"COMPL)", PollReply::Kind::Unusable},
      {200, R"(["COMPLETED"])", PollReply::Kind::Unusable},
      {200, R"({"status":7})", PollReply::Kind::Unusable},
      {200, R"({"status":null})", PollReply::Kind::Unusable},
      {200, R"({"status":{"s":"COMPLETED"}})", PollReply::Kind::Unusable},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.kind, kesto::read_poll_reply(reply(c.status, c.body)).kind) << c.status << " " << c.body;
  }
}

TEST(BackendReplies, FailedReplyGivesTheErrorOrMattingFailed) {
  EXPECT_EQ("no person found", kesto::read_poll_reply(reply(200, R"({"status":"FAILED","error":"no person found"})")).failure);
  EXPECT_EQ("matting failed", kesto::read_poll_reply(reply(200, R"({"status":"FAILED"})")).failure);
  EXPECT_EQ("matting failed", kesto::read_poll_reply(reply(200, R"({"status":"FAILED","error":""})")).failure);
  EXPECT_EQ("matting failed", kesto::read_poll_reply(reply(200, R"({"status":"FAILED","error":404})")).failure);
  EXPECT_EQ("matting failed", kesto::read_poll_reply(reply(200, R"({"status":"FAILED","error":null})")).failure);
  EXPECT_EQ("line one line two",
            kesto::read_poll_reply(reply(200, R"({"status":"FAILED","error":"line one\nline two"})")).failure);
  const std::string longError(5000, 'e');
  EXPECT_EQ(std::string(300, 'e'),
            kesto::read_poll_reply(reply(200, R"({"status":"FAILED","error":")" + longError + "\"}")).failure);
}

TEST(BackendReplies, ProgressGivesTheStageOrDots) {
  const PollReply staged = kesto::read_poll_reply(reply(200, R"({"status":"RUNNING","progress":{"stage":"propagating"}})"));
  EXPECT_TRUE(staged.hasProgress);
  EXPECT_EQ("propagating", staged.stage);
  const PollReply empty = kesto::read_poll_reply(reply(200, R"({"status":"RUNNING","progress":{}})"));
  EXPECT_TRUE(empty.hasProgress);
  EXPECT_EQ("...", empty.stage);
  const PollReply numeric = kesto::read_poll_reply(reply(200, R"({"progress":{"stage":3}})"));
  EXPECT_TRUE(numeric.hasProgress);
  EXPECT_EQ("...", numeric.stage);
  EXPECT_FALSE(kesto::read_poll_reply(reply(200, R"({"status":"RUNNING"})")).hasProgress);
  EXPECT_FALSE(kesto::read_poll_reply(reply(200, R"({"status":"RUNNING","progress":"50%"})")).hasProgress);
  EXPECT_FALSE(kesto::read_poll_reply(reply(200, R"({"status":"RUNNING","progress":null})")).hasProgress);
}

TEST(BackendReplies, StartRejectionQuotesTheFirst160Bytes) {
  std::string body;
  for (int i = 0; i < 300; ++i) body += static_cast<char>('a' + i % 26);
  EXPECT_EQ("start rejected: " + body.substr(0, 160), kesto::start_rejected_reason(body));
  EXPECT_EQ("start rejected: ", kesto::start_rejected_reason(""));
  EXPECT_EQ("start rejected: short", kesto::start_rejected_reason("short"));
}

TEST(BackendReplies, OneLineTextIsSafeUtf8) {
  EXPECT_EQ("a b c", kesto::one_line_text("a\nb\rc", 100));
  EXPECT_EQ("tab here", kesto::one_line_text("tab\there", 100));
  EXPECT_EQ("a b", kesto::one_line_text(std::string("a\0b", 3), 100));
  EXPECT_EQ("x\xEF\xBF\xBDy", kesto::one_line_text("x\xFFy", 100));
  EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", kesto::one_line_text("\xC0\xAF", 100));  // overlong '/'
  EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", kesto::one_line_text("\xED\xA0\x80", 100));  // surrogate
  EXPECT_EQ("caf\xC3\xA9", kesto::one_line_text("caf\xC3\xA9", 100));
  // A character that the limit would cut is left out whole.
  EXPECT_EQ("ab", kesto::one_line_text("ab\xF0\x9F\x99\x82", 4));
  EXPECT_EQ("ab\xF0\x9F\x99\x82", kesto::one_line_text("ab\xF0\x9F\x99\x82z", 6));
  EXPECT_EQ("abc", kesto::one_line_text("abcdef", 3));
}

}  // namespace
