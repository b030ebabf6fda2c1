"""Graph operations onto engine ops, shared by the graph importers.

The torch.export converter (:mod:`vantrel.convert.cnn`) and the ONNX importer
(:mod:`vantrel.convert.onnx`) meet the same operations under different names
(``aten.conv2d`` / ``Conv``, ``aten.hardswish`` / ``HardSwish`` ...). Each
walks its own graph and tracks its own values; what an operation becomes in
the engine is decided once, here. Every helper returns an :class:`Op`: the
engine op name, its node arguments and its weights (keyed by suffix, float64
or float32 arrays), which the caller emits under a node name of its choice.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

__all__ = ["Op", "MAX_CONCAT", "ACTIVATIONS", "activation", "bn_affine", "fold_affine", "conv",
           "channel_affine", "channel_select", "gemm", "maxpool", "avgpool2d", "concat_groups"]

MAX_CONCAT = 8  # inputs of one concat_fp32 node

#: Activations that are one engine op without arguments, by graph name
#: (ATen and ONNX spellings).
ACTIVATIONS = {
    "hardswish": "hard_swish_fp32", "HardSwish": "hard_swish_fp32",
    "hardsigmoid": "hard_sigmoid_fp32",
    "sigmoid": "sigmoid_fp32", "Sigmoid": "sigmoid_fp32",
    "tanh": "tanh_fp32", "Tanh": "tanh_fp32",
    "silu": "silu_fp32",
}


class Op(NamedTuple):
    op: str
    args: dict
    weights: dict


def activation(kind: str, **params) -> Op:
    """ReLU, leaky ReLU, clamp (``lo``/``hi``), GELU (``approximate``) or an
    entry of :data:`ACTIVATIONS`."""
    if kind in ("relu", "Relu"):
        return Op("leaky_relu_fp32", {"alpha": 0.0}, {})
    if kind in ("leaky_relu", "LeakyRelu"):
        return Op("leaky_relu_fp32", {"alpha": float(params["alpha"])}, {})
    if kind == "clamp":
        return Op("clamp_fp32", {"min": float(params["lo"]), "max": float(params["hi"])}, {})
    if kind == "gelu":
        tanh = params.get("approximate", "none") == "tanh"
        return Op("gelu_fp32" if tanh else "gelu_erf_fp32", {}, {})
    return Op(ACTIVATIONS[kind], {}, {})


def bn_affine(gamma, beta, mean, var, eps: float) -> tuple[np.ndarray, np.ndarray]:
    """Inference batch norm as y = x * scale + shift per channel."""
    c = mean.shape[0]
    gamma = np.ones(c) if gamma is None else np.asarray(gamma, np.float64)
    beta = np.zeros(c) if beta is None else np.asarray(beta, np.float64)
    scale = gamma / np.sqrt(np.asarray(var, np.float64) + eps)
    return scale, beta - np.asarray(mean, np.float64) * scale


def fold_affine(w, b, scale, shift):
    """A convolution (w, b) followed by a per-output-channel affine, as one
    convolution."""
    w = np.asarray(w, np.float64) * scale[:, None, None, None]
    b = (0.0 if b is None else np.asarray(b, np.float64)) * scale + shift
    return w, b


def conv(w, b, stride=(1, 1), pad=(0, 0), dilation=(1, 1), groups: int = 1) -> Op:
    """A 2-D convolution with PyTorch's (C_out, C_in / groups, kH, kW) weight
    and symmetric zero padding."""
    (sh, sw), (ph, pw), (dh, dw) = stride, pad, dilation
    weights = {"weight": w}
    if b is not None:
        weights["bias"] = np.broadcast_to(b, (w.shape[0],))
    return Op("conv_fp32", dict(C_out=int(w.shape[0]), C_in=int(w.shape[1] * groups),
                                kH=int(w.shape[2]), kW=int(w.shape[3]), stride_h=int(sh),
                                stride_w=int(sw), pad_h=int(ph), pad_w=int(pw), groups=int(groups),
                                dilation_h=int(dh), dilation_w=int(dw)), weights)


def channel_affine(scale, shift) -> Op:
    """y = x * scale[c] + shift[c] as a depthwise 1x1 convolution."""
    c = scale.shape[0]
    return conv(np.asarray(scale).reshape(c, 1, 1, 1), shift, groups=c)


def channel_select(c: int, start: int, end: int) -> Op:
    """Channels [start, end) of a C-channel image: a 1x1 convolution with
    one-hot weights copies them exactly."""
    select = np.zeros((end - start, c, 1, 1))
    select[np.arange(end - start), np.arange(start, end)] = 1.0
    return conv(select, None)


def gemm(w, b, flattened_from=None) -> Op:
    """y = x @ w.T + b on a vector; ``flattened_from`` is the (C, H, W) the
    vector was flattened from in the graph, whose columns the engine's
    channels-last tensor holds in (H, W, C) order."""
    if flattened_from is not None:
        c, h, wd = flattened_from
        w = np.asarray(w).reshape(-1, c, h, wd).transpose(0, 2, 3, 1).reshape(w.shape[0], -1)
    weights = {"weight": w}
    if b is not None:
        weights["bias"] = np.broadcast_to(b, (w.shape[0],))
    return Op("gemm_fp32", dict(C_out=int(w.shape[0]), C_in=int(w.shape[1])), weights)


def maxpool(kernel, stride, pad, ceil: bool) -> Op:
    """Max pooling with symmetric padding; output extents rounded up when ``ceil``."""
    extra = {"ceil_mode": True} if ceil else {}  # files without it stay as they were
    return Op("maxpool_fp32", dict(kH=int(kernel[0]), kW=int(kernel[1]), stride_h=int(stride[0]),
                                   stride_w=int(stride[1]), pad_h=int(pad[0]), pad_w=int(pad[1]),
                                   **extra), {})


def avgpool2d(kernel, stride, pad, ceil: bool, count_include_pad: bool) -> Op:
    """Windowed average pooling with symmetric padding."""
    return Op("avgpool2d_fp32", dict(kH=int(kernel[0]), kW=int(kernel[1]), stride_h=int(stride[0]),
                                     stride_w=int(stride[1]), pad_h=int(pad[0]), pad_w=int(pad[1]),
                                     ceil_mode=bool(ceil),
                                     count_include_pad=bool(count_include_pad)), {})


def concat_groups(names: list[str]) -> list[list[str]]:
    """Channel concatenation of any number of tensors as concat_fp32 nodes of
    at most :data:`MAX_CONCAT` inputs, in order: each group after the first
    starts with the previous group's result, marked ``None``."""
    groups = []
    while len(names) > MAX_CONCAT:
        groups.append(names[:MAX_CONCAT])
        names = [None] + names[MAX_CONCAT:]
    groups.append(names)
    return groups
