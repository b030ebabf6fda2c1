"""Decoder-only language models (Llama layout) to vantrel files.

:func:`decoder_to_builder` takes a module or state dict in the layout of
:class:`vantrel.models.transformer.TinyDecoder` (``embed``, ``layers.N.attn_norm``,
``layers.N.attn.{q,k,v,o}``, ``layers.N.mlp_norm``,
``layers.N.mlp.{gate,up,down}``, ``norm``, ``lm_head``) or of a Hugging Face
``LlamaForCausalLM`` (``model.embed_tokens``, ``model.layers.N.self_attn.q_proj``,
...), and builds, per layer:

    rms_norm -> seqgemm q|k|v -> causal_attn_core (rotary encoding,
    grouped KV heads, KV cache) -> seqgemm o -> add ->
    rms_norm -> seqgemm gate|up -> swiglu -> seqgemm down -> add

(q|k|v and gate|up are one product over the parts' stacked rows; parts of
which only some have a bias run as separate products instead).

then a final rms_norm and the ``lm_head`` product. The input ``ids`` takes
T token ids as float32 of shape [T, 1]; the output ``logits`` holds [T][vocab]
values. Run a whole sequence with ``forward`` or decode with
``forward_step`` (a prompt, then one token at a time); the key/value cache
holds ``max_seq_len`` positions. Projections without a bias are emitted
without one; a missing ``lm_head`` (or one equal to the embedding table)
uses the tied embedding table, stored once in the weights file.
"""

from __future__ import annotations

import re
from typing import Mapping

import numpy as np

from vantrel.convert.core import ConversionError, report_progress
from vantrel.model_file import ModelBuilder

__all__ = ["decoder_to_builder", "quantize_groups"]

# Hugging Face Llama names -> this module's names.
_LLAMA_NAMES = [
    (r"^model\.embed_tokens\.", "embed."),
    (r"^model\.norm\.", "norm."),
    (r"^model\.layers\.(\d+)\.input_layernorm\.", r"layers.\1.attn_norm."),
    (r"^model\.layers\.(\d+)\.post_attention_layernorm\.", r"layers.\1.mlp_norm."),
    (r"^model\.layers\.(\d+)\.self_attn\.([qkvo])_proj\.", r"layers.\1.attn.\2."),
    (r"^model\.layers\.(\d+)\.mlp\.(gate|up|down)_proj\.", r"layers.\1.mlp.\2."),
]


def _from_llama_names(sd: Mapping[str, object]) -> dict:
    out = {}
    for key, value in sd.items():
        for pattern, repl in _LLAMA_NAMES:
            new, n = re.subn(pattern, repl, key)
            if n:
                key = new
                break
        out[key] = value
    return out


def _f32(a) -> np.ndarray:
    if hasattr(a, "detach"):
        a = a.detach().cpu().float().numpy()
    return np.ascontiguousarray(np.asarray(a, dtype=np.float32))


def quantize_groups(w: np.ndarray, group: int) -> tuple[np.ndarray, np.ndarray]:
    """Symmetric int8 codes of float rows ``w`` [n][k] with one scale per
    ``group`` weights of a row (the last group of a row may be shorter):
    scale = amax / 127, code = round-half-away(w * 127 / amax) in [-127, 127];
    an all-zero group gets scale 0. Returns (codes [n][k], scales
    [n][ceil(k / group)])."""
    w = np.asarray(w, np.float32)
    n, k = w.shape
    groups = -(-k // group)
    padded = np.zeros((n, groups * group), np.float32)
    padded[:, :k] = w
    blocks = padded.reshape(n, groups, group)
    amax = np.abs(blocks).max(axis=2)
    live = amax > np.float32(1e-8)
    inv = np.where(live, np.float32(127) / np.where(live, amax, 1), 0).astype(np.float32)
    scales = np.where(live, amax * np.float32(0.007874016), 0).astype(np.float32)
    v = blocks * inv[:, :, None]
    q = np.clip(np.sign(v) * np.floor(np.abs(v) + np.float32(0.5)), -127, 127)
    return q.reshape(n, -1)[:, :k].astype(np.int8), scales


def _module_config(model) -> dict:
    cfg = {}
    hf = getattr(model, "config", None)
    for ours, theirs in (("q_heads", "num_attention_heads"), ("kv_heads", "num_key_value_heads"),
                         ("rope_theta", "rope_theta"), ("eps", "rms_norm_eps")):
        if hasattr(model, ours):
            cfg[ours] = getattr(model, ours)
        elif getattr(hf, theirs, None) is not None:
            cfg[ours] = getattr(hf, theirs)
    act = getattr(hf, "hidden_act", "silu")
    if act != "silu":
        raise ConversionError(f"hidden_act {act!r} is not supported (the MLP is SwiGLU with silu)")
    rope = getattr(hf, "rope_parameters", None)  # newer configs keep theta here
    if "rope_theta" not in cfg and isinstance(rope, Mapping):
        if rope.get("rope_type", "default") != "default":
            raise ConversionError(f"rope_type {rope['rope_type']!r} is not supported "
                                  "(only the default rotary encoding)")
        if "rope_theta" in rope:
            cfg["rope_theta"] = rope["rope_theta"]
    return cfg


def decoder_to_builder(model_or_state_dict, q_heads: int | None = None,
                       kv_heads: int | None = None, rope_theta: float | None = None,
                       eps: float | None = None, max_seq_len: int = 2048,
                       name: str = "decoder", progress: bool = False,
                       step_int8: bool = False, weights: str = "float32",
                       group_size: int = 32) -> ModelBuilder:
    """Build a vantrel decoder from a module or its state dict.

    ``q_heads``, ``kv_heads``, ``rope_theta`` and ``eps`` are read from a
    module (its attributes or a Hugging Face ``config``) and must be given
    with a bare state dict (``rope_theta`` defaults to 10000, ``eps`` to
    1e-6). ``max_seq_len`` is the key/value cache capacity of every causal
    attention node. ``progress`` prints one line per layer to stderr.
    ``step_int8`` makes one-token steps multiply with per-row int8 weight
    copies and an int8-quantised activation row: faster, but its logits
    drift from the full pass by several percent on real models (off, a
    step computes exactly what the full pass computes for that position).
    ``weights="int8"`` stores every projection and the head as int8 codes with
    one float scale per ``group_size`` weights of a row (``seqgemm_w8``):
    a quarter of the bytes to read per token, activations stay float32.
    The embedding table stays float32; a tied head reads it and quantises
    it at load.
    Raises :class:`ConversionError` for shapes the graph cannot take.
    """
    if hasattr(model_or_state_dict, "state_dict"):
        cfg = _module_config(model_or_state_dict)
        sd = dict(model_or_state_dict.state_dict())
    else:
        cfg, sd = {}, dict(model_or_state_dict)
    if "model.embed_tokens.weight" in sd:
        sd = _from_llama_names(sd)

    hq = int(q_heads if q_heads is not None else cfg.get("q_heads", 0))
    hkv = int(kv_heads if kv_heads is not None else cfg.get("kv_heads", 0) or hq)
    theta = float(rope_theta if rope_theta is not None else cfg.get("rope_theta", 10000.0))
    eps = float(eps if eps is not None else cfg.get("eps", 1e-6))
    if int(max_seq_len) < 1:
        raise ConversionError(f"max_seq_len={max_seq_len} must be at least 1")

    def get(key):
        if key not in sd:
            raise ConversionError(f"state dict has no '{key}'")
        return _f32(sd[key])

    table = get("embed.weight")
    if table.ndim != 2:
        raise ConversionError(f"embed.weight has shape {table.shape}; expected [vocab, dim]")
    vocab, dim = table.shape
    if hq < 1 or hkv < 1 or dim % hq or hq % hkv:
        raise ConversionError(
            f"q_heads={hq}, kv_heads={hkv}: both must be at least 1, q_heads must divide "
            f"dim={dim} and kv_heads must divide q_heads")
    d = dim // hq
    depth = 1 + max((int(m.group(1)) for k in sd if (m := re.match(r"layers\.(\d+)\.", k))),
                    default=-1)
    if theta <= 0 or not np.isfinite(theta):
        raise ConversionError(f"rope_theta={theta} must be finite and positive")

    if weights not in ("float32", "int8"):
        raise ConversionError(f"weights={weights!r}: expected 'float32' or 'int8'")
    if int(group_size) < 8 or int(group_size) % 8:
        raise ConversionError(f"group_size={group_size} must be a positive multiple of 8")
    int8 = weights == "int8"
    step = {"step_int8": True} if step_int8 and not int8 else {}
    b = ModelBuilder(name)
    x = b.input("ids", [0, 1])
    x = b.node("embedding_fp32", [x], name="embed", num_embeddings=vocab, embedding_dim=dim)
    b.weight("embed.weight", table)

    def norm(x, node):
        g = get(f"{node}.weight")
        if g.shape != (dim,):
            raise ConversionError(f"{node}.weight has shape {g.shape}; expected ({dim},)")
        out = b.node("rms_norm_fp32", [x], name=node, eps=eps)
        b.weight(f"{node}.gamma", g)
        return out

    def linear(x, node, n_in, n_out):
        w = get(f"{node}.weight")
        if w.shape != (n_out, n_in):
            raise ConversionError(f"{node}.weight has shape {w.shape}; expected ({n_out}, {n_in})")
        out = product(x, node, n_in, n_out)
        store(node, w)
        if f"{node}.bias" in sd:
            b.weight(f"{node}.bias", get(f"{node}.bias"))
        return out

    def packed(x, node, parts, n_in):
        """One product whose rows are those of every part in turn (fewer,
        larger products: each output is the same dot product either way).
        None when the parts' biases are not all present or all absent."""
        has_bias = [f"{name}.bias" in sd for name, _ in parts]
        if any(has_bias) and not all(has_bias):
            return None
        ws = []
        for name, n_out in parts:
            w = get(f"{name}.weight")
            if w.shape != (n_out, n_in):
                raise ConversionError(f"{name}.weight has shape {w.shape}; expected ({n_out}, {n_in})")
            ws.append(w)
        w = np.concatenate(ws, axis=0)
        out = product(x, node, n_in, w.shape[0])
        store(node, w)
        if all(has_bias):
            b.weight(f"{node}.bias", np.concatenate([get(f"{name}.bias") for name, _ in parts]))
        return [out]

    def product(x, node, n_in, n_out, output=None):
        if int8:
            return b.node("seqgemm_w8", [x], output, name=node, C_in=n_in, C_out=n_out,
                          group_size=int(group_size))
        return b.node("seqgemm_fp32", [x], output, name=node, C_in=n_in, C_out=n_out, **step)

    def store(node, w):
        if int8:
            q, scales = quantize_groups(w, int(group_size))
            b.weight(f"{node}.weight_i8", q)
            b.weight(f"{node}.w_scales", scales)
        else:
            b.weight(f"{node}.weight", w)

    for i in range(depth):
        report_progress(progress, "layer", i + 1, depth)
        p = f"layers.{i}"
        h = norm(x, f"{p}.attn_norm")
        qkv = packed(h, f"{p}.attn.qkv", [(f"{p}.attn.{n}", w) for n, w in
                                           (("q", hq * d), ("k", hkv * d), ("v", hkv * d))], dim)
        if qkv is None:
            qkv = [linear(h, f"{p}.attn.q", dim, hq * d), linear(h, f"{p}.attn.k", dim, hkv * d),
                   linear(h, f"{p}.attn.v", dim, hkv * d)]
        a = b.node("causal_attn_core_fp32", qkv, name=f"{p}.attn.core", num_q_heads=hq,
                   num_kv_heads=hkv, head_dim=d, rope_theta=theta, max_seq_len=int(max_seq_len))
        a = linear(a, f"{p}.attn.o", hq * d, dim)
        x = b.node("add_fp32", [x, a], name=f"{p}.attn_add")
        h = norm(x, f"{p}.mlp_norm")
        gate = get(f"{p}.mlp.gate.weight")
        ffn = gate.shape[0]
        gu = packed(h, f"{p}.mlp.gate_up", [(f"{p}.mlp.gate", ffn), (f"{p}.mlp.up", ffn)], dim)
        if gu is not None:
            m = b.node("swiglu_fp32", gu, name=f"{p}.mlp.swiglu")
        else:
            g = b.node("silu_fp32", [linear(h, f"{p}.mlp.gate", dim, ffn)], name=f"{p}.mlp.silu")
            u = linear(h, f"{p}.mlp.up", dim, ffn)
            m = b.node("elemwise_mul_fp32", [g, u], name=f"{p}.mlp.mul")
        x = b.node("add_fp32", [x, linear(m, f"{p}.mlp.down", ffn, dim)], name=f"{p}.mlp_add")
    x = norm(x, "norm")
    product(x, "lm_head", dim, vocab, "logits")
    w = get("lm_head.weight") if "lm_head.weight" in sd else table
    if w.shape != (vocab, dim):
        raise ConversionError(f"lm_head.weight has shape {w.shape}; expected ({vocab}, {dim})")
    if w is table or np.array_equal(w, table):
        # A tied head is the embedding table itself: one record in the file
        # (the int8 head quantises it at load).
        b.weight("lm_head.weight", table)
    else:
        store("lm_head", w)
    if "lm_head.bias" in sd:
        b.weight("lm_head.bias", get("lm_head.bias"))
    b.output("logits")
    return b

