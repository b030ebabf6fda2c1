"""Image channel operations (per-channel scale, channel concatenation,
channel shuffle, layer normalisation of every pixel over its channels)
against PyTorch on channels-last images, and the inputs they refuse."""
import numpy as np
import pytest

torch = pytest.importorskip("torch")

from vantrel import ModelBuilder  # noqa: E402


def nchw(a):
    """[H, W, C] numpy -> [1, C, H, W] torch."""
    return torch.from_numpy(a).permute(2, 0, 1)[None]


def hwc(t):
    return t[0].permute(1, 2, 0).numpy()


@pytest.mark.parametrize("h, w, c, groups", [(1, 1, 2, 2), (3, 5, 9, 3), (7, 4, 24, 4), (2, 9, 116, 2)])
def test_channel_ops_match_torch(build, h, w, c, groups):
    rng = np.random.default_rng(h * 100 + c)
    x = rng.standard_normal((h, w, c)).astype(np.float32)
    y = rng.standard_normal((h, w, 5)).astype(np.float32)
    s = rng.standard_normal(c).astype(np.float32)
    gamma = rng.standard_normal(c).astype(np.float32)
    beta = rng.standard_normal(c).astype(np.float32)
    b = ModelBuilder("ch")
    b.input("x", [h, w, c])
    b.input("y", [h, w, 5])
    b.input("s", [c])
    se = b.node("channel_mul_fp32", ["x", "s"], name="se")
    cat = b.node("concat_fp32", ["x", "y", se], name="cat")
    shuf = b.node("channel_shuffle_fp32", ["x"], name="shuf", groups=groups)
    ln = b.node("layernorm_fp32", ["x"], name="ln", eps=1e-6)
    b.weight("ln.gamma", gamma)
    b.weight("ln.beta", beta)
    b.output(se, cat, shuf, ln)
    out = build(b).forward({"x": x, "y": y, "s": s})

    tx = nchw(x)
    want_se = tx * torch.from_numpy(s)[None, :, None, None]
    want_cat = torch.cat([tx, nchw(y), want_se], dim=1)
    want_shuf = torch.nn.ChannelShuffle(groups)(tx)
    # ConvNeXt's LayerNorm2d: normalise over channels at every pixel.
    want_ln = torch.nn.functional.layer_norm(tx.permute(0, 2, 3, 1), (c,), torch.from_numpy(gamma),
                                             torch.from_numpy(beta), eps=1e-6)
    np.testing.assert_array_equal(out["se.out"], hwc(want_se).ravel())
    np.testing.assert_array_equal(out["cat.out"], hwc(want_cat).ravel())
    np.testing.assert_array_equal(out["shuf.out"], hwc(want_shuf).ravel())
    np.testing.assert_allclose(out["ln.out"], want_ln.numpy().ravel(), rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("op, second, args, match", [
    ("concat_fp32", [3, 5, 2], {}, "input 1 is 3x5 .h x w., input 0 is 3x4"),
    ("concat_fp32", [2, 4, 2], {}, "input 1 is 2x4"),
    ("channel_mul_fp32", [5], {}, "input 1 has 5 elements, expected one per channel of input 0 .6."),
    ("channel_shuffle_fp32", None, {"groups": 4}, "input has 6 channels, not a multiple of groups = 4"),
])
def test_channel_ops_refuse_mismatched_inputs(build, op, second, args, match):
    b = ModelBuilder("bad")
    b.input("x", [3, 4, 6])
    feeds = {"x": np.ones((3, 4, 6), np.float32)}
    inputs = ["x"]
    if second is not None:
        b.input("z", second)
        feeds["z"] = np.ones(second, np.float32)
        inputs.append("z")
    b.output(b.node(op, inputs, name="bad_node", **args))
    m = build(b)
    with pytest.raises(RuntimeError, match=f"{op} node 'bad_node': {match}"):
        m.forward(feeds)
