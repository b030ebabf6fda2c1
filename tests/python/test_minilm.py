"""The real all-MiniLM-L6-v2 sentence-embedding model against sentence-transformers."""

import numpy as np
import pytest

pytest.importorskip("torch")
st = pytest.importorskip("sentence_transformers")
import model_inference as mi  # noqa: E402
from vantrel.bert import convert_minilm, minilm_dir  # noqa: E402

SENTENCES = [
    "A quick brown fox jumps over the lazy dog.",
    "Inference engines turn trained networks into fast, predictable programs.",
    "ok",
    " ".join(["the weights of the model are read from the package"] * 12),  # ~128 tokens
]


@pytest.fixture(scope="module")
def reference():
    return st.SentenceTransformer(str(minilm_dir()), device="cpu")


@pytest.mark.slow
@pytest.mark.parametrize("int8, int8_attention, min_cos",
                         [(False, False, 0.9999), (True, False, 0.99), (True, True, 0.98)])
def test_embeddings_follow_sentence_transformers(tmp_path, reference, int8, int8_attention, min_cos):
    arch, weights = str(tmp_path / "m.json"), str(tmp_path / "m.bin")
    convert_minilm(arch, weights, int8=int8, int8_attention=int8_attention)
    model = mi.InferenceModel(arch, weights)
    want = reference.encode(SENTENCES, normalize_embeddings=True)
    for sentence, w in zip(SENTENCES, want):
        ids = np.array(reference.tokenizer(sentence)["input_ids"], np.float32)[:, None]
        got = model.forward(ids)
        cos = float(got @ w / np.linalg.norm(got))
        assert cos >= min_cos, (sentence[:30], len(ids), cos)


def test_token_ids_must_fit_the_tables(tmp_path):
    arch, weights = str(tmp_path / "m.json"), str(tmp_path / "m.bin")
    convert_minilm(arch, weights)
    model = mi.InferenceModel(arch, weights)
    for ids, message in [([[30522.0]], "30522"), ([[-1.0]], "-1"),
                         (np.ones((513, 1), np.float32), "513")]:
        with pytest.raises(RuntimeError, match=message):
            model.forward(np.asarray(ids, np.float32))
