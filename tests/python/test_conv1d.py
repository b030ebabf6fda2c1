"""Float 1-D convolution against torch.nn.functional.conv1d, and the int8
1-D convolution against the float one to the quantisation error (its exact
arithmetic is checked in tests/cpp/test_conv1d.cpp), on models built with
ModelBuilder."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")

from vantrel import ModelBuilder  # noqa: E402


F32 = np.float32
ENV = "TAMBOR_FP32_CONV1D_DIRECT"


def t64(a):
    return torch.from_numpy(np.ascontiguousarray(a, dtype=np.float64))


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


INT8 = [
    # cin, cout, L, k, stride, padding, dilation, groups, bias
    (8, 12, 30, 3, 1, 1, 1, 1, True),     # per tap
    (20, 6, 17, 1, 1, 0, 1, 1, False),    # per tap, one tap
    (17, 9, 40, 5, 1, 4, 2, 1, True),     # per tap, dilated
    (6, 8, 31, 4, 2, 1, 1, 1, True),      # im2col, stride 2
    (16, 8, 25, 3, 1, 1, 1, 2, True),     # 2 groups
    (6, 9, 33, 5, 3, 2, 2, 3, False),     # 3 groups, stride 3, dilation 2
    (8, 16, 20, 3, 1, 1, 1, 8, True),     # depthwise, two outputs per channel
]


@pytest.mark.parametrize("cin, cout, length, k, stride, padding, dilation, groups, bias", INT8)
def test_conv1d_int8_tracks_float(build, cin, cout, length, k, stride, padding, dilation, groups, bias):
    rng = np.random.default_rng(length * 7 + cin)
    wf = rng.standard_normal((cout, cin // groups, k)).astype(F32)        # torch layout [o][c][k]
    ws = (np.abs(wf).max(axis=(1, 2)) / F32(127)).astype(F32)
    wq = np.clip(np.rint(wf / ws[:, None, None]), -127, 127).astype(np.int8).transpose(0, 2, 1).copy()
    b_ = rng.standard_normal(cout).astype(F32) if bias else None
    x = rng.standard_normal((length, cin)).astype(F32)
    x[3] = 0.0  # an all-zero row contributes nothing
    mb = ModelBuilder("c8")
    mb.input("x", [length, cin])
    mb.output(mb.node("conv1d_int8", ["x"], name="c", C_out=cout, C_in=cin, kernel_size=k, stride=stride,
                      padding=padding, dilation=dilation, groups=groups))
    mb.weight("c.weight_i8", wq)
    mb.weight("c.w_scales", ws)
    if bias:
        mb.weight("c.bias", b_)
    y = build(mb).forward(x).reshape(-1, cout)

    # The float convolution with the dequantised weights, to the activation
    # quantisation error (half a code of each row's scale per term).
    wd = wq.transpose(0, 2, 1).astype(np.float64) * ws[:, None, None]
    args = dict(stride=stride, padding=padding, dilation=dilation, groups=groups)
    xt = t64(x.T[None])
    ref = torch.nn.functional.conv1d(xt, t64(wd), None if b_ is None else t64(b_), **args)[0].T.numpy()
    mag = torch.nn.functional.conv1d(xt.abs(), t64(wd).abs(), None, **args)[0].T.numpy()
    assert np.all(np.abs(y - ref) <= 0.03 * mag + 1e-5)
