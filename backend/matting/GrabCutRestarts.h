#pragma once
// GrabCut starts its colour models from a random k-means split, and on real frames the outcome of one start
// is a lottery: the same box can give a clean character or lose half of it. Several starts from fixed seeds,
// keeping the labelling of lowest energy, make the result both better and the same on every run.

#include <cstdint>

#include <opencv2/core/mat.hpp>

namespace kesto::backend {

// The state OpenCV gives a new thread's RNG.
inline constexpr std::uint64_t kFreshRngState = 0xFFFFFFFFULL;

// Sets the calling thread's RNG (k-means in GrabCut draws from it) and puts it back at the end of the scope,
// so that a job gives the same result whatever ran on its thread before.
class ScopedRngSeed {
 public:
  explicit ScopedRngSeed(std::uint64_t state);
  ~ScopedRngSeed();
  ScopedRngSeed(const ScopedRngSeed&) = delete;
  ScopedRngSeed& operator=(const ScopedRngSeed&) = delete;

 private:
  std::uint64_t saved_;
};

// Like cv::grabCut with GC_INIT_WITH_MASK on `labels` (in and out), run from `starts` fixed seeds on up to
// `threads` threads; `labels` gets the labelling of lowest energy, and the calling thread's RNG is left as it
// was. Each call starts afresh, so a segmentation does not depend on what was segmented before it (the hint
// finder grows many candidates in turn). Throws cv::Exception as cv::grabCut does.
void grab_cut_best_start(const cv::Mat& bgr, cv::Mat& labels, int iterations, int starts, int threads);

// The energy GrabCut minimises for `labels` under the colour models it returned: the data term of every
// probable pixel plus the contrast-weighted cost of each 8-neighbour pair cut apart.
double grab_cut_energy(const cv::Mat& bgr, const cv::Mat& labels, const cv::Mat& bgd_model, const cv::Mat& fgd_model);

}  // namespace kesto::backend
