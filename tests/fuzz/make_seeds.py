#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora, built with the model-file writer.

    python tests/fuzz/make_seeds.py OUT_DIR [--check]

OUT_DIR/{json,arch,weights,model} receive one file per seed; a model seed is
a 4-byte little-endian length L, L bytes of architecture JSON, then the
weights file. --check also loads each model with model_inference and runs it
once, so a seed that no longer matches the layers is noticed.
"""

from __future__ import annotations

import argparse
import json
import os
import struct
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
from vantrel.model_file import ModelBuilder, write_weights  # noqa: E402


def f32(rng, *shape):
    return rng.standard_normal(shape).astype(np.float32)


def int8_weights(b, rng, name, cout, k):
    b.weight(f"{name}.weight", rng.integers(-40, 41, (cout, k)).astype(np.int8))
    b.weight(f"{name}.req_scale", np.full(cout, 0.01, np.float32))
    b.weight(f"{name}.eff_bias", rng.integers(-300, 300, cout).astype(np.int64))


def models():
    rng = np.random.default_rng(0)
    out = {}

    b = ModelBuilder("identity")
    b.input("x", [4])
    b.output("x")
    out["identity"] = b

    b = ModelBuilder("mlp")
    b.input("x", [8])
    h = b.node("gemm_fp32", ["x"], name="fc1", relu=True, C_in=8, C_out=6)
    b.weight("fc1.weight", f32(rng, 6, 8))
    b.weight("fc1.bias", f32(rng, 6))
    y = b.node("gemm_fp32", [h], name="fc2", C_in=6, C_out=3)
    b.weight("fc2.weight", f32(rng, 3, 6))
    b.output(b.node("scale_fp32", [y], name="sc", scalar=0.5))
    out["mlp"] = b

    b = ModelBuilder("resnet_tiny")
    b.input("x", [6, 6, 3])
    c = b.node("conv_fp32", ["x"], name="conv1", relu=True, C_in=3, C_out=4, kH=3, kW=3, pad_h=1, pad_w=1)
    b.weight("conv1.weight", f32(rng, 4, 3 * 9))
    b.weight("conv1.bias", f32(rng, 4))
    d = b.node("conv_fp32", [c], name="dw", C_in=4, C_out=4, kH=3, kW=3, pad_h=1, pad_w=1, groups=4,
               stride_h=2, stride_w=2)
    b.weight("dw.weight", f32(rng, 4, 9))
    p = b.node("maxpool_fp32", [c], name="mp", kH=2, kW=2, stride_h=2, stride_w=2)
    s = b.node("add_fp32", [d, p], name="res")
    u = b.node("upsample_bilinear_fp32", [s], name="up")
    g = b.node("avgpool_fp32", [u], name="gap")
    b.output(b.node("gemm_fp32", [g], name="fc", C_in=4, C_out=5))
    b.weight("fc.weight", f32(rng, 5, 4))
    out["resnet_tiny"] = b

    b = ModelBuilder("int8_net")
    b.input("x", [5, 5, 4], dtype="int8", scale=0.05, zp=1)
    c = b.node("conv_int8", ["x"], name="c", C_in=4, C_out=4, kH=3, kW=3, pad_h=1, pad_w=1, in_zp=1)
    int8_weights(b, rng, "c", 4, 4 * 9)
    m = b.node("maxpool_int8", [c], name="mp", kH=2, kW=2, stride_h=1, stride_w=1)
    a = b.node("add_int8", [m, m], name="add", in1_scale=0.1, in2_scale=0.1, out_scale=0.2)
    g = b.node("avgpool_int8", [a], name="gap", in_scale=0.2, out_scale=0.1)
    b.output(b.node("gemm_int8", [g], name="fc", C_in=4, C_out=3))
    int8_weights(b, rng, "fc", 3, 4)
    out["int8_net"] = b

    b = ModelBuilder("activations")
    b.input("x", [3, 4])
    t = "x"
    for op in ("leaky_relu_fp32", "sigmoid_fp32", "tanh_fp32", "gelu_fp32", "silu_fp32", "sin_fp32",
               "exp_fp32"):
        t = b.node(op, [t])
    b.output(b.node("elemwise_mul_fp32", [t, "x"], name="mul"))
    out["activations"] = b

    b = ModelBuilder("vocoder_bits")
    b.input("x", [0, 4])
    c = b.node("conv1d_fp32", ["x"], name="c1", C_in=4, C_out=4, kernel_size=3, padding=1)
    b.weight("c1.weight", f32(rng, 4, 4, 3))
    b.weight("c1.bias", f32(rng, 4))
    s = b.node("snake1d_fp32", [c], name="sn")
    b.weight("sn.alpha", np.abs(f32(rng, 4)) + 0.1)
    u = b.node("upsample_nearest1d_fp32", [s], name="up", scale_factor=2)
    p = b.node("reflection_pad1d_fp32", [u], name="pad")
    cat = b.node("concat1d_fp32", [p, p], name="cat", C2=4)
    sl = b.node("slice_channels_fp32", [cat], name="sl", ch_start=2, ch_end=6)
    t = b.node("conv_transpose1d_fp32", [sl], name="ct", C_in=4, C_out=2, kernel_size=4, stride=2, padding=1)
    b.weight("ct.weight", f32(rng, 4, 2, 4))
    b.output(b.node("sum_channels_fp32", [t], name="sum"))
    out["vocoder_bits"] = b

    b = ModelBuilder("lstm")
    b.input("x", [0, 3])
    b.output(b.node("lstm_fp32", ["x"], name="l", hidden_size=2, bidirectional=True))
    for sfx in ("_l0", "_l0_reverse"):
        b.weight(f"l.weight_ih{sfx}", f32(rng, 8, 3))
        b.weight(f"l.weight_hh{sfx}", f32(rng, 8, 2))
        b.weight(f"l.bias_ih{sfx}", f32(rng, 8))
    out["lstm"] = b

    b = ModelBuilder("seq")
    b.input("ids", [5, 1])
    e = b.node("embedding_fp32", ["ids"], name="emb", num_embeddings=10, embedding_dim=6)
    b.weight("emb.weight", f32(rng, 10, 6))
    n = b.node("layernorm_fp32", [e], name="ln")
    b.weight("ln.gamma", f32(rng, 6))
    b.weight("ln.beta", f32(rng, 6))
    r = b.node("rms_norm_fp32", [n], name="rms")
    b.weight("rms.gamma", f32(rng, 6))
    b.output(b.node("seqgemm_fp32", [r], name="proj", C_in=6, C_out=4, gelu=True))
    b.weight("proj.weight", f32(rng, 4, 6))
    out["seq"] = b

    b = ModelBuilder("length_regulate")
    b.input("x", [4, 3])
    b.input("d", [4, 1])
    b.output(b.node("length_regulate_fp32", ["x", "d"], name="lr"))
    out["length_regulate"] = b
    return out


# Short hand-written texts for the JSON and architecture fuzzers.
EXTRA_JSON = [
    b'{}', b'[1, -2.5e3, "a\\tb", true, false, null, {"k": [[]]}]',
    b'{"model": "m", "input": {"h": 2, "w": 2, "c": 3, "dtype": "float32"}}',
    b'{"nodes": [{"name": "a", "op": "conv", "in": "x", "in3": "y", "out": "z", "relu": 1}]}',
    b'{"inputs": [{"name": "x", "shape": [1, 0, 1, 80]}], "outputs": [{"name": "x"}, 3]}',
]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--check", action="store_true")
    args = ap.parse_args()
    dirs = {k: os.path.join(args.out, k) for k in ("json", "arch", "weights", "model")}
    for d in dirs.values():
        os.makedirs(d, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for name, b in models().items():
            arch = json.dumps(b.arch()).encode()
            wpath = os.path.join(tmp, name + ".bin")
            write_weights(wpath, b.weights)
            with open(wpath, "rb") as f:
                weights = f.read()
            for kind, data in (("json", arch), ("arch", arch), ("weights", weights),
                               ("model", struct.pack("<I", len(arch)) + arch + weights)):
                with open(os.path.join(dirs[kind], name), "wb") as f:
                    f.write(data)
            if args.check:
                import model_inference as mi
                apath = os.path.join(tmp, name + ".json")
                with open(apath, "wb") as f:
                    f.write(arch)
                m = mi.InferenceModel(apath, wpath)
                feed = {}
                for s in m.inputs:
                    shape = [d or 3 for d in s.shape]
                    kind = np.int8 if s.dtype == "int8" else np.float32
                    feed[s.name] = (np.arange(int(np.prod(shape))) % 5).astype(kind).reshape(shape)
                m.forward(feed) if len(feed) > 1 else m.forward(next(iter(feed.values())))
    for i, text in enumerate(EXTRA_JSON):
        for kind in ("json", "arch"):
            with open(os.path.join(dirs[kind], f"extra{i}"), "wb") as f:
                f.write(text)
    print(f"seeds written to {args.out}")


if __name__ == "__main__":
    main()
