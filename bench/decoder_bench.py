"""Decoding speed of a real-size decoder: vantrel against transformers and
onnxruntime, and against the machine's memory bandwidth.

    python bench/decoder_bench.py [--contexts 128 1024] [--steps 16]
        [--modes float32 int8] [--engines vantrel transformers onnxruntime]
        [--prefill 512] [--profile]

The model has SmolLM2-135M's shape (30 layers, width 576, 9 query and 3
key/value heads of 64, SwiGLU FFN 1536, vocabulary 49152, tied head) with
seeded random weights, so nothing is downloaded. One Hugging Face
LlamaForCausalLM is built and every engine gets its weights:

- vantrel float32 (seqgemm_fp32) and int8 (weight-only int8, one scale per
  32 weights, seqgemm_w8), both through forward_step with the key/value cache;
  step-int8 (the float32 model whose one-token steps use per-row int8 weight
  copies and an int8 activation row) on request;
- transformers: eager attention with its dynamic key/value cache;
- onnxruntime: a float32 export that takes the past keys/values of all layers
  as one input and returns the logits and the extended cache.

For each context c the prompt of c - 1 tokens is run untimed, then `--steps`
one-token steps are timed one by one (the median step gives tokens/s).
Prefill is one pass over `--prefill` tokens from an empty cache, timed in
three alternating blocks of one warm-up and one timed pass per engine
(bench/timing.py), the median printed.

Decoding one token reads every weight once, so its speed limit is
bandwidth / weight bytes per token. The bandwidth is measured in this run
with a stream copy (two threads each copying half of a 256 MiB array, best
of five, bytes read plus bytes written over the time, as STREAM counts it);
each mode's "limit" column is the fraction of that limit its step reaches.
The key/value cache reads of a step are not in the byte count (at context
1024 they add about 9 % to the float32 bytes and 30 % to the int8 bytes).

All engines use 2 threads. The figures mean little on a loaded machine:
OpenMP teams spin-wait, so descheduled threads stall every barrier (compare
with OMP_WAIT_POLICY=passive there). --profile prints vantrel's time per op
type over the timed steps of each mode.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import threading
import time
import warnings

import numpy as np

from timing import median, time_engines

THREADS = 2
# Read by the OpenMP runtime when the engine's module loads.
os.environ.setdefault("OMP_NUM_THREADS", str(THREADS))

SHAPE = dict(vocab_size=49152, hidden_size=576, intermediate_size=1536, num_hidden_layers=30,
             num_attention_heads=9, num_key_value_heads=3, rms_norm_eps=1e-5, rope_theta=100000.0,
             tie_word_embeddings=True, max_position_embeddings=2048)
GROUP = 32


def stream_copy_bandwidth(mib: int = 256, repeats: int = 5) -> float:
    """Bytes per second of a two-thread copy (read + write counted)."""
    src = np.ones(mib << 18, np.float32)  # mib MiB
    dst = np.empty_like(src)
    half = src.size // 2
    parts = [(dst[:half], src[:half]), (dst[half:], src[half:])]
    best = float("inf")
    for _ in range(repeats):
        threads = [threading.Thread(target=np.copyto, args=p) for p in parts]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        best = min(best, time.perf_counter() - t0)
    return 2 * src.nbytes / best


def weight_bytes_per_token(mode: str) -> int:
    """Weight bytes one step reads: every projection and the tied head."""
    d, f, v, layers = SHAPE["hidden_size"], SHAPE["intermediate_size"], SHAPE["vocab_size"], \
        SHAPE["num_hidden_layers"]
    kv = d // SHAPE["num_attention_heads"] * SHAPE["num_key_value_heads"]
    per_layer = 2 * d * d + 2 * d * kv + 3 * d * f
    params = layers * per_layer + v * d
    if mode == "int8":
        return params + params // GROUP * 4  # codes + one float scale per group
    if mode == "step-int8":
        rows = layers * (3 * d + 2 * kv + 2 * f) + v
        return params + 4 * rows  # codes + one float scale per row
    return 4 * params


def hf_model():
    import sys

    import torch
    try:
        import torchvision  # noqa: F401 - transformers imports it when present
    except Exception:  # noqa: BLE001 - a torchvision built for another torch
        sys.modules["torchvision"] = None  # transformers then goes without it
    from transformers import LlamaConfig, LlamaForCausalLM

    torch.manual_seed(0)
    config = LlamaConfig(**SHAPE, attn_implementation="eager")
    return LlamaForCausalLM(config).eval()


def vantrel_model(net, mode: str, capacity: int):
    import model_inference as mi
    from vantrel.convert.decoder import decoder_to_builder

    if mode == "step-int8":
        builder = decoder_to_builder(net, max_seq_len=capacity, step_int8=True)
    else:
        builder = decoder_to_builder(net, max_seq_len=capacity, weights=mode, group_size=GROUP)
    with tempfile.TemporaryDirectory() as d:
        arch, weights = os.path.join(d, "m.json"), os.path.join(d, "m.bin")
        builder.save(arch, weights)
        return mi.InferenceModel(arch, weights)


class VantrelEngine:
    def __init__(self, net, mode, capacity):
        self.model = vantrel_model(net, mode, capacity)

    def prefill(self, ids):
        self.model.reset_cache()
        return self.model.forward_step(ids.astype(np.float32)[:, None], last_only=True)

    def step(self, token):
        return self.model.forward_step(np.array([[token]], np.float32))


class TransformersEngine:
    def __init__(self, net):
        self.net = net

    def prefill(self, ids):
        import torch

        with torch.inference_mode():
            out = self.net(input_ids=torch.as_tensor(ids[None]), use_cache=True)
        self.past = out.past_key_values
        return out.logits[0, -1].numpy()

    def step(self, token):
        import torch

        with torch.inference_mode():
            out = self.net(input_ids=torch.tensor([[token]]), past_key_values=self.past,
                           use_cache=True)
        self.past = out.past_key_values
        return out.logits[0, -1].numpy()


class OrtEngine:
    """The exported step takes past [layers, 2, Hkv, P, d] and returns the
    logits of the new tokens and the cache extended by them."""

    def __init__(self, net):
        import io

        import onnxruntime as ort
        import torch
        from torch import nn
        from transformers import DynamicCache

        layers = SHAPE["num_hidden_layers"]

        class Step(nn.Module):
            def __init__(self, net):
                super().__init__()
                self.net = net

            def forward(self, ids, past):
                cache = DynamicCache(config=self.net.config)
                for i in range(layers):
                    cache.update(past[i, 0], past[i, 1], i)
                # Positions and the causal mask from tensors only, so that
                # the trace keeps them dynamic in the cache length.
                old = torch.ones_like(past[0, 0, 0, 0, :, 0])
                new = torch.ones_like(ids[0], dtype=torch.float32)
                rows = new.cumsum(0) - 1 + old.sum()
                cols = torch.cat([old, new]).cumsum(0) - 1
                mask = (cols[None] > rows[:, None]).float() * torch.finfo(torch.float32).min
                mask = mask[None, None]
                pos = rows.long()[None]
                out = self.net(input_ids=ids, past_key_values=cache, position_ids=pos,
                               attention_mask=mask, use_cache=True)
                kv = out.past_key_values
                present = torch.stack([torch.stack([kv.layers[i].keys, kv.layers[i].values])
                                       for i in range(layers)])
                return out.logits, present

        hkv, d = SHAPE["num_key_value_heads"], SHAPE["hidden_size"] // SHAPE["num_attention_heads"]
        ids = torch.zeros(1, 2, dtype=torch.int64)
        past = torch.zeros(layers, 2, 1, hkv, 3, d)
        buf = io.BytesIO()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            torch.onnx.export(Step(net), (ids, past), buf, dynamo=False, opset_version=17,
                              input_names=["ids", "past"], output_names=["logits", "present"],
                              dynamic_axes={"ids": {1: "t"}, "past": {4: "p"},
                                            "present": {4: "pt"}, "logits": {1: "t"}})
        so = ort.SessionOptions()
        so.intra_op_num_threads = THREADS
        so.inter_op_num_threads = 1
        self.session = ort.InferenceSession(buf.getvalue(), so,
                                            providers=["CPUExecutionProvider"])
        self.empty = np.zeros((layers, 2, 1, hkv, 0, d), np.float32)

    def _run(self, ids, past):
        logits, self.past = self.session.run(None, {"ids": ids[None].astype(np.int64),
                                                    "past": past})
        return logits[0, -1]

    def prefill(self, ids):
        return self._run(ids, self.empty)

    def step(self, token):
        return self._run(np.array([token]), self.past)


def time_steps(engine, ids, context, steps):
    """Median seconds of one-token steps after a prompt of context - 1."""
    logits = engine.prefill(ids[:context - 1])
    times = []
    for i in range(steps):
        t0 = time.perf_counter()
        logits = engine.step(int(ids[context - 1 + i]))
        times.append(time.perf_counter() - t0)
    return statistics.median(times), logits


def profile_steps(engine, ids, context, steps):
    """vantrel's time per op type over one-token steps (the prompt untimed)."""
    m = engine.model
    engine.prefill(ids[:context - 1])
    m.reset_profile()
    m.set_profile_enabled(True)
    for i in range(steps):
        engine.step(int(ids[context - 1 + i]))
    m.set_profile_enabled(False)
    prof = m.op_profile()
    total = sum(prof.values())
    for op, ms in sorted(prof.items(), key=lambda kv: -kv[1]):
        print(f"    {op:28s} {ms / steps:8.3f} ms/step {ms / total:6.1%}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--contexts", nargs="+", type=int, default=[128, 1024])
    parser.add_argument("--steps", type=int, default=16)
    parser.add_argument("--modes", nargs="+", default=["float32", "int8"],
                        choices=["float32", "int8", "step-int8"])
    parser.add_argument("--engines", nargs="+", default=["vantrel", "transformers", "onnxruntime"],
                        choices=["vantrel", "transformers", "onnxruntime"])
    parser.add_argument("--prefill", type=int, default=512)
    parser.add_argument("--profile", action="store_true")
    args = parser.parse_args()

    import torch
    torch.set_num_threads(THREADS)
    print("load average %.2f %.2f %.2f" % os.getloadavg())
    bw = stream_copy_bandwidth()
    print(f"stream copy bandwidth {bw / 1e9:.2f} GB/s (2 threads)")
    for mode in args.modes:
        b = weight_bytes_per_token(mode)
        print(f"{mode:8s} weights {b / 1e6:7.1f} MB/token, limit {bw / b:6.1f} tokens/s")

    net = hf_model()
    capacity = max(max(args.contexts) + args.steps, args.prefill)
    ids = torch.randint(0, SHAPE["vocab_size"], (capacity,),
                        generator=torch.Generator().manual_seed(1)).numpy()

    # transformers first: the logit differences are taken from its logits.
    engines = {}
    if "transformers" in args.engines:
        engines["transformers"] = TransformersEngine(net)
    if "vantrel" in args.engines:
        for mode in args.modes:
            engines[f"vantrel {mode}"] = VantrelEngine(net, mode, capacity)
    if "onnxruntime" in args.engines:
        try:
            engines["onnxruntime"] = OrtEngine(net)
        except Exception as e:  # noqa: BLE001 - report and go on without it
            print(f"onnxruntime: no KV-cache export ({type(e).__name__}: {str(e)[:200]})")

    print(f"{'engine':17s} {'context':>7s} {'tokens/s':>9s} {'limit':>6s} {'max |dlogit|':>12s}")
    for context in args.contexts:
        ref = None
        for name, engine in engines.items():
            t, logits = time_steps(engine, ids, context, args.steps)
            if ref is None:
                ref = logits
            limit = ""
            if name.startswith("vantrel"):
                mode = name.split()[1]
                limit = f"{(1 / t) / (bw / weight_bytes_per_token(mode)):6.0%}"
            diff = float(np.abs(np.asarray(logits).ravel() - np.asarray(ref).ravel()).max())
            print(f"{name:17s} {context:7d} {1 / t:9.1f} {limit:>6s} {diff:12.2e}", flush=True)
            if isinstance(engine, VantrelEngine) and args.profile:
                profile_steps(engine, ids, context, args.steps)
    if args.prefill:
        # Alternating blocks: an engine run right after another one shares the
        # cores with the other's still spinning threads.
        runs = time_engines({name: (lambda e=engine: e.prefill(ids[:args.prefill]))
                             for name, engine in engines.items()}, runs=3, rounds=3, warmup=1)
        for name, ms in runs.items():
            print(f"{name:17s} prefill {args.prefill:4d} tokens {median(ms) / 1e3:8.3f} s", flush=True)


if __name__ == "__main__":
    main()
