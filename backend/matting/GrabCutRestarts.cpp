#include "GrabCutRestarts.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "ParallelFrames.h"

namespace kesto::backend {

namespace {

// cv::grabCut's own constants: the smoothness weight and the layout of its 5-component colour models
// (weights, then 3 means and 9 covariances per component, all doubles).
constexpr double kGamma = 50.0;
constexpr int kComponents = 5;
// The first is the state a fresh thread's RNG starts in, so one start gives what cv::grabCut gives there.
constexpr std::array<std::uint64_t, 4> kSeeds = {kFreshRngState, 1ULL, 2ULL, 3ULL};

class Gmm {
 public:
  explicit Gmm(const cv::Mat& model) {
    const double* m = model.ptr<double>();
    for (int k = 0; k < kComponents; ++k) {
      Component& c = parts_[static_cast<std::size_t>(k)];
      c.weight = m[k];
      if (c.weight <= 0.0) continue;
      const cv::Matx33d cov(m + kComponents * 4 + 9 * k);
      const double det = cv::determinant(cov);
      if (!(det > 0.0)) {
        c.weight = 0.0;
        continue;
      }
      c.scale = c.weight / std::sqrt(det);
      c.inverse = cov.inv();
      c.mean = cv::Vec3d(m + kComponents + 3 * k);
    }
  }

  // -log of the model's likelihood of `colour`, bounded where the likelihood underflows.
  double cost(const cv::Vec3b& colour) const {
    double likelihood = 0.0;
    for (const Component& c : parts_) {
      if (c.weight <= 0.0) continue;
      const cv::Vec3d d = cv::Vec3d(colour[0], colour[1], colour[2]) - c.mean;
      likelihood += c.scale * std::exp(-0.5 * d.dot(c.inverse * d));
    }
    return -std::log(std::max(likelihood, std::numeric_limits<double>::min()));
  }

 private:
  struct Component {
    double weight = 0.0;
    double scale = 0.0;
    cv::Matx33d inverse;
    cv::Vec3d mean;
  };
  std::array<Component, kComponents> parts_{};
};

bool is_foreground(uchar label) { return label == cv::GC_FGD || label == cv::GC_PR_FGD; }

double squared_difference(const cv::Vec3b& a, const cv::Vec3b& b) {
  const cv::Vec3d d = cv::Vec3d(a[0], a[1], a[2]) - cv::Vec3d(b[0], b[1], b[2]);
  return d.dot(d);
}

// The four neighbours already visited in a raster scan: left, up-left, up, up-right.
struct Offset {
  int x;
  int y;
};
constexpr std::array<Offset, 4> kBackNeighbours = {{{-1, 0}, {-1, -1}, {0, -1}, {1, -1}}};

double contrast_beta(const cv::Mat& bgr) {
  double sum = 0.0;
  double pairs = 0.0;
  for (int y = 0; y < bgr.rows; ++y) {
    for (int x = 0; x < bgr.cols; ++x) {
      for (const Offset& n : kBackNeighbours) {
        const int nx = x + n.x;
        const int ny = y + n.y;
        if (nx < 0 || ny < 0 || nx >= bgr.cols) continue;
        sum += squared_difference(bgr.at<cv::Vec3b>(y, x), bgr.at<cv::Vec3b>(ny, nx));
        pairs += 1.0;
      }
    }
  }
  return sum <= std::numeric_limits<double>::epsilon() || pairs == 0.0 ? 0.0 : 1.0 / (2.0 * sum / pairs);
}

// The energy with the image's contrast factor already known (it depends on the image alone).
double cut_energy(const cv::Mat& bgr, const cv::Mat& labels, const cv::Mat& bgd_model, const cv::Mat& fgd_model,
                  double beta) {
  const Gmm background(bgd_model);
  const Gmm foreground(fgd_model);
  double energy = 0.0;
  for (int y = 0; y < bgr.rows; ++y) {
    for (int x = 0; x < bgr.cols; ++x) {
      const cv::Vec3b colour = bgr.at<cv::Vec3b>(y, x);
      const uchar label = labels.at<uchar>(y, x);
      // Definite pixels cost the same under every start: only the probable ones tell starts apart.
      if (label == cv::GC_PR_FGD) energy += foreground.cost(colour);
      if (label == cv::GC_PR_BGD) energy += background.cost(colour);
      for (const Offset& n : kBackNeighbours) {
        const int nx = x + n.x;
        const int ny = y + n.y;
        if (nx < 0 || ny < 0 || nx >= bgr.cols) continue;
        if (is_foreground(label) == is_foreground(labels.at<uchar>(ny, nx))) continue;
        const double weight = n.x != 0 && n.y != 0 ? kGamma / std::sqrt(2.0) : kGamma;
        energy += weight * std::exp(-beta * squared_difference(colour, bgr.at<cv::Vec3b>(ny, nx)));
      }
    }
  }
  return energy;
}

}  // namespace

ScopedRngSeed::ScopedRngSeed(std::uint64_t state) : saved_(cv::theRNG().state) { cv::theRNG().state = state; }

ScopedRngSeed::~ScopedRngSeed() { cv::theRNG().state = saved_; }

double grab_cut_energy(const cv::Mat& bgr, const cv::Mat& labels, const cv::Mat& bgd_model, const cv::Mat& fgd_model) {
  return cut_energy(bgr, labels, bgd_model, fgd_model, contrast_beta(bgr));
}

void grab_cut_best_start(const cv::Mat& bgr, cv::Mat& labels, int iterations, int starts, int threads) {
  const int count = std::clamp(starts, 1, static_cast<int>(kSeeds.size()));
  // One start has nothing to be compared with: its energy is not needed.
  const double beta = count > 1 ? contrast_beta(bgr) : 0.0;
  std::vector<cv::Mat> results(static_cast<std::size_t>(count));
  std::vector<double> energies(static_cast<std::size_t>(count), std::numeric_limits<double>::infinity());
  const auto run = [&](int i) -> std::optional<std::string> {
    const auto slot = static_cast<std::size_t>(i);
    cv::Mat attempt = labels.clone();
    cv::Mat bgd_model;
    cv::Mat fgd_model;
    try {
      const ScopedRngSeed rng(kSeeds[slot]);
      cv::grabCut(bgr, attempt, cv::Rect(), bgd_model, fgd_model, iterations, cv::GC_INIT_WITH_MASK);
    } catch (const cv::Exception& e) {
      return std::string(e.what());
    }
    if (count > 1) energies[slot] = cut_energy(bgr, attempt, bgd_model, fgd_model, beta);
    results[slot] = std::move(attempt);
    return std::nullopt;
  };
  const std::optional<std::string> error =
      for_each_frame_parallel(0, count, std::max(1, threads), run, [] { return false; });
  if (error) throw cv::Exception(cv::Error::StsError, *error, __func__, __FILE__, __LINE__);
  const auto best = std::min_element(energies.begin(), energies.end()) - energies.begin();
  labels = results[static_cast<std::size_t>(best)];
}

}  // namespace kesto::backend
