#!/usr/bin/env python3
"""Soak test: many forward passes of a mid-sized CNN with changing input
shapes, watching the process's resident memory.

    python bench/soak.py [--passes 10000] [--tolerance-mib 8]

Buffers only grow, so once every shape has been seen (the warm-up) the
resident set must stay flat; the run fails when it grows by more than the
tolerance between the end of the warm-up and the end.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np

import model_inference as mi
from vantrel import ModelBuilder

HEIGHTS = [16, 24, 32, 40, 48, 20, 36, 44]
WIDTH = 32


def rss_mib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    raise RuntimeError("no VmRSS in /proc/self/status")


def build_cnn(path: str) -> mi.InferenceModel:
    """Four 3x3 convolutions (3 -> 16 -> 32 -> 32 -> 64 channels, two of them
    strided), a residual add, max and average pooling and a classifier."""
    rng = np.random.default_rng(0)
    b = ModelBuilder("soak_cnn")
    b.input("x", [0, WIDTH, 3])

    def conv(src, name, cin, cout, stride=1, relu=True):
        out = b.node("conv_fp32", [src], name=name, relu=relu, C_in=cin, C_out=cout, kH=3, kW=3,
                     pad_h=1, pad_w=1, stride_h=stride, stride_w=stride)
        b.weight(f"{name}.weight", (rng.standard_normal((cout, cin * 9)) / np.sqrt(cin * 9)).astype(np.float32))
        b.weight(f"{name}.bias", rng.standard_normal(cout).astype(np.float32) * 0.1)
        return out

    y = conv("x", "c1", 3, 16)
    y = conv(y, "c2", 16, 32, stride=2)
    r = conv(y, "c3", 32, 32, relu=False)
    y = b.node("add_fp32", [y, r], name="res", relu=True)
    y = b.node("maxpool_fp32", [y], name="mp", kH=2, kW=2, stride_h=2, stride_w=2)
    y = conv(y, "c4", 32, 64)
    y = b.node("avgpool_fp32", [y], name="gap")
    b.output(b.node("gemm_fp32", [y], name="fc", C_in=64, C_out=10))
    b.weight("fc.weight", rng.standard_normal((10, 64)).astype(np.float32) * 0.1)
    arch, weights = os.path.join(path, "soak.json"), os.path.join(path, "soak.bin")
    b.save(arch, weights)
    return mi.InferenceModel(arch, weights)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--passes", type=int, default=10000)
    ap.add_argument("--tolerance-mib", type=float, default=8.0)
    args = ap.parse_args()

    start = rss_mib()
    rng = np.random.default_rng(1)
    inputs = [rng.standard_normal((h, WIDTH, 3)).astype(np.float32) for h in HEIGHTS]
    with tempfile.TemporaryDirectory() as d:
        model = build_cnn(d)
    model.set_profile_enabled(False)
    reference = [model.forward(x) for x in inputs]

    warm = 2 * len(inputs)
    for i in range(warm):
        model.forward(inputs[i % len(inputs)])
    after_warmup = rss_mib()

    t0 = time.perf_counter()
    for i in range(args.passes - warm):
        k = i % len(inputs)
        out = model.forward(inputs[k])
        if i % 997 == 0 and not np.array_equal(out, reference[k]):
            print(f"pass {i}: result for height {HEIGHTS[k]} changed", file=sys.stderr)
            return 1
    elapsed = time.perf_counter() - t0
    end = rss_mib()

    print(f"passes: {args.passes} over heights {HEIGHTS} (width {WIDTH}, 3 channels)")
    print(f"VmRSS start:        {start:8.1f} MiB")
    print(f"VmRSS after warm-up: {after_warmup:7.1f} MiB")
    print(f"VmRSS end:          {end:8.1f} MiB  (growth after warm-up {end - after_warmup:+.1f} MiB)")
    print(f"mean pass: {elapsed / max(args.passes - warm, 1) * 1e3:.3f} ms")
    if end - after_warmup > args.tolerance_mib:
        print(f"resident memory grew by more than {args.tolerance_mib} MiB", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
