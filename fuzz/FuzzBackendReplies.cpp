// The matte worker's reading of backend replies, on any body: a session id is taken only when it is a safe
// path segment, a poll reply is classified exactly by its "status" text, and every backend text that can
// reach "status" or a host message comes out as one bounded line of valid UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz/FuzzCheck.h"
#include "net/HttpClient.h"
#include "plugin/BackendReplies.h"
#include "plugin/SessionId.h"

namespace {

using kesto::PollReply;
using kesto::SessionReply;
using kesto::fuzz::free_of_controls;
using kesto::fuzz::require;
using kesto::fuzz::valid_utf8;
using nlohmann::json;

// Each byte cut off or replaced grows into at most the 3 bytes of U+FFFD.
constexpr std::size_t kMaxGrowth = 3;

void check_line(const std::string &line, std::size_t maxBytes) {
  require(valid_utf8(line), "backend text becomes valid UTF-8");
  require(free_of_controls(line), "backend text becomes one line");
  require(line.size() <= kMaxGrowth * maxBytes, "backend text is bounded");
}

void check_session(const kesto::HttpResponse &response) {
  const SessionReply reply = kesto::read_session_reply(response);
  if (reply.kind == SessionReply::Kind::Ok) {
    require(kesto::is_safe_session_id(reply.sessionId), "only a safe session id is taken");
  } else {
    require(reply.sessionId.empty(), "a refused reply yields no id");
  }
  if (!kesto::http_success(response.status)) require(reply.kind == SessionReply::Kind::Unusable, "not 2xx");
}

void check_poll(const kesto::HttpResponse &response) {
  const PollReply reply = kesto::read_poll_reply(response);
  if (!kesto::http_success(response.status)) {
    require(reply.kind == PollReply::Kind::Unusable, "a poll that is not 2xx is unusable");
    return;
  }
  const json body = json::parse(response.body, nullptr, false);
  const auto status = body.is_object() ? body.find("status") : body.end();
  const bool hasStatus = body.is_object() && status != body.end();
  if (!body.is_object() || (hasStatus && !status->is_string())) {
    require(reply.kind == PollReply::Kind::Unusable, "a reply that is not an object with a text status is unusable");
    return;
  }
  const std::string state = hasStatus ? status->get<std::string>() : std::string();
  if (state == "FAILED") {
    require(reply.kind == PollReply::Kind::Failed, "FAILED fails");
    require(!reply.failure.empty(), "a failure has a reason");
    check_line(reply.failure, kesto::kBackendTextBytes);
  } else if (state == "COMPLETED") {
    require(reply.kind == PollReply::Kind::Completed, "COMPLETED completes");
  } else {
    require(reply.kind == PollReply::Kind::Running, "any other status runs on");
    const auto progress = body.find("progress");
    require(reply.hasProgress == (progress != body.end() && progress->is_object()), "progress only from an object");
    if (reply.hasProgress) check_line(reply.stage, kesto::kBackendTextBytes);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string body(reinterpret_cast<const char *>(data), size);
  for (const long status : {200L, 299L, 503L, -1L}) {
    const kesto::HttpResponse response{status, body};
    check_session(response);
    check_poll(response);
  }
  const std::string reason = kesto::start_rejected_reason(body);
  const std::string prefix = "start rejected: ";
  require(reason.compare(0, prefix.size(), prefix) == 0, "the start failure names itself");
  check_line(reason.substr(prefix.size()), kesto::kStartRejectQuoteBytes);
  const std::string line = kesto::one_line_text(body, kesto::kBackendTextBytes);
  check_line(line, kesto::kBackendTextBytes);
  bool plain = true;
  for (std::size_t i = 0; i < body.size() && i < kesto::kBackendTextBytes; ++i) {
    plain = plain && body[i] >= 0x20 && body[i] < 0x7F;
  }
  if (plain) require(line == body.substr(0, kesto::kBackendTextBytes), "printable ASCII is kept as it is");
  return 0;
}
