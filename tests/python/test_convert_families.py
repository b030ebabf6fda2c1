"""One entry point for every model family: `vantrel.convert` reads the family
from the module, and what it writes follows PyTorch."""
import numpy as np
import pytest
import torch

from vantrel import ConversionError, convert
from vantrel.convert import model_family
from vantrel.torch_models import resnet18, tiny_decoder, vit_s16
from vantrel.torch_vocoder import tiny_vocoder

IMAGE = torch.randn(1, 3, 32, 32, generator=torch.Generator().manual_seed(1))
IDS = torch.randint(0, 96, (7,), generator=torch.Generator().manual_seed(2))


def bert():
    transformers = pytest.importorskip("transformers")
    cfg = transformers.BertConfig(vocab_size=96, hidden_size=32, num_hidden_layers=2,
                                  num_attention_heads=4, intermediate_size=64,
                                  max_position_embeddings=16, hidden_act="gelu_pytorch_tanh")
    torch.manual_seed(0)
    return transformers.BertModel(cfg).eval()


def image_case(net):
    with torch.no_grad():
        want = net(IMAGE)[0].numpy()
    return net, IMAGE, np.ascontiguousarray(IMAGE[0].permute(1, 2, 0).numpy()), want


def ids_case(net, want):
    return net, None, IDS.numpy().astype(np.float32)[:, None], want


def case(family):
    if family == "cnn":
        return image_case(resnet18(seed=3, num_classes=10))
    if family == "vit":
        return image_case(vit_s16(num_classes=10, image=32, seed=4, patch=16, dim=64, depth=2,
                                  heads=4, mlp=128))
    if family == "decoder":
        net = tiny_decoder(seed=2, vocab=96, dim=48, layers=2, q_heads=4, kv_heads=2, ffn=80)
        with torch.no_grad():
            return ids_case(net, net(IDS).numpy().reshape(-1))
    net = bert()
    with torch.no_grad():
        return ids_case(net, net(IDS[None]).last_hidden_state.mean(1)[0].numpy())


@pytest.mark.parametrize("family", ["cnn", "vit", "decoder", "bert"])
def test_each_family_converts_and_follows_torch(build, family, capfd):
    net, example, x, want = case(family)
    assert model_family(net) == family
    got = build(convert(net, example, progress=True)).forward(x)
    assert float(np.abs(got - want).max() / np.abs(want).max()) < 1e-4
    assert "converting " in capfd.readouterr().err


def test_vocoder_is_recognised():
    net = tiny_vocoder()
    assert model_family(net) == "vocoder"
    assert {"lstm_fp32", "istft_fp32"} <= {n["op"] for n in convert(net).nodes}


@pytest.mark.parametrize("make, kwargs, message", [
    (lambda: resnet18(num_classes=10), {}, "needs an example input"),
    (lambda: resnet18(num_classes=10), dict(example_input=IMAGE, int8=True), "needs calibration"),
    (lambda: resnet18(num_classes=10), dict(example_input=IMAGE, q_heads=2), "do not apply to a CNN"),
    (lambda: tiny_decoder(layers=1), dict(int8=True), "converts to float32 only"),
    (lambda: tiny_vocoder(), dict(int8=True), "converts to float32 only"),
    (lambda: vit_s16(image=32, depth=1, dim=32, heads=2, mlp=32),
     dict(calibration=[np.zeros((32, 32, 3), np.float32)]), "on the fly"),
    (lambda: vit_s16(image=32, depth=1, dim=32, heads=2, mlp=32),
     dict(example_input=torch.zeros(1, 3, 64, 64)), "position table is for (1, 3, 32, 32)"),
    (lambda: resnet18(num_classes=10), dict(family="rnn"), "unknown model family 'rnn'"),
])
def test_conversion_errors_name_the_problem(make, kwargs, message):
    with pytest.raises(ConversionError) as e:
        convert(make(), **kwargs)
    assert message in str(e.value)


def test_bert_attention_mask_follows_torch_on_a_padded_batch(build):
    net = bert()
    lengths = torch.tensor([7, 4, 1])
    mask = (torch.arange(7)[None] < lengths[:, None]).long()
    ids = torch.randint(1, 96, (3, 7), generator=torch.Generator().manual_seed(3)) * mask  # pad id 0
    with torch.no_grad():
        want = net(ids, attention_mask=mask).last_hidden_state.numpy()
    for int8_attention in (False, True):
        m = build(convert(net, attention_mask=True, int8_attention=int8_attention))
        got = m.forward({"input_ids": ids.numpy(), "attention_mask": mask.numpy()})["last_hidden_state"]
        got = got.reshape(want.shape)
        if not int8_attention:  # every row, the padded ones too
            assert float(np.abs(got - want).max() / np.abs(want).max()) < 1e-4
        # Padding changes no real row: each sequence alone gives the same values.
        for i, n in enumerate(lengths.tolist()):
            one = m.forward({"input_ids": ids[i, :n].numpy(), "attention_mask": np.ones(n)})
            np.testing.assert_allclose(got[i, :n].ravel(), one["last_hidden_state"], rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("mask, message", [
    (np.zeros(7), "attention mask has no real token"),
    (np.full(7, 2.0), "attention mask value 2.000000 at token 0 is not 0 (padding) or 1 (token)"),
    (np.ones(5), "attention mask has 5 values for 7 tokens"),
])
def test_bad_attention_masks_are_refused(build, mask, message):
    m = build(convert(bert(), attention_mask=True))
    with pytest.raises(RuntimeError) as e:
        m.forward({"input_ids": IDS.numpy().astype(np.float32), "attention_mask": mask})
    assert message in str(e.value)
