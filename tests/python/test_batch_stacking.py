"""A batch of same-shape samples shares one pass (pixelwise layers run once over
the stacked samples); every output must equal the one-sample-at-a-time loop
that VANTREL_NO_BATCH_STACK=1 forces, bit for bit."""
import numpy as np
import pytest

from vantrel._hf import load_builder
from vantrel.convert.bert import bert_encoder
from vantrel.model_file import ModelBuilder

E, HEADS, FFN, T, N = 32, 4, 48, 7, 5


def encoder():
    rng = np.random.default_rng(0)
    w = lambda *s: (rng.standard_normal(s) * 0.2).astype(np.float32)
    sd = {"embeddings.word_embeddings.weight": w(40, E),
          "embeddings.position_embeddings.weight": w(16, E),
          "embeddings.LayerNorm.weight": 1 + w(E), "embeddings.LayerNorm.bias": w(E)}
    for i in range(2):
        p = f"encoder.layer.{i}"
        for name, (o, k) in {"attention.self.query": (E, E), "attention.self.key": (E, E),
                             "attention.self.value": (E, E), "attention.output.dense": (E, E),
                             "intermediate.dense": (FFN, E), "output.dense": (E, FFN)}.items():
            sd[f"{p}.{name}.weight"], sd[f"{p}.{name}.bias"] = w(o, k), w(o)
        for ln in ("attention.output", "output"):
            sd[f"{p}.{ln}.LayerNorm.weight"], sd[f"{p}.{ln}.LayerNorm.bias"] = 1 + w(E), w(E)
    cfg = dict(hidden_size=E, num_attention_heads=HEADS, num_hidden_layers=2, intermediate_size=FFN)
    model = load_builder(bert_encoder(sd, cfg, attention_mask=True))
    ids = rng.integers(1, 40, (N, T)).astype(np.float32)
    am = np.ones((N, T), np.float32)
    for b, real in enumerate([7, 3, 5, 1, 7]):
        ids[b, real:], am[b, real:] = 0, 0
    return model, {"input_ids": ids, "attention_mask": am}


def image():
    # 1x1 convolutions (stacked, one with hard swish), 3x3 and pooling (per
    # sample), a residual add folded into a 1x1 convolution, and a 3-channel
    # 5x5 tensor whose 75 values per sample are not whole groups of 4, so the
    # activation reading it must not be stacked.
    rng = np.random.default_rng(1)
    w = lambda *s: (rng.standard_normal(s) * 0.3).astype(np.float32)
    b = ModelBuilder("img")
    x = b.input("image", [5, 5, 4])

    def conv(src, cin, cout, k, **args):
        name = f"c{len(b.nodes)}"
        out = b.node("conv_fp32", [src], name=name, C_in=cin, C_out=cout, kH=k, kW=k,
                     pad_h=k // 2, pad_w=k // 2, **args)
        b.weight(f"{name}.weight", w(cout, cin, k, k))
        b.weight(f"{name}.bias", w(cout))
        return out

    h = conv(x, 4, 8, 3, relu=True)
    g = conv(h, 8, 8, 1, act=2)
    s = b.node("add_fp32", [conv(g, 8, 8, 1), h], relu=True)
    t = b.node("tanh_fp32", [conv(s, 8, 3, 1)])
    p = b.node("avgpool_fp32", [b.node("gelu_erf_fp32", [conv(t, 3, 8, 1)])])
    y = b.node("gemm_fp32", [p], name="fc", C_in=8, C_out=6)
    b.weight("fc.weight", w(6, 8))
    b.weight("fc.bias", w(6))
    b.output(y, t)
    return load_builder(b), rng.standard_normal((N, 5, 5, 4)).astype(np.float32)


@pytest.mark.parametrize("make", [encoder, image])
def test_stacked_batch_equals_sample_loop(make, monkeypatch):
    model, feed = make()
    run = (lambda: model.forward(feed)) if isinstance(feed, dict) else \
        (lambda: {"out": model.forward(feed)})
    stacked = run()
    monkeypatch.setenv("VANTREL_NO_BATCH_STACK", "1")
    loop = run()
    assert stacked.keys() == loop.keys()
    for k in loop:
        assert loop[k].shape[0] == N and np.isfinite(loop[k]).all()
        assert np.array_equal(stacked[k], loop[k]), k
