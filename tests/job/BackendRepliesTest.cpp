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
  for (long status : {-1L, 0L, 199L, 300L, 503L}) EXPECT_FALSE(kesto::http_success(status)) << status;
  for (long status : {200L, 204L, 299L}) EXPECT_TRUE(kesto::http_success(status)) << status;
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
      {200, R"({})", PollReply::Kind::Running},
      {200, R"({"status":"RUNNING"})", PollReply::Kind::Running},
      {503, R"({"status":"COMPLETED"})", PollReply::Kind::Unusable},
      {200, "<html>", PollReply::Kind::Unusable},
      {200, R"({"status":"COMPL)", PollReply::Kind::Unusable},
      {200, R"(["COMPLETED"])", PollReply::Kind::Unusable},
      {200, R"({"status":7})", PollReply::Kind::Unusable},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.kind, kesto::read_poll_reply(reply(c.status, c.body)).kind) << c.status << " " << c.body;
  }
}

// A failure gives the backend's error as one line of at most 300 bytes, or "matting failed"; a progress
// object gives its stage, or "..." when it has none that is text.
TEST(BackendReplies, FailureAndProgressTexts) {
  const std::pair<std::string, std::string> failures[] = {
      {R"("error":"no person found")", "no person found"}, {R"("other":1)", "matting failed"},
      {R"("error":"")", "matting failed"},                  {R"("error":404)", "matting failed"},
      {R"("error":"line one\nline two")", "line one line two"},
      {R"("error":")" + std::string(5000, 'e') + "\"", std::string(300, 'e')},
  };
  for (const auto &[member, text] : failures) {
    EXPECT_EQ(text, kesto::read_poll_reply(reply(200, R"({"status":"FAILED",)" + member + "}")).failure) << member;
  }
  const std::pair<const char *, const char *> progress[] = {
      {R"({"status":"RUNNING","progress":{"stage":"propagating"}})", "propagating"},
      {R"({"status":"RUNNING","progress":{}})", "..."}, {R"({"progress":{"stage":3}})", "..."},
      {R"({"status":"RUNNING"})", nullptr}, {R"({"status":"RUNNING","progress":"50%"})", nullptr},
      {R"({"status":"RUNNING","progress":null})", nullptr},
  };
  for (const auto &[body, stage] : progress) {
    const PollReply r = kesto::read_poll_reply(reply(200, body));
    EXPECT_EQ(stage != nullptr, r.hasProgress) << body;
    EXPECT_EQ(stage != nullptr ? stage : "", stage != nullptr ? r.stage : "") << body;
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
