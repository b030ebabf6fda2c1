"""Any other PyTorch module (a CNN) to vantrel files, traced with ``torch.fx``.

The module is traced and its shapes are propagated with the example input;
each traced node is then mapped onto engine ops.
Batch norms that follow a convolution are folded into it, and a ReLU that
is the only user of a convolution, linear layer or addition becomes that
node's fused ReLU. Anything without a mapping stops the conversion with a
:class:`~vantrel.convert.core.ConversionError` naming the module or function
and the traced node; nothing is dropped silently.

The converted model takes one image without the batch axis, channels
last: an array of shape ``(H, W, C)`` for a PyTorch input ``(1, C, H, W)``.
"""

from __future__ import annotations

import operator
from typing import Callable

import numpy as np

from vantrel.convert.core import ConversionError, report_progress
from vantrel.model_file import ModelBuilder

__all__ = ["convert_cnn"]


def convert_cnn(module, example_input, name: str = "model", input_name: str = "input",
                progress: bool = False) -> ModelBuilder:
    """Trace ``module`` on ``example_input`` (a tensor of shape (1, C, H, W))
    and return a :class:`ModelBuilder` holding the converted model."""
    import torch
    import torch.fx
    from torch.fx.passes.shape_prop import ShapeProp

    if example_input.dim() != 4 or example_input.shape[0] != 1:
        raise ConversionError(
            f"example input must have shape (1, C, H, W), got {tuple(example_input.shape)}")
    module = module.eval()
    gm = torch.fx.symbolic_trace(module)
    with torch.no_grad():
        ShapeProp(gm).propagate(example_input)
    return _Converter(gm, name, input_name, progress).run()


def _np(t) -> np.ndarray:
    return t.detach().to("cpu").double().numpy()


class _Tensor:
    """What a traced value became: an engine tensor name, plus the PyTorch
    (C, H, W) layout it had when it was flattened (a following linear layer
    must reorder its columns from C, H, W to the engine's H, W, C)."""

    def __init__(self, name: str, flattened_from: tuple[int, int, int] | None = None):
        self.name = name
        self.flattened_from = flattened_from


class _Converter:
    def __init__(self, gm, name: str, input_name: str, progress: bool):
        import torch.nn as nn
        import torch.nn.functional as F
        import torch

        self.gm = gm
        self.b = ModelBuilder(name)
        self.input_name = input_name
        self.progress = progress
        self.modules = dict(gm.named_modules())
        self.values: dict[str, _Tensor] = {}
        self.absorbed: set[str] = set()
        self.module_handlers: dict[type, Callable] = {
            nn.Conv2d: self._conv2d,
            nn.Linear: self._linear,
            nn.ReLU: self._relu,
            nn.MaxPool2d: self._maxpool,
            nn.AdaptiveAvgPool2d: self._adaptive_avgpool,
            nn.Flatten: self._flatten,
            nn.Dropout: self._identity,
            nn.Identity: self._identity,
            nn.Sigmoid: self._activation("sigmoid_fp32"),
            nn.Tanh: self._activation("tanh_fp32"),
            nn.GELU: self._activation("gelu_fp32"),
            nn.SiLU: self._activation("silu_fp32"),
            nn.LeakyReLU: self._leaky_relu,
        }
        self.function_handlers: dict[object, Callable] = {
            operator.add: self._add, torch.add: self._add,
            torch.relu: self._relu, F.relu: self._relu,
            torch.flatten: self._flatten,
            F.adaptive_avg_pool2d: self._adaptive_avgpool,
            torch.sigmoid: self._activation("sigmoid_fp32"),
            torch.tanh: self._activation("tanh_fp32"),
            F.gelu: self._activation("gelu_fp32"), F.silu: self._activation("silu_fp32"),
            F.dropout: self._identity,
        }
        self.method_handlers: dict[str, Callable] = {
            "add": self._add, "relu": self._relu, "flatten": self._flatten,
            # Sizes only feed reshapes, whose result shape is traced anyway.
            "size": self._shape_query,
            "view": self._reshape, "reshape": self._reshape, "mean": self._mean,
            "sigmoid": self._activation("sigmoid_fp32"), "tanh": self._activation("tanh_fp32"),
        }

    # -- driving

    def run(self) -> ModelBuilder:
        nodes = list(self.gm.graph.nodes)
        for i, node in enumerate(nodes):
            if i % 25 == 0 or i == len(nodes) - 1:
                report_progress(self.progress, "node", i + 1, len(nodes))
            if node.name in self.absorbed:
                continue
            self._convert_node(node)
        return self.b

    def _convert_node(self, node) -> None:
        if node.op == "placeholder":
            if self.values:
                raise ConversionError(f"node '{node.name}': only one input is supported")
            _, c, h, w = self._shape(node)
            self.values[node.name] = _Tensor(self.b.input(self.input_name, [h, w, c]))
        elif node.op == "output":
            result = node.args[0]
            results = result if isinstance(result, (tuple, list)) else [result]
            self.b.output(*(self._value(r).name for r in results))
        elif node.op == "call_module":
            mod = self.modules[node.target]
            handler = self.module_handlers.get(type(mod))
            if handler is None:
                raise ConversionError(
                    f"unsupported module {type(mod).__name__} at node '{node.name}' "
                    f"({node.target})")
            handler(node, mod)
        elif node.op == "call_function":
            handler = self.function_handlers.get(node.target)
            if handler is None:
                raise ConversionError(
                    f"unsupported function {getattr(node.target, '__name__', node.target)} "
                    f"at node '{node.name}'")
            handler(node, None)
        elif node.op == "call_method":
            handler = self.method_handlers.get(node.target)
            if handler is None:
                raise ConversionError(
                    f"unsupported method .{node.target}() at node '{node.name}'")
            handler(node, None)
        else:
            raise ConversionError(f"unsupported graph node '{node.name}' ({node.op})")

    # -- helpers

    @staticmethod
    def _shape(node) -> tuple[int, ...]:
        meta = node.meta.get("tensor_meta")
        if meta is None:
            raise ConversionError(f"node '{node.name}' has no tensor shape")
        return tuple(int(d) for d in meta.shape)

    def _value(self, arg) -> _Tensor:
        if not hasattr(arg, "name") or arg.name not in self.values:
            raise ConversionError(f"value {arg!r} is not a converted tensor")
        return self.values[arg.name]

    def _node_name(self, node) -> str:
        return (node.target if node.op == "call_module" else node.name).replace("/", "_")

    def _only_user(self, node):
        users = list(node.users)
        return users[0] if len(users) == 1 else None

    def _is_relu(self, node) -> bool:
        import torch
        import torch.nn as nn
        import torch.nn.functional as F
        if node is None:
            return False
        if node.op == "call_module":
            return type(self.modules[node.target]) is nn.ReLU
        if node.op == "call_function":
            return node.target in (torch.relu, F.relu)
        return node.op == "call_method" and node.target == "relu"

    def _fuse_relu(self, node) -> tuple[bool, object]:
        """Absorb a ReLU that is ``node``'s only user; returns (fused, last node)."""
        user = self._only_user(node)
        if self._is_relu(user):
            self.absorbed.add(user.name)
            return True, user
        return False, node

    def _emit(self, node, last, op: str, inputs: list[str], relu: bool = False,
              flattened_from=None, **args) -> None:
        out = self.b.node(op, inputs, name=self._node_name(node), relu=relu, **args)
        value = _Tensor(out, flattened_from)
        self.values[node.name] = value
        self.values[last.name] = value

    def _alias(self, node, value: _Tensor) -> None:
        self.values[node.name] = value

    # -- handlers

    def _conv2d(self, node, conv) -> None:
        import torch.nn as nn
        if conv.padding_mode != "zeros" or isinstance(conv.padding, str):
            raise ConversionError(
                f"node '{node.name}': Conv2d padding {conv.padding!r} / "
                f"{conv.padding_mode!r} is not supported (use explicit zero padding)")
        w = _np(conv.weight)
        b = _np(conv.bias) if conv.bias is not None else None
        last = node
        bn_node = self._only_user(node)
        if bn_node is not None and bn_node.op == "call_module" and \
                type(self.modules[bn_node.target]) is nn.BatchNorm2d:
            bn = self.modules[bn_node.target]
            scale = _np(bn.weight) / np.sqrt(_np(bn.running_var) + bn.eps)
            w = w * scale[:, None, None, None]
            b = (b if b is not None else 0.0) - _np(bn.running_mean)
            b = b * scale + _np(bn.bias)
            self.absorbed.add(bn_node.name)
            last = bn_node
        relu, last = self._fuse_relu(last)
        name = self._node_name(node)
        self.b.weight(f"{name}.weight", w.astype(np.float32))
        if b is not None:
            self.b.weight(f"{name}.bias", np.asarray(b, dtype=np.float32))
        (kh, kw), (sh, sw), (ph, pw), (dh, dw) = (conv.kernel_size, conv.stride,
                                                 conv.padding, conv.dilation)
        self._emit(node, last, "conv_fp32", [self._value(node.args[0]).name], relu=relu,
                   C_out=conv.out_channels, C_in=conv.in_channels, kH=kh, kW=kw,
                   stride_h=sh, stride_w=sw, pad_h=ph, pad_w=pw, groups=conv.groups,
                   dilation_h=dh, dilation_w=dw)

    def _linear(self, node, lin) -> None:
        src = self._value(node.args[0])
        w = _np(lin.weight)
        if src.flattened_from is not None:
            c, h, wd = src.flattened_from
            # Columns follow PyTorch's (C, H, W) flattening; the engine's
            # tensor is (H, W, C).
            w = w.reshape(-1, c, h, wd).transpose(0, 2, 3, 1).reshape(w.shape[0], -1)
        relu, last = self._fuse_relu(node)
        name = self._node_name(node)
        self.b.weight(f"{name}.weight", w.astype(np.float32))
        if lin.bias is not None:
            self.b.weight(f"{name}.bias", _np(lin.bias).astype(np.float32))
        self._emit(node, last, "gemm_fp32", [src.name], relu=relu,
                   C_out=lin.out_features, C_in=lin.in_features)

    def _relu(self, node, _mod) -> None:
        self._emit(node, node, "leaky_relu_fp32", [self._value(node.args[0]).name], alpha=0.0)

    def _leaky_relu(self, node, mod) -> None:
        self._emit(node, node, "leaky_relu_fp32", [self._value(node.args[0]).name],
                   alpha=float(mod.negative_slope))

    def _activation(self, op: str) -> Callable:
        def handler(node, _mod) -> None:
            self._emit(node, node, op, [self._value(node.args[0]).name])
        return handler

    def _identity(self, node, _mod) -> None:
        self._alias(node, self._value(node.args[0]))

    def _add(self, node, _mod) -> None:
        a, b = node.args[:2]
        if not (hasattr(a, "name") and hasattr(b, "name")) or node.kwargs.get("alpha", 1) != 1:
            raise ConversionError(f"node '{node.name}': only tensor + tensor is supported")
        if self._shape(a) != self._shape(b):
            raise ConversionError(f"node '{node.name}': broadcasting add is not supported")
        relu, last = self._fuse_relu(node)
        self._emit(node, last, "add_fp32", [self._value(a).name, self._value(b).name], relu=relu)

    def _maxpool(self, node, pool) -> None:
        def pair(v):
            return (v, v) if isinstance(v, int) else tuple(v)
        if pool.ceil_mode or pair(pool.dilation) != (1, 1) or pool.return_indices:
            raise ConversionError(
                f"node '{node.name}': MaxPool2d with ceil_mode, dilation or indices "
                "is not supported")
        (kh, kw), (sh, sw), (ph, pw) = (pair(pool.kernel_size),
                                        pair(pool.stride or pool.kernel_size),
                                        pair(pool.padding))
        self._emit(node, node, "maxpool_fp32", [self._value(node.args[0]).name],
                   kH=kh, kW=kw, stride_h=sh, stride_w=sw, pad_h=ph, pad_w=pw)

    def _global_avgpool(self, node) -> None:
        self._emit(node, node, "avgpool_fp32", [self._value(node.args[0]).name])

    def _adaptive_avgpool(self, node, mod) -> None:
        size = mod.output_size if mod is not None else node.args[1]
        if size not in (1, (1, 1), [1, 1]):
            raise ConversionError(
                f"node '{node.name}': adaptive average pooling to {size!r} is not supported "
                "(only to 1x1)")
        self._global_avgpool(node)

    def _mean(self, node, _mod) -> None:
        dims = node.args[1] if len(node.args) > 1 else node.kwargs.get("dim")
        dims = tuple(sorted(d % 4 for d in (dims if isinstance(dims, (tuple, list)) else [dims])))
        if dims != (2, 3) or len(self._shape(node.args[0])) != 4:
            raise ConversionError(f"node '{node.name}': only the mean over H and W is supported")
        self._global_avgpool(node)

    def _flatten_to_vector(self, node) -> None:
        src_node = node.args[0]
        src = self._value(src_node)
        shape = self._shape(src_node)
        if len(self._shape(node)) != 2:
            raise ConversionError(f"node '{node.name}': only flattening to (1, N) is supported")
        if len(shape) == 4 and shape[2] * shape[3] > 1:
            self._alias(node, _Tensor(src.name, tuple(shape[1:])))
        else:
            self._alias(node, src)

    def _flatten(self, node, mod) -> None:
        start = mod.start_dim if mod is not None else (node.args[1] if len(node.args) > 1
                                                       else node.kwargs.get("start_dim", 0))
        if start not in (1, -3) and len(self._shape(node)) != 2:
            raise ConversionError(f"node '{node.name}': only flatten(x, 1) is supported")
        self._flatten_to_vector(node)

    def _shape_query(self, node, _mod) -> None:
        pass

    def _reshape(self, node, _mod) -> None:
        self._flatten_to_vector(node)
