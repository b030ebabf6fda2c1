"""STFT / inverse STFT against torch.stft / torch.istft, on models built with
ModelBuilder."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")

from vantrel import ModelBuilder  # noqa: E402


def hann(n):
    return torch.hann_window(n, periodic=True, dtype=torch.float64)


STFT_CASES = [(20, 5, 37), (20, 5, 40), (16, 4, 9), (8, 3, 100), (2, 1, 5)]


@pytest.mark.parametrize("n_fft, hop, samples", STFT_CASES)
def test_stft_matches_torch(build, n_fft, hop, samples):
    b = ModelBuilder("stft")
    b.input("x", [samples, 1])
    b.output(b.node("stft_fp32", ["x"], name="S", n_fft=n_fft, hop_size=hop))
    x = np.random.default_rng(samples).standard_normal(samples).astype(np.float32)
    # Edge replication, not reflection, pads the signal.
    want = torch.stft(torch.from_numpy(x.astype(np.float64)), n_fft, hop, window=hann(n_fft), center=True,
                      pad_mode="replicate", return_complex=True).numpy().T
    f = n_fft // 2 + 1
    y = build(b).forward(x.reshape(-1, 1)).reshape(want.shape[0], 2 * f)
    got = y[:, :f] * np.exp(1j * y[:, f:])
    np.testing.assert_allclose(got, want, atol=1e-5 * np.abs(x).sum() / samples * n_fft + 1e-6)


ISTFT_CASES = [(20, 5, 9), (16, 4, 12), (8, 2, 5), (4, 1, 3)]


@pytest.mark.parametrize("normalized", [True, False])
@pytest.mark.parametrize("n_fft, hop, frames", ISTFT_CASES)
def test_istft_matches_torch(build, n_fft, hop, frames, normalized):
    f = n_fft // 2 + 1
    rng = np.random.default_rng(frames * n_fft)
    mag = rng.uniform(0, 2, (frames, f)).astype(np.float32)
    ph = rng.uniform(-3, 3, (frames, f)).astype(np.float32)
    b = ModelBuilder("istft")
    b.input("m", [frames, f])
    b.input("p", [frames, f])
    b.output(b.node("istft_fp32", ["m", "p"], name="I", n_fft=n_fft, hop_size=hop, normalized=normalized))
    y = build(b).forward({"m": mag, "p": ph})["I.out"]
    spec = torch.from_numpy(mag.astype(np.float64) * np.exp(1j * ph.astype(np.float64))).T
    win = hann(n_fft)
    if normalized:
        # The layer's `normalized` is torch's default: doubled middle bins and
        # division by the window envelope.
        want = torch.istft(spec, n_fft, hop, window=win, center=True).numpy()
    else:
        # Unset: no doubling and no division. Doubling the edge bins instead
        # makes torch's sum twice the layer's; multiplying back by the
        # envelope undoes its division.
        spec2 = spec.clone()
        spec2[0] *= 2
        spec2[-1] *= 2
        env = np.zeros(n_fft + (frames - 1) * hop)
        for t in range(frames):
            env[t * hop:t * hop + n_fft] += win.numpy() ** 2
        env = env[n_fft // 2: len(env) - n_fft // 2]
        want = 0.5 * env * torch.istft(spec2, n_fft, hop, window=win, center=True).numpy()
    assert y.shape == ((frames - 1) * hop,)
    np.testing.assert_allclose(y, want, atol=2e-5 * mag.sum() / frames)
