"""Models used from several Python threads give the results they give alone."""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest

from vantrel import ModelBuilder


def cnn():
    rng = np.random.default_rng(3)
    b = ModelBuilder("cnn")
    b.input("x", [0, 8, 3])  # variable height
    c = b.node("conv_fp32", ["x"], name="c1", relu=True, C_in=3, C_out=8, kH=3, kW=3, pad_h=1, pad_w=1)
    b.weight("c1.weight", rng.standard_normal((8, 27)).astype(np.float32))
    b.weight("c1.bias", rng.standard_normal(8).astype(np.float32))
    c = b.node("conv_fp32", [c], name="c2", C_in=8, C_out=8, kH=3, kW=3, stride_h=2, stride_w=2)
    b.weight("c2.weight", rng.standard_normal((8, 72)).astype(np.float32))
    g = b.node("avgpool_fp32", [c], name="gap")
    b.output(b.node("gemm_fp32", [g], name="fc", C_in=8, C_out=5))
    b.weight("fc.weight", rng.standard_normal((5, 8)).astype(np.float32))
    return b


def conv1d():
    rng = np.random.default_rng(4)
    b = ModelBuilder("c1d")
    b.input("x", [0, 4])
    y = b.node("conv1d_fp32", ["x"], name="c", C_in=4, C_out=6, kernel_size=3, padding=1)
    b.weight("c.weight", rng.standard_normal((6, 4, 3)).astype(np.float32))
    b.output(b.node("tanh_fp32", [y]))
    return b


def inputs_for(model, count, seed):
    rng = np.random.default_rng(seed)
    per_row = 24 if model.model_name == "cnn" else 4
    return [rng.standard_normal(per_row * (4 + i % 5)).astype(np.float32) for i in range(count)]


def run_threads(jobs):
    """Runs each job (a callable) in its own thread, all released at once."""
    start = threading.Barrier(len(jobs))
    errors, results = [], [None] * len(jobs)

    def body(i, job):
        try:
            start.wait()
            results[i] = job()
        except Exception as e:  # surfaced below, not lost in the thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i, j)) for i, j in enumerate(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    assert not errors, errors
    return results


def test_two_models_in_two_threads_match_running_alone(build, tmp_path):
    models = [build(cnn()), build(conv1d())]
    feeds = [inputs_for(m, 30, seed) for seed, m in enumerate(models)]
    alone = [[m.forward(x) for x in xs] for m, xs in zip(models, feeds)]
    together = run_threads([lambda m=m, xs=xs: [m.forward(x) for x in xs] for m, xs in zip(models, feeds)])
    for want, got in zip(alone, together):
        for w, g in zip(want, got):
            np.testing.assert_array_equal(g, w)


def test_one_model_shared_between_threads(build):
    # Different heights each call: the shared buffers are re-planned between
    # calls, which is what unserialised calls would corrupt.
    m = build(cnn())
    feeds = [inputs_for(m, 25, seed) for seed in range(4)]
    alone = [[m.forward(x) for x in xs] for xs in feeds]

    def job(xs):
        out = []
        for i, x in enumerate(xs):
            out.append(m.forward(x) if i % 2 else m.forward({"x": x})["fc.out"])
            m.op_profile()
        return out

    for want, got in zip(alone, run_threads([lambda xs=xs: job(xs) for xs in feeds])):
        for w, g in zip(want, got):
            np.testing.assert_array_equal(g, w)


def test_profile_controls_while_another_thread_runs(build):
    m = build(cnn())
    xs = inputs_for(m, 40, 9)

    def runner():
        return [m.forward(x) for x in xs]

    def fiddler():
        for i in range(200):
            m.set_profile_enabled(i % 2 == 0)
            m.reset_profile()
            m.layer_profile()
        m.set_profile_enabled(True)
        return None

    got, _ = run_threads([runner, fiddler])
    for x, g in zip(xs, got):
        np.testing.assert_array_equal(g, m.forward(x))
    m.reset_profile()
    m.forward(xs[0])
    assert set(m.layer_profile()) == {"c1", "c2", "gap", "fc"}


@pytest.mark.parametrize("env, spin", [
    ({}, "1000"),                                 # bounded spin by default
    ({"GOMP_SPINCOUNT": "7"}, "7"),                # the user's value wins
    ({"OMP_WAIT_POLICY": "active"}, "30000000000"),  # so does the user's policy
])
def test_openmp_spin_default(env, spin):
    # libgomp reads its environment once, when it loads: a fresh process.
    code = ("import os, model_inference\n"
            "print('left:', os.environ.get('GOMP_SPINCOUNT'), os.environ.get('VANTREL_OMP_SPIN_DEFAULTED'))")
    clean = {k: v for k, v in os.environ.items() if k not in ("GOMP_SPINCOUNT", "OMP_WAIT_POLICY")}
    out = subprocess.run([sys.executable, "-c", code], env={**clean, **env, "OMP_DISPLAY_ENV": "VERBOSE"},
                         capture_output=True, text=True, check=True)
    text = out.stdout + out.stderr
    assert f"GOMP_SPINCOUNT = '{spin}'" in text
    assert f"left: {env.get('GOMP_SPINCOUNT')} None" in text  # the default is not left behind
