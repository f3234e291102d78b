#pragma once
// What a session keeps on disk about itself, so a restarted server can serve a finished job again: written
// (atomically) whenever the session's state changes, read once when the server starts on the same folder.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kesto::backend {

// The file in a session's folder holding its record; its presence also marks the folder as a session's.
inline constexpr const char* kSessionRecordFile = ".trevane-session";

struct SessionRecord {
  enum class Stage { Uploading, Started, Completed, Failed };
  Stage stage = Stage::Uploading;
  double fps = 0.0;
  std::string source;
  int frame_count = 0;                     // once started
  std::string error;                       // Failed
  std::vector<std::uint64_t> matte_bytes;  // Completed: the size of each matte, to tell a whole file from a cut one
};

std::string encode_session_record(const SessionRecord& record);
// Nothing for text that is not a record this version wrote.
std::optional<SessionRecord> decode_session_record(std::string_view text);

}  // namespace kesto::backend
