"""Transposed 1-D convolution against torch.nn.functional.conv_transpose1d,
on models built with ModelBuilder."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")

from vantrel import ModelBuilder  # noqa: E402


F32 = np.float32


def t64(a):
    return torch.from_numpy(np.ascontiguousarray(a, dtype=np.float64))


# ---- conv_transpose1d_fp32 ----

TRANSPOSED = [
    # cin, cout, L, k, stride, padding, output_padding, groups, bias
    (4, 6, 10, 4, 2, 1, 0, 1, True),      # doubles the length
    (8, 5, 13, 3, 1, 1, 0, 1, False),     # stride 1
    (3, 4, 7, 2, 3, 0, 2, 1, True),       # gaps that only the bias reaches
    (32, 16, 40, 10, 5, 3, 1, 1, True),   # vocoder-style upsampling
    (6, 9, 11, 5, 2, 2, 1, 3, True),      # 3 groups
    (8, 8, 20, 3, 2, 1, 1, 8, True),      # depthwise
    (4, 8, 9, 4, 4, 0, 3, 4, False),      # depthwise, 2 outputs per channel
    (16, 16, 400, 7, 2, 3, 1, 4, True),   # grouped, rows shared by a team
]


@pytest.mark.parametrize("cin, cout, length, k, stride, padding, out_pad, groups, bias", TRANSPOSED)
def test_conv_transpose1d_matches_torch(build, cin, cout, length, k, stride, padding, out_pad, groups, bias):
    rng = np.random.default_rng(length * 31 + k)
    w = rng.standard_normal((cin, cout // groups, k)).astype(F32)
    b_ = rng.standard_normal(cout).astype(F32) if bias else None
    x = rng.standard_normal((length, cin)).astype(F32)
    mb = ModelBuilder("ct")
    mb.input("x", [length, cin])
    mb.output(mb.node("conv_transpose1d_fp32", ["x"], name="t", C_out=cout, C_in=cin, kernel_size=k,
                      stride=stride, padding=padding, output_padding=out_pad, groups=groups))
    mb.weight("t.weight", w)
    if bias:
        mb.weight("t.bias", b_)
    args = dict(stride=stride, padding=padding, output_padding=out_pad, groups=groups)
    xt = t64(x.T[None])
    want = torch.nn.functional.conv_transpose1d(xt, t64(w), None if b_ is None else t64(b_), **args)[0].T.numpy()
    mag = torch.nn.functional.conv_transpose1d(xt.abs(), t64(w).abs(), None if b_ is None else t64(b_).abs(),
                                               **args)[0].T.numpy()
    assert want.shape[0] == (length - 1) * stride - 2 * padding + k + out_pad
    y = build(mb).forward(x).reshape(want.shape)
    assert np.all(np.abs(y - want) <= 1e-5 * mag + 1e-7)


# ---- conv1d_int8 ----
