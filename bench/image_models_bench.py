"""Latency of float32 image networks: vantrel against onnxruntime and PyTorch.

    python bench/image_models_bench.py [--models resnet50 mobilenet_v2] [--runs 30]

Each network is built once from seeded weights (vantrel.torch_models) and
handed to all three engines: converted with vantrel.convert for vantrel,
exported from PyTorch for onnxruntime (CPU provider, 2 intra-op threads) and
run as is by PyTorch (2 threads). The engines are timed in alternating
blocks of runs in this one process, so that drift of a shared machine hits all of
them alike, and the medians are printed with the ratio vantrel/onnxruntime
(below 1 means vantrel is faster). Outputs are checked against PyTorch
before timing.
"""

from __future__ import annotations

import argparse
import io
import os
import statistics
import tempfile
import time
import warnings

import numpy as np

THREADS = 2
# Read by the OpenMP runtime when the engine's module loads.
os.environ.setdefault("OMP_NUM_THREADS", str(THREADS))
MODELS = {"resnet50": "resnet50", "mobilenet_v2": "mobilenet_v2_style",
          "resnet18": "resnet18"}


def make_engines(name: str, size: int):
    import onnxruntime as ort
    import torch

    import model_inference as mi
    from vantrel import torch_models
    from vantrel.convert import convert

    net = getattr(torch_models, MODELS[name])(seed=0)
    x = torch.randn(1, 3, size, size, generator=torch.Generator().manual_seed(1))
    x_hwc = np.ascontiguousarray(x[0].permute(1, 2, 0).numpy())

    with tempfile.TemporaryDirectory() as d:
        arch, weights = os.path.join(d, "m.json"), os.path.join(d, "m.bin")
        convert(net, x, name=name).save(arch, weights)
        vantrel = mi.InferenceModel(arch, weights)

    buf = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(net, (x,), buf, dynamo=False, input_names=["input"],
                          output_names=["logits"], opset_version=17)
    so = ort.SessionOptions()
    so.intra_op_num_threads = THREADS
    so.inter_op_num_threads = 1
    session = ort.InferenceSession(buf.getvalue(), so, providers=["CPUExecutionProvider"])
    x_nchw = x.numpy()

    def run_torch():
        with torch.inference_mode():
            return net(x).numpy()[0]

    engines = {
        "vantrel": lambda: vantrel.forward(x_hwc),
        "onnxruntime": lambda: session.run(None, {"input": x_nchw})[0][0],
        "pytorch": run_torch,
    }
    ref = run_torch()
    for engine, fn in engines.items():
        y = np.asarray(fn()).ravel()
        err = float(np.abs(y - ref).max() / np.abs(ref).max())
        if err > 1e-3 or y.argmax() != ref.argmax():
            raise SystemExit(f"{name}: {engine} disagrees with PyTorch (relative error {err:.2e})")
    return engines


def time_engines(engines, runs: int, rounds: int = 5, warmup: int = 2) -> dict[str, list[float]]:
    """Alternating blocks of runs per engine. Blocks rather than single runs,
    because the peers' thread pools keep spinning for a while after a run
    and would slow down whichever engine runs next; the warm-up runs of
    each block absorb that."""
    times: dict[str, list[float]] = {k: [] for k in engines}
    per_block = max(1, runs // rounds)
    for _ in range(rounds):
        for engine, fn in engines.items():
            for _ in range(warmup):
                fn()
            for _ in range(per_block):
                t0 = time.perf_counter()
                fn()
                times[engine].append((time.perf_counter() - t0) * 1e3)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", nargs="+", default=["resnet50", "mobilenet_v2"],
                        choices=sorted(MODELS))
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--size", type=int, default=224)
    args = parser.parse_args()

    import torch
    torch.set_num_threads(THREADS)

    print(f"{'model':14s} {'engine':12s} {'median ms':>10s} {'p90 ms':>8s}")
    for name in args.models:
        times = time_engines(make_engines(name, args.size), args.runs)
        med = {k: statistics.median(v) for k, v in times.items()}
        for engine, v in times.items():
            p90 = sorted(v)[int(0.9 * (len(v) - 1))]
            print(f"{name:14s} {engine:12s} {med[engine]:10.2f} {p90:8.2f}")
        print(f"{name:14s} ratio vantrel/onnxruntime {med['vantrel'] / med['onnxruntime']:.3f}, "
              f"vantrel/pytorch {med['vantrel'] / med['pytorch']:.3f}")


if __name__ == "__main__":
    main()
