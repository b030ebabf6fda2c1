"""A small int8 network (strided conv, depthwise conv, classifier) run from
Python against a numpy int64 reference, and the refusal of float32 data
where an int8 layer reads."""
import math

import numpy as np
import pytest

from vantrel import ModelBuilder
from vantrel.quantize import quantize_input


def multiplier(scale):
    if scale == 0:
        return 0, 0
    q, e = math.frexp(float(np.float32(scale)))
    m = int(math.floor(abs(q) * 2**31 + 0.5))
    return (2**30, e + 1) if m == 2**31 else (m, e)


def requantize(acc, scales, zp):
    """Fixed-point requantisation of int64 sums [..., C] per channel."""
    x = ((acc + 2**31) % 2**32 - 2**31).astype(object)  # 32-bit wrap, exact products
    out = np.empty(acc.shape, np.int64)
    for ch, s in enumerate(scales):
        m, e = multiplier(s)
        t = (2 * x[..., ch] * m + 2**31) >> 32
        u = t << e if e >= 0 else (t + (1 << (-e - 1))) >> -e
        out[..., ch] = np.clip((u + zp).astype(np.int64), -128, 127)
    return out


def conv_ref(x, w, bias, scales, k, s, p, groups, in_zp, out_zp):
    h, wd, c = x.shape
    cout = w.shape[0]
    xp = np.full((h + 2 * p, wd + 2 * p, c), in_zp, np.int64)
    xp[p:p + h, p:p + wd] = x
    oh, ow = (h + 2 * p - k) // s + 1, (wd + 2 * p - k) // s + 1
    cig, cog = c // groups, cout // groups
    acc = np.zeros((oh, ow, cout), np.int64)
    for ky in range(k):
        for kx in range(k):
            patch = xp[ky:ky + s * oh:s, kx:kx + s * ow:s]  # [oh, ow, c]
            for g in range(groups):
                acc[..., g * cog:(g + 1) * cog] += patch[..., g * cig:(g + 1) * cig] @ \
                    w[g * cog:(g + 1) * cog, :, ky, kx].astype(np.int64).T
    return requantize(acc + bias, scales, out_zp)


def int8_weights(b, name, rng, shape, gain=0.03, zero_channel=None):
    w = rng.integers(-40, 41, shape).astype(np.int8)
    k = int(np.prod(shape[1:]))
    scales = (gain / math.sqrt(k) * rng.uniform(0.5, 1.5, shape[0])).astype(np.float32)
    if zero_channel is not None:
        scales[zero_channel] = 0
    bias = rng.integers(-3000, 3000, shape[0]).astype(np.int64)
    b.weight(f"{name}.weight", w)
    b.weight(f"{name}.req_scale", scales)
    b.weight(f"{name}.eff_bias", bias)
    return w, bias, scales


@pytest.mark.parametrize("relu", [False, True])
def test_int8_network_matches_numpy(build, relu):
    rng = np.random.default_rng(5)
    b = ModelBuilder("q")
    b.input("x", [9, 8, 3], dtype="int8")
    w1, b1, s1 = int8_weights(b, "c1", rng, (8, 3, 3, 3), zero_channel=2)
    w2, b2, s2 = int8_weights(b, "dw", rng, (8, 1, 3, 3), gain=0.08)
    w3, b3, s3 = int8_weights(b, "fc", rng, (10, 5 * 4 * 8))
    y = b.node("conv", ["x"], name="c1", C_out=8, C_in=3, kH=3, kW=3, stride_h=2, stride_w=2,
               pad_h=1, pad_w=1, in_zp=-5, out_zp=3)
    y = b.node("conv_int8", [y], name="dw", C_out=8, C_in=8, kH=3, kW=3, pad_h=1, pad_w=1,
               groups=8, in_zp=3, out_zp=-2)
    b.output(b.node("gemm_int8", [y], name="fc", C_out=10, C_in=160, in_zp=-2, relu=relu))
    m = build(b)
    x = rng.integers(-128, 128, (9, 8, 3)).astype(np.int8)

    y1 = conv_ref(x, w1, b1, s1, 3, 2, 1, 1, -5, 3)
    assert (y1[..., 2] == 3).all()  # a zero scale leaves out_zp
    y2 = conv_ref(y1, w2, b2, s2, 3, 1, 1, 8, 3, -2)
    acc = w3.astype(np.int64) @ y2.reshape(-1) + b3
    logits = ((acc + 2**31) % 2**32 - 2**31).astype(np.float32) * s3
    if relu:
        logits = np.where(logits <= 0, np.float32(0), logits)
    np.testing.assert_array_equal(m.forward(x), logits)


def test_int8_inputs_quantise_floats_and_check_integers(build):
    rng = np.random.default_rng(1)
    b = ModelBuilder("q")
    b.input("x", [16], dtype="int8", scale=0.05, zp=3)
    int8_weights(b, "fc", rng, (4, 16))
    b.output(b.node("gemm_int8", ["x"], name="fc", C_out=4, C_in=16))
    m = build(b)
    x = rng.standard_normal(16).astype(np.float32) * 4
    want = m.forward(quantize_input(x, 0.05, 3))
    np.testing.assert_array_equal(m.forward(x), want)
    np.testing.assert_array_equal(m.forward({"x": x})["fc.out"], want)
    np.testing.assert_array_equal(m.forward(quantize_input(x, 0.05, 3).astype(np.int64)), want)
    for bad in (np.full(16, 200, np.int32), np.full(16, -129, np.int64)):
        with pytest.raises(RuntimeError, match="outside -128..127"):
            m.forward(bad)
    with pytest.raises(RuntimeError, match="NaN or infinite"):
        m.forward(np.full(16, np.nan, np.float32))

    b = ModelBuilder("q")
    b.input("x", [16])
    b.weight("c.weight", np.ones((16, 16), np.float32))
    int8_weights(b, "fc", rng, (4, 16))
    y = b.node("conv_fp32", ["x"], name="c", C_out=16, C_in=16)
    b.output(b.node("gemm_int8", [y], name="fc", C_out=4, C_in=16))
    with pytest.raises(RuntimeError, match="node 'fc' \\(gemm_int8\\) reads int8 data but its input 'c.out' holds float32"):
        build(b)
