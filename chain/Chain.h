// Task chain records: generation tasks linked by parent identifiers, kept in the order of their JSON text.
//
// Load and dump neither sort the nodes nor follow or check the parent links: a parent that names no node,
// a repeated identifier and a cycle all pass through unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kesto {

// One generation task. Fields absent from a loaded text keep these defaults.
struct ChainNode {
  std::string task_id;
  std::string parent_task_id;  // "" when the task derives from none
  std::string prompt;
  std::string video_url;
  std::int32_t seed = 0;
  double duration_sec = 0.0;
  bool completed = false;
};

bool operator==(const ChainNode &a, const ChainNode &b) noexcept;
bool operator!=(const ChainNode &a, const ChainNode &b) noexcept;

class Chain {
 public:
  std::vector<ChainNode> nodes;

  // Replaces the nodes by those of a JSON text: an array of node objects, an object whose member values
  // are node objects (taken in ascending key order), or null. All or nothing: a text that cannot be
  // loaded whole (syntax error, a value that is not an object, a member of the wrong type or null)
  // leaves the chain empty. Never throws.
  void load(const std::string &text) noexcept;

  // The nodes as a compact JSON array, members in ascending key order, non-ASCII text unescaped.
  // Throws the JSON library's type error when a string field holds bytes that are not valid UTF-8, and
  // std::domain_error when a duration is NaN or infinite (JSON cannot hold it; load would refuse the text).
  std::string dump() const;
};

}  // namespace kesto
