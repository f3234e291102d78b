#pragma once
// A user-supplied salient-object segmentation network in ONNX form (IS-Net, U2-Net, BiRefNet and their
// relatives), run on the CPU through OpenCV's dnn module: one RGB image in, one single-channel map of
// probabilities out. Loading checks the model with one inference on a mid-grey image of the input size, so a
// file that cannot be read, that takes another input, that gives no single-channel map or that produces NaN is
// refused before any job runs. One loaded model serves every job; inferences take turns.
//
// Models configured for an input of at least kMinFreeInputSide a side that run at other sizes (fully convolutional ones, such as the IS-Net that
// scripts/fetch-model installs) are given an input sized to the picture instead: its longer side brought
// within kMinFreeInputSide..the configured size, each side rounded up to a multiple of kFreeInputStep. A
// crop of a 960x540 frame then costs a third to a half of a 1024x1024 inference, at the crop's own detail.
// Loading learns which kind a model is from its check: a small non-square probe first, the configured size
// only when the probe fails.

#include <memory>
#include <mutex>
#include <string>

#include <opencv2/core/mat.hpp>
#include <opencv2/dnn/dnn.hpp>

#include "NeuralOptions.h"

namespace kesto::backend {

// Inputs of models that take any size: multiples of this (the networks of this family halve their input
// five or six times), the longer side at least kMinFreeInputSide so that small regions keep enough context.
inline constexpr int kFreeInputStep = 128;
inline constexpr int kMinFreeInputSide = 512;

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
  // True when the model runs at inputs other than the configured size.
  bool free_input_size() const { return free_input_size_; }
  // The input the network is given for a picture of `picture` size (see above).
  cv::Size input_size_for(cv::Size picture) const;
  const std::string& output_name() const { return output_; }

 private:
  NeuralModel(NeuralOptions options, cv::dnn::Net net, std::string output);
  cv::Mat predict_at(const cv::Mat& bgr, cv::Size input, std::string& error) const;

  const NeuralOptions options_;
  const std::string output_;
  bool free_input_size_ = false;
  mutable std::mutex mu_;
  mutable cv::dnn::Net net_;  // guarded by mu_: forward() is not reentrant
};

// Pre-processing: `bgr` resized to the input size, in R, G, B order, each channel (value / 255 - mean) / std,
// as a CV_32F blob of shape 1 x 3 x input_height x input_width.
cv::Mat make_input_blob(const cv::Mat& bgr, const NeuralOptions& options);
// The same at another input size.
cv::Mat make_input_blob(const cv::Mat& bgr, const NeuralOptions& options, cv::Size input);

// Post-processing: a network output of shape 1 x 1 x H x W or 1 x H x W (H, W >= 2, float), checked to be
// finite, resized to `size` and clamped to 0..1 into `map` (CV_32F). False with `error` saying what is wrong.
bool output_to_map(const cv::Mat& output, cv::Size size, cv::Mat& map, std::string& error);

}  // namespace kesto::backend
