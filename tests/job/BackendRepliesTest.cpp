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

// Success is a status of 200 to 299 and a JSON object holding a safe id.
TEST(BackendReplies, SessionReplyNeedsASuccessAndAJsonObjectWithASafeId) {
  struct Case {
    long status;
    const char *body;
    SessionReply::Kind kind;
  };
  const Case cases[] = {
      {200, R"({"session_id":"abc-123_x.y"})", SessionReply::Kind::Ok},
      {201, R"({"session_id":"s1","other":[1]})", SessionReply::Kind::Ok},
      {299, R"({"session_id":"s1"})", SessionReply::Kind::Ok},
      {199, R"({"session_id":"s1"})", SessionReply::Kind::Unusable},
      {300, R"({"session_id":"s1"})", SessionReply::Kind::Unusable},
      {200, "not json", SessionReply::Kind::Unusable},
      {200, R"({"session_id":"s1"} trailing)", SessionReply::Kind::Unusable},
      {200, R"(["s1"])", SessionReply::Kind::Unusable},
      {200, R"({"session_id":5})", SessionReply::Kind::Unusable},
      {200, R"({})", SessionReply::Kind::BadId},
      {200, R"({"session_id":""})", SessionReply::Kind::BadId},
      // Which ids are safe is the session id rule's table; here only that an unsafe one is refused.
      {200, R"({"session_id":"../etc"})", SessionReply::Kind::BadId},
  };
  for (const Case &c : cases) {
    const SessionReply r = kesto::read_session_reply(reply(c.status, c.body));
    EXPECT_EQ(c.kind, r.kind) << c.status << " " << c.body;
    EXPECT_EQ(c.kind == SessionReply::Kind::Ok, !r.sessionId.empty()) << c.body;
  }
  EXPECT_EQ("abc-123_x.y", kesto::read_session_reply(reply(200, R"({"session_id":"abc-123_x.y"})")).sessionId);
}

// A failure gives the backend's error as one line of at most 300 bytes, or "matting failed"; a progress
// object gives its stage, or "..." when it has none that is text (no stage: no progress).
TEST(BackendReplies, PollReplyStatesFailuresAndProgress) {
  struct Case {
    long status;
    std::string body;
    PollReply::Kind kind;
    std::string text = "";      // the failure, or the stage
    bool hasProgress = false;
  };
  const std::string longError = R"({"status":"FAILED","error":")" + std::string(5000, 'e') + "\"}";
  const Case cases[] = {
      {200, R"({"status":"COMPLETED"})", PollReply::Kind::Completed},
      {200, R"({"status":"completed"})", PollReply::Kind::Running},
      {200, R"({})", PollReply::Kind::Running},
      {204, R"({"status":"RUNNING"})", PollReply::Kind::Running},
      {503, R"({"status":"COMPLETED"})", PollReply::Kind::Unusable},
      {200, "<html>", PollReply::Kind::Unusable},
      {200, R"(["COMPLETED"])", PollReply::Kind::Unusable},
      {200, R"({"status":7})", PollReply::Kind::Unusable},
      {200, R"({"status":"FAILED","error":"no person found"})", PollReply::Kind::Failed, "no person found"},
      {200, R"({"status":"FAILED"})", PollReply::Kind::Failed, "matting failed"},
      {200, R"({"status":"FAILED","error":""})", PollReply::Kind::Failed, "matting failed"},
      {200, R"({"status":"FAILED","error":404})", PollReply::Kind::Failed, "matting failed"},
      {200, R"({"status":"FAILED","error":"line one\nline two"})", PollReply::Kind::Failed, "line one line two"},
      {200, longError, PollReply::Kind::Failed, std::string(300, 'e')},
      {200, R"({"status":"RUNNING","progress":{"stage":"propagating"}})", PollReply::Kind::Running, "propagating", true},
      {200, R"({"status":"RUNNING","progress":{}})", PollReply::Kind::Running, "...", true},
      {200, R"({"progress":{"stage":3}})", PollReply::Kind::Running, "...", true},
      {200, R"({"status":"RUNNING","progress":"50%"})", PollReply::Kind::Running},
      {200, R"({"status":"RUNNING","progress":null})", PollReply::Kind::Running},
  };
  for (const Case &c : cases) {
    const PollReply r = kesto::read_poll_reply(reply(c.status, c.body));
    EXPECT_EQ(c.kind, r.kind) << c.status << " " << c.body;
    EXPECT_EQ(c.hasProgress, r.hasProgress) << c.body;
    EXPECT_EQ(c.kind == PollReply::Kind::Failed ? c.text : "", r.failure) << c.body;
    EXPECT_EQ(c.hasProgress ? c.text : "", c.hasProgress ? r.stage : "") << c.body;
  }
}

TEST(BackendReplies, StartRejectionQuotesTheFirst160Bytes) {
  std::string body;
  for (int i = 0; i < 300; ++i) body += static_cast<char>('a' + i % 26);
  EXPECT_EQ("start rejected: " + body.substr(0, 160), kesto::start_rejected_reason(body));
  EXPECT_EQ("start rejected: short", kesto::start_rejected_reason("short"));
}

TEST(BackendReplies, OneLineTextIsSafeUtf8) {
  EXPECT_EQ("a b c", kesto::one_line_text("a\nb\rc", 100));
  EXPECT_EQ("a b", kesto::one_line_text(std::string("a\0b", 3), 100));
  EXPECT_EQ("x\xEF\xBF\xBDy", kesto::one_line_text("x\xFFy", 100));
  EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", kesto::one_line_text("\xC0\xAF", 100));  // overlong '/'
  EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", kesto::one_line_text("\xED\xA0\x80", 100));  // surrogate
  // A character that the limit would cut is left out whole.
  EXPECT_EQ("ab", kesto::one_line_text("ab\xF0\x9F\x99\x82", 4));
  EXPECT_EQ("ab\xF0\x9F\x99\x82", kesto::one_line_text("ab\xF0\x9F\x99\x82z", 6));
}

}  // namespace
