// A test build of the plug-in module: the same library as the shipped module, plus exported switches that
// let tests shorten the poll interval and silence limit, move the job root into a folder of their own,
// choose the spool threads, make the worker's thread fail to start, and read the busy flag. The shipped
// module exports none of this.

#include <chrono>

#include "ofxCore.h"
#include "plugin/Job.h"
#include "plugin/JobSeams.h"

extern "C" {

OfxExport void trevaneJobProbeConfigure(int pollIntervalMs, int silenceLimitMs, int spoolThreads, const char *root) {
  kesto::detail::setPollTimingForTests(std::chrono::milliseconds(pollIntervalMs),
                                       std::chrono::milliseconds(silenceLimitMs));
  kesto::detail::setSpoolThreadsForTests(spoolThreads);
  kesto::detail::setJobRootForTests(root != nullptr ? root : "");
}

OfxExport int trevaneJobProbeBusy() { return kesto::gBusy.load() ? 1 : 0; }

OfxExport void trevaneJobProbeFailNextWorkerStart() { kesto::detail::failNextWorkerStartForTests(); }

}  // extern "C"
