"""Toy example: build a small image model, run it and check it.

Run with ``python -m vantrel.demo --toy`` (or ``python -m vantrel.demo_image``).
The model is written with :class:`vantrel.ModelBuilder` into a temporary
directory, loaded with ``model_inference`` and run on a seeded random image;
the result is compared with a NumPy computation of the same graph.
"""

from __future__ import annotations

import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from vantrel.model_file import ModelBuilder


def build_demo_model(h: int = 32, w: int = 32, c: int = 3) -> ModelBuilder:
    """Two branches over one image joined by an add, then pooling."""
    b = ModelBuilder("demo_image")
    x = b.input("image", [h, w, c])
    up = b.node("upsample_bilinear_fp32", [x], name="up", scale_h=2.0, scale_w=2.0)
    pooled = b.node("maxpool_fp32", [up], name="pool", kH=2, kW=2, stride_h=2, stride_w=2)
    gated = b.node("sigmoid_fp32", [pooled], name="gate")
    scaled = b.node("scale_fp32", [x], name="half", scalar=0.5)
    joined = b.node("add_fp32", [gated, scaled], name="join", relu=True)
    b.output(b.node("avgpool_fp32", [joined], name="gap"))
    return b


def reference(x: np.ndarray) -> np.ndarray:
    """The demo graph in NumPy (float64)."""
    h, w, c = x.shape
    # Bilinear x2 with half-pixel centres equals this for interior samples;
    # max pooling 2x2 of the x2 image covers each source pixel's quad.
    def bilinear(img, oh, ow):
        sy = (np.arange(oh) + 0.5) * (h / oh) - 0.5
        sx = (np.arange(ow) + 0.5) * (w / ow) - 0.5
        y0 = np.trunc(sy).astype(int)
        x0 = np.trunc(sx).astype(int)
        fy, fx = (sy - y0)[:, None, None], (sx - x0)[None, :, None]
        r0, r1 = np.clip(y0, 0, h - 1), np.clip(y0 + 1, 0, h - 1)
        c0, c1 = np.clip(x0, 0, w - 1), np.clip(x0 + 1, 0, w - 1)
        p = lambda r, q: img[r][:, q]
        return (p(r0, c0) * (1 - fy) * (1 - fx) + p(r0, c1) * (1 - fy) * fx
                + p(r1, c0) * fy * (1 - fx) + p(r1, c1) * fy * fx)
    up = bilinear(x.astype(np.float64), 2 * h, 2 * w)
    pooled = up.reshape(h, 2, w, 2, c).max(axis=(1, 3))
    joined = np.maximum(1 / (1 + np.exp(-pooled)) + 0.5 * x, 0)
    return joined.mean(axis=(0, 1))


def main() -> int:
    """Build the example model, run and time it, and compare with NumPy; returns 0 when they
    agree."""
    import model_inference as mi

    rng = np.random.default_rng(0)
    x = rng.standard_normal((32, 32, 3)).astype(np.float32)
    with tempfile.TemporaryDirectory() as d:
        arch, weights = Path(d) / "demo.json", Path(d) / "demo.bin"
        build_demo_model().save(str(arch), str(weights))
        model = mi.InferenceModel(str(arch), str(weights))
    print(model, "on backend", mi.active_backend(), "with kernel path", mi._kernel_path())
    y = model.forward(x)
    runs = 200
    t0 = time.perf_counter()
    for _ in range(runs):
        model.forward(x)
    ms = (time.perf_counter() - t0) * 1e3 / runs
    ref = reference(x)
    err = float(np.max(np.abs(y - ref)))
    print("output:", np.array2string(y, precision=5))
    print("numpy :", np.array2string(ref.astype(np.float32), precision=5))
    print(f"max abs difference {err:.2e}; {ms:.3f} ms per forward over {runs} runs")
    print("time per op (ms):", {k: round(v, 3) for k, v in sorted(model.op_profile().items())})
    ok = err < 1e-4
    print("demo", "OK" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
