"""The harmonic sine source (including its noise generator) against numpy, on
models built with ModelBuilder."""
import numpy as np
import pytest

from vantrel import ModelBuilder


def xorshift_draws(n):
    s = np.uint64(0x9E3779B97F4A7C15)
    out = np.empty(n, np.uint64)
    mult = np.uint64(0x2545F4914F6CDD1D)
    with np.errstate(over="ignore"):
        for i in range(n):
            s ^= s >> np.uint64(12)
            s ^= s << np.uint64(25)
            s ^= s >> np.uint64(27)
            out[i] = (s * mult) >> np.uint64(32)
    return out


def sine_direct_ref(f0, h, sr, amp, th, noise):
    t = len(f0)
    k = np.arange(1, h + 1, dtype=np.float64)
    step = f0.astype(np.float64) * (1.0 / sr)
    ph = np.zeros(h)
    out = np.zeros((t, h), np.float32)
    f32 = np.float32
    draws = xorshift_draws(2 * t * h).reshape(t, h, 2) if noise > 0 else None
    for i in range(t):
        ph = ph + step[i] * k
        ph = ph - np.trunc(ph)
        voiced = f0[i] > th
        sine = f32(amp) * np.sin((ph * 6.283185307179586).astype(f32)) if voiced else np.zeros(h, f32)
        if noise > 0:
            a = f32(noise) if voiced else f32(amp) * f32(0.33333334)
            u1 = draws[i, :, 0].astype(f32) * f32(2.0 ** -32)
            ang = np.cos(f32(f32(6.283185307179586) * f32(2.0 ** -32)) * draws[i, :, 1].astype(f32))
            with np.errstate(divide="ignore"):
                rad = np.where(u1 < f32(1e-7), f32(5.6776924), np.sqrt(f32(-2) * np.log(u1)))
            sine = sine + a * (rad * ang).astype(f32)
        out[i] = sine
    return out


def sine_up_ref(f0, h, sr, u, amp, th):
    f32 = np.float32
    t = len(f0)
    d = t // u
    out = np.zeros((t, h), f32)
    for k in range(1, h + 1):
        rad = np.fmod(f0 * (f32(k) * (f32(1) / f32(sr))), f32(1))
        rad = np.where(rad < 0, rad + f32(1), rad).astype(f32)
        i = np.arange(d, dtype=f32)
        s = (i + f32(0.5)) * f32(u) - f32(0.5)
        i0 = np.trunc(s).astype(np.int64)
        w = s - i0.astype(f32)
        wl = (i0.astype(f32) + f32(1.5)) - (i + f32(0.5)) * f32(u)
        rd = w * rad[np.minimum(i0 + 1, t - 1)] + wl * rad[np.minimum(i0, t - 1)]
        cum = np.cumsum(rd, dtype=f32)
        ts = np.arange(t, dtype=f32) + f32(0.5)
        s2 = (ts.astype(np.float64) * np.float64(f32(1) / f32(u)) - 0.5).astype(f32)  # one rounding, as fmaf
        fl = np.floor(s2)
        j0 = fl.astype(np.int64)
        v = (s2 - fl) * cum[np.clip(j0 + 1, 0, d - 1)] + ((fl + f32(1.5)) - ts * (f32(1) / f32(u))) * cum[
            np.clip(j0, 0, d - 1)]
        ph = ((v * f32(u)).astype(np.float64) * 6.283185307179586).astype(f32)
        out[:, k - 1] = np.where(f0 > th, f32(amp) * np.sin(ph), f32(0))
    return out


@pytest.mark.parametrize("t, hn, up, noise", [(64, 8, 0, 0.0), (50, 3, 0, 0.003), (300, 4, 10, 0.0),
                                              (45, 2, 1, 0.5)])
def test_sine_gen_matches_numpy(build, t, hn, up, noise):
    b = ModelBuilder("sine")
    b.input("f0", [t, 1])
    b.output(b.node("sine_gen_fp32", ["f0"], name="sg", harmonic_num=hn, upsample_scale=up, noise_std=noise,
                    sample_rate=16000))
    m = build(b)
    f0 = np.random.default_rng(t).uniform(-50, 500, t).astype(np.float32)
    f0[t // 2] = 10.0  # at the threshold: unvoiced
    y = m.forward(f0.reshape(t, 1)).reshape(t, hn + 1)
    ref = sine_up_ref(f0, hn + 1, 16000, up, 0.1, 10.0) if up >= 1 else \
        sine_direct_ref(f0, hn + 1, 16000, 0.1, 10.0, noise)
    np.testing.assert_allclose(y, ref, rtol=0, atol=2e-5 if up >= 1 else 2e-6)
    np.testing.assert_array_equal(m.forward(f0.reshape(t, 1)).reshape(t, hn + 1), y)  # same noise every call
    if noise == 0:
        assert np.all(y[t // 2] == 0)


def test_sine_gen_rejects_input_shorter_than_a_step(build):
    b = ModelBuilder("sine")
    b.input("f0", [5, 1])
    b.output(b.node("sine_gen_fp32", ["f0"], name="sg", upsample_scale=8))
    with pytest.raises(RuntimeError, match="sine_gen_fp32 node 'sg'.*shorter than one upsampling step"):
        build(b).forward(np.full((5, 1), 100, np.float32))
