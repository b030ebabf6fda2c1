"""1-D convolution against torch.nn.functional.conv1d and the channel
operations against numpy, on models built with ModelBuilder."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")

from vantrel import ModelBuilder  # noqa: E402

ENV = "TAMBOR_FP32_CONV1D_DIRECT"


def conv1d_model(cin, cout, length, k, stride, padding, dilation, groups, bias, relu, seed=0):
    rng = np.random.default_rng(seed)
    w = rng.standard_normal((cout, cin // groups, k)).astype(np.float32)
    b_ = rng.standard_normal(cout).astype(np.float32) if bias else None
    b = ModelBuilder("c1d")
    b.input("x", [length, cin])
    b.output(b.node("conv1d_fp32", ["x"], name="c", relu=relu, C_out=cout, C_in=cin, kernel_size=k,
                    stride=stride, padding=padding, dilation=dilation, groups=groups))
    b.weight("c.weight", w)
    if bias:
        b.weight("c.bias", b_)
    return b, w, b_


def torch_conv1d(x, w, bias, stride, padding, dilation, groups, relu):
    """Reference output (L_out, C_out) and the sum of |terms| of each output."""
    t = lambda a: torch.from_numpy(np.ascontiguousarray(a, dtype=np.float64))  # noqa: E731
    args = dict(stride=stride, padding=padding, dilation=dilation, groups=groups)
    xt = t(x.T[None])
    y = torch.nn.functional.conv1d(xt, t(w), None if bias is None else t(bias), **args)
    scale = torch.nn.functional.conv1d(xt.abs(), t(w).abs(), None if bias is None else t(bias).abs(), **args)
    if relu:
        y = torch.relu(y)
    return y[0].T.numpy(), scale[0].T.numpy()


CASES = [
    # cin, cout, L, k, stride, padding, dilation, groups, bias, relu
    (4, 6, 33, 3, 1, 1, 1, 1, True, False),     # Winograd F(4,3)
    (8, 5, 40, 7, 1, 3, 1, 1, True, True),      # F(2,7)
    (3, 4, 50, 11, 1, 5, 1, 1, False, False),   # F(2,11)
    (6, 7, 29, 3, 1, 3, 3, 1, True, False),     # dilated: direct
    (5, 9, 20, 5, 1, 2, 1, 1, True, True),      # direct
    (10, 12, 17, 1, 1, 0, 1, 1, True, False),   # pointwise
    (4, 4, 9, 1, 1, 2, 1, 1, True, True),       # pointwise, padded
    (6, 8, 31, 4, 2, 1, 1, 1, True, False),     # stride 2
    (6, 9, 25, 5, 3, 2, 2, 3, True, True),      # 3 groups, stride 3, dilation 2
    (16, 8, 12, 3, 1, 1, 1, 2, True, False),    # 2 groups, unit stride
    (8, 8, 30, 7, 1, 3, 1, 8, True, False),     # depthwise
    (8, 16, 30, 3, 2, 1, 2, 8, False, True),    # depthwise, two outputs per channel
]


@pytest.mark.parametrize("env", [None, "all"])
@pytest.mark.parametrize("cin, cout, length, k, stride, padding, dilation, groups, bias, relu", CASES)
def test_conv1d_matches_torch(build, monkeypatch, env, cin, cout, length, k, stride, padding, dilation,
                              groups, bias, relu):
    if env is None:
        monkeypatch.delenv(ENV, raising=False)
    else:
        monkeypatch.setenv(ENV, env)
    b, w, b_ = conv1d_model(cin, cout, length, k, stride, padding, dilation, groups, bias, relu)
    m = build(b)
    x = np.random.default_rng(length).standard_normal((length, cin)).astype(np.float32)
    want, scale = torch_conv1d(x, w, b_, stride, padding, dilation, groups, relu)
    y = m.forward(x).reshape(want.shape)
    # F(2,11) Winograd loses about three digits in float32; "all" takes the
    # direct kernel instead, which sums exactly like im2col + GEMM.
    tol = 1e-2 if (k == 11 and env is None and stride == 1 and groups == 1) else 1e-5
    assert np.all(np.abs(y - want) <= tol * scale + 1e-6)


def test_conv1d_short_input_and_wrong_channels(build):
    b, _, _ = conv1d_model(3, 4, 0, 5, 1, 1, 1, 1, True, False)
    m = build(b)
    assert m.forward(np.ones((2, 3), np.float32)).size == 0  # L_out = 2 + 2 - 5 + 1 = 0
    assert m.forward(np.ones((3, 3), np.float32)).size == 4
    b2, _, _ = conv1d_model(3, 4, 8, 3, 1, 1, 1, 1, False, False)
    b2.inputs[0]["shape"] = [1, 8, 1, 5]
    with pytest.raises(RuntimeError, match="expected C_in = 3"):
        build(b2).forward(np.ones((8, 5), np.float32))


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

