#pragma once
// Runs a per-frame function over frames [begin, end) on a few threads, for work where frames are independent.
// Stops handing out frames after the first failure or a cancel, and returns the first failure's reason.

#include <functional>
#include <optional>
#include <string>

namespace kesto::backend {

// fn(index) returns an empty optional on success, else the reason. `stop` is polled between frames.
std::optional<std::string> for_each_frame_parallel(int begin, int end, int threads,
                                                   const std::function<std::optional<std::string>(int)>& fn,
                                                   const std::function<bool()>& stop);

// Threads worth using for frame work on this machine: the hardware's count, at least 1, at most 8.
int frame_worker_count();

}  // namespace kesto::backend
