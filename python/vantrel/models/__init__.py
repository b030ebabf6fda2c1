"""Seeded PyTorch reference networks, one module per converter family.

The tests and benchmarks convert these and compare the engine's results with
PyTorch's on the same weights; none of the conversion code depends on them
except for recognising a :class:`~vantrel.models.vocoder.TorchVocoder`.

- :mod:`vantrel.models.cnn`: ResNet-18/50 and a MobileNetV2-style network;
- :mod:`vantrel.models.transformer`: a ViT-S/16 with timm's names and a
  Llama-layout decoder;
- :mod:`vantrel.models.vocoder`: a HiFi-GAN / iSTFTNet-style vocoder.

The factories are importable from here too, so ``vantrel.models:resnet18`` is
a ``MODULE:FACTORY`` for ``vantrel convert``.
"""

from vantrel.models.cnn import mobilenet_v2_style, resnet18, resnet50
from vantrel.models.transformer import tiny_decoder, vit_s16
from vantrel.models.vocoder import tiny_vocoder

__all__ = ["mobilenet_v2_style", "resnet18", "resnet50", "tiny_decoder", "tiny_vocoder",
           "vit_s16"]
