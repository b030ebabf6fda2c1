"""The models a server holds: loading, kind, tensor metadata and runs.

A model is named once, at start-up, as ``NAME=ARCH.json:WEIGHTS.bin`` or as
a directory of ``X.json``/``X.bin`` pairs (served as ``X``); requests only
ever name a loaded model. Its kind comes from the architecture's ops:

- ``decoder``: a causal attention core (text generation routes);
- ``encoder``: BERT embeddings (sentence embedding route);
- ``image``: anything else (tensor routes only).

Decoders and encoders need a tokenizer for the text routes: ``--tokenizer
NAME=DIR`` or a directory ``X.tokenizer`` next to ``X.json``.
"""

from __future__ import annotations

import json
import threading
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

__all__ = ["ModelSpec", "ServedModel", "ServeError", "TensorInfo", "find_model_specs",
           "load_model", "model_kind", "parse_model_arg"]

KINDS = ("image", "encoder", "decoder")
_DATATYPES = {"float32": "FP32", "int8": "INT8"}


class ServeError(Exception):
    """A request failure with its HTTP status; the message says what was wrong."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status
        self.message = message


@dataclass(frozen=True)
class ModelSpec:
    """Where one served model's files are."""
    name: str
    arch: str
    weights: str
    tokenizer: str | None = None


@dataclass(frozen=True)
class TensorInfo:
    """One input as the tensor protocol shows it: -1 marks a run-time size."""
    name: str
    datatype: str
    shape: tuple[int, ...]


def parse_model_arg(text: str) -> ModelSpec:
    """``NAME=ARCH.json:WEIGHTS.bin`` -> :class:`ModelSpec`."""
    name, eq, files = text.partition("=")
    arch, colon, weights = files.rpartition(":")
    if not (eq and colon and name and arch and weights):
        raise ValueError(f"model {text!r} must be given as NAME=ARCH.json:WEIGHTS.bin")
    tok = Path(arch).with_suffix(".tokenizer")
    return ModelSpec(name, arch, weights, str(tok) if tok.is_dir() else None)


def find_model_specs(directory: str) -> list[ModelSpec]:
    """The ``X.json``/``X.bin`` pairs of ``directory``, served as ``X``."""
    d = Path(directory)
    if not d.is_dir():
        raise ValueError(f"model directory {directory!r} does not exist")
    specs = []
    for arch in sorted(d.glob("*.json")):
        weights = arch.with_suffix(".bin")
        if weights.is_file():
            tok = arch.with_suffix(".tokenizer")
            specs.append(ModelSpec(arch.stem, str(arch), str(weights),
                                   str(tok) if tok.is_dir() else None))
    if not specs:
        raise ValueError(f"model directory {directory!r} holds no X.json/X.bin pair")
    return specs


def model_kind(arch_doc: dict) -> str:
    """``decoder``, ``encoder`` or ``image``, read from the ops of an architecture."""
    ops = {str(n.get("op", "")) for n in arch_doc.get("nodes", []) if isinstance(n, dict)}
    if any(op.startswith("causal_attn_core") for op in ops):
        return "decoder"
    if any(op.startswith("bert_embeddings") for op in ops):
        return "encoder"
    return "image"


def load_tokenizer(directory: str):
    """A Hugging Face tokenizer from ``directory``."""
    from transformers import AutoTokenizer
    return AutoTokenizer.from_pretrained(directory)


@dataclass
class ServedModel:
    """One loaded model: its engine object, kind, tokenizer and text front ends.

    ``engine`` is a ``model_inference.InferenceModel`` or anything with its
    ``inputs``, ``output_names`` and ``forward``. ``generator`` and
    ``encoder`` are the text front ends of decoders and encoders (None when
    this build or the model has none).
    """
    name: str
    kind: str
    engine: object
    tokenizer: object = None
    generator: object = None
    encoder: object = None
    text_api_missing: str | None = None
    batched_forward: bool = False
    lock: threading.Lock = field(default_factory=threading.Lock)

    def __post_init__(self):
        if self.kind not in KINDS:
            raise ValueError(f"model kind {self.kind!r} is not one of {', '.join(KINDS)}")
        self.inputs = [TensorInfo(s.name, _DATATYPES.get(s.dtype, s.dtype.upper()),
                                  tuple(-1 if d == 0 else int(d) for d in s.shape))
                       for s in self.engine.inputs]
        self.outputs = list(self.engine.output_names)
        self._dtypes = {s.name: s.dtype for s in self.engine.inputs}

    def run(self, samples: list[dict[str, np.ndarray]]) -> list[dict[str, np.ndarray]]:
        """Outputs (flat float32 arrays by name) of each sample, as one batched
        forward when the engine takes batches, else one forward each."""
        if self.batched_forward and len(samples) > 1:
            name = self.inputs[0].name
            y = np.asarray(self.engine.forward(np.stack([s[name] for s in samples])))
            rows = y.reshape(len(samples), -1)
            return [{self.outputs[0]: r} for r in rows]
        return [self._run_one(s) for s in samples]

    def _run_one(self, sample: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        # The array form keeps int8 data int8; the mapping form is float32 only.
        first = self.inputs[0].name
        if len(sample) == 1 and first in sample and (
                len(self.outputs) <= 1 or self._dtypes[first] == "int8"):
            return {(self.outputs or ["output"])[0]: np.asarray(self.engine.forward(sample[first]))}
        return {k: np.asarray(v) for k, v in self.engine.forward(sample).items()}

    def probe_batched_forward(self) -> bool:
        """Whether ``forward`` of an (N, ...) array gives the N separate results.

        Only single-input, single-output models of a fixed input shape can;
        an engine that ignores the leading dimension fails the comparison."""
        if len(self.inputs) != 1 or len(self.outputs) != 1 or -1 in self.inputs[0].shape:
            return False
        rng = np.random.default_rng(0)
        shape = self.inputs[0].shape
        if self._dtypes[self.inputs[0].name] == "int8":
            xs = rng.integers(-100, 100, (2, *shape)).astype(np.int8)
        else:
            xs = rng.standard_normal((2, *shape)).astype(np.float32)
        try:
            single = [np.asarray(self.engine.forward(x)).ravel() for x in xs]
            both = np.asarray(self.engine.forward(xs)).ravel()
        except Exception:
            return False
        return both.size == 2 * single[0].size and np.allclose(
            both.reshape(2, -1), np.stack(single), rtol=1e-3, atol=1e-4)


def _text_front_end(kind: str, engine, tokenizer):
    """(generator, encoder, why-missing) for a model of ``kind``."""
    if kind == "decoder":
        try:
            from vantrel.generation import Generator
        except ImportError:
            return None, None, ("model family not supported by this server build "
                                "(vantrel.generation is missing)")
        return Generator(engine, tokenizer), None, None
    if kind == "encoder":
        try:
            from vantrel.embeddings import SentenceEncoder
        except ImportError:
            return None, None, ("model family not supported by this server build "
                                "(vantrel.embeddings is missing)")
        return None, SentenceEncoder(engine, tokenizer), None
    return None, None, None


def load_model(spec: ModelSpec, probe: bool = True) -> ServedModel:
    """Load ``spec``'s files (and tokenizer) into a :class:`ServedModel`."""
    import model_inference as mi
    try:
        with open(spec.arch, encoding="utf-8") as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        raise ValueError(f"model {spec.name!r}: cannot read {spec.arch}: {e}") from e
    kind = model_kind(doc)
    engine = mi.InferenceModel(spec.arch, spec.weights)
    engine.set_profile_enabled(False)  # per-layer timing costs time on every request
    tokenizer = load_tokenizer(spec.tokenizer) if spec.tokenizer else None
    gen = enc = None
    missing = None
    if kind != "image":
        if tokenizer is None:
            missing = f"model '{spec.name}' has no tokenizer (start the server with --tokenizer {spec.name}=DIR)"
        else:
            gen, enc, missing = _text_front_end(kind, engine, tokenizer)
    m = ServedModel(spec.name, kind, engine, tokenizer, gen, enc, missing)
    if probe and kind == "image":
        m.batched_forward = m.probe_batched_forward()
    return m
