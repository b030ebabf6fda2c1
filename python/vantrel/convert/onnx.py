"""ONNX models to vantrel files.

:func:`convert_onnx` reads a model with the ``onnx`` package (``onnx.load``,
``onnx.checker``, ``onnx.shape_inference``; opsets 13 to 21) and maps its
graph onto engine ops through the same helpers the torch.export converter
uses (:mod:`vantrel.convert.emit`). Three kinds of graph import:

- image networks (one float input of shape (N, C, H, W)): every node is
  mapped on its own, as :mod:`vantrel.convert.cnn` maps ATen nodes. Nodes
  whose inputs are all constant (initializers, ``Shape`` of a static tensor,
  ``Constant``) are evaluated at import with onnx's reference evaluator, so
  ``Reshape``/``Gather``/``Shape``/``Concat`` chains become constants;
  ``BatchNormalization`` after a ``Conv`` is folded into it and a ``Relu``
  that is a node's only user is fused; ``Identity`` and ``Dropout`` vanish.
- BERT-style encoders (int64 ``input_ids``, ``attention_mask``,
  ``token_type_ids``, as Hugging Face's ``BertModel`` exports): the graph's
  attention, masking and reshaping plumbing is recognised as a whole and
  its weights are read into the engine's BERT encoder
  (:func:`vantrel.convert.bert.bert_encoder`), followed by the pooler.
- torchvision's ``VisionTransformer`` (a patch ``Conv`` whose map is
  reshaped into tokens): recognised block by block in the same way and
  built with the ViT converter (:mod:`vantrel.convert.onnx_vit`).

The converted model takes the arrays onnxruntime takes for the file, under
the ONNX input names: an image input is declared as the raw (C, H, W) buffer
and its first node, ``nchw_to_nhwc_fp32``, lays it out channels last inside
the engine. Outputs carry the ONNX output names; the engine returns them
flat, and :class:`Session` gives them their ONNX shapes. The ONNX signature
is kept in the architecture file under ``"onnx"``.

Anything without a mapping raises :class:`~vantrel.convert.core.ConversionError`
naming the ONNX op and node and saying what to do; no model is returned.
"""

from __future__ import annotations

import json

import numpy as np

from vantrel.convert import emit
from vantrel.convert.core import ConversionError, report_progress
from vantrel.convert.onnx_graph import OPSETS, Graph, load_onnx, rename_tensors
from vantrel.convert.onnx_graph import attrs as _attrs
from vantrel.convert.onnx_vit import import_vit, is_vit
from vantrel.model_file import ModelBuilder

__all__ = ["convert_onnx", "load_onnx", "Session", "OPSETS"]

NCHW, NHWC, VEC = "nchw", "nhwc", "vec"


def convert_onnx(model, name: str | None = None, progress: bool = False) -> ModelBuilder:
    """Convert an ONNX model (path, bytes or ``ModelProto``) and return a
    :class:`ModelBuilder` holding the engine model."""
    proto, opset = load_onnx(model)
    graph = Graph(proto, opset)
    name = name or proto.graph.name or "model"
    if any(graph.is_int(i) for i in graph.inputs):
        from vantrel.convert.onnx_bert import import_bert
        b = import_bert(graph, name, progress)
    elif is_vit(graph):
        b = import_vit(graph, name, progress)
    else:
        b = _ImageImporter(graph, name, progress).run()
    b.meta["onnx"] = {"inputs": [graph.signature(i) for i in graph.inputs],
                      "outputs": [graph.signature(o) for o in graph.outputs],
                      **graph.notes}
    return b


def _fail(node, problem: str, todo: str):
    raise ConversionError(f"ONNX op {node.op_type} at node '{node.name or node.output[0]}': "
                          f"{problem}; {todo}")


def _scalar(a: np.ndarray) -> float:
    return float(a.reshape(-1)[0])


class _Tensor:
    """An engine tensor and how the ONNX graph sees it (see cnn._Tensor)."""

    def __init__(self, name: str, layout: str = NCHW, flattened_from=None):
        self.name, self.layout, self.flattened_from = name, layout, flattened_from


class _Grouped:
    """The middle of a channel shuffle: an NCHW image as (1, g, C/g, H, W)."""

    def __init__(self, src: _Tensor, groups: int, transposed: bool = False):
        self.src, self.groups, self.transposed = src, groups, transposed


class _ImageImporter:
    def __init__(self, graph: Graph, name: str, progress: bool):
        self.g = graph
        self.b = ModelBuilder(name)
        self.progress = progress
        self.values: dict[str, object] = dict(graph.consts)
        self.absorbed: set[int] = set()
        self.used_names: set[str] = set()

    # -- driving

    def run(self) -> ModelBuilder:
        g = self.g
        if len(g.inputs) != 1:
            raise ConversionError(f"an image model takes one input; this graph has "
                                  f"{len(g.inputs)} ({', '.join(g.inputs)})")
        x = g.inputs[0]
        dims = g.dims(x)
        if dims is None or len(dims) != 4 or not all(isinstance(d, int) for d in dims[1:]) \
                or dims[0] not in (1, None) and not isinstance(dims[0], str):
            raise ConversionError(f"input '{x}' has shape {dims}; an image input must be "
                                  "(N, C, H, W) with static C, H and W (export with a fixed "
                                  "image size)")
        from onnx import TensorProto
        if g.elem_type(x) != TensorProto.FLOAT:
            raise ConversionError(f"input '{x}' is not float32; an image input must be (export "
                                  "the model in float32)")
        c, h, w = dims[1:]
        # The caller's (C, H, W) buffer, read by the layout op as {h=C, w=H, c=W}.
        self.b.input(x, [c, h, w])
        out = self.b.node("nchw_to_nhwc_fp32", [x], name="input_layout")
        self.values[x] = _Tensor(out, NCHW)
        # Constants first: an exporter may place one after the node from which
        # a pattern reading it is matched (GELU's 1.0 and 0.5).
        for node in g.nodes:
            if node.op_type == "Constant":
                self._convert(node)
                self.absorbed.add(id(node))
        for i, node in enumerate(g.nodes):
            if i % 50 == 0 or i == len(g.nodes) - 1:
                report_progress(self.progress, "node", i + 1, len(g.nodes))
            self.g.infer(node, self.values)  # fused nodes too: later nodes read their shapes
            if id(node) in self.absorbed:
                continue
            self._convert(node)
        self._outputs()
        return self.b

    def _convert(self, node) -> None:
        ins = [self.values.get(i) if i else None for i in node.input]
        if node.op_type == "Constant":
            from onnx import numpy_helper
            a = node.attribute[0]
            if a.name != "value":
                _fail(node, f"a constant given by '{a.name}'", "export constants as tensors")
            self.values[node.output[0]] = numpy_helper.to_array(a.t)
            return
        if node.op_type == "Shape" and self.g.shape(node.input[0]) is not None:
            at = _attrs(node)
            shape = np.array(self.g.shape(node.input[0]), np.int64)
            self.values[node.output[0]] = shape[at.get("start", 0):at.get("end", len(shape))]
            return
        if all(v is None or isinstance(v, np.ndarray) for v in ins) and \
                any(isinstance(v, np.ndarray) for v in ins):
            self._fold(node, ins)
            return
        for i, v in zip(node.input, ins):
            if i and v is None:
                _fail(node, f"its input '{i}' has no value here", "the graph must be topologically sorted")
        handler = getattr(self, f"_op_{node.op_type}", None)
        if handler is None:
            _fail(node, "has no mapping onto an engine op",
                 "replace that operation in the model before export, or add an engine op and "
                 "map it in vantrel/convert/onnx.py")
        handler(node, ins)

    def _fold(self, node, ins) -> None:
        from onnx.reference import ReferenceEvaluator
        try:
            ev = ReferenceEvaluator(node, opsets={"": self.g.opset})
            outs = ev.run(None, {i: v for i, v in zip(node.input, ins) if i})
        except Exception as e:
            _fail(node, f"folding it on constant inputs failed ({type(e).__name__}: {e})",
                 "simplify the constant part of the graph before export")
        for o, v in zip(node.output, outs):
            if o:
                self.values[o] = np.asarray(v)

    def _outputs(self) -> None:
        renames = {}
        for o in self.g.outputs:
            v = self.values.get(o)
            if not isinstance(v, _Tensor):
                raise ConversionError(f"graph output '{o}' is "
                                      + ("a constant" if isinstance(v, np.ndarray) else "not an image or vector")
                                      + "; only computed tensors can be outputs")
            if v.name in renames:
                raise ConversionError(f"graph output '{o}' repeats another output; "
                                      "give every output its own computation")
            renames[v.name] = o
        rename_tensors(self.b, renames)
        self.b.output(*self.g.outputs)

    # -- helpers

    def _node_name(self, node) -> str:
        name = (node.name or node.output[0]).strip("/")
        if not name or len(name.encode()) > 48 or name in self.used_names:
            name = f"{node.op_type.lower()}{len(self.b.nodes) + 1}"
        self.used_names.add(name)
        return name

    def _emit(self, node, outputs_of: list, op: emit.Op | str, inputs: list[str], relu=False,
              layout=NCHW, flattened_from=None, **args) -> _Tensor:
        if isinstance(op, str):
            op = emit.Op(op, args, {})
        name = self._node_name(node)
        try:
            out = self.b.node(op.op, inputs, name=name, relu=relu, **op.args)
        except ValueError as e:
            _fail(node, f"it maps onto {op.op}, which this engine cannot take ({e})",
                 "use an engine build that has that op")
        for key, array in op.weights.items():
            self.b.weight(f"{name}.{key}", np.asarray(array, dtype=np.float32))
        t = _Tensor(out, layout, flattened_from)
        for o in outputs_of:
            self.values[o] = t
        return t

    def _tensor(self, node, v, *layouts) -> _Tensor:
        if not isinstance(v, _Tensor) or (layouts and v.layout not in layouts):
            got = v.layout if isinstance(v, _Tensor) else type(v).__name__
            _fail(node, f"an input is laid out as {got}",
                 f"only {' or '.join(layouts) or 'tensor'} inputs are supported there")
        return v

    def _const(self, node, v, what: str) -> np.ndarray:
        if not isinstance(v, np.ndarray):
            _fail(node, f"its {what} is not a constant", "give it an initializer")
        return v.astype(np.float64)

    def _fuse_relu(self, out: str) -> tuple[bool, str]:
        user = self.g.only_user(out)
        if user is not None and user.op_type == "Relu":
            self.absorbed.add(id(user))
            return True, user.output[0]
        return False, out

    def _pair_attr(self, node, at, key, default):
        v = at.get(key, default)
        return (int(v[0]), int(v[1])) if len(v) == 2 else _fail(node, f"{key}={v}", "only 2-d ops")

    def _pads(self, node, at, kernel, stride, dilation=(1, 1), in_hw=None) -> tuple[int, int]:
        auto = at.get("auto_pad", b"NOTSET")
        auto = auto.decode() if isinstance(auto, bytes) else auto
        if auto in ("SAME_UPPER", "SAME_LOWER"):
            pads = []
            for i in range(2):
                out = -(-in_hw[i] // stride[i])
                total = max(0, (out - 1) * stride[i] + (kernel[i] - 1) * dilation[i] + 1 - in_hw[i])
                pads.append((total // 2, total - total // 2))
            top, left, bottom, right = pads[0][0], pads[1][0], pads[0][1], pads[1][1]
        elif auto == "VALID":
            top = left = bottom = right = 0
        else:
            top, left, bottom, right = (int(p) for p in at.get("pads", [0, 0, 0, 0]))
        if (top, left) != (bottom, right):
            _fail(node, f"asymmetric padding {[top, left, bottom, right]}",
                 "only equal padding on both sides is supported")
        return top, left

    # -- convolution, linear, normalisation

    def _op_Conv(self, node, ins) -> None:
        x = self._tensor(node, ins[0], NCHW)
        w = self._const(node, ins[1], "weight")
        b = self._const(node, ins[2], "bias") if len(ins) > 2 and ins[2] is not None else None
        if w.ndim != 4:
            _fail(node, f"a weight of shape {w.shape}", "only 2-d convolutions are supported")
        at = _attrs(node)
        stride = self._pair_attr(node, at, "strides", [1, 1])
        dilation = self._pair_attr(node, at, "dilations", [1, 1])
        groups = int(at.get("group", 1))
        pad = self._pads(node, at, w.shape[2:], stride, dilation, self.g.shape(node.input[0])[2:])
        out = node.output[0]
        bn = self.g.only_user(out)
        if bn is not None and bn.op_type == "BatchNormalization" and len(
                [o for o in bn.output if o]) == 1 and all(i in self.values for i in bn.input[1:]):
            w, b = emit.fold_affine(w, b, *self._bn_affine(bn))
            self.absorbed.add(id(bn))
            out = bn.output[0]
        relu, last = self._fuse_relu(out)
        self._emit(node, [node.output[0], out, last],
                   emit.conv(w, b, stride, pad, dilation, groups), [x.name], relu=relu)

    def _bn_affine(self, bn):
        gamma, beta, mean, var = (self._const(bn, self.values.get(i), "statistics")
                                  for i in bn.input[1:5])
        if _attrs(bn).get("training_mode", 0):
            _fail(bn, "training-mode batch norm", "export the model in eval mode")
        return emit.bn_affine(gamma, beta, mean, var, float(_attrs(bn).get("epsilon", 1e-5)))

    def _op_BatchNormalization(self, node, ins) -> None:
        x = self._tensor(node, ins[0], NCHW)
        if len([o for o in node.output if o]) != 1:
            _fail(node, "its running statistics outputs are used", "export the model in eval mode")
        relu, last = self._fuse_relu(node.output[0])
        self._emit(node, [node.output[0], last], emit.channel_affine(*self._bn_affine(node)),
                   [x.name], relu=relu)

    def _linear(self, node, x: _Tensor, w, b, outputs: list[str]) -> None:
        """y = x @ w.T + b over a vector, or over the channels of an image."""
        relu, last = self._fuse_relu(outputs[-1])
        if x.layout == NHWC:  # a linear layer over channels (ConvNeXt's MLP) is a 1x1 convolution
            self._emit(node, outputs + [last], emit.conv(w[:, :, None, None], b), [x.name],
                       relu=relu, layout=NHWC)
        elif x.layout == VEC:
            self._emit(node, outputs + [last], emit.gemm(w, b, x.flattened_from), [x.name],
                       relu=relu, layout=VEC)
        else:
            _fail(node, "a matrix product over an NCHW image", "flatten it or move channels last first")

    def _op_Gemm(self, node, ins) -> None:
        at = _attrs(node)
        x = self._tensor(node, ins[0], VEC)
        if at.get("transA", 0):
            _fail(node, "transA=1", "export the linear layer as x @ W.T")
        w = self._const(node, ins[1], "weight")
        w = w if at.get("transB", 0) else w.T
        w = w * float(at.get("alpha", 1.0))
        b = None
        if len(ins) > 2 and ins[2] is not None:
            b = self._const(node, ins[2], "bias").reshape(-1) * float(at.get("beta", 1.0))
        self._linear(node, x, w, b, [node.output[0]])

    def _op_MatMul(self, node, ins) -> None:
        x = self._tensor(node, ins[0], VEC, NHWC)
        w = self._const(node, ins[1], "weight")
        if w.ndim != 2:
            _fail(node, f"a right operand of shape {w.shape}", "only x @ W with a 2-d W is supported")
        outputs = [node.output[0]]
        b = None
        add = self.g.only_user(node.output[0])
        if add is not None and add.op_type == "Add":
            other = [i for i in add.input if i != node.output[0]]
            bias = self.values.get(other[0]) if len(other) == 1 else None
            if isinstance(bias, np.ndarray) and bias.size == w.shape[1]:
                b = bias.astype(np.float64).reshape(-1)
                self.absorbed.add(id(add))
                outputs.append(add.output[0])
        self._linear(node, x, w.T, b, outputs)

    def _op_LayerNormalization(self, node, ins) -> None:
        x = self._tensor(node, ins[0], NHWC, VEC)
        at = _attrs(node)
        rank = len(self.g.shape(node.input[0]))
        if at.get("axis", -1) % rank != rank - 1 or len([o for o in node.output if o]) != 1:
            _fail(node, f"normalising from axis {at.get('axis', -1)}",
                 "only layer norm over the last (channel) axis is supported")
        gamma = self._const(node, ins[1], "scale")
        beta = self._const(node, ins[2], "bias") if len(ins) > 2 and ins[2] is not None \
            else np.zeros_like(gamma)
        self._emit(node, [node.output[0]], emit.Op("layernorm_fp32", {
            "eps": float(at.get("epsilon", 1e-5))}, {"gamma": gamma, "beta": beta}),
            [x.name], layout=x.layout, flattened_from=x.flattened_from)

    # -- element-wise

    def _unary(self, node, x, op: emit.Op) -> None:
        x = self._tensor(node, x)
        self._emit(node, [node.output[0]], op, [x.name], layout=x.layout,
                   flattened_from=x.flattened_from)

    def _op_Relu(self, node, ins):
        self._unary(node, ins[0], emit.activation("relu"))

    def _op_LeakyRelu(self, node, ins):
        self._unary(node, ins[0], emit.activation("leaky_relu", alpha=_attrs(node).get("alpha", 0.01)))

    def _op_Tanh(self, node, ins):
        self._unary(node, ins[0], emit.activation("tanh"))

    def _op_HardSwish(self, node, ins):
        self._unary(node, ins[0], emit.activation("hardswish"))

    def _op_HardSigmoid(self, node, ins):
        at = _attrs(node)
        if abs(at.get("alpha", 0.2) - 1 / 6) > 1e-6 or abs(at.get("beta", 0.5) - 0.5) > 1e-6:
            _fail(node, f"alpha={at.get('alpha', 0.2)}, beta={at.get('beta', 0.5)}",
                 "only PyTorch's hardsigmoid (alpha 1/6, beta 0.5) is supported")
        self._unary(node, ins[0], emit.activation("hardsigmoid"))

    def _op_Sigmoid(self, node, ins):
        # x * sigmoid(x) (SiLU as exported) is one op.
        mul = self.g.only_user(node.output[0])
        if mul is not None and mul.op_type == "Mul" and sorted(mul.input) == sorted(
                [node.input[0], node.output[0]]):
            self.absorbed.add(id(mul))
            x = self._tensor(node, ins[0])
            self._emit(node, [mul.output[0]], emit.activation("silu"), [x.name], layout=x.layout,
                       flattened_from=x.flattened_from)
            return
        self._unary(node, ins[0], emit.activation("sigmoid"))

    def _op_Gelu(self, node, ins):
        self._unary(node, ins[0], emit.activation(
            "gelu", approximate=_attrs(node).get("approximate", b"none").decode()))

    def _op_Clip(self, node, ins):
        lo = ins[1] if len(ins) > 1 else None
        hi = ins[2] if len(ins) > 2 else None
        if not (isinstance(lo, np.ndarray) and isinstance(hi, np.ndarray) and lo.size == hi.size == 1):
            _fail(node, "a one-sided clip or one with tensor bounds", "give both bounds as constants")
        self._unary(node, ins[0], emit.activation("clamp", lo=_scalar(lo), hi=_scalar(hi)))

    def _gelu_pattern(self, node, ins) -> bool:
        """x / sqrt(2) -> Erf -> + 1 -> * x -> * 0.5: exact GELU as exported."""
        c = ins[1]
        if not (isinstance(c, np.ndarray) and c.size == 1 and abs(_scalar(c) - np.sqrt(2)) < 1e-5):
            return False
        erf = self.g.only_user(node.output[0])
        add = erf and erf.op_type == "Erf" and self.g.only_user(erf.output[0])
        if not (add and add.op_type == "Add" and self._is_scalar(add, erf.output[0], 1.0)):
            return False
        mul = self.g.only_user(add.output[0])
        if not (mul and mul.op_type == "Mul" and sorted(mul.input) == sorted([node.input[0], add.output[0]])):
            return False
        half = self.g.only_user(mul.output[0])
        if not (half and half.op_type == "Mul" and self._is_scalar(half, mul.output[0], 0.5)):
            return False
        self.absorbed.update({id(erf), id(add), id(mul), id(half)})
        x = self._tensor(node, ins[0])
        self._emit(node, [half.output[0]], emit.activation("gelu"), [x.name], layout=x.layout,
                   flattened_from=x.flattened_from)
        return True

    def _is_scalar(self, node, operand: str, value: float) -> bool:
        other = [i for i in node.input if i != operand]
        v = self.values.get(other[0]) if len(other) == 1 else None
        return isinstance(v, np.ndarray) and v.size == 1 and abs(_scalar(v) - value) < 1e-6

    def _op_Div(self, node, ins):
        if self._gelu_pattern(node, ins):
            return
        d = ins[1]
        if isinstance(d, np.ndarray) and d.size == 1:
            self._unary(node, ins[0], emit.Op("scale_fp32", {"scalar": 1.0 / _scalar(d)}, {}))
            return
        _fail(node, "division by a tensor", "only division by a scalar constant is supported")

    def _channel_const(self, node, x: _Tensor, shape, s: np.ndarray):
        """s as a per-channel vector of x, or None."""
        axis = {NCHW: 1, NHWC: 3}.get(x.layout)
        if axis is None or len(shape) != 4 or s.ndim > 4:
            return None
        want = tuple(shape[axis] if i == axis else 1 for i in range(4))
        full = (1,) * (4 - s.ndim) + s.shape
        if full == want:
            return s.reshape(-1)
        if s.size == 1:
            return np.full(shape[axis], float(s.reshape(-1)[0]))
        return None

    def _binary(self, node, ins):
        a, b = ins[:2]
        sa, sb = self.g.shape(node.input[0]), self.g.shape(node.input[1])
        if not isinstance(a, _Tensor):
            a, b, sa, sb = b, a, sb, sa
        return self._tensor(node, a), b, sa, sb

    def _op_Add(self, node, ins):
        a, b, sa, sb = self._binary(node, ins)
        if isinstance(b, _Tensor):
            if sa != sb or a.layout != b.layout:
                _fail(node, f"broadcasting {sa} + {sb}", "only equal shapes add")
            relu, last = self._fuse_relu(node.output[0])
            self._emit(node, [node.output[0], last], "add_fp32", [a.name, b.name], relu=relu,
                       layout=a.layout, flattened_from=a.flattened_from)
            return
        shift = self._channel_const(node, a, sa, self._const(node, b, "addend"))
        if shift is None:
            _fail(node, f"adding a constant of shape {b.shape} to {sa}",
                 "only scalar or per-channel constants are supported")
        self._emit(node, [node.output[0]], emit.channel_affine(np.ones_like(shift), shift),
                   [a.name], layout=a.layout)

    def _op_Mul(self, node, ins):
        a, b, sa, sb = self._binary(node, ins)
        if isinstance(b, _Tensor):
            if sa == sb and a.layout == b.layout:
                self._emit(node, [node.output[0]], "elemwise_mul_fp32", [a.name, b.name],
                           layout=a.layout, flattened_from=a.flattened_from)
                return
            if len(sa) == 4 == len(sb) and a.layout == b.layout == NCHW and sa[1] == sb[1]:
                if sb[2:] == (1, 1):  # squeeze-and-excitation
                    self._emit(node, [node.output[0]], "channel_mul_fp32", [a.name, b.name])
                    return
                if sa[2:] == (1, 1):
                    self._emit(node, [node.output[0]], "channel_mul_fp32", [b.name, a.name])
                    return
            _fail(node, f"broadcasting {sa} * {sb}",
                 "only equal shapes or a per-channel (N, C, 1, 1) factor are supported")
        s = self._const(node, b, "factor")
        if s.size == 1:
            self._unary(node, a, emit.Op("scale_fp32", {"scalar": float(s.reshape(-1)[0])}, {}))
            return
        scale = self._channel_const(node, a, sa, s)
        if scale is None:
            _fail(node, f"multiplying {sa} by a constant of shape {s.shape}",
                 "only scalar or per-channel constants are supported")
        self._emit(node, [node.output[0]], emit.channel_affine(scale, None), [a.name],
                   layout=a.layout)

    # -- pooling and concatenation

    def _pool_attrs(self, node, in_hw):
        at = _attrs(node)
        k = self._pair_attr(node, at, "kernel_shape", None)
        stride = self._pair_attr(node, at, "strides", [1, 1])
        if self._pair_attr(node, at, "dilations", [1, 1]) != (1, 1):
            _fail(node, "dilated pooling", "use dilation 1")
        return at, k, stride, self._pads(node, at, k, stride, in_hw=in_hw)

    def _op_MaxPool(self, node, ins):
        x = self._tensor(node, ins[0], NCHW)
        if len([o for o in node.output if o]) != 1:
            _fail(node, "its indices output is used", "only the pooled values are supported")
        at, k, stride, pad = self._pool_attrs(node, self.g.shape(node.input[0])[2:])
        self._emit(node, [node.output[0]], emit.maxpool(k, stride, pad, bool(at.get("ceil_mode", 0))),
                   [x.name])

    def _op_AveragePool(self, node, ins):
        x = self._tensor(node, ins[0], NCHW)
        at, k, stride, pad = self._pool_attrs(node, self.g.shape(node.input[0])[2:])
        self._emit(node, [node.output[0]], emit.avgpool2d(
            k, stride, pad, bool(at.get("ceil_mode", 0)), bool(at.get("count_include_pad", 0))),
            [x.name])

    def _op_GlobalAveragePool(self, node, ins):
        x = self._tensor(node, ins[0], NCHW)
        self._emit(node, [node.output[0]], "avgpool_fp32", [x.name])

    def _layer_norm_pattern(self, node, x: _Tensor) -> bool:
        """Layer norm over the last axis as exported before opset 17:
        d = x - mean(x); d / sqrt(mean(d ** 2) + eps) * gamma + beta."""
        g, out = self.g, node.output[0]
        sub = g.only_user(out)
        if not (sub and sub.op_type == "Sub" and list(sub.input) == [node.input[0], out]):
            return False
        users = {u.op_type: u for u in g.consumers.get(sub.output[0], []) if u is not None}
        pow_, div = users.get("Pow"), users.get("Div")
        if len(users) != 2 or not pow_ or not div or div.input[0] != sub.output[0] or \
                not self._is_scalar(pow_, sub.output[0], 2.0):
            return False
        chain, prev = [], pow_.output[0]
        for op in ("ReduceMean", "Add", "Sqrt"):
            nxt = g.only_user(prev)
            if not (nxt and nxt.op_type == op):
                return False
            chain.append(nxt)
            prev = nxt.output[0]
        mean2, add, _ = chain
        if _attrs(mean2).get("axes") != _attrs(node).get("axes") or div.input[1] != prev:
            return False
        eps = self.values.get(add.input[1] if add.input[0] == mean2.output[0] else add.input[0])
        mul = g.only_user(div.output[0])
        bias = mul and mul.op_type == "Mul" and g.only_user(mul.output[0])
        if not (isinstance(eps, np.ndarray) and eps.size == 1 and bias and bias.op_type == "Add"):
            return False
        gamma = self.values.get(self.g_other(mul, div.output[0]))
        beta = self.values.get(self.g_other(bias, mul.output[0]))
        c = self.g.shape(node.input[0])[-1]
        if not all(isinstance(v, np.ndarray) and v.size == c for v in (gamma, beta)):
            return False
        self.absorbed.update(id(n) for n in (sub, pow_, *chain, div, mul, bias))
        self._emit(node, [bias.output[0]], emit.Op(
            "layernorm_fp32", {"eps": _scalar(eps)},
            {"gamma": gamma.reshape(-1), "beta": beta.reshape(-1)}),
            [x.name], layout=x.layout, flattened_from=x.flattened_from)
        return True

    @staticmethod
    def g_other(node, name):
        rest = [i for i in node.input if i != name]
        return rest[0] if len(rest) == 1 else None

    def _op_ReduceMean(self, node, ins):
        x = self._tensor(node, ins[0], NCHW, NHWC, VEC)
        at = _attrs(node)
        axes = at.get("axes")
        if axes is None and len(ins) > 1 and isinstance(ins[1], np.ndarray):
            axes = ins[1].tolist()
        rank = len(self.g.shape(node.input[0]))
        if x.layout != NCHW and [int(a) % rank for a in axes or []] == [rank - 1] and \
                self._layer_norm_pattern(node, x):
            return
        if x.layout == VEC:
            _fail(node, "a mean over a vector", "only the mean over H and W is supported")
        axes = tuple(sorted(int(a) % 4 for a in (axes or [])))
        if axes != {NCHW: (2, 3), NHWC: (1, 2)}[x.layout]:
            _fail(node, f"mean over axes {axes}", "only the mean over H and W is supported")
        keep = at.get("keepdims", 1)
        self._emit(node, [node.output[0]], "avgpool_fp32", [x.name],
                   layout=x.layout if keep else VEC)

    def _op_Concat(self, node, ins):
        rank = len(self.g.shape(node.output[0]))
        if rank != 4 or _attrs(node)["axis"] % 4 != 1:
            _fail(node, f"concatenation along axis {_attrs(node)['axis']} of a rank-{rank} tensor",
                 "only channel concatenation of NCHW images is supported")
        names = [self._tensor(node, v, NCHW).name for v in ins]
        if len(names) == 1:
            self.values[node.output[0]] = ins[0]
            return
        groups = emit.concat_groups(names)
        joined = None
        for group in groups[:-1]:
            joined = self._emit(node, [], "concat_fp32",
                                [joined if n is None else n for n in group]).name
        self._emit(node, [node.output[0]], "concat_fp32",
                   [joined if n is None else n for n in groups[-1]])

    def _op_Split(self, node, ins):
        x = self._tensor(node, ins[0], NCHW)
        at = _attrs(node)
        c = self.g.shape(node.input[0])[1]
        if at.get("axis", 0) % 4 != 1:
            _fail(node, f"splitting along axis {at.get('axis', 0)}", "only channel splits are supported")
        sizes = ins[1].tolist() if len(ins) > 1 and isinstance(ins[1], np.ndarray) else \
            at.get("split") or [self.g.shape(o)[1] for o in node.output]
        start = 0
        for out, size in zip(node.output, sizes):
            if out and self.g.consumers.get(out):
                self._emit(node, [out], emit.channel_select(c, start, start + int(size)), [x.name])
            start += int(size)

    def _op_Slice(self, node, ins):
        x = self._tensor(node, ins[0], NCHW)
        c = self.g.shape(node.input[0])[1]
        starts, ends, axes, steps = (ins[i].reshape(-1).tolist() if len(ins) > i and
                                     isinstance(ins[i], np.ndarray) else None for i in range(1, 5))
        axes = axes or list(range(len(starts)))
        if [a % 4 for a in axes] != [1] or (steps or [1]) != [1]:
            _fail(node, f"slicing axes {axes} with steps {steps}",
                 "only a channel range of an NCHW image is supported")
        start, end, _ = slice(int(starts[0]), int(ends[0])).indices(c)
        self._emit(node, [node.output[0]], emit.channel_select(c, start, end), [x.name])

    # -- shapes

    def _alias(self, node, ins):
        self.values[node.output[0]] = ins[0]

    _op_Identity = _alias

    def _op_Dropout(self, node, ins):
        if len(node.output) > 1 and node.output[1] and self.g.consumers.get(node.output[1]):
            _fail(node, "its mask output is used", "export the model in eval mode")
        self._alias(node, ins)

    def _reshape_to(self, node, v, out):
        src = node.input[0]
        shape = self.g.shape(src)
        if isinstance(v, _Grouped):
            if v.transposed and len(out) == 4 and out[1] == shape[1] * shape[2] and out[2:] == shape[3:]:
                self._emit(node, [node.output[0]], "channel_shuffle_fp32", [v.src.name],
                           groups=v.groups)
                return
            _fail(node, f"reshaping a grouped view to {out}", "only channel shuffle is supported")
        x = self._tensor(node, v)
        if out == shape:
            self.values[node.output[0]] = x
        elif len(out) == 2 and out[0] == 1:
            if x.layout == NHWC and len(shape) == 4 and shape[1] * shape[2] > 1:
                _fail(node, "flattening a channels-last image", "flatten NCHW images")
            flat = tuple(shape[1:]) if x.layout == NCHW and len(shape) == 4 and \
                shape[2] * shape[3] > 1 else x.flattened_from
            self.values[node.output[0]] = _Tensor(x.name, VEC, flat)
        elif len(out) == 5 and x.layout == NCHW and out[0] == 1 and out[1] * out[2] == shape[1] \
                and out[3:] == shape[2:]:
            self.values[node.output[0]] = _Grouped(x, out[1])
        elif len(out) == 4 and x.layout == VEC and out[2:] == (1, 1) and x.flattened_from is None:
            self.values[node.output[0]] = _Tensor(x.name, NCHW)
        else:
            _fail(node, f"reshaping {shape} to {out}",
                 "only flattening to (1, N) and channel shuffle are supported")

    def _out_shape(self, node):
        out = self.g.shape(node.output[0])
        if out is None:
            _fail(node, "its output shape is not static", "export with a fixed input size")
        return out

    def _op_Reshape(self, node, ins):
        self._reshape_to(node, ins[0], self._out_shape(node))

    _op_Flatten = _op_Reshape
    _op_Squeeze = _op_Reshape
    _op_Unsqueeze = _op_Reshape

    def _op_Transpose(self, node, ins):
        v = ins[0]
        perm = tuple(_attrs(node).get("perm", []))
        if isinstance(v, _Grouped) and not v.transposed and perm == (0, 2, 1, 3, 4):
            self.values[node.output[0]] = _Grouped(v.src, v.groups, True)
            return
        x = self._tensor(node, v)
        if x.layout == NCHW and perm == (0, 2, 3, 1):
            self.values[node.output[0]] = _Tensor(x.name, NHWC)
        elif x.layout == NHWC and perm == (0, 3, 1, 2):
            self.values[node.output[0]] = _Tensor(x.name, NCHW)
        else:
            _fail(node, f"permuting a {x.layout} tensor by {perm}",
                 "only moving channels last and back, and channel shuffle, are supported")


class Session:
    """Run converted files as an ONNX runtime session would: inputs by their
    ONNX names (int64 token ids, NCHW float32 images, with the batch axis),
    outputs as arrays of their ONNX shapes.

    ``Session(arch, weights).run(None, {"input": x})`` returns the list of
    outputs, as ``onnxruntime.InferenceSession.run`` does.
    """

    def __init__(self, arch_path: str, weights_path: str):
        import model_inference
        with open(arch_path, encoding="utf-8") as f:
            doc = json.load(f)
        if "onnx" not in doc:
            raise ValueError(f"{arch_path} was not converted from ONNX (it has no \"onnx\" signature)")
        self.signature = doc["onnx"]
        self.model = model_inference.InferenceModel(arch_path, weights_path)
        self.input_names = [i["name"] for i in self.signature["inputs"]]
        self.output_names = [o["name"] for o in self.signature["outputs"]]
        # The engine's declared shape of each input it reads: the ONNX array
        # is passed as a view of that shape (the batch axis of 1 dropped).
        self._declared = {s.name: [-1 if d == 0 else d for d in s.shape] for s in self.model.inputs}

    def _engine_array(self, name: str, a: np.ndarray) -> np.ndarray:
        # One item goes in at the engine's declared shape; a batch of N (an
        # ONNX file with a dynamic batch axis) as (N, declared), which the
        # engine runs item by item.
        n = a.shape[0] if a.ndim > 1 else 1
        decl = list(self._declared[name])
        if -1 in decl:
            known = int(np.prod([d for d in decl if d != -1]))
            decl[decl.index(-1)] = a.size // n // max(known, 1)
        return a.reshape(decl if n == 1 else [n] + decl)

    def run(self, output_names, feeds: dict) -> list[np.ndarray]:
        """The outputs named in ``output_names`` (None: all), in the model's
        order, for ``feeds`` (ONNX input name -> array)."""
        missing = [n for n in self.input_names if n not in feeds]
        extra = [n for n in feeds if n not in self.input_names]
        if missing or extra:
            raise ValueError(f"inputs must be exactly {self.input_names}; "
                             + (f"missing {missing}" if missing else f"unknown {extra}"))
        sizes = {}
        for spec in self.signature["inputs"]:
            a = np.asarray(feeds[spec["name"]])
            dims = spec["dims"]
            if dims is not None and (a.ndim != len(dims) or any(
                    isinstance(d, int) and d != n for d, n in zip(dims, a.shape))):
                raise ValueError(f"input '{spec['name']}' has shape {a.shape}; the model takes {dims}")
            for d, n in zip(dims or [], a.shape):
                if isinstance(d, str) and sizes.setdefault(d, n) != n:
                    raise ValueError(f"input '{spec['name']}': dimension '{d}' is {n} here and "
                                     f"{sizes[d]} in another input")
        for n, rule in self.signature.get("unwired", {}).items():
            a = np.asarray(feeds[n])
            if rule == "all_ones" and not np.all(a == 1):
                raise ValueError(f"input '{n}' has padded positions (zeros); this engine build has "
                                 "no attention key mask, so give unpadded sequences (all ones)")
        outs = self.model.forward({n: self._engine_array(n, np.asarray(feeds[n]))
                                   for n in self.input_names if n in self._declared})
        result = []
        for spec in self.signature["outputs"]:
            if output_names is not None and spec["name"] not in output_names:
                continue
            flat = np.asarray(outs[spec["name"]])
            dims = [sizes.get(d, 1) if isinstance(d, str) or d is None else d
                    for d in spec["dims"] or [flat.size]]
            result.append(flat.reshape(dims))
        return result
