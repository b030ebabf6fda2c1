import json

import numpy as np
import pytest

import model_inference as mi
from conftest import identity
from vantrel import ModelBuilder


def test_properties_and_reprs(build):
    m = build(identity([224, 224, 3], name="ResNet50"))
    assert repr(m) == "<InferenceModel name='ResNet50' input=[224,224,3]>"
    assert repr(m.inputs[0]) == "<InputSpec name='x' shape=[224,224,3] dtype=float32>"
    assert (m.model_name, m.input_count, m.output_names) == ("ResNet50", 1, ["x"])
    assert (m.is_fp32, m.input_h, m.input_w, m.input_c) == (True, 224, 224, 3)
    assert m.profile_enabled and m.speed == 1.0
    flat = build(identity([80]))
    assert repr(flat) == "<InferenceModel name='m' input=[80]>"
    assert (flat.input_h, flat.input_w, flat.input_c) == (80, 1, 1)


def test_names_that_are_not_utf8_come_back_escaped(tmp_path):
    # The file format passes name bytes through; Python gets them escaped.
    identity([4]).save(str(tmp_path / "m.json"), str(tmp_path / "m.bin"))
    raw = (tmp_path / "m.json").read_bytes().replace(b'"m"', b'"r\xffn"').replace(b'"x"', b'"x\xfe"')
    (tmp_path / "m.json").write_bytes(raw)
    m = mi.InferenceModel(str(tmp_path / "m.json"), str(tmp_path / "m.bin"))
    assert (m.model_name, m.output_names, m.inputs[0].name) == ("r\\xffn", ["x\\xfe"], "x\\xfe")
    assert repr(m) == "<InferenceModel name='r\\xffn' input=[4]>"
    assert list(m.forward({"x\\xfe": np.ones(4, np.float32)})) == ["x\\xfe"]


@pytest.mark.parametrize("name, classes", [
    ("ResNet50", 1000), ("mobilenet_v2", 1000), ("ViT-B-16", 1000), ("bert-base", 0)])
def test_num_classes(build, name, classes):
    assert build(identity([4], name=name)).num_classes == classes


@pytest.mark.parametrize("declared, n, shape", [
    ([224, 224, 3], 150528, [224, 224, 3]),
    ([0, 80], 4000, [50, 80]),
    ([0, 80], 80, [80]),
    ([0, 6, 2], 24, [2, 6, 2]),
])
def test_shape_selection(build, declared, n, shape):
    b = ModelBuilder("m")
    b.input("x", declared)
    b.output(b.node("scale_fp32", ["x"], scalar=2.0))
    m = build(b)
    x = np.arange(n, dtype=np.float64)
    y = m.forward(x)
    assert y.dtype == np.float32 and y.shape == (int(np.prod(shape)),)
    np.testing.assert_array_equal(y, 2 * x[:y.size].astype(np.float32))
    d = m.forward({"x": x.reshape(-1, 1)})
    np.testing.assert_array_equal(d[m.output_names[0]], y)


def doubling(build, *declared, dtype="float32"):
    """y = 2x for each declared input (int8: through an identity max pool)."""
    b = ModelBuilder("m")
    for i, shape in enumerate(declared):
        x = b.input(f"x{i}", shape, dtype=dtype)
        if dtype == "int8":
            b.output(b.node("maxpool_int8", [x], kH=1, kW=1, stride_h=1, stride_w=1))
        else:
            b.output(b.node("scale_fp32", [x], scalar=2.0))
    return build(b)


IMG = np.arange(2 * 4 * 5 * 3, dtype=np.float32).reshape(2, 4, 5, 3)
IDS = np.arange(15, dtype=np.float32).reshape(3, 5)


# One row per rule: a sample in its declared layout, with unit axes or flat
# gives a flat result; a batch (N, ...) gives (N, K), row i from sample i.
@pytest.mark.parametrize("declared, x, want", [
    ([4, 5, 3], IMG[0], 2 * IMG[0].ravel()),
    ([4, 5, 3], IMG[:1], 2 * IMG[0].ravel()),
    ([4, 5, 3], IMG[0].ravel(), 2 * IMG[0].ravel()),
    ([4, 5, 3], IMG, 2 * IMG.reshape(2, -1)),
    ([0, 1], IDS, 2 * IDS),                      # padded-free sequences of one length
    ([0, 3], IMG[0, 0], 2 * IMG[0, 0].ravel()),  # variable length: one sequence
    ([0, 3], IMG[:, 0], 2 * IMG[:, 0].reshape(2, -1)),
])
def test_samples_and_batches(build, declared, x, want):
    m = doubling(build, declared)
    got = m.forward(x)
    assert got.dtype == np.float32 and got.shape == want.shape
    np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(m.forward({"x0": x})["scale1.out"], want)


def test_batches_convert_by_the_declared_dtype(build):
    m = doubling(build, [4], dtype="int8")
    x = np.array([[0.2, -3.0, 1e9, 2.5], [1.0, 0.0, -1e9, 0.4]])
    np.testing.assert_array_equal(m.forward(x), np.clip(np.round(x / 1.0), -128, 127))


@pytest.mark.parametrize("declared, x, message", [
    ([4], np.float32(1.0), "Input array must have at least 1 dimension."),
    ([4], np.zeros(3, np.float32), "Input array for 'x0' has 3 elements; shape [4] needs 4."),
    ([4, 5, 3], IMG[0].transpose(2, 0, 1),  # CHW for an HWC model
     "input 'x0' has shape (3, 4, 5), which is neither its declared shape [4, 5, 3] nor a batch "
     "(N, 4, 5, 3) of it"),
    ([4], np.zeros(5), "input 'x0' has shape (5,), which is neither its declared shape [4] nor a batch (N, 4)"),
    ([0, 3], np.zeros(7), "nor a batch (N, 0, 3) of it (0: any length)"),
    ([4], np.zeros((0, 4)), "input 'x0' is an empty batch (N = 0)"),
])
def test_shape_rejections(build, declared, x, message):
    m = doubling(build, declared)
    with pytest.raises(RuntimeError) as e:
        m.forward(x)
    assert message in str(e.value)


@pytest.mark.parametrize("a, b, message", [
    (np.ones((2, 4)), np.ones((3, 4)), "input 'x0' is a batch of 2 samples, but input 'x1' of shape (3, 4) is "
                                       "not a batch (N, 4) with N = 2"),
    (np.ones((2, 4)), np.ones(4), "but input 'x1' of shape (4,) is not a batch"),
    (np.ones((1, 4)), np.ones(4), None),  # a batch of one beside one sample is that sample
])
def test_inputs_of_a_batch_agree(build, a, b, message):
    m = doubling(build, [4], [4])
    if message is None:
        assert m.forward({"x0": a, "x1": b})["scale2.out"].shape == (4,)
        return
    with pytest.raises(RuntimeError) as e:
        m.forward({"x0": a, "x1": b})
    assert message in str(e.value)


def test_token_batches_need_a_mask_and_steps_take_one_sample(build):
    b = ModelBuilder("m")
    b.input("ids", [0, 1])
    b.output(b.node("embedding_fp32", ["ids"], name="emb", num_embeddings=16, embedding_dim=2))
    b.weight("emb.weight", np.arange(32, dtype=np.float32).reshape(16, 2))
    m = build(b)
    np.testing.assert_array_equal(m.forward(IDS[:1]), np.arange(10, dtype=np.float32))
    with pytest.raises(RuntimeError, match="input 'ids' is a batch of 3 token sequences, but this model has no "
                                           "attention mask input.*pass the sequences one at a time.*"
                                           "'attention_mask': mask"):
        m.forward(IDS)
    with pytest.raises(RuntimeError, match="forward_step continues one sequence; pass one sample, not a batch of 2"):
        doubling(build, [4]).forward_step(np.ones((2, 4)))


def test_arrays_convert_to_the_type_the_model_reads(build):
    b = ModelBuilder("m")
    b.input("x", [4], dtype="int8", scale=0.5, zp=1)
    b.output(b.node("maxpool_int8", ["x"], kH=1, kW=1, stride_h=1, stride_w=1))
    m = build(b)
    np.testing.assert_array_equal(m.forward(np.array([True, False, True, True])), [1, 0, 1, 1])
    np.testing.assert_array_equal(m.forward(np.array([-128, -1, 5, 127], np.int64)), [-128, -1, 5, 127])
    # Floats are quantised with the input's scale and zero point.
    np.testing.assert_array_equal(m.forward(np.array([0.2, -3.0, 1e9, 2.5], np.float32)), [1, -5, 127, 6])
    f = build(identity([4]))
    for arr in (np.array([1, 2, 3, 4], np.uint8), np.array([1, 2, 3, 4], np.int64), [1.0, 2, 3, 4]):
        np.testing.assert_array_equal(f.forward(arr), [1, 2, 3, 4])
    with pytest.raises(TypeError, match="input 'x' takes a numeric array \\(float32\\), not dtype 'complex64'"):
        f.forward(np.zeros(4, dtype=np.complex64))


def test_dict_forward_names(build):
    m = build(identity([4]))
    with pytest.raises(RuntimeError, match=r"'unknown_name' is not a declared input of this model \(declared: 'x'\)"):
        m.forward({"unknown_name": np.zeros(4)})
    out = m.forward({"x": [1, 2, 3, 4]})
    assert list(out) == ["x"] and out["x"].tolist() == [1, 2, 3, 4]


def test_speed_and_profiling(build):
    b = ModelBuilder("m")
    b.input("x", [8])
    y = b.node("scale_fp32", ["x"], name="s1", scalar=3.0)
    b.output(b.node("scale_fp32", [y], name="s2", scalar=0.5))
    m = build(b)
    for bad in (0.0, -1.0, float("nan"), float("inf")):
        with pytest.raises(RuntimeError, match="^speed must be a positive finite value$"):
            m.set_speed(bad)
    m.set_speed(2.0)
    assert m.speed == 2.0
    m.forward(np.ones(8, dtype=np.float32))
    assert set(m.op_profile()) == {"scale_fp32"} and set(m.layer_profile()) == {"s1", "s2"}
    m.reset_profile()
    m.set_profile_enabled(False)
    m.forward(np.ones(8, dtype=np.float32))
    assert m.op_profile() == {} and not m.profile_enabled


@pytest.mark.parametrize("content, message", [
    (None, "Cannot open weights: {weights}"),
    (b"W1X2" + bytes(8), "Bad magic in {weights} (expected W1X1)"),
    (b"W1X1" + bytes(6), "read error at num_entries"),
])
def test_construction_errors(tmp_path, content, message):
    arch, weights = tmp_path / "a.json", tmp_path / "w.bin"
    arch.write_text(json.dumps({"model": "m", "inputs": [{"name": "x", "shape": [1, 1, 1, 4]}]}))
    if content is not None:
        weights.write_bytes(content)
    with pytest.raises(RuntimeError) as e:
        mi.InferenceModel(str(arch), str(weights))
    assert str(e.value) == message.format(weights=weights)
    with pytest.raises(RuntimeError, match="^Cannot open JSON: "):
        mi.InferenceModel(str(tmp_path / "none.json"), str(weights))


def test_unbuilt_op_and_unknown_op(build, capfd):
    b = ModelBuilder("m")
    b.input("x", [4])
    # ModelBuilder.node refuses unknown ops, so the node is written directly.
    b.nodes.append({"name": "odd", "op": "not_an_op", "inputs": ["x"], "outputs": ["odd.out"]})
    b.output("odd.out")
    m = build(b)
    assert "arch_loader: unknown op 'not_an_op' in node 'odd'" in capfd.readouterr().err
    with pytest.raises(RuntimeError, match="^No layer for: odd$"):
        m.forward(np.zeros(4, dtype=np.float32))


def test_weights_round_trip(tmp_path):
    from vantrel import read_weights, write_weights
    tensors = {"a.weight": np.arange(6, dtype=np.float32).reshape(2, 3), "b.i8": np.array([-1, 2], np.int8),
               "n" * 63: np.zeros((), np.int32)}
    write_weights(str(tmp_path / "w.bin"), tensors)
    back = read_weights(str(tmp_path / "w.bin"))
    assert set(back) == set(tensors)
    for k, v in tensors.items():
        assert back[k].dtype == v.dtype and back[k].shape == v.shape
        np.testing.assert_array_equal(back[k], v)
    with pytest.raises(ValueError):
        write_weights(str(tmp_path / "x.bin"), {"n" * 64: np.zeros(1, np.float32)})


def test_load_stats_count_shared_packed_blocks(build):
    # Two nodes with one name and the same arguments bind the same weights,
    # so the second reuses the first one's packed block.
    b = ModelBuilder("tied")
    b.input("x", [8])
    b.node("gemm_fp32", ["x"], "y", name="fc", C_in=8, C_out=8)
    b.node("gemm_fp32", ["y"], "z", name="fc", C_in=8, C_out=8)
    b.node("gemm_fp32", ["z"], "u", name="other", C_in=8, C_out=8)
    w = np.random.default_rng(0).standard_normal((8, 8)).astype(np.float32)
    b.weight("fc.weight", w)
    b.weight("other.weight", w)
    b.output("u")
    m = build(b)
    s = m.load_stats()
    assert (s["packed_blocks"], s["shared_packed_blocks"]) == (3, 1)
    assert s["shared_packed_bytes"] >= 8 * 8 * 4 and s["peak_tensor_bytes"] == 8 * 8 * 4
    x = np.arange(8, dtype=np.float32)
    np.testing.assert_allclose(m.forward(x), w @ (w @ (w @ x)), rtol=1e-5)


@pytest.mark.parametrize("b_shape", [(6, 4), (3, 8)])
def test_last_only_steps_keep_rows_paired(build, b_shape):
    """A last_only step runs a trailing sum on the last row alone only when
    both operands hold the same rows; a sum of equal element counts in
    other shapes still pairs element by element."""
    b = ModelBuilder("m")
    x, y = b.input("a", [0, 4]), b.input("b", [0, 0])
    b.output(b.node("elemwise_mul_fp32", [b.node("add_fp32", [x, y]), x]))
    m = build(b)
    a, c = np.random.default_rng(1).standard_normal((2, 24)).astype(np.float32)
    got = m.forward_step({"a": a.reshape(6, 4), "b": c.reshape(b_shape)}, last_only=True)
    np.testing.assert_array_equal(next(iter(got.values())), ((a + c) * a)[-4:])
