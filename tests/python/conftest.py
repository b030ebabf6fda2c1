import sys
import types

import pytest

import model_inference as mi
from vantrel import ModelBuilder

if "torchvision" not in sys.modules:
    # PyPI's torchvision wheel carries compiled detection ops (nms, roi_align)
    # built for another torch build; registering their meta kernels fails
    # when that library does not load, and so does every import of
    # torchvision (transformers imports it too). Only its Python model
    # definitions are used here, so those two registration modules are left
    # out for the whole test session.
    for _name in ("torchvision._meta_registrations", "torchvision._autograd_registrations"):
        sys.modules.setdefault(_name, types.ModuleType(_name))


@pytest.fixture
def build(tmp_path):
    """Save a ModelBuilder's files under tmp_path and load them."""
    def _build(builder: ModelBuilder) -> mi.InferenceModel:
        arch, weights = tmp_path / "m.json", tmp_path / "m.bin"
        builder.save(str(arch), str(weights))
        return mi.InferenceModel(str(arch), str(weights))
    return _build


def identity(shape, name="m", dtype="float32"):
    """A model without nodes whose output is its input."""
    b = ModelBuilder(name)
    b.input("x", shape, dtype=dtype)
    b.output("x")
    return b
