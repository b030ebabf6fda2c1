"""Channel operations (concatenation, channel slices, products, channel sums)
against numpy and the clamp / hard / exact-GELU activations against PyTorch,
on models built with ModelBuilder."""
import numpy as np
import pytest

torch = pytest.importorskip("torch")

from vantrel import ModelBuilder  # noqa: E402


def channel_model():
    b = ModelBuilder("ch")
    b.input("a", [7, 3])
    b.input("s", [1, 2])
    b.input("m", [7, 5])
    cat = b.node("concat1d_fp32", ["a", "s"], name="cat", C2=2)
    sl = b.node("slice_channels_fp32", [cat], name="sl", ch_start=1, ch_end=4)
    cat2 = b.node("concat1d_fp32", [sl, "a"], name="cat2", C2=3)
    sl2 = b.node("slice_channels_fp32", [cat2], name="sl2", ch_start=1, ch_end=6)
    mul = b.node("elemwise_mul_fp32", [sl2, "m"], name="mul")
    b.output(cat, sl, cat2, mul, b.node("sum_channels_fp32", [mul], name="sum"))
    return b


def test_channel_ops_match_numpy(build):
    m = build(channel_model())
    rng = np.random.default_rng(5)
    a = rng.standard_normal((7, 3)).astype(np.float32)
    s = rng.standard_normal((1, 2)).astype(np.float32)
    mm = rng.standard_normal((7, 5)).astype(np.float32)
    out = m.forward({"a": a, "s": s, "m": mm})
    cat = np.concatenate([a, np.repeat(s, 7, axis=0)], axis=1)
    sl = cat[:, 1:4]
    cat2 = np.concatenate([sl, a], axis=1)
    mul = cat2[:, 1:6] * mm
    np.testing.assert_array_equal(out["cat.out"], cat.ravel())
    np.testing.assert_array_equal(out["sl.out"], sl.ravel())
    np.testing.assert_array_equal(out["cat2.out"], cat2.ravel())
    np.testing.assert_array_equal(out["mul.out"], mul.ravel())
    np.testing.assert_allclose(out["sum.out"], mul.sum(axis=1), rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("rows_b, c2, match", [(5, 2, "rows"), (7, 3, "expected C2 = 2")])
def test_concat_rejects_mismatched_inputs(build, rows_b, c2, match):
    b = ModelBuilder("bad")
    b.input("a", [7, 3])
    b.input("b", [rows_b, c2])
    b.output(b.node("concat1d_fp32", ["a", "b"], name="cat", C2=2))
    m = build(b)
    with pytest.raises(RuntimeError, match=match):
        m.forward({"a": np.ones((7, 3), np.float32), "b": np.ones((rows_b, c2), np.float32)})


F = torch.nn.functional


@pytest.mark.parametrize("op, args, ref", [
    ("clamp_fp32", {}, F.relu6),
    ("clamp_fp32", {"min": -1.0, "max": 1.0}, F.hardtanh),
    ("clamp_fp32", {"min": -0.5, "max": 2.5}, lambda t: torch.clamp(t, -0.5, 2.5)),
    ("hard_swish_fp32", {}, F.hardswish),
    ("hard_sigmoid_fp32", {}, F.hardsigmoid),
    ("gelu_erf_fp32", {}, F.gelu),
])
def test_activations_match_torch(build, op, args, ref):
    b = ModelBuilder("act")
    b.input("x", [5, 7, 3])  # 105 elements: whole vector registers and a tail
    b.output(b.node(op, ["x"], **args))
    x = np.random.default_rng(3).uniform(-9, 9, (5, 7, 3)).astype(np.float32)
    gelu = op == "gelu_erf_fp32"
    # PyTorch's GELU of +inf is NaN; this one gives +inf.
    x.flat[:6] = [np.nan, 12.0 if gelu else np.inf, -12.0 if gelu else -np.inf, -3.0, 3.0, 0.0]
    got = build(b).forward(x)
    if gelu:  # against double precision: PyTorch's float32 1 + erf cancels for x < 0
        want = ref(torch.from_numpy(x).double()).numpy().ravel()
        np.testing.assert_allclose(got, want, rtol=3e-7, atol=3e-7)
    else:
        np.testing.assert_array_equal(got, ref(torch.from_numpy(x)).numpy().ravel())


@pytest.mark.parametrize("rows, f", [(1, 12), (5, 7), (37, 1536)])  # the last runs in strips
def test_swiglu_matches_torch(build, rows, f):
    b = ModelBuilder("swiglu")
    b.output(b.node("swiglu_fp32", [b.input("x", [rows, 2 * f])], output="y", name="sw"))
    m = build(b)
    x = np.random.default_rng(f).standard_normal((rows, 2 * f)).astype(np.float32) * 4
    t = torch.from_numpy(x)
    ref = (F.silu(t[:, :f]) * t[:, f:]).numpy()
    np.testing.assert_allclose(m.forward(x).reshape(rows, f), ref, rtol=1e-5, atol=1e-6)
    b = ModelBuilder("odd")
    b.output(b.node("swiglu_fp32", [b.input("x", [1, 5])], name="sw"))
    with pytest.raises(RuntimeError, match="width 5 is not even"):
        build(b).forward(np.ones((1, 5), np.float32))
