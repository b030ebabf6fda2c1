"""The vantrel command line, driven end to end through subprocesses."""

import re
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("torch")
import model_inference as mi  # noqa: E402


def cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "vantrel.cli", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    d = tmp_path_factory.mktemp("cli")
    r = cli("convert", "vantrel.torch_models:resnet18", "--input-shape", "1,3,32,32",
            "-o", d / "r18")
    assert r.returncode == 0, r.stderr
    return d, d / "r18.json", d / "r18.bin"


def test_run_bench_profile_inspect(converted):
    d, arch, weights = converted
    x = np.random.default_rng(0).standard_normal((32, 32, 3)).astype(np.float32)
    np.save(d / "x.npy", x)
    r = cli("run", arch, weights, d / "x.npy", "-o", d / "out.npz")
    assert r.returncode == 0, r.stderr
    assert "fc.out: shape [1000]" in r.stdout and "top-5" in r.stdout
    with np.load(d / "out.npz") as z:
        np.testing.assert_array_equal(z["fc.out"], mi.InferenceModel(str(arch), str(weights))
                                      .forward(x))
    r = cli("bench", arch, weights, "--runs", 3, "--warmup", 1)
    assert r.returncode == 0 and "median" in r.stdout and "inferences/s" in r.stdout
    r = cli("profile", arch, weights, "--runs", 2, "--top", 3, "--png", d / "p.png")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[1].startswith("conv_fp32")  # the op taking most time
    assert (d / "p.png").read_bytes()[:4] == b"\x89PNG"
    r = cli("inspect", arch, weights)
    assert r.returncode == 0
    assert "conv_fp32 x20" in r.stdout and "input  input: shape [32, 32, 3] float32" in r.stdout
    # Every node has its own name, so no packed block is shared.
    assert re.search(r"packed weights: \d+ blocks, 0 shared", r.stdout)


def test_int8_conversion_runs_from_float_input(converted):
    d, _, _ = converted
    r = cli("convert", "vantrel.torch_models:resnet18", "--input-shape", "1,3,32,32",
            "-o", d / "q", "--int8", "--calibration-count", 2)
    assert r.returncode == 0, r.stderr
    np.save(d / "xf.npy", np.zeros((32, 32, 3), np.float32))
    r = cli("run", d / "q.json", d / "q.bin", d / "xf.npy")
    assert r.returncode == 0, r.stderr
    assert "conv_int8" in cli("inspect", d / "q.json", d / "q.bin").stdout


def test_convert_a_decoder_and_run_it(tmp_path):
    r = cli("convert", "vantrel.torch_models:tiny_decoder", "--max-seq-len", 64, "-o",
            tmp_path / "lm")
    assert r.returncode == 0, r.stderr
    assert "converting layer 4/4" in r.stderr and "(decoder, " in r.stdout
    ids = np.array([[3], [1], [4]], np.float32)
    np.save(tmp_path / "ids.npy", ids)
    r = cli("run", tmp_path / "lm.json", tmp_path / "lm.bin", tmp_path / "ids.npy")
    assert r.returncode == 0, r.stderr
    assert "logits: shape [1536]" in r.stdout  # 3 tokens x 512 vocabulary


@pytest.mark.parametrize("case,args,message", [
    ("missing", ["run", "nope.json", "nope.bin", "x.npy"], "Cannot open"),
    ("short", ["run", "{arch}", "{weights}", "{d}/bad.npy"], "needs 3072"),
    ("name", ["run", "{arch}", "{weights}", "{d}/bad.npz"], "'y' is not an input"),
    ("factory", ["convert", "vantrel.torch_models", "--input-shape", "1,3,8,8", "-o", "x"],
     "MODULE:FACTORY"),
    ("runs", ["bench", "{arch}", "{weights}", "--runs", "0"], "--runs must be at least 1"),
    ("shape", ["convert", "vantrel.torch_models:resnet18", "-o", "x"], "a CNN needs --input-shape"),
    ("seq-len", ["convert", "vantrel.torch_models:resnet18", "--input-shape", "1,3,8,8",
                 "--max-seq-len", "9", "-o", "x"], "--max-seq-len applies to decoders"),
    ("int8", ["convert", "vantrel.torch_models:tiny_decoder", "--int8", "-o", "x"],
     "converts to float32 only"),
])
def test_errors_are_one_line_with_status_1(converted, case, args, message):
    d, arch, weights = converted
    np.save(d / "bad.npy", np.zeros(5, np.float32))
    np.savez(d / "bad.npz", y=np.zeros(5, np.float32))
    r = cli(*[a.format(d=d, arch=arch, weights=weights) for a in args], cwd=d)
    assert r.returncode == 1
    lines = r.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("vantrel: error:") and message in lines[0]


def test_a_reader_that_stops_early_gets_no_error_line(converted):
    _, arch, weights = converted
    p = subprocess.Popen([sys.executable, "-m", "vantrel.cli", "inspect", str(arch), str(weights)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdout.close()  # as `| head -0` would
    assert p.wait(timeout=300) == 1 and p.stderr.read() == b""


@pytest.mark.parametrize("command", ["run", "bench", "profile", "inspect", "convert", "generate",
                                     "demo"])
def test_help(command):
    r = cli(command, "--help")
    assert r.returncode == 0 and "usage: vantrel " + command in r.stdout
