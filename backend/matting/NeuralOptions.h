#pragma once
// How to run a user-supplied segmentation network (ONNX): where it is, the input it takes, how its input is
// normalised, which output to read, and how often it corrects the propagated mask. The defaults fit the IS-Net
// family (1024 x 1024 RGB, (x - 0.5) / 1.0 on values in 0..1, the output named "output").

#include <array>
#include <string>

namespace kesto::backend {

struct NeuralOptions {
  std::string model_path;
  int input_width = 1024;
  int input_height = 1024;
  // Per channel, in R, G, B order, on pixel values scaled to 0..1: the network sees (value - mean) / std.
  std::array<double, 3> mean{0.5, 0.5, 0.5};
  std::array<double, 3> std{1.0, 1.0, 1.0};
  // Empty: a layer named "output" if the network has one, else its only output.
  std::string output_name;
  // The network also runs on every frame this many frames away from the anchor (and multiples of it),
  // replacing the propagated mask there so that drift does not build up. 0 runs it on the anchor only.
  int keyframe_spacing = 12;
};

}  // namespace kesto::backend
