"""Length regulation, nearest upsampling and reflection padding against
PyTorch, on models built with ModelBuilder."""
import numpy as np
import pytest

torch = pytest.importorskip("torch")
F = torch.nn.functional

from vantrel import ModelBuilder  # noqa: E402


def regulate_model(n, c):
    b = ModelBuilder("lr")
    b.input("x", [n, c])
    b.input("d", [n, 1])
    b.output(b.node("length_regulate_fp32", ["x", "d"], name="lr"))
    return b


@pytest.mark.parametrize("speed", [1.0, 2.0, 0.5, 1.7])
def test_length_regulate_matches_repeat_interleave(build, speed):
    n, c = 12, 5
    m = build(regulate_model(n, c))
    m.set_speed(speed)
    rng = np.random.default_rng(3)
    x = rng.standard_normal((n, c)).astype(np.float32)
    d = np.array([0, 0.4, -3, 0.5, 1.5, 2.5, 3, 7.2, 1, 4, 0.49, 5.5], np.float32)
    y = m.forward({"x": x, "d": d.reshape(n, 1)})["lr.out"]
    scaled = torch.from_numpy(d) * torch.tensor(1.0 / speed, dtype=torch.float32)
    # Halves round away from zero (torch.round rounds them to even).
    reps = torch.clamp(torch.sign(scaled) * torch.floor(scaled.abs() + 0.5), min=1).long()
    want = torch.repeat_interleave(torch.from_numpy(x), reps, dim=0).numpy()
    np.testing.assert_array_equal(y.reshape(-1, c), want)


def test_length_regulate_rejects_wrapping_length(build):
    m = build(regulate_model(3, 2))
    m.set_speed(1e-30)
    with pytest.raises(RuntimeError, match="length_regulate_fp32 node 'lr'.*exceeds 2147483647"):
        m.forward({"x": np.ones((3, 2), np.float32), "d": np.ones((3, 1), np.float32)})


@pytest.mark.parametrize("n, c, scale", [(4, 3, 2), (7, 1, 3), (1, 6, 5)])
def test_upsample_nearest_matches_interpolate(build, n, c, scale):
    b = ModelBuilder("up")
    b.input("x", [n, c])
    b.output(b.node("upsample_nearest1d_fp32", ["x"], name="up", scale_factor=scale))
    x = np.random.default_rng(n).standard_normal((n, c)).astype(np.float32)
    y = build(b).forward(x)
    want = F.interpolate(torch.from_numpy(x).T[None], scale_factor=scale, mode="nearest")[0].T.numpy()
    np.testing.assert_array_equal(y.reshape(-1, c), want)


@pytest.mark.parametrize("n, c", [(2, 3), (9, 4)])
def test_reflection_pad_matches_torch(build, n, c):
    b = ModelBuilder("pad")
    b.input("x", [n, c])
    b.output(b.node("reflection_pad1d_fp32", ["x"], name="pad"))
    m = build(b)
    x = np.random.default_rng(n).standard_normal((n, c)).astype(np.float32)
    want = F.pad(torch.from_numpy(x).T[None], (1, 0), mode="reflect")[0].T.numpy()
    np.testing.assert_array_equal(m.forward(x).reshape(-1, c), want)

