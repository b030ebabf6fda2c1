"""Ceil-mode max pooling, windowed and adaptive average pooling against
torch.nn.functional on channels-last inputs."""
import numpy as np
import pytest

from vantrel import ModelBuilder

torch = pytest.importorskip("torch")
F = torch.nn.functional


def run(build, op, x, **args):
    b = ModelBuilder("m")
    b.input("x", list(x.shape))
    b.output(b.node(op, ["x"], **args))
    return build(b).forward(x)


def torch_ref(fn, x, *args, **kwargs):
    y = fn(torch.from_numpy(x).permute(2, 0, 1)[None], *args, **kwargs)[0]
    return y.permute(1, 2, 0).numpy().ravel()


# (h, w, c), (kH, kW), (stride_h, stride_w), (pad_h, pad_w), ceil_mode
WINDOWS = [
    ((8, 8, 3), (3, 3), (2, 2), (0, 0), True),    # ceil adds a clipped last window
    ((8, 8, 5), (3, 3), (2, 2), (1, 1), True),    # ... running past the padded input
    ((5, 5, 17), (2, 2), (2, 2), (1, 1), True),   # a window starting in the right pad is dropped
    ((7, 9, 4), (3, 2), (2, 3), (1, 1), False),
    ((13, 11, 33), (5, 3), (3, 2), (2, 1), True),
    ((2, 3, 2), (3, 3), (2, 2), (0, 0), True),    # window larger than the input: one output
    ((112, 112, 16), (3, 3), (2, 2), (1, 1), False),
    ((1, 1, 3), (1, 1), (1, 1), (0, 0), False),
]


@pytest.mark.parametrize("shape, k, s, p, ceil", WINDOWS)
def test_windowed_pooling_matches_torch(build, shape, k, s, p, ceil):
    x = np.random.default_rng(sum(shape)).standard_normal(shape).astype(np.float32)
    geom = dict(kH=k[0], kW=k[1], stride_h=s[0], stride_w=s[1], pad_h=p[0], pad_w=p[1])
    # Without ceil mode the maxpool node carries no "ceil_mode" key, as older files.
    got = run(build, "maxpool_fp32", x, **geom, **({"ceil_mode": True} if ceil else {}))
    np.testing.assert_array_equal(got, torch_ref(F.max_pool2d, x, k, s, p, ceil_mode=ceil))
    for include in (False, True):
        got = run(build, "avgpool2d_fp32", x, **geom, ceil_mode=ceil, count_include_pad=include)
        want = torch_ref(F.avg_pool2d, x, k, s, p, ceil_mode=ceil, count_include_pad=include)
        np.testing.assert_allclose(got, want, rtol=2e-6, atol=1e-6, err_msg=f"count_include_pad={include}")


@pytest.mark.parametrize("shape, out", [((7, 7, 8), (1, 1)), ((7, 9, 3), (3, 4)), ((2, 3, 5), (5, 7)),
                                        ((14, 14, 20), (7, 7)), ((1, 1, 2), (2, 2))])
def test_adaptive_avgpool_matches_torch(build, shape, out):
    x = np.random.default_rng(shape[0]).standard_normal(shape).astype(np.float32)
    got = run(build, "adaptive_avgpool_fp32", x, out_h=out[0], out_w=out[1])
    np.testing.assert_allclose(got, torch_ref(F.adaptive_avg_pool2d, x, out), rtol=2e-6, atol=1e-6)
