// Built only under ThreadSanitizer (see CMakeLists.txt). OpenCV hands the pieces of its loops to a TBB
// thread pool that Debian ships without instrumentation, so TSan cannot see how those threads are ordered
// and would report every such loop as a race. With zero threads OpenCV runs each loop on the calling thread;
// the backend's own std::threads still run in parallel, and TSan still checks them.

#include <opencv2/core/utility.hpp>

namespace {

[[maybe_unused]] const bool gOpenCvLoopsOnCallingThread = [] {
  cv::setNumThreads(0);
  return true;
}();

}  // namespace
