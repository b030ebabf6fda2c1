"""Style-conditioned normalisation, length regulation, nearest upsampling and
reflection padding against PyTorch; Snake and the harmonic sine source
(including its noise generator) against numpy; all on models built with
ModelBuilder."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")
F = torch.nn.functional

from vantrel import ModelBuilder  # noqa: E402


def style_model(op, c, s, t, int8_fc=False, bias=True, affine=False, seed=0):
    rng = np.random.default_rng(seed)
    w = (rng.standard_normal((2 * c, s)) * 0.3).astype(np.float32)
    fb = (rng.standard_normal(2 * c) * 0.1).astype(np.float32) if bias else None
    b = ModelBuilder("style")
    b.input("x", [t, c])
    b.input("s", [s])
    b.output(b.node(op, ["x", "s"], name="n", C=c, C_style=s))
    if int8_fc:
        q = rng.integers(-127, 128, size=(2 * c, s)).astype(np.int8)
        scale = (rng.random(2 * c) * 0.01 + 0.001).astype(np.float32)
        b.weight("n.fc.weight_i8", q)
        b.weight("n.fc.w_scales", scale)
        w = q.astype(np.float32) * scale[:, None]
    else:
        b.weight("n.fc.weight", w)
    if bias:
        b.weight("n.fc.bias", fb)
    nw = nb = None
    if affine:
        nw = rng.standard_normal(c).astype(np.float32)
        nb = rng.standard_normal(c).astype(np.float32)
        b.weight("n.norm.weight", nw)
        b.weight("n.norm.bias", nb)
    return b, w, fb, nw, nb


@pytest.mark.parametrize("op", ["ada_in1d_fp32", "ada_layer_norm_fp32"])
@pytest.mark.parametrize("c, s, t, int8_fc, bias, affine", [
    (8, 16, 30, False, True, False),
    (5, 7, 1, False, True, True),      # T = 1: instance variance 0
    (12, 10, 300, True, True, False),  # int8 fc weights with row scales
    (6, 4, 50, False, False, True),    # no fc bias
    (130, 32, 300, False, True, True),  # parallel statistics
])
def test_style_norm_matches_torch(build, op, c, s, t, int8_fc, bias, affine):
    affine = affine and op == "ada_in1d_fp32"
    b, w, fb, nw, nb = style_model(op, c, s, t, int8_fc, bias, affine)
    m = build(b)
    rng = np.random.default_rng(t)
    x = (rng.standard_normal((t, c)) * 2 + 0.5).astype(np.float32)
    st = rng.standard_normal(s).astype(np.float32)
    y = m.forward({"x": x, "s": st})["n.out"].reshape(t, c)

    d = lambda a: None if a is None else torch.from_numpy(a.astype(np.float64))  # noqa: E731
    h = F.linear(d(st), d(w), d(fb))
    gamma, beta = h[:c], h[c:]
    xt = d(x)
    if op == "ada_in1d_fp32":
        if t > 1:
            xh = F.instance_norm(xt.T[None], weight=d(nw), bias=d(nb), eps=1e-5)[0].T
        else:  # torch refuses one time step; the variance is 0, so x_hat is the norm bias
            xh = torch.zeros_like(xt) + (0 if nb is None else d(nb))
    else:
        xh = F.layer_norm(xt, (c,), eps=1e-5)
    want = (beta + (1 + gamma) * xh).numpy()
    np.testing.assert_allclose(y, want, rtol=2e-4, atol=2e-4)


def test_style_norm_rejects_wrong_style_length(build):
    b, *_ = style_model("ada_in1d_fp32", 4, 6, 5)
    b.inputs[1]["shape"] = [1, 1, 1, 5]
    m = build(b)
    with pytest.raises(RuntimeError, match="expected C_style = 6"):
        m.forward({"x": np.ones((5, 4), np.float32), "s": np.ones(5, np.float32)})


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


def test_reflection_pad_rejects_one_row(build):
    b = ModelBuilder("pad")
    b.input("x", [1, 3])
    b.output(b.node("reflection_pad1d_fp32", ["x"], name="pad"))
    with pytest.raises(RuntimeError, match="reflection_pad1d_fp32 node 'pad'.*too short"):
        build(b).forward(np.ones((1, 3), np.float32))
