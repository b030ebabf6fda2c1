"""Latency of float32 image networks: vantrel against onnxruntime, OpenVINO and PyTorch.

    python bench/image_models_bench.py [--models resnet50 mobilenet_v2] [--runs 30] [--quick]

Each network is built once from seeded weights (vantrel.torch_models) and
handed to all four engines: converted with vantrel.convert for vantrel,
exported once from PyTorch to ONNX (opset 17) for onnxruntime (CPU provider,
2 intra-op threads) and OpenVINO (CPU, 2 inference threads, latency hint,
f32 precision hint), which load the same file, and run as is by PyTorch
(2 threads). Outputs are checked against PyTorch before timing. The engines
are timed in alternating blocks of runs in this one process (bench/timing.py),
so that drift of a shared machine hits all of them alike. Printed per model:
each engine's median milliseconds (p90 in brackets) and the ratios of
vantrel's median to each peer's (below 1 means vantrel is faster).
"""

from __future__ import annotations

import argparse
import os
import tempfile
import warnings

import numpy as np

from timing import median, openvino_engine, p90, time_engines

THREADS = 2
# Read by the OpenMP runtime when the engine's module loads.
os.environ.setdefault("OMP_NUM_THREADS", str(THREADS))
MODELS = {"resnet50": "resnet50", "mobilenet_v2": "mobilenet_v2_style",
          "resnet18": "resnet18"}
PEERS = ("onnxruntime", "openvino", "pytorch")


def make_engines(name: str, size: int):
    import onnxruntime as ort
    import torch

    import model_inference as mi
    from vantrel import torch_models
    from vantrel.convert import convert

    net = getattr(torch_models, MODELS[name])(seed=0)
    x = torch.randn(1, 3, size, size, generator=torch.Generator().manual_seed(1))
    x_hwc = np.ascontiguousarray(x[0].permute(1, 2, 0).numpy())
    x_nchw = np.ascontiguousarray(x.numpy())

    so = ort.SessionOptions()
    so.intra_op_num_threads = THREADS
    so.inter_op_num_threads = 1
    with tempfile.TemporaryDirectory() as d:
        arch, weights = os.path.join(d, "m.json"), os.path.join(d, "m.bin")
        convert(net, x, name=name).save(arch, weights)
        vantrel = mi.InferenceModel(arch, weights)
        onnx_path = os.path.join(d, "m.onnx")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            torch.onnx.export(net, (x,), onnx_path, dynamo=False, input_names=["input"],
                              output_names=["logits"], opset_version=17)
        session = ort.InferenceSession(onnx_path, so, providers=["CPUExecutionProvider"])
        run_openvino, _ = openvino_engine(onnx_path, x_nchw, THREADS)

    def run_torch():
        with torch.inference_mode():
            return net(x).numpy()[0]

    engines = {
        "vantrel": lambda: vantrel.forward(x_hwc),
        "onnxruntime": lambda: session.run(None, {"input": x_nchw})[0][0],
        "openvino": run_openvino,
        "pytorch": run_torch,
    }
    ref = run_torch()
    for engine, fn in engines.items():
        y = np.asarray(fn()).ravel()
        err = float(np.abs(y - ref).max() / np.abs(ref).max())
        if err > 1e-3 or y.argmax() != ref.argmax():
            raise SystemExit(f"{name}: {engine} disagrees with PyTorch (relative error {err:.2e})")
    return engines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", nargs="+", default=["resnet50", "mobilenet_v2"],
                        choices=sorted(MODELS))
    parser.add_argument("--runs", type=int, default=30, help="timed runs per engine")
    parser.add_argument("--size", type=int, default=224)
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 2 timed runs per engine in 2 blocks")
    args = parser.parse_args()
    runs, rounds, warmup = (2, 2, 1) if args.quick else (args.runs, 5, 2)

    import torch
    torch.set_num_threads(THREADS)

    head = "".join(f" {e + ' ms':>17s}" for e in ("vantrel", *PEERS))
    print(f"{'model':14s}{head}  " + " ".join(f"{'vantrel/' + e:>19s}" for e in PEERS), flush=True)
    for name in args.models:
        with warnings.catch_warnings():  # the exporters' deprecation notices
            warnings.simplefilter("ignore")
            engines = make_engines(name, args.size)
        times = time_engines(engines, runs, rounds, warmup)
        med = {k: median(v) for k, v in times.items()}
        cells = "".join(f" {med[e]:9.2f} ({p90(times[e]):5.1f})" for e in ("vantrel", *PEERS))
        ratios = " ".join(f"{med['vantrel'] / med[e]:19.3f}" for e in PEERS)
        print(f"{name:14s}{cells}  {ratios}", flush=True)


if __name__ == "__main__":
    main()
