"""Vision transformers end to end: vantrel logits against the PyTorch model
(float and int8 weights), ViT-S/16 at 224x224, and conversion errors."""
import numpy as np
import pytest
import torch
from torch import nn

from vantrel.convert import ConversionError
from vantrel.torch_models import vit_s16
from vantrel.vit import vit_to_builder


def run_both(build, net, image, int8):
    x = torch.randn(1, 3, image, image, generator=torch.Generator().manual_seed(1))
    with torch.no_grad():
        want = net(x).numpy()[0]
    model = build(vit_to_builder(net, int8=int8))
    got = model.forward(np.ascontiguousarray(x[0].permute(1, 2, 0).numpy()))
    return got, want


def check(got, want, int8):
    if int8:
        cos = float(got @ want / (np.linalg.norm(got) * np.linalg.norm(want)))
        assert cos >= 0.99, cos
    else:
        assert float(np.abs(got - want).max() / np.abs(want).max()) < 1e-4
        assert got.argmax() == want.argmax()


SMALL = [  # (image, config): token counts 5 and 17, E not a multiple of 16
    (32, dict(patch=16, dim=64, depth=2, heads=4, mlp=128)),
    (32, dict(patch=8, dim=96, depth=3, heads=3, mlp=200)),
]


@pytest.mark.parametrize("int8", [False, True])
@pytest.mark.parametrize("image, config", SMALL)
def test_small_vit_matches_torch(build, image, config, int8):
    net = vit_s16(num_classes=10, image=image, seed=4, **config)
    check(*run_both(build, net, image, int8), int8)


@pytest.mark.slow
@pytest.mark.parametrize("int8", [False, True])
def test_vit_s16_224_matches_torch(build, int8):
    check(*run_both(build, vit_s16(), 224, int8), int8)


def small_state():
    return vit_s16(num_classes=10, image=32, **SMALL[0][1]).state_dict()


@pytest.mark.parametrize("edit, kwargs, message", [
    (None, dict(num_heads=3), "num_heads=3"),
    ("pos", dict(num_heads=4), "square patch grid"),
    ("qkv", dict(num_heads=4), r"blocks.1.attn: qkv \(96, 64\)"),
    ("fc2", dict(num_heads=4), "blocks.0.mlp"),
    ("drop", dict(num_heads=4), "'blocks.1.norm2.weight'"),
])
def test_unsupported_models_are_rejected(edit, kwargs, message):
    sd = small_state()
    if edit == "pos":
        sd["pos_embed"] = sd["pos_embed"][:, :4]
    elif edit == "qkv":
        sd["blocks.1.attn.qkv.weight"] = sd["blocks.1.attn.qkv.weight"][:96]
    elif edit == "fc2":
        sd["blocks.0.mlp.fc2.weight"] = sd["blocks.0.mlp.fc2.weight"][:, :100]
    elif edit == "drop":
        del sd["blocks.1.norm2.weight"]
    with pytest.raises(ConversionError, match=message):
        vit_to_builder(sd, **kwargs)


def test_mixed_gelu_forms_are_rejected():
    net = vit_s16(num_classes=10, image=32, **SMALL[0][1])
    net.blocks[0].mlp.act = nn.GELU()
    with pytest.raises(ConversionError, match="same form"):
        vit_to_builder(net)
