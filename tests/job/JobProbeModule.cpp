// A test build of the plug-in module: the same library as the shipped module, plus exported switches that
// let tests shorten the poll interval and silence limit, move the job root into a folder of their own,
// choose the spool threads, make the worker's thread fail to start, read the busy flag, and count the spool
// folders removed while the flag was still held. The shipped module exports none of this.

#include <atomic>
#include <chrono>

#include "ofxCore.h"
#include "plugin/Job.h"
#include "plugin/JobSeams.h"

namespace {

std::atomic<int> gRemovedWhileBusy{0};

// Runs on the thread that removes the folder, before that thread may clear the flag.
void countIfBusy(const char *) {
  if (kesto::gBusy.load()) gRemovedWhileBusy.fetch_add(1);
}

}  // namespace

extern "C" {

OfxExport void trevaneJobProbeConfigure(int pollIntervalMs, int silenceLimitMs, int spoolThreads, const char *root) {
  kesto::detail::setPollTimingForTests(std::chrono::milliseconds(pollIntervalMs),
                                       std::chrono::milliseconds(silenceLimitMs));
  kesto::detail::setSpoolThreadsForTests(spoolThreads);
  kesto::detail::setJobRootForTests(root != nullptr ? root : "");
  kesto::detail::setSpoolRemovedHookForTests(root != nullptr ? countIfBusy : nullptr);
}

// Spool folders removed while the busy flag was held, since the last call. Read once the flag is seen free,
// a job's folder must be counted: a flag cleared before the folder went gives 0, however the threads ran.
OfxExport int trevaneJobProbeTakeSpoolsRemovedWhileBusy() { return gRemovedWhileBusy.exchange(0); }

OfxExport int trevaneJobProbeBusy() { return kesto::gBusy.load() ? 1 : 0; }

OfxExport void trevaneJobProbeFailNextWorkerStart() { kesto::detail::failNextWorkerStartForTests(); }

}  // extern "C"
