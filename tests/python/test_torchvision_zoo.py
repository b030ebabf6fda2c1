"""torchvision's classification models, converted, against PyTorch itself."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")

# conftest.py lets torchvision import without its compiled detection ops.
models = pytest.importorskip("torchvision.models")

import model_inference as mi  # noqa: E402
from vantrel import torch_models  # noqa: E402
from vantrel.convert import ConversionError, convert  # noqa: E402
from vantrel.quantize import quantize_input  # noqa: E402

# name, input size, constructor options, the engine ops it needs beyond the
# ones every CNN uses, slow (big weights or slow to export)
ZOO = [
    ("alexnet", 64, {}, ["adaptive_avgpool_fp32"], False),
    ("vgg11", 64, {}, ["adaptive_avgpool_fp32"], True),
    ("resnet18", 64, {}, [], False),
    ("resnext50_32x4d", 64, {}, [], True),
    ("wide_resnet50_2", 64, {}, [], True),
    ("squeezenet1_0", 64, {}, ["maxpool_fp32:ceil_mode", "concat_fp32"], False),
    ("densenet121", 64, {}, ["concat_fp32", "avgpool2d_fp32"], False),
    ("inception_v3", 75, {"aux_logits": False, "init_weights": True},
     ["concat_fp32", "avgpool2d_fp32"], False),
    ("googlenet", 64, {"aux_logits": False, "init_weights": True},
     ["maxpool_fp32:ceil_mode", "concat_fp32"], False),
    ("shufflenet_v2_x0_5", 64, {}, ["concat_fp32", "channel_shuffle_fp32"], False),
    ("mobilenet_v2", 64, {}, ["clamp_fp32"], False),
    ("mobilenet_v3_small", 64, {},
     ["hard_swish_fp32", "hard_sigmoid_fp32", "channel_mul_fp32"], False),
    ("mnasnet0_5", 64, {}, [], False),
    ("efficientnet_b0", 64, {}, ["channel_mul_fp32"], False),
    ("efficientnet_v2_s", 64, {}, ["channel_mul_fp32"], True),
    ("regnet_y_400mf", 64, {}, ["channel_mul_fp32"], False),
    ("convnext_tiny", 64, {}, ["gelu_erf_fp32"], False),
    # the ViTs are built for the size they are tested at (their position table)
    ("vit_b_16", 32, {}, ["gelu_erf_fp32"], True),
    ("vit_b_32", 64, {}, ["gelu_erf_fp32"], True),
]


def missing_ops(needed):
    schema = mi._op_schema()
    missing = []
    for need in needed:
        op, _, arg = need.partition(":")
        if op not in schema or (arg and arg not in schema[op]["args"]):
            missing.append(need.replace(":", " argument "))
    return missing


FULL_SIZE = {"resnet18"}


def zoo_params():
    for name, size, kwargs, needed, slow in ZOO:
        xfail = []
        if missing := missing_ops(needed):
            xfail = [pytest.mark.xfail(raises=ConversionError, strict=True,
                                       reason=f"engine lacks {', '.join(missing)}")]
        yield pytest.param(name, size, kwargs, marks=[pytest.mark.slow] * slow + xfail,
                           id=f"{name}-{size}")
        # Every architecture runs at its small size above; at 224 one
        # stands for all, the others' graphs would be the same, only slower.
        if name in FULL_SIZE:
            yield pytest.param(name, 224, kwargs, marks=[pytest.mark.slow, *xfail], id=f"{name}-224")


def seeded(name, kwargs, size=224, make=None):
    torch.manual_seed(0)
    if name.startswith("vit"):
        kwargs = {**kwargs, "image_size": size}
    net = torch_models.randomize((make or getattr(models, name))(**kwargs), seed=1)
    g = torch.Generator().manual_seed(2)
    with torch.no_grad():
        for pname, p in net.named_parameters():
            # ConvNeXt's layer scale starts at 1e-6, which would hide its blocks.
            if pname.endswith("layer_scale"):
                p.uniform_(0.5, 1.0, generator=g)
            elif pname == "class_token":  # starts at zero
                p.normal_(0.0, 0.5, generator=g)
        for m in net.modules():
            if isinstance(m, torch.nn.LayerNorm):
                m.weight.uniform_(0.5, 1.5, generator=g)
                m.bias.normal_(0.0, 0.1, generator=g)
    return net.eval()


def hwc(x):
    return np.ascontiguousarray(x[0].permute(1, 2, 0).numpy())


def load(tmp_path, builder):
    builder.save(str(tmp_path / "m.json"), str(tmp_path / "m.bin"))
    return mi.InferenceModel(str(tmp_path / "m.json"), str(tmp_path / "m.bin"))


@pytest.mark.parametrize("name,size,kwargs", zoo_params())
def test_torchvision_models_match_pytorch(tmp_path, name, size, kwargs):
    run_and_compare(tmp_path, seeded(name, {"weights": None, **kwargs}, size), size)


def run_and_compare(tmp_path, net, size, int8=False):
    x = torch.randn(1, 3, size, size, generator=torch.Generator().manual_seed(3))
    builder = convert(net, x, int8=int8)
    # A clamp or hard swish after a convolution runs in its epilogue.
    producer = {n["outputs"][0]: n["op"] for n in builder.nodes}
    assert not [n["name"] for n in builder.nodes if n["op"] in ("clamp_fp32", "hard_swish_fp32")
                and producer.get(n["inputs"][0]) == "conv_fp32"]
    y = np.asarray(load(tmp_path, builder).forward(hwc(x))).reshape(-1)
    with torch.no_grad():
        ref = net(x).numpy().reshape(-1)
    assert y.shape == ref.shape
    assert np.abs(y - ref).max() <= (3e-2 if int8 else 1e-4) * np.abs(ref).max()


@pytest.mark.parametrize("int8", [False, True])
@pytest.mark.parametrize("config", [
    dict(patch_size=8, num_layers=2, num_heads=4, hidden_dim=64, mlp_dim=128),
    dict(patch_size=16, num_layers=3, num_heads=3, hidden_dim=96, mlp_dim=200,
         representation_size=40),
])
def test_torchvision_vit_variants_match_pytorch(tmp_path, config, int8):
    from torchvision.models.vision_transformer import VisionTransformer

    net = seeded("vit", config, 32, make=VisionTransformer)
    run_and_compare(tmp_path, net, 32, int8)


def vit_conv_stem():
    from torchvision.models.vision_transformer import ConvStemConfig, VisionTransformer

    return VisionTransformer(16, 2, 1, 2, 32, 64, conv_stem_configs=[ConvStemConfig(16, 3, 2)])


@pytest.mark.parametrize("make, size, message", [
    (vit_conv_stem, 16, r"'conv_proj\.conv_bn_relu_0\.0\.weight' has no mapping"),
    # window attention: relative position bias gather, shifted-window mask
    pytest.param(
        lambda: models.swin_t(weights=None), 64,
        r"aten\.index\.Tensor at module 'features\.1\.0\.attn' \(ShiftedWindowAttention\)",
        marks=pytest.mark.slow),
    # window partition: a (1, C, H/p, p, W/p, p) view
    pytest.param(
        lambda: models.maxvit_t(weights=None), 224,
        r"view.* at module '[\w.]+\.partition_op' \(WindowPartition\).*reshaping",
        marks=pytest.mark.slow),
], ids=["vit-conv-stem", "swin_t", "maxvit_t"])
def test_unsupported_models_name_op_and_module(make, size, message):
    with pytest.raises(ConversionError, match=message):
        convert(make(), torch.randn(1, 3, size, size))


# The float32 ops an int8 model keeps: none but ConvNeXt's layer norm.
FLOAT_IN_INT8 = {"convnext_tiny": {"layernorm_fp32"}}


def int8_params():
    for name, size, kwargs, _, slow in ZOO:
        if name.startswith("vit"):  # the ViT rows have their own int8 test above
            continue
        if name == "vgg11":  # AlexNet's int8 ops; quantising its 130M weights takes most of a minute
            continue
        # the small size only: the float test covers 224, and int8 adds no size-dependent op
        yield pytest.param(name, size, kwargs, marks=[pytest.mark.slow] * slow, id=f"{name}-{size}")


@pytest.mark.parametrize("name,size,kwargs", int8_params())
def test_torchvision_models_quantise_to_int8(tmp_path, name, size, kwargs):
    net = seeded(name, kwargs, size)
    gen = torch.Generator().manual_seed(4)
    xs = [torch.randn(1, 3, size, size, generator=gen) for _ in range(6)]
    builder = convert(net, xs[0], int8=True, calibration=[hwc(x) for x in xs[:4]])
    assert {n["op"] for n in builder.nodes if n["op"].endswith("_fp32")} <= \
        FLOAT_IN_INT8.get(name, set())
    model = load(tmp_path, builder)
    spec = model.inputs[0]
    for x in xs[4:]:  # drawn like the calibration images
        y = np.asarray(model.forward(quantize_input(hwc(x), spec.scale, spec.zp))).reshape(-1)
        with torch.no_grad():
            ref = net(x).numpy().reshape(-1)
        assert y @ ref / np.linalg.norm(y) / np.linalg.norm(ref) >= 0.99
