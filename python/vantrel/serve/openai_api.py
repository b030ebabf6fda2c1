"""OpenAI-style text routes: completions and chat completions (with
server-sent-event streaming) on decoders, embeddings on sentence encoders.
Generation and embedding are the package's own front ends
(``vantrel.generation.Generator``, ``vantrel.embeddings.SentenceEncoder``)."""

from __future__ import annotations

import asyncio
import base64
import json
import threading
import time
import uuid

import numpy as np

from vantrel.serve.models import ServedModel, ServeError

__all__ = ["chat_events", "chat_messages", "completion_events", "completion_options",
           "completion_prompt", "embed_group", "embedding_response", "embedding_texts",
           "finish_reason", "new_id", "run_generation", "sse_stream"]


def _bad(message: str) -> ServeError:
    return ServeError(400, message)


def _number(body: dict, key: str, default, lo=None, hi=None, integer=False):
    v = body.get(key)
    if v is None:
        return default
    ok = isinstance(v, int) if integer else isinstance(v, (int, float))
    if not ok or isinstance(v, bool) or (lo is not None and v < lo) or (hi is not None and v > hi):
        rng = f" in [{lo}, {hi}]" if hi is not None else (f" >= {lo}" if lo is not None else "")
        raise _bad(f"'{key}' must be {'an integer' if integer else 'a number'}{rng}, got {v!r}")
    return v


_UNSUPPORTED = ("logprobs", "top_logprobs", "echo", "suffix", "best_of", "logit_bias", "tools",
                "functions", "response_format")


def completion_options(body: dict, default_max_tokens: int = 16) -> dict:
    """Generator keyword arguments from a request's sampling fields."""
    for key in _UNSUPPORTED:
        if body.get(key) not in (None, False, 0, [], {}):
            raise _bad(f"'{key}' is not supported by this server")
    if _number(body, "n", 1, integer=True) != 1:
        raise _bad("'n' must be 1: one choice per request")
    stop = body.get("stop")
    if isinstance(stop, str):
        stop = [stop]
    if stop is not None and not (isinstance(stop, list) and all(isinstance(s, str) for s in stop)
                                 and len(stop) <= 4):
        raise _bad("'stop' must be a string or a list of at most 4 strings")
    max_tokens = body.get("max_completion_tokens", body.get("max_tokens"))
    return {"max_new_tokens": _number({"max_tokens": max_tokens}, "max_tokens", default_max_tokens, 1,
                                      integer=True),
            "temperature": float(_number(body, "temperature", 1.0, 0, 2)),
            "top_k": _number(body, "top_k", 0, 0, integer=True),
            "top_p": float(_number(body, "top_p", 1.0, 0, 1)),
            "stop": stop or None,
            "seed": _number(body, "seed", None, integer=True)}


def completion_prompt(body: dict) -> str:
    """The one text prompt of a completions request."""
    p = body.get("prompt")
    if isinstance(p, list) and len(p) == 1:
        p = p[0]
    if not isinstance(p, str):
        raise _bad("'prompt' must be a string (one prompt per request)")
    return p


def chat_messages(body: dict) -> list[dict]:
    """The request's messages as [{"role", "content"}] with text content."""
    msgs = body.get("messages")
    if not isinstance(msgs, list) or not msgs:
        raise _bad("'messages' must be a non-empty list")
    out = []
    for i, msg in enumerate(msgs):
        if not isinstance(msg, dict) or not isinstance(msg.get("role"), str):
            raise _bad(f"messages[{i}] must be an object with a 'role'")
        content = msg.get("content")
        if isinstance(content, list):  # content parts: only text ones
            if not all(isinstance(p, dict) and p.get("type") == "text" and isinstance(p.get("text"), str)
                       for p in content):
                raise _bad(f"messages[{i}]: only text content parts are supported")
            content = "".join(p["text"] for p in content)
        if not isinstance(content, str):
            raise _bad(f"messages[{i}] must have text 'content'")
        out.append({"role": msg["role"], "content": content})
    return out


def finish_reason(gen, usage: dict, max_new_tokens: int) -> str:
    """"stop" or "length": the generator's own word, else read from the token count."""
    reason = getattr(gen, "last_finish_reason", None) or usage.get("finish_reason")
    if reason in ("stop", "length"):
        return reason
    return "length" if usage.get("completion_tokens", 0) >= max_new_tokens else "stop"


def _usage(gen) -> dict:
    u = dict(getattr(gen, "last_usage", None) or {})
    p, c = int(u.get("prompt_tokens", 0)), int(u.get("completion_tokens", 0))
    return {"prompt_tokens": p, "completion_tokens": c, "total_tokens": p + c}


def run_generation(m: ServedModel, prompt, opts: dict) -> tuple[str, dict, str]:
    """(text, usage, finish reason); one generation at a time per model."""
    with m.lock:
        text = m.generator.generate(prompt, **opts)
        usage = _usage(m.generator)
        return text, usage, finish_reason(m.generator, usage, opts["max_new_tokens"])


async def sse_stream(m: ServedModel, prompt, opts: dict, chunk, final, include_usage: bool):
    """Server-sent events of a streamed generation.

    The generator runs in a worker thread and hands pieces to the event loop;
    ``chunk(piece)`` and ``final(reason, usage)`` build the event objects. A
    client that goes away stops the generation at its next piece."""
    loop = asyncio.get_running_loop()
    q: asyncio.Queue = asyncio.Queue()
    stop = threading.Event()

    def produce():
        try:
            with m.lock:
                for piece in m.generator.stream(prompt, **opts):
                    if stop.is_set():
                        return
                    loop.call_soon_threadsafe(q.put_nowait, ("piece", piece))
                usage = _usage(m.generator)
                reason = finish_reason(m.generator, usage, opts["max_new_tokens"])
            loop.call_soon_threadsafe(q.put_nowait, ("end", (reason, usage)))
        except Exception as e:  # reported in the stream: the status line is gone
            loop.call_soon_threadsafe(q.put_nowait, ("error", str(e) or type(e).__name__))

    worker = loop.run_in_executor(None, produce)
    try:
        while True:
            kind, value = await q.get()
            if kind == "piece":
                yield _event(chunk(value))
            elif kind == "end":
                for ev in final(*value, include_usage):
                    yield _event(ev)
                yield "data: [DONE]\n\n"
                return
            else:
                yield _event({"error": {"message": value, "type": "server_error", "code": 500}})
                return
    finally:
        stop.set()
        await asyncio.shield(worker)  # the model lock is free again before the next request


def _event(obj) -> str:
    return f"data: {json.dumps(obj)}\n\n"


def new_id(prefix: str) -> str:
    """A fresh response id such as ``cmpl-...``."""
    return f"{prefix}-{uuid.uuid4().hex[:24]}"


def completion_events(model: str, rid: str):
    """(chunk, final) event builders of a streamed text completion."""
    created = int(time.time())

    def chunk(piece):
        return {"id": rid, "object": "text_completion", "created": created, "model": model,
                "choices": [{"index": 0, "text": piece, "logprobs": None, "finish_reason": None}]}

    def final(reason, usage, include_usage):
        last = chunk("")
        last["choices"][0]["finish_reason"] = reason
        evs = [last]
        if include_usage:
            evs.append({"id": rid, "object": "text_completion", "created": created, "model": model,
                        "choices": [], "usage": usage})
        return evs
    return chunk, final


def chat_events(model: str, rid: str):
    """(chunk, final) event builders of a streamed chat completion; the first
    chunk carries the assistant role."""
    created = int(time.time())
    first = [True]

    def base(delta, reason=None):
        return {"id": rid, "object": "chat.completion.chunk", "created": created, "model": model,
                "choices": [{"index": 0, "delta": delta, "logprobs": None, "finish_reason": reason}]}

    def chunk(piece):
        delta = {"content": piece}
        if first[0]:
            delta["role"] = "assistant"
            first[0] = False
        return base(delta)

    def final(reason, usage, include_usage):
        evs = [base({}, reason)]
        if include_usage:
            u = base({})
            u["choices"], u["usage"] = [], usage
            evs.append(u)
        return evs
    return chunk, final


def embedding_texts(body: dict) -> list[str]:
    """The texts of an embeddings request."""
    x = body.get("input")
    if isinstance(x, str):
        x = [x]
    if not isinstance(x, list) or not x:
        raise _bad("'input' must be a string or a non-empty list of strings")
    if not all(isinstance(t, str) for t in x):
        raise _bad("'input' must hold text; token-id input is not supported")
    if any(not t for t in x):
        raise _bad("'input' holds an empty string")
    return x


def embed_group(m: ServedModel, items: list[list[str]]) -> list[tuple[np.ndarray, int]]:
    """One encoder run over the texts of several requests; per request its
    (unit-length vectors, token count)."""
    texts = [t for item in items for t in item]
    vecs = np.asarray(m.encoder.encode(texts, normalize=True), np.float32)
    try:
        tokens = [len(ids) for ids in m.tokenizer(texts)["input_ids"]]
    except Exception:
        tokens = [0] * len(texts)
    out, start = [], 0
    for item in items:
        out.append((vecs[start:start + len(item)], sum(tokens[start:start + len(item)])))
        start += len(item)
    return out


def embedding_response(model: str, vecs: np.ndarray, tokens: int, encoding: str) -> dict:
    """The embeddings answer, vectors as float lists or base64 of little-endian float32."""
    data = []
    for i, v in enumerate(vecs):
        emb = (base64.b64encode(np.asarray(v, "<f4").tobytes()).decode() if encoding == "base64"
               else [float(x) for x in v])
        data.append({"object": "embedding", "index": i, "embedding": emb})
    return {"object": "list", "data": data, "model": model,
            "usage": {"prompt_tokens": tokens, "total_tokens": tokens}}
