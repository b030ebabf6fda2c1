"""Vision transformers (ViT) to vantrel files.

:func:`vit_to_builder` takes a pre-norm ViT classifier — a module or state
dict with timm's parameter names (``patch_embed.proj``, ``cls_token``,
``pos_embed``, ``blocks.N.norm1`` / ``attn.qkv`` / ``attn.proj`` /
``norm2`` / ``mlp.fc1`` / ``mlp.fc2``, ``norm``, ``head``), such as
:func:`vantrel.models.transformer.vit_s16` — and builds the engine graph:

    image [H, W, 3] -> conv (patch embedding) -> patch_prep (class token,
    position table) -> per block: layernorm -> attention -> add ->
    layernorm -> seqgemm (GELU) -> seqgemm -> add -> cls_extract ->
    layernorm -> gemm (head) -> logits

The final norm runs on the class token alone: it normalises each token on
its own, so this gives the same logits for a 197th of the work. The MLP's
GELU must be the tanh form (``nn.GELU(approximate="tanh")``), which is the
engine's. With ``int8=True`` the attention and MLP weights are stored as
per-row int8 codes with their scales (the activations are quantised on the
fly); the patch embedding and the head stay float32.
"""

from __future__ import annotations

import re

import numpy as np

from vantrel.convert.core import ConversionError, report_progress
from vantrel.model_file import ModelBuilder
from vantrel.quantize import quantize_rows

__all__ = ["vit_to_builder"]


def _f32(a) -> np.ndarray:
    if hasattr(a, "detach"):
        a = a.detach().cpu().numpy()
    return np.ascontiguousarray(np.asarray(a, dtype=np.float32))


def _module_config(model) -> dict:
    """Heads, eps and GELU form read from a module (a state dict has none)."""
    import torch.nn as nn

    cfg = {}
    blocks = getattr(model, "blocks", None)
    first = blocks[0] if blocks is not None and len(blocks) else None
    attn = getattr(first, "attn", None)
    for key in ("heads", "num_heads"):
        if hasattr(attn, key):
            cfg["num_heads"] = int(getattr(attn, key))
    norm = getattr(first, "norm1", None)
    if isinstance(norm, nn.LayerNorm):
        cfg["eps"] = float(norm.eps)
    for m in model.modules():
        if isinstance(m, nn.GELU) and m.approximate != "tanh":
            raise ConversionError(
                f"GELU(approximate={m.approximate!r}) is not supported: the engine's GELU "
                "is the tanh form (use approximate='tanh')")
    return cfg


def vit_to_builder(model_or_state_dict, num_heads: int | None = None, eps: float | None = None,
                   name: str = "vit", int8: bool = False, progress: bool = False) -> ModelBuilder:
    """Build a vantrel ViT classifier from a module or its state dict.

    The input ``image`` is one channels-last image [H, W, 3] (the PyTorch
    input (1, 3, H, W) permuted), at the size the position table was made
    for; the output ``logits`` holds the class scores. ``num_heads`` and
    ``eps`` are read from a module and must be given with a bare state
    dict (eps defaults to 1e-6). ``progress`` prints one line per block to
    stderr. Raises :class:`ConversionError` for
    shapes the graph cannot take.
    """
    if hasattr(model_or_state_dict, "state_dict"):
        cfg = _module_config(model_or_state_dict)
        sd = model_or_state_dict.state_dict()
    else:
        cfg, sd = {}, dict(model_or_state_dict)
    heads = int(num_heads if num_heads is not None else cfg.get("num_heads", 0))
    eps = float(eps if eps is not None else cfg.get("eps", 1e-6))

    def get(key):
        if key not in sd:
            raise ConversionError(f"state dict has no '{key}'")
        return _f32(sd[key])

    conv_w = get("patch_embed.proj.weight")
    if conv_w.ndim != 4 or conv_w.shape[1] != 3 or conv_w.shape[2] != conv_w.shape[3]:
        raise ConversionError(
            f"patch_embed.proj.weight has shape {conv_w.shape}; expected [E, 3, P, P]")
    E, patch = conv_w.shape[0], conv_w.shape[2]
    pos = get("pos_embed")
    if pos.size % E:
        raise ConversionError(f"pos_embed has {pos.size} values, not a multiple of E={E}")
    pos = pos.reshape(-1, E)
    grid = int(round((pos.shape[0] - 1) ** 0.5))
    if grid < 1 or grid * grid + 1 != pos.shape[0]:
        raise ConversionError(
            f"pos_embed has {pos.shape[0]} rows; expected a square patch grid plus one "
            "class-token row")
    cls = get("cls_token").reshape(-1)
    if cls.size != E:
        raise ConversionError(f"cls_token has {cls.size} values; expected E={E}")
    if heads < 1 or E % heads:
        raise ConversionError(f"num_heads={heads} must be at least 1 and divide E={E}")
    depth = 1 + max((int(m.group(1)) for k in sd
                     if (m := re.match(r"blocks\.(\d+)\.", k))), default=-1)
    if depth == 0:
        raise ConversionError("state dict has no 'blocks.N.' entries")
    image = grid * patch

    b = ModelBuilder(name)
    x = b.input("image", [image, image, 3])
    node = "patch_embed"
    x = b.node("conv_fp32", [x], name=node, C_out=E, C_in=3, kH=patch, kW=patch,
               stride_h=patch, stride_w=patch, pad_h=0, pad_w=0)
    b.weight(f"{node}.weight", conv_w)
    if "patch_embed.proj.bias" in sd:
        b.weight(f"{node}.bias", get("patch_embed.proj.bias"))
    x = b.node("patch_prep_fp32", [x], name="tokens")
    b.weight("tokens.cls_token", cls)
    b.weight("tokens.pos_embed", pos)

    def norm(x, prefix, node):
        out = b.node("layernorm_fp32", [x], name=node, eps=eps)
        b.weight(f"{node}.gamma", get(f"{prefix}.weight"))
        b.weight(f"{node}.beta", get(f"{prefix}.bias"))
        return out

    def bias(key, n):
        v = get(key) if key in sd else np.zeros(n, np.float32)
        if v.size != n:
            raise ConversionError(f"{key} has {v.size} values; expected {n}")
        return v

    def int8_weight(codes_name, scales_name, w):
        q, s = quantize_rows(w)
        b.weight(codes_name, q)
        b.weight(scales_name, s.astype(np.float32))

    def linear(x, prefix, node, gelu=False):
        w = get(f"{prefix}.weight")
        if w.ndim != 2:
            raise ConversionError(f"{prefix}.weight has shape {w.shape}; expected [N, K]")
        n_out, n_in = w.shape
        if int8:
            out = b.node("seqgemm_int8", [x], name=node, C_in=n_in, C_out=n_out, gelu=gelu)
            int8_weight(f"{node}.weight_i8", f"{node}.w_scales", w)
        else:
            out = b.node("seqgemm_fp32", [x], name=node, C_in=n_in, C_out=n_out, gelu=gelu)
            b.weight(f"{node}.weight", w)
        b.weight(f"{node}.bias", bias(f"{prefix}.bias", n_out))
        return out, n_in, n_out

    for i in range(depth):
        report_progress(progress, "block", i + 1, depth)
        p = f"blocks.{i}"
        h = norm(x, f"{p}.norm1", f"{p}.norm1")
        w_qkv, w_proj = get(f"{p}.attn.qkv.weight"), get(f"{p}.attn.proj.weight")
        if w_qkv.shape != (3 * E, E) or w_proj.shape != (E, E):
            raise ConversionError(
                f"{p}.attn: qkv {w_qkv.shape} / proj {w_proj.shape}; expected "
                f"({3 * E}, {E}) / ({E}, {E})")
        node = f"{p}.attn"
        a = b.node("attention_int8" if int8 else "attention_fp32", [h], name=node,
                   num_heads=heads, embed_dim=E)
        if int8:
            int8_weight(f"{node}.w_qkv_i8", f"{node}.w_qkv_scales", w_qkv)
            int8_weight(f"{node}.w_proj_i8", f"{node}.w_proj_scales", w_proj)
        else:
            b.weight(f"{node}.w_qkv", w_qkv)
            b.weight(f"{node}.w_proj", w_proj)
        b.weight(f"{node}.b_qkv", bias(f"{p}.attn.qkv.bias", 3 * E))
        b.weight(f"{node}.b_proj", bias(f"{p}.attn.proj.bias", E))
        x = b.node("add_fp32", [x, a], name=f"{p}.attn_add")
        h = norm(x, f"{p}.norm2", f"{p}.norm2")
        h, k1, n1 = linear(h, f"{p}.mlp.fc1", f"{p}.mlp.fc1", gelu=True)
        h, k2, n2 = linear(h, f"{p}.mlp.fc2", f"{p}.mlp.fc2")
        if k1 != E or k2 != n1 or n2 != E:
            raise ConversionError(
                f"{p}.mlp: fc1 {n1}x{k1} and fc2 {n2}x{k2} do not chain from and back to E={E}")
        x = b.node("add_fp32", [x, h], name=f"{p}.mlp_add")
    x = b.node("cls_extract_fp32", [x], name="cls")
    x = norm(x, "norm", "norm")
    w = get("head.weight")
    if w.ndim != 2 or w.shape[1] != E:
        raise ConversionError(f"head.weight has shape {w.shape}; expected [classes, {E}]")
    b.node("gemm_fp32", [x], "logits", name="head", C_in=E, C_out=w.shape[0])
    b.weight("head.weight", w)
    b.weight("head.bias", bias("head.bias", w.shape[0]))
    b.output("logits")
    return b
