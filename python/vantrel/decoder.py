"""Former home of the decoder converter, now :mod:`vantrel.convert.decoder`; the
name stays importable from here."""

from vantrel.convert.decoder import decoder_to_builder

__all__ = ["decoder_to_builder"]
