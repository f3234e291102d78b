#pragma once
// What the HostProbe test plug-in observed, read by the host tests through the exported HostProbeState().

#include <atomic>

namespace host_probe {

// Checks run when the "run_checks" button is pressed; each slot holds the status the host returned.
enum Check {
  kUnknownName,         // propGetString of a name the set does not know
  kWrongType,           // propGetInt of a string property
  kBadIndex,            // propGetDouble at index 2 of a 2-dimensional property
  kReadOnly,            // propSetString of the instance's context
  kNullSet,             // propGetString on a null set
  kNullName,            // propGetString with a null name
  kDimension,           // propGetDimension of the project size (status)
  kUnknownParam,        // paramGetHandle of an unknown name
  kOutputOutsideRender, // clipGetImage of "Output" during instance changed
  kButtonValue,         // paramGetValue of a push button
  kGarbageRelease,      // clipReleaseImage of a made-up handle
  kStaleTextOk,         // 1 when a text read before a set still reads back unchanged afterwards
  kFixedExtend,         // propSetDouble at index 2 of the read-only, 2-dimensional project size
  kEditEndAlone,        // paramEditEnd without a paramEditBegin
  kWrongKindHandle,     // imageMemoryLock of the effect's own handle
  kCheckCount
};

struct State {
  std::atomic<int> suiteMask{0};  // 1 property, 2 image effect, 4 parameter, 8 interact, 16 message
  std::atomic<int> loads{0}, unloads{0}, describes{0}, describeInContexts{0};
  std::atomic<int> creates{0}, destroys{0};
  std::atomic<int> beginChanged{0}, changed{0}, endChanged{0};
  std::atomic<int> renders{0}, concurrentNow{0}, maxConcurrent{0}, renderThreads{0};
  std::atomic<int> secondReleaseStatus{-1};
  std::atomic<int> renderParamSetStatus{-1};  // paramSetValue tried during render
  std::atomic<int> outputOtherTimeStatus{-1};  // clipGetImage of "Output" at another time during render
  std::atomic<int> describeUnknownStatus{-1};   // setting a misspelled effect property in describe
  std::atomic<int> defineUnsupportedStatus{-1};  // paramDefine of an RGBA parameter
  std::atomic<int> defineDuplicateStatus{-1};
  std::atomic<int> clipDefineInDescribeStatus{-1};  // clipDefine in the general describe
  std::atomic<int> overlayDescriptorEffectStatus{-1};  // reading OfxPropEffectInstance on the descriptor
  std::atomic<int> overlayDraws{0}, overlayPens{0};
  std::atomic<int> penX{0}, penY{0};
  std::atomic<int> checks[kCheckCount] = {};
  std::atomic<int> dimension{-1};
  char lastChangedName[64] = {};
  char lastReason[64] = {};
};

}  // namespace host_probe

extern "C" host_probe::State *HostProbeState();
