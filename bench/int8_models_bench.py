"""Latency of int8 image networks: vantrel against onnxruntime's static
quantisation of the same weights, and against both engines' float32 runs.

    python bench/int8_models_bench.py [--models resnet50 mobilenet_v2] [--runs 30]

Each network is built from seeded weights (vantrel.torch_models), converted
with vantrel.convert and quantised with vantrel.quantize; onnxruntime gets
the PyTorch export quantised with onnxruntime.quantization.quantize_static
(QDQ, per-channel int8 weights, uint8 activations), both calibrated on the
same images. All four runs (vantrel int8 and float32, onnxruntime int8 and
float32; 2 threads each) are timed in alternating blocks in this process.
Printed: median and p90 latency, the ratios vantrel int8 / onnxruntime int8
and vantrel int8 / vantrel float32, and how often each int8 model's top-1
agrees with its float32 model on test images.
"""

from __future__ import annotations

import argparse
import logging
import os
import statistics
import sys
import tempfile
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from image_models_bench import MODELS, THREADS, time_engines  # noqa: E402


def build(name: str, size: int, n_calib: int, n_test: int, workdir: str):
    import onnxruntime as ort
    import torch
    from onnxruntime.quantization import (CalibrationDataReader, QuantFormat, QuantType,
                                          quantize_static)

    import model_inference as mi
    from vantrel import torch_models
    from vantrel.convert import convert
    from vantrel.quantize import quantize, quantize_input

    net = getattr(torch_models, MODELS[name])(seed=0)
    rng = np.random.default_rng(1)
    calib = [rng.standard_normal((1, 3, size, size)).astype(np.float32) for _ in range(n_calib)]
    tests = [rng.standard_normal((1, 3, size, size)).astype(np.float32) for _ in range(n_test)]
    hwc = lambda a: np.ascontiguousarray(a[0].transpose(1, 2, 0))  # noqa: E731

    def load(builder, tag):
        arch, weights = os.path.join(workdir, tag + ".json"), os.path.join(workdir, tag + ".bin")
        builder.save(arch, weights)
        return mi.InferenceModel(arch, weights)

    fp32 = convert(net, torch.from_numpy(calib[0]), name=name)
    v_fp32 = load(fp32, name + "_fp32")
    v_int8 = load(quantize(fp32, [hwc(c) for c in calib]), name + "_int8")
    spec = v_int8.inputs[0]

    onnx_fp32 = os.path.join(workdir, name + ".onnx")
    onnx_int8 = os.path.join(workdir, name + "_int8.onnx")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(net, (torch.from_numpy(calib[0]),), onnx_fp32, dynamo=False,
                          input_names=["input"], output_names=["logits"], opset_version=17)

    class Reader(CalibrationDataReader):
        def __init__(self):
            self.items = iter(calib)

        def get_next(self):
            item = next(self.items, None)
            return None if item is None else {"input": item}

    quantize_static(onnx_fp32, onnx_int8, Reader(), quant_format=QuantFormat.QDQ,
                    per_channel=True, activation_type=QuantType.QUInt8,
                    weight_type=QuantType.QInt8)
    so = ort.SessionOptions()
    so.intra_op_num_threads = THREADS
    so.inter_op_num_threads = 1
    o_fp32 = ort.InferenceSession(onnx_fp32, so, providers=["CPUExecutionProvider"])
    o_int8 = ort.InferenceSession(onnx_int8, so, providers=["CPUExecutionProvider"])

    x = tests[0]
    xq = quantize_input(hwc(x), spec.scale, spec.zp)
    engines = {
        "vantrel int8": lambda: v_int8.forward(xq),
        "vantrel fp32": lambda: v_fp32.forward(hwc(x)),
        "ort int8": lambda: o_int8.run(None, {"input": x})[0],
        "ort fp32": lambda: o_fp32.run(None, {"input": x})[0],
    }
    agree = {"vantrel": 0, "ort": 0}
    for t in tests:
        yf = v_fp32.forward(hwc(t))
        agree["vantrel"] += int(v_int8.forward(quantize_input(hwc(t), spec.scale, spec.zp))
                                .argmax() == yf.argmax())
        agree["ort"] += int(o_int8.run(None, {"input": t})[0].argmax()
                            == o_fp32.run(None, {"input": t})[0].argmax())
    return engines, agree


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", nargs="+", default=["resnet50", "mobilenet_v2"],
                        choices=sorted(MODELS))
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--size", type=int, default=224)
    parser.add_argument("--calibration", type=int, default=8)
    parser.add_argument("--tests", type=int, default=8)
    args = parser.parse_args()

    import torch
    torch.set_num_threads(THREADS)
    logging.getLogger().setLevel(logging.ERROR)  # onnxruntime's quantiser advice
    print(f"{'model':14s} {'engine':14s} {'median ms':>10s} {'p90 ms':>8s}")
    for name in args.models:
        with tempfile.TemporaryDirectory() as d:
            engines, agree = build(name, args.size, args.calibration, args.tests, d)
            times = time_engines(engines, args.runs)
        med = {k: statistics.median(v) for k, v in times.items()}
        for engine, v in times.items():
            p90 = sorted(v)[int(0.9 * (len(v) - 1))]
            print(f"{name:14s} {engine:14s} {med[engine]:10.2f} {p90:8.2f}")
        print(f"{name:14s} ratio vantrel int8/ort int8 {med['vantrel int8'] / med['ort int8']:.3f}, "
              f"vantrel int8/vantrel fp32 {med['vantrel int8'] / med['vantrel fp32']:.3f}; "
              f"int8 top-1 = fp32 top-1: vantrel {agree['vantrel']}/{args.tests}, "
              f"ort {agree['ort']}/{args.tests}")


if __name__ == "__main__":
    main()
