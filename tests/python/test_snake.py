"""Snake against numpy on a model built with ModelBuilder."""
import numpy as np

from vantrel import ModelBuilder


def test_snake_matches_numpy(build):
    c, t = 9, 40
    rng = np.random.default_rng(1)
    alpha = rng.random(c).astype(np.float32) * 2
    alpha[3] = 0.0
    b = ModelBuilder("snake")
    b.input("x", [t, c])
    b.output(b.node("snake1d_fp32", ["x"], name="sn"))
    b.weight("sn.alpha", alpha)
    x = (rng.standard_normal((t, c)) * 3).astype(np.float32)
    y = build(b).forward(x).reshape(t, c)
    a = alpha.astype(np.float64)
    want = x + 1.0 / (a + 1e-9) * np.sin(a * x) ** 2
    np.testing.assert_allclose(y, want, rtol=1e-5, atol=1e-5)
    np.testing.assert_array_equal(y[:, 3], x[:, 3])  # alpha 0: out = x
