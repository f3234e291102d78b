#pragma once
// Reading the matting backend's replies: which reply counts as usable, which member of which type is taken,
// and how backend text becomes one safe line of status text. Pure functions. Private to plugin/.

#include <cstddef>
#include <string>

#include "net/HttpClient.h"

namespace kesto {

// Bytes of a rejected start reply quoted in the failure text.
inline constexpr std::size_t kStartRejectQuoteBytes = 160;
// Bytes of a backend's own error or stage text taken over.
inline constexpr std::size_t kBackendTextBytes = 300;

// 200 to 299.
bool http_success(long status) noexcept;

// The reply to "create session".
struct SessionReply {
  enum class Kind {
    Unusable,  // not 200-299, not one strict JSON text, not an object, or "session_id" not a string
    BadId,     // "session_id" absent, empty, or not a safe single path segment
    Ok,
  };
  Kind kind = Kind::Unusable;
  std::string sessionId;  // set for Ok
};
SessionReply read_session_reply(const HttpResponse &response);

// One status poll.
struct PollReply {
  enum class Kind {
    Unusable,   // not 200-299, not one strict JSON text, not an object, or "status" present but not a string
    Running,    // any other "status", the empty one included
    Completed,  // "status" exactly "COMPLETED"
    Failed,     // "status" exactly "FAILED"
  };
  Kind kind = Kind::Unusable;
  bool hasProgress = false;  // Running with a "progress" object
  std::string stage;         // its "stage" text, "..." when absent or not a string
  std::string failure;       // Failed: the "error" text, "matting failed" when absent, empty or not a string
};
PollReply read_poll_reply(const HttpResponse &response);

// The failure reason of a rejected start: "start rejected: " and the start of the body.
std::string start_rejected_reason(const std::string &body);

// At most the first `maxBytes` bytes of `bytes` as one line of UTF-8: a character cut by the limit is left
// out, bytes that are not UTF-8 become U+FFFD, control characters become spaces.
std::string one_line_text(const std::string &bytes, std::size_t maxBytes);

}  // namespace kesto
