#pragma once
// Which effect instances are alive. The matte worker outlives the action that started it and holds a bare
// instance handle; before every parameter write and message it asks here, under the registry's lock, and
// keeps the lock across the host call, so a destroy-instance action waits for a write in flight and no
// write reaches a destroyed instance. Private to plugin/.
//
// Each registration gets a fresh ticket, so a handle that the host reuses for a later instance does not
// revive a job of the earlier one.

#include <cstdint>
#include <functional>

#include "ofxImageEffect.h"

namespace kesto {

// Create-instance: registers the instance (again, with a new ticket, if it was). Returns the ticket.
std::uint64_t register_live_instance(OfxImageEffectHandle effect);
// Destroy-instance: forgets the instance; waits while a worker is calling the host for it.
void forget_live_instance(OfxImageEffectHandle effect);
// The ticket of a live instance, registering it when the host skipped create-instance; never 0.
std::uint64_t live_instance_ticket(OfxImageEffectHandle effect);
// True when the instance still lives with that ticket.
bool instance_lives(OfxImageEffectHandle effect, std::uint64_t ticket);
// Runs `call` under the registry's lock when the instance still lives with that ticket; false (and `call`
// not run) otherwise. `call` must not create or destroy instances.
bool with_live_instance(OfxImageEffectHandle effect, std::uint64_t ticket, const std::function<void()> &call);

}  // namespace kesto
