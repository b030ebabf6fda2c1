"""Reading an ONNX model for the importers: load, check and shape-infer it
with the ``onnx`` package, and look up its constants, shapes and users."""

from __future__ import annotations

import os
from collections import defaultdict

import numpy as np

from vantrel.convert.core import ConversionError
from vantrel.model_file import ModelBuilder

__all__ = ["OPSETS", "Graph", "attrs", "load_onnx", "rename_tensors"]

OPSETS = range(13, 22)


def load_onnx(model):
    """Read (a path, bytes or a ``ModelProto``), check and shape-infer a model."""
    try:
        import onnx
    except ImportError as e:  # pragma: no cover - the test extra installs it
        raise ConversionError("importing ONNX needs the onnx package (pip install onnx)") from e
    what = "the ONNX model"
    try:
        if isinstance(model, (str, os.PathLike)):
            what = f"ONNX file '{os.fspath(model)}'"
            proto = onnx.load(os.fspath(model))
        elif isinstance(model, (bytes, bytearray)):
            proto = onnx.load_from_string(bytes(model))
        elif isinstance(model, onnx.ModelProto):
            proto = model
        else:
            raise ConversionError(f"cannot import a {type(model).__name__}: give an .onnx path, "
                                  "its bytes or an onnx.ModelProto")
        onnx.checker.check_model(proto)
    except ConversionError:
        raise
    except Exception as e:  # protobuf decode errors, checker's ValidationError, OSError
        first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        raise ConversionError(f"{what} is not a valid ONNX model: {first}; export it again "
                              "(torch.onnx.export) and check it with onnx.checker") from e
    opset = next((o.version for o in proto.opset_import if o.domain in ("", "ai.onnx")), None)
    if opset not in OPSETS:
        raise ConversionError(f"{what} uses opset {opset}; opsets {OPSETS.start} to "
                              f"{OPSETS.stop - 1} are supported (export with opset_version=17)")
    others = sorted({n.domain for n in proto.graph.node if n.domain not in ("", "ai.onnx")})
    if others:
        raise ConversionError(f"{what} uses ops of domain {', '.join(others)}; only standard "
                              "ONNX ops are supported (export without custom ops)")
    # data_prop carries Shape -> Gather -> Concat values into Reshape
    # targets, so shapes after a computed reshape are known too.
    return onnx.shape_inference.infer_shapes(proto, data_prop=True), opset


class Graph:
    """An ONNX graph with what the importers look up: constants, shapes,
    element types and each tensor's consumers."""

    def __init__(self, proto, opset: int):
        from onnx import numpy_helper
        self.proto, self.opset = proto, opset
        g = proto.graph
        self.consts = {t.name: numpy_helper.to_array(t) for t in g.initializer}
        self.inputs = [i.name for i in g.input if i.name not in self.consts]
        self.outputs = [o.name for o in g.output]
        self.info = {v.name: v for v in (*g.input, *g.value_info, *g.output)}
        self.nodes = list(g.node)
        self.consumers = defaultdict(list)
        for n in self.nodes:
            for x in n.input:
                if x:
                    self.consumers[x].append(n)
        for o in self.outputs:
            self.consumers[o].append(None)  # a graph output counts as a user
        self.notes: dict = {}

    def dims(self, name: str) -> list:
        """Dimensions of ``name``: ints, or the symbolic name (None if unknown)."""
        v = self.info.get(name)
        if v is None or not v.type.tensor_type.HasField("shape"):
            return None
        return [d.dim_value if d.HasField("dim_value") else (d.dim_param or None)
                for d in v.type.tensor_type.shape.dim]

    def shape(self, name: str):
        """The static shape of ``name`` as a tuple of ints, or None."""
        if name in self.consts:
            return tuple(self.consts[name].shape)
        d = self.dims(name)
        return tuple(d) if d is not None and all(isinstance(x, int) for x in d) else None

    def infer(self, node, values: dict) -> None:
        """Fill in output shapes onnx's whole-graph inference left unknown
        (after a Slice or Reshape whose bounds only this import computed)."""
        import onnx
        from onnx import helper, numpy_helper
        if all(self.shape(o) is not None for o in node.output if o):
            return
        types, data = {}, {}
        for i in node.input:
            if not i:
                continue
            v = values.get(i)
            if isinstance(v, np.ndarray):
                types[i] = helper.make_tensor_type_proto(
                    helper.np_dtype_to_tensor_dtype(v.dtype), v.shape)
                if v.size <= 64:
                    data[i] = numpy_helper.from_array(v, i)
            elif i in self.info:
                types[i] = self.info[i].type
        try:
            schema = onnx.defs.get_schema(node.op_type, self.opset, node.domain)
            outs = onnx.shape_inference.infer_node_outputs(schema, node, types, data)
        except Exception:
            return  # the handler reports the missing shape
        for o, t in outs.items():
            self.info[o] = helper.make_value_info(o, t)

    def elem_type(self, name: str) -> int:
        """The ONNX element type code of ``name`` (0 if unknown)."""
        v = self.info.get(name)
        return v.type.tensor_type.elem_type if v is not None else 0

    def is_int(self, name: str) -> bool:
        """Whether ``name`` holds 32- or 64-bit integers."""
        from onnx import TensorProto
        return self.elem_type(name) in (TensorProto.INT64, TensorProto.INT32)

    def signature(self, name: str) -> dict:
        """Name, dimensions and numpy dtype of a graph input or output."""
        from onnx import helper
        return {"name": name, "dims": self.dims(name),
                "dtype": str(helper.tensor_dtype_to_np_dtype(self.elem_type(name)))}

    def only_user(self, name: str):
        """The one node reading ``name``, or None (several, none, or a graph output)."""
        users = self.consumers.get(name, [])
        return users[0] if len(users) == 1 else None

    def const(self, name: str):
        """The initializer ``name`` as an array, or None."""
        return self.consts.get(name) if name else None


def attrs(node) -> dict:
    """A node's attributes as Python values."""
    from onnx import helper
    return {a.name: helper.get_attribute_value(a) for a in node.attribute}


def rename_tensors(b: ModelBuilder, renames: dict[str, str]) -> None:
    """Give engine tensors new names (the graph's output names) everywhere."""
    for n in b.nodes:
        n["inputs"] = [renames.get(t, t) for t in n["inputs"]]
        n["outputs"] = [renames.get(t, t) for t in n["outputs"]]
