"""Latency of int8 image networks: vantrel against onnxruntime's and
OpenVINO's runs of a static quantisation of the same weights, and against
vantrel's and onnxruntime's float32 runs.

    python bench/int8_models_bench.py [--models resnet50 mobilenet_v2] [--runs 30] [--quick]

Each network is built from seeded weights (vantrel.torch_models), converted
with vantrel.convert and quantised with vantrel.quantize; the PyTorch export
is quantised with onnxruntime.quantization.quantize_static (QDQ, per-channel
int8 weights, uint8 activations), both calibrated on the same images.
onnxruntime and OpenVINO (CPU, latency hint, f32 precision hint for what
stays float) load that same QDQ file; OpenVINO folds the QuantizeLinear /
DequantizeLinear pairs into int8 convolutions, and the script prints how
many of its convolutions run in u8/i8 so that a silent fall-back to float
shows. Should OpenVINO fail to load the file, the reason is printed and the
run goes on without it. All runs (2 threads each) are timed in alternating
blocks in this process (bench/timing.py). Printed: median and p90 latency,
the ratios vantrel int8 / onnxruntime int8, vantrel int8 / OpenVINO int8
and vantrel int8 / vantrel float32, and how often each int8 model's top-1
agrees with its float32 model on test images.
"""

from __future__ import annotations

import argparse
import logging
import os
import tempfile
import warnings

import numpy as np

from image_models_bench import MODELS, THREADS
from timing import median, openvino_engine, p90, time_engines


def openvino_int8(onnx_int8: str, x):
    """(run function on x, compiled model, how many of OpenVINO's compiled
    convolutions run in int8) or (None, None, why it failed)."""
    try:
        run, compiled = openvino_engine(onnx_int8, x, THREADS)
        run()
    except Exception as e:  # reported in the table, not fatal to the other engines
        text = str(e).strip().splitlines()
        return None, None, f"{type(e).__name__}: {text[0] if text else ''}"
    convs = [op.get_rt_info()["runtimePrecision"].astype(str)
             for op in compiled.get_runtime_model().get_ordered_ops()
             if op.get_rt_info()["layerType"].astype(str) == "Convolution"]
    return run, compiled, f"{sum(p in ('u8', 'i8') for p in convs)}/{len(convs)} convolutions in int8"


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
    run_ov, ov_model, ov_note = openvino_int8(onnx_int8, x)
    if run_ov is not None:
        engines["ov int8"] = run_ov
    agree = {"vantrel": 0, "ort": 0, "ov": 0}
    for t in tests:
        yf = v_fp32.forward(hwc(t))
        agree["vantrel"] += int(v_int8.forward(quantize_input(hwc(t), spec.scale, spec.zp))
                                .argmax() == yf.argmax())
        agree["ort"] += int(o_int8.run(None, {"input": t})[0].argmax()
                            == o_fp32.run(None, {"input": t})[0].argmax())
        if ov_model is not None:
            agree["ov"] += int(ov_model({0: t})[0].argmax()
                               == o_fp32.run(None, {"input": t})[0].argmax())
    return engines, agree, ov_note


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", nargs="+", default=["resnet50", "mobilenet_v2"],
                        choices=sorted(MODELS))
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--size", type=int, default=224)
    parser.add_argument("--calibration", type=int, default=8)
    parser.add_argument("--tests", type=int, default=8)
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 2 timed runs per engine in 2 blocks, 2 calibration "
                             "and 2 test images")
    args = parser.parse_args()
    runs, rounds, warmup = (2, 2, 1) if args.quick else (args.runs, 5, 2)
    if args.quick:
        args.calibration, args.tests = 2, 2

    import torch
    torch.set_num_threads(THREADS)
    logging.getLogger().setLevel(logging.ERROR)  # onnxruntime's quantiser advice
    print(f"{'model':14s} {'engine':14s} {'median ms':>10s} {'p90 ms':>8s}", flush=True)
    for name in args.models:
        with tempfile.TemporaryDirectory() as d:
            with warnings.catch_warnings():  # the exporters' deprecation notices
                warnings.simplefilter("ignore")
                engines, agree, ov_note = build(name, args.size, args.calibration, args.tests, d)
            times = time_engines(engines, runs, rounds, warmup)
        med = {k: median(v) for k, v in times.items()}
        for engine, v in times.items():
            print(f"{name:14s} {engine:14s} {med[engine]:10.2f} {p90(v):8.2f}")
        ratio = lambda a, b: f"{med[a] / med[b]:.3f}" if b in med else "-"  # noqa: E731
        print(f"{name:14s} ratio vantrel int8/ort int8 {ratio('vantrel int8', 'ort int8')}, "
              f"vantrel int8/ov int8 {ratio('vantrel int8', 'ov int8')}, "
              f"vantrel int8/vantrel fp32 {ratio('vantrel int8', 'vantrel fp32')}")
        ov_agree = f"{agree['ov']}/{args.tests}" if "ov int8" in med else "-"
        print(f"{name:14s} int8 top-1 = fp32 top-1: vantrel {agree['vantrel']}/{args.tests}, "
              f"ort {agree['ort']}/{args.tests}, ov {ov_agree}")
        print(f"{name:14s} OpenVINO on the QDQ file: {ov_note}", flush=True)


if __name__ == "__main__":
    main()
