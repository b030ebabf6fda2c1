import numpy as np
import pytest

from vantrel import ModelBuilder


def maxpool_ref(x, k, s, p):
    h, w, c = x.shape
    oh, ow = (h + 2 * p - k) // s + 1, (w + 2 * p - k) // s + 1
    out = np.full((max(oh, 0), max(ow, 0), c), -np.inf if x.dtype.kind == "f" else -128, x.dtype)
    for oy in range(max(oh, 0)):
        for ox in range(max(ow, 0)):
            ys, xs = slice(max(oy * s - p, 0), min(oy * s - p + k, h)), slice(max(ox * s - p, 0), min(ox * s - p + k, w))
            win = x[ys, xs]
            if win.size:
                out[oy, ox] = win.reshape(-1, c).max(axis=0)
    return out


@pytest.mark.parametrize("op, dtype", [("maxpool_fp32", np.float32), ("maxpool_int8", np.int8)])
@pytest.mark.parametrize("h, w, c, k, s, p", [(7, 7, 3, 3, 2, 0), (7, 7, 5, 3, 2, 1), (2, 2, 17, 3, 1, 2), (1, 1, 4, 3, 1, 0)])
def test_maxpool_matches_numpy(build, op, dtype, h, w, c, k, s, p):
    b = ModelBuilder("m")
    b.input("x", [h, w, c], dtype="float32" if dtype == np.float32 else "int8")
    b.output(b.node(op, ["x"], kH=k, kW=k, stride_h=s, stride_w=s, pad_h=p, pad_w=p))
    m = build(b)
    rng = np.random.default_rng(h * 100 + c)
    x = (rng.standard_normal((h, w, c)) * 50).astype(dtype)
    np.testing.assert_array_equal(m.forward(x), maxpool_ref(x, k, s, p).astype(np.float32).ravel())


def test_avgpool_and_cls_extract(build):
    b = ModelBuilder("m")
    b.input("x", [5, 3, 7])
    b.output(b.node("avgpool_fp32", ["x"], name="gap"), b.node("cls_extract_fp32", ["x"], name="cls"))
    m = build(b)
    x = np.random.default_rng(1).standard_normal((5, 3, 7)).astype(np.float32)
    out = m.forward({"x": x})
    np.testing.assert_allclose(out["gap.out"], x.reshape(-1, 7).mean(axis=0), rtol=1e-5, atol=1e-6)
    np.testing.assert_array_equal(out["cls.out"], x.reshape(-1, 7)[0])


def test_avgpool_int8_requantises(build):
    b = ModelBuilder("m")
    b.input("x", [4, 4, 3], dtype="int8")
    b.output(b.node("avgpool_int8", ["x"], in_scale=0.5, out_scale=0.25, in_zp=3, out_zp=-2))
    m = build(b)
    x = np.random.default_rng(2).integers(-128, 128, (4, 4, 3)).astype(np.int8)
    mean = (x.astype(np.int64) - 3).reshape(-1, 3).mean(axis=0) * 0.5 / 0.25
    want = np.clip(np.floor(mean + 0.5) - 2, -128, 127)
    np.testing.assert_array_equal(m.forward(x), want.astype(np.float32))
