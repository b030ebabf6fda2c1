"""Any other PyTorch module (a CNN) to vantrel files, captured with ``torch.export``.

The module is exported in eval mode on the example input and functionalised
(``run_decompositions({})``): that keeps ATen's composite ops whole
(``conv2d``, ``linear``, ``hardswish``, ``layer_norm``...), which map onto
engine ops one to one, where a full core-ATen decomposition would break them
into arithmetic. Each ATen node is then mapped onto engine ops:
batch norms that follow a convolution are folded into it, a batch norm on
its own becomes a depthwise 1x1 convolution, and a ReLU that is the only
user of a convolution, linear layer or addition becomes that node's fused
ReLU; a clamp (ReLU6, hardtanh) or hard swish that is the only user of a
convolution becomes the convolution's activation (``act``). Anything
without a mapping stops the conversion with a
:class:`~vantrel.convert.core.ConversionError` naming the ATen op and the
module it came from; nothing is dropped silently, and no model is returned.

The engine is channels-last, so a PyTorch NCHW tensor and its NHWC
permutation are the same engine tensor: permutes only change which torch
axis is the channel one (ConvNeXt's ``permute`` + ``LayerNorm`` over
channels becomes ``layernorm_fp32`` on the image).

The converted model takes one image without the batch axis, channels
last: an array of shape ``(H, W, C)`` for a PyTorch input ``(1, C, H, W)``.
"""

from __future__ import annotations

import operator
from typing import Callable

import numpy as np

from vantrel.convert import emit
from vantrel.convert.core import ConversionError, report_progress
from vantrel.model_file import ModelBuilder

__all__ = ["convert_cnn"]

NCHW, NHWC, VEC = "nchw", "nhwc", "vec"


def convert_cnn(module, example_input, name: str = "model", input_name: str = "input",
                progress: bool = False) -> ModelBuilder:
    """Export ``module`` on ``example_input`` (a tensor of shape (1, C, H, W))
    and return a :class:`ModelBuilder` holding the converted model."""
    import torch

    if example_input.dim() != 4 or example_input.shape[0] != 1:
        raise ConversionError(
            f"example input must have shape (1, C, H, W), got {tuple(example_input.shape)}")
    module = module.eval()
    try:
        with torch.no_grad():
            program = torch.export.export(module, (example_input,)).run_decompositions({})
    except Exception as e:  # export's own errors come in many types
        first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        raise ConversionError(
            f"torch.export could not capture {type(module).__name__}: {first} (make its "
            "forward exportable: no data-dependent control flow or Python side effects)") from e
    return _Converter(program, name, input_name, progress).run()


class _Tensor:
    """What an exported value became: an engine tensor name and how torch
    sees it. ``layout`` is NCHW or NHWC for a 4-d image (the same engine
    tensor either way) or VEC for (1, N); ``flattened_from`` is the (C, H, W)
    a vector was flattened from (a following linear layer must reorder its
    columns from C, H, W to the engine's H, W, C)."""

    def __init__(self, name: str, layout: str = NCHW, flattened_from=None):
        self.name = name
        self.layout = layout
        self.flattened_from = flattened_from


class _Grouped:
    """The middle of a channel shuffle: an NCHW image viewed as
    (1, groups, C/groups, H, W), then with those two axes transposed."""

    def __init__(self, src: _Tensor, groups: int, transposed: bool = False):
        self.src, self.groups, self.transposed = src, groups, transposed


class _Split:
    """Channel slices of an image, emitted when an item is taken."""

    def __init__(self, src: _Tensor, bounds: list[tuple[int, int]]):
        self.src, self.bounds = src, bounds


def _opname(target) -> str:
    return getattr(target, "_opname", getattr(target, "__name__", str(target)))


def _pair(v) -> tuple[int, int]:
    if isinstance(v, int):
        return v, v
    v = list(v)
    return (v[0], v[0]) if len(v) == 1 else (v[0], v[1])


class _Converter:
    def __init__(self, program, name: str, input_name: str, progress: bool):
        self.program = program
        self.graph = program.graph
        self.b = ModelBuilder(name)
        self.input_name = input_name
        self.progress = progress
        self.values: dict[str, object] = {}
        self.absorbed: set[str] = set()
        self.used_names: set[str] = set()
        sig = program.graph_signature
        self.user_inputs = list(sig.user_inputs)
        self.constants = {}
        for mapping in (sig.inputs_to_parameters, sig.inputs_to_buffers,
                        sig.inputs_to_lifted_tensor_constants):
            for placeholder, fqn in mapping.items():
                t = program.state_dict.get(fqn)
                if t is None:
                    t = program.constants.get(fqn)
                self.constants[placeholder] = t
        act = self._activation
        self.handlers: dict[str, Callable] = {
            "conv2d": self._conv, "convolution": self._conv,
            "linear": self._linear, "addmm": self._addmm,
            "_native_batch_norm_legit_no_training": self._batch_norm,
            "batch_norm": self._batch_norm,
            "relu": self._relu, "leaky_relu": self._leaky_relu,
            "hardtanh": self._clamp, "relu6": self._clamp, "clamp": self._clamp,
            **{kind: act(kind) for kind in ("hardswish", "hardsigmoid", "sigmoid", "tanh", "silu")},
            "gelu": self._gelu,
            "add": self._add, "mul": self._mul, "cat": self._cat,
            "max_pool2d": self._maxpool, "avg_pool2d": self._avgpool,
            "adaptive_avg_pool2d": self._adaptive_avgpool, "mean": self._mean,
            "view": self._reshape, "reshape": self._reshape, "_unsafe_view": self._reshape,
            "flatten": self._reshape, "permute": self._permute, "transpose": self._transpose,
            "clone": self._identity, "contiguous": self._identity, "dropout": self._identity,
            "alias": self._identity, "detach": self._identity,
            "split": self._split, "split_with_sizes": self._split, "chunk": self._split,
            "layer_norm": self._layer_norm, "native_layer_norm": self._layer_norm,
            "getitem": self._getitem,
        }

    # -- driving

    def run(self) -> ModelBuilder:
        nodes = list(self.graph.nodes)
        for i, node in enumerate(nodes):
            if i % 25 == 0 or i == len(nodes) - 1:
                report_progress(self.progress, "node", i + 1, len(nodes))
            if node.name in self.absorbed:
                continue
            self._convert_node(node)
        return self.b

    def _convert_node(self, node) -> None:
        if node.op == "placeholder":
            if node.name in self.constants:
                self.values[node.name] = self.constants[node.name]
                return
            if any(isinstance(v, _Tensor) for v in self.values.values()):
                raise ConversionError(f"node '{node.name}': only one input is supported")
            _, c, h, w = self._shape(node)
            self.values[node.name] = _Tensor(self.b.input(self.input_name, [h, w, c]))
        elif node.op == "output":
            results = [r for r in node.args[0]] if isinstance(node.args[0], (tuple, list)) \
                else [node.args[0]]
            self.b.output(*(self._tensor(node, r).name for r in results))
        elif node.op == "call_function":
            handler = self.handlers.get(_opname(node.target))
            if handler is None:
                self._fail(node, "has no mapping onto an engine op",
                           "replace that layer, or add an engine op and map it here")
            handler(node)
        else:
            raise ConversionError(f"unsupported graph node '{node.name}' ({node.op})")

    # -- helpers

    def _where(self, node) -> str:
        stack = node.meta.get("nn_module_stack") or {}
        if not stack:
            return "the top-level module"
        path, kind = list(stack.values())[-1]
        kind = kind.rsplit(".", 1)[-1] if isinstance(kind, str) else getattr(kind, "__name__", kind)
        return f"module '{path or '<root>'}' ({kind})"

    def _fail(self, node, problem: str, todo: str):
        target = str(node.target) if node.op == "call_function" else node.op
        raise ConversionError(f"{target} at {self._where(node)}, node '{node.name}': "
                              f"{problem}; {todo}")

    @staticmethod
    def _shape(node) -> tuple[int, ...]:
        val = node.meta.get("val")
        if val is None or not hasattr(val, "shape"):
            raise ConversionError(f"node '{node.name}' has no tensor shape")
        return tuple(int(d) for d in val.shape)

    def _arg(self, node, i: int, key: str, default=None):
        if len(node.args) > i:
            return node.args[i]
        return node.kwargs.get(key, default)

    def _get(self, arg):
        if hasattr(arg, "name") and arg.name in self.values:
            return self.values[arg.name]
        return arg

    def _tensor(self, node, arg) -> _Tensor:
        v = self._get(arg)
        if not isinstance(v, _Tensor):
            self._fail(node, f"input {getattr(arg, 'name', arg)!r} is not a converted tensor",
                       "only values computed from the model input are supported there")
        return v

    def _const(self, node, arg, what: str) -> np.ndarray | None:
        if arg is None:
            return None
        v = self._get(arg)
        if isinstance(v, _Tensor) or not hasattr(v, "detach"):
            self._fail(node, f"its {what} is not a parameter", "give it a constant tensor")
        return v.detach().to("cpu").double().numpy()

    def _node_name(self, node) -> str:
        stack = node.meta.get("nn_module_stack") or {}
        path = list(stack.values())[-1][0] if stack else ""
        name = path if path and path not in self.used_names else (
            f"{path}.{node.name}" if path else node.name)
        if len(name.encode()) > 48:  # room for ".weight" etc. in the 63-byte name field
            name = node.name
        self.used_names.add(name)
        return name

    def _only_user(self, node):
        users = list(node.users)
        return users[0] if len(users) == 1 else None

    def _is(self, node, *names: str) -> bool:
        return node is not None and node.op == "call_function" and _opname(node.target) in names

    def _first_item(self, node):
        """The node holding item 0 of a tuple-valued ``node``, if that is its
        only use."""
        user = self._only_user(node)
        if user is not None and user.target is operator.getitem and user.args[1] == 0:
            return user
        return None

    def _fuse_relu(self, node) -> tuple[bool, object]:
        """Absorb a ReLU that is ``node``'s only user; returns (fused, last node)."""
        user = self._only_user(node)
        if self._is(user, "relu"):
            self.absorbed.add(user.name)
            return True, user
        return False, node

    def _emit(self, node, lasts, op: str, inputs: list[str], relu: bool = False,
              layout: str = NCHW, flattened_from=None, name: str | None = None,
              weights: dict | None = None, **args) -> _Tensor:
        name = name or self._node_name(node)
        out = self._node(node, op, inputs, name, relu=relu, **args)
        for key, array in (weights or {}).items():
            self.b.weight(f"{name}.{key}", np.asarray(array, dtype=np.float32))
        value = _Tensor(out, layout, flattened_from)
        for n in [node, *lasts]:
            self.values[n.name] = value
        return value

    def _node(self, node, op: str, inputs: list[str], name: str, **args) -> str:
        try:
            return self.b.node(op, inputs, name=name, **args)
        except ValueError as e:
            self._fail(node, f"it maps onto {op}, which this engine cannot take ({e})",
                       "use an engine build that has that op")

    def _image(self, node, arg, layout: str | None = None) -> _Tensor:
        v = self._tensor(node, arg)
        if v.layout == VEC or (layout is not None and v.layout != layout):
            self._fail(node, f"its input is laid out as {v.layout}",
                       f"only {layout or 'image'} inputs are supported there")
        return v

    # -- convolution, linear, normalisation

    def _fold_batch_norm(self, conv_node, w, b):
        """Fold a batch norm that is the convolution's only user; returns
        (weight, bias, last node)."""
        bn = self._only_user(conv_node)
        if not self._is(bn, "_native_batch_norm_legit_no_training", "batch_norm") \
                or bn.args[0] is not conv_node:
            return w, b, conv_node
        item = bn if _opname(bn.target) == "batch_norm" else self._first_item(bn)
        if item is None:
            return w, b, conv_node
        w, b = emit.fold_affine(w, b, *self._bn_affine(bn))
        self.absorbed.update({bn.name, item.name})
        return w, b, item

    def _bn_affine(self, bn) -> tuple[np.ndarray, np.ndarray]:
        gamma, beta, mean, var = (self._const(bn, a, "batch-norm statistics")
                                  for a in bn.args[1:5])
        eps = bn.args[7] if _opname(bn.target) == "batch_norm" else bn.args[6]
        return emit.bn_affine(gamma, beta, mean, var, eps)

    def _conv(self, node) -> None:
        x = self._image(node, node.args[0], NCHW)
        w = self._const(node, node.args[1], "weight")
        b = self._const(node, self._arg(node, 2, "bias"), "bias")
        if _opname(node.target) == "convolution":
            stride, padding, dilation, transposed, _, groups = node.args[3:9]
            if transposed:
                self._fail(node, "transposed convolution is not supported", "use Conv2d")
        else:
            stride, padding, dilation, groups = (self._arg(node, 3, "stride", 1),
                                                 self._arg(node, 4, "padding", 0),
                                                 self._arg(node, 5, "dilation", 1),
                                                 self._arg(node, 6, "groups", 1))
        if isinstance(padding, str):
            self._fail(node, f"padding={padding!r} is not supported",
                       "give Conv2d explicit zero padding")
        if w.ndim != 4:
            self._fail(node, f"weight of shape {w.shape} is not 2-d", "only Conv2d is supported")
        w, b, last = self._fold_batch_norm(node, w, b)
        relu, last = self._fuse_relu(last)
        act = {}
        if not relu:
            act, last = self._fuse_conv_act(last)
        self._emit_conv(node, [last], x, w, b, stride, padding, dilation, groups, relu, act)

    def _fuse_conv_act(self, node) -> tuple[dict, object]:
        """Absorb a clamp (ReLU6, hardtanh) or hard swish that is ``node``'s
        only user into the convolution's epilogue; returns (its conv_fp32
        arguments, last node)."""
        user = self._only_user(node)
        if self._is(user, "relu6", "hardtanh", "clamp") and user.args[0] is node:
            bounds = self._clamp_bounds(user)
            if None not in bounds:
                self.absorbed.add(user.name)
                act = {"act": 1, "clamp_min": float(bounds[0]), "clamp_max": float(bounds[1])}
                return act, user
        if self._is(user, "hardswish") and user.args[0] is node:
            self.absorbed.add(user.name)
            return {"act": 2}, user
        return {}, node

    def _emit_op(self, node, lasts, inputs: list[str], op: emit.Op, **kw) -> _Tensor:
        return self._emit(node, lasts, op.op, inputs, weights=op.weights, **kw, **op.args)

    def _emit_conv(self, node, lasts, x, w, b, stride, padding, dilation, groups, relu, act=None):
        self._emit_op(node, lasts, [x.name], emit.conv(w, b, _pair(stride), _pair(padding),
                                                       _pair(dilation), groups), relu=relu,
                      **(act or {}))

    def _channel_affine(self, node, lasts, x, scale, shift, relu=False) -> None:
        self._emit_op(node, lasts, [x.name], emit.channel_affine(scale, shift), relu=relu)

    def _batch_norm(self, node) -> None:
        x = self._image(node, node.args[0], NCHW)
        item = node if _opname(node.target) == "batch_norm" else self._first_item(node)
        if item is None:
            self._fail(node, "batch-norm statistics outputs are used",
                       "only inference-mode batch norm is supported")
        self.absorbed.add(item.name)
        scale, shift = self._bn_affine(node)
        relu, last = self._fuse_relu(item)
        self._channel_affine(node, [item, last], x, scale, shift, relu)

    def _gemm(self, node, x: _Tensor, w, b) -> None:
        if x.layout == NHWC:
            # A linear layer over the channels of an image (ConvNeXt's MLP)
            # is a 1x1 convolution.
            relu, last = self._fuse_relu(node)
            self._emit_conv(node, [last], x, w[:, :, None, None], b, 1, 0, 1, 1, relu)
            self.values[last.name].layout = NHWC
            return
        if x.layout != VEC:
            self._fail(node, "a linear layer over an NCHW image is not supported",
                       "flatten the image or permute its channels last first")
        relu, last = self._fuse_relu(node)
        self._emit_op(node, [last], [x.name], emit.gemm(w, b, x.flattened_from), relu=relu,
                      layout=VEC)

    def _linear(self, node) -> None:
        self._gemm(node, self._tensor(node, node.args[0]), self._const(node, node.args[1], "weight"),
                   self._const(node, self._arg(node, 2, "bias"), "bias"))

    def _addmm(self, node) -> None:
        b = self._const(node, node.args[0], "bias")
        w_t = self._const(node, node.args[2], "weight")
        self._gemm(node, self._tensor(node, node.args[1]), w_t.T, b)

    def _layer_norm(self, node) -> None:
        x = self._tensor(node, node.args[0])
        shape = self._shape(node.args[0])
        normalized = list(node.args[1])
        if x.layout == NCHW or len(normalized) != 1 or normalized[0] != shape[-1]:
            self._fail(node, f"normalising over {normalized} of a {x.layout} tensor {shape}",
                       "only layer norm over the channels (channels last) is supported")
        c = normalized[0]
        gamma = self._const(node, self._arg(node, 2, "weight"), "weight")
        beta = self._const(node, self._arg(node, 3, "bias"), "bias")
        eps = self._arg(node, 4, "eps", 1e-5)
        item = node if _opname(node.target) == "layer_norm" else self._first_item(node)
        if item is None:
            self._fail(node, "its mean/rstd outputs are used", "only the normalised output is")
        self.absorbed.add(item.name)
        self._emit(node, [item], "layernorm_fp32", [x.name], layout=x.layout,
                   flattened_from=x.flattened_from, eps=float(eps),
                   weights={"gamma": np.ones(c) if gamma is None else gamma,
                            "beta": np.zeros(c) if beta is None else beta})

    # -- element-wise

    def _unary(self, node, op: str, **args) -> None:
        x = self._tensor(node, node.args[0])
        self._emit(node, [], op, [x.name], layout=x.layout, flattened_from=x.flattened_from,
                   **args)

    def _activation(self, kind: str, **params) -> Callable:
        return lambda node: self._unary_op(node, emit.activation(kind, **params))

    def _unary_op(self, node, op: emit.Op) -> None:
        self._unary(node, op.op, **op.args)

    def _relu(self, node) -> None:
        self._unary_op(node, emit.activation("relu"))

    def _leaky_relu(self, node) -> None:
        self._unary_op(node, emit.activation(
            "leaky_relu", alpha=self._arg(node, 1, "negative_slope", 0.01)))

    def _clamp_bounds(self, node) -> tuple:
        kind = _opname(node.target)
        if kind == "relu6":
            return 0.0, 6.0
        if kind == "hardtanh":
            return self._arg(node, 1, "min_val", -1.0), self._arg(node, 2, "max_val", 1.0)
        return self._arg(node, 1, "min"), self._arg(node, 2, "max")

    def _clamp(self, node) -> None:
        lo, hi = self._clamp_bounds(node)
        if lo is None or hi is None:
            self._fail(node, "a one-sided clamp is not supported", "give both bounds")
        self._unary_op(node, emit.activation("clamp", lo=lo, hi=hi))

    def _gelu(self, node) -> None:
        approximate = node.kwargs.get("approximate", node.args[1] if len(node.args) > 1 else "none")
        self._unary_op(node, emit.activation("gelu", approximate=approximate))

    def _add(self, node) -> None:
        a, b = node.args[:2]
        if not (isinstance(self._get(a), _Tensor) and isinstance(self._get(b), _Tensor)) \
                or node.kwargs.get("alpha", 1) != 1:
            self._fail(node, "only tensor + tensor is supported", "add model tensors only")
        if self._shape(a) != self._shape(b) or self._get(a).layout != self._get(b).layout:
            self._fail(node, f"broadcasting {self._shape(a)} + {self._shape(b)}",
                       "only equal shapes add")
        va, vb = self._get(a), self._get(b)
        relu, last = self._fuse_relu(node)
        self._emit(node, [last], "add_fp32", [va.name, vb.name], relu=relu, layout=va.layout,
                   flattened_from=va.flattened_from)

    def _mul(self, node) -> None:
        a, b = node.args[:2]
        va, vb = self._get(a), self._get(b)
        if not isinstance(va, _Tensor):
            (a, va), (b, vb) = (b, vb), (a, va)
        if not isinstance(va, _Tensor):
            self._fail(node, "neither factor is a model tensor", "multiply model tensors")
        sa = self._shape(a)
        if isinstance(vb, _Tensor):
            sb = self._shape(b)
            if sa == sb and va.layout == vb.layout:
                self._emit(node, [], "elemwise_mul_fp32", [va.name, vb.name], layout=va.layout,
                           flattened_from=va.flattened_from)
                return
            if len(sa) == 4 and va.layout == vb.layout == NCHW and sa[1] == sb[1]:
                if sb[2:] == (1, 1):  # squeeze-and-excitation: x * s[n, c, 1, 1]
                    self._emit(node, [], "channel_mul_fp32", [va.name, vb.name])
                    return
                if sa[2:] == (1, 1):
                    self._emit(node, [], "channel_mul_fp32", [vb.name, va.name])
                    return
            self._fail(node, f"broadcasting {sa} * {sb}",
                       "only equal shapes or a per-channel (N, C, 1, 1) factor are supported")
        if isinstance(vb, (int, float)):
            self._unary_of(node, va, "scale_fp32", scalar=float(vb))
            return
        s = self._const(node, b, "factor")
        channel_axis = {NCHW: 1, NHWC: 3}.get(va.layout)
        if s.size == 1:
            self._unary_of(node, va, "scale_fp32", scalar=float(s.reshape(-1)[0]))
        elif channel_axis is not None and len(sa) == 4 and s.ndim <= 4 and \
                (1,) * (4 - s.ndim) + s.shape == tuple(
                    sa[channel_axis] if i == channel_axis else 1 for i in range(4)):
            # A per-channel constant (ConvNeXt's layer scale).
            self._channel_affine(node, [], va, s.reshape(-1), None)
            self.values[node.name].layout = va.layout
        else:
            self._fail(node, f"multiplying by a constant of shape {s.shape}",
                       "only scalar or per-channel constants are supported")

    def _unary_of(self, node, x: _Tensor, op: str, **args) -> None:
        self._emit(node, [], op, [x.name], layout=x.layout, flattened_from=x.flattened_from,
                   **args)

    def _cat(self, node) -> None:
        tensors = list(node.args[0])
        dim = self._arg(node, 1, "dim", 0)
        rank = len(self._shape(node))
        vals = [self._image(node, t, NCHW) for t in tensors]
        if rank != 4 or dim % 4 != 1:
            self._fail(node, f"concatenation along dim {dim} of a rank-{rank} tensor",
                       "only channel concatenation of NCHW images is supported")
        names = [v.name for v in vals]
        if len(names) == 1:
            self.values[node.name] = vals[0]
            return
        base = self._node_name(node)
        # More inputs than one node takes (DenseNet) concatenate in order, in parts.
        groups = emit.concat_groups(names)
        joined = None
        for part, group in enumerate(groups[:-1], 1):
            group = [joined if n is None else n for n in group]
            joined = self._node(node, "concat_fp32", group, f"{base}.part{part}")
        self._emit(node, [], "concat_fp32", [joined if n is None else n for n in groups[-1]],
                   name=base)

    # -- pooling

    def _maxpool(self, node) -> None:
        x = self._image(node, node.args[0], NCHW)
        k = self._arg(node, 1, "kernel_size")
        stride = self._arg(node, 2, "stride") or k
        padding = self._arg(node, 3, "padding", 0)
        dilation = self._arg(node, 4, "dilation", 1)
        ceil = bool(self._arg(node, 5, "ceil_mode", False))
        if _pair(dilation) != (1, 1):
            self._fail(node, "dilated max pooling is not supported", "use dilation 1")
        self._emit_op(node, [], [x.name], emit.maxpool(_pair(k), _pair(stride), _pair(padding), ceil))

    def _avgpool(self, node) -> None:
        x = self._image(node, node.args[0], NCHW)
        k = self._arg(node, 1, "kernel_size")
        stride = self._arg(node, 2, "stride") or k
        padding = self._arg(node, 3, "padding", 0)
        ceil = bool(self._arg(node, 4, "ceil_mode", False))
        include = bool(self._arg(node, 5, "count_include_pad", True))
        if self._arg(node, 6, "divisor_override") is not None:
            self._fail(node, "divisor_override is not supported", "leave it unset")
        self._emit_op(node, [], [x.name],
                      emit.avgpool2d(_pair(k), _pair(stride), _pair(padding), ceil, include))

    def _adaptive_avgpool(self, node) -> None:
        x = self._image(node, node.args[0], NCHW)
        _, _, h, w = self._shape(node.args[0])
        oh, ow = self._shape(node)[2:]
        if (oh, ow) == (1, 1):
            self._emit(node, [], "avgpool_fp32", [x.name])
        elif (oh, ow) == (h, w):
            self.values[node.name] = x
        else:
            self._emit(node, [], "adaptive_avgpool_fp32", [x.name], out_h=oh, out_w=ow)

    def _mean(self, node) -> None:
        dims = self._arg(node, 1, "dim")
        shape = self._shape(node.args[0])
        x = self._tensor(node, node.args[0])
        dims = tuple(sorted(d % 4 for d in (dims if isinstance(dims, (tuple, list)) else [dims])))
        spatial = {NCHW: (2, 3), NHWC: (1, 2)}.get(x.layout)
        if len(shape) != 4 or dims != spatial:
            self._fail(node, f"mean over dims {dims}", "only the mean over H and W is supported")
        keep = len(self._shape(node)) == 4
        self._emit(node, [], "avgpool_fp32", [x.name], layout=x.layout if keep else VEC)

    # -- shapes

    def _identity(self, node) -> None:
        self.values[node.name] = self._get(node.args[0])

    def _reshape(self, node) -> None:
        src_node = node.args[0]
        v = self._get(src_node)
        out = self._shape(node)
        shape = self._shape(src_node)
        if isinstance(v, _Grouped):
            if v.transposed and len(out) == 4 and out[1] == shape[1] * shape[2] \
                    and out[2:] == shape[3:]:
                self._emit(node, [], "channel_shuffle_fp32", [v.src.name], groups=v.groups)
                return
            self._fail(node, f"reshaping a grouped view to {out}", "only channel shuffle is supported")
        x = self._tensor(node, src_node)
        if out == shape:
            self.values[node.name] = x
        elif len(out) == 2 and out[0] == 1:
            if x.layout == NCHW and len(shape) == 4 and shape[2] * shape[3] > 1:
                self.values[node.name] = _Tensor(x.name, VEC, tuple(shape[1:]))
            elif len(shape) == 4 and x.layout == NHWC and shape[1] * shape[2] > 1:
                self._fail(node, "flattening a channels-last image", "flatten NCHW images")
            else:
                self.values[node.name] = _Tensor(x.name, VEC, x.flattened_from)
        elif len(out) == 5 and x.layout == NCHW and out[0] == 1 and \
                out[1] * out[2] == shape[1] and out[3:] == shape[2:]:
            self.values[node.name] = _Grouped(x, out[1])
        elif len(out) == 4 and x.layout == VEC and out[2:] == (1, 1) and x.flattened_from is None:
            self.values[node.name] = _Tensor(x.name, NCHW)
        else:
            self._fail(node, f"reshaping {shape} to {out}",
                       "only flattening to (1, N) and channel shuffle are supported")

    def _permute(self, node) -> None:
        x = self._tensor(node, node.args[0])
        dims = tuple(d % 4 for d in node.args[1])
        if x.layout == NCHW and dims == (0, 2, 3, 1):
            self.values[node.name] = _Tensor(x.name, NHWC)
        elif x.layout == NHWC and dims == (0, 3, 1, 2):
            self.values[node.name] = _Tensor(x.name, NCHW)
        else:
            self._fail(node, f"permuting a {x.layout} tensor by {dims}",
                       "only moving channels last and back is supported")

    def _transpose(self, node) -> None:
        v = self._get(node.args[0])
        dims = sorted(d % 5 for d in node.args[1:3])
        if isinstance(v, _Grouped) and not v.transposed and dims == [1, 2]:
            self.values[node.name] = _Grouped(v.src, v.groups, True)
            return
        self._fail(node, f"transposing dims {dims}", "only channel shuffle's transpose is supported")

    def _split(self, node) -> None:
        x = self._image(node, node.args[0], NCHW)
        c = self._shape(node.args[0])[1]
        kind = _opname(node.target)
        arg = node.args[1]
        dim = self._arg(node, 2, "dim", 0)
        if dim % 4 != 1:
            self._fail(node, f"splitting along dim {dim}", "only channel splits are supported")
        if kind == "chunk":
            size = -(-c // arg)
            sizes = [min(size, c - i) for i in range(0, c, size)]
        elif kind == "split" and isinstance(arg, int):
            sizes = [min(arg, c - i) for i in range(0, c, arg)]
        else:
            sizes = list(arg)
        starts = np.cumsum([0] + sizes)
        self.values[node.name] = _Split(x, [(int(s), int(e)) for s, e in zip(starts, starts[1:])])

    def _getitem(self, node) -> None:
        v = self._get(node.args[0])
        if isinstance(v, _Split):
            start, end = v.bounds[node.args[1]]
            c = v.bounds[-1][1]
            # slice_channels_fp32 returns a (C, H*W, 1) sequence, not an image.
            self._emit_op(node, [], [v.src.name], emit.channel_select(c, start, end))
            return
        self._fail(node, "taking an item of an unsupported value", "see the op that made it")
