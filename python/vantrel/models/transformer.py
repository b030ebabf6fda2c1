"""Reference PyTorch transformers with seeded weights: a ViT classifier with
timm's parameter names (:func:`vit_s16`) and a Llama-layout decoder with
rotary encoding and grouped key/value heads (:func:`tiny_decoder`).

The tests and benchmarks convert these with :func:`vantrel.convert.convert`
and compare or time them against PyTorch and onnxruntime.
"""

from __future__ import annotations

import torch
from torch import nn


class ViTAttention(nn.Module):
    """Fused-QKV multi-head self-attention (columns: all queries, all keys,
    all values; head h at [h·d, (h+1)·d) of each), written out with plain
    matrix products so that the ONNX export stays simple."""

    def __init__(self, dim: int, heads: int):
        super().__init__()
        self.heads = heads
        self.qkv = nn.Linear(dim, 3 * dim)
        self.proj = nn.Linear(dim, dim)

    def forward(self, x):
        b, t, e = x.shape
        d = e // self.heads
        q, k, v = self.qkv(x).reshape(b, t, 3, self.heads, d).permute(2, 0, 3, 1, 4)
        a = torch.softmax((q @ k.transpose(-2, -1)) * d ** -0.5, dim=-1) @ v
        return self.proj(a.transpose(1, 2).reshape(b, t, e))


class ViTMlp(nn.Module):
    """ViT MLP: fc1, tanh-form GELU, fc2."""

    def __init__(self, dim: int, hidden: int):
        super().__init__()
        self.fc1 = nn.Linear(dim, hidden)
        self.act = nn.GELU(approximate="tanh")  # the engine's GELU is the tanh form
        self.fc2 = nn.Linear(hidden, dim)

    def forward(self, x):
        return self.fc2(self.act(self.fc1(x)))


class ViTBlock(nn.Module):
    """Pre-norm ViT block: x + attn(norm1(x)), then x + mlp(norm2(x))."""

    def __init__(self, dim: int, heads: int, hidden: int, eps: float):
        super().__init__()
        self.norm1 = nn.LayerNorm(dim, eps=eps)
        self.attn = ViTAttention(dim, heads)
        self.norm2 = nn.LayerNorm(dim, eps=eps)
        self.mlp = ViTMlp(dim, hidden)

    def forward(self, x):
        x = x + self.attn(self.norm1(x))
        return x + self.mlp(self.norm2(x))


class PatchEmbed(nn.Module):
    """Patch embedding: a P x P convolution with stride P, flattened to (1, tokens, dim)."""

    def __init__(self, patch: int, dim: int):
        super().__init__()
        self.proj = nn.Conv2d(3, dim, patch, patch)

    def forward(self, x):
        return self.proj(x).flatten(2).transpose(1, 2)  # patches in row-major order


class VisionTransformer(nn.Module):
    """Pre-norm ViT classifier; parameter names follow timm's (``blocks.0.attn.qkv``,
    ``patch_embed.proj``, ``cls_token``, ``pos_embed``, ``norm``, ``head``)."""

    def __init__(self, num_classes: int = 1000, image: int = 224, patch: int = 16,
                 dim: int = 384, depth: int = 12, heads: int = 6, mlp: int = 1536,
                 eps: float = 1e-6):
        super().__init__()
        self.image, self.patch, self.dim, self.heads, self.eps = image, patch, dim, heads, eps
        grid = image // patch
        self.patch_embed = PatchEmbed(patch, dim)
        self.cls_token = nn.Parameter(torch.zeros(1, 1, dim))
        self.pos_embed = nn.Parameter(torch.zeros(1, grid * grid + 1, dim))
        self.blocks = nn.Sequential(*[ViTBlock(dim, heads, mlp, eps) for _ in range(depth)])
        self.norm = nn.LayerNorm(dim, eps=eps)
        self.head = nn.Linear(dim, num_classes)

    def forward(self, x):
        x = self.patch_embed(x)
        x = torch.cat([self.cls_token.expand(x.shape[0], -1, -1), x], dim=1) + self.pos_embed
        x = self.norm(self.blocks(x))
        return self.head(x[:, 0])


def _rotate_half(x):
    half = x.shape[-1] // 2
    a, b = x[..., :half], x[..., half:2 * half]
    return torch.cat([-b, a, x[..., 2 * half:]], dim=-1)


def rope_tables(positions, head_dim: int, theta: float):
    """cos and sin for rotary encoding on the non-interleaved halves (pairs
    i and i + d/2); an odd last element gets angle 0 (left unrotated)."""
    half = head_dim // 2
    freq = theta ** (-torch.arange(half, dtype=torch.float32) * 2 / head_dim)
    ang = positions.to(torch.float32)[:, None] * freq[None, :]
    parts = [ang, ang] + ([torch.zeros(ang.shape[0], 1)] if head_dim % 2 else [])
    ang = torch.cat(parts, dim=-1)
    return torch.cos(ang), torch.sin(ang)


class RMSNorm(nn.Module):
    """x · rsqrt(mean(x²) + eps) · weight, spelled out (torch's own RMSNorm
    has no ONNX export below opset 23)."""

    def __init__(self, dim: int, eps: float):
        super().__init__()
        self.eps = eps
        self.weight = nn.Parameter(torch.ones(dim))

    def forward(self, x):
        return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + self.eps) * self.weight


class DecoderAttention(nn.Module):
    """Causal self-attention with rotary encoding and grouped key/value heads; ``past`` holds
    cached keys and values."""

    def __init__(self, dim: int, q_heads: int, kv_heads: int, theta: float):
        super().__init__()
        self.hq, self.hkv, self.d, self.theta = q_heads, kv_heads, dim // q_heads, theta
        self.q = nn.Linear(dim, q_heads * self.d, bias=False)
        self.k = nn.Linear(dim, kv_heads * self.d, bias=False)
        self.v = nn.Linear(dim, kv_heads * self.d, bias=False)
        self.o = nn.Linear(q_heads * self.d, dim, bias=False)

    def forward(self, x, past=None):
        """x: [T, dim]; past: None or (keys, values) [Hkv, P, d] of earlier
        positions, keys already rotated. Returns the output and the new
        (keys, values) including this call's tokens."""
        t = x.shape[0]
        p0 = 0 if past is None else past[0].shape[1]
        cos, sin = rope_tables(torch.arange(p0, p0 + t), self.d, self.theta)
        q = self.q(x).view(t, self.hq, self.d).transpose(0, 1)
        k = self.k(x).view(t, self.hkv, self.d).transpose(0, 1)
        v = self.v(x).view(t, self.hkv, self.d).transpose(0, 1)
        q = q * cos + _rotate_half(q) * sin
        k = k * cos + _rotate_half(k) * sin
        if past is not None:
            k, v = torch.cat([past[0], k], dim=1), torch.cat([past[1], v], dim=1)
        group = self.hq // self.hkv
        kk, vv = k.repeat_interleave(group, dim=0), v.repeat_interleave(group, dim=0)
        s = (q @ kk.transpose(-2, -1)) * self.d ** -0.5
        # Token t (at position p0 + t) sees positions 0 .. p0 + t.
        visible = torch.arange(p0 + t)[None, :] <= (p0 + torch.arange(t))[:, None]
        s = s.masked_fill(~visible, float("-inf"))
        y = (torch.softmax(s, dim=-1) @ vv).transpose(0, 1).reshape(t, self.hq * self.d)
        return self.o(y), (k, v)


class DecoderMlp(nn.Module):
    """SwiGLU MLP: down(silu(gate(x)) * up(x))."""

    def __init__(self, dim: int, ffn: int):
        super().__init__()
        self.gate = nn.Linear(dim, ffn, bias=False)
        self.up = nn.Linear(dim, ffn, bias=False)
        self.down = nn.Linear(ffn, dim, bias=False)

    def forward(self, x):
        return self.down(nn.functional.silu(self.gate(x)) * self.up(x))


class DecoderLayer(nn.Module):
    """Pre-norm decoder layer: x + attn(attn_norm(x)), then x + mlp(mlp_norm(x))."""

    def __init__(self, dim, q_heads, kv_heads, ffn, theta, eps):
        super().__init__()
        self.attn_norm = RMSNorm(dim, eps)
        self.attn = DecoderAttention(dim, q_heads, kv_heads, theta)
        self.mlp_norm = RMSNorm(dim, eps)
        self.mlp = DecoderMlp(dim, ffn)

    def forward(self, x, past=None):
        a, kv = self.attn(self.attn_norm(x), past)
        x = x + a
        return x + self.mlp(self.mlp_norm(x)), kv


class TinyDecoder(nn.Module):
    """A small decoder-only language model in the Llama layout: RMSNorm,
    rotary encoding, grouped key/value heads, SwiGLU MLP. ``forward(ids)``
    takes a 1-D tensor of T token ids and returns [T, vocab] logits."""

    def __init__(self, vocab: int = 512, dim: int = 256, layers: int = 4, q_heads: int = 8,
                 kv_heads: int = 2, ffn: int = 688, rope_theta: float = 10000.0,
                 eps: float = 1e-6):
        super().__init__()
        self.vocab, self.dim, self.q_heads, self.kv_heads = vocab, dim, q_heads, kv_heads
        self.ffn, self.rope_theta, self.eps = ffn, rope_theta, eps
        self.embed = nn.Embedding(vocab, dim)
        self.layers = nn.ModuleList([DecoderLayer(dim, q_heads, kv_heads, ffn, rope_theta, eps)
                                     for _ in range(layers)])
        self.norm = RMSNorm(dim, eps)
        self.lm_head = nn.Linear(dim, vocab, bias=False)

    def forward_cached(self, ids, past=None):
        """Logits of ``ids`` after the positions in ``past`` (a list of
        per-layer (keys, values) or None) and the extended cache."""
        x = self.embed(ids)
        present = []
        for i, layer in enumerate(self.layers):
            x, kv = layer(x, None if past is None else past[i])
            present.append(kv)
        return self.lm_head(self.norm(x)), present

    def forward(self, ids):
        return self.forward_cached(ids)[0]


def randomize_transformer(model: nn.Module, seed: int = 0) -> nn.Module:
    """Seeded weights that keep activations in a sensible range through
    many layers: uniform ±1/sqrt(fan_in) linears and convolutions, small
    random biases, norm scales around 1 with small shifts, unit-variance
    embeddings and 0.02-scale class token and position table."""
    g = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for m in model.modules():
            if isinstance(m, (nn.Linear, nn.Conv2d)):
                fan_in = m.weight[0].numel()
                bound = 1.0 / fan_in ** 0.5
                m.weight.uniform_(-bound, bound, generator=g)
                if m.bias is not None:
                    m.bias.uniform_(-0.1, 0.1, generator=g)
            elif isinstance(m, (nn.LayerNorm, RMSNorm)):
                m.weight.uniform_(0.7, 1.3, generator=g)
                if getattr(m, "bias", None) is not None:
                    m.bias.normal_(0.0, 0.1, generator=g)
            elif isinstance(m, nn.Embedding):
                m.weight.normal_(0.0, 1.0, generator=g)
        for name, p in model.named_parameters(recurse=False):
            p.normal_(0.0, 0.02 if name == "pos_embed" else 0.5, generator=g)
    return model.eval()


def vit_s16(num_classes: int = 1000, image: int = 224, seed: int = 0, **kwargs) -> nn.Module:
    """ViT-S/16 (E 384, 12 blocks, 6 heads, MLP 1536) with seeded weights;
    ``kwargs`` (dim, depth, heads, mlp, patch) give smaller variants."""
    return randomize_transformer(VisionTransformer(num_classes, image, **kwargs), seed)


def tiny_decoder(vocab: int = 512, dim: int = 256, layers: int = 4, q_heads: int = 8,
                 kv_heads: int = 2, ffn: int = 688, rope_theta: float = 10000.0,
                 seed: int = 0) -> nn.Module:
    """A seeded :class:`TinyDecoder`."""
    return randomize_transformer(
        TinyDecoder(vocab, dim, layers, q_heads, kv_heads, ffn, rope_theta), seed)
