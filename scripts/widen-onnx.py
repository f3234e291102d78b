#!/usr/bin/python3
"""Prepares a half-precision ONNX export of IS-Net (or a relative) for OpenCV's dnn module.

    widen-onnx.py IN.onnx OUT.onnx

Widening: OpenCV reads no float16, so every float16 tensor becomes float: initializers, Constant nodes'
values, the graph's inputs, outputs and value types. Cast nodes between float and float16 are then casts from
float to float and are dropped, their consumers reading the Cast's input directly (a Cast that names a graph
output hands that name to its input instead, so the outputs keep their names).

Freeing the input size: the export upsamples each decoder level to sizes traced at its input size
(Resize(x, sizes=Concat(Shape(x)[:2], constant HxW))), and OpenCV folds Shape at that size, so the network
would run at that size only. Each such Resize gets the constant ratio instead (scales = traced size / size of
x), which holds at any input size that halves evenly down to the deepest level, and the input's height and
width become free. The backend then sizes the input to the region it segments rather than always 1024x1024.
Models without that pattern are only widened.

The result must pass onnx's checker, before writing and read back. Prints nothing on success; one line on
stderr and exit status 1 otherwise.
"""

import sys

import numpy as np
import onnx
from onnx import TensorProto, numpy_helper

FLOAT16 = TensorProto.FLOAT16
FLOAT = TensorProto.FLOAT


def widen_tensor(tensor):
    if tensor.data_type != FLOAT16:
        return
    wide = numpy_helper.to_array(tensor).astype(np.float32)
    tensor.CopyFrom(numpy_helper.from_array(wide, tensor.name))


def widen_value_types(values):
    for value in values:
        tensor_type = value.type.tensor_type
        if tensor_type.elem_type == FLOAT16:
            tensor_type.elem_type = FLOAT


def rename_everywhere(graph, old, new):
    for node in graph.node:
        node.input[:] = [new if name == old else name for name in node.input]
        node.output[:] = [new if name == old else name for name in node.output]
    for value in list(graph.output) + list(graph.value_info):
        if value.name == old:
            value.name = new


def drop_float_casts(graph):
    inputs = {value.name for value in graph.input}
    outputs = {value.name for value in graph.output}
    for node in list(graph.node):
        if node.op_type != "Cast":
            continue
        to = next(a.i for a in node.attribute if a.name == "to")
        if to != FLOAT:
            continue
        source, result = node.input[0], node.output[0]
        graph.node.remove(node)
        # Keep the graph's own input and output names; otherwise the consumers read the source.
        if result in outputs and source not in inputs:
            rename_everywhere(graph, source, result)
        else:
            rename_everywhere(graph, result, source)


def widen(model):
    graph = model.graph
    for tensor in graph.initializer:
        widen_tensor(tensor)
    for node in graph.node:
        for attribute in node.attribute:
            if attribute.type == onnx.AttributeProto.TENSOR:
                widen_tensor(attribute.t)
            elif attribute.type == onnx.AttributeProto.TENSORS:
                for tensor in attribute.tensors:
                    widen_tensor(tensor)
        if node.op_type == "Cast":
            for attribute in node.attribute:
                if attribute.name == "to" and attribute.i == FLOAT16:
                    attribute.i = FLOAT
    widen_value_types(graph.input)
    widen_value_types(graph.output)
    widen_value_types(graph.value_info)
    drop_float_casts(graph)
    # A dropped Cast leaves two value types under one name; keep one per tensor that still exists.
    produced = {name for node in graph.node for name in node.output} | {v.name for v in graph.input}
    seen = set()
    kept = []
    for value in graph.value_info:
        if value.name in produced and value.name not in seen:
            seen.add(value.name)
            kept.append(value)
    del graph.value_info[:]
    graph.value_info.extend(kept)


def shape_of(graph, name):
    for value in list(graph.value_info) + list(graph.input) + list(graph.output):
        if value.name == name:
            dims = value.type.tensor_type.shape.dim
            if dims and all(d.HasField("dim_value") for d in dims):
                return [d.dim_value for d in dims]
    return None


def constant_values(graph, name):
    for node in graph.node:
        if node.op_type == "Constant" and node.output[0] == name:
            return numpy_helper.to_array(node.attribute[0].t)
    for tensor in graph.initializer:
        if tensor.name == name:
            return numpy_helper.to_array(tensor)
    return None


def free_input_size(model):
    graph = model.graph
    producers = {out: node for node in graph.node for out in node.output}
    frozen = []
    for node in graph.node:
        if node.op_type != "Resize" or len(node.input) != 4 or not node.input[3]:
            continue
        concat = producers.get(node.input[3])
        source = shape_of(graph, node.input[0])
        if concat is None or concat.op_type != "Concat" or len(concat.input) != 2 or source is None or len(source) != 4:
            return  # sizes from elsewhere: this is not the pattern, leave the model at its size
        target = constant_values(graph, concat.input[1])
        if target is None or target.size != 2:
            return
        frozen.append((node, [1.0, 1.0, float(target[0]) / source[2], float(target[1]) / source[3]]))
    if not frozen:
        return
    for index, (node, scales) in enumerate(frozen):
        name = "upsample_ratio_%d" % index
        graph.initializer.append(numpy_helper.from_array(np.array(scales, dtype=np.float32), name))
        node.input[:] = [node.input[0], "", name]
    # The size computations now feed nothing: drop them, last consumer first.
    needed = {value.name for value in graph.output}
    kept = []
    for node in reversed(list(graph.node)):
        if any(out in needed for out in node.output):
            kept.append(node)
            needed.update(name for name in node.input if name)
    del graph.node[:]
    graph.node.extend(reversed(kept))
    used = {name for node in graph.node for name in node.input}
    initializers = [t for t in graph.initializer if t.name in used]
    del graph.initializer[:]
    graph.initializer.extend(initializers)
    # Sizes traced at the old input size no longer hold.
    del graph.value_info[:]
    for value in list(graph.input) + list(graph.output):
        dims = value.type.tensor_type.shape.dim
        for axis, label in ((2, "height"), (3, "width")):
            if len(dims) == 4:
                dims[axis].Clear()
                dims[axis].dim_param = label


def still_half(model):
    graph = model.graph
    if any(t.data_type == FLOAT16 for t in graph.initializer):
        return "an initializer"
    for value in list(graph.input) + list(graph.output) + list(graph.value_info):
        if value.type.tensor_type.elem_type == FLOAT16:
            return "the value " + value.name
    for node in graph.node:
        for attribute in node.attribute:
            if attribute.type == onnx.AttributeProto.TENSOR and attribute.t.data_type == FLOAT16:
                return "the node " + node.name
            if node.op_type == "Cast" and attribute.name == "to" and attribute.i == FLOAT16:
                return "the Cast " + node.name
    return None


def main(argv):
    if len(argv) != 3:
        print("usage: widen-onnx.py IN.onnx OUT.onnx", file=sys.stderr)
        return 2
    try:
        model = onnx.load(argv[1])
        widen(model)
        free_input_size(model)
        left = still_half(model)
        if left:
            raise ValueError("float16 left in " + left)
        onnx.checker.check_model(model)
        onnx.save(model, argv[2])
        # What was written, read back: the file the backend will load.
        onnx.checker.check_model(argv[2])
    except Exception as error:  # one line whatever went wrong: the caller reports it
        print("widen-onnx: " + argv[1] + ": " + " ".join(str(error).split()), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
