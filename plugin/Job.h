#pragma once
// The matte job: what the launch (on the host's thread) hands to the matte worker (on a thread of its own).
// Private to plugin/.

#include <atomic>
#include <cstdint>
#include <string>

#include "ofxImageEffect.h"

namespace kesto {

// True from the moment a launch passes its URL check until its job ends (the worker clears it) or the launch
// itself fails (the launch clears it). Process-wide: one matte job at a time across every instance.
extern std::atomic<bool> gBusy;

// Everything the worker runs on, owned by value; moved into the worker's thread.
struct PullAlphaJob {
  OfxImageEffectHandle effect = nullptr;  // not owned: written only while live_instances says it lives
  std::string backendUrl;                 // as the user typed it: nothing trimmed, no slash added
  std::string spoolDir;                   // ends in '/'
  std::int32_t frameCount = 0;            // at least 1
  double fps = 0.0;
  std::string jobJson;                    // the job request, compact
  std::uint64_t instanceTicket = 0;       // which life of `effect` the job belongs to (see LiveInstances.h)
};

// "Pull alpha (whole clip)": checks, spools every frame of "Source", then starts the worker. Reports only
// through host messages and parameters; never throws.
void pullAlpha(OfxImageEffectHandle effect, double time) noexcept;

// Runs one matte session to its end on the calling thread: uploads, polls, downloads, publishes. Clears
// gBusy when it returns; never throws.
void runMatteWorker(PullAlphaJob job) noexcept;

// Starts runMatteWorker on a detached thread. False when no thread could be started: the job is dropped and
// gBusy is left as it was, for the caller to clean up after.
bool startMatteWorker(PullAlphaJob job) noexcept;

}  // namespace kesto
