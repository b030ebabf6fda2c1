"""Former home of the ViT converter, now :mod:`vantrel.convert.vit`; the name
stays importable from here."""

from vantrel.convert.vit import vit_to_builder

__all__ = ["vit_to_builder"]
