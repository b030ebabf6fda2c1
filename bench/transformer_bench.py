"""Latency of transformer models: vantrel against onnxruntime.

    python bench/transformer_bench.py [--cases vit decoder minilm minilm32] [--runs 20] [--profile]

Cases, each built once from the same weights for both engines:

- vit: ViT-S/16 on one 224x224 image (vantrel.torch_models.vit_s16, seeded),
  vantrel float32 and int8 weights, against onnxruntime float32.
- decoder: one decoding step of vantrel.torch_models.tiny_decoder at context
  512: 511 tokens are already in the key/value cache and one new token is
  run. vantrel: reset_cache, forward_step of a 510-token prompt and one
  warm-up token (untimed), then the timed forward_step of token 512.
  onnxruntime: a PyTorch export that takes the 511 cached keys/values as an
  input and returns the logits of the new token and the extended cache; the
  timed call is one session run with that cache.
- minilm: all-MiniLM-L6-v2 (vantrel.bert.convert_minilm, the float32
  model) on 128 tokens with mean pooling, against the Hugging Face BertModel
  of sentence-transformers exported with the same pooling.
- minilm32: the same on a batch of 32 such sentences; vantrel runs the
  masked model (token vectors out, mean-pooled in numpy) in one pass.

onnxruntime uses the CPU provider with 2 intra-op threads; vantrel runs 2
OpenMP threads. Engines are timed in alternating blocks in this one process
(so that drift of a shared machine hits all of them alike); the medians are
printed with the ratio vantrel/onnxruntime (below 1: vantrel is faster).
On a machine loaded by other work, OpenMP's default spin-waiting makes
vantrel's many short parallel regions stall; compare with
OMP_WAIT_POLICY=passive there.
Outputs are checked against PyTorch before timing.
"""

from __future__ import annotations

import argparse
import io
import os
import statistics
import tempfile
import time
import warnings

import numpy as np

THREADS = 2
# Read by the OpenMP runtime when the engine's module loads.
os.environ.setdefault("OMP_NUM_THREADS", str(THREADS))
CONTEXT = 512


# With --profile: per case, the vantrel float model and the onnxruntime
# model bytes with their feed, filled in by the cases.
PROFILE_TARGETS: dict[str, dict] = {}


def ort_options(profile_prefix: str | None = None):
    import onnxruntime as ort

    so = ort.SessionOptions()
    so.intra_op_num_threads = THREADS
    so.inter_op_num_threads = 1
    if profile_prefix:
        so.enable_profiling = True
        so.profile_file_prefix = profile_prefix
    return so


def ort_session(module, args, input_names, output_names):
    import onnxruntime as ort
    import torch

    buf = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(module, args, buf, dynamo=False, input_names=input_names,
                          output_names=output_names, opset_version=17)
    session = ort.InferenceSession(buf.getvalue(), ort_options(), providers=["CPUExecutionProvider"])
    session.model_bytes = buf.getvalue()
    return session


def load(builder):
    import model_inference as mi

    with tempfile.TemporaryDirectory() as d:
        arch, weights = os.path.join(d, "m.json"), os.path.join(d, "m.bin")
        builder.save(arch, weights)
        return mi.InferenceModel(arch, weights)


def check(case, engine, got, want, tol):
    got, want = np.asarray(got).ravel(), np.asarray(want).ravel()
    err = float(np.abs(got - want).max() / np.abs(want).max())
    if err > tol:
        raise SystemExit(f"{case}: {engine} disagrees with PyTorch (relative error {err:.2e})")


# Each case returns {engine: (prepare, run)}; only run is timed.

def vit_case():
    import torch
    from vantrel.torch_models import vit_s16
    from vantrel.vit import vit_to_builder

    net = vit_s16()
    x = torch.randn(1, 3, 224, 224, generator=torch.Generator().manual_seed(1))
    x_hwc = np.ascontiguousarray(x[0].permute(1, 2, 0).numpy())
    fp32, int8 = load(vit_to_builder(net)), load(vit_to_builder(net, int8=True))
    session = ort_session(net, (x,), ["image"], ["logits"])
    x_nchw = x.numpy()
    PROFILE_TARGETS["vit"] = {"model": fp32, "run": lambda: fp32.forward(x_hwc),
                              "ort": session.model_bytes, "feed": {"image": x_nchw}}
    with torch.inference_mode():
        want = net(x).numpy()
    engines = {"vantrel": (None, lambda: fp32.forward(x_hwc)),
               "vantrel-int8": (None, lambda: int8.forward(x_hwc)),
               "onnxruntime": (None, lambda: session.run(None, {"image": x_nchw})[0])}
    for engine, tol in (("vantrel", 1e-3), ("vantrel-int8", 5e-2), ("onnxruntime", 1e-3)):
        check("vit", engine, engines[engine][1](), want, tol)
    return engines


def decoder_case():
    import torch
    from torch import nn
    from vantrel.decoder import decoder_to_builder
    from vantrel.torch_models import tiny_decoder

    net = tiny_decoder()
    ids = torch.randint(0, net.vocab, (CONTEXT,), generator=torch.Generator().manual_seed(2))
    with torch.inference_mode():
        _, past = net.forward_cached(ids[:CONTEXT - 1])
        want = net(ids)[-1].numpy()
    past = torch.stack([torch.stack(kv) for kv in past])  # [layers, 2, Hkv, 511, d]

    class Step(nn.Module):
        def __init__(self, net):
            super().__init__()
            self.net = net

        def forward(self, token, cache):
            y, present = self.net.forward_cached(token, [(c[0], c[1]) for c in cache])
            return y, torch.stack([torch.stack(kv) for kv in present])

    session = ort_session(Step(net), (ids[-1:], past), ["token", "past"], ["logits", "present"])
    feed = {"token": ids[-1:].numpy(), "past": past.numpy()}

    model = load(decoder_to_builder(net, max_seq_len=CONTEXT))
    x = ids.numpy().astype(np.float32)[:, None]

    def fill():
        model.reset_cache()
        model.forward_step(x[:CONTEXT - 2])
        model.forward_step(x[CONTEXT - 2:CONTEXT - 1])  # warms the single-token path

    def step():
        return model.forward_step(x[CONTEXT - 1:])

    engines = {"vantrel": (fill, step),
               "onnxruntime": (None, lambda: session.run(None, feed)[0])}
    fill()
    # The single-token step multiplies with per-row int8 weights.
    check("decoder", "vantrel", step(), want, 3e-2)
    check("decoder", "onnxruntime", engines["onnxruntime"][1](), want, 1e-3)
    return engines


def minilm_case(batch: int = 1):
    import torch
    from vantrel._hf import import_sentence_transformers
    st = import_sentence_transformers()
    from torch import nn
    from vantrel.bert import convert_minilm, minilm_dir

    ref = st.SentenceTransformer(str(minilm_dir()), device="cpu")
    bert = ref[0].auto_model.eval()
    text = " ".join(["the weights of the model are read from the package"] * 20)
    ids = ref.tokenizer(text)["input_ids"][:128]
    ids = torch.tensor(ids[:127] + [ref.tokenizer.sep_token_id])[None].repeat(batch, 1)

    class MeanPooled(nn.Module):
        def __init__(self, bert):
            super().__init__()
            self.bert = bert

        def forward(self, input_ids):
            out = self.bert(input_ids=input_ids, attention_mask=torch.ones_like(input_ids),
                            token_type_ids=torch.zeros_like(input_ids))
            return out.last_hidden_state.mean(dim=1)

    pooled = MeanPooled(bert).eval()
    with torch.inference_mode():
        want = pooled(ids).numpy()
    session = ort_session(pooled, (ids,), ["input_ids"], ["embedding"])
    with tempfile.TemporaryDirectory() as d:
        import model_inference as mi
        arch, weights = os.path.join(d, "m.json"), os.path.join(d, "m.bin")
        # A batch runs on the masked model (token vectors out, pooled here),
        # which the engine takes as one pass over all sentences.
        convert_minilm(arch, weights, attention_mask=batch > 1)
        model = mi.InferenceModel(arch, weights)
    feed = {"input_ids": ids.numpy()}
    if batch == 1:
        x = ids[0].numpy().astype(np.float32)[:, None]
        run = lambda: model.forward(x)  # noqa: E731
        PROFILE_TARGETS["minilm"] = {"model": model, "run": run, "ort": session.model_bytes, "feed": feed}
    else:
        ones = np.ones(ids.shape, np.float32)[..., None]
        xb = {"input_ids": ids.numpy().astype(np.float32)[..., None], "attention_mask": ones}
        run = lambda: np.asarray(model.forward(xb)[model.output_names[0]]).reshape(batch, ids.shape[1], -1).mean(axis=1)  # noqa: E731,E501
    engines = {"vantrel": (None, run),
               "onnxruntime": (None, lambda: session.run(None, feed)[0])}
    # BERT's GELU is the erf form, the engine's the tanh form.
    for engine, tol in (("vantrel", 1e-2), ("onnxruntime", 1e-3)):
        check("minilm", engine, engines[engine][1](), want, tol)
    return engines


CASES = {"vit": ("ViT-S/16 224", vit_case), "decoder": ("decoder step @512", decoder_case),
         "minilm": ("MiniLM-L6 T=128", minilm_case),
         "minilm32": ("MiniLM-L6 32xT=128", lambda: minilm_case(32))}


def time_engines(engines, runs: int, rounds: int = 5, warmup: int = 2,
                 settle: float = 0.1) -> dict[str, list[float]]:
    """Alternating blocks of runs per engine (as bench/timing.py, plus the
    untimed prepare step). Each block opens with `settle` idle seconds: the
    previous engine's pool keeps spinning after its last run (onnxruntime's
    worker for 35-60 ms, longer than two warm-up runs), and with three busy
    threads on two cores the next engine's first runs took twice as long,
    which made the medians flip between two levels from run to run."""
    times: dict[str, list[float]] = {k: [] for k in engines}
    per_block = max(1, runs // rounds)
    for _ in range(rounds):
        for engine, (prepare, run) in engines.items():
            time.sleep(settle)
            for i in range(warmup + per_block):
                if prepare is not None:
                    prepare()
                t0 = time.perf_counter()
                run()
                if i >= warmup:
                    times[engine].append((time.perf_counter() - t0) * 1e3)
    return times


def profile(case: str, passes: int = 20, top: int = 8) -> None:
    """Per-op milliseconds per pass: vantrel's op profile and onnxruntime's
    node events summed by op type (one process, the engines one after the
    other)."""
    import json
    import onnxruntime as ort

    t = PROFILE_TARGETS.get(case)
    if t is None:
        return
    model, run = t["model"], t["run"]
    for _ in range(3):
        run()
    model.set_profile_enabled(True)
    model.reset_profile()
    t0 = time.perf_counter()
    for _ in range(passes):
        run()
    wall = (time.perf_counter() - t0) * 1e3 / passes
    ops = model.op_profile()
    model.set_profile_enabled(False)
    with tempfile.TemporaryDirectory() as d:
        session = ort.InferenceSession(t["ort"], ort_options(os.path.join(d, "ort")),
                                       providers=["CPUExecutionProvider"])
        for _ in range(3):
            session.run(None, t["feed"])
        t0 = time.perf_counter()
        for _ in range(passes):
            session.run(None, t["feed"])
        ort_wall = (time.perf_counter() - t0) * 1e3 / passes
        with open(session.end_profiling()) as f:
            events = json.load(f)
    # The warm-up runs are in the file too: scale its totals to one pass.
    by_type: dict[str, float] = {}
    for e in events:
        if e.get("cat") == "Node" and e.get("name", "").endswith("_kernel_time"):
            op = e.get("args", {}).get("op_name", "?")
            by_type[op] = by_type.get(op, 0.0) + e.get("dur", 0) / 1e3 / (passes + 3)
    for label, total, table in (("vantrel", wall, {k: v / passes for k, v in ops.items()}),
                                ("onnxruntime", ort_wall, by_type)):
        print(f"  {label} profile: {total:.3f} ms per pass, ops {sum(table.values()):.3f} ms")
        for op, ms in sorted(table.items(), key=lambda kv: -kv[1])[:top]:
            print(f"    {op:28s} {ms:8.3f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cases", nargs="+", default=list(CASES), choices=list(CASES))
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--profile", action="store_true",
                        help="after timing, per-op times of vantrel and onnxruntime (vit, minilm)")
    args = parser.parse_args()

    import torch
    torch.set_num_threads(THREADS)

    # The figures mean little on a loaded machine: OpenMP teams wait by
    # spinning, and descheduled team threads stall every barrier.
    print("load average %.2f %.2f %.2f" % os.getloadavg())
    print(f"{'case':18s} {'engine':13s} {'median ms':>10s} {'p90 ms':>8s}")
    for key in args.cases:
        label, make = CASES[key]
        times = time_engines(make(), args.runs)
        med = {k: statistics.median(v) for k, v in times.items()}
        for engine, v in times.items():
            p90 = sorted(v)[int(0.9 * (len(v) - 1))]
            print(f"{label:18s} {engine:13s} {med[engine]:10.3f} {p90:8.3f}")
        ratios = ", ".join(f"{k}/onnxruntime {med[k] / med['onnxruntime']:.3f}"
                           for k in med if k != "onnxruntime")
        print(f"{label:18s} ratio {ratios}", flush=True)
        if args.profile:
            profile(key)


if __name__ == "__main__":
    main()
