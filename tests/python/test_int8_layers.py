"""Int8 model inputs from Python: floats quantised with the input's scale and
zero point, integers range-checked. (The int8 layers' arithmetic is checked
exactly in tests/cpp/test_conv2d.cpp.)"""
import math

import numpy as np
import pytest

from vantrel import ModelBuilder
from vantrel.quantize import quantize_input


def int8_weights(b, name, rng, shape, gain=0.03):
    w = rng.integers(-40, 41, shape).astype(np.int8)
    k = int(np.prod(shape[1:]))
    scales = (gain / math.sqrt(k) * rng.uniform(0.5, 1.5, shape[0])).astype(np.float32)
    bias = rng.integers(-3000, 3000, shape[0]).astype(np.int64)
    b.weight(f"{name}.weight", w)
    b.weight(f"{name}.req_scale", scales)
    b.weight(f"{name}.eff_bias", bias)
    return w, bias, scales


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
    np.testing.assert_array_equal(m.forward({"x": quantize_input(x, 0.05, 3)})["fc.out"], want)
    np.testing.assert_array_equal(m.forward(quantize_input(x, 0.05, 3).astype(np.int64)), want)
    for bad in (np.full(16, 200, np.int32), np.full(16, -129, np.int64)):
        with pytest.raises(RuntimeError, match="outside -128..127"):
            m.forward(bad)
    with pytest.raises(RuntimeError, match="NaN or infinite"):
        m.forward(np.full(16, np.nan, np.float32))



def fixed_point_requant(x, scale, zp):
    """The integer requantisation evaluated with Python integers: multiplier
    and shift from frexp, doubling high multiply, exact shift, clamp."""
    q, e = math.frexp(float(scale))
    m = int(math.floor(abs(q) * 2**31 + 0.5)) * (1 if q >= 0 else -1)
    if m == 2**31:
        m, e = 2**30, e + 1
    t = (2 * int(x) * m + 2**31) >> 32
    u = t << e if e >= 0 else (t + (1 << (-e - 1))) >> -e
    return max(-128, min(127, u + zp))


@pytest.mark.parametrize("req_scale", [0.004, 2.0**10, 2.0**20])
def test_int8_conv_requantises_and_saturates_with_the_sign(build, req_scale):
    # A 1x1 int8 convolution: large scales must give the saturated end of the
    # sum's own sign, never a wrapped value.
    rng = np.random.default_rng(5)
    cin, cout, zp = 8, 6, -3
    b = ModelBuilder("q")
    b.input("x", [2, 3, cin], dtype="int8", scale=0.1, zp=0)
    w = rng.integers(-40, 41, (cout, cin, 1, 1)).astype(np.int8)
    bias = rng.integers(-3000, 3000, cout).astype(np.int64)
    b.weight("c.weight", w)
    b.weight("c.req_scale", np.full(cout, req_scale, np.float32))
    b.weight("c.eff_bias", bias)
    b.output(b.node("conv_int8", ["x"], name="c", C_out=cout, C_in=cin, out_zp=zp))
    m = build(b)
    x = rng.integers(-128, 128, (2, 3, cin)).astype(np.int8)
    y = np.asarray(m.forward(x)).reshape(2, 3, cout)
    acc = np.einsum("oc,hwc->hwo", w[:, :, 0, 0].astype(np.int64), x.astype(np.int64)) + bias
    want = np.vectorize(lambda a: fixed_point_requant(a, req_scale, zp))(acc)
    np.testing.assert_array_equal(y, want)
    if req_scale >= 2.0**10:
        big = np.abs(acc) >= 2
        np.testing.assert_array_equal(y[big], np.where(acc[big] > 0, 127, -128))
