"""Sequence matrix-product layers built from Python and compared with
torch.nn.functional.linear (and the tanh GELU)."""
import numpy as np
import pytest
import torch
import torch.nn.functional as F

from vantrel import ModelBuilder


def linear_ref(x, w, b, gelu):
    y = F.linear(torch.from_numpy(x).double(), torch.from_numpy(w).double(),
                 None if b is None else torch.from_numpy(b).double())
    return (F.gelu(y, approximate="tanh") if gelu else y).numpy()


def quant_tolerance(x, w):
    # One token runs on int8 codes: at most half a code step per factor.
    ax = np.abs(x).max(axis=1, keepdims=True)
    aw = np.abs(w).max(axis=1)
    return 1.01 * (ax * np.abs(w).sum(axis=1) + aw * np.abs(x).sum(axis=1, keepdims=True)) / 254 + 1e-5


def model(op, tokens, k, n, weights, gelu, name="proj"):
    b = ModelBuilder("m")
    b.input("x", [tokens, k])
    b.output(b.node(op, ["x"], name=name, C_in=k, C_out=n, gelu=gelu))
    for key, value in weights.items():
        b.weight(f"{name}.{key}", value)
    return b


@pytest.mark.parametrize("tokens, k, n", [(1, 48, 10), (1, 7, 3), (5, 33, 17), (16, 64, 40)])
@pytest.mark.parametrize("gelu", [False, True])
@pytest.mark.parametrize("with_bias", [False, True])
def test_seqgemm_fp32_matches_torch(build, tokens, k, n, gelu, with_bias):
    r = np.random.default_rng(tokens * 100 + k + n)
    x = r.standard_normal((tokens, k)).astype(np.float32)
    w = (r.standard_normal((n, k)) * 0.2).astype(np.float32)
    bias = r.standard_normal(n).astype(np.float32) if with_bias else None
    weights = {"weight": w} | ({"bias": bias} if with_bias else {})
    got = build(model("seqgemm_fp32", tokens, k, n, weights, gelu, name="layers.0.fc")).forward(x)
    tol = quant_tolerance(x, w) if tokens == 1 else 1e-5 * (1 + np.abs(x) @ np.abs(w).T)
    assert np.all(np.abs(got.reshape(tokens, n) - linear_ref(x, w, bias, gelu)) <= tol)


@pytest.mark.parametrize("tokens, k, n", [(1, 40, 9), (2, 3, 12), (12, 70, 24)])
@pytest.mark.parametrize("gelu", [False, True])
def test_seqgemm_int8_matches_torch_on_dequantised_weights(build, tokens, k, n, gelu):
    r = np.random.default_rng(tokens + k * n)
    x = r.standard_normal((tokens, k)).astype(np.float32)
    q = r.integers(-128, 128, (n, k), dtype=np.int8)
    scales = (r.random(n) * 0.01 + 0.001).astype(np.float32)
    bias = r.standard_normal(n).astype(np.float32)
    w = q.astype(np.float32) * scales[:, None]
    got = build(model("seqgemm_int8", tokens, k, n, {"weight_i8": q, "w_scales": scales, "bias": bias},
                      gelu)).forward(x)
    # Only the activations are quantised: half a code step of x per term.
    tol = 1.01 * np.abs(x).max(axis=1, keepdims=True) * np.abs(w).sum(axis=1) / 254 + 1e-5
    assert np.all(np.abs(got.reshape(tokens, n) - linear_ref(x, w, bias, gelu)) <= tol)


def test_seqgemm_fp32_reads_the_int8_weight_form(build):
    r = np.random.default_rng(7)
    x = r.standard_normal((4, 20)).astype(np.float32)
    q = r.integers(-127, 128, (6, 20), dtype=np.int8)
    scales = (r.random(6) * 0.05).astype(np.float32)
    got = build(model("seqgemm_fp32", 4, 20, 6, {"weight_i8": q, "w_scales": scales}, False)).forward(x)
    w = q.astype(np.float32) * scales[:, None]
    np.testing.assert_allclose(got.reshape(4, 6), linear_ref(x, w, None, False), rtol=1e-5, atol=1e-5)
