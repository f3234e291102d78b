#pragma once
// Spooling a clip: every frame fetched in order on the calling thread (hosts hand out images only on the
// action's own thread), then JPEG-encoded and written into the spool folder. With more than one thread the
// encoding and writing run on a small pool, overlapping the fetch of the next frame, with at most
// kMaxFramesInFlight pictures in memory whatever the clip's length. Private to plugin/.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "plugin/SpoolImage.h"

namespace kesto {

inline constexpr int kSpoolJpegQuality = 92;
// Pictures held at once: the one being fetched plus those waiting for or in the encoders.
inline constexpr int kMaxFramesInFlight = 4;

// Fetches frame `index` (0-based) as a spooled picture, on the calling thread; none when it cannot be read.
// May throw std::bad_alloc.
using FrameFetch = std::function<std::optional<RgbaFrame>(std::int32_t index)>;

struct SpoolFailure {
  enum class Kind { Read, Encode, Write };
  Kind kind = Kind::Read;
  std::int32_t frame = 0;  // 0-based
};

// The spool file of frame `index`: `spoolDir` (ending in '/') + the index as "%06d" + ".jpg".
std::string spool_file_path(const std::string &spoolDir, std::int32_t index);

// Spools frames 0 .. frameCount - 1 with `threads` encoder threads (1 or less: all on the calling thread; a
// pool that cannot start its threads runs with those it got, or on the calling thread). Stops at the first
// failure; when several frames fail, the one with the lowest index is reported, as a sequential spool would.
// All threads are joined before it returns. None on success.
std::optional<SpoolFailure> spool_frames(std::int32_t frameCount, const FrameFetch &fetch,
                                         const std::string &spoolDir, int threads);

// "could not read frame 3", "could not encode frame 3", "could not write frame 3 to <folder>".
std::string spool_failure_text(const SpoolFailure &failure, const std::string &spoolDir);

}  // namespace kesto
