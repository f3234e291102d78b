#pragma once
// Strict parsing of every client-supplied value: JSON bodies, path segments. Each function either returns a
// complete, range-checked value or an ApiError whose message names the offending member.

#include <cstddef>
#include <string>
#include <string_view>

#include "backend/matting/JobRequest.h"
#include "Result.h"
#include "ServiceRequests.h"

namespace kesto::backend {

inline constexpr std::size_t kSessionIdHexDigits = 32;
inline constexpr std::size_t kMaxNodeNameBytes = 16;
inline constexpr std::size_t kMaxJsonBodyBytes = 1024 * 1024;
inline constexpr std::size_t kMaxTextPromptBytes = 1024;
inline constexpr std::size_t kMaxStrokeCount = 4096;
inline constexpr std::size_t kMaxShortTextBytes = 128;
inline constexpr double kMaxFps = 1000.0;
inline constexpr double kMaxDabRadius = 1.0;
// Box edges may stray this far outside the unit square (rounding in the client) before the box is refused.
inline constexpr double kBoxSlack = 1e-6;

// A node name: 1 to 16 lower-case letters and digits.
bool is_valid_node_name(std::string_view text);

// Session ids are 32 lower-case hex digits, after "NODE-" on a named node: always one safe path segment.
bool is_valid_session_id(std::string_view text);

// The node named in a valid session id; empty for an id without one.
std::string_view session_node(std::string_view id);

// A frame index: plain decimal without sign or leading zeros, below max_frames.
Result<int> parse_frame_index(std::string_view text, int max_frames);

Result<CreateSessionRequest> parse_create_session(std::string_view body);

// frame_count: frames uploaded so far; the anchor must name one of them.
Result<JobRequest> parse_job_request(std::string_view body, int frame_count);

Result<BeaconReport> parse_beacon(std::string_view body);

}  // namespace kesto::backend
