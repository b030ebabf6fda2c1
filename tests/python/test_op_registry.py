"""The op registry as Python sees it: the README's op table and the typed
stub agree with model_inference._op_schema(), and ModelBuilder.node refuses
what the registry does not allow."""
import ast
import re
from pathlib import Path

import numpy as np
import pytest

import model_inference as mi
from vantrel import ModelBuilder

ROOT = Path(__file__).resolve().parents[2]


def test_readme_op_table_and_stub_match_the_registry():
    schema = mi._op_schema()
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    table = readme.split("### Supported ops", 1)[1].split("\n#", 1)[0]
    listed = re.findall(r"`([a-z0-9_]+)`", "\n".join(l for l in table.splitlines() if l.startswith("|")))
    assert sorted(set(listed)) == sorted(schema)
    assert len(listed) == len(set(listed))
    stub = ast.parse((ROOT / "bindings" / "model_inference.pyi").read_text(encoding="utf-8"))
    assert "_op_schema" in {n.name for n in stub.body if isinstance(n, ast.FunctionDef)}
    assert sorted(e["code"] for e in schema.values()) == list(range(1, len(schema) + 1))


@pytest.mark.parametrize("op, args, error, message", [
    ("softmax_fp32", {}, ValueError, "unknown op 'softmax_fp32'"),
    ("Conv_fp32", {}, ValueError, "unknown op 'Conv_fp32'"),
    ("conv_fp32", {"C_outt": 3}, ValueError, "'conv_fp32' takes no argument 'C_outt'"),
    ("exp_fp32", {"alpha": 0.1}, ValueError, r"takes no argument 'alpha' \(its arguments: none\)"),
    ("gemm_fp32", {"max_seq_len": 8}, ValueError, "no argument 'max_seq_len'"),
    ("conv_fp32", {"C_out": "16"}, TypeError, "'conv_fp32': argument 'C_out' must be an int, got '16'"),
    ("conv_fp32", {"C_out": 16.0}, TypeError, "'C_out' must be an int"),
    ("conv", {"groups": True}, TypeError, "'groups' must be an int"),
    ("conv_fp32", {"C_out": 2**31}, ValueError, "32-bit"),
    ("scale_fp32", {"scalar": "2"}, TypeError, "'scalar' must be a float"),
    ("scale_fp32", {"scalar": None}, TypeError, "'scalar' must be a float"),
    ("lstm_fp32", {"bidirectional": 2}, TypeError, "'bidirectional' must be a bool"),
    ("lstm_fp32", {"bidirectional": 0.0}, TypeError, "'bidirectional' must be a bool"),
])
def test_builder_refuses_what_the_registry_does_not_allow(op, args, error, message):
    b = ModelBuilder("m")
    with pytest.raises(error, match=message):
        b.node(op, ["x"], **args)
    assert b.nodes == []


def test_builder_accepts_what_converters_pass():
    b = ModelBuilder("m")
    b.node("conv", ["x"], C_out=np.int64(4), C_in=3, in_zp=np.int8(-5))
    b.node("lstm_fp32", ["x"], hidden_size=4, bidirectional=1)
    b.node("istft_fp32", ["x"], normalized=np.bool_(True))
    b.node("scale_fp32", ["x"], scalar=2, relu=True)
    b.node("layernorm_fp32", ["x"], eps=np.float32(1e-5))
    b.node("causal_attn_core_fp32", ["q", "k", "v"], num_q_heads=2, num_kv_heads=1, head_dim=4,
           max_seq_len=16)
    assert [n["args"] for n in b.nodes[:4]] == [
        {"C_out": 4, "C_in": 3, "in_zp": -5}, {"hidden_size": 4, "bidirectional": 1},
        {"normalized": True}, {"scalar": 2, "relu": True}]
