#include "SessionRecord.h"

#include <array>
#include <nlohmann/json.hpp>

namespace kesto::backend {

namespace {

using nlohmann::json;
using Stage = SessionRecord::Stage;

constexpr int kRecordVersion = 1;
constexpr std::array<std::pair<Stage, const char*>, 4> kStageNames{{
    {Stage::Uploading, "uploading"},
    {Stage::Started, "started"},
    {Stage::Completed, "completed"},
    {Stage::Failed, "failed"},
}};

}  // namespace

std::string encode_session_record(const SessionRecord& record) {
  const char* stage = "uploading";
  for (const auto& [value, name] : kStageNames) {
    if (value == record.stage) stage = name;
  }
  const json doc{{"version", kRecordVersion},      {"stage", stage},         {"fps", record.fps},
                 {"source", record.source},         {"frame_count", record.frame_count},
                 {"error", record.error},           {"matte_bytes", record.matte_bytes}};
  return doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<SessionRecord> decode_session_record(std::string_view text) {
  const json doc = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object() || doc.value("version", 0) != kRecordVersion) return std::nullopt;
  try {
    SessionRecord record;
    const std::string stage = doc.at("stage").get<std::string>();
    bool known = false;
    for (const auto& [value, name] : kStageNames) {
      if (stage == name) {
        record.stage = value;
        known = true;
      }
    }
    if (!known) return std::nullopt;
    record.fps = doc.at("fps").get<double>();
    record.source = doc.at("source").get<std::string>();
    record.frame_count = doc.at("frame_count").get<int>();
    record.error = doc.at("error").get<std::string>();
    record.matte_bytes = doc.at("matte_bytes").get<std::vector<std::uint64_t>>();
    if (record.frame_count < 0) return std::nullopt;
    if (record.stage == Stage::Completed && record.matte_bytes.size() != static_cast<std::size_t>(record.frame_count)) {
      return std::nullopt;
    }
    return record;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

}  // namespace kesto::backend
