#pragma once
// A user-supplied salient-object segmentation network in ONNX form (IS-Net, U2-Net, BiRefNet and their
// relatives), run on the CPU through OpenCV's dnn module: one RGB image in, one single-channel map of
// probabilities out. Loading checks the model with one inference on a mid-grey image of the input size, so a
// file that cannot be read, that takes another input, that gives no single-channel map or that produces NaN is
// refused before any job runs. One loaded model serves every job; inferences take turns.

#include <memory>
#include <mutex>
#include <string>

#include <opencv2/core/mat.hpp>
#include <opencv2/dnn/dnn.hpp>

#include "NeuralOptions.h"

namespace kesto::backend {

class NeuralModel {
 public:
  // The loaded and checked model, or nullptr with `error` naming the file and what is wrong with it.
  static std::shared_ptr<NeuralModel> load(const NeuralOptions& options, std::string& error);

  NeuralModel(const NeuralModel&) = delete;
  NeuralModel& operator=(const NeuralModel&) = delete;

  // The network's map for `bgr` (CV_8UC3, any size): CV_32F at bgr's size, values in 0..1. Empty with `error`
  // set (a phrase about the model, such as "its output holds NaN ...") when inference fails or yields values
  // that are not finite. Safe to call from several threads.
  cv::Mat predict(const cv::Mat& bgr, std::string& error) const;

  const NeuralOptions& options() const { return options_; }
  const std::string& output_name() const { return output_; }

 private:
  NeuralModel(NeuralOptions options, cv::dnn::Net net, std::string output);

  const NeuralOptions options_;
  const std::string output_;
  mutable std::mutex mu_;
  mutable cv::dnn::Net net_;  // guarded by mu_: forward() is not reentrant
};

// Pre-processing: `bgr` resized to the input size, in R, G, B order, each channel (value / 255 - mean) / std,
// as a CV_32F blob of shape 1 x 3 x input_height x input_width.
cv::Mat make_input_blob(const cv::Mat& bgr, const NeuralOptions& options);

// Post-processing: a network output of shape 1 x 1 x H x W or 1 x H x W (H, W >= 2, float), checked to be
// finite, resized to `size` and clamped to 0..1 into `map` (CV_32F). False with `error` saying what is wrong.
bool output_to_map(const cv::Mat& output, cv::Size size, cv::Mat& map, std::string& error);

}  // namespace kesto::backend
