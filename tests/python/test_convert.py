"""Converted PyTorch image networks against PyTorch itself."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")
from torch import nn  # noqa: E402

import model_inference as mi  # noqa: E402
from vantrel import torch_models  # noqa: E402
from vantrel.convert import ConversionError, convert  # noqa: E402


def run_both(tmp_path, net, size, seed=1):
    x = torch.randn(1, 3, size, size, generator=torch.Generator().manual_seed(seed))
    convert(net, x).save(str(tmp_path / "m.json"), str(tmp_path / "m.bin"))
    model = mi.InferenceModel(str(tmp_path / "m.json"), str(tmp_path / "m.bin"))
    y = model.forward(np.ascontiguousarray(x[0].permute(1, 2, 0).numpy()))
    with torch.no_grad():
        ref = net(x).numpy().reshape(-1)
    return np.asarray(y).reshape(-1), ref


def assert_close(y, ref, rtol=1e-4):
    assert y.shape == ref.shape
    assert np.abs(y - ref).max() <= rtol * np.abs(ref).max()
    assert y.argmax() == ref.argmax()


class FlattenHead(nn.Module):
    """A linear layer over a flattened 3x3 map: its columns must be reordered
    from PyTorch's (C, H, W) to channels-last."""

    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 3, stride=2, padding=1, dilation=1, bias=True)
        self.pool = nn.MaxPool2d(2)
        self.fc = nn.Linear(8 * 3 * 3, 10)

    def forward(self, x):
        y = torch.sigmoid(self.pool(self.conv(x)))
        return self.fc(y.view(y.size(0), -1))


class Grouped(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.Conv2d(3, 12, 3, padding=2, dilation=2)
        self.b = nn.Conv2d(12, 24, 3, stride=2, padding=1, groups=4)
        self.c = nn.Conv2d(24, 24, 3, padding=1, groups=24)

    def forward(self, x):
        y = torch.relu(self.b(nn.functional.relu(self.a(x))))
        return self.c(y).mean((2, 3))


@pytest.mark.parametrize("make,size", [
    (lambda: torch_models.resnet18(seed=3), 64),
    (lambda: torch_models.mobilenet_v2_style(seed=4), 64),
    (lambda: torch_models.randomize(FlattenHead(), 5), 12),
    (lambda: torch_models.randomize(Grouped(), 6), 17),
], ids=["resnet18", "mobilenet_v2_style", "flatten_head", "grouped_dilated"])
def test_small_networks_match_pytorch(tmp_path, make, size):
    assert_close(*run_both(tmp_path, make(), size))


@pytest.mark.slow
@pytest.mark.parametrize("make", [torch_models.resnet50, torch_models.mobilenet_v2_style],
                         ids=["resnet50", "mobilenet_v2_style"])
def test_imagenet_networks_match_pytorch(tmp_path, make):
    for seed in (1, 2):
        assert_close(*run_both(tmp_path, make(seed=0), 224, seed))


class Unsupported(nn.Module):
    def __init__(self, mod):
        super().__init__()
        self.conv = nn.Conv2d(3, 4, 1)
        self.mod = mod

    def forward(self, x):
        return self.mod(self.conv(x))


class DataDependent(nn.Module):
    def forward(self, x):
        return x if x.sum() > 0 else -x


@pytest.mark.parametrize("mod,message", [
    (nn.Upsample(scale_factor=2),
     r"aten.upsample_nearest2d.vec at module 'mod' \(Upsample\), node 'upsample_nearest2d': "
     "has no mapping onto an engine op; replace that layer"),
    (nn.PixelShuffle(2), r"aten.pixel_shuffle.default at module 'mod' \(PixelShuffle\)"),
    (nn.Conv2d(4, 4, 3, padding="same"), r"padding='same' is not supported; give Conv2d explicit"),
    (DataDependent(), "torch.export could not capture Unsupported"),
], ids=["upsample", "pixel_shuffle", "same_padding", "data_dependent"])
def test_unsupported_layers_are_named(mod, message):
    with pytest.raises(ConversionError, match=message):
        convert(Unsupported(mod).eval(), torch.zeros(1, 3, 8, 8))
