"""Former home of the seeded reference vocoder, now :mod:`vantrel.models.vocoder`;
the names stay importable from here."""

from vantrel.models.vocoder import (AdaIN1d, AdaResBlock, Snake, TorchVocoder, VocoderConfig,
                                    istft, randomize, regulated_durations, sine_noise,
                                    sine_source, stft_bases, tiny_vocoder)

__all__ = ["AdaIN1d", "AdaResBlock", "Snake", "TorchVocoder", "VocoderConfig", "istft",
           "randomize", "regulated_durations", "sine_noise", "sine_source", "stft_bases",
           "tiny_vocoder"]
