"""Reference PyTorch image networks (ResNet-18/50, a MobileNetV2-style net) with
seeded weights.

The tests and benchmarks convert these with :func:`vantrel.convert.convert`
and compare or time them against PyTorch and onnxruntime. They are written
out here (rather than taken from torchvision) so that nothing beyond
``torch`` is needed. Batch-norm statistics are randomised too, so that
folding them into the convolutions is exercised.
"""

from __future__ import annotations

import torch
from torch import nn


class Bottleneck(nn.Module):
    """ResNet-50 bottleneck: 1x1, 3x3 (strided), 1x1 convolutions with batch norms, plus a
    projected or identity shortcut."""

    expansion = 4

    def __init__(self, cin: int, width: int, stride: int = 1):
        super().__init__()
        cout = width * self.expansion
        self.conv1 = nn.Conv2d(cin, width, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(width)
        self.conv2 = nn.Conv2d(width, width, 3, stride, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(width)
        self.conv3 = nn.Conv2d(width, cout, 1, bias=False)
        self.bn3 = nn.BatchNorm2d(cout)
        self.relu = nn.ReLU(inplace=True)
        self.downsample = None
        if stride != 1 or cin != cout:
            self.downsample = nn.Sequential(nn.Conv2d(cin, cout, 1, stride, bias=False),
                                            nn.BatchNorm2d(cout))

    def forward(self, x):
        identity = x if self.downsample is None else self.downsample(x)
        y = self.relu(self.bn1(self.conv1(x)))
        y = self.relu(self.bn2(self.conv2(y)))
        y = self.bn3(self.conv3(y))
        return self.relu(y + identity)


class BasicBlock(nn.Module):
    """ResNet-18 block: two 3x3 convolutions with batch norms, plus a projected or identity
    shortcut."""

    expansion = 1

    def __init__(self, cin: int, width: int, stride: int = 1):
        super().__init__()
        self.conv1 = nn.Conv2d(cin, width, 3, stride, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(width)
        self.conv2 = nn.Conv2d(width, width, 3, 1, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(width)
        self.relu = nn.ReLU(inplace=True)
        self.downsample = None
        if stride != 1 or cin != width:
            self.downsample = nn.Sequential(nn.Conv2d(cin, width, 1, stride, bias=False),
                                            nn.BatchNorm2d(width))

    def forward(self, x):
        identity = x if self.downsample is None else self.downsample(x)
        y = self.relu(self.bn1(self.conv1(x)))
        y = self.bn2(self.conv2(y))
        return self.relu(y + identity)


class ResNet(nn.Module):
    """ResNet classifier: 7x7 stem, max pooling, four stages of ``block``, global average pooling
    and a linear head."""

    def __init__(self, block, layers, num_classes: int = 1000, base: int = 64):
        super().__init__()
        self.conv1 = nn.Conv2d(3, base, 7, 2, 3, bias=False)
        self.bn1 = nn.BatchNorm2d(base)
        self.relu = nn.ReLU(inplace=True)
        self.maxpool = nn.MaxPool2d(3, 2, 1)
        stages, cin = [], base
        for i, n in enumerate(layers):
            width = base * 2 ** i
            blocks = []
            for j in range(n):
                blocks.append(block(cin, width, 2 if (j == 0 and i > 0) else 1))
                cin = width * block.expansion
            stages.append(nn.Sequential(*blocks))
        self.layer1, self.layer2, self.layer3, self.layer4 = stages
        self.avgpool = nn.AdaptiveAvgPool2d(1)
        self.fc = nn.Linear(cin, num_classes)

    def forward(self, x):
        x = self.maxpool(self.relu(self.bn1(self.conv1(x))))
        x = self.layer4(self.layer3(self.layer2(self.layer1(x))))
        return self.fc(torch.flatten(self.avgpool(x), 1))


class InvertedResidual(nn.Module):
    """MobileNetV2 block: 1x1 expansion, 3x3 depthwise, 1x1 projection; residual when the shape is
    kept."""

    def __init__(self, cin: int, cout: int, stride: int, expand: int):
        super().__init__()
        hidden = cin * expand
        layers: list[nn.Module] = []
        if expand != 1:
            layers += [nn.Conv2d(cin, hidden, 1, bias=False), nn.BatchNorm2d(hidden), nn.ReLU()]
        layers += [nn.Conv2d(hidden, hidden, 3, stride, 1, groups=hidden, bias=False),
                   nn.BatchNorm2d(hidden), nn.ReLU(),
                   nn.Conv2d(hidden, cout, 1, bias=False), nn.BatchNorm2d(cout)]
        self.block = nn.Sequential(*layers)
        self.residual = stride == 1 and cin == cout

    def forward(self, x):
        y = self.block(x)
        return x + y if self.residual else y


class MobileNetV2Style(nn.Module):
    """MobileNetV2's layout with ReLU in place of ReLU6."""

    SETTINGS = [(1, 16, 1, 1), (6, 24, 2, 2), (6, 32, 3, 2), (6, 64, 4, 2),
                (6, 96, 3, 1), (6, 160, 3, 2), (6, 320, 1, 1)]

    def __init__(self, num_classes: int = 1000):
        super().__init__()
        layers: list[nn.Module] = [nn.Conv2d(3, 32, 3, 2, 1, bias=False), nn.BatchNorm2d(32),
                                   nn.ReLU()]
        cin = 32
        for t, c, n, s in self.SETTINGS:
            for i in range(n):
                layers.append(InvertedResidual(cin, c, s if i == 0 else 1, t))
                cin = c
        layers += [nn.Conv2d(cin, 1280, 1, bias=False), nn.BatchNorm2d(1280), nn.ReLU()]
        self.features = nn.Sequential(*layers)
        self.pool = nn.AdaptiveAvgPool2d(1)
        self.dropout = nn.Dropout(0.2)
        self.classifier = nn.Linear(1280, num_classes)

    def forward(self, x):
        x = self.pool(self.features(x)).flatten(1)
        return self.classifier(self.dropout(x))


def randomize(model: nn.Module, seed: int = 0) -> nn.Module:
    """Seeded Kaiming weights and random batch-norm affine parameters and
    statistics; returns the model in eval mode."""
    g = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for m in model.modules():
            if isinstance(m, nn.Conv2d):
                fan_out = m.out_channels * m.kernel_size[0] * m.kernel_size[1] // m.groups
                m.weight.normal_(0.0, (2.0 / fan_out) ** 0.5, generator=g)
                if m.bias is not None:
                    m.bias.normal_(0.0, 0.05, generator=g)
            elif isinstance(m, nn.BatchNorm2d):
                m.weight.uniform_(0.5, 1.0, generator=g)
                m.bias.normal_(0.0, 0.1, generator=g)
                m.running_mean.normal_(0.0, 0.1, generator=g)
                m.running_var.uniform_(0.5, 1.5, generator=g)
            elif isinstance(m, nn.Linear):
                bound = 1.0 / m.in_features ** 0.5
                m.weight.uniform_(-bound, bound, generator=g)
                m.bias.uniform_(-bound, bound, generator=g)
    return model.eval()


def resnet50(seed: int = 0, num_classes: int = 1000) -> nn.Module:
    """ResNet-50 with seeded weights (see :func:`randomize`)."""
    return randomize(ResNet(Bottleneck, [3, 4, 6, 3], num_classes), seed)


def resnet18(seed: int = 0, num_classes: int = 1000) -> nn.Module:
    """ResNet-18 with seeded weights (see :func:`randomize`)."""
    return randomize(ResNet(BasicBlock, [2, 2, 2, 2], num_classes), seed)


def mobilenet_v2_style(seed: int = 0, num_classes: int = 1000) -> nn.Module:
    """A MobileNetV2-style network with seeded weights (see :func:`randomize`)."""
    return randomize(MobileNetV2Style(num_classes), seed)
