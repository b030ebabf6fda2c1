"""Former home of the seeded image networks and transformers, now
:mod:`vantrel.models.cnn` and :mod:`vantrel.models.transformer`; the names stay
importable from here (``vantrel.torch_models:resnet18`` still works as a
``MODULE:FACTORY``)."""

from vantrel.models.cnn import (BasicBlock, Bottleneck, InvertedResidual, MobileNetV2Style,
                                ResNet, mobilenet_v2_style, randomize, resnet18, resnet50)
from vantrel.models.transformer import (DecoderAttention, DecoderLayer, DecoderMlp, PatchEmbed,
                                        RMSNorm, TinyDecoder, ViTAttention, ViTBlock, ViTMlp,
                                        VisionTransformer, randomize_transformer, rope_tables,
                                        tiny_decoder, vit_s16)

__all__ = ["BasicBlock", "Bottleneck", "DecoderAttention", "DecoderLayer", "DecoderMlp",
           "InvertedResidual", "MobileNetV2Style", "PatchEmbed", "RMSNorm", "ResNet",
           "TinyDecoder", "ViTAttention", "ViTBlock", "ViTMlp", "VisionTransformer",
           "mobilenet_v2_style", "randomize", "randomize_transformer", "resnet18", "resnet50",
           "rope_tables", "tiny_decoder", "vit_s16"]
