"""BERT embeddings built from Python against PyTorch's layer norm of the
summed tables, and ids without a table row refused at the boundary.
(Lookups, the other embedding layers and their errors are checked in
tests/cpp/test_embedding.cpp.)"""
import numpy as np
import pytest

torch = pytest.importorskip("torch")

from vantrel import ModelBuilder  # noqa: E402


def embedding_model(vocab, dim, tokens):
    b = ModelBuilder("m")
    b.input("ids", [tokens, 1])
    b.output(b.node("embedding_fp32", ["ids"], name="emb", num_embeddings=vocab, embedding_dim=dim))
    b.weight("emb.weight", np.zeros((vocab, dim), np.float32))
    return b


@pytest.mark.parametrize("bad, message", [(np.nan, "token id at position 1 is NaN"),
                                          (10, "token id 10.000000 at position 1 is outside the 10 rows"),
                                          (-1, "token id -1.000000 at position 1 is outside"),
                                          (1e9, "is outside the 10 rows of 'emb.weight'")])
def test_embedding_refuses_ids_without_a_row(build, bad, message):
    b = embedding_model(10, 6, 2)
    with pytest.raises(RuntimeError, match=message):
        build(b).forward(np.array([[1], [bad]], np.float32))


def bert_model(E, vocab, positions, tokens, full):
    r = np.random.default_rng(E + vocab)
    w = {"b.word_weight": r.standard_normal((vocab, E)), "b.pos_weight": r.standard_normal((positions, E))}
    if full:
        w.update({"b.type_weight": r.standard_normal((2, E)), "b.layernorm.weight": r.standard_normal(E),
                  "b.layernorm.bias": r.standard_normal(E)})
    w = {k: v.astype(np.float32) for k, v in w.items()}
    b = ModelBuilder("m")
    b.input("ids", [tokens, 1])
    b.output(b.node("bert_embeddings_fp32", ["ids"], name="b", emb_size=E))
    for k, v in w.items():
        b.weight(k, v)
    return b, w


@pytest.mark.parametrize("full", [False, True])
def test_bert_embeddings_match_torch(build, full):
    b, w = bert_model(16, 30, 8, 6, full)
    ids = np.array([[3], [29], [0], [7.5], [12], [3]], np.float32)
    e = torch.from_numpy(w["b.word_weight"][ids[:, 0].astype(int)] + w["b.pos_weight"][:6])
    if full:
        e = e + torch.from_numpy(w["b.type_weight"][0])
    want = torch.nn.functional.layer_norm(e, (16,), torch.from_numpy(w["b.layernorm.weight"]) if full else None,
                                          torch.from_numpy(w["b.layernorm.bias"]) if full else None, eps=1e-12)
    np.testing.assert_allclose(build(b).forward(ids), want.numpy().ravel(), rtol=1e-4, atol=1e-4)
