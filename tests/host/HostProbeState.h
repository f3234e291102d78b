#pragma once
// What the HostProbe test plug-in observed, read by the host tests through the exported HostProbeState().
// Statuses start at -1: "never tried".

#include <atomic>

namespace host_probe {

struct State {
  std::atomic<int> unloads{0};
  std::atomic<int> beginChanged{0}, changed{0}, endChanged{0};
  std::atomic<int> secondReleaseStatus{-1};
  std::atomic<int> renderParamSetStatus{-1};      // paramSetValue tried during render
  std::atomic<int> outputOtherTimeStatus{-1};     // clipGetImage of "Output" at another time during render
  std::atomic<int> defineDuplicateStatus{-1};
  char lastChangedName[64] = {};
  char lastReason[64] = {};
};

}  // namespace host_probe

extern "C" host_probe::State *HostProbeState();
