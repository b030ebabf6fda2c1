"""Post-training int8 quantisation against the float32 model it came from."""

import numpy as np
import pytest

import model_inference as mi
from vantrel import ModelBuilder
from vantrel.quantize import QuantizationError, quantize, quantize_input, tensor_qparams

torch = pytest.importorskip("torch")
from vantrel import torch_models  # noqa: E402
from vantrel.convert import convert  # noqa: E402


def load(tmp_path, builder, tag):
    arch, weights = tmp_path / f"{tag}.json", tmp_path / f"{tag}.bin"
    builder.save(str(arch), str(weights))
    return mi.InferenceModel(str(arch), str(weights))


def images(n, size, seed):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal((size, size, 3)).astype(np.float32) for _ in range(n)]


def compare(tmp_path, net, size, n_calib=6, n_test=6):
    fp32 = convert(net, torch.zeros(1, 3, size, size))
    int8 = quantize(fp32, images(n_calib, size, 1))
    f_model, q_model = load(tmp_path, fp32, "f"), load(tmp_path, int8, "q")
    spec = q_model.inputs[0]
    assert spec.dtype == "int8"
    agree, cosines = 0, []
    for x in images(n_test, size, 2):
        yf = f_model.forward(x)
        yq = q_model.forward(quantize_input(x, spec.scale, spec.zp))
        agree += int(yf.argmax() == yq.argmax())
        cosines.append(float(yf @ yq / np.linalg.norm(yf) / np.linalg.norm(yq)))
    return agree / n_test, min(cosines), int8


@pytest.mark.parametrize("make,size", [
    (lambda: torch_models.resnet18(seed=1, num_classes=10), 32),
    (lambda: torch_models.mobilenet_v2_style(seed=2, num_classes=10), 32),
], ids=["resnet18", "mobilenet_v2_style"])
def test_small_int8_networks_follow_float(tmp_path, make, size):
    top1, cosine, int8 = compare(tmp_path, make(), size)
    ops = {n["op"] for n in int8.nodes}
    assert {"conv_int8", "add_int8", "avgpool_int8", "gemm_int8"} <= ops
    assert "conv_fp32" not in ops
    assert cosine > 0.98 and top1 >= 5 / 6


@pytest.mark.slow
@pytest.mark.parametrize("make", [torch_models.resnet50, torch_models.mobilenet_v2_style],
                         ids=["resnet50", "mobilenet_v2_style"])
def test_imagenet_int8_networks_follow_float(tmp_path, make):
    top1, cosine, _ = compare(tmp_path, make(seed=0), 224, n_calib=4, n_test=4)
    assert cosine > 0.95 and top1 >= 3 / 4


def mixed_model(middle):
    b = ModelBuilder("mixed")
    x = b.input("x", [6, 6, 2])
    b.weight("c.weight", np.linspace(-1, 1, 8, dtype=np.float32).reshape(4, 2, 1, 1))
    y = b.node("conv_fp32", [x], name="c", C_out=4, C_in=2)
    if middle == "layernorm_fp32":
        b.weight("s0.gamma", np.ones(4, np.float32))
        b.weight("s0.beta", np.zeros(4, np.float32))
    if middle:
        y = b.node(middle, [y], name="s0")
    y = b.node("maxpool_fp32", [y], name="p", kH=2, kW=2, stride_h=2, stride_w=2)
    b.weight("g.weight", np.linspace(-1, 1, 3 * 36, dtype=np.float32).reshape(3, 36))
    y = b.node("gemm_fp32", [y], name="g", C_out=3, C_in=36)
    b.output(b.node("sigmoid_fp32", [y], name="s"))
    return b


@pytest.mark.parametrize("middle, ops", [
    (None, ["conv_int8", "maxpool_int8", "gemm_int8", "sigmoid_fp32"]),
    ("sigmoid_fp32", ["conv_int8", "lut_int8", "maxpool_int8", "gemm_int8", "sigmoid_fp32"]),
    # No int8 form: float32 between a dequantise and a quantise before the
    # classifier; the pooling follows its input.
    ("layernorm_fp32", ["conv_int8", "dequantize_int8", "layernorm_fp32", "maxpool_fp32",
                        "quantize_int8", "gemm_int8", "sigmoid_fp32"]),
])
def test_int8_and_float_segments(build, middle, ops):
    rng = np.random.default_rng(4)
    calib = [rng.standard_normal((6, 6, 2)).astype(np.float32) for _ in range(3)]
    fp32, q = mixed_model(middle), quantize(mixed_model(middle), calib)
    assert [n["op"] for n in q.nodes] == ops
    f_out = build(fp32).forward(calib[0])
    spec = q.inputs[0]
    q_out = build(q).forward(quantize_input(calib[0], spec["scale"], spec["zp"]))
    np.testing.assert_allclose(q_out, f_out, atol=0.02)


def test_qparams_cover_zero_and_saturate_relu_outputs():
    assert tensor_qparams(0.0, 2.55) == (pytest.approx(0.01), -128)
    s, z = tensor_qparams(-1.0, 1.0)
    x = np.array([-1.0, 0.0, 0.3, 1.0, 5.0])
    q = quantize_input(x, s, z)
    assert q[1] == z and q[4] == 127  # zero is exact; beyond the range saturates
    assert np.all(np.abs(s * (q[:4].astype(float) - z) - x[:4]) <= s / 2 + 1e-7)
    with pytest.raises(QuantizationError, match="no calibration inputs"):
        b = ModelBuilder("m")
        b.output(b.input("x", [2]))
        quantize(b, [])
