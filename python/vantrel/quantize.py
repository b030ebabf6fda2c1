"""Post-training int8 quantisation of float32 image models.

:func:`quantize` takes a float32 model (a :class:`ModelBuilder`, for example
from :func:`vantrel.convert`) and calibration inputs and returns the int8
model:

- weights are quantised per output channel, symmetrically (zero point 0,
  codes in [-127, 127]);
- every activation tensor gets an affine scale and zero point from the
  minimum and maximum it reached over the calibration inputs (the range
  always includes 0, so that zero padding is exact);
- each node with an int8 form becomes that form: ``conv_fp32`` without
  dilation, ``gemm_fp32``, ``add_fp32`` and ``channel_mul_fp32`` requantise
  (the products load ``.weight`` (int8), ``.req_scale`` (float32) and
  ``.eff_bias`` (int64, holding the bias and the input zero-point
  correction)); the poolings average or take maxima of codes;
  ``concat_fp32`` requantises each input through a 256-entry table; an
  element-wise function of one value (hard swish, sigmoid, SiLU, GELU, a
  clamp...) becomes ``lut_int8``, its table built from the input and output
  scales.

A fused ReLU, or a fused clamp whose bounds hold 0, needs no op of its own:
the calibrated range of its output lies within the bounds and holds 0, so
the int8 saturation clips. A convolution's fused hard swish becomes a
table after it. The fully connected layer produces float32 logits. Ops with
no int8 form (layer norm, for one) stay float32 between a
``dequantize_int8`` and a ``quantize_int8``; a model output computed in
int8 is dequantised. The model's input becomes int8: quantise images with
:func:`quantize_input` and the input's ``scale`` and ``zp``.
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
from typing import Iterable

import numpy as np

from vantrel.model_file import ModelBuilder, write_weights

__all__ = ["QuantizationError", "quantize", "quantize_input", "quantize_rows", "tensor_qparams"]


class QuantizationError(RuntimeError):
    """The model cannot be quantised (for example no node has an int8 form)."""


def tensor_qparams(lo: float, hi: float) -> tuple[float, int]:
    """Scale and int8 zero point covering [min(lo, 0), max(hi, 0)]."""
    lo, hi = min(float(lo), 0.0), max(float(hi), 0.0)
    scale = (hi - lo) / 255.0
    if not np.isfinite(scale) or scale <= 0.0:
        return 1.0, 0
    zp = int(np.clip(np.round(-128.0 - lo / scale), -128, 127))
    return float(np.float32(scale)), zp


def quantize_input(x: np.ndarray, scale: float, zp: int) -> np.ndarray:
    """Float values to int8 codes: clip(round(x / scale) + zp)."""
    q = np.round(np.asarray(x, dtype=np.float64) / scale) + zp
    return np.clip(q, -128, 127).astype(np.int8)


def quantize_rows(w: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per-row symmetric int8 codes and scales of a [N][...] weight array."""
    rows = w.reshape(w.shape[0], -1).astype(np.float64)
    amax = np.abs(rows).max(axis=1)
    scale = np.where(amax > 0, amax / 127.0, 1.0)
    q = np.clip(np.round(rows / scale[:, None]), -127, 127).astype(np.int8)
    return q.reshape(w.shape), scale


def _calibrate(doc: dict, weights: dict, calibration: Iterable[np.ndarray],
               progress: bool) -> dict[str, tuple[float, float]]:
    """Run the float model with every tensor as an output; min and max of each."""
    import model_inference as mi

    doc = dict(doc)
    names = [i["name"] for i in doc["inputs"]]
    if len(names) != 1:
        raise QuantizationError("only single-input models can be quantised")
    tensors = names + [o for n in doc["nodes"] for o in n["outputs"]]
    doc["outputs"] = [{"name": t} for t in tensors]
    ranges: dict[str, tuple[float, float]] = {}
    with tempfile.TemporaryDirectory() as d:
        arch, weights_path = os.path.join(d, "calib.json"), os.path.join(d, "calib.bin")
        with open(arch, "w", encoding="utf-8") as f:
            json.dump(doc, f)
        write_weights(weights_path, weights)
        model = mi.InferenceModel(arch, weights_path)
    count = 0
    for i, x in enumerate(calibration):
        x = np.asarray(x, dtype=np.float32)
        outs = model.forward({names[0]: x})
        outs[names[0]] = x
        for t, v in outs.items():
            lo, hi = float(np.min(v)), float(np.max(v))
            if t in ranges:
                lo, hi = min(lo, ranges[t][0]), max(hi, ranges[t][1])
            ranges[t] = (lo, hi)
        count += 1
        if progress:
            print(f"calibration input {i + 1}", file=sys.stderr)
    if count == 0:
        raise QuantizationError("no calibration inputs")
    return ranges


def _erf(x: np.ndarray) -> np.ndarray:
    import math
    return np.vectorize(math.erf, otypes=[np.float64])(x)


# Element-wise float ops and the functions their 256-entry int8 tables take.
_TABLE_OPS = {
    "leaky_relu_fp32": lambda x, a: np.where(x >= 0, x, x * a.get("alpha", 0.2)),
    "clamp_fp32": lambda x, a: np.clip(x, a.get("min", 0.0), a.get("max", 6.0)),
    "hard_swish_fp32": lambda x, a: x * np.clip(x + 3.0, 0.0, 6.0) / 6.0,
    "hard_sigmoid_fp32": lambda x, a: np.clip(x + 3.0, 0.0, 6.0) / 6.0,
    "sigmoid_fp32": lambda x, a: 1.0 / (1.0 + np.exp(-x)),
    "silu_fp32": lambda x, a: x / (1.0 + np.exp(-x)),
    "tanh_fp32": lambda x, a: np.tanh(x),
    "gelu_fp32": lambda x, a: 0.5 * x * (1.0 + np.tanh(
        np.sqrt(2.0 / np.pi) * (x + 0.044715 * x ** 3))),
    "gelu_erf_fp32": lambda x, a: 0.5 * x * (1.0 + _erf(x / np.sqrt(2.0))),
    "scale_fp32": lambda x, a: x * a.get("scalar", 1.0),
}

# Ops whose int8 form keeps the input's scale and zero point.
_SAME_QPARAMS = {"maxpool_fp32": "maxpool_int8", "channel_shuffle_fp32": "channel_shuffle_int8"}


def _table(f, s_in: float, z_in: int, s_out: float, z_out: int) -> np.ndarray:
    """The int8 codes of f over every int8 input code (index code + 128)."""
    x = (np.arange(-128, 128, dtype=np.float64) - z_in) * s_in
    with np.errstate(over="ignore"):
        y = np.asarray(f(x), dtype=np.float64)
    return np.clip(np.round(y / s_out) + z_out, -128, 127).astype(np.int8)


def _expand_activations(doc: dict) -> dict:
    """A convolution's fused hard swish, or a clamp whose range excludes 0
    (the output range always holds 0, so saturation cannot apply it), as a
    node of its own after the convolution: its int8 form is a table on the
    requantised output, so the pre-activation range must be calibrated."""
    nodes = []
    for n in doc["nodes"]:
        args = n.get("args", {})
        act = args.get("act", 0)
        clamp_lo, clamp_hi = args.get("clamp_min", 0.0), args.get("clamp_max", 6.0)
        if n["op"] != "conv_fp32" or act == 0 or (act == 1 and clamp_lo <= 0.0 <= clamp_hi):
            nodes.append(n)
            continue
        conv = dict(n, args={k: v for k, v in args.items()
                             if k not in ("act", "clamp_min", "clamp_max")})
        pre = n["outputs"][0] + ".pre"
        conv["outputs"] = [pre]
        if act == 2:
            post = {"name": n["name"] + ".act", "op": "hard_swish_fp32", "inputs": [pre],
                    "outputs": list(n["outputs"])}
        else:
            post = {"name": n["name"] + ".act", "op": "clamp_fp32", "inputs": [pre],
                    "outputs": list(n["outputs"]), "args": {"min": clamp_lo, "max": clamp_hi}}
        nodes += [conv, post]
    return dict(doc, nodes=nodes)


def _one_pixel_gemms(doc: dict) -> set[str]:
    """Names of the linear layers whose input is a single pixel's channels
    ({C, 1, 1}): the output of global pooling or of a linear layer, or an
    element-wise function of one."""
    pixel: set[str] = set()
    gemms: set[str] = set()
    for n in doc["nodes"]:
        op, args = n["op"], n.get("args", {})
        src = bool(n["inputs"]) and n["inputs"][0] in pixel
        if op == "gemm_fp32" and src:
            gemms.add(n["name"])
        global_pool = op == "avgpool_fp32" or (
            op == "adaptive_avgpool_fp32" and args.get("out_h", 1) == args.get("out_w", 1) == 1)
        if op == "gemm_fp32" or global_pool or (op in _TABLE_OPS and src):
            pixel.update(n["outputs"])
    return gemms


def _int8_form(node: dict) -> bool:
    """Whether ``node`` (after :func:`_expand_activations`) has an int8 form."""
    op, args = node["op"], node.get("args", {})
    if op == "conv_fp32":
        return args.get("dilation_h", 1) == 1 and args.get("dilation_w", 1) == 1
    return op in _TABLE_OPS or op in _SAME_QPARAMS or op in (
        "gemm_fp32", "add_fp32", "avgpool_fp32", "avgpool2d_fp32", "adaptive_avgpool_fp32",
        "concat_fp32", "channel_mul_fp32")


def quantize(builder: ModelBuilder, calibration: Iterable[np.ndarray],
             name: str | None = None, progress: bool = False) -> ModelBuilder:
    """The int8 form of a float32 model, calibrated on ``calibration``
    (arrays shaped like the model's input)."""
    doc = _expand_activations(builder.arch())
    ranges = _calibrate(doc, builder.weights, calibration, progress)
    pixel_gemms = _one_pixel_gemms(doc)
    if not any(_int8_form(n) for n in doc["nodes"]):
        raise QuantizationError("no node of this model can run in int8 from its input")
    qp = {t: tensor_qparams(*r) for t, r in ranges.items()}

    out = ModelBuilder(name or f"{builder.name}_int8")
    for spec in doc["inputs"]:
        s, z = qp[spec["name"]]
        out.inputs.append(dict(spec, dtype="int8", scale=s, zp=z))
    out.outputs = list(builder.outputs)
    outputs = set(out.outputs)
    # Each tensor's element type; a tensor read in the other type gets one
    # converted copy, made where it is first needed.
    is_int8 = {spec["name"]: True for spec in doc["inputs"]}
    copies: dict[tuple[str, bool], str] = {}

    def operand(t: str, want_int8: bool) -> str:
        if is_int8[t] == want_int8:
            return t
        if (t, want_int8) not in copies:
            s, z = qp[t]
            base = t[:-4] if t.endswith(".out") else t
            op, suffix = ("quantize_int8", ".q") if want_int8 else ("dequantize_int8", ".f")
            out.nodes.append({"name": base + suffix, "op": op, "inputs": [t],
                              "outputs": [base + suffix + ".out"],
                              "args": {"scale": s, "zp": z}})
            copies[(t, want_int8)] = base + suffix + ".out"
            qp[base + suffix + ".out"] = (s, z)
            is_int8[base + suffix + ".out"] = want_int8
        return copies[(t, want_int8)]

    int8_weights: set[str] = set()
    for node in doc["nodes"]:
        # Products pay for quantising their input; the other ops go int8 only
        # where an input already is.
        heavy = node["op"] in ("conv_fp32", "gemm_fp32")
        if not _int8_form(node) or not (heavy or any(is_int8[t] for t in node["inputs"])):
            node = dict(node, inputs=[operand(t, False) for t in node["inputs"]])
            out.nodes.append(node)
            is_int8.update({o: False for o in node["outputs"]})
            continue
        node = dict(node, inputs=[operand(t, True) for t in node["inputs"]])
        result = node["outputs"][0]
        if node["name"] in pixel_gemms and result not in outputs:
            # A linear layer inside the model, on one pixel's channels (after
            # global pooling or another linear layer), is a 1x1 convolution
            # with an int8 output.
            args = {k: v for k, v in node.get("args", {}).items() if k != "relu"}
            node = dict(node, op="conv_fp32", args=dict(args, kH=1, kW=1))
        int8_out = node["op"] != "gemm_fp32"  # the int8 classifier outputs float32
        if int8_out and result in outputs:
            # Callers read real values: the int8 result is dequantised under
            # the output's name.
            node["outputs"] = [result + ".q8"]
        new = _quantize_node(node, qp, builder.weights, out)
        out.nodes.append(new)
        int8_weights.update(f"{node['name']}.{k}" for k in ("weight", "bias"))
        if int8_out and result in outputs:
            s, z = qp[node["outputs"][0]]
            qp[result] = (s, z)
            out.nodes.append({"name": node["name"] + ".f", "op": "dequantize_int8",
                              "inputs": [node["outputs"][0]], "outputs": [result],
                              "args": {"scale": s, "zp": z}})
            is_int8[node["outputs"][0]] = True
            is_int8[result] = False
        else:
            is_int8[result] = int8_out
    for k, v in builder.weights.items():
        if k not in int8_weights:
            out.weights.setdefault(k, v)
    out._count = len(out.nodes)
    return out


def _quantize_node(node: dict, qp: dict, weights: dict, out: ModelBuilder) -> dict:
    op, name, args = node["op"], node["name"], dict(node.get("args", {}))
    ins = node["inputs"]
    result = node["outputs"][0]
    result_f = result[:-3] if result.endswith(".q8") else result
    new = {"name": name, "inputs": list(ins), "outputs": list(node["outputs"])}
    s_in, z_in = qp[ins[0]]
    if op not in _SAME_QPARAMS:
        qp[result] = qp[result_f]
    if op in ("conv_fp32", "gemm_fp32"):
        wq, s_w = quantize_rows(np.asarray(weights[f"{name}.weight"], dtype=np.float64))
        if op == "conv_fp32" and wq.ndim == 2:  # a linear layer as a 1x1 convolution
            wq = wq.reshape(*wq.shape, 1, 1)
        bias = weights.get(f"{name}.bias")
        bias = np.zeros(wq.shape[0]) if bias is None else np.asarray(bias, np.float64)
        acc_scale = s_in * s_w
        row_sums = wq.reshape(wq.shape[0], -1).astype(np.int64).sum(axis=1)
        eff_bias = np.round(bias / acc_scale).astype(np.int64) - z_in * row_sums
        if op == "conv_fp32":
            s_out, z_out = qp[result]
            req = acc_scale / s_out
            # The output range does the clipping of a ReLU or of a clamp
            # whose bounds hold 0 (the calibrated range lies inside them).
            for key in ("relu", "dilation_h", "dilation_w", "act", "clamp_min", "clamp_max"):
                args.pop(key, None)
            args.update(in_zp=z_in, out_zp=z_out)
            new["op"] = "conv_int8"
        else:
            req = acc_scale
            args.update(in_zp=z_in)
            new["op"] = "gemm_int8"
        out.weight(f"{name}.weight", wq)
        out.weight(f"{name}.req_scale", req.astype(np.float32))
        out.weight(f"{name}.eff_bias", eff_bias)
    elif op == "add_fp32":
        s2, z2 = qp[ins[1]]
        s_out, z_out = qp[result]
        args.pop("relu", None)
        args.update(in1_scale=s_in, in2_scale=s2, out_scale=s_out, in1_zp=z_in, in2_zp=z2,
                    out_zp=z_out)
        new["op"] = "add_int8"
    elif op == "channel_mul_fp32":
        s2, z2 = qp[ins[1]]
        s_out, z_out = qp[result]
        args.update(in1_scale=s_in, in2_scale=s2, out_scale=s_out, in1_zp=z_in, in2_zp=z2,
                    out_zp=z_out)
        new["op"] = "channel_mul_int8"
    elif op in _SAME_QPARAMS:
        # The maximum and the shuffle commute with the affine map.
        qp[result] = (s_in, z_in)
        if op == "maxpool_fp32":
            args.update(in_zp=z_in, out_zp=z_in)
        new["op"] = _SAME_QPARAMS[op]
    elif op in ("avgpool_fp32", "avgpool2d_fp32", "adaptive_avgpool_fp32"):
        s_out, z_out = qp[result]
        args.update(in_scale=s_in, out_scale=s_out, in_zp=z_in, out_zp=z_out)
        new["op"] = op.replace("_fp32", "_int8")
    elif op == "concat_fp32":
        s_out, z_out = qp[result]
        tables = [_table(lambda x: x, *qp[t], s_out, z_out) for t in ins]
        out.weight(f"{name}.tables", np.stack(tables))
        new["op"] = "concat_int8"
    elif op in _TABLE_OPS:
        s_out, z_out = qp[result]
        f = _TABLE_OPS[op]
        relu = args.pop("relu", False)
        fn = (lambda x: np.maximum(f(x, args), 0.0)) if relu else (lambda x: f(x, args))
        out.weight(f"{name}.table", _table(fn, s_in, z_in, s_out, z_out))
        args = {}
        new["op"] = "lut_int8"
    if args:
        new["args"] = args
    return new
