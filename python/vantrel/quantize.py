"""Post-training int8 quantisation of float32 image models.

:func:`quantize` takes a float32 model (a :class:`ModelBuilder`, for example
from :func:`vantrel.convert`) and calibration inputs and returns the int8
model:

- weights are quantised per output channel, symmetrically (zero point 0,
  codes in [-127, 127]);
- every activation tensor gets an affine scale and zero point from the
  minimum and maximum it reached over the calibration inputs (the range
  always includes 0, so that zero padding is exact);
- each node with an int8 form (``conv_fp32`` without dilation, ``gemm_fp32``,
  ``add_fp32``, ``maxpool_fp32``, ``avgpool_fp32``) becomes that form with
  the derived tensors its layer loads: ``.weight`` (int8), ``.req_scale``
  (float32) and ``.eff_bias`` (int64, holding the bias and the input
  zero-point correction).

A fused ReLU needs no op of its own: the calibrated range of a ReLU output
starts at 0, so its zero point is -128 and the int8 saturation clips the
negative values. The fully connected layer produces float32 logits; nodes
that only have a float32 form, and everything downstream of them, stay
float32. The model's input becomes int8: quantise images with
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


def _calibrate(builder: ModelBuilder, calibration: Iterable[np.ndarray],
               progress: bool) -> dict[str, tuple[float, float]]:
    """Run the float model with every tensor as an output; min and max of each."""
    import model_inference as mi

    doc = builder.arch()
    names = [i["name"] for i in doc["inputs"]]
    if len(names) != 1:
        raise QuantizationError("only single-input models can be quantised")
    tensors = names + [o for n in doc["nodes"] for o in n["outputs"]]
    doc["outputs"] = [{"name": t} for t in tensors]
    ranges: dict[str, tuple[float, float]] = {}
    with tempfile.TemporaryDirectory() as d:
        arch, weights = os.path.join(d, "calib.json"), os.path.join(d, "calib.bin")
        with open(arch, "w", encoding="utf-8") as f:
            json.dump(doc, f)
        write_weights(weights, builder.weights)
        model = mi.InferenceModel(arch, weights)
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


def _int8_capable(node: dict) -> bool:
    op, args = node["op"], node.get("args", {})
    if op == "conv_fp32":
        return args.get("dilation_h", 1) == 1 and args.get("dilation_w", 1) == 1
    if op == "maxpool_fp32":  # maxpool_int8 has no ceil mode
        return not args.get("ceil_mode", False)
    return op in ("gemm_fp32", "add_fp32", "maxpool_fp32", "avgpool_fp32")


def _int8_plan(doc: dict) -> set[str]:
    """Names of the nodes that become int8.

    A node is int8 when it has an int8 form and all its inputs are int8
    tensors. An int8 tensor must only feed int8 nodes (there is no
    dequantise op) and cannot be a model output (callers want real values),
    so producers of tensors that break either rule fall back to float32
    until nothing changes."""
    inputs = {i["name"] for i in doc["inputs"]}
    outputs = {o["name"] if isinstance(o, dict) else o for o in doc.get("outputs", [])}
    nodes = doc["nodes"]
    producer = {o: n["name"] for n in nodes for o in n["outputs"]}
    float_nodes = {n["name"] for n in nodes if not _int8_capable(n)}
    while True:
        int8_tensors = set(inputs)
        chosen = set()
        for n in nodes:
            if n["name"] not in float_nodes and all(t in int8_tensors for t in n["inputs"]):
                chosen.add(n["name"])
                if n["op"] != "gemm_fp32":  # the int8 classifier outputs float32
                    int8_tensors.update(n["outputs"])
        bad = set()
        for n in nodes:
            if n["name"] not in chosen:
                bad.update(t for t in n["inputs"] if t in int8_tensors)
        bad.update(t for t in outputs if t in int8_tensors)
        if bad & inputs:
            return set()  # the input itself must stay float32
        if not bad:
            return chosen
        # Every bad tensor comes from a chosen node, so this always grows.
        float_nodes |= {producer[t] for t in bad}


def quantize(builder: ModelBuilder, calibration: Iterable[np.ndarray],
             name: str | None = None, progress: bool = False) -> ModelBuilder:
    """The int8 form of a float32 model, calibrated on ``calibration``
    (arrays shaped like the model's input)."""
    doc = builder.arch()
    ranges = _calibrate(builder, calibration, progress)
    chosen = _int8_plan(doc)
    if not chosen:
        raise QuantizationError("no node of this model can run in int8 from its input")
    qp = {t: tensor_qparams(*r) for t, r in ranges.items()}

    out = ModelBuilder(name or f"{builder.name}_int8")
    for spec in doc["inputs"]:
        s, z = qp[spec["name"]]
        out.inputs.append(dict(spec, dtype="int8", scale=s, zp=z))
    out.outputs = list(builder.outputs)
    int8_weights: set[str] = set()
    for node in doc["nodes"]:
        if node["name"] not in chosen:
            out.nodes.append(node)
            continue
        new = _quantize_node(node, qp, builder.weights, out)
        out.nodes.append(new)
        int8_weights.update(k for k in builder.weights if k.startswith(node["name"] + "."))
    for k, v in builder.weights.items():
        if k not in int8_weights:
            out.weights.setdefault(k, v)
    out._count = len(out.nodes)
    return out


def _quantize_node(node: dict, qp: dict, weights: dict, out: ModelBuilder) -> dict:
    op, name, args = node["op"], node["name"], dict(node.get("args", {}))
    ins = node["inputs"]
    new = {"name": name, "inputs": list(ins), "outputs": list(node["outputs"])}
    s_in, z_in = qp[ins[0]]
    if op in ("conv_fp32", "gemm_fp32"):
        wq, s_w = quantize_rows(np.asarray(weights[f"{name}.weight"], dtype=np.float64))
        bias = weights.get(f"{name}.bias")
        bias = np.zeros(wq.shape[0]) if bias is None else np.asarray(bias, np.float64)
        acc_scale = s_in * s_w
        row_sums = wq.reshape(wq.shape[0], -1).astype(np.int64).sum(axis=1)
        eff_bias = np.round(bias / acc_scale).astype(np.int64) - z_in * row_sums
        if op == "conv_fp32":
            s_out, z_out = qp[node["outputs"][0]]
            req = acc_scale / s_out
            args.pop("relu", None)  # the output range does the clipping
            args.pop("dilation_h", None)
            args.pop("dilation_w", None)
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
        s_out, z_out = qp[node["outputs"][0]]
        args.pop("relu", None)
        args.update(in1_scale=s_in, in2_scale=s2, out_scale=s_out, in1_zp=z_in, in2_zp=z2,
                    out_zp=z_out)
        new["op"] = "add_int8"
    elif op == "maxpool_fp32":
        # The maximum commutes with the affine map: same scale and zero point.
        qp[node["outputs"][0]] = (s_in, z_in)
        args.update(in_zp=z_in, out_zp=z_in)
        new["op"] = "maxpool_int8"
    elif op == "avgpool_fp32":
        s_out, z_out = qp[node["outputs"][0]]
        args.update(in_scale=s_in, out_scale=s_out, in_zp=z_in, out_zp=z_out)
        new["op"] = "avgpool_int8"
    if args:
        new["args"] = args
    return new
