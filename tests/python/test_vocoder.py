"""The converted vocoder (vantrel.vocoder) against the PyTorch reference
(vantrel.torch_vocoder) on the same seeded weights and inputs, and the
speed setting's effect on the output length."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")

from vantrel.torch_vocoder import regulated_durations, tiny_vocoder  # noqa: E402
from vantrel.vocoder import vocoder_to_builder  # noqa: E402

# Worst relative error seen is 7e-5 (fast exp/sin/tanh/sigmoid
# polynomials, Winograd rounding). The source noise keeps every source bin
# well above zero: the phase of a bin near zero is rounding noise, and the
# network takes it as input.
TOLERANCE = 1e-3


def inputs(model, n_tokens, seed):
    rng = np.random.default_rng(seed)
    cfg = model.cfg
    tokens = rng.standard_normal((n_tokens, cfg.token_dim)).astype(np.float32)
    durations = rng.integers(1, 5, n_tokens).astype(np.float32)
    style = rng.standard_normal(cfg.style_dim).astype(np.float32)
    return tokens, durations, style


def build_vocoder(build, model):
    """The converted model, also returning f0 and the source spectrum."""
    b = vocoder_to_builder(model)
    b.output("f0_head.out", "source.stft.out")
    return build(b)


def run(m, model, tokens, durations, style):
    """Audio, f0 per frame and the source spectrum's phases (frames x bins)."""
    out = m.forward({"tokens": tokens, "durations": durations, "style": style})
    bins = model.cfg.n_fft // 2 + 1
    return out["audio"], out["f0_head.out"], out["source.stft.out"].reshape(-1, 2 * bins)[:, bins:]


def reference(model, tokens, durations, style, speed=1.0, f0=None, phases=None):
    """The PyTorch audio. Given the engine's f0 and source phases, the
    source runs on that f0 and takes the engine's branch of phases on the
    atan2 cut: the network amplifies f0 rounding without bound over time
    and jumps between pi and -pi there (see TorchVocoder)."""
    with torch.inference_mode():
        return model(tokens, durations, style, speed, f0=f0, phase_branch=phases).numpy()


def reference_f0(model, tokens, durations, speed=1.0):
    with torch.inference_mode():
        return model.front(torch.from_numpy(tokens), durations, speed)[1].numpy()


def check(model, m, tokens, durations, style, speed=1.0):
    y, f0, phases = run(m, model, tokens, durations, style)
    assert rel_err(f0, reference_f0(model, tokens, durations, speed)) < 1e-5
    ref = reference(model, tokens, durations, style, speed, f0, phases)
    assert y.shape == ref.shape
    assert rel_err(y, ref) < TOLERANCE
    return y


def rel_err(y, ref):
    return float(np.abs(y - ref).max() / np.abs(ref).max())


@pytest.mark.parametrize("n_tokens, seed, overrides", [
    (5, 0, {}),
    (1, 1, {"istft_normalized": False}),  # one token; the unnormalised overlap-add
])
def test_vocoder_matches_torch(build, n_tokens, seed, overrides):
    model = tiny_vocoder(seed, channels=64, **overrides)
    m = build_vocoder(build, model)
    tokens, durations, style = inputs(model, n_tokens, seed)
    y = check(model, m, tokens, durations, style)
    assert y.shape == (int(durations.sum()) * model.cfg.samples_per_frame,)


@pytest.mark.slow
@pytest.mark.parametrize("n_tokens, seed, overrides, direct", [
    (40, 2, {}, None),                                           # about 1.3 s of audio
    # Odd rates and kernel 11, which runs direct: Winograd F(2,11) alone is
    # about 1e-2 off a float64 convolution, too coarse for this comparison.
    (12, 3, {"upsample_rates": (5, 3), "resblock_kernels": (3, 7, 11),
             "resblock_dilations": (1, 3, 5)}, "11"),
])
def test_vocoder_matches_torch_long(build, monkeypatch, n_tokens, seed, overrides, direct):
    if direct:
        monkeypatch.setenv("TAMBOR_FP32_CONV1D_DIRECT", direct)
    model = tiny_vocoder(seed, **overrides)
    m = build_vocoder(build, model)
    check(model, m, *inputs(model, n_tokens, seed))


@pytest.mark.parametrize("speed, durations, frames", [
    (1.0, [3, 2, 4, 1], 10),
    (2.0, [4, 2, 6, 2], 7),     # halved: 2, 1, 3, 1
    (2.0, [3, 1, 5, 2], 7),     # 1.5 -> 2 and 2.5 -> 3 (halves away from zero), 0.5 -> 1
    (0.5, [3, 2, 4, 1], 20),    # doubled
    (4.0, [1, 1, 2, 1], 4),     # never below one frame per token
])
def test_speed_scales_frame_count(build, speed, durations, frames):
    model = tiny_vocoder(4, channels=32, upsample_rates=(2, 2), resblock_kernels=(3,),
                         resblock_dilations=(1,))
    m = build_vocoder(build, model)
    tokens, _, style = inputs(model, len(durations), 4)
    durations = np.array(durations, np.float32)
    assert int(regulated_durations(durations, speed).sum()) == frames
    m.set_speed(speed)
    y = check(model, m, tokens, durations, style, speed)
    assert y.shape == (frames * model.cfg.samples_per_frame,)


@pytest.mark.parametrize("change", ["two_layer_lstm", "odd_n_fft", "reflect_padding"])
def test_unsupported_modules_are_refused(change):
    from vantrel.convert import ConversionError
    model = tiny_vocoder(5, channels=32, upsample_rates=(2, 2), resblock_kernels=(3,),
                         resblock_dilations=(1,))
    if change == "two_layer_lstm":
        model.lstm = torch.nn.LSTM(model.cfg.token_dim, model.cfg.lstm_hidden, num_layers=2,
                                   batch_first=True, bidirectional=True)
    elif change == "odd_n_fft":
        model.cfg.n_fft = 19
    else:
        model.proj.padding_mode = "reflect"
    with pytest.raises(ConversionError):
        vocoder_to_builder(model)
