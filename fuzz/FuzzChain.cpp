// Task chain records: loading any text never fails loudly, and whatever loads dumps to a text that loads
// back to the same nodes. Chains built straight from raw bytes (any strings, seeds and durations) either
// dump to a text that loads back to the same nodes or are refused by dump with its documented errors.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "chain/Chain.h"
#include "fuzz/FuzzCheck.h"

namespace {

using kesto::Chain;
using kesto::ChainNode;
using kesto::fuzz::require;

// Cuts raw input into node fields: each string a length-prefixed slice, numbers from their bit patterns.
class Cutter {
 public:
  Cutter(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  std::string text() {
    const std::size_t want = next_byte() % 16;
    const std::size_t take = want < size_ - at_ ? want : size_ - at_;
    std::string out(reinterpret_cast<const char *>(data_ + at_), take);
    at_ += take;
    return out;
  }
  template <typename T>
  T number() {
    T value{};
    unsigned char bytes[sizeof(T)] = {};
    for (unsigned char &b : bytes) b = next_byte();
    std::memcpy(&value, bytes, sizeof(T));
    return value;
  }

 private:
  std::uint8_t next_byte() { return at_ < size_ ? data_[at_++] : 0; }
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void round_trip(const Chain &chain) {
  std::string text;
  try {
    text = chain.dump();
  } catch (const nlohmann::json::exception &) {
    return;  // documented refusal of a string that is not UTF-8
  } catch (const std::domain_error &) {
    return;  // documented refusal of a duration that JSON cannot hold
  }
  Chain again;
  again.load(text);
  require(again.nodes == chain.nodes, "dump then load gives back the same nodes");
  require(again.dump() == text, "a loaded dump dumps to the same text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  Chain chain;
  chain.load(text);
  round_trip(chain);

  Chain built;
  Cutter cut(data, size);
  while (!cut.done() && built.nodes.size() < 8) {
    ChainNode node;
    node.task_id = cut.text();
    node.parent_task_id = cut.text();
    node.prompt = cut.text();
    node.video_url = cut.text();
    node.seed = cut.number<std::int32_t>();
    node.duration_sec = cut.number<double>();
    node.completed = (cut.number<std::uint8_t>() & 1) != 0;
    built.nodes.push_back(node);
  }
  round_trip(built);
  return 0;
}
