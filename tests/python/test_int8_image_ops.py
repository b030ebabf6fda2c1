"""The int8 image ops against numpy and PyTorch references (run the suite
with VANTREL_KERNEL_PATH=portable|avx2|avx512 to cover every path)."""
import numpy as np
import pytest

from vantrel import ModelBuilder


def codes(rng, shape):
    return rng.integers(-128, 128, shape).astype(np.int8)


def run(build, op, shapes, inputs, weights=None, **args):
    b = ModelBuilder("m")
    names = [b.input(f"x{i}", s, dtype="int8") for i, s in enumerate(shapes)]
    for key, w in (weights or {}).items():
        b.weight(f"n.{key}", w)
    b.output(b.node(op, names, name="n", **args))
    if op == "quantize_int8":
        b.inputs[0].update(dtype="float32")
    m = build(b)
    (y,) = m.forward({f"x{i}": x for i, x in enumerate(inputs)}).values()
    return np.asarray(y)


def requant(v, ratio, zp):
    return np.clip(np.round(v * ratio) + zp, -128, 127)


def torch_pool(x, zp, fn):
    torch = pytest.importorskip("torch")
    t = torch.from_numpy(x.astype(np.float64) - zp).permute(2, 0, 1)[None]
    return fn(torch, t)[0].permute(1, 2, 0).numpy()


CASES = {
    "lut": lambda rng: (
        "lut_int8", [(5, 7, 9)], [codes(rng, (5, 7, 9))], {"table": codes(rng, 256)}, {},
        lambda x, w: w["table"][x[0].astype(int) + 128], 0),
    "concat": lambda rng: (
        "concat_int8", [(3, 4, 5), (3, 4, 17), (3, 4, 2)],
        [codes(rng, (3, 4, c)) for c in (5, 17, 2)],
        {"tables": np.stack([np.arange(-128, 128), codes(rng, 256),
                             codes(rng, 256)]).astype(np.int8)},
        {}, lambda x, w: np.concatenate([w["tables"][i][v.astype(int) + 128]
                                         for i, v in enumerate(x)], axis=-1), 0),
    "shuffle": lambda rng: (
        "channel_shuffle_int8", [(4, 3, 12)], [codes(rng, (4, 3, 12))], {}, {"groups": 3},
        lambda x, w: x[0].reshape(4, 3, 3, 4).swapaxes(2, 3).reshape(4, 3, 12), 0),
    "channel_mul": lambda rng: (
        "channel_mul_int8", [(6, 5, 19), (1, 1, 19)],
        [codes(rng, (6, 5, 19)), codes(rng, (1, 1, 19))], {},
        dict(in1_scale=0.05, in2_scale=0.004, out_scale=0.0311, in1_zp=-7, in2_zp=-128, out_zp=5),
        lambda x, w: requant((x[0].astype(float) + 7) * (x[1].astype(float) + 128),
                             0.05 * 0.004 / 0.0311, 5), 1),
    "maxpool_ceil": lambda rng: (
        "maxpool_int8", [(8, 9, 21)], [codes(rng, (8, 9, 21))], {},
        dict(kH=3, kW=3, stride_h=2, stride_w=2, ceil_mode=True),
        lambda x, w: torch_pool(x[0], 0, lambda torch, t: torch.nn.functional.max_pool2d(
            t, 3, 2, ceil_mode=True)), 0),
    "avgpool2d": lambda rng: (
        "avgpool2d_int8", [(9, 8, 13)], [codes(rng, (9, 8, 13))], {},
        dict(kH=3, kW=3, stride_h=2, stride_w=2, pad_h=1, pad_w=1, ceil_mode=True,
             count_include_pad=False, in_scale=0.02, out_scale=0.0137, in_zp=4, out_zp=-3),
        lambda x, w: requant(torch_pool(x[0], 4, lambda torch, t: torch.nn.functional.avg_pool2d(
            t, 3, 2, 1, ceil_mode=True, count_include_pad=False)), 0.02 / 0.0137, -3), 1),
    "avgpool2d_pad": lambda rng: (
        "avgpool2d_int8", [(7, 7, 6)], [codes(rng, (7, 7, 6))], {},
        dict(kH=3, kW=3, stride_h=1, stride_w=1, pad_h=1, pad_w=1, count_include_pad=True,
             in_scale=0.02, out_scale=0.01, in_zp=-20, out_zp=0),
        lambda x, w: requant(torch_pool(x[0], -20, lambda torch, t: torch.nn.functional.avg_pool2d(
            t, 3, 1, 1)), 2.0, 0), 1),
    "adaptive": lambda rng: (
        "adaptive_avgpool_int8", [(5, 7, 10)], [codes(rng, (5, 7, 10))], {},
        dict(out_h=3, out_w=6, in_scale=0.1, out_scale=0.073, in_zp=0, out_zp=9),
        lambda x, w: requant(torch_pool(x[0], 0, lambda torch, t: (
            torch.nn.functional.adaptive_avg_pool2d(t, (3, 6)))), 0.1 / 0.073, 9), 1),
    "quantize": lambda rng: (
        "quantize_int8", [(3, 4, 11)],
        [np.concatenate([rng.standard_normal((3, 4, 8)) * 3, np.full((3, 4, 3), 0.625)],
                        axis=-1).astype(np.float32)],
        {}, dict(scale=0.25, zp=-3),
        lambda x, w: np.clip(np.round(x[0] / np.float32(0.25)) - 3, -128, 127), 0),
    "dequantize": lambda rng: (
        "dequantize_int8", [(3, 4, 11)], [codes(rng, (3, 4, 11))], {}, dict(scale=0.3, zp=17),
        lambda x, w: (x[0].astype(np.float32) - 17) * np.float32(0.3), 0),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_int8_image_ops_match_references(build, case):
    op, shapes, inputs, weights, args, ref, tol = CASES[case](np.random.default_rng(len(case)))
    y = run(build, op, shapes, inputs, weights, **args)
    want = np.asarray(ref(inputs, weights)).reshape(-1)
    assert y.shape == want.shape
    diff = np.abs(y.astype(np.float64) - want)
    assert diff.max() <= tol
    if tol:  # off by one only where the 32-bit scales round the value the other way
        assert np.mean(diff > 0) < 0.02
