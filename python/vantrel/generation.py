"""Text generation with a converted decoder language model.

:class:`Generator` pairs an ``InferenceModel`` built by
:func:`vantrel.convert.decoder.decoder_to_builder` with the model's own
Hugging Face tokenizer. A call runs the prompt through the key/value cache in
one step, then one token per step: greedy (``temperature=0``, the default) or
sampled from the softmax of ``logits / temperature`` restricted to the
``top_k`` most likely tokens and then to the smallest set whose probability
reaches ``top_p``. Generation ends at an end-of-sequence token or at a stop
string (finish reason ``"stop"``; neither is part of the text) or after
``max_new_tokens`` tokens or when the cache is full (``"length"``).

Example::

    gen = Generator.from_pretrained(folder, gguf_file="SmolLM2-135M-Instruct.Q4_1.gguf")
    print(gen.generate([{"role": "user", "content": "Name three colours."}],
                       max_new_tokens=40))
    for piece in gen.stream("Once upon a time", temperature=0.8, top_p=0.9, seed=1):
        print(piece, end="", flush=True)
"""

from __future__ import annotations

import math
import numbers
import threading
from pathlib import Path
from typing import Iterable, Iterator, Sequence

import numpy as np

__all__ = ["Generator", "TextStream", "sample_token"]

INT8_MODES = {False: None, None: None, True: "weights", "weights": "weights", "step": "step"}


def sample_token(logits: np.ndarray, temperature: float = 0.0, top_k: int = 0,
                 top_p: float = 1.0, rng: np.random.Generator | None = None) -> int:
    """The next token from one position's ``logits``: the arg-max when
    ``temperature`` is 0, else a draw from ``rng`` out of the softmax of
    ``logits / temperature`` kept to the ``top_k`` largest (0: all; ties with
    the k-th are kept) and then to the most likely tokens whose probability
    reaches ``top_p`` (at least one)."""
    if temperature == 0:
        return int(np.argmax(logits))
    z = np.asarray(logits, np.float64) / temperature
    if 0 < top_k < z.size:
        z[z < np.partition(z, -top_k)[-top_k]] = -np.inf
    p = np.exp(z - z.max())
    if top_p < 1.0:
        order = np.argsort(-p, kind="stable")
        sorted_p = p[order]
        before = np.cumsum(sorted_p) - sorted_p  # mass of the more likely tokens
        drop = before >= top_p * sorted_p.sum()
        drop[0] = False
        p[order[drop]] = 0.0
    cdf = np.cumsum(p)
    u = (rng if rng is not None else np.random.default_rng()).random() * cdf[-1]
    return int(min(np.searchsorted(cdf, u, side="right"), p.size - 1))


def _check_options(max_new_tokens, temperature, top_k, top_p, stop, seed) -> list[str]:
    def is_int(v):
        return isinstance(v, numbers.Integral) and not isinstance(v, bool)

    if not is_int(max_new_tokens) or max_new_tokens < 0:
        raise ValueError(f"max_new_tokens={max_new_tokens!r}: expected an integer >= 0")
    if (not isinstance(temperature, numbers.Real) or isinstance(temperature, bool)
            or not math.isfinite(temperature) or temperature < 0):
        raise ValueError(f"temperature={temperature!r}: expected a finite number >= 0 "
                         "(0 picks the most likely token)")
    if not is_int(top_k) or top_k < 0:
        raise ValueError(f"top_k={top_k!r}: expected an integer >= 0 (0 keeps every token)")
    if (not isinstance(top_p, numbers.Real) or isinstance(top_p, bool)
            or not 0 < top_p <= 1):
        raise ValueError(f"top_p={top_p!r}: expected a number in (0, 1]")
    if seed is not None and not is_int(seed):
        raise ValueError(f"seed={seed!r}: expected an integer or None")
    if stop is None:
        return []
    stops = [stop] if isinstance(stop, str) else list(stop)
    if not all(isinstance(s, str) and s for s in stops):
        raise ValueError(f"stop={stop!r}: expected a non-empty string or a list of them")
    return stops


def _held_back(text: str, stops: Sequence[str]) -> int:
    """Characters at the end of ``text`` that could begin a stop string."""
    for n in range(min(len(text), max(map(len, stops)) - 1), 0, -1):
        tail = text[-n:]
        if any(s.startswith(tail) for s in stops):
            return n
    return 0


class TextStream:
    """The iterator :meth:`Generator.stream` returns: text pieces, then, once
    it is exhausted (or closed), ``usage`` and ``finish_reason`` of this
    call (``None`` before)."""

    def __init__(self, pieces: Iterator[str]):
        self._pieces = pieces
        self.usage: dict[str, int] | None = None
        self.finish_reason: str | None = None

    def __iter__(self) -> "TextStream":
        return self

    def __next__(self) -> str:
        return next(self._pieces)

    def close(self) -> None:
        """Stop generating (the generator is free for the next call)."""
        self._pieces.close()


class Generator:
    """Generate text with a decoder ``model`` (an ``InferenceModel`` with
    input ``ids``, output ``logits`` and a key/value cache) and its
    transformers ``tokenizer``.

    ``eos_token_ids`` (an id or a list of ids) end generation; by default the
    tokenizer's ``eos_token_id``. After each call ``last_usage`` holds
    ``{"prompt_tokens", "completion_tokens", "total_tokens"}`` (the completion
    counts an end-of-sequence token it produced) and ``last_finish_reason`` is
    ``"stop"`` or ``"length"``, both for the calling thread's last call (a
    :class:`TextStream` carries its own). One call runs at a time on a
    generator (calls from other threads wait); ``stream`` holds it until its
    iterator ends or is closed.
    """

    def __init__(self, model, tokenizer, *, eos_token_ids=None):
        for attr in ("forward_step", "reset_cache", "cache_capacity"):
            if not hasattr(model, attr):
                raise TypeError(f"model must be a model_inference.InferenceModel of a decoder "
                                f"(it has no {attr!r}); got {type(model).__name__}")
        if not callable(tokenizer) or not hasattr(tokenizer, "decode"):
            raise TypeError(f"tokenizer must be a transformers tokenizer; got "
                            f"{type(tokenizer).__name__}")
        self.model = model
        self.tokenizer = tokenizer
        if eos_token_ids is None:
            eos_token_ids = getattr(tokenizer, "eos_token_id", None)
        if eos_token_ids is None:
            eos_token_ids = []
        elif isinstance(eos_token_ids, numbers.Integral):
            eos_token_ids = [eos_token_ids]
        self.eos_token_ids = frozenset(int(i) for i in eos_token_ids)
        self._lock = threading.Lock()
        self._last = threading.local()

    @property
    def last_usage(self) -> dict[str, int] | None:
        """Token counts of this thread's last call: prompt, completion and total."""
        return getattr(self._last, "usage", None)

    @property
    def last_finish_reason(self) -> str | None:
        """Why this thread's last call ended: ``"stop"`` or ``"length"``."""
        return getattr(self._last, "finish_reason", None)

    @classmethod
    def from_pretrained(cls, path_or_dir, *, gguf_file: str | None = None, int8=False,
                        max_seq_len: int | None = None, group_size: int = 32,
                        progress: bool = False) -> "Generator":
        """Convert a Hugging Face Llama-layout causal language model and load
        its tokenizer: a model folder, or a GGUF file (``path_or_dir`` the
        ``.gguf`` itself, or its folder plus ``gguf_file``; transformers
        dequantises it to float32).

        ``int8``: ``False`` (float32), ``"weights"`` (or ``True``: int8
        weights with one scale per ``group_size``, float32 activations) or
        ``"step"`` (one-token steps with int8 weights and int8 activations;
        fastest, drifts most). ``max_seq_len`` is the cache capacity
        (default: the model's position limit, at most 2048).
        """
        import torch

        from vantrel._hf import import_transformers, load_builder
        from vantrel.convert.decoder import decoder_to_builder

        if int8 not in INT8_MODES:
            raise ValueError(f"int8={int8!r}: expected False, 'weights' (or True) or 'step'")
        mode = INT8_MODES[int8]
        path = Path(path_or_dir)
        if gguf_file is None and path.suffix.lower() == ".gguf":
            path, gguf_file = path.parent, path.name
        if not path.exists():
            raise FileNotFoundError(f"no model folder or file at {path_or_dir}")
        transformers = import_transformers()
        extra = {"gguf_file": gguf_file} if gguf_file else {}
        tokenizer = transformers.AutoTokenizer.from_pretrained(str(path), **extra)
        net = transformers.AutoModelForCausalLM.from_pretrained(
            str(path), dtype=torch.float32, **extra).eval()
        if max_seq_len is None:
            max_seq_len = min(2048, int(getattr(net.config, "max_position_embeddings", 2048)))
        builder = decoder_to_builder(net, max_seq_len=max_seq_len, progress=progress,
                                     weights="int8" if mode == "weights" else "float32",
                                     step_int8=mode == "step", group_size=group_size)
        eos = net.generation_config.eos_token_id
        if eos is None:
            eos = tokenizer.eos_token_id
        del net
        return cls(load_builder(builder), tokenizer, eos_token_ids=eos)

    # -- prompts ---------------------------------------------------------

    def prompt_ids(self, prompt) -> list[int]:
        """Token ids of a prompt: a string (tokenised with the tokenizer's
        special tokens, e.g. a leading BOS) or chat messages (a list of
        ``{"role", "content"}`` dicts, rendered by the tokenizer's chat
        template with the assistant's turn opened)."""
        tok = self.tokenizer
        if isinstance(prompt, str):
            ids = tok(prompt)["input_ids"]
        elif isinstance(prompt, (list, tuple)) and all(isinstance(m, dict) for m in prompt):
            if not prompt:
                raise ValueError("the chat has no messages")
            if not getattr(tok, "chat_template", None):
                raise ValueError("the tokenizer has no chat template; pass the prompt as a string")
            text = tok.apply_chat_template(list(prompt), add_generation_prompt=True,
                                           tokenize=False)
            ids = tok(text, add_special_tokens=False)["input_ids"]
        else:
            raise TypeError("prompt must be a string or a list of chat messages "
                            f"({{'role': ..., 'content': ...}} dicts); got {type(prompt).__name__}")
        if not ids:
            raise ValueError("the prompt gives no tokens")
        return [int(i) for i in ids]

    # -- generation ------------------------------------------------------

    def generate(self, prompt, *, max_new_tokens: int = 64, temperature: float = 0.0,
                 top_k: int = 0, top_p: float = 1.0, stop: Iterable[str] | None = None,
                 seed: int | None = None) -> str:
        """The generated text (without the prompt, the end-of-sequence token
        or the stop string)."""
        return "".join(self.stream(prompt, max_new_tokens=max_new_tokens,
                                   temperature=temperature, top_k=top_k, top_p=top_p,
                                   stop=stop, seed=seed))

    def stream(self, prompt, *, max_new_tokens: int = 64, temperature: float = 0.0,
               top_k: int = 0, top_p: float = 1.0, stop: Iterable[str] | None = None,
               seed: int | None = None) -> TextStream:
        """Like :meth:`generate`, yielding the text in pieces as tokens are
        produced (text that may begin a stop string, or an incomplete
        character, waits for the next token); the pieces join to
        :meth:`generate`'s text."""
        stops = _check_options(max_new_tokens, temperature, top_k, top_p, stop, seed)
        ids = self.prompt_ids(prompt)
        stream = TextStream(iter(()))
        stream._pieces = self._run(ids, max_new_tokens, temperature, top_k, top_p, stops, seed,
                                   True, stream=stream)
        return stream

    def generate_ids(self, ids, *, max_new_tokens: int = 64, temperature: float = 0.0,
                     top_k: int = 0, top_p: float = 1.0, stop: Iterable[str] | None = None,
                     seed: int | None = None) -> list[int]:
        """The generated token ids after prompt ``ids`` (no end-of-sequence
        token; with ``stop`` strings, up to the token that completes one)."""
        stops = _check_options(max_new_tokens, temperature, top_k, top_p, stop, seed)
        arr = np.asarray(ids)
        if arr.ndim != 1 or arr.size == 0 or arr.dtype.kind not in "iu":
            raise ValueError(f"ids must be a non-empty 1-D sequence of integer token ids; got "
                             f"shape {arr.shape} of {arr.dtype}")
        out: list[int] = []
        for _ in self._run([int(i) for i in arr], max_new_tokens, temperature, top_k, top_p,
                           stops, seed, bool(stops), out):
            pass
        return out

    def _decode(self, ids: list[int]) -> str:
        return self.tokenizer.decode(ids, skip_special_tokens=True,
                                     clean_up_tokenization_spaces=False)

    def _run(self, ids, max_new_tokens, temperature, top_k, top_p, stops, seed, text,
             out=None, stream=None) -> Iterator[str]:
        model = self.model
        capacity = int(model.cache_capacity)
        if len(ids) > capacity:
            raise ValueError(f"the prompt has {len(ids)} tokens; the model's cache holds "
                             f"{capacity} positions")
        # Every token but the last is fed back: n tokens take n - 1 positions.
        budget = min(max_new_tokens, capacity - len(ids) + 1)
        rng = np.random.default_rng(seed)
        out = [] if out is None else out
        with self._lock:
            produced, finish, shown, at_stop_string = 0, "length", "", False
            self._last.usage = self._last.finish_reason = None
            try:
                if budget > 0:
                    model.reset_cache()
                    logits = model.forward_step(np.asarray(ids, np.float32)[:, None],
                                                last_only=True)
                for step in range(budget):
                    if not np.isfinite(logits).all():
                        raise RuntimeError(f"the model gave non-finite logits for generated "
                                           f"token {step}")
                    token = sample_token(logits, temperature, top_k, top_p, rng)
                    produced += 1
                    if token in self.eos_token_ids:
                        finish = "stop"
                        break
                    out.append(token)
                    if text:
                        full = self._decode(out)
                        cut = min((i for i in (full.find(s) for s in stops) if i >= 0),
                                  default=-1)
                        if cut >= 0:
                            finish, full, at_stop_string = "stop", full[:cut], True
                        elif full.endswith("\ufffd"):
                            full = ""  # a character split between tokens: wait
                        elif stops:
                            full = full[:len(full) - _held_back(full, stops)]
                        if len(full) > len(shown) and full.startswith(shown):
                            yield full[len(shown):]
                            shown = full
                        if at_stop_string:
                            break
                    if step + 1 < budget:
                        logits = model.forward_step(np.array([[token]], np.float32),
                                                    last_only=True)
                if text and not at_stop_string:  # what waited is final now
                    full = self._decode(out)
                    if len(full) > len(shown) and full.startswith(shown):
                        yield full[len(shown):]
            finally:
                usage = {"prompt_tokens": len(ids), "completion_tokens": produced,
                         "total_tokens": len(ids) + produced}
                self._last.usage, self._last.finish_reason = usage, finish
                if stream is not None:
                    stream.usage, stream.finish_reason = dict(usage), finish
