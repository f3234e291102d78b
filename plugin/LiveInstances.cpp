#include "plugin/LiveInstances.h"

#include <mutex>
#include <unordered_map>

namespace kesto {
namespace {

struct Registry {
  std::mutex mu;
  std::unordered_map<OfxImageEffectHandle, std::uint64_t> tickets;
  std::uint64_t lastTicket = 0;
};

// Never destroyed: a detached worker may still ask while the process exits.
Registry &registry() {
  static auto *state = new Registry;
  return *state;
}

}  // namespace

std::uint64_t register_live_instance(OfxImageEffectHandle effect) {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  const std::uint64_t ticket = ++r.lastTicket;
  r.tickets[effect] = ticket;
  return ticket;
}

void forget_live_instance(OfxImageEffectHandle effect) {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.tickets.erase(effect);
}

std::uint64_t live_instance_ticket(OfxImageEffectHandle effect) {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto found = r.tickets.find(effect);
  if (found != r.tickets.end()) return found->second;
  const std::uint64_t ticket = ++r.lastTicket;
  r.tickets.emplace(effect, ticket);
  return ticket;
}

bool instance_lives(OfxImageEffectHandle effect, std::uint64_t ticket) {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto found = r.tickets.find(effect);
  return found != r.tickets.end() && found->second == ticket;
}

bool with_live_instance(OfxImageEffectHandle effect, std::uint64_t ticket, const std::function<void()> &call) {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto found = r.tickets.find(effect);
  if (found == r.tickets.end() || found->second != ticket) return false;
  call();
  return true;
}

}  // namespace kesto
