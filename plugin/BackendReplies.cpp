#include "plugin/BackendReplies.h"

#include <nlohmann/json.hpp>

#include "plugin/SessionId.h"

namespace kesto {
namespace {

using nlohmann::json;

constexpr const char *kReplacementCharacter = "\xEF\xBF\xBD";
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kFirstPrintable = 0x20;

// Strict parse with exceptions off: anything but one JSON text gives a discarded value.
json parse_reply(const HttpResponse &response) {
  if (!http_success(response.status)) return json(json::value_t::discarded);
  return json::parse(response.body, nullptr, false);
}

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 character at `at` (1 to 4), or 0 when the bytes there are not one.
std::size_t utf8_length(const std::string &text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const std::size_t left = text.size() - at;
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return left >= 2 && continuation(byte(1)) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (left < 3 || !continuation(byte(1)) || !continuation(byte(2))) return 0;
    if (lead == 0xE0 && byte(1) < 0xA0) return 0;  // overlong
    if (lead == 0xED && byte(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (left < 4 || !continuation(byte(1)) || !continuation(byte(2)) || !continuation(byte(3))) return 0;
    if (lead == 0xF0 && byte(1) < 0x90) return 0;  // overlong
    if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

// The text of a string member, or none.
const std::string *string_member(const json &object, const char *name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get_ptr<const std::string *>() : nullptr;
}

}  // namespace

bool http_success(long status) noexcept { return status >= 200 && status <= 299; }

SessionReply read_session_reply(const HttpResponse &response) {
  const json reply = parse_reply(response);
  SessionReply result;
  if (!reply.is_object()) return result;
  const auto id = reply.find("session_id");
  if (id != reply.end() && !id->is_string()) return result;
  result.kind = SessionReply::Kind::BadId;
  if (id == reply.end()) return result;
  const std::string &text = id->get_ref<const std::string &>();
  if (!is_safe_session_id(text)) return result;
  result.kind = SessionReply::Kind::Ok;
  result.sessionId = text;
  return result;
}

PollReply read_poll_reply(const HttpResponse &response) {
  const json reply = parse_reply(response);
  PollReply result;
  if (!reply.is_object()) return result;
  const auto status = reply.find("status");
  if (status != reply.end() && !status->is_string()) return result;
  const std::string state = status == reply.end() ? std::string() : status->get<std::string>();
  if (state == "FAILED") {
    result.kind = PollReply::Kind::Failed;
    const std::string *error = string_member(reply, "error");
    result.failure = error != nullptr ? one_line_text(*error, kBackendTextBytes) : std::string();
    if (result.failure.empty()) result.failure = "matting failed";
    return result;
  }
  if (state == "COMPLETED") {
    result.kind = PollReply::Kind::Completed;
    return result;
  }
  result.kind = PollReply::Kind::Running;
  const auto progress = reply.find("progress");
  if (progress != reply.end() && progress->is_object()) {
    result.hasProgress = true;
    const std::string *stage = string_member(*progress, "stage");
    result.stage = stage != nullptr ? one_line_text(*stage, kBackendTextBytes) : std::string("...");
  }
  return result;
}

std::string start_rejected_reason(const std::string &body) {
  return "start rejected: " + one_line_text(body, kStartRejectQuoteBytes);
}

std::string one_line_text(const std::string &bytes, std::size_t maxBytes) {
  std::string line;
  std::size_t at = 0;
  const std::size_t end = bytes.size() < maxBytes ? bytes.size() : maxBytes;
  while (at < end) {
    const std::size_t length = utf8_length(bytes, at);
    if (length == 0) {
      line += kReplacementCharacter;
      ++at;
      continue;
    }
    if (at + length > end) break;  // a whole character that the limit cuts
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (length == 1 && (lead < kFirstPrintable || lead == kDelete)) {
      line += ' ';
    } else {
      line.append(bytes, at, length);
    }
    at += length;
  }
  return line;
}

}  // namespace kesto
