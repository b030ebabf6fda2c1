"""Text generation against transformers: a seeded tiny Llama with a byte-level
BPE tokenizer trained here, greedy decoding against generate(), sampling
against transformers' top-k/top-p filters, stop strings and streaming, and
the `vantrel generate` command."""
import numpy as np
import pytest

torch = pytest.importorskip("torch")
transformers = pytest.importorskip("transformers")
tokenizers = pytest.importorskip("tokenizers")

from vantrel.cli import main as cli_main  # noqa: E402
from vantrel.convert.decoder import decoder_to_builder  # noqa: E402
from vantrel.generation import Generator, sample_token  # noqa: E402

CORPUS = ["the quick brown fox jumps over the lazy dog", "a model turns tokens into text",
          "numbers 0123456789 and marks: ,.;!?", "über café naïve — ünïcödé"] * 20
CHAT = [{"role": "user", "content": "name a colour"}]


@pytest.fixture(scope="module")
def tokenizer():
    from tokenizers import decoders, models, pre_tokenizers, trainers
    tok = tokenizers.Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tok.decoder = decoders.ByteLevel()
    tok.train_from_iterator(CORPUS, trainers.BpeTrainer(
        vocab_size=320, special_tokens=["<s>", "</s>"],
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
    fast = transformers.PreTrainedTokenizerFast(tokenizer_object=tok, bos_token="<s>",
                                                eos_token="</s>")
    fast.chat_template = ("{% for m in messages %}<s>{{ m['role'] }}: {{ m['content'] }}\n"
                          "{% endfor %}{% if add_generation_prompt %}assistant:{% endif %}")
    return fast


@pytest.fixture(scope="module")
def llama(tokenizer):
    cfg = transformers.LlamaConfig(vocab_size=len(tokenizer), hidden_size=64,
                                   intermediate_size=96, num_hidden_layers=2,
                                   num_attention_heads=4, num_key_value_heads=2,
                                   rope_theta=1000.0, initializer_range=0.2,
                                   tie_word_embeddings=False)
    torch.manual_seed(0)
    return transformers.LlamaForCausalLM(cfg).eval()


@pytest.fixture(scope="module")
def engine(llama, tmp_path_factory):
    d = tmp_path_factory.mktemp("gen")
    decoder_to_builder(llama, max_seq_len=96).save(str(d / "m.json"), str(d / "m.bin"))
    import model_inference as mi
    return mi.InferenceModel(str(d / "m.json"), str(d / "m.bin")), d


def hf_generate(llama, ids, n, eos):
    with torch.no_grad():
        out = llama.generate(torch.tensor([ids]), max_new_tokens=n, do_sample=False,
                             eos_token_id=eos, pad_token_id=0,
                             attention_mask=torch.ones(1, len(ids), dtype=torch.long))
    return out[0, len(ids):].tolist()


@pytest.mark.parametrize("prompt", ["the lazy fox", CHAT])
@pytest.mark.parametrize("ends_at_eos", [False, True])
def test_greedy_matches_transformers(llama, tokenizer, engine, prompt, ends_at_eos):
    """generate_ids, generate and stream against transformers' greedy
    generate; with an end-of-sequence id that greedy decoding reaches, both
    stop before it."""
    gen = Generator(engine[0], tokenizer, eos_token_ids=[])
    ids = gen.prompt_ids(prompt)
    free = hf_generate(llama, ids, 24, None)
    want = free
    if ends_at_eos:
        eos = free[9]
        want = hf_generate(llama, ids, 24, eos)
        assert want[-1] == eos
        want = want[:-1]
    gen = Generator(engine[0], tokenizer, eos_token_ids=[eos] if ends_at_eos else [])
    assert gen.generate_ids(ids, max_new_tokens=24) == want
    assert gen.last_usage == {"prompt_tokens": len(ids), "completion_tokens": len(want) + ends_at_eos,
                              "total_tokens": len(ids) + len(want) + ends_at_eos}
    assert gen.last_finish_reason == ("stop" if ends_at_eos else "length")
    text = tokenizer.decode(want, skip_special_tokens=True)
    assert gen.generate(prompt, max_new_tokens=24) == text
    stream = gen.stream(prompt, max_new_tokens=24)
    pieces = list(stream)
    assert "".join(pieces) == text and len(pieces) > 1
    assert (stream.usage, stream.finish_reason) == (gen.last_usage, gen.last_finish_reason)


def test_sampling_is_seeded_and_top_k_1_is_greedy(tokenizer, engine):
    gen = Generator(engine[0], tokenizer, eos_token_ids=[])
    ids = gen.prompt_ids("numbers and marks")
    greedy = gen.generate_ids(ids, max_new_tokens=20)
    hot = dict(max_new_tokens=20, temperature=1.5)
    runs = [gen.generate_ids(ids, seed=s, **hot) for s in (7, 7, 8)]
    assert runs[0] == runs[1] != runs[2]
    assert gen.generate_ids(ids, top_k=1, seed=3, **hot) == greedy
    assert gen.generate_ids(ids, top_p=1e-6, seed=3, **hot) == greedy


@pytest.mark.parametrize("temperature, top_k, top_p", [(1.0, 0, 1.0), (0.7, 3, 1.0),
                                                       (1.3, 0, 0.6), (1.0, 4, 0.8)])
def test_sample_frequencies_follow_transformers_filters(temperature, top_k, top_p):
    logits = np.array([2.0, 1.5, 1.4, 0.2, -0.5, 1.0, -3.0], np.float32)
    scores = torch.from_numpy(logits)[None] / temperature
    if top_k:
        scores = transformers.TopKLogitsWarper(top_k)(None, scores)
    if top_p < 1:
        scores = transformers.TopPLogitsWarper(top_p)(None, scores)
    want = torch.softmax(scores, -1)[0].numpy()
    rng = np.random.default_rng(0)
    n = 20000
    got = np.bincount([sample_token(logits, temperature, top_k, top_p, rng) for _ in range(n)],
                      minlength=logits.size) / n
    assert (got[want == 0] == 0).all()
    np.testing.assert_allclose(got, want, atol=0.015)


def test_stop_strings_end_the_text(tokenizer, engine):
    gen = Generator(engine[0], tokenizer, eos_token_ids=[])
    full = gen.generate("the quick", max_new_tokens=30)
    stop = full[12:15]
    cut = full.find(stop)
    assert gen.generate("the quick", max_new_tokens=30, stop=["zzzz", stop]) == full[:cut]
    assert gen.last_finish_reason == "stop"
    pieces = list(gen.stream("the quick", max_new_tokens=30, stop=stop))
    assert "".join(pieces) == full[:cut]
    ids = gen.generate_ids(gen.prompt_ids("the quick"), max_new_tokens=30, stop=stop)
    assert tokenizer.decode(ids[:-1]).find(stop) < 0 <= tokenizer.decode(ids).find(stop)


@pytest.mark.parametrize("kwargs, message", [
    (dict(max_new_tokens=-1), "max_new_tokens"), (dict(temperature=-0.5), "temperature"),
    (dict(temperature=float("nan")), "temperature"), (dict(top_k=1.5), "top_k"),
    (dict(top_p=0.0), "top_p"), (dict(stop=[""]), "stop"), (dict(seed="x"), "seed"),
    (dict(max_new_tokens=2, prompt="x " * 200), "cache holds 96"),
])
def test_bad_requests_are_refused(tokenizer, engine, kwargs, message):
    gen = Generator(engine[0], tokenizer)
    prompt = kwargs.pop("prompt", "the fox")
    with pytest.raises(ValueError, match=message):
        gen.generate(prompt, **kwargs)


def test_cli_generate_streams_the_text(tokenizer, engine, capsys):
    model, d = engine
    tokenizer.save_pretrained(str(d / "tok"))
    args = [str(d / "m.json"), str(d / "m.bin"), "--tokenizer", str(d / "tok"), "name a colour",
            "--max-new-tokens", "12", "--chat", "--top-k", "5", "--temperature", "0.9",
            "--seed", "4"]
    assert cli_main(["generate", *args]) == 0
    want = Generator(model, tokenizer).generate(CHAT, max_new_tokens=12, top_k=5,
                                                temperature=0.9, seed=4)
    assert capsys.readouterr().out == want + "\n"


@pytest.mark.slow
@pytest.mark.xdist_group("smollm2")
def test_smollm2_gguf_chat_follows_transformers(smollm2_hf):
    """Generator.from_pretrained on the real SmolLM2 GGUF: the chat template,
    the model's end-of-sequence id and greedy text as transformers gives them."""
    gen = Generator.from_pretrained(smollm2_hf.gguf, max_seq_len=128)
    net = smollm2_hf.net
    chat = [{"role": "user", "content": "What is the capital of France?"}]
    ids = gen.prompt_ids(chat)
    want = hf_generate(llama=net, ids=ids, n=40, eos=net.generation_config.eos_token_id)
    ended = want[-1] in gen.eos_token_ids
    assert gen.generate(chat, max_new_tokens=40) == gen.tokenizer.decode(
        want[:-1] if ended else want, skip_special_tokens=True)
    assert gen.last_finish_reason == ("stop" if ended else "length")
