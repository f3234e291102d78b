#include "chain/Chain.h"

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

namespace kesto {
namespace {

using nlohmann::json;

// Doubles beyond this magnitude have no integral part that fits a 64-bit integer.
constexpr double kInt64LimitAsDouble = 9223372036854775808.0;  // 2^63

std::string read_string(const json &object, const char *key) {
  const auto member = object.find(key);
  if (member == object.end()) return std::string();
  if (!member->is_string()) throw std::invalid_argument(std::string("member is not a string: ") + key);
  return member->get<std::string>();
}

// Integers keep their low 32 bits, floating numbers are truncated toward zero first, booleans count 1 or 0.
std::int32_t read_seed(const json &object) {
  const auto member = object.find("seed");
  if (member == object.end()) return 0;
  std::uint64_t bits = 0;
  if (member->is_number_unsigned()) {
    bits = member->get<std::uint64_t>();
  } else if (member->is_number_integer()) {
    bits = static_cast<std::uint64_t>(member->get<std::int64_t>());
  } else if (member->is_number_float()) {
    const double truncated = std::trunc(member->get<double>());
    // Converting an out-of-range double to an integer is undefined; refuse it instead.
    if (!(truncated > -kInt64LimitAsDouble && truncated < kInt64LimitAsDouble)) {
      throw std::out_of_range("seed out of range");
    }
    bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(truncated));
  } else if (member->is_boolean()) {
    bits = member->get<bool>() ? 1u : 0u;
  } else {
    throw std::invalid_argument("seed is not a number");
  }
  const auto low = static_cast<std::uint32_t>(bits & 0xFFFFFFFFu);
  return low <= 0x7FFFFFFFu ? static_cast<std::int32_t>(low)
                            : static_cast<std::int32_t>(static_cast<std::int64_t>(low) - 0x100000000LL);
}

double read_duration(const json &object) {
  const auto member = object.find("duration_sec");
  if (member == object.end()) return 0.0;
  if (!member->is_number()) throw std::invalid_argument("duration_sec is not a number");
  return member->get<double>();
}

bool read_completed(const json &object) {
  const auto member = object.find("completed");
  if (member == object.end()) return false;
  if (!member->is_boolean()) throw std::invalid_argument("completed is not a boolean");
  return member->get<bool>();
}

ChainNode node_from_json(const json &value) {
  if (!value.is_object()) throw std::invalid_argument("chain entry is not an object");
  ChainNode node;
  node.task_id = read_string(value, "task_id");
  node.parent_task_id = read_string(value, "parent_task_id");
  node.prompt = read_string(value, "prompt");
  node.video_url = read_string(value, "video_url");
  node.seed = read_seed(value);
  node.duration_sec = read_duration(value);
  node.completed = read_completed(value);
  return node;
}

json node_to_json(const ChainNode &node) {
  // JSON has no text for NaN or infinity: the library would write null, which load then refuses, and the
  // whole chain would be lost on the way back. Refuse it here, like text that is not UTF-8.
  if (!std::isfinite(node.duration_sec)) throw std::domain_error("duration_sec is not a finite number");
  json object = json::object();
  object["task_id"] = node.task_id;
  object["parent_task_id"] = node.parent_task_id;
  object["prompt"] = node.prompt;
  object["video_url"] = node.video_url;
  object["seed"] = node.seed;
  object["duration_sec"] = node.duration_sec;
  object["completed"] = node.completed;
  return object;
}

}  // namespace

bool operator==(const ChainNode &a, const ChainNode &b) noexcept {
  return a.task_id == b.task_id && a.parent_task_id == b.parent_task_id && a.prompt == b.prompt &&
         a.video_url == b.video_url && a.seed == b.seed && a.duration_sec == b.duration_sec &&
         a.completed == b.completed;
}

bool operator!=(const ChainNode &a, const ChainNode &b) noexcept { return !(a == b); }

void Chain::load(const std::string &text) noexcept {
  nodes.clear();
  if (text.empty()) return;
  try {
    const json parsed = json::parse(text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);
    std::vector<ChainNode> loaded;
    if (parsed.is_array() || parsed.is_object()) {
      // An object's values come in ascending key order: the library keeps object keys sorted.
      for (const auto &value : parsed) loaded.push_back(node_from_json(value));
    } else if (!parsed.is_null()) {
      loaded.push_back(node_from_json(parsed));
    }
    nodes = std::move(loaded);
  } catch (...) {
    // All or nothing: any failure leaves the chain empty, which is the whole of the report.
    nodes.clear();
  }
}

std::string Chain::dump() const {
  json array = json::array();
  for (const auto &node : nodes) array.push_back(node_to_json(node));
  return array.dump(-1, ' ', /*ensure_ascii=*/false, json::error_handler_t::strict);
}

}  // namespace kesto
