import pytest

import model_inference as mi
from vantrel import ModelBuilder


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
