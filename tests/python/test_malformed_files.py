"""Broken architecture and weights files must fail with a RuntimeError that
names the problem: never a crash, a hang or a silent success.

Every case is generated from a valid two-layer model by one corruption. All
cases are loaded (and, when they load, run once) in one child process with a
time limit, so a crash or hang fails the cases instead of killing pytest.
"""

import json
import os
import struct
import subprocess
import sys
import tempfile

import numpy as np
import pytest

from vantrel import ModelBuilder
from vantrel.model_file import write_weights

HEADER, ENTRY = 12, 80


def base_builder():
    b = ModelBuilder("base")
    b.input("x", [8])
    h = b.node("gemm_fp32", ["x"], name="fc", C_in=8, C_out=4)
    b.output(b.node("scale_fp32", [h], name="sc", scalar=2.0))
    b.weight("fc.weight", np.arange(32, dtype=np.float32).reshape(4, 8) / 32)
    b.weight("fc.bias", np.ones(4, np.float32))
    return b


def arch_doc():
    return base_builder().arch()


def weights_bytes(tensors=None):
    with tempfile.TemporaryDirectory() as d:
        p = os.path.join(d, "w.bin")
        write_weights(p, base_builder().weights if tensors is None else tensors)
        with open(p, "rb") as f:
            return f.read()


W = weights_bytes()
# Layout of W: header, entries for fc.weight and fc.bias, then their records.
REC0 = HEADER + 2 * ENTRY               # fc.weight record: 4 + 2*4 + 128 bytes
REC1 = REC0 + 4 + 8 + 128               # fc.bias record: 4 + 4 + 16 bytes


def patched(data, offset, raw):
    return data[:offset] + raw + data[offset + len(raw):]


def entry_field(i, field_offset, fmt, value, data=W):
    return patched(data, HEADER + i * ENTRY + field_offset, struct.pack(fmt, value))


def arch_with(mutate):
    doc = arch_doc()
    mutate(doc)
    return json.dumps(doc).encode()


def node(doc, i):
    return doc["nodes"][i]


def set_args(i, **kw):
    return lambda d: node(d, i).setdefault("args", {}).update(kw)


def conv_arch(**args):
    a = {"C_in": 2, "C_out": 2, "kH": 1, "kW": 1}
    a.update(args)
    doc = {"model": "c", "inputs": [{"name": "x", "shape": [1, 4, 4, 2], "dtype": "float32"}],
           "nodes": [{"name": "c", "op": "conv_fp32", "inputs": ["x"], "outputs": ["y"], "args": a}]}
    return json.dumps(doc).encode()


def op_arch(op, shape=(1, 1, 4, 4), inputs=("x",), **args):
    doc = {"model": "o", "inputs": [{"name": "x", "shape": list(shape), "dtype": "float32"}],
           "nodes": [{"name": "n", "op": op, "inputs": list(inputs), "outputs": ["y"], "args": args}]}
    return json.dumps(doc).encode()


TEXT = json.dumps(arch_doc()).encode()

# (case id, architecture bytes, weights bytes, expected message fragment).
# Architecture cases use the valid weights and vice versa, unless stated.
ARCH_CASES = [
    ("empty", b"", W, "JSON: unexpected char '"),
    ("whitespace", b" \n\t\r ", W, "JSON: unexpected char '"),
    ("cut-after-brace", TEXT[:1], W, "JSON: expected '\"'"),
    ("cut-in-key", TEXT[:5], W, "JSON: unterminated string"),
    ("cut-after-key", TEXT[:TEXT.index(b":")], W, "JSON: expected ':'"),
    ("cut-in-inputs", TEXT[:TEXT.index(b"[") + 1], W, "JSON: unexpected char '"),
    ("cut-in-nodes", TEXT[:TEXT.index(b'"nodes"') + 12], W, "JSON:"),
    ("cut-before-end", TEXT[:-1], W, "JSON: expected '}'"),
    ("trailing-comma-array", b'{"nodes": [1,]}', W, "JSON: unexpected char ']'"),
    ("root-array", b'[1, 2, 3]', W, "the root must be a JSON object"),
    ("root-string", b'"model"', W, "the root must be a JSON object"),
    ("trailing-comma-object", b'{"model": "m",}', W, "JSON: expected '\"', got '}'"),
    ("missing-colon", b'{"model" "m"}', W, "JSON: expected ':', got '\"'"),
    ("bad-literal", b'{"a": tru}', W, "JSON: unexpected char 't'"),
    ("number-plus", b'{"a": +1}', W, "JSON: unexpected char '+'"),
    ("number-dot", b'{"a": .5}', W, "JSON: unexpected char '.'"),
    ("number-nan", b'{"a": NaN}', W, "JSON: unexpected char 'N'"),
    ("number-infinity", b'{"a": Infinity}', W, "JSON: unexpected char 'I'"),
    ("invalid-utf8-outside-string", b'{"a": \xff}', W, "JSON: unexpected char '"),
    ("invalid-utf8-op-name", TEXT.replace(b'"gemm_fp32"', b'"gemm_\xff\xfe"'), W, "No layer for: fc"),
    # Bytes that are not UTF-8 come back backslash-escaped.
    ("invalid-utf8-node-name", TEXT.replace(b'"fc"', b'"f\xffc"'), W, "weight tensor 'f\\xffc.weight' is missing"),
    ("deep-nesting", b"[" * 100000, W, "JSON: nesting deeper than"),
    ("deep-nesting-in-args", TEXT.replace(b'"C_in"', b'"deep": ' + b"[" * 300 + b"]" * 300 + b', "C_in"'),
     W, "JSON: nesting deeper than"),
    ("node-without-name", arch_with(lambda d: node(d, 0).pop("name")), W, "JSON key not found: name"),
    ("node-without-op", arch_with(lambda d: node(d, 1).pop("op")), W, "JSON key not found: op"),
    ("unknown-op", arch_with(lambda d: node(d, 1).update(op="scale_fp64")), W, "No layer for: sc"),
    ("op-wrong-case", arch_with(lambda d: node(d, 0).update(op="GEMM_FP32")), W, "No layer for: fc"),
    ("inputs-as-object", arch_with(lambda d: d.update(inputs={"name": "x"})), W, "must be an array"),
    ("nodes-as-object", arch_with(lambda d: d.update(nodes={"a": 1})), W, "must be an array"),
    ("outputs-as-object", arch_with(lambda d: d.update(outputs={"name": "x"})), W, "must be an array"),
    ("node-inputs-as-object", arch_with(lambda d: node(d, 0).update(inputs={"x": 1})), W, "must be an array"),
    ("shape-three-dims", arch_with(lambda d: d["inputs"][0].update(shape=[1, 1, 8])), W, "[N, H, W, C]"),
    ("shape-a-string", arch_with(lambda d: d["inputs"][0].update(shape="8")), W, "[N, H, W, C]"),
    ("shape-negative", arch_with(lambda d: d["inputs"][0].update(shape=[1, -3, 1, 8])), W,
     "negative dimension"),
    ("shape-huge", arch_with(lambda d: d["inputs"][0].update(shape=[1, 1e9, 1e9, 8])), W, "its memory limit is"),
    ("shape-overflowing-number", TEXT.replace(b"[1, 1, 1, 8]", b"[1, 1e999, 1e999, -1e999]"), W,
     "input 'x' is too large"),
    ("arg-string", arch_with(set_args(0, C_out="4")), W, "C_out"),
    ("arg-null", arch_with(set_args(0, C_in=None)), W, "C_in"),
    ("arg-negative", arch_with(set_args(0, C_out=-4)), W, "C_out"),
    ("arg-wrong-size", arch_with(set_args(0, C_in=7)), W, "fc.weight"),
    ("input-not-produced", arch_with(lambda d: node(d, 1).update(inputs=["nowhere"])), W,
     "reads tensor 'nowhere', which is neither a declared input nor written by an earlier node"),
    ("nine-inputs", arch_with(lambda d: node(d, 1).update(inputs=["x"] * 9)), W, "has 9 inputs (max 8)"),
    ("duplicate-node-names", arch_with(lambda d: node(d, 1).update(name="fc", op="gemm_fp32",
                                                                    args={"C_in": 4, "C_out": 4})),
     W, "two nodes are named 'fc' with different ops or arguments"),
    ("forward-reference", arch_with(lambda d: node(d, 0).update(inputs=[node(d, 1)["outputs"][0]])), W,
     "neither a declared input nor written by an earlier node"),
    ("two-writers", arch_with(lambda d: node(d, 1).update(outputs=node(d, 0)["outputs"])), W,
     "already written by node 'fc'"),
    ("writes-declared-input", arch_with(lambda d: node(d, 1).update(outputs=["x"])), W, "a declared input"),
    ("output-not-produced", arch_with(lambda d: d.update(outputs=[{"name": "nowhere"}])), W,
     "declared output 'nowhere' is neither"),
    ("conv-kernel-zero", conv_arch(kH=0), W, "kH"),
    ("conv-stride-zero", conv_arch(stride_w=0), W, "stride_w"),
    ("conv-pad-negative", conv_arch(pad_h=-1), W, "pad_h"),
    ("conv-dilation-zero", conv_arch(dilation_h=0), W, "dilation_h"),
    ("conv-groups-zero", conv_arch(groups=0), W, "groups"),
    ("conv-groups-indivisible", conv_arch(C_in=3, groups=2), W, "groups"),
    ("maxpool-stride-zero", op_arch("maxpool_fp32", stride_h=0), W, "stride_h"),
    ("upsample-scale-negative", op_arch("upsample_bilinear_fp32", scale_h=-2.0), W, "scale_h"),
    ("upsample-nearest-zero", op_arch("upsample_nearest1d_fp32", shape=(1, 4, 1, 4), scale_factor=0), W,
     "scale_factor"),
    ("stft-hop-zero", op_arch("stft_fp32", shape=(1, 64, 1, 1), hop_size=0), W, "hop_size"),
    ("lstm-hidden-negative", op_arch("lstm_fp32", shape=(1, 4, 1, 4), hidden_size=-1), W, "hidden_size"),
    ("slice-reversed", op_arch("slice_channels_fp32", shape=(1, 4, 1, 4), ch_start=3, ch_end=1), W, "ch_"),
    ("attention-heads-zero", op_arch("attention_fp32", shape=(1, 4, 1, 8), num_heads=0, embed_dim=8), W,
     "num_heads"),
    ("layernorm-missing-weights", op_arch("layernorm_fp32", shape=(1, 4, 1, 4)), W, "weight tensor"),
]

WEIGHT_CASES = [
    ("empty", TEXT, b"", "read error at magic"),
    ("three-bytes", TEXT, b"W1X", "read error at magic"),
    ("bad-magic", TEXT, b"W1X2" + W[4:], "Bad magic in"),
    ("lower-case-magic", TEXT, b"w1x1" + W[4:], "Bad magic in"),
    ("cut-in-version", TEXT, W[:6], "read error at version"),
    ("cut-in-count", TEXT, W[:10], "read error at num_entries"),
    ("cut-after-header", TEXT, W[:HEADER], "read error at index_entry"),
    ("cut-in-first-entry", TEXT, W[:HEADER + 40], "read error at index_entry"),
    ("cut-in-second-entry", TEXT, W[:HEADER + ENTRY + 79], "read error at index_entry"),
    ("count-huge", TEXT, patched(W, 8, struct.pack("<I", 0xFFFFFFFF)), "read error at index_entry"),
    ("count-zero", TEXT, patched(W, 8, struct.pack("<I", 0)), "weight tensor 'fc.weight' is missing"),
    ("cut-at-record", TEXT, W[:REC0], "read error at tensor_dtype"),
    ("cut-in-record-ordering", TEXT, W[:REC0 + 1], "read error at tensor_ordering"),
    ("cut-in-record-ndim", TEXT, W[:REC0 + 3], "read error at tensor_ndim"),
    ("cut-in-record-shape", TEXT, W[:REC0 + 6], "read error at tensor_shape"),
    ("cut-in-record-data", TEXT, W[:REC0 + 40], "read error at tensor_data"),
    ("cut-in-last-record", TEXT, W[:-1], "read error at tensor_data"),
    ("offset-past-end", TEXT, entry_field(0, 64, "<Q", len(W) + 100), "read error at tensor_dtype"),
    ("offset-huge", TEXT, entry_field(0, 64, "<Q", 2 ** 63 + 5), "'fc.weight'"),
    ("offset-into-header", TEXT, entry_field(0, 64, "<Q", 0), "read error at tensor_shape"),
    ("size-past-end", TEXT, entry_field(1, 72, "<I", 10 ** 6), "read error at tensor_data"),
    ("size-below-header", TEXT, entry_field(0, 72, "<I", 3), "below its"),
    ("size-too-small", TEXT, entry_field(0, 72, "<I", 4 + 8 + 64), "fc.weight"),
    ("ndim-huge", TEXT, patched(W, REC0 + 2, struct.pack("<H", 0xFFFF)), "read error at tensor_shape"),
    ("dims-negative", TEXT, patched(W, REC0 + 4, struct.pack("<i", -4)), "fc.weight"),
    ("dims-huge", TEXT, patched(W, REC0 + 4, struct.pack("<ii", 2 ** 31 - 1, 2 ** 31 - 1)), "fc.weight"),
    ("wrong-dtype-int8", TEXT, weights_bytes({"fc.weight": np.ones((4, 8), np.int8)}), "fc.weight"),
    ("wrong-dtype-float64", TEXT, weights_bytes({"fc.weight": np.ones((4, 8), np.int64)}), "fc.weight"),
    ("bias-wrong-count", TEXT, weights_bytes({"fc.weight": np.ones((4, 8), np.float32),
                                              "fc.bias": np.ones(5, np.float32)}), "fc.bias"),
    ("missing-weight", TEXT, weights_bytes({"fc.bias": np.ones(4, np.float32)}), "'fc.weight' is missing"),
    ("duplicate-name-later-broken", TEXT, entry_field(1, 0, "64s", b"fc.weight"), "fc.weight"),
    ("unterminated-name", TEXT, entry_field(0, 0, "64s", b"fc.weight" + b"x" * 55), "'fc.weight' is missing"),
    ("name-invalid-utf8", TEXT, entry_field(0, 0, "64s", b"fc.w\xffight"), "'fc.weight' is missing"),
]

CASES = [("arch-" + c[0],) + c[1:] for c in ARCH_CASES] + [("weights-" + c[0],) + c[1:] for c in WEIGHT_CASES]

CHILD = r"""
import json, sys
import numpy as np
import model_inference as mi
results = {}
for case in json.load(open(sys.argv[1])):
    try:
        m = mi.InferenceModel(case["arch"], case["weights"])
        feed = {}
        for s in m.inputs:
            n = 1
            for d in s.shape:
                n *= max(d, 1)
            feed[s.name] = np.zeros(min(n, 1 << 20), np.int8 if s.dtype == "int8" else np.float32)
        m.forward(feed)
        results[case["id"]] = ["ok", ""]
    except Exception as e:
        results[case["id"]] = [type(e).__name__, str(e)]
print(json.dumps(results))
"""


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    d = tmp_path_factory.mktemp("malformed")
    table = []
    for cid, arch, weights, _ in CASES:
        a, w = d / (cid + ".json"), d / (cid + ".bin")
        a.write_bytes(arch)
        w.write_bytes(weights)
        table.append({"id": cid, "arch": str(a), "weights": str(w)})
    (d / "cases.json").write_text(json.dumps(table))
    child = d / "child.py"
    child.write_text(CHILD)
    proc = subprocess.run([sys.executable, str(child), str(d / "cases.json")], capture_output=True,
                          encoding="utf-8", errors="replace", timeout=300)
    assert proc.returncode == 0, f"loader process died ({proc.returncode}):\n{proc.stderr[-3000:]}"
    return json.loads(proc.stdout.splitlines()[-1])


def test_at_least_fifty_cases():
    assert len(ARCH_CASES) >= 50 and len(WEIGHT_CASES) >= 30


@pytest.mark.parametrize("cid, fragment", [(c[0], c[3]) for c in CASES], ids=[c[0] for c in CASES])
def test_malformed_file_raises(outcomes, cid, fragment):
    kind, message = outcomes[cid]
    assert kind == "RuntimeError", f"{cid}: {kind} {message!r}"
    assert fragment in message, f"{cid}: {message!r}"


def test_missing_and_unreadable_paths(tmp_path):
    import model_inference as mi
    a, w = tmp_path / "a.json", tmp_path / "w.bin"
    a.write_bytes(TEXT)
    w.write_bytes(W)
    for arch, weights, fragment in [(tmp_path / "none.json", w, "Cannot open JSON: "),
                                    (tmp_path, w, "Read error: "),
                                    (a, tmp_path / "none.bin", "Cannot open weights: "),
                                    (a, tmp_path, "Cannot open weights: ")]:
        with pytest.raises(RuntimeError, match=fragment):
            mi.InferenceModel(str(arch), str(weights))
