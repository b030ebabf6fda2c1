"""Former home of the vocoder converter, now :mod:`vantrel.convert.vocoder`; the
name stays importable from here."""

from vantrel.convert.vocoder import vocoder_to_builder

__all__ = ["vocoder_to_builder"]
