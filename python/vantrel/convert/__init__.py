"""Convert a PyTorch module into vantrel's architecture and weights files.

:func:`convert` is the one entry point for every model family. It reads the
family from the module (:func:`model_family`) and hands it to that family's
converter, one module each:

- ``"cnn"``: any other module, captured with ``torch.export`` (:mod:`vantrel.convert.cnn`);
- ``"vit"``: a ViT classifier with timm's names, or torchvision's
  ``VisionTransformer`` (:mod:`vantrel.convert.vit`);
- ``"bert"``: a Hugging Face ``BertModel`` with mean pooling
  (:mod:`vantrel.convert.bert`);
- ``"decoder"``: a Llama-layout decoder, rotary encoding and grouped KV heads
  (:mod:`vantrel.convert.decoder`);
- ``"vocoder"``: a :class:`vantrel.models.vocoder.TorchVocoder`
  (:mod:`vantrel.convert.vocoder`).

An ONNX model (an ``.onnx`` path or an ``onnx.ModelProto``) goes to
:func:`vantrel.convert.onnx.convert_onnx` instead.

The family modules share :mod:`vantrel.convert.core` (the
:class:`ConversionError` they raise and their progress lines) and
:mod:`vantrel.convert.emit` (what a graph operation becomes in the engine,
shared by the torch.export and ONNX importers); this module imports them,
never the other way round.

Int8: a CNN is quantised after conversion from calibration inputs
(:func:`vantrel.quantize.quantize`); ViT and BERT encoders store per-row
int8 weights and quantise their activations on the fly, so they take no
calibration inputs. Decoders and vocoders convert to float32 only.

The package itself is callable, so ``from vantrel import convert`` followed by
``convert(module, example_input)`` calls :func:`convert`.

Example::

    from vantrel.convert import convert
    builder = convert(torch_model, torch.randn(1, 3, 224, 224), name="resnet")
    builder.save("resnet.json", "resnet.bin")
"""

from __future__ import annotations

import os
import sys
import types

from vantrel.convert.bert import bert_encoder
from vantrel.convert.cnn import convert_cnn
from vantrel.convert.core import ConversionError, report_progress
from vantrel.convert.decoder import decoder_to_builder
from vantrel.convert.vit import TORCHVISION_KEYS, vit_to_builder
from vantrel.convert.vocoder import vocoder_to_builder
from vantrel.model_file import ModelBuilder
from vantrel.quantize import quantize

__all__ = ["FAMILIES", "ConversionError", "convert", "convert_cnn", "model_family",
           "report_progress"]

FAMILIES = ("cnn", "vit", "bert", "decoder", "vocoder")


def model_family(module) -> str:
    """The converter family of ``module`` (one of :data:`FAMILIES`), read from
    its type and its parameter names."""
    from vantrel.models.vocoder import TorchVocoder

    if isinstance(module, TorchVocoder):
        return "vocoder"
    keys = set(module.state_dict().keys())
    if {"patch_embed.proj.weight", "cls_token", "pos_embed"} <= keys \
            or TORCHVISION_KEYS <= keys:
        return "vit"
    if "model.embed_tokens.weight" in keys or (
            "embed.weight" in keys and any(k.endswith(".attn.q.weight") for k in keys)):
        return "decoder"
    if keys & {"embeddings.word_embeddings.weight", "bert.embeddings.word_embeddings.weight"}:
        return "bert"
    return "cnn"


def convert(module, example_input=None, name: str | None = None, input_name: str = "input",
            progress: bool = False, int8: bool = False, calibration=None,
            family: str | None = None, **options) -> ModelBuilder:
    """Convert ``module`` and return a :class:`ModelBuilder` holding the model.

    ``family`` (default: :func:`model_family`) picks the converter. A CNN
    needs ``example_input``, a tensor of shape (1, C, H, W), to export it; for a ViT it is
    optional and checked against the position table; the other families
    ignore it. ``int8`` quantises: a CNN from ``calibration`` (a list of
    (H, W, C) float arrays), ViT and BERT encoders on the fly. ``options``
    go to the family's converter (``num_heads``/``eps``/``gelu`` for a ViT;
    ``max_len``/``int8_attention`` for BERT; ``q_heads``, ``kv_heads``,
    ``rope_theta``, ``eps`` and ``max_seq_len`` for a decoder). ``progress``
    prints conversion and calibration progress to stderr. Raises
    :class:`ConversionError` for anything the engine cannot take.
    """
    if _is_onnx(module):
        if example_input is not None or int8 or calibration is not None or family or options \
                or input_name != "input":
            raise ConversionError("an ONNX model converts as it is: its input names, shapes and "
                                  "element types come from the file (give only name and progress)")
        from vantrel.convert.onnx import convert_onnx
        return convert_onnx(module, name=name, progress=progress)
    family = family or model_family(module)
    if family not in FAMILIES:
        raise ConversionError(f"unknown model family {family!r}; expected one of {', '.join(FAMILIES)}")
    if family != "cnn" and calibration is not None:
        raise ConversionError(f"a {family} model takes no calibration inputs: "
                              + ("its int8 activations are quantised on the fly"
                                 if family in ("vit", "bert") else "it converts to float32 only"))
    if family in ("decoder", "vocoder") and int8:
        raise ConversionError(f"a {family} model converts to float32 only")
    name = name or ("model" if family == "cnn" else family)
    if family == "cnn":
        if example_input is None:
            raise ConversionError("a CNN needs an example input of shape (1, C, H, W) to trace")
        if options:
            raise ConversionError(f"options {sorted(options)} do not apply to a CNN")
        if int8 and calibration is None:
            raise ConversionError("int8 quantisation of a CNN needs calibration inputs")
        if not int8 and calibration is not None:
            raise ConversionError("calibration inputs are only used with int8=True")
        builder = convert_cnn(module, example_input, name, input_name, progress)
        if int8:
            builder = quantize(builder, calibration, progress=progress)
        return builder
    if family == "vit":
        builder = vit_to_builder(module, name=name, int8=int8, progress=progress, **options)
        _, h, w, _ = builder.inputs[0]["shape"]
        if example_input is not None and tuple(example_input.shape) != (1, 3, h, w):
            raise ConversionError(f"example input has shape {tuple(example_input.shape)}; the "
                                  f"position table is for (1, 3, {h}, {w})")
        return builder
    if family == "bert":
        config = getattr(module, "config", None)
        if config is None:
            raise ConversionError("a BERT module needs its Hugging Face `config`")
        config = config.to_dict() if hasattr(config, "to_dict") else dict(config)
        return bert_encoder(module.state_dict(), config, name=name, int8=int8, progress=progress,
                            **options)
    if family == "decoder":
        return decoder_to_builder(module, name=name, progress=progress, **options)
    if options:
        raise ConversionError(f"options {sorted(options)} do not apply to a vocoder")
    return vocoder_to_builder(module, name=name, progress=progress)


def _is_onnx(model) -> bool:
    """An .onnx path, or an ``onnx.ModelProto``."""
    if isinstance(model, (str, os.PathLike)):
        return os.fspath(model).lower().endswith(".onnx")
    onnx = sys.modules.get("onnx")
    return onnx is not None and isinstance(model, onnx.ModelProto)


class _CallableModule(types.ModuleType):
    # `vantrel.convert` names both this package and its entry point: calling
    # the package calls convert(), and its attributes (model_family,
    # convert_cnn, ...) stay reachable as vantrel.convert.<name>.
    def __call__(self, *args, **kwargs) -> ModelBuilder:
        return convert(*args, **kwargs)


sys.modules[__name__].__class__ = _CallableModule
