"""Real-time factor of the reference vocoder: vantrel against PyTorch.

    python bench/vocoder_bench.py [--tokens 40] [--runs 20] [--channels 128] [--threads 2]

The network (vantrel.torch_vocoder, seeded weights) is converted with
vantrel.vocoder for vantrel and run as is by PyTorch, both on 2 threads
unless --threads says otherwise.
The engines are timed in alternating blocks of runs in this one process, so
that drift of a shared machine hits both alike. Printed: median and p90
latency, the real-time factor (seconds of 24 kHz audio per second of
compute; above 1 is faster than real time) and the latency ratio
vantrel/PyTorch (below 1 means vantrel is faster). Outputs are checked
against PyTorch before timing.
"""

from __future__ import annotations

import argparse
import os
import tempfile

import numpy as np

from timing import median, p90, time_engines

THREADS = 2


def make_engines(n_tokens: int, channels: int, seed: int = 0):
    import torch

    import model_inference as mi
    from vantrel.torch_vocoder import tiny_vocoder
    from vantrel.vocoder import vocoder_to_builder

    net = tiny_vocoder(seed, channels=channels)
    cfg = net.cfg
    rng = np.random.default_rng(seed)
    tokens = rng.standard_normal((n_tokens, cfg.token_dim)).astype(np.float32)
    durations = rng.integers(1, 5, n_tokens).astype(np.float32)
    style = rng.standard_normal(cfg.style_dim).astype(np.float32)
    feeds = {"tokens": tokens, "durations": durations, "style": style}

    with tempfile.TemporaryDirectory() as d:
        arch, weights = os.path.join(d, "m.json"), os.path.join(d, "m.bin")
        b = vocoder_to_builder(net)
        b.save(arch, weights)
        vantrel = mi.InferenceModel(arch, weights)
        b.output("f0_head.out", "source.stft.out")
        b.save(arch, weights)
        checker = mi.InferenceModel(arch, weights)
    vantrel.set_profile_enabled(False)

    def run_torch(f0=None, phases=None):
        with torch.inference_mode():
            return net(tokens, durations, style, f0=f0, phase_branch=phases).numpy()

    # The check runs PyTorch's source on vantrel's f0 (checked on its own)
    # and takes vantrel's branch of source phases lying on the atan2 cut:
    # the network amplifies f0 rounding over time and jumps between pi and
    # -pi there (see TorchVocoder).
    out = checker.forward(feeds)
    with torch.inference_mode():
        f0 = net.front(torch.from_numpy(tokens), durations, 1.0)[1].numpy()
    f0_err = float(np.abs(out["f0_head.out"] - f0).max() / np.abs(f0).max())
    if f0_err > 1e-5:
        raise SystemExit(f"vantrel's f0 disagrees with PyTorch (relative error {f0_err:.2e})")
    bins = cfg.n_fft // 2 + 1
    ref = run_torch(out["f0_head.out"], out["source.stft.out"].reshape(-1, 2 * bins)[:, bins:])
    err = float(np.abs(out["audio"] - ref).max() / np.abs(ref).max())
    if out["audio"].shape != ref.shape or err > 1e-3:
        raise SystemExit(f"vantrel disagrees with PyTorch (relative error {err:.2e})")
    engines = {"vantrel": lambda: vantrel.forward(feeds)["audio"], "pytorch": run_torch}
    return engines, ref.size / cfg.sample_rate, err, vantrel, feeds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tokens", type=int, default=40, help="tokens of 1 to 4 frames each")
    parser.add_argument("--channels", type=int, default=128)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--threads", type=int, default=THREADS)
    parser.add_argument("--profile", action="store_true", help="print vantrel's slowest ops")
    args = parser.parse_args()
    # Read by the OpenMP runtime when the engine's module loads.
    os.environ["OMP_NUM_THREADS"] = str(args.threads)

    import torch
    torch.set_num_threads(args.threads)

    engines, audio_s, err, vantrel, feeds = make_engines(args.tokens, args.channels)
    print(f"{audio_s:.2f} s of audio, {args.channels} channels, {args.threads} threads; "
          f"relative error vs PyTorch {err:.1e}")
    times = time_engines(engines, args.runs, warmup=1)
    med = {k: median(v) for k, v in times.items()}
    print(f"{'engine':10s} {'median ms':>10s} {'p90 ms':>8s} {'RTF':>7s}")
    for engine, v in times.items():
        print(f"{engine:10s} {med[engine]:10.2f} {p90(v):8.2f} {audio_s / (med[engine] * 1e-3):7.1f}")
    print(f"latency ratio vantrel/pytorch {med['vantrel'] / med['pytorch']:.3f}")
    if args.profile:
        vantrel.reset_profile()
        vantrel.set_profile_enabled(True)
        for _ in range(5):
            vantrel.forward(feeds)
        prof = sorted(vantrel.op_profile().items(), key=lambda kv: -kv[1])
        total = sum(ms for _, ms in prof)
        for op, ms in prof[:10]:
            print(f"  {op:26s} {ms / 5:8.2f} ms  {100 * ms / total:5.1f} %")


if __name__ == "__main__":
    main()
