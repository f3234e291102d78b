#pragma once
// The clip `trevane` reads: an image sequence (a folder, or a numbered pattern, of files in any format
// OpenImageIO reads) or a video file (any container and codec FFmpeg decodes), each frame served as an RGBA
// image at the clip's depth and size.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/ClipPixels.h"
#include "host/Host.h"

namespace trevane::cli {

struct ClipFrame {
  long long number = 0;  // the file's number (or its place in a folder of unnumbered files); 0-based in a video
  std::string path;      // the file of a sequence frame; empty in a video
  std::optional<std::array<std::uint32_t, 2>> timecode;  // SMPTE time and flags, user bits, when the file has one
};

struct ClipRequest {
  std::string input;
  std::optional<long long> first;  // default: the first frame found
  std::optional<long long> last;   // default: the last frame found
  host::PixelDepth depth = host::PixelDepth::Byte;
  ProxyScale proxy;
};

class ClipSource {
 public:
  virtual ~ClipSource() = default;
  // The frames from first to last, every number in between present.
  const std::vector<ClipFrame> &frames() const { return frames_; }
  FrameSize size() const { return size_; }  // of every frame served
  // The files' own rate (a video's, or the sequence's metadata), when they have one.
  std::optional<double> frameRate() const { return frameRate_; }
  float pixelAspect() const { return pixelAspect_; }
  // The video file, or empty for a sequence.
  const std::string &videoPath() const { return videoPath_; }
  // The format the sequence's files are in ("openexr", "png", ...), empty for a video.
  const std::string &fileFormat() const { return fileFormat_; }

  // Frame `number` at the clip's depth and size, or null when there is no such frame. Throws UsageError
  // naming the file or the frame when it cannot be decoded. Safe to call from several threads at once.
  virtual std::shared_ptr<const host::Image> read(long long number) = 0;

 protected:
  std::vector<ClipFrame> frames_;
  FrameSize size_;
  std::optional<double> frameRate_;
  float pixelAspect_ = 1.0f;
  std::string videoPath_;
  std::string fileFormat_;
};

// Opens `request.input` as a video when it is a file, as a sequence when it is a folder or a numbered
// pattern. Every frame's header is read here: a missing frame, a file that cannot be read, a frame of
// another size than the first, or a video that cannot be opened fails with UsageError saying which.
std::unique_ptr<ClipSource> openClip(const ClipRequest &request);

// Opens one image file as a clip frame at `depth`; UsageError when it cannot be read.
host::Image readImageFile(const std::string &path, host::PixelDepth depth);

}  // namespace trevane::cli
