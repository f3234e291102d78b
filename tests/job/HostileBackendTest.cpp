// A hostile or broken backend: wrong JSON shapes, traversal ids, huge, truncated and dripping bodies,
// redirects to other schemes, mattes that are no PNG or claim absurd sizes. Whatever it sends, the host
// process survives, the job ends with "failed: ..." or completes soundly, the busy flag is free afterwards,
// and nothing is written outside the job's own folders.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/job/JobFixture.h"

namespace jobtest {
namespace {

using Texts = std::vector<std::string>;

constexpr int kHostileSilenceMs = 400;
constexpr const char *kEscape = "/tmp/trevane-hostile-escape";

struct Hostile {
  const char *name;
  // Scripts the backend after the happy session has been scripted; gets the session path and id.
  std::function<void(FakeBackend &, const std::string &sessionPath, const std::string &id)> script;
  // The final status, exactly, or only its start when `prefixOnly`.
  std::string expected;
  bool prefixOnly = false;
};

Reply json(const std::string &body, int status = 200) { return Reply{status, body, "application/json", {}}; }

std::string deepArray(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// A PNG signature and IHDR chunk that claim 100000 x 100000 gray pixels, and nothing more.
std::string absurdPngHeader() {
  const unsigned char bytes[] = {0x89, 'P',  'N',  'G',  0x0D, 0x0A, 0x1A, 0x0A, 0,    0,    0,
                                 13,   'I',  'H',  'D',  'R',  0,    0x01, 0x86, 0xA0, 0,    0x01,
                                 0x86, 0xA0, 8,    0,    0,    0,    0,    0x12, 0x34, 0x56, 0x78};
  return std::string(reinterpret_cast<const char *>(bytes), sizeof bytes);
}

void sessionReply(FakeBackend &fb, const std::string &body) { fb.on("POST", kSessionsPath).reply(200, body); }
void pollReply(FakeBackend &fb, const std::string &body) { fb.onPattern("GET", kPollPattern).reply(200, body); }

const std::vector<Hostile> &cases() {
  static const std::vector<Hostile> all = {
      // Session replies.
      {"SessionArray", [](FakeBackend &fb, auto &, auto &) { sessionReply(fb, R"(["s1"])"); }, "failed: cannot reach backend"},
      {"SessionString", [](FakeBackend &fb, auto &, auto &) { sessionReply(fb, R"("s1")"); }, "failed: cannot reach backend"},
      {"SessionIdObject",
       [](FakeBackend &fb, auto &, auto &) { sessionReply(fb, R"({"session_id":{"id":"s1"}})"); },
       "failed: cannot reach backend"},
      {"SessionIdTraversal",
       [](FakeBackend &fb, auto &, auto &) { sessionReply(fb, R"({"session_id":"../trevane-hostile-escape"})"); },
       "failed: backend sent an unusable session id"},
      {"SessionIdAbsolute",
       [](FakeBackend &fb, auto &, auto &) { sessionReply(fb, R"({"session_id":"/tmp/trevane-hostile-escape"})"); },
       "failed: backend sent an unusable session id"},
      {"SessionIdHuge",
       [](FakeBackend &fb, auto &, auto &) { sessionReply(fb, "{\"session_id\":\"" + std::string(1 << 20, 'a') + "\"}"); },
       "failed: backend sent an unusable session id"},
      {"SessionTruncated", [](FakeBackend &fb, auto &, auto &) { sessionReply(fb, R"({"session_id":"s)"); },
       "failed: cannot reach backend"},
      {"SessionHugeBody",
       [](FakeBackend &fb, auto &, auto &) { fb.on("POST", kSessionsPath).streamBody(std::size_t{8} << 20); },
       "failed: cannot reach backend"},
      {"SessionDeepNesting", [](FakeBackend &fb, auto &, auto &) { sessionReply(fb, deepArray(200000)); },
       "failed: cannot reach backend"},
      {"SessionRedirectToFile",
       [](FakeBackend &fb, auto &, auto &) { fb.on("POST", kSessionsPath).redirect(302, "file:///etc/passwd"); },
       "failed: cannot reach backend"},
      {"SessionRedirectToFtp",
       [](FakeBackend &fb, auto &, auto &) { fb.on("POST", kSessionsPath).redirect(307, "ftp://127.0.0.1/x"); },
       "failed: cannot reach backend"},
      {"SessionDropped", [](FakeBackend &fb, auto &, auto &) { fb.on("POST", kSessionsPath).drop(); },
       "failed: cannot reach backend"},
      // Uploads and start.
      {"UploadRedirected",
       [](FakeBackend &fb, auto &, auto &) { fb.onPattern("PUT", kFramePattern).redirect(301, "http://127.0.0.1:1/"); },
       "failed: upload failed at frame 0"},
      {"StartRejectedWithBinaryNoise",
       [](FakeBackend &fb, auto &, auto &) {
         fb.onPattern("POST", kStartPattern).reply(500, std::string("bad\n\r\x01\xFF\xFE start") + std::string(400, 'z'));
       },
       "failed: start rejected: bad   \xEF\xBF\xBD\xEF\xBF\xBD start", true},
      {"StartRedirectToFile",
       [](FakeBackend &fb, auto &, auto &) { fb.onPattern("POST", kStartPattern).redirect(302, "file:///etc/passwd"); },
       "failed: start rejected: ", true},
      // Polls.
      {"PollArrayForever", [](FakeBackend &fb, auto &, auto &) { pollReply(fb, R"(["COMPLETED"])"); },
       "failed: backend stopped answering"},
      {"PollStatusNumber", [](FakeBackend &fb, auto &, auto &) { pollReply(fb, R"({"status":3})"); },
       "failed: backend stopped answering"},
      {"PollStatusNull", [](FakeBackend &fb, auto &, auto &) { pollReply(fb, R"({"status":null})"); },
       "failed: backend stopped answering"},
      {"PollTruncated", [](FakeBackend &fb, auto &, auto &) { pollReply(fb, R"({"status":"COMPL)"); },
       "failed: backend stopped answering"},
      {"PollDeepNesting", [](FakeBackend &fb, auto &, auto &) { pollReply(fb, deepArray(200000)); },
       "failed: backend stopped answering"},
      {"PollHugeBody",
       [](FakeBackend &fb, auto &, auto &) { fb.onPattern("GET", kPollPattern).streamBody(std::size_t{8} << 20); },
       "failed: backend stopped answering"},
      {"PollSlowDrip",
       [](FakeBackend &fb, auto &, auto &) {
         fb.onPattern("GET", kPollPattern).drip(20, 1, std::chrono::milliseconds(10));
       },
       "failed: backend stopped answering"},
      {"PollRedirectToFile",
       [](FakeBackend &fb, auto &, auto &) { fb.onPattern("GET", kPollPattern).redirect(302, "file:///etc/passwd"); },
       "failed: backend stopped answering"},
      {"PollErrorNumber", [](FakeBackend &fb, auto &, auto &) { pollReply(fb, R"({"status":"FAILED","error":500})"); },
       "failed: matting failed"},
      {"PollErrorHuge",
       [](FakeBackend &fb, auto &, auto &) {
         pollReply(fb, R"({"status":"FAILED","error":")" + std::string(1 << 20, 'e') + "\"}");
       },
       "failed: " + std::string(300, 'e')},
      {"PollErrorTraversalText",
       [](FakeBackend &fb, auto &, auto &) { pollReply(fb, R"({"status":"FAILED","error":"../../etc/passwd %s%n"})"); },
       "failed: ../../etc/passwd %s%n"},
      {"PollProgressString",
       [](FakeBackend &fb, auto &, auto &) {
         auto n = std::make_shared<std::atomic<int>>(0);
         fb.onPattern("GET", kPollPattern).respond([n](const RecordedRequest &) {
           return json((*n)++ < 2 ? R"({"status":"RUNNING","progress":"50%"})" : R"({"status":"COMPLETED"})");
         });
       },
       "ready: 3 frames matted"},
      {"PollStageNumber",
       [](FakeBackend &fb, auto &, auto &) {
         auto n = std::make_shared<std::atomic<int>>(0);
         fb.onPattern("GET", kPollPattern).respond([n](const RecordedRequest &) {
           return json((*n)++ < 2 ? R"({"status":"RUNNING","progress":{"stage":[1]}})" : R"({"status":"COMPLETED"})");
         });
       },
       "ready: 3 frames matted"},
      // Mattes.
      {"MatteNotPng",
       [](FakeBackend &fb, auto &, auto &) {
         fb.onPattern("GET", kMattePattern).reply(200, "<html>this is not a png</html>", "text/html");
       },
       "ready: 3 frames matted"},
      {"MatteAbsurdSize",
       [](FakeBackend &fb, auto &, auto &) { fb.onPattern("GET", kMattePattern).reply(200, absurdPngHeader(), "image/png"); },
       "ready: 3 frames matted"},
      {"MatteEmpty", [](FakeBackend &fb, auto &, auto &) { fb.onPattern("GET", kMattePattern).reply(204, ""); },
       "ready: 3 frames matted"},
      {"MatteRedirectToFile",
       [](FakeBackend &fb, auto &, auto &) { fb.onPattern("GET", kMattePattern).redirect(302, "file:///etc/passwd"); },
       "failed: download failed at frame 0"},
      {"MatteTruncatedByDrop",
       [](FakeBackend &fb, auto &, auto &) { fb.onPattern("GET", kMattePattern).drop(); },
       "failed: download failed at frame 0"},
      {"MatteLarge",
       [](FakeBackend &fb, auto &, auto &) {
         fb.onPattern("GET", kMattePattern).streamBody(std::size_t{16} << 20, std::size_t{1} << 16, false);
       },
       "ready: 3 frames matted"},
  };
  return all;
}

class HostileBackend : public JobTest, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileBackend, TheJobEndsSoundly) {
  const Hostile &h = GetParam();
  configure(kTestPollMs, kHostileSilenceMs, 2, root());
  scriptHappySession();
  h.script(*backend_, std::string(kSessionsPath) + "/" + sessionId_, sessionId_);
  ASSERT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(waitUntilIdle()) << "the job did not end";
  const std::string finalStatus = status();
  if (h.prefixOnly) {
    EXPECT_EQ(0u, finalStatus.rfind(h.expected, 0)) << finalStatus;
  } else {
    EXPECT_EQ(h.expected, finalStatus);
  }
  const bool ready = finalStatus.rfind("ready: ", 0) == 0;
  const Texts shown = messages();
  ASSERT_EQ(1u, shown.size());
  if (ready) {
    EXPECT_EQ("Orvalis: alpha ready for 3 frames.", shown[0]);
    EXPECT_EQ(sessionId_, param("session_id"));
  } else {
    EXPECT_EQ("Orvalis: " + finalStatus.substr(8), shown[0]);
    EXPECT_EQ("", param("session_id"));
  }
  EXPECT_FALSE(busy());
  // Only the session's own matte folder may remain in the root, and nothing escaped it.
  const Texts entries = folderEntries(root());
  EXPECT_TRUE(entries.empty() || entries == Texts{sessionId_}) << entries.size() << " entries, first " << entries[0];
  if (!entries.empty()) {
    for (const std::string &name : folderEntries(root() + sessionId_)) {
      EXPECT_TRUE(name == "000000.png" || name == "000001.png" || name == "000002.png") << name;
    }
  }
  EXPECT_FALSE(exists(kEscape));

  // The flag is free: a second press starts a new job that the (now healthy) backend completes.
  stopBackend();
  backend_ = std::make_unique<FakeBackend>();
  scriptHappySession();
  ASSERT_TRUE(fx_->setString("backend_url", backend_->url()).ok());
  host_.clearMessages();
  ASSERT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(waitUntilIdle());
  EXPECT_EQ("ready: 3 frames matted", status());
}

INSTANTIATE_TEST_SUITE_P(Replies, HostileBackend, ::testing::ValuesIn(cases()),
                         [](const auto &param) { return std::string(param.param.name); });

}  // namespace
}  // namespace jobtest
