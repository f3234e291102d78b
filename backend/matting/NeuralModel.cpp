#include "NeuralModel.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace kesto::backend {

namespace {

constexpr const char* kDefaultOutputName = "output";
constexpr double kProbeGrey = 128.0;
constexpr int kMinMapSidePx = 2;
constexpr std::size_t kMaxListedOutputs = 8;

// OpenCV's messages carry the source path and function; the description alone reads better on one line.
std::string opencv_reason(const cv::Exception& e) {
  std::string text = e.err.empty() ? std::string(e.what()) : e.err;
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

std::string describe_shape(const cv::Mat& m) {
  std::string text;
  for (int i = 0; i < m.dims; ++i) text += (i == 0 ? "" : "x") + std::to_string(m.size[i]);
  return text.empty() ? "empty" : text;
}

std::string list_names(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < kMaxListedOutputs; ++i) text += (i == 0 ? "" : ", ") + names[i];
  if (names.size() > kMaxListedOutputs) text += ", ...";
  return text;
}

// The layer whose output is the map: the one asked for, else "output", else the network's only output.
bool choose_output(cv::dnn::Net& net, const std::string& wanted, std::string& chosen, std::string& error) {
  const std::vector<std::string> outputs = net.getUnconnectedOutLayersNames();
  if (!wanted.empty()) {
    if (net.getLayerId(wanted) < 0) {
      error = "it has no output named \"" + wanted + "\" (its outputs: " + list_names(outputs) + ")";
      return false;
    }
    chosen = wanted;
    return true;
  }
  if (net.getLayerId(kDefaultOutputName) >= 0) {
    chosen = kDefaultOutputName;
    return true;
  }
  if (outputs.size() == 1) {
    chosen = outputs.front();
    return true;
  }
  error = "it has " + std::to_string(outputs.size()) + " outputs (" + list_names(outputs) +
          "); choose the probability map with --model-output";
  return false;
}

}  // namespace

cv::Mat make_input_blob(const cv::Mat& bgr, const NeuralOptions& options) {
  return make_input_blob(bgr, options, cv::Size(options.input_width, options.input_height));
}

cv::Mat make_input_blob(const cv::Mat& bgr, const NeuralOptions& options, cv::Size input) {
  cv::Mat resized;
  const bool shrinking = bgr.cols >= input.width && bgr.rows >= input.height;
  cv::resize(bgr, resized, input, 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
  const int shape[] = {1, 3, input.height, input.width};
  cv::Mat blob(4, shape, CV_32F);
  // Frames arrive as BGR; the networks of this family were trained on RGB.
  constexpr int kBgrChannelOfRgb[] = {2, 1, 0};
  for (int c = 0; c < 3; ++c) {
    cv::Mat plane(input, CV_32F, blob.ptr<float>(0, c));
    cv::Mat channel;
    cv::extractChannel(resized, channel, kBgrChannelOfRgb[c]);
    const double scale = 1.0 / (255.0 * options.std[static_cast<std::size_t>(c)]);
    const double shift = -options.mean[static_cast<std::size_t>(c)] / options.std[static_cast<std::size_t>(c)];
    channel.convertTo(plane, CV_32F, scale, shift);  // writes into the blob: same size and type
  }
  return blob;
}

bool output_to_map(const cv::Mat& output, cv::Size size, cv::Mat& map, std::string& error) {
  const bool four_d = output.dims == 4 && output.size[0] == 1 && output.size[1] == 1;
  const bool three_d = output.dims == 3 && output.size[0] == 1;
  if (!four_d && !three_d) {
    error = "its output is " + describe_shape(output) + ", not a single-channel map (1x1xHxW)";
    return false;
  }
  const int rows = output.size[output.dims - 2];
  const int cols = output.size[output.dims - 1];
  if (rows < kMinMapSidePx || cols < kMinMapSidePx || output.type() != CV_32F || !output.isContinuous()) {
    error = "its output is " + describe_shape(output) + ", not a single-channel float map (1x1xHxW)";
    return false;
  }
  const cv::Mat plane(rows, cols, CV_32F, const_cast<float*>(output.ptr<float>()));
  if (!cv::checkRange(plane, true)) {
    error = "its output holds NaN or infinite values";
    return false;
  }
  cv::resize(plane, map, size, 0, 0, cv::INTER_LINEAR);
  cv::max(map, 0.0, map);
  cv::min(map, 1.0, map);
  return true;
}

NeuralModel::NeuralModel(NeuralOptions options, cv::dnn::Net net, std::string output)
    : options_(std::move(options)), output_(std::move(output)), net_(std::move(net)) {}

std::shared_ptr<NeuralModel> NeuralModel::load(const NeuralOptions& options, std::string& error) {
  const std::string& path = options.model_path;
  auto refuse = [&](const std::string& what) {
    error = "model " + path + ": " + what;
    return std::shared_ptr<NeuralModel>();
  };
  if (path.empty()) return refuse("no file given");
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    return refuse(std::filesystem::exists(path, ec) ? "not a regular file" : "no such file");
  }
  if (options.input_width < kMinMapSidePx || options.input_height < kMinMapSidePx) {
    return refuse("the input size is too small");
  }
  for (const double s : options.std) {
    if (!(s > 0.0)) return refuse("the normalisation's std must be positive");
  }

  cv::dnn::Net net;
  try {
    net = cv::dnn::readNetFromONNX(path);
  } catch (const cv::Exception& e) {
    std::string reason = "not an ONNX model OpenCV can read: " + opencv_reason(e);
    if (reason.find("FLOAT16") != std::string::npos) reason += " (widen a half-precision model to float first)";
    return refuse(reason);
  } catch (const std::exception& e) {
    return refuse(std::string("not an ONNX model OpenCV can read: ") + e.what());
  }
  if (net.empty()) return refuse("not an ONNX model OpenCV can read: the network is empty");
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);

  std::string output;
  std::string problem;
  try {
    if (!choose_output(net, options.output_name, output, problem)) return refuse(problem);
  } catch (const cv::Exception& e) {
    return refuse("its outputs cannot be listed: " + opencv_reason(e));
  }

  std::shared_ptr<NeuralModel> model(new NeuralModel(options, std::move(net), output));
  // One inference checks the input the network takes and the map it gives before any job depends on it: a
  // small one of another shape first, which a model bound to its own size fails; then one at that size.
  const cv::Size free_probe(kFreeInputStep * 3, kFreeInputStep * 2);
  const cv::Size own(options.input_width, options.input_height);
  if (std::min(own.width, own.height) >= kMinFreeInputSide) {
    const cv::Mat probe(free_probe, CV_8UC3, cv::Scalar::all(kProbeGrey));
    std::string ignored;
    model->free_input_size_ = !model->predict_at(probe, free_probe, ignored).empty();
  }
  if (!model->free_input_size_) {
    const cv::Mat probe(own, CV_8UC3, cv::Scalar::all(kProbeGrey));
    if (model->predict_at(probe, own, problem).empty()) return refuse(problem);
  }
  return model;
}

cv::Size NeuralModel::input_size_for(cv::Size picture) const {
  const cv::Size own(options_.input_width, options_.input_height);
  if (!free_input_size_ || picture.width <= 0 || picture.height <= 0) return own;
  const int longer = std::max(picture.width, picture.height);
  const int limit = std::max(own.width, own.height);
  const double scale = static_cast<double>(std::clamp(longer, kMinFreeInputSide, limit)) / longer;
  auto side = [scale](int px, int cap) {
    const int scaled = static_cast<int>(std::ceil(px * scale / kFreeInputStep)) * kFreeInputStep;
    return std::clamp(scaled, kFreeInputStep, std::max(kFreeInputStep, cap / kFreeInputStep * kFreeInputStep));
  };
  return cv::Size(side(picture.width, own.width), side(picture.height, own.height));
}

cv::Mat NeuralModel::predict(const cv::Mat& bgr, std::string& error) const {
  return predict_at(bgr, input_size_for(bgr.size()), error);
}

cv::Mat NeuralModel::predict_at(const cv::Mat& bgr, cv::Size input, std::string& error) const {
  if (bgr.empty() || bgr.type() != CV_8UC3) {
    error = "the network needs an 8-bit colour image";
    return {};
  }
  const cv::Mat blob = make_input_blob(bgr, options_, input);
  cv::Mat output;
  try {
    const std::lock_guard<std::mutex> lock(mu_);
    net_.setInput(blob);
    output = net_.forward(output_).clone();  // the layer's own buffer is reused by the next inference
  } catch (const cv::Exception& e) {
    error = "it does not run on a 1x3x" + std::to_string(input.height) + "x" + std::to_string(input.width) +
            " input (see --model-size): " + opencv_reason(e);
    return {};
  }
  cv::Mat map;
  if (!output_to_map(output, bgr.size(), map, error)) {
    const std::string subject = "its output";
    if (error.rfind(subject, 0) == 0) error.insert(subject.size(), " \"" + output_ + "\"");
    return {};
  }
  return map;
}

}  // namespace kesto::backend
