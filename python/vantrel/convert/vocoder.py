"""The reference vocoder of :mod:`vantrel.models.vocoder` as a vantrel model.

:func:`vocoder_to_builder` maps the module's weights onto the engine's
audio layers, node for node, with node names equal to the PyTorch module
paths (so ``ups.0`` holds ``ups.0.weight``). The model's inputs are

- ``tokens``: N rows of ``token_dim`` features (float32, any N),
- ``durations``: N frame counts (float32; the speed setting scales them),
- ``style``: ``style_dim`` floats,

and its output ``audio`` holds frames x ``samples_per_frame`` samples.
Anything the engine cannot express the same way raises
:class:`~vantrel.convert.core.ConversionError`.
"""

from __future__ import annotations

import numpy as np

from vantrel.convert.core import ConversionError, report_progress
from vantrel.model_file import ModelBuilder

__all__ = ["vocoder_to_builder"]


def _f32(t) -> np.ndarray:
    return np.ascontiguousarray(t.detach().cpu().numpy().astype(np.float32))


def _check_conv(conv, where: str) -> None:
    from torch import nn  # here, so that importing the converters needs no torch

    if conv.padding_mode != "zeros" or isinstance(conv.padding, str):
        raise ConversionError(f"{where}: only explicit zero padding is supported")
    if isinstance(conv, nn.Conv1d) and conv.groups != 1:
        raise ConversionError(f"{where}: grouped convolutions are not used by this converter")


def vocoder_to_builder(model, name: str = "vocoder", progress: bool = False) -> ModelBuilder:
    """Build the vantrel graph of a :class:`~vantrel.models.vocoder.TorchVocoder`;
    ``progress`` prints one line per upsampling stage to stderr."""
    cfg = model.cfg
    lstm = model.lstm
    if lstm.num_layers != 1 or not lstm.bidirectional or not lstm.batch_first or lstm.proj_size:
        raise ConversionError("lstm: one bidirectional batch-first layer without projection is supported")
    if cfg.n_fft < 2 or cfg.n_fft % 2:
        raise ConversionError(f"n_fft must be even and at least 2, got {cfg.n_fft}")
    if len(cfg.upsample_rates) < 1:
        raise ConversionError("at least one upsampling stage is needed")

    b = ModelBuilder(name)
    tokens = b.input("tokens", [0, cfg.token_dim])
    durations = b.input("durations", [0, 1])
    style = b.input("style", [cfg.style_dim])

    def conv1d(x, path, conv, relu=False):
        _check_conv(conv, path)
        out = b.node("conv1d_fp32", [x], name=path, relu=relu, C_out=conv.out_channels,
                     C_in=conv.in_channels, kernel_size=conv.kernel_size[0], stride=conv.stride[0],
                     padding=conv.padding[0], dilation=conv.dilation[0], groups=conv.groups)
        b.weight(f"{path}.weight", _f32(conv.weight))
        if conv.bias is not None:
            b.weight(f"{path}.bias", _f32(conv.bias))
        return out

    def adain(x, path, mod):
        c = mod.norm.num_features
        if not mod.norm.affine or mod.norm.track_running_stats:
            raise ConversionError(f"{path}.norm: an affine instance norm without running statistics is expected")
        out = b.node("ada_in1d_fp32", [x, style], name=path, C=c, C_style=mod.fc.in_features,
                     eps=float(mod.norm.eps))
        b.weight(f"{path}.fc.weight", _f32(mod.fc.weight))
        if mod.fc.bias is not None:
            b.weight(f"{path}.fc.bias", _f32(mod.fc.bias))
        b.weight(f"{path}.norm.weight", _f32(mod.norm.weight))
        b.weight(f"{path}.norm.bias", _f32(mod.norm.bias))
        return out

    def snake(x, path, mod):
        out = b.node("snake1d_fp32", [x], name=path)
        b.weight(f"{path}.alpha", _f32(mod.alpha))
        return out

    # Front part: tokens -> frames -> features and f0.
    frames = b.node("length_regulate_fp32", [tokens, durations], name="length_regulate")
    h = b.node("lstm_fp32", [frames], name="lstm", hidden_size=lstm.hidden_size, bidirectional=True)
    for key, value in lstm.state_dict().items():
        b.weight(f"lstm.{key}", _f32(value))
    x = conv1d(h, "proj", model.proj)
    f0 = conv1d(h, "f0_head", model.f0_head)

    # Harmonic source at the sample rate, analysed into magnitude and phase.
    f0 = b.node("upsample_nearest1d_fp32", [f0], name="f0_upsample", scale_factor=cfg.samples_per_frame)
    sines = b.node("sine_gen_fp32", [f0], name="source.sine", sample_rate=cfg.sample_rate,
                   harmonic_num=cfg.harmonic_num, sine_amp=float(cfg.sine_amp),
                   voiced_threshold=float(cfg.voiced_threshold), noise_std=float(cfg.noise_std),
                   upsample_scale=0)
    merge = model.source_merge
    src = b.node("conv1d_fp32", [sines], name="source_merge", C_out=1, C_in=merge.in_features,
                 kernel_size=1)
    b.weight("source_merge.weight", _f32(merge.weight))
    b.weight("source_merge.bias", _f32(merge.bias))
    src = b.node("tanh_fp32", [src], name="source.tanh")
    har = b.node("stft_fp32", [src], name="source.stft", n_fft=cfg.n_fft, hop_size=cfg.hop)
    b.weight("source.stft.w_real", _f32(model.stft_real))
    b.weight("source.stft.w_imag", _f32(model.stft_imag))

    # Decoder stages.
    last = len(model.ups) - 1
    for i, (up, nc, blocks) in enumerate(zip(model.ups, model.noise_convs, model.resblocks)):
        report_progress(progress, "stage", i + 1, last + 1)
        _check_conv(up, f"ups.{i}")
        if up.groups != 1 or up.dilation[0] != 1:
            raise ConversionError(f"ups.{i}: only ungrouped, undilated transposed convolutions are supported")
        x = b.node("leaky_relu_fp32", [x], name=f"ups.{i}.act", alpha=0.1)
        xs = conv1d(har, f"noise_convs.{i}", nc)
        x = b.node("conv_transpose1d_fp32", [x], name=f"ups.{i}", C_out=up.out_channels,
                   C_in=up.in_channels, kernel_size=up.kernel_size[0], stride=up.stride[0],
                   padding=up.padding[0], output_padding=up.output_padding[0], groups=1)
        b.weight(f"ups.{i}.weight", _f32(up.weight))
        if up.bias is not None:
            b.weight(f"ups.{i}.bias", _f32(up.bias))
        if i == last:
            x = b.node("reflection_pad1d_fp32", [x], name="reflection_pad")
        x = b.node("add_fp32", [x, xs], name=f"ups.{i}.add_source")
        acc = None
        for j, blk in enumerate(blocks):
            y = x
            p = f"resblocks.{i}.{j}"
            for d in range(len(blk.dilations)):
                t = adain(y, f"{p}.adain1.{d}", blk.adain1[d])
                t = snake(t, f"{p}.snake1.{d}", blk.snake1[d])
                t = conv1d(t, f"{p}.convs1.{d}", blk.convs1[d])
                t = adain(t, f"{p}.adain2.{d}", blk.adain2[d])
                t = snake(t, f"{p}.snake2.{d}", blk.snake2[d])
                t = conv1d(t, f"{p}.convs2.{d}", blk.convs2[d])
                y = b.node("add_fp32", [y, t], name=f"{p}.add.{d}")
            acc = y if acc is None else b.node("add_fp32", [acc, y], name=f"{p}.sum")
        if len(blocks) > 1:
            acc = b.node("scale_fp32", [acc], name=f"resblocks.{i}.mean", scalar=1.0 / len(blocks))
        x = acc

    x = b.node("leaky_relu_fp32", [x], name="conv_post.act", alpha=0.01)
    x = conv1d(x, "conv_post", model.conv_post)
    bins = cfg.n_fft // 2 + 1
    mag = b.node("slice_channels_fp32", [x], name="spec.mag_slice", ch_start=0, ch_end=bins)
    mag = b.node("exp_fp32", [mag], name="spec.exp")
    phase = b.node("slice_channels_fp32", [x], name="spec.phase_slice", ch_start=bins, ch_end=2 * bins)
    phase = b.node("sin_fp32", [phase], name="spec.sin")
    b.node("istft_fp32", [mag, phase], "audio", name="istft", n_fft=cfg.n_fft, hop_size=cfg.hop,
           normalized=bool(cfg.istft_normalized))
    b.output("audio")
    return b
