#!/usr/bin/python3
"""Writes the tiny ONNX models the neural engine's tests load, into the folder given as the only argument.

Each is a few fixed-weight operations whose output is known in advance, so the tests can check loading, the
pre- and post-processing and the error paths without any downloaded weights. Needs Debian's python3-onnx
(installed by scripts/setup). Inputs are 1x3xHxW in R, G, B order, normalised as (value/255 - 0.5) / 1.0
unless a test sets other options.

  threshold.onnx      sigmoid(40 * box-blurred luminance), at half resolution: 1 where the picture is brighter
                      than mid-grey, 0 where darker ("output")
  two_outputs.onnx    outputs "map" (as threshold.onnx) and "inverse"; none named "output"
  three_channels.onnx a 1x3xHxW output: not a single-channel map
  classifier.onnx     a 1x3 output (global average): not a map
  grey_input.onnx     takes one channel, not three
  nan.onnx            NaN everywhere
  nan_if_bright.onnx  finite on grey pictures, NaN where the picture is bright
  half.onnx           threshold-like, but computing in half precision (which OpenCV 4.6 cannot read)
  fixed_size.onnx     threshold.onnx whose map is reshaped to 1x1x256x256: runs on a 512x512 input only
"""

import os
import sys

try:
    import numpy as np
    import onnx
    from onnx import TensorProto, helper, numpy_helper
except ImportError as e:  # pragma: no cover - reported to the test as it is
    sys.stderr.write("make_test_models.py needs Debian's python3-onnx (run scripts/setup): %s\n" % e)
    sys.exit(3)

OPSET = 11
LUMA = np.array([0.299, 0.587, 0.114], dtype=np.float32).reshape(1, 3, 1, 1)
BLUR_SIDE = 5
STEEPNESS = 40.0


def tensor(name, values):
    return numpy_helper.from_array(np.asarray(values, dtype=np.float32), name)


def save(folder, name, nodes, initializers, outputs, input_channels=3, output_shape=(1, 1, "out_height", "out_width")):
    graph = helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, input_channels, "height", "width"])],
        [helper.make_tensor_value_info(o, TensorProto.FLOAT, list(output_shape)) for o in outputs],
        initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="trevane-tests")
    model.ir_version = 7
    onnx.checker.check_model(model)
    onnx.save(model, os.path.join(folder, name + ".onnx"))


def luminance_nodes(out):
    return [helper.make_node("Conv", ["input", "luma"], [out], kernel_shape=[1, 1])]


def threshold_nodes(out, prefix=""):
    blur = np.full((1, 1, BLUR_SIDE, BLUR_SIDE), 1.0 / (BLUR_SIDE * BLUR_SIDE), dtype=np.float32)
    half = BLUR_SIDE // 2
    nodes = luminance_nodes(prefix + "luminance") + [
        helper.make_node("Conv", [prefix + "luminance", prefix + "blur"], [prefix + "smooth"],
                         kernel_shape=[BLUR_SIDE, BLUR_SIDE], pads=[half] * 4, strides=[2, 2]),
        helper.make_node("Mul", [prefix + "smooth", prefix + "steepness"], [prefix + "logit"]),
        helper.make_node("Sigmoid", [prefix + "logit"], [out]),
    ]
    inits = [tensor(prefix + "blur", blur), tensor(prefix + "steepness", [STEEPNESS])]
    return nodes, inits


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_test_models.py FOLDER\n")
        return 2
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    luma = tensor("luma", LUMA)

    nodes, inits = threshold_nodes("output")
    save(folder, "threshold", nodes, [luma] + inits, ["output"])

    nodes, inits = threshold_nodes("map")
    nodes.append(helper.make_node("Neg", ["logit"], ["negated"]))
    nodes.append(helper.make_node("Sigmoid", ["negated"], ["inverse"]))
    save(folder, "two_outputs", nodes, [luma] + inits, ["map", "inverse"])

    save(folder, "three_channels",
         [helper.make_node("Conv", ["input", "mix"], ["output"], kernel_shape=[1, 1])],
         [tensor("mix", np.eye(3, dtype=np.float32).reshape(3, 3, 1, 1))], ["output"],
         output_shape=(1, 3, "height", "width"))

    save(folder, "classifier", [helper.make_node("GlobalAveragePool", ["input"], ["pooled"]),
                                helper.make_node("Flatten", ["pooled"], ["output"], axis=1)], [], ["output"],
         output_shape=(1, 3))

    save(folder, "grey_input",
         [helper.make_node("Conv", ["input", "gain"], ["scaled"], kernel_shape=[1, 1]),
          helper.make_node("Sigmoid", ["scaled"], ["output"])],
         [tensor("gain", np.ones((1, 1, 1, 1), dtype=np.float32))], ["output"], input_channels=1)

    save(folder, "nan", luminance_nodes("luminance") + [helper.make_node("Mul", ["luminance", "poison"], ["output"])],
         [luma, tensor("poison", [float("nan")])], ["output"])

    # sqrt(0.3 - luminance): the grey the loader checks with (luminance about 0) passes; white (0.5) does not.
    save(folder, "nan_if_bright",
         luminance_nodes("luminance") + [helper.make_node("Sub", ["limit", "luminance"], ["room"]),
                                         helper.make_node("Sqrt", ["room"], ["output"])],
         [luma, tensor("limit", [0.3])], ["output"])
    save(folder, "half",
         [helper.make_node("Cast", ["input"], ["input16"], to=TensorProto.FLOAT16),
          helper.make_node("Conv", ["input16", "luma16"], ["luminance16"], kernel_shape=[1, 1]),
          helper.make_node("Cast", ["luminance16"], ["luminance"], to=TensorProto.FLOAT),
          helper.make_node("Sigmoid", ["luminance"], ["output"])],
         [numpy_helper.from_array(LUMA.astype(np.float16), "luma16")], ["output"])

    nodes, inits = threshold_nodes("map")
    nodes.append(helper.make_node("Reshape", ["map", "fixed_shape"], ["output"]))
    fixed_shape = numpy_helper.from_array(np.array([1, 1, 256, 256], dtype=np.int64), "fixed_shape")
    save(folder, "fixed_size", nodes, [luma, fixed_shape] + inits, ["output"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
