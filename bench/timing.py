"""What the engine-comparison benchmarks share: timing several engines in
alternating blocks of runs, and summarising the times."""

from __future__ import annotations

import math
import statistics
import time
from collections.abc import Callable, Mapping


def time_engines(engines: Mapping[str, Callable[[], object]], runs: int, rounds: int = 5,
                 warmup: int = 2, settle: float = 0.1) -> dict[str, list[float]]:
    """Milliseconds of each run of each engine, timed in `rounds` alternating
    blocks of about runs/rounds runs. Blocks rather than single runs, because
    the peers' thread pools keep spinning for a while after a run and would
    slow down whichever engine runs next (a user runs one engine, so never
    sees that): each block opens with `settle` idle seconds, in which the
    previous engine's threads go to sleep, and `warmup` untimed runs.
    Alternating spreads the drift of a shared machine over all engines
    alike."""
    times: dict[str, list[float]] = {k: [] for k in engines}
    per_block = max(1, runs // max(1, rounds))
    for _ in range(max(1, rounds)):
        for engine, fn in engines.items():
            time.sleep(settle)
            for _ in range(warmup):
                fn()
            for _ in range(per_block):
                t0 = time.perf_counter()
                fn()
                times[engine].append((time.perf_counter() - t0) * 1e3)
    return times


def median(values: list[float]) -> float:
    return statistics.median(values)


def p90(values: list[float]) -> float:
    """The 90th percentile, taken as the observed value at or above it."""
    return sorted(values)[math.ceil(0.9 * (len(values) - 1))]


def geomean(values: list[float]) -> float:
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def openvino_engine(onnx_path: str, feed, threads: int):
    """(run function, compiled model) of OpenVINO on an ONNX file: CPU,
    `threads` inference threads, latency hint and float32 precision hint (so
    that a CPU with bf16 units does not run the float parts in bf16). The
    run function feeds `feed` to the first input and returns the first
    output (a view of OpenVINO's own buffer, valid until the next run)."""
    import openvino as ov

    compiled = ov.Core().compile_model(onnx_path, "CPU", {
        "INFERENCE_NUM_THREADS": threads, "PERFORMANCE_HINT": "LATENCY",
        "INFERENCE_PRECISION_HINT": "f32"})
    request = compiled.create_infer_request()

    def run():
        request.infer({0: feed})
        return request.get_output_tensor(0).data

    return run, compiled
