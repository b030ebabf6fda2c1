"""Callers who misuse the model object get an exception, never a crash."""

import os
import struct
import subprocess
import sys

import model_inference as mi
import numpy as np
import pytest

from vantrel import ModelBuilder

# Each public member of an object made by __new__ alone is touched in a child
# process, so a crash fails the test instead of killing pytest.
CHILD = r"""
import numpy as np, model_inference as mi
m = mi.InferenceModel.__new__(mi.InferenceModel)
args = {"forward": (np.zeros(3, np.float32),), "forward_step": (np.zeros(3, np.float32),),
        "set_speed": (1.0,), "reserve_cache": (4,), "set_profile_enabled": (True,)}
for name in sorted(n for n in dir(mi.InferenceModel) if not n.startswith("_")) + ["__repr__"]:
    try:
        member = getattr(m, name)
        if callable(member):
            member(*args.get(name, ()))
        print(name, "no error")
    except TypeError as e:
        assert "not initialised" in str(e), (name, e)
        print(name, "TypeError")
"""


def test_uninitialised_model_raises_on_every_member():
    r = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.split("\n")[:-1]
    assert len(lines) >= 20 and all(line.endswith("TypeError") for line in lines), r.stdout


def small_model(tmp_path):
    b = ModelBuilder("m")
    b.input("x", [0, 4])  # any number of rows
    b.output(b.node("scale_fp32", ["x"], scalar=2.0))
    arch, weights = str(tmp_path / "m.json"), str(tmp_path / "m.bin")
    b.save(arch, weights)
    return arch, weights


def test_memory_limit_refuses_before_allocating(tmp_path, monkeypatch):
    arch, weights = small_model(tmp_path)
    m = mi.InferenceModel(arch, weights, memory_limit="1M")
    assert m.memory_limit == 1 << 20
    with pytest.raises(RuntimeError, match="tensor '(x|scale1.out)': An allocation of 1600000 bytes .* its memory limit is 1048576 bytes"):
        m.forward(np.ones((100_000, 4), np.float32))
    np.testing.assert_array_equal(m.forward(np.ones((2, 4), np.float32)), np.full(8, 2.0))
    monkeypatch.setenv("VANTREL_MEMORY_LIMIT", "3G")
    assert mi.InferenceModel(arch, weights).memory_limit == 3 << 30
    for bad in (0, -5, True, 1.5):
        with pytest.raises(ValueError, match="memory_limit must be a positive number"):
            mi.InferenceModel(arch, weights, memory_limit=bad)


# Each file is opened in a child process, so a blocking open fails the test
# by its time limit instead of hanging pytest.
@pytest.mark.parametrize("case, message", [
    ("fifo-arch", "Read error"),
    ("fifo-weights", "Cannot open weights"),
    ("huge-arch", "architecture files are limited to 67108864 bytes"),
    ("sparse-index", "declares 67108864 tensors; their index would need"),
])
def test_hostile_files_fail_fast(tmp_path, case, message):
    arch, weights = small_model(tmp_path)
    if case.startswith("fifo"):
        fifo = str(tmp_path / "fifo")
        os.mkfifo(fifo)
        arch, weights = (fifo, weights) if case == "fifo-arch" else (arch, fifo)
    elif case == "huge-arch":
        arch = str(tmp_path / "huge.json")
        with open(arch, "wb") as f:
            f.truncate(65 << 20)
    else:
        weights = str(tmp_path / "sparse.bin")
        with open(weights, "wb") as f:
            f.write(b"W1X1" + struct.pack("<II", 1, 1 << 26))
            f.truncate(12 + 80 * (1 << 26))
    code = (f"import model_inference as mi\ntry: mi.InferenceModel({arch!r}, {weights!r})\n"
            f"except RuntimeError as e: print(e)\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20)
    assert message in r.stdout, (r.stdout, r.stderr)


def test_partial_and_wrong_inputs_raise(tmp_path):
    b = ModelBuilder("two")
    b.input("a", [4])
    b.input("b", [4])
    b.output(b.node("add_fp32", ["a", "b"]))
    arch, weights = str(tmp_path / "t.json"), str(tmp_path / "t.bin")
    b.save(arch, weights)
    m = mi.InferenceModel(arch, weights)
    x = np.ones(4, np.float32)
    np.testing.assert_array_equal(list(m.forward({"a": x, "b": x}).values())[0], np.full(4, 2.0))
    cases = [(lambda: m.forward({"a": x}), RuntimeError, "every declared input must be passed; missing: 'b'"),
             (lambda: m.forward(x), RuntimeError, "this model has 2 inputs \\('a', 'b'\\); pass them all by name"),
             (lambda: m.forward({"a": x, "b": "text"}), TypeError, "input 'b' takes a numeric array"),
             (lambda: m.forward({"a": x, "b": np.broadcast_to(np.float64(1), (1 << 40,))}), RuntimeError,
              "input 'b': cannot convert the float64 array to float32: MemoryError")]
    for call, kind, message in cases:
        with pytest.raises(kind, match=message):
            call()
