// Video files through OpenCV's FFmpeg capture. OpenImageIO 2.4's own FFmpeg reader maps frame numbers to
// times at a constant rate, so on a phone's variable-rate clip it returns some frames twice and skips others,
// it repeats the frame before the last ones of an H.264 clip, and a truncated MP4 aborts it inside swscale.
// Frames are decoded in order from the start, never sought: seeking lands on key frames in some containers
// and would shift the clip silently.

#include <cmath>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "cli/Cli.h"
#include "cli/ClipKinds.h"

namespace trevane::cli {
namespace {

constexpr std::size_t kKeptBytes = std::size_t{512} << 20;

// FFmpeg's own messages would follow the tool's one-line error; OpenCV passes this level on when it first
// loads FFmpeg (AV_LOG_QUIET). A level the user set is left alone.
void quietDecoders() {
  static const bool once = [] {
    ::setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    return true;
  }();
  (void)once;
}

class VideoClip final : public ClipSource {
 public:
  explicit VideoClip(const ClipRequest &request) : depth_(request.depth) {
    videoPath_ = request.input;
    open();
    const long long count = std::llround(capture_.get(cv::CAP_PROP_FRAME_COUNT));
    cv::Mat first;
    if (count <= 0 || !capture_.read(first) || first.empty()) {
      throw UsageError("--input: cannot decode the video '" + videoPath_ + "'");
    }
    next_ = 1;
    fileSize_ = {first.cols, first.rows};
    size_ = request.proxy.of(fileSize_);
    const double fps = capture_.get(cv::CAP_PROP_FPS);
    if (fps > 0.0 && std::isfinite(fps)) frameRate_ = fps;
    const double sarNum = capture_.get(cv::CAP_PROP_SAR_NUM);
    const double sarDen = capture_.get(cv::CAP_PROP_SAR_DEN);
    if (sarNum > 0.0 && sarDen > 0.0) pixelAspect_ = static_cast<float>(sarNum / sarDen);

    const long long from = request.first.value_or(0);
    const long long to = request.last.value_or(count - 1);
    if (from > to) {
      throw UsageError("the first frame (" + std::to_string(from) + ") comes after the last (" + std::to_string(to) +
                       ")");
    }
    if (to >= count) {
      throw UsageError("frame " + std::to_string(to) + " of '" + videoPath_ + "' is missing: the video has " +
                       std::to_string(count) + " frames, 0 to " + std::to_string(count - 1));
    }
    for (long long n = from; n <= to; ++n) frames_.push_back({n, std::string(), std::nullopt});
    if (from == 0) keep(0, first);
  }

  std::shared_ptr<const host::Image> read(long long number) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frames_.empty() || number < frames_.front().number || number > frames_.back().number) return nullptr;
    if (const auto kept = kept_.find(number); kept != kept_.end()) return kept->second;
    if (number < next_) {
      open();
      next_ = 0;
    }
    for (; next_ < number; ++next_) {
      if (!capture_.grab()) throw ended();
    }
    cv::Mat bgr;
    if (!capture_.read(bgr) || bgr.empty()) throw ended();
    ++next_;
    if (FrameSize{bgr.cols, bgr.rows} != fileSize_) {
      throw UsageError("frame " + std::to_string(number) + " of '" + videoPath_ + "' changes the picture's size");
    }
    return keep(number, bgr);
  }

 private:
  void open() {
    quietDecoders();
    capture_.release();
    if (!capture_.open(videoPath_, cv::CAP_FFMPEG)) {
      throw UsageError("--input: cannot open the video '" + videoPath_ + "'");
    }
  }

  UsageError ended() const {
    return UsageError("the video '" + videoPath_ + "' ended before frame " + std::to_string(next_));
  }

  std::shared_ptr<const host::Image> keep(long long number, const cv::Mat &bgr) {
    // A proxy is scaled here, by OpenCV's area averaging (the same as clipFrame's box, several times faster
    // on 8-bit frames), before the colour conversion works on the smaller frame.
    cv::Mat scaled = bgr;
    if (size_ != fileSize_) cv::resize(bgr, scaled, cv::Size(size_.width, size_.height), 0, 0, cv::INTER_AREA);
    cv::Mat rgb;
    cv::cvtColor(scaled, rgb, cv::COLOR_BGR2RGB);
    const OIIO::ImageBuf decoded(OIIO::ImageSpec(rgb.cols, rgb.rows, 3, OIIO::TypeDesc::UINT8), rgb.data,
                                 OIIO::AutoStride, static_cast<OIIO::stride_t>(rgb.step));
    auto frame = std::make_shared<const host::Image>(clipFrame(decoded, -1, size_, depth_));
    const auto sizeOf = [](const host::Image &i) {
      return static_cast<std::size_t>(i.height()) * static_cast<std::size_t>(i.rowBytes());
    };
    const std::size_t bytes = sizeOf(*frame);
    while (!order_.empty() && keptBytes_ + bytes > kKeptBytes) {
      keptBytes_ -= sizeOf(*kept_.at(order_.front()));
      kept_.erase(order_.front());
      order_.pop_front();
    }
    kept_[number] = frame;
    order_.push_back(number);
    keptBytes_ += bytes;
    return frame;
  }

  host::PixelDepth depth_;
  FrameSize fileSize_;
  std::mutex mutex_;
  cv::VideoCapture capture_;
  long long next_ = 0;  // the number of the frame the capture decodes next
  // Decoded frames, the oldest dropped first: the host asks for every frame twice (once to send it to the
  // backend, once to render it), and a clip that fits is decoded once.
  std::map<long long, std::shared_ptr<const host::Image>> kept_;
  std::deque<long long> order_;
  std::size_t keptBytes_ = 0;
};

}  // namespace

std::unique_ptr<ClipSource> openVideo(const ClipRequest &request) { return std::make_unique<VideoClip>(request); }

}  // namespace trevane::cli
