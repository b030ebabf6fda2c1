"""The harmonic sine source through a model: its refusal of a signal shorter
than one upsampling step (its arithmetic is checked against a scalar
reference in tests/cpp/test_sine_gen.cpp, and inside the vocoder against
torch in test_vocoder.py)."""
import numpy as np
import pytest

from vantrel import ModelBuilder


def test_sine_gen_rejects_input_shorter_than_a_step(build):
    b = ModelBuilder("sine")
    b.input("f0", [5, 1])
    b.output(b.node("sine_gen_fp32", ["f0"], name="sg", upsample_scale=8))
    with pytest.raises(RuntimeError, match="sine_gen_fp32 node 'sg'.*shorter than one upsampling step"):
        build(b).forward(np.full((5, 1), 100, np.float32))
