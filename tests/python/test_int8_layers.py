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

