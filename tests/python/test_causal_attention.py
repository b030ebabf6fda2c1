"""Causal attention with rotary encoding built from Python: one pass compared
with PyTorch, step-by-step decoding against one full pass, and the KV cache
controls (reset, reserve, capacity overflow)."""
import numpy as np
import pytest
import torch

import model_inference as mi
from vantrel import ModelBuilder


def causal_model(hq, hkv, d, theta=10000.0, **extra):
    b = ModelBuilder("decoder")
    q = b.input("q", [0, hq * d])
    k = b.input("k", [0, hkv * d])
    v = b.input("v", [0, hkv * d])
    b.output(b.node("causal_attn_core_fp32", [q, k, v], output="y", name="attn", num_q_heads=hq,
                    num_kv_heads=hkv, head_dim=d, rope_theta=theta, **extra))
    return b


def sequence(hq, hkv, d, tokens, seed):
    r = np.random.default_rng(seed)
    return {n: r.standard_normal((tokens, h * d)).astype(np.float32)
            for n, h in (("q", hq), ("k", hkv), ("v", hkv))}


def torch_reference(x, hq, hkv, d, theta):
    """Non-interleaved RoPE (pairs i, i + d/2) and grouped causal attention."""
    t = x["q"].shape[0]
    q = torch.from_numpy(x["q"]).double().view(t, hq, d).transpose(0, 1)
    k = torch.from_numpy(x["k"]).double().view(t, hkv, d).transpose(0, 1)
    v = torch.from_numpy(x["v"]).double().view(t, hkv, d).transpose(0, 1)
    half = d // 2
    freq = theta ** (-torch.arange(half, dtype=torch.float64) * 2 / d)
    ang = torch.arange(t, dtype=torch.float64)[:, None] * freq[None, :]
    cos, sin = torch.cos(ang), torch.sin(ang)

    def rope(x):
        a, b, rest = x[..., :half], x[..., half:2 * half], x[..., 2 * half:]
        return torch.cat([a * cos - b * sin, a * sin + b * cos, rest], dim=-1)

    group = hq // hkv
    k = rope(k).repeat_interleave(group, dim=0)
    v = v.repeat_interleave(group, dim=0)
    y = torch.nn.functional.scaled_dot_product_attention(rope(q), k, v, is_causal=True)
    return y.transpose(0, 1).reshape(t, hq * d).numpy()


@pytest.mark.parametrize("hq, hkv, d, tokens, theta", [
    (1, 1, 2, 1, 10000.0),
    (4, 4, 16, 7, 10000.0),
    (8, 2, 32, 13, 10000.0),
    (6, 3, 7, 5, 500.0),      # odd d: the last element stays unrotated
    (4, 1, 64, 33, 1e6),
])
def test_one_pass_matches_torch(build, hq, hkv, d, tokens, theta):
    m = build(causal_model(hq, hkv, d, theta))
    x = sequence(hq, hkv, d, tokens, seed=hq * 100 + d)
    got = m.forward(x)["y"]
    np.testing.assert_allclose(got, torch_reference(x, hq, hkv, d, theta).ravel(), rtol=1e-4, atol=1e-4)
    assert m.position == 0


@pytest.mark.parametrize("prompt", [1, 5])
def test_step_decoding_equals_full_pass(build, prompt):
    hq, hkv, d, total = 8, 2, 16, 12
    m = build(causal_model(hq, hkv, d))
    x = sequence(hq, hkv, d, total, seed=prompt)
    full = m.forward(x)["y"].reshape(total, hq * d)
    rows = [m.forward_step({n: a[:prompt] for n, a in x.items()})["y"].reshape(prompt, -1)]
    assert m.position == prompt
    for t in range(prompt, total):
        rows.append(m.forward_step({n: a[t:t + 1] for n, a in x.items()})["y"].reshape(1, -1))
        assert m.position == t + 1
    np.testing.assert_array_equal(np.concatenate(rows), full)


def test_packed_input_gives_the_bits_of_three_inputs(build):
    hq, hkv, d, total, prompt = 6, 2, 8, 9, 4
    b = ModelBuilder("packed")
    b.output(b.node("causal_attn_core_fp32", [b.input("qkv", [0, (hq + 2 * hkv) * d])], output="y",
                    name="attn", num_q_heads=hq, num_kv_heads=hkv, head_dim=d))
    packed = build(b)
    x = sequence(hq, hkv, d, total, seed=3)
    full = build(causal_model(hq, hkv, d)).forward(x)["y"].reshape(total, hq * d)
    qkv = np.concatenate([x["q"], x["k"], x["v"]], axis=1)
    rows = [packed.forward_step(qkv[:prompt])] + [packed.forward_step(qkv[t:t + 1]) for t in range(prompt, total)]
    np.testing.assert_array_equal(np.concatenate(rows).reshape(total, -1), full)


def test_reset_cache_and_forward_start_a_new_sequence(build):
    m = build(causal_model(2, 1, 8))
    x = sequence(2, 1, 8, 4, seed=7)
    other = sequence(2, 1, 8, 3, seed=8)
    want = m.forward(x)["y"]
    m.forward_step(other)
    assert m.position == 3
    m.reset_cache()
    assert m.position == 0
    np.testing.assert_array_equal(m.forward_step(x)["y"], want)
    m.forward_step({n: a[:1] for n, a in other.items()})
    assert m.position == 5
    m.forward(x)  # a full pass overwrites the cache from row 0
    assert m.position == 0


def test_capacity_declared_reserved_and_enforced(build):
    m = build(causal_model(4, 2, 4, max_seq_len=4))
    assert m.cache_capacity == 4
    x = sequence(4, 2, 4, 8, seed=1)
    m.forward_step({n: a[:3] for n, a in x.items()})
    with pytest.raises(RuntimeError, match=r"node 'attn'.*position 3 \+ 2 tokens exceeds the KV cache capacity 4"):
        m.forward_step({n: a[3:5] for n, a in x.items()})
    assert m.position == 3
    m.forward_step({n: a[3:4] for n, a in x.items()})
    assert m.position == 4
    # A larger cache continues the sequence: each KV head's cached rows are kept.
    with pytest.raises(RuntimeError, match="capacity 3 is smaller than the current position 4"):
        m.reserve_cache(3)
    m.reserve_cache(6)
    assert (m.cache_capacity, m.position) == (6, 4)
    np.testing.assert_allclose(m.forward_step({n: a[4:6] for n, a in x.items()})["y"],
                               torch_reference(x, 4, 2, 4, 10000.0)[4:6].ravel(), rtol=1e-4, atol=1e-4)
    with pytest.raises(RuntimeError, match=r"position 0 \+ 8 tokens exceeds the KV cache capacity 6"):
        m.forward(x)
    m.reserve_cache(8)
    assert (m.cache_capacity, m.position) == (8, 0)
    np.testing.assert_allclose(m.forward(x)["y"], torch_reference(x, 4, 2, 4, 10000.0).ravel(),
                               rtol=1e-4, atol=1e-4)
    with pytest.raises(RuntimeError, match="capacity must be at least 1"):
        m.reserve_cache(0)


def test_default_capacity_and_stateless_models(build):
    assert build(causal_model(2, 1, 4)).cache_capacity == 2048
    b = ModelBuilder("plain")
    b.input("x", [3])
    b.output(b.node("scale_fp32", ["x"], scalar=2.0))
    m = build(b)
    np.testing.assert_array_equal(m.forward_step(np.ones(3, np.float32)), np.full(3, 2.0, np.float32))
    assert m.position == 0


@pytest.mark.parametrize("args, message", [
    ({"num_q_heads": 6, "num_kv_heads": 4}, "multiple of 'num_kv_heads'"),
    ({"num_kv_heads": 0}, "'num_kv_heads' must be at least 1"),
    ({"head_dim": 0}, "'head_dim' must be at least 1"),
])
def test_bad_heads_rejected_at_load(build, args, message):
    b = ModelBuilder("bad")
    for n in "qkv":
        b.input(n, [0, 8])
    node = dict(num_q_heads=2, num_kv_heads=1, head_dim=4)
    node.update(args)
    b.output(b.node("causal_attn_core_fp32", ["q", "k", "v"], name="attn", **node))
    with pytest.raises(RuntimeError, match=f"node 'attn'.*{message}"):
        build(b)
