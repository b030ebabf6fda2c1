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

torchvision's ``VisionTransformer`` (``conv_proj``, ``class_token``,
``encoder.pos_embedding``, ``encoder.layers.encoder_layer_N.ln_1`` /
``self_attention`` / ``ln_2`` / ``mlp``, ``encoder.ln``, ``heads``) is the
same network under other names: its parameters are renamed to the ones above
(:func:`torchvision_names`), and the optional ``heads.pre_logits`` layer
with its tanh becomes a gemm and a tanh before the head.

The final norm runs on the class token alone: it normalises each token on
its own, so this gives the same logits for a 197th of the work. The MLP's
GELU is either form: the tanh form rides in the matrix product, the exact
(erf) form of ``nn.GELU()`` is a ``gelu_erf_fp32`` node after it. With
``int8=True`` the attention and MLP weights are stored as per-row int8 codes
with their scales (the activations are quantised on the fly); the patch
embedding and the head stay float32.
"""

from __future__ import annotations

import re

import numpy as np

from vantrel.convert.core import ConversionError, report_progress
from vantrel.model_file import ModelBuilder
from vantrel.quantize import quantize_rows

__all__ = ["TORCHVISION_KEYS", "torchvision_names", "vit_to_builder"]

# Parameters that mark torchvision's VisionTransformer.
TORCHVISION_KEYS = frozenset({"class_token", "encoder.pos_embedding"})

_LAYER = r"encoder\.layers\.encoder_layer_(\d+)\."
_RENAMES = [(re.compile(a), b) for a, b in [
    (r"conv_proj\.(weight|bias)$", r"patch_embed.proj.\1"),
    (r"class_token$", "cls_token"),
    (r"encoder\.pos_embedding$", "pos_embed"),
    (_LAYER + r"ln_1\.(weight|bias)$", r"blocks.\1.norm1.\2"),
    (_LAYER + r"ln_2\.(weight|bias)$", r"blocks.\1.norm2.\2"),
    (_LAYER + r"self_attention\.in_proj_(weight|bias)$", r"blocks.\1.attn.qkv.\2"),
    (_LAYER + r"self_attention\.out_proj\.(weight|bias)$", r"blocks.\1.attn.proj.\2"),
    (_LAYER + r"mlp\.0\.(weight|bias)$", r"blocks.\1.mlp.fc1.\2"),
    (_LAYER + r"mlp\.3\.(weight|bias)$", r"blocks.\1.mlp.fc2.\2"),
    (r"encoder\.ln\.(weight|bias)$", r"norm.\1"),
    (r"heads\.(head|pre_logits)\.(weight|bias)$", r"\1.\2"),
]]


def _f32(a) -> np.ndarray:
    if hasattr(a, "detach"):
        a = a.detach().cpu().numpy()
    return np.ascontiguousarray(np.asarray(a, dtype=np.float32))


def torchvision_names(sd: dict) -> dict:
    """torchvision's ViT state dict under the names :func:`vit_to_builder` reads."""
    out = {}
    for key, value in sd.items():
        for pattern, repl in _RENAMES:
            if pattern.match(key):
                out[pattern.sub(repl, key)] = value
                break
        else:
            raise ConversionError(
                f"torchvision ViT parameter '{key}' has no mapping: only the patch-convolution "
                "stem, pre-norm encoder blocks and a linear head (with an optional tanh "
                "pre-logits layer) are supported")
    return out


def _module_config(model) -> dict:
    """Heads, eps and GELU form read from a module (a state dict has none)."""
    import torch.nn as nn

    cfg = {}
    blocks = getattr(model, "blocks", None)
    if blocks is None:  # torchvision
        blocks = getattr(getattr(model, "encoder", None), "layers", None)
    first = next(iter(blocks.children()), None) if isinstance(blocks, nn.Module) else None
    attn = getattr(first, "attn", getattr(first, "self_attention", None))
    for key in ("heads", "num_heads"):
        if hasattr(attn, key):
            cfg["num_heads"] = int(getattr(attn, key))
    norm = getattr(first, "norm1", getattr(first, "ln_1", None))
    if isinstance(norm, nn.LayerNorm):
        cfg["eps"] = float(norm.eps)
    forms = {"none": "erf", "tanh": "tanh"}
    for m in model.modules():
        if isinstance(m, nn.GELU):
            form = forms.get(m.approximate)
            if form is None or cfg.setdefault("gelu", form) != form:
                raise ConversionError(
                    f"GELU(approximate={m.approximate!r}) differs from the model's other "
                    "GELUs or is unknown: every block must use the same form, 'none' or 'tanh'")
    return cfg


def vit_to_builder(model_or_state_dict, num_heads: int | None = None, eps: float | None = None,
                   name: str = "vit", int8: bool = False, progress: bool = False,
                   gelu: str | None = None) -> ModelBuilder:
    """Build a vantrel ViT classifier from a module or its state dict.

    The input ``image`` is one channels-last image [H, W, 3] (the PyTorch
    input (1, 3, H, W) permuted), at the size the position table was made
    for; the output ``logits`` holds the class scores. ``num_heads`` and
    ``eps`` are read from a module and must be given with a bare state
    dict (eps defaults to 1e-6). ``gelu`` ("tanh" or "erf") is the MLP's
    GELU form, read from a module; a bare state dict defaults to "erf" under
    torchvision's names and to "tanh" under timm's. ``progress`` prints one
    line per block to stderr. Raises :class:`ConversionError` for shapes the
    graph cannot take.
    """
    if hasattr(model_or_state_dict, "state_dict"):
        cfg = _module_config(model_or_state_dict)
        sd = model_or_state_dict.state_dict()
    else:
        cfg, sd = {}, dict(model_or_state_dict)
    torchvision = TORCHVISION_KEYS <= sd.keys()
    if torchvision:
        sd = torchvision_names(sd)
    gelu = gelu or cfg.get("gelu", "erf" if torchvision else "tanh")
    if gelu not in ("tanh", "erf"):
        raise ConversionError(f"gelu={gelu!r}; expected 'tanh' or 'erf'")
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

    def linear(x, prefix, node, act=False):
        w = get(f"{prefix}.weight")
        if w.ndim != 2:
            raise ConversionError(f"{prefix}.weight has shape {w.shape}; expected [N, K]")
        n_out, n_in = w.shape
        fused = act and gelu == "tanh"  # the matrix product's own GELU is the tanh form
        if int8:
            out = b.node("seqgemm_int8", [x], name=node, C_in=n_in, C_out=n_out, gelu=fused)
            int8_weight(f"{node}.weight_i8", f"{node}.w_scales", w)
        else:
            out = b.node("seqgemm_fp32", [x], name=node, C_in=n_in, C_out=n_out, gelu=fused)
            b.weight(f"{node}.weight", w)
        b.weight(f"{node}.bias", bias(f"{prefix}.bias", n_out))
        if act and not fused:
            out = b.node("gelu_erf_fp32", [out], name=f"{node}.gelu")
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
        h, k1, n1 = linear(h, f"{p}.mlp.fc1", f"{p}.mlp.fc1", act=True)
        h, k2, n2 = linear(h, f"{p}.mlp.fc2", f"{p}.mlp.fc2")
        if k1 != E or k2 != n1 or n2 != E:
            raise ConversionError(
                f"{p}.mlp: fc1 {n1}x{k1} and fc2 {n2}x{k2} do not chain from and back to E={E}")
        x = b.node("add_fp32", [x, h], name=f"{p}.mlp_add")
    x = b.node("cls_extract_fp32", [x], name="cls")
    x = norm(x, "norm", "norm")
    width = E
    if "pre_logits.weight" in sd:  # torchvision's representation layer: linear + tanh
        w = get("pre_logits.weight")
        if w.ndim != 2 or w.shape[1] != E:
            raise ConversionError(f"pre_logits.weight has shape {w.shape}; expected [R, {E}]")
        width = w.shape[0]
        x = b.node("gemm_fp32", [x], name="pre_logits", C_in=E, C_out=width)
        b.weight("pre_logits.weight", w)
        b.weight("pre_logits.bias", bias("pre_logits.bias", width))
        x = b.node("tanh_fp32", [x], name="pre_logits.tanh")
    w = get("head.weight")
    if w.ndim != 2 or w.shape[1] != width:
        raise ConversionError(f"head.weight has shape {w.shape}; expected [classes, {width}]")
    b.node("gemm_fp32", [x], "logits", name="head", C_in=width, C_out=w.shape[0])
    b.weight("head.weight", w)
    b.weight("head.bias", bias("head.bias", w.shape[0]))
    b.output("logits")
    return b
