"""Layer, RMS and style-conditioned normalisation layers against PyTorch /
numpy, and the errors of missing or mis-sized vectors, on models built with
ModelBuilder."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")
F = torch.nn.functional

from vantrel import ModelBuilder  # noqa: E402


def rng(seed):
    return np.random.default_rng(seed)


def style_model(op, c, s, t, int8_fc=False, bias=True, affine=False, seed=0):
    rng = np.random.default_rng(seed)
    w = (rng.standard_normal((2 * c, s)) * 0.3).astype(np.float32)
    fb = (rng.standard_normal(2 * c) * 0.1).astype(np.float32) if bias else None
    b = ModelBuilder("style")
    b.input("x", [t, c])
    b.input("s", [s])
    b.output(b.node(op, ["x", "s"], name="n", C=c, C_style=s))
    if int8_fc:
        q = rng.integers(-127, 128, size=(2 * c, s)).astype(np.int8)
        scale = (rng.random(2 * c) * 0.01 + 0.001).astype(np.float32)
        b.weight("n.fc.weight_i8", q)
        b.weight("n.fc.w_scales", scale)
        w = q.astype(np.float32) * scale[:, None]
    else:
        b.weight("n.fc.weight", w)
    if bias:
        b.weight("n.fc.bias", fb)
    nw = nb = None
    if affine:
        nw = rng.standard_normal(c).astype(np.float32)
        nb = rng.standard_normal(c).astype(np.float32)
        b.weight("n.norm.weight", nw)
        b.weight("n.norm.bias", nb)
    return b, w, fb, nw, nb


@pytest.mark.parametrize("op", ["ada_in1d_fp32", "ada_layer_norm_fp32"])
@pytest.mark.parametrize("c, s, t, int8_fc, bias, affine", [
    (8, 16, 30, False, True, False),
    (5, 7, 1, False, True, True),      # T = 1: instance variance 0
    (12, 10, 300, True, True, False),  # int8 fc weights with row scales
    (6, 4, 50, False, False, True),    # no fc bias
    (130, 32, 300, False, True, True),  # parallel statistics
])
def test_style_norm_matches_torch(build, op, c, s, t, int8_fc, bias, affine):
    affine = affine and op == "ada_in1d_fp32"
    b, w, fb, nw, nb = style_model(op, c, s, t, int8_fc, bias, affine)
    m = build(b)
    rng = np.random.default_rng(t)
    x = (rng.standard_normal((t, c)) * 2 + 0.5).astype(np.float32)
    st = rng.standard_normal(s).astype(np.float32)
    y = m.forward({"x": x, "s": st})["n.out"].reshape(t, c)

    d = lambda a: None if a is None else torch.from_numpy(a.astype(np.float64))  # noqa: E731
    h = F.linear(d(st), d(w), d(fb))
    gamma, beta = h[:c], h[c:]
    xt = d(x)
    if op == "ada_in1d_fp32":
        if t > 1:
            xh = F.instance_norm(xt.T[None], weight=d(nw), bias=d(nb), eps=1e-5)[0].T
        else:  # torch refuses one time step; the variance is 0, so x_hat is the norm bias
            xh = torch.zeros_like(xt) + (0 if nb is None else d(nb))
    else:
        xh = F.layer_norm(xt, (c,), eps=1e-5)
    want = (beta + (1 + gamma) * xh).numpy()
    np.testing.assert_allclose(y, want, rtol=2e-4, atol=2e-4)


def test_style_norm_rejects_wrong_style_length(build):
    b, *_ = style_model("ada_in1d_fp32", 4, 6, 5)
    b.inputs[1]["shape"] = [1, 1, 1, 5]
    m = build(b)
    with pytest.raises(RuntimeError, match="expected C_style = 6"):
        m.forward({"x": np.ones((5, 4), np.float32), "s": np.ones(5, np.float32)})


@pytest.mark.parametrize("rows, c", [(1, 1), (3, 5), (7, 64), (20, 768)])
@pytest.mark.parametrize("op", ["layernorm_fp32", "rms_norm_fp32"])
def test_norms_match_reference(build, op, rows, c):
    r = rng(rows * 1000 + c)
    x = (r.standard_normal((rows, c)) * 3 + 2).astype(np.float32)
    g = r.standard_normal(c).astype(np.float32)
    beta = r.standard_normal(c).astype(np.float32)
    b = ModelBuilder("m")
    b.input("x", [rows, c])
    b.output(b.node(op, ["x"], name="ln", eps=1e-5))
    b.weight("ln.gamma", g)
    if op == "layernorm_fp32":
        b.weight("ln.beta", beta)
        want = torch.nn.functional.layer_norm(torch.from_numpy(x), (c,), torch.from_numpy(g),
                                              torch.from_numpy(beta), eps=1e-5).numpy()
    else:
        want = x / np.sqrt((x.astype(np.float64) ** 2).mean(axis=1, keepdims=True) + 1e-5) * g
    np.testing.assert_allclose(build(b).forward(x), want.ravel(), rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("op, tensors, missing", [
    ("layernorm_fp32", ["ln.gamma"], "ln.beta"),
    ("layernorm_fp32", ["ln.beta"], "ln.gamma"),
    ("rms_norm_fp32", [], "ln.gamma"),
])
def test_norm_without_vectors_is_rejected_at_load(build, op, tensors, missing):
    b = ModelBuilder("m")
    b.input("x", [2, 4])
    b.output(b.node(op, ["x"], name="ln"))
    for t in tensors:
        b.weight(t, np.ones(4, np.float32))
    with pytest.raises(RuntimeError, match=f"node 'ln'.*'{missing}' is missing"):
        build(b)
