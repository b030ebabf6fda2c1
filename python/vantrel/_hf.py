"""Imports of the Hugging Face libraries, and loading built models.

transformers imports torchvision when it is installed. A torchvision wheel
built for another torch release fails while registering its compiled
detection ops (nms, roi_align), and that failure breaks every transformers
model class. Only torchvision's Python code is ever needed here, so when its
import fails, it is imported again without those two registration modules.
"""

from __future__ import annotations

import sys
import tempfile
import types
from pathlib import Path


def _import_torchvision_without_compiled_ops() -> None:
    if "torchvision" in sys.modules:
        return
    try:
        import torchvision  # noqa: F401
    except ImportError:
        return  # not installed: transformers does without it
    except Exception:
        for key in [k for k in sys.modules if k == "torchvision" or k.startswith("torchvision.")]:
            del sys.modules[key]
        for key in ("torchvision._meta_registrations", "torchvision._autograd_registrations"):
            sys.modules.setdefault(key, types.ModuleType(key))
        import torchvision  # noqa: F401


def import_transformers():
    """The ``transformers`` module (RuntimeError naming the package when it is missing)."""
    _import_torchvision_without_compiled_ops()
    try:
        import transformers
    except ImportError as e:
        raise RuntimeError("this needs the package transformers (pip install transformers)") from e
    return transformers


def import_sentence_transformers():
    """The ``sentence_transformers`` module (RuntimeError naming the package when missing)."""
    _import_torchvision_without_compiled_ops()
    try:
        import sentence_transformers
    except ImportError as e:
        raise RuntimeError("this needs the package sentence-transformers "
                           "(pip install sentence-transformers)") from e
    return sentence_transformers


def load_builder(builder):
    """Load a :class:`~vantrel.ModelBuilder` as an ``InferenceModel``; its files live in a
    temporary folder only while the engine reads them."""
    import model_inference as mi

    with tempfile.TemporaryDirectory(prefix="vantrel-") as d:
        arch, weights = Path(d) / "model.json", Path(d) / "model.bin"
        builder.save(str(arch), str(weights))
        return mi.InferenceModel(str(arch), str(weights))
