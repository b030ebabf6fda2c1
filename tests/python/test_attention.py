"""Self-attention layers built from Python: the float block against
torch.nn.MultiheadAttention, the int8 block against a numpy model of its
per-row quantised products."""
import numpy as np
import pytest
import torch

from vantrel import ModelBuilder


def rng(seed):
    return np.random.default_rng(seed)


def weights(E, seed, biases=True):
    r = rng(seed)
    w = {"w_qkv": r.standard_normal((3 * E, E)) / np.sqrt(E),
         "w_proj": r.standard_normal((E, E)) / np.sqrt(E)}
    if biases:
        w["b_qkv"] = r.standard_normal(3 * E) * 0.1
        w["b_proj"] = r.standard_normal(E) * 0.1
    return {k: v.astype(np.float32) for k, v in w.items()}


def model(op, T, E, H, tensors, embed_dim=None, **args):
    b = ModelBuilder("m")
    b.input("x", [T, E])
    if embed_dim is not None:
        args["embed_dim"] = embed_dim
    b.output(b.node(op, ["x"], name="att", num_heads=H, **args))
    for k, v in tensors.items():
        b.weight(f"att.{k}", v)
    return b


def torch_mha(x, w, H, fq=None):
    """torch.nn.MultiheadAttention on the same weights; `fq` fake-quantises
    the input and the attention output (the dynamic_quantize emulation)."""
    T, E = x.shape
    mha = torch.nn.MultiheadAttention(E, H, batch_first=True, bias=True)
    with torch.no_grad():
        mha.in_proj_weight.copy_(torch.from_numpy(w["w_qkv"]))
        mha.in_proj_bias.copy_(torch.from_numpy(w.get("b_qkv", np.zeros(3 * E, np.float32))))
        mha.out_proj.weight.copy_(torch.from_numpy(w["w_proj"]))
        mha.out_proj.bias.copy_(torch.from_numpy(w.get("b_proj", np.zeros(E, np.float32))))
        if fq is None:
            y, _ = mha(*(torch.from_numpy(x)[None],) * 3, need_weights=False)
            return y[0].numpy()
        xq = torch.from_numpy(fq(x))[None]
        # Attention output before the output projection: run with an
        # identity projection, then quantise and project by hand.
        mha.out_proj.weight.copy_(torch.eye(E))
        mha.out_proj.bias.zero_()
        a, _ = mha(xq, xq, xq, need_weights=False)
        return fq(a[0].numpy()) @ w["w_proj"].T + w.get("b_proj", 0)


def fake_quantize_u8(x):
    """Asymmetric 8-bit quantise-and-restore of a whole tensor; the range
    always includes 0."""
    x = x.astype(np.float32)
    mn, mx = np.float32(min(0.0, x.min())), np.float32(max(0.0, x.max()))
    rng_ = np.float32(mx - mn)
    inv, scale = (np.float32(254.99998) / rng_, rng_ * np.float32(0.003921569)) if rng_ > 0 else \
        (np.float32(1e8), np.float32(1e-8))
    zp = np.float32(-mn / scale)
    zp = np.float32(0) if zp < 0 else np.float32(np.floor(min(zp, 255) + 0.5))
    q = np.clip(np.trunc(x * inv + np.copysign(0.5, x * inv)) + zp, 0, 255)
    return ((q - zp) * scale).astype(np.float32)


@pytest.mark.parametrize("T", [1, 17, 65, 130])
@pytest.mark.parametrize("E, H", [(32, 4), (48, 3)])
@pytest.mark.parametrize("embed_dim", [0, "E"])
def test_float_block_matches_torch(build, T, E, H, embed_dim):
    w = weights(E, T + E)
    x = rng(T).standard_normal((T, E)).astype(np.float32)
    m = build(model("attention_fp32", T, E, H, w, E if embed_dim == "E" else embed_dim))
    np.testing.assert_allclose(m.forward(x).reshape(T, E), torch_mha(x, w, H), rtol=1e-4, atol=1e-4)


def test_float_block_without_biases_matches_torch(build):
    w = weights(16, 3, biases=False)
    x = rng(4).standard_normal((20, 16)).astype(np.float32)
    got = build(model("attention_fp32", 20, 16, 2, w)).forward(x).reshape(20, 16)
    np.testing.assert_allclose(got, torch_mha(x, w, 2), rtol=1e-4, atol=1e-4)


def test_dynamic_quantize_tracks_fake_quantised_torch(build):
    T, E, H = 40, 32, 4
    w = weights(E, 11)
    x = rng(12).standard_normal((T, E)).astype(np.float32)
    got = build(model("attention_fp32", T, E, H, w, dynamic_quantize=True)).forward(x).reshape(T, E)
    want = torch_mha(x, w, H, fq=fake_quantize_u8)
    plain = torch_mha(x, w, H)
    # A code may flip where the float paths differ in the last bits, so the
    # bound is a few quantisation steps; the plain result is much further.
    err = np.abs(got - want).max()
    assert err < 0.02 * np.abs(want).max()
    assert np.abs(got - plain).max() > 3 * err


def quantize_rows_f32(x):
    """Per-row symmetric codes and scales as the int8 products make them."""
    amax = np.abs(x).max(axis=1).astype(np.float32)
    small = amax < np.float32(1.27e-6)
    inv = np.where(small, np.float32(1e8), np.float32(127) / np.where(small, 1, amax)).astype(np.float32)
    scale = np.where(small, np.float32(1e-8), amax * np.float32(0.007874016)).astype(np.float32)
    return np.clip(np.rint(x * inv[:, None]), -128, 127), scale


def dynamic_gemm(x, q, w_scale, bias):
    codes, s = quantize_rows_f32(x)
    acc = codes.astype(np.int64) @ q.astype(np.int64).T
    y = (acc.astype(np.float32) * w_scale[None, :]) * s[:, None]
    return (y + bias).astype(np.float32)


def attention_f64(qkv, H):
    T, E3 = qkv.shape
    E, d = E3 // 3, E3 // 3 // H
    q, k, v = (qkv[:, i * E:(i + 1) * E].astype(np.float64).reshape(T, H, d).transpose(1, 0, 2) for i in range(3))
    s = q @ k.transpose(0, 2, 1) / np.sqrt(d)
    p = np.exp(s - s.max(axis=2, keepdims=True))
    p /= p.sum(axis=2, keepdims=True)
    return (p @ v).transpose(1, 0, 2).reshape(T, E).astype(np.float32)


@pytest.mark.parametrize("T, E, H", [(1, 16, 2), (33, 32, 4), (70, 24, 3)])
def test_int8_block_matches_numpy_model(build, T, E, H):
    wf = weights(E, 7 * T + E)
    t, q = {}, {}
    for key in ("w_qkv", "w_proj"):
        amax = np.abs(wf[key]).max(axis=1)
        s = (amax / 127).astype(np.float32)
        q[key] = np.clip(np.rint(wf[key] / s[:, None]), -127, 127).astype(np.int8)
        t[f"{key}_i8"], t[f"{key}_scales"] = q[key], s
    t["b_qkv"], t["b_proj"] = wf["b_qkv"], wf["b_proj"]
    x = rng(T * 3).standard_normal((T, E)).astype(np.float32)
    got = build(model("attention_int8", T, E, H, t)).forward(x).reshape(T, E)
    a = attention_f64(dynamic_gemm(x, q["w_qkv"], t["w_qkv_scales"], wf["b_qkv"]), H)
    want = dynamic_gemm(a, q["w_proj"], t["w_proj_scales"], wf["b_proj"])
    np.testing.assert_allclose(got, want, atol=0.01 * np.abs(want).max(), rtol=0)
    # And it stays near the float block on the dequantised weights.
    deq = {"w_qkv": q["w_qkv"] * t["w_qkv_scales"][:, None], "w_proj": q["w_proj"] * t["w_proj_scales"][:, None],
           "b_qkv": wf["b_qkv"], "b_proj": wf["b_proj"]}
    deq = {k: v.astype(np.float32) for k, v in deq.items()}
    fl = build(model("attention_fp32", T, E, H, deq)).forward(x).reshape(T, E)
    assert np.abs(got - fl).max() < 0.05 * np.abs(fl).max()
