"""A small seeded PyTorch vocoder in the HiFi-GAN / iSTFTNet style.

It is the reference that :mod:`vantrel.convert.vocoder` converts and that the tests
and the benchmark compare the engine with. The network, end to end:

front part (token rate -> frame rate)
    per-token features are repeated by their durations (scaled by the
    speaking speed, see :func:`regulated_durations`), run through a
    bidirectional LSTM and projected by a 1-D convolution to the decoder's
    channels; a second convolution predicts f0 in Hz per frame.

harmonic source (sample rate)
    f0 repeated to the sample rate drives a bank of harmonic sines with
    deterministic noise (:func:`sine_source`), merged to one channel by a
    linear layer and tanh, and analysed by an STFT into magnitude and phase.

decoder (frame rate -> sample rate)
    per stage: leaky ReLU, transposed-convolution upsampling, plus the
    source spectrum brought to that rate by a strided convolution, then the
    mean of style-conditioned residual blocks (AdaIN -> Snake -> dilated
    conv, twice, residual). A last convolution predicts log-magnitudes and
    phases (through sin) and the inverse STFT gives the waveform.

Where the engine's operations are not plain PyTorch ops (the sine source,
the length-regulation rounding, the STFT on stored bases, the inverse STFT
scaling) they are written here from their formulas.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import torch
from torch import nn
from torch.nn import functional as F

__all__ = ["VocoderConfig", "TorchVocoder", "tiny_vocoder", "regulated_durations", "sine_source",
           "sine_noise", "stft_bases", "istft"]


@dataclass
class VocoderConfig:
    token_dim: int = 32          # features per token
    style_dim: int = 32          # length of the style vector
    lstm_hidden: int = 32        # per direction
    channels: int = 128          # decoder channels at frame rate; halved per stage
    upsample_rates: tuple = (10, 6)
    resblock_kernels: tuple = (3, 7)
    resblock_dilations: tuple = (1, 3)
    n_fft: int = 20
    hop: int = 5
    sample_rate: int = 24000
    harmonic_num: int = 8
    sine_amp: float = 0.1
    noise_std: float = 0.003
    voiced_threshold: float = 10.0
    f0_mean: float = 150.0       # bias of the f0 head (Hz)
    istft_normalized: bool = True

    @property
    def samples_per_frame(self) -> int:
        return int(np.prod(self.upsample_rates)) * self.hop


def regulated_durations(durations, speed: float = 1.0) -> np.ndarray:
    """Repeat count per token: round(scale * d) with halves away from zero,
    at least 1, where scale = 1/speed in float32 (1 when that is not
    positive) and the product is float32."""
    d = np.asarray(durations, dtype=np.float32).ravel()
    scale = np.float32(1.0) / np.float32(speed)
    if not scale > 0:
        scale = np.float32(1.0)
    p = (scale * d).astype(np.float64)
    r = np.sign(p) * np.floor(np.abs(p) + 0.5)
    r = np.clip(r, -2.0 ** 31, 2.0 ** 31 - 1)
    return np.maximum(r, 1).astype(np.int64)


_noise_cache: dict[int, np.ndarray] = {}


def sine_noise(samples: int, harmonics: int) -> np.ndarray:
    """The source's unit Gaussian noise, (samples, harmonics) float32: a
    xorshift64* generator seeded with 0x9E3779B97F4A7C15 at every call,
    two draws per value (t-major, harmonic-minor), Box-Muller with the
    cosine branch. It does not depend on f0, so tables are cached."""
    cached = _noise_cache.get(harmonics)
    if cached is not None and cached.shape[0] >= samples:
        return cached[:samples]
    n = samples * harmonics
    mask = (1 << 64) - 1
    s = 0x9E3779B97F4A7C15
    draws = np.empty(2 * n, dtype=np.uint64)
    for i in range(2 * n):
        s ^= s >> 12
        s ^= (s << 25) & mask
        s ^= s >> 27
        draws[i] = ((s * 0x2545F4914F6CDD1D) & mask) >> 32
    r1 = draws[0::2].astype(np.float32)
    r2 = draws[1::2].astype(np.float32)
    u1 = r1 * np.float32(2.0 ** -32)
    c = np.float32(np.float32(2 * math.pi) * np.float32(2.0 ** -32))
    with np.errstate(divide="ignore"):
        mag = np.sqrt(np.float32(-2.0) * np.log(u1))
    mag = np.where(u1 < np.float32(1e-7), np.float32(5.6776924), mag).astype(np.float32)
    table = (mag * np.cos(c * r2)).astype(np.float32).reshape(samples, harmonics)
    _noise_cache[harmonics] = table
    return table


def sine_source(f0: torch.Tensor, sample_rate: int, harmonic_num: int, sine_amp: float,
                voiced_threshold: float, noise_std: float) -> torch.Tensor:
    """Harmonic sines of an f0 track (samples,) in Hz -> (samples, H).

    Harmonic k's phase runs in double precision as the fractional part of
    the sum of k * f0 / sample_rate up to and including each sample; the
    sine is taken in float32 and zero where f0 is not above the threshold.
    With noise_std > 0, noise of amplitude noise_std (voiced) or
    sine_amp / 3 (unvoiced) is added."""
    h = harmonic_num + 1
    step = f0.to(torch.float64) * (1.0 / float(sample_rate))
    k = torch.arange(1, h + 1, dtype=torch.float64)
    phase = torch.cumsum(step[:, None] * k[None, :], dim=0)
    phase = phase - torch.trunc(phase)
    voiced = (f0 > voiced_threshold)[:, None]
    sine = torch.where(voiced, float(sine_amp) * torch.sin((phase * 6.283185307179586).to(torch.float32)),
                       torch.zeros((), dtype=torch.float32))
    if noise_std > 0:
        noise = torch.from_numpy(sine_noise(f0.shape[0], h).copy())
        amp = torch.where(voiced, torch.tensor(float(noise_std)),
                          torch.tensor(np.float32(sine_amp) * np.float32(0.33333334)))
        sine = sine + amp * noise
    return sine


def stft_bases(n_fft: int) -> tuple[np.ndarray, np.ndarray]:
    """Periodic-Hann windowed Fourier bases, (n_fft/2 + 1, n_fft) each. The
    imaginary rows of bin 0 and bin n_fft/2 are exactly zero, so their
    phases are exactly 0 or pi on both sides of a comparison."""
    n = np.arange(n_fft)
    k = np.arange(n_fft // 2 + 1)[:, None]
    w = 0.5 * (1 - np.cos(2 * np.pi * n / n_fft))
    a = 2 * np.pi * k * n / n_fft
    w_re = (w * np.cos(a)).astype(np.float32)
    w_im = (-w * np.sin(a)).astype(np.float32)
    w_im[0] = 0.0
    w_im[-1] = 0.0
    return w_re, w_im


def istft(mag: torch.Tensor, phase: torch.Tensor, n_fft: int, hop: int, normalized: bool) -> torch.Tensor:
    """Inverse STFT of (bins, frames) magnitude and phase -> ((frames-1)*hop,).

    normalized: torch.istft (centred, periodic Hann, overlap-add divided by
    the squared-window envelope). Not normalized: the overlap-add itself,
    with the bins between 0 and n_fft/2 not doubled, i.e. torch.istft of the
    spectrum with those bins halved, times the envelope."""
    window = torch.hann_window(n_fft, periodic=True, dtype=torch.float64)
    spec = torch.polar(mag.to(torch.float64), phase.to(torch.float64))
    if not normalized:
        spec = spec.clone()
        spec[1:n_fft // 2] *= 0.5
    y = torch.istft(spec[None], n_fft, hop, n_fft, window, center=True)[0]
    if not normalized:
        frames = mag.shape[1]
        env = torch.zeros(n_fft + (frames - 1) * hop, dtype=torch.float64)
        for f in range(frames):
            env[f * hop:f * hop + n_fft] += window ** 2
        y = y * env[n_fft // 2:n_fft // 2 + y.shape[0]]
    return y.to(torch.float32)


class AdaIN1d(nn.Module):
    """Instance norm with affine, modulated by a style vector:
    (1 + gamma) * norm(x) + beta, gamma and beta from fc(style)."""

    def __init__(self, style_dim: int, channels: int):
        super().__init__()
        self.norm = nn.InstanceNorm1d(channels, affine=True)
        self.fc = nn.Linear(style_dim, 2 * channels)

    def forward(self, x, s):
        gamma, beta = self.fc(s)[..., None].chunk(2, dim=1)
        return (1 + gamma) * self.norm(x) + beta


class Snake(nn.Module):
    """Snake activation per channel: x + sin(alpha x)^2 / alpha."""

    def __init__(self, channels: int):
        super().__init__()
        self.alpha = nn.Parameter(torch.ones(channels))

    def forward(self, x):
        a = self.alpha[None, :, None]
        return x + (1.0 / (a + 1e-9)) * torch.sin(a * x) ** 2


class AdaResBlock(nn.Module):
    """Per dilation d: x += conv2(snake2(adain2(conv1_d(snake1(adain1(x))))))."""

    def __init__(self, channels: int, kernel: int, dilations, style_dim: int):
        super().__init__()
        self.kernel = kernel
        self.dilations = tuple(dilations)
        self.convs1 = nn.ModuleList(nn.Conv1d(channels, channels, kernel, dilation=d,
                                              padding=d * (kernel - 1) // 2) for d in dilations)
        self.convs2 = nn.ModuleList(nn.Conv1d(channels, channels, kernel, padding=(kernel - 1) // 2)
                                    for _ in dilations)
        self.adain1 = nn.ModuleList(AdaIN1d(style_dim, channels) for _ in dilations)
        self.adain2 = nn.ModuleList(AdaIN1d(style_dim, channels) for _ in dilations)
        self.snake1 = nn.ModuleList(Snake(channels) for _ in dilations)
        self.snake2 = nn.ModuleList(Snake(channels) for _ in dilations)

    def forward(self, x, s):
        for c1, c2, n1, n2, a1, a2 in zip(self.convs1, self.convs2, self.adain1, self.adain2,
                                          self.snake1, self.snake2):
            xt = c2(a2(n2(c1(a1(n1(x, s))), s)))
            x = x + xt
        return x


class TorchVocoder(nn.Module):
    """forward(tokens (N, token_dim), durations (N,), style (style_dim,),
    speed=1.0) -> audio (frames * samples_per_frame,), float32.

    Two places make the network ill-conditioned, which matters when two
    implementations are compared:

    - the source's phases accumulate f0 over every sample, so a relative
      f0 difference of 1e-6 grows to 1e-3 in the phases of a long
      utterance, and the phases of weak source bins follow with far larger
      errors; ``f0`` (frames,) replaces the predicted f0 for the source;
    - those phases come from atan2 and jump by 2 pi across the negative
      real axis; ``phase_branch`` (frames x bins, e.g. the other
      implementation's phases) picks, per value, the branch nearest to it."""

    def __init__(self, cfg: VocoderConfig):
        super().__init__()
        self.cfg = cfg
        c0 = cfg.channels
        self.lstm = nn.LSTM(cfg.token_dim, cfg.lstm_hidden, batch_first=True, bidirectional=True)
        self.proj = nn.Conv1d(2 * cfg.lstm_hidden, c0, 3, padding=1)
        self.f0_head = nn.Conv1d(2 * cfg.lstm_hidden, 1, 3, padding=1)
        self.source_merge = nn.Linear(cfg.harmonic_num + 1, 1)
        w_re, w_im = stft_bases(cfg.n_fft)
        self.register_buffer("stft_real", torch.from_numpy(w_re))
        self.register_buffer("stft_imag", torch.from_numpy(w_im))
        spec_ch = cfg.n_fft + 2
        rates = list(cfg.upsample_rates)
        self.ups, self.noise_convs, self.resblocks = nn.ModuleList(), nn.ModuleList(), nn.ModuleList()
        ch = c0
        for i, r in enumerate(rates):
            out = ch // 2
            self.ups.append(nn.ConvTranspose1d(ch, out, 2 * r, r, padding=r // 2 + r % 2,
                                               output_padding=r % 2))
            if i + 1 < len(rates):
                sf = int(np.prod(rates[i + 1:]))
                self.noise_convs.append(nn.Conv1d(spec_ch, out, 2 * sf, sf, padding=(sf + 1) // 2))
            else:
                self.noise_convs.append(nn.Conv1d(spec_ch, out, 1))
            self.resblocks.append(nn.ModuleList(AdaResBlock(out, k, cfg.resblock_dilations, cfg.style_dim)
                                                for k in cfg.resblock_kernels))
            ch = out
        self.conv_post = nn.Conv1d(ch, spec_ch, 7, padding=3)

    # -- pieces, each on (1, C, T) tensors
    def front(self, tokens, durations, speed):
        """Tokens repeated by their regulated durations, then the LSTM: features and f0 per frame."""
        reps = torch.from_numpy(regulated_durations(durations, speed))
        x = torch.repeat_interleave(tokens, reps, dim=0)           # (frames, token_dim)
        h, _ = self.lstm(x[None])                                  # (1, frames, 2H)
        h = h.transpose(1, 2)
        return self.proj(h), self.f0_head(h)[0, 0]

    def source(self, f0_frames, phase_branch=None):
        """Harmonic source at the sample rate from per-frame f0, as STFT magnitude and phase."""
        cfg = self.cfg
        f0 = torch.repeat_interleave(f0_frames, cfg.samples_per_frame)
        sines = sine_source(f0, cfg.sample_rate, cfg.harmonic_num, cfg.sine_amp,
                            cfg.voiced_threshold, cfg.noise_std)
        sig = torch.tanh(self.source_merge(sines))[:, 0]           # (samples,)
        half = cfg.n_fft // 2
        padded = F.pad(sig[None, None], (half, half), mode="replicate")[0, 0]
        frames = padded.unfold(0, cfg.n_fft, cfg.hop)              # (S/hop + 1, n_fft)
        re, im = frames @ self.stft_real.T, frames @ self.stft_imag.T
        phase = torch.atan2(im, re)
        if phase_branch is not None:
            # A phase next to the cut is pi or -pi depending on the last bit
            # of its imaginary part; both are right, so take the branch given.
            hint = torch.as_tensor(np.asarray(phase_branch, dtype=np.float32)).reshape(phase.shape)
            phase = phase + 2 * math.pi * torch.round((hint - phase) / (2 * math.pi))
        spec = torch.cat([torch.sqrt(re * re + im * im), phase], dim=1)
        return spec.T[None]                                        # (1, n_fft + 2, frames)

    def decode(self, x, har, s):
        """Upsampling stages with source injection and residual blocks, then the iSTFT head."""
        cfg = self.cfg
        last = len(self.ups) - 1
        for i, (up, nc, blocks) in enumerate(zip(self.ups, self.noise_convs, self.resblocks)):
            x = F.leaky_relu(x, 0.1)
            xs = nc(har)
            x = up(x)
            if i == last:
                x = F.pad(x, (1, 0), mode="reflect")
            x = x + xs
            acc = None
            for blk in blocks:
                y = blk(x, s)
                acc = y if acc is None else acc + y
            x = acc * (1.0 / len(blocks)) if len(blocks) > 1 else acc
        x = self.conv_post(F.leaky_relu(x, 0.01))[0]
        bins = cfg.n_fft // 2 + 1
        return istft(torch.exp(x[:bins]), torch.sin(x[bins:]), cfg.n_fft, cfg.hop, cfg.istft_normalized)

    def forward(self, tokens, durations, style, speed: float = 1.0, f0=None, phase_branch=None):
        tokens = torch.as_tensor(np.asarray(tokens, dtype=np.float32))
        s = torch.as_tensor(np.asarray(style, dtype=np.float32)).reshape(1, -1)
        x, f0_pred = self.front(tokens, durations, speed)
        if f0 is not None:
            f0_pred = torch.as_tensor(np.asarray(f0, dtype=np.float32)).reshape(f0_pred.shape)
        return self.decode(x, self.source(f0_pred, phase_branch), s)


def randomize(model: TorchVocoder, seed: int = 0) -> TorchVocoder:
    """Seeded weights that keep activations of order one, f0 around
    cfg.f0_mean Hz, and log-magnitudes small; returns the model in eval mode."""
    g = torch.Generator().manual_seed(seed)
    cfg = model.cfg
    with torch.no_grad():
        for name, p in model.named_parameters():
            if name.endswith("alpha"):
                p.uniform_(0.5, 1.5, generator=g)
            elif ".norm." in name:
                if name.endswith("weight"):
                    p.uniform_(0.8, 1.2, generator=g)
                else:
                    p.normal_(0.0, 0.1, generator=g)
            elif name.startswith("lstm"):
                p.uniform_(-0.3, 0.3, generator=g)
            elif name.endswith("bias"):
                p.normal_(0.0, 0.05, generator=g)
            else:
                fan_in = p[0].numel()
                p.normal_(0.0, 1.0 / fan_in ** 0.5, generator=g)
        model.f0_head.weight.mul_(60.0)
        model.f0_head.bias.fill_(cfg.f0_mean)
        model.conv_post.weight.mul_(0.5)
        for blocks in model.resblocks:
            for blk in blocks:
                for n in list(blk.adain1) + list(blk.adain2):
                    n.fc.weight.mul_(0.3)
    return model.eval()


def tiny_vocoder(seed: int = 0, **overrides) -> TorchVocoder:
    """The seeded reference vocoder; keyword arguments override VocoderConfig."""
    return randomize(TorchVocoder(VocoderConfig(**overrides)), seed)
