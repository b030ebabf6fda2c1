import os
import subprocess
import sys

import pytest

import model_inference as mi

MODULE_DOC = """Python bindings for the vantrel inference engine.

Quick start::

    import numpy as np, model_inference as mi
    model = mi.InferenceModel('model_defs/resnet50_fp32_arch.json',
                              'weights/resnet50_fp32.bin')
    logits = model.forward(np.zeros((224, 224, 3), dtype=np.float32))"""


def test_docstrings():
    assert mi.__doc__ == MODULE_DOC
    assert mi.set_backend.__doc__.rstrip("\n").endswith(
        "Select the active backend.\n\nArgs:\n    name: 'cpu' (default), 'cuda', or 'metal'\n\n"
        "Returns:\n    True if the backend was found and activated.")
    assert mi.active_backend.__doc__.rstrip("\n").endswith(
        "Return the name of the currently active backend ('cpu', 'cuda', or 'metal').")
    assert mi.set_backend.__doc__.startswith("set_backend(name: str = 'cpu') -> bool")


@pytest.mark.parametrize("name, found", [("cpu", True), ("cuda", False)])
def test_set_backend(name, found):
    assert mi.set_backend(name) is found
    assert mi.active_backend() == "cpu"
    assert mi.set_backend() is True


def _path_in_subprocess(value):
    env = dict(os.environ)
    if value is None:
        env.pop("VANTREL_KERNEL_PATH", None)
    else:
        env["VANTREL_KERNEL_PATH"] = value
    out = subprocess.run([sys.executable, "-c", "import model_inference as m; print(m._kernel_path())"],
                         env=env, capture_output=True, text=True, check=True)
    return out.stdout.strip(), out.stderr


def test_kernel_path_switch():
    supported = mi._supported_kernel_paths()
    assert "portable" in supported
    best, _ = _path_in_subprocess(None)
    assert best == supported[-1]
    assert _path_in_subprocess("portable")[0] == "portable"
    capped, _ = _path_in_subprocess("avx2")
    assert capped == ("avx2" if "avx2" in supported else "portable")
    fallback, err = _path_in_subprocess("sse9")
    assert fallback == best
    assert "VANTREL_KERNEL_PATH='sse9'" in err


def test_vantrel_package_beside_module():
    import vantrel
    assert vantrel.__version__
