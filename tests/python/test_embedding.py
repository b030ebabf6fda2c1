"""Embedding, BERT embedding, position-embedding and patch-preparation layers
built from Python and compared with PyTorch / numpy, plus the errors of bad
tables and ids."""
import numpy as np
import pytest
import torch

import model_inference as mi
from vantrel import ModelBuilder


def rng(seed):
    return np.random.default_rng(seed)


def embedding_model(vocab, dim, tokens):
    b = ModelBuilder("m")
    b.input("ids", [tokens, 1])
    b.output(b.node("embedding_fp32", ["ids"], name="emb", num_embeddings=vocab, embedding_dim=dim))
    table = rng(vocab).standard_normal((vocab, dim)).astype(np.float32)
    b.weight("emb.weight", table)
    return b, table


def test_embedding_matches_numpy_indexing(build):
    b, table = embedding_model(10, 6, 5)
    ids = np.array([[9], [2.9], [-0.5], [4], [0]], np.float32)
    want = table[np.trunc(ids[:, 0]).astype(int)]
    np.testing.assert_array_equal(build(b).forward(ids), want.ravel())


@pytest.mark.parametrize("bad, message", [(np.nan, "token id at position 1 is NaN"),
                                          (10, "token id 10.000000 at position 1 is outside the 10 rows"),
                                          (-1, "token id -1.000000 at position 1 is outside"),
                                          (1e9, "is outside the 10 rows of 'emb.weight'")])
def test_embedding_refuses_ids_without_a_row(build, bad, message):
    b, _ = embedding_model(10, 6, 2)
    with pytest.raises(RuntimeError, match=message):
        build(b).forward(np.array([[1], [bad]], np.float32))


def bert_model(E, vocab, positions, tokens, full):
    r = rng(E + vocab)
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


@pytest.mark.parametrize("ids, error", [
    ([[1], [30]], "token id 30.* at position 1 is outside the 30 rows"),
    ([[-1], [2]], "token id -1.* at position 0 is outside"),
    ([[np.nan], [2]], "at position 0 is outside"),
    ([[1]] * 9, "sequence of 9 tokens is longer than the 8 rows"),
])
def test_bert_embeddings_refuse_bad_ids_and_long_inputs(build, ids, error):
    b, _ = bert_model(16, 30, 8, 2, False)
    b.inputs[0]["shape"] = [1, 0, 1, 1]  # token count from the array
    with pytest.raises(RuntimeError, match=error):
        build(b).forward(np.array(ids, np.float32))


def test_patch_prep_and_pos_emb_add(build):
    E, h, w = 8, 3, 4
    r = rng(5)
    cls, pe = r.standard_normal(E).astype(np.float32), r.standard_normal((h * w + 1, E)).astype(np.float32)
    table = r.standard_normal((h * w + 1, E)).astype(np.float32)
    b = ModelBuilder("m")
    b.input("x", [h, w, E])
    t = b.node("patch_prep_fp32", ["x"], name="pp")
    b.output(t, b.node("pos_emb_add_fp32", [t], name="pos"))
    b.weight("pp.cls_token", cls)
    b.weight("pp.pos_embed", pe)
    b.weight("pos.weight", table)
    x = r.standard_normal((h, w, E)).astype(np.float32)
    out = build(b).forward({"x": x})
    tokens = np.concatenate([cls[None], x.reshape(-1, E)]) + pe
    np.testing.assert_allclose(out["pp.out"], tokens.ravel(), rtol=0, atol=0)
    np.testing.assert_allclose(out["pos.out"], (tokens + table).ravel(), rtol=0, atol=0)


def test_patch_prep_refuses_grid_beyond_position_table(build):
    b = ModelBuilder("m")
    b.input("x", [0, 2, 4])
    b.output(b.node("patch_prep_fp32", ["x"], name="pp"))
    b.weight("pp.cls_token", np.zeros(4, np.float32))
    b.weight("pp.pos_embed", np.zeros((5, 4), np.float32))
    m = build(b)
    assert m.forward(np.ones((2, 2, 4), np.float32)).shape == (20,)
    with pytest.raises(RuntimeError, match="grid of 6 patches needs 7 rows of 'pp.pos_embed', which has 5"):
        m.forward(np.ones((3, 2, 4), np.float32))
