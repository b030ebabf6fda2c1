"""The decoder language model end to end: full-sequence logits against
PyTorch, step-by-step decoding through the KV cache against one full pass,
the cache controls, Hugging Face Llamas (greedy decoding, the tied head, the
weight-only int8 mode; the real SmolLM2 when -m slow) and conversion errors."""
import copy

import model_inference as mi
import numpy as np
import pytest
import torch
from torch import nn

from vantrel.convert import ConversionError
from vantrel.decoder import decoder_to_builder
from vantrel.torch_models import tiny_decoder

SMALL = dict(vocab=96, dim=48, layers=2, q_heads=4, kv_heads=1, ffn=80, rope_theta=500.0)


def ids_of(n, vocab, seed=3):
    return torch.randint(0, vocab, (n,), generator=torch.Generator().manual_seed(seed))


def as_input(ids):
    return ids.numpy().astype(np.float32)[:, None]


def rel(a, b):
    return float(np.abs(a - b).max() / np.abs(b).max())


@pytest.fixture(scope="module")
def tiny():
    return tiny_decoder(seed=1)


@pytest.mark.parametrize("config, tokens", [({}, 37), (SMALL, 5), (dict(SMALL, kv_heads=4), 2)])
def test_full_sequence_matches_torch(build, config, tokens):
    net = tiny_decoder(seed=2, **config)
    ids = ids_of(tokens, net.vocab)
    with torch.no_grad():
        want = net(ids).numpy()
    got = build(decoder_to_builder(net, max_seq_len=64)).forward(as_input(ids))
    got = got.reshape(tokens, net.vocab)
    assert rel(got, want) < 1e-5
    assert (got.argmax(1) == want.argmax(1)).all()


class SingleTokenInt8Linear(nn.Module):
    """A bias-free linear that, for one token, computes what the engine's
    single-token path does: per-row int8 weights, symmetric int8 activation,
    integer dot products, (sx * sw) * acc."""

    def __init__(self, lin: nn.Linear):
        super().__init__()
        self.lin = lin
        w = lin.weight.detach().numpy().astype(np.float32)
        amax = np.abs(w).max(axis=1)
        inv = np.where(amax > 1e-8, np.float32(127) / amax, 0).astype(np.float32)
        self.sw = np.where(amax > 1e-8, amax * np.float32(0.007874016), 1e-8).astype(np.float32)
        self.qw = np.clip(round_away(w * inv[:, None]), -128, 127).astype(np.int64)

    def forward(self, x):
        if x.shape[0] != 1:
            return self.lin(x)
        v = x.detach().numpy()[0].astype(np.float32)
        amax = np.float32(np.abs(v).max())
        if amax < np.float32(1.27e-6):
            inv, sx = np.float32(1e8), np.float32(1e-8)
        else:
            inv, sx = np.float32(127) / amax, amax * np.float32(0.007874016)
        qx = np.clip(round_away(v * inv), -128, 127).astype(np.int64)
        acc = (self.qw @ qx).astype(np.float32)
        return torch.from_numpy(((sx * self.sw) * acc)[None, :].astype(np.float32))


def round_away(v):
    return np.sign(v) * np.floor(np.abs(v) + np.float32(0.5))


def single_token_reference(net):
    ref = copy.deepcopy(net)
    for parent in list(ref.modules()):
        for key, child in list(parent.named_children()):
            if isinstance(child, nn.Linear):
                setattr(parent, key, SingleTokenInt8Linear(child))
    return ref


@pytest.mark.parametrize("mode", ["float32", "step_int8", "int8"])
def test_step_decoding_follows_the_full_pass(build, tiny, mode):
    """A 9-token prompt, then steps. By default every step computes what the
    full pass computes for its positions; with step_int8 single-token steps
    take the int8 path, checked against an emulation of it. last_only steps
    (which run the row-wise tail on the last row alone) give the last row of
    the same step bit for bit."""
    T = 30
    ids = ids_of(T, tiny.vocab)
    step_int8 = mode == "step_int8"
    model = build(decoder_to_builder(tiny, max_seq_len=64, step_int8=step_int8,
                                     weights="int8" if mode == "int8" else "float32"))
    x = as_input(ids)
    full = model.forward(x).reshape(T, -1)
    with torch.no_grad():
        want = tiny(ids).numpy()
    model.reset_cache()
    steps = [(0, 9), (9, 11), (11, 14)] + [(t, t + 1) for t in range(14, T)]
    got = []
    for a, b in steps:
        assert model.position == a
        got.append(model.forward_step(x[a:b]).reshape(b - a, -1))
    assert model.position == T
    got = np.concatenate(got)
    model.reset_cache()
    for a, b in steps[:4]:  # the cache a last_only step fills serves the next
        np.testing.assert_array_equal(model.forward_step(x[a:b], last_only=True), got[b - 1])
    if mode == "int8":
        assert rel(got, full) <= 1e-6 and rel(got, want) < 3e-2
        return
    if not step_int8:
        assert rel(got, full) <= 1e-6 and rel(got, want) < 1e-5
        return
    np.testing.assert_allclose(got[:14], full[:14], rtol=0, atol=1e-6 * np.abs(full).max())
    ref, past, emulated = single_token_reference(tiny), None, []
    with torch.no_grad():
        for a, b in steps:
            y, past = ref.forward_cached(ids[a:b], past)
            emulated.append(y.numpy())
    emulated = np.concatenate(emulated)
    assert rel(got[14:], emulated[14:]) < 1e-5
    # The int8 path stays close to the float model.
    assert rel(got, want) < 3e-2
    assert (got.argmax(1) == want.argmax(1)).mean() >= 0.8


def test_reset_starts_a_new_sequence(build, tiny):
    model = build(decoder_to_builder(tiny, max_seq_len=32))
    first, second = as_input(ids_of(12, tiny.vocab, 5)), as_input(ids_of(7, tiny.vocab, 6))
    fresh = model.forward(second)
    model.reset_cache()
    model.forward_step(first)
    model.forward_step(first[:3])
    model.reset_cache()
    assert model.position == 0
    np.testing.assert_array_equal(model.forward_step(second), fresh)
    assert model.position == 7


def test_capacity_overflow_raises_and_keeps_the_position(build, tiny):
    model = build(decoder_to_builder(tiny, max_seq_len=16))
    assert model.cache_capacity == 16
    x = as_input(ids_of(16, tiny.vocab))
    model.forward_step(x[:10])
    with pytest.raises(RuntimeError):
        model.forward_step(x[:7])
    assert model.position == 10
    model.forward_step(x[10:16])  # exactly full
    with pytest.raises(RuntimeError):
        model.forward_step(x[:1])
    with pytest.raises(RuntimeError):
        model.forward(np.zeros((17, 1), np.float32))


@pytest.mark.slow  # importing transformers alone takes seconds
def test_hugging_face_llama(build):
    transformers = pytest.importorskip("transformers")
    cfg = transformers.LlamaConfig(vocab_size=80, hidden_size=64, intermediate_size=96,
                                   num_hidden_layers=2, num_attention_heads=4,
                                   num_key_value_heads=2, rope_theta=300.0, rms_norm_eps=1e-5,
                                   tie_word_embeddings=False)
    torch.manual_seed(0)
    net = transformers.LlamaForCausalLM(cfg).eval()
    ids = ids_of(11, 80)
    with torch.no_grad():
        want = net(ids[None]).logits[0].numpy()
    got = build(decoder_to_builder(net, max_seq_len=32)).forward(as_input(ids)).reshape(11, 80)
    assert rel(got, want) < 1e-4


@pytest.mark.parametrize("change, kwargs, message", [
    (None, dict(q_heads=5), "q_heads=5"),
    (None, dict(q_heads=4, kv_heads=3), "kv_heads=3"),
    (None, dict(max_seq_len=0), "max_seq_len=0"),
    ("drop", dict(), "layers.1.mlp.up.weight"),
    ("shape", dict(), r"layers.0.attn.k.weight has shape \(8, 48\)"),
    (None, dict(rope_theta=0.0), "rope_theta"),
])
def test_unsupported_models_are_rejected(change, kwargs, message):
    sd = tiny_decoder(**SMALL).state_dict()
    if change == "drop":
        del sd["layers.1.mlp.up.weight"]
    elif change == "shape":
        sd["layers.0.attn.k.weight"] = sd["layers.0.attn.k.weight"][:8]
    args = dict(q_heads=4, kv_heads=1)
    args.update(kwargs)
    with pytest.raises(ConversionError, match=message):
        decoder_to_builder(sd, **args)


@pytest.fixture(scope="module")
def tied_llama():
    transformers = pytest.importorskip("transformers")
    cfg = transformers.LlamaConfig(vocab_size=256, hidden_size=64, intermediate_size=128,
                                   num_hidden_layers=2, num_attention_heads=4,
                                   num_key_value_heads=2, rope_theta=1000.0, rms_norm_eps=1e-5,
                                   tie_word_embeddings=True, initializer_range=0.1)
    torch.manual_seed(0)
    return transformers.LlamaForCausalLM(cfg).eval()


def greedy(model, prompt, n, suppress=()):
    """Greedy decoding through the cache: the prompt, then one token a step;
    the ``suppress`` ids are never chosen (as generate's min_new_tokens
    keeps the end-of-sequence tokens out)."""
    model.reset_cache()
    logits, out = model.forward_step(as_input(prompt), last_only=True), []
    for _ in range(n):
        logits[list(suppress)] = -np.inf
        out.append(int(logits.argmax()))
        logits = model.forward_step(np.array([[out[-1]]], np.float32), last_only=True)
    return out


def eos_ids(net):
    eos = net.generation_config.eos_token_id
    return [] if eos is None else [eos] if isinstance(eos, int) else list(eos)


def hf_greedy(net, prompt, n):
    with torch.no_grad():
        ids = net.generate(prompt[None], max_new_tokens=n, min_new_tokens=n, do_sample=False,
                           attention_mask=torch.ones(1, len(prompt), dtype=torch.long))
    return ids[0, len(prompt):].tolist()


@pytest.mark.parametrize("weights, logit_rel", [("float32", 1e-4), ("int8", 3e-2)])
def test_llama_greedy_decoding_and_tied_head(build, tmp_path, tied_llama, weights, logit_rel):
    """A tied Llama from transformers: the head's table is stored once, one
    token at a time gives the full pass's logits, and greedy decoding equals
    transformers' generate (weight-only int8: close logits that pick the
    same next token at almost every position)."""
    net, n = tied_llama, 24
    prompt = ids_of(7, net.config.vocab_size, 11)
    model = build(decoder_to_builder(net, max_seq_len=64, weights=weights))
    vocab, dim = net.config.vocab_size, net.config.hidden_size
    unique = 4 * sum(p.numel() for p in net.parameters())  # counts the tied table once
    if weights == "float32":
        assert (tmp_path / "m.bin").stat().st_size < unique + 4 * vocab * dim // 2

    ids = torch.cat([prompt, torch.tensor(hf_greedy(net, prompt, n))])
    with torch.no_grad():
        want = net(ids[None]).logits[0].numpy()
    full = model.forward(as_input(ids)).reshape(len(ids), vocab)
    assert rel(full, want) < logit_rel
    model.reset_cache()
    np.testing.assert_array_equal(model.forward_step(as_input(ids[:7]), last_only=True),
                                  full[6])
    steps = np.stack([model.forward_step(as_input(ids[t:t + 1]), last_only=True)
                      for t in range(7, len(ids))])
    assert rel(steps, full[7:]) <= 1e-4
    if weights == "float32":
        assert greedy(model, prompt, n, eos_ids(net)) == ids[7:].tolist()
    else:
        assert (full.argmax(1) == want.argmax(1)).mean() >= 0.9


@pytest.mark.slow
@pytest.mark.xdist_group("smollm2")
def test_smollm2_greedy_matches_transformers(tmp_path, smollm2_hf):
    """The real SmolLM2-135M-Instruct (dequantised from its GGUF by
    transformers): one-token steps through the cache, fed transformers' 30
    greedy tokens on chat-template and raw prompts, pick each next one of
    them (so greedy decoding gives the same tokens); the weight-only int8
    mode stays close (its figures are printed)."""
    tok, net = smollm2_hf.tokenizer, smollm2_hf.net
    chats = ["What is the capital of France?", "Write a haiku about the sea."]
    texts = [tok.apply_chat_template([{"role": "user", "content": c}], add_generation_prompt=True,
                                     tokenize=False) for c in chats]
    texts += ["The three primary colours are", "def fibonacci(n):\n"]
    prompts = [torch.tensor(tok(t, add_special_tokens=False)["input_ids"]) for t in texts]
    n = 30
    wanted = [hf_greedy(net, p, n) for p in prompts]
    for weights in ("float32", "int8"):
        decoder_to_builder(net, max_seq_len=256, weights=weights).save(
            str(tmp_path / "m.json"), str(tmp_path / "m.bin"))
        model = mi.InferenceModel(str(tmp_path / "m.json"), str(tmp_path / "m.bin"))
        errors, top1, prefix = [], [], []
        for p, want in zip(prompts, wanted):
            seq = torch.cat([p, torch.tensor(want)])
            with torch.no_grad():
                ref = net(seq[None]).logits[0, len(p) - 1:-1].numpy()
            model.reset_cache()
            steps = [model.forward_step(as_input(p), last_only=True)]
            steps += [model.forward_step(as_input(seq[t:t + 1]), last_only=True)
                      for t in range(len(p), len(seq) - 1)]
            steps = np.stack(steps)
            errors.append(rel(steps, ref))
            steps[:, eos_ids(net)] = ref[:, eos_ids(net)] = -np.inf  # as generate did
            top1.append((steps.argmax(1) == ref.argmax(1)).mean())
            # Each step was fed transformers' tokens: the first step whose pick
            # differs is where greedy decoding would leave them.
            got = steps.argmax(1)
            prefix.append(next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), n))
        print(f"\nSmolLM2 {weights}: max rel logit error {max(errors):.2e}, teacher-forced top-1 "
              f"{np.mean(top1):.3f}, greedy tokens matching {prefix} of {n}")
        if weights == "float32":
            assert max(errors) < 1e-3 and prefix == [n] * len(prompts)
        else:
            assert max(errors) < 0.15 and np.mean(top1) >= 0.9
        del model
