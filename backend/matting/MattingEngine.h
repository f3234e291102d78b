#pragma once
// The one interface every matting engine implements. An engine mattes a whole clip: it reads frames through a
// FrameSource, writes one 8-bit matte per frame (at that frame's size) through a MatteSink, reports its stage
// and stops early when the job is cancelled. The classical OpenCV engine, the trivial test engine, or a neural
// model loaded through OpenCV's dnn module all sit behind it.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <opencv2/core/mat.hpp>

#include "JobRequest.h"

namespace kesto::backend {

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual int frame_count() const = 0;
  // Decodes frame `index` as 8-bit BGR into `bgr`. Safe to call from several threads at once.
  virtual bool read_frame(int index, cv::Mat& bgr, std::string& error) const = 0;
};

class MatteSink {
 public:
  virtual ~MatteSink() = default;
  // Stores the matte of frame `index`: CV_8UC1, 255 = character, at the frame's own size. Safe to call from
  // several threads at once for different frames.
  virtual bool write_matte(int index, const cv::Mat& alpha, std::string& error) = 0;
};

class JobMonitor {
 public:
  virtual ~JobMonitor() = default;
  virtual void report_stage(std::string stage) = 0;  // e.g. "propagating 37/120"
  virtual bool cancelled() const = 0;
};

struct EngineJob {
  const JobRequest& request;
  const FrameSource& frames;
  MatteSink& mattes;
  JobMonitor& monitor;
  std::filesystem::path scratch_dir;  // private to this job, emptied afterwards
};

// An empty value on success, else the reason shown to the user as the job's "error".
using EngineOutcome = std::optional<std::string>;

class MattingEngine {
 public:
  virtual ~MattingEngine() = default;
  virtual std::string_view name() const = 0;
  virtual EngineOutcome run(const EngineJob& job) = 0;
};

}  // namespace kesto::backend
