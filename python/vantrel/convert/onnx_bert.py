"""BERT-style encoders exported to ONNX, onto the engine's BERT encoder.

An exported Hugging Face ``BertModel`` spells each attention block as some
forty ONNX nodes (projections, head reshapes, scaling, the additive mask
built from ``attention_mask``, softmax, head merge); the engine has it as
one ``attention_fp32`` op. So this import follows the hidden state through
the graph, block by block, checks every step is what the encoder computes
(the operands, the attention scale, the residual additions, exact GELU)
and collects the weights under Hugging Face's names; the encoder itself is
then built by :func:`vantrel.convert.bert.bert_encoder`, the converter of
PyTorch BERT modules, and adjusted to the graph (token types per token, the
erf GELU, the key mask, no pooling); the pooler (first token, dense, tanh)
follows.
Anything that does not fit raises :class:`ConversionError` naming the node.
"""

from __future__ import annotations

import numpy as np

from vantrel.convert.bert import bert_encoder
from vantrel.convert.core import ConversionError, report_progress
from vantrel.convert.onnx_graph import attrs, rename_tensors
from vantrel.model_file import ModelBuilder

__all__ = ["import_bert"]


_TODO = "export a Hugging Face BertModel as it is (torch.onnx.export, opset 13 to 21)"


def _fail(node, problem: str, todo: str = _TODO):
    where = f"ONNX op {node.op_type} at node '{node.name or node.output[0]}'" if node is not None \
        else "the ONNX graph"
    raise ConversionError(f"{where}: {problem}; {todo}")


class _Walker:
    todo = _TODO

    def fail(self, node, problem: str, todo: str | None = None):
        _fail(node, problem, todo or self.todo)

    def __init__(self, graph):
        from onnx import numpy_helper
        self.g = graph
        self.attrs = attrs
        self.values = dict(graph.consts)
        for n in graph.nodes:
            if n.op_type == "Constant":
                self.values[n.output[0]] = numpy_helper.to_array(n.attribute[0].t)
        self.producer = {o: n for n in graph.nodes for o in n.output}
        self.state: dict[str, np.ndarray] = {}

    def const(self, name):
        return self.values.get(name)

    def users(self, name, op_type=None):
        # Shape nodes only feed the exporter's reshape arithmetic.
        return [u for u in self.g.consumers.get(name, []) if u is not None and u.op_type != "Shape"
                and (op_type is None or u.op_type == op_type)]

    def one(self, name, op_type, what):
        users = self.users(name, op_type)
        if len(users) != 1:
            node = self.producer.get(name)
            self.fail(node, f"expected one {op_type} ({what}) after it, found {len(users)}")
        return users[0]

    def other(self, node, name):
        rest = [i for i in node.input if i != name]
        if len(rest) != 1:
            self.fail(node, f"expected a second operand besides '{name}'")
        return rest[0]

    def scalar(self, node, name):
        v = self.const(self.other(node, name))
        return float(v.reshape(-1)[0]) if v is not None and v.size == 1 else None

    def dense(self, x, prefix):
        """x @ W + b with constant W, b: stores W.T and b; returns the output."""
        mm = [u for u in self.users(x, "MatMul") if u.input[0] == x and self.const(u.input[1]) is not None]
        if len(mm) != 1:
            self.fail(self.producer.get(x), f"expected one dense layer ({prefix}) to read it, found {len(mm)}")
        return self.dense_from(mm[0], prefix)

    def dense_from(self, mm, prefix):
        w = self.const(mm.input[1])
        add = self.one(mm.output[0], "Add", f"{prefix} bias")
        bias = self.const(self.other(add, mm.output[0]))
        if w is None or w.ndim != 2 or bias is None or bias.shape != (w.shape[1],):
            self.fail(mm, f"{prefix} is not x @ W + b with constant W and b")
        self.state[f"{prefix}.weight"] = np.ascontiguousarray(w.T)
        self.state[f"{prefix}.bias"] = bias
        return add.output[0]

    def layer_norm(self, x, prefix, residual=None):
        if residual is not None:
            add = self.one(x, "Add", "residual addition")
            if self.other(add, x) != residual:
                self.fail(add, "the residual addition does not add the block's input")
            x = add.output[0]
        ln = self.one(x, "LayerNormalization", f"{prefix} layer norm")
        at = self.attrs(ln)
        if at.get("axis", -1) != -1 or len(ln.input) < 3 or self.const(ln.input[1]) is None \
                or self.const(ln.input[2]) is None:
            self.fail(ln, "a layer norm that is not over the last axis with constant scale and bias")
        self.state[f"{prefix}.LayerNorm.weight"] = self.const(ln.input[1])
        self.state[f"{prefix}.LayerNorm.bias"] = self.const(ln.input[2])
        self.eps.add(float(at.get("epsilon", 1e-5)))
        return ln.output[0]

    def follow(self, name, ops, stop):
        """Follow single users through ``ops`` until a node of type ``stop``;
        returns (stop node, scalar factor collected from Mul/Div)."""
        factor = 1.0
        while True:
            users = self.users(name)
            if len(users) != 1:
                self.fail(self.producer.get(name), f"expected one user on the way to {stop}, "
                      f"found {len(users)}")
            u = users[0]
            if u.op_type == stop:
                return u, factor
            if u.op_type not in ops:
                self.fail(u, f"unexpected {u.op_type} on the way to {stop}")
            if u.op_type in ("Mul", "Div"):
                s = self.scalar(u, name)
                if s is None:
                    self.fail(u, "scaling by something other than a scalar constant")
                factor = factor * s if u.op_type == "Mul" else factor / s
            name = u.output[0]

    def gelu(self, x, node_for_errors):
        users = self.users(x)
        gelu = [u for u in users if u.op_type == "Gelu"]
        if gelu and len(users) == 1:
            if self.attrs(gelu[0]).get("approximate", b"none") not in (b"none", "none"):
                self.fail(gelu[0], "tanh-approximated GELU", "the encoder uses exact GELU")
            return gelu[0].output[0]
        div = [u for u in users if u.op_type == "Div"]
        if len(div) != 1 or abs((self.scalar(div[0], x) or 0) - np.sqrt(2)) > 1e-5:
            self.fail(node_for_errors, "the intermediate activation is not exact GELU",
                  "only exact (erf) GELU is supported")
        erf = self.one(div[0].output[0], "Erf", "GELU")
        add = self.one(erf.output[0], "Add", "GELU")
        mul = self.one(add.output[0], "Mul", "GELU")
        half = self.one(mul.output[0], "Mul", "GELU")
        if self.scalar(add, erf.output[0]) != 1.0 or sorted(mul.input) != sorted([x, add.output[0]]) \
                or self.scalar(half, mul.output[0]) != 0.5:
            self.fail(div[0], "the intermediate activation is not exact GELU",
                  "only exact (erf) GELU is supported")
        return half.output[0]


def import_bert(graph, name: str, progress: bool) -> ModelBuilder:
    """Build the encoder a checked, shape-inferred ONNX ``graph`` computes."""
    w = _Walker(graph)
    w.eps = set()
    inputs = set(graph.inputs)
    # Embedding lookups: Gather of a constant table by a graph input.
    lookups = {}
    for n in graph.nodes:
        if n.op_type == "Gather" and w.const(n.input[0]) is not None and w.const(n.input[0]).ndim == 2:
            lookups[n.input[1]] = n
    by_input = {i: lookups[i] for i in graph.inputs if i in lookups}
    if len(by_input) != 2:
        _fail(None, f"found {len(by_input)} embedding lookups by graph inputs "
              f"({', '.join(by_input) or 'none'})",
              "export a BERT-style encoder with input_ids, attention_mask and token_type_ids")
    ids, types = sorted(by_input, key=lambda i: -w.const(by_input[i].input[0]).shape[0])
    masks = [i for i in graph.inputs if i not in by_input]
    if len(masks) != 1 or not graph.is_int(masks[0]) or not graph.is_int(ids) or not graph.is_int(types):
        _fail(None, f"inputs {graph.inputs}: expected integer token ids, token types and an "
              "attention mask", "export input_ids, attention_mask and token_type_ids")
    mask = masks[0]
    word, typ = by_input[ids], by_input[types]
    E = w.const(word.input[0]).shape[1]
    w.state["embeddings.word_embeddings.weight"] = w.const(word.input[0])
    w.state["embeddings.token_type_embeddings.weight"] = w.const(typ.input[0])
    # word + type + position rows, then the embedding layer norm.
    add = w.one(word.output[0], "Add", "embedding sum")
    if w.other(add, word.output[0]) != typ.output[0]:
        _fail(add, "the word rows are not added to the token-type rows")
    add2 = w.one(add.output[0], "Add", "position embedding")
    pos = w.producer.get(w.other(add2, add.output[0]))
    table = w.const(pos.input[0]) if pos is not None and pos.op_type == "Gather" else None
    if table is None or table.shape[1:] != (E,):
        _fail(add2, "the position rows are not a lookup in a constant table")
    _check_positions(w, pos)
    w.state["embeddings.position_embeddings.weight"] = table
    h = w.layer_norm(add2.output[0], "embeddings")

    heads, layers = None, 0
    while True:
        reads = [u for u in w.users(h, "MatMul") if w.const(u.input[1]) is not None]
        if not reads:
            break
        i = layers
        report_progress(progress, "layer", i + 1, i + 1)
        p = f"encoder.layer.{i}"
        if len(reads) != 3:
            _fail(w.producer[h], f"layer {i}: {len(reads)} projections read the hidden state, "
                  "expected query, key and value")
        proj = {}
        for mm in reads:
            out = w.dense_from(mm, f"{p}.tmp{len(proj)}")
            reshape = w.one(out, "Reshape", "head split")
            head_dims = graph.dims(reshape.output[0])
            d = head_dims[-1] if head_dims and isinstance(head_dims[-1], int) else None
            shape = w.const(reshape.input[1])
            if d is None and shape is not None:
                d = int(shape.reshape(-1)[-1])
            if d is None:
                d = _concat_tail(w, reshape.input[1])
            tr = w.one(reshape.output[0], "Transpose", "head transpose")
            perm = tuple(w.attrs(tr).get("perm", ()))
            proj[len(proj)] = (mm, tr, perm, d)
        keys = [k for k, v in proj.items() if v[2] == (0, 2, 3, 1)]
        values = [k for k, v in proj.items() if v[2] == (0, 2, 1, 3) and any(
            u.input[1] == v[1].output[0] for u in w.users(v[1].output[0], "MatMul"))]
        queries = [k for k in proj if k not in keys + values]
        if len(keys) != 1 or len(values) != 1 or len(queries) != 1:
            _fail(reads[0], f"layer {i}: cannot tell query, key and value apart")
        for role, k in (("query", queries[0]), ("key", keys[0]), ("value", values[0])):
            for part in ("weight", "bias"):
                w.state[f"{p}.attention.self.{role}.{part}"] = w.state.pop(f"{p}.tmp{k}.{part}")
        d = proj[queries[0]][3]
        if d is None or E % d:
            _fail(reads[0], f"layer {i}: head size {d} does not divide the width {E}")
        heads = heads or E // d
        if heads != E // d:
            _fail(reads[0], f"layer {i}: {E // d} heads where earlier layers have {heads}")
        # Scores: q (scaled) @ k^T (scaled), then scalings and the additive mask.
        q_mm, qs = w.follow(proj[queries[0]][1].output[0], ("Mul", "Div"), "MatMul")
        k_mm, ks = w.follow(proj[keys[0]][1].output[0], ("Mul", "Div"), "MatMul")
        if q_mm is not k_mm:
            _fail(q_mm, f"layer {i}: query and key do not meet in one product")
        soft, ss = w.follow(q_mm.output[0], ("Mul", "Div", "Add"), "Softmax")
        scale = qs * ks * ss
        if abs(scale * np.sqrt(d) - 1) > 1e-4:
            _fail(soft, f"layer {i}: attention scores scaled by {scale:g}, not 1/sqrt({d})")
        if w.attrs(soft).get("axis", -1) not in (-1, 3):
            _fail(soft, "softmax over another axis than the keys")
        pv, _ = w.follow(soft.output[0], ("IsNaN", "Where", "Cast"), "MatMul") \
            if len(w.users(soft.output[0])) == 1 else _softmax_guard(w, soft)
        if pv.input[1] != proj[values[0]][1].output[0]:
            _fail(pv, f"layer {i}: the attention weights do not multiply the values")
        o_mm, _ = w.follow(pv.output[0], ("Transpose", "Reshape"), "MatMul")
        x = w.dense_from(o_mm, f"{p}.attention.output.dense")
        h1 = w.layer_norm(x, f"{p}.attention.output", residual=h)
        f = w.dense(h1, f"{p}.intermediate.dense")
        g = w.gelu(f, w.producer[f])
        f2 = [u for u in w.users(g, "MatMul") if w.const(u.input[1]) is not None]
        if len(f2) != 1:
            _fail(w.producer[g], f"layer {i}: expected the output dense layer after GELU")
        x = w.dense_from(f2[0], f"{p}.output.dense")
        h = w.layer_norm(x, f"{p}.output", residual=h1)
        layers += 1
    if layers == 0:
        _fail(w.producer[h], "no encoder layer reads the embeddings")
    counts = {op: sum(n.op_type == op for n in graph.nodes) for op in ("Softmax", "LayerNormalization")}
    if counts != {"Softmax": layers, "LayerNormalization": 2 * layers + 1}:
        _fail(None, f"{layers} encoder layers recognised, but the graph has {counts}")
    if len(w.eps) != 1:
        _fail(None, f"layer norms with different epsilons {sorted(w.eps)}")
    config = {"hidden_size": E, "num_attention_heads": heads, "num_hidden_layers": layers,
              "intermediate_size": w.state["encoder.layer.0.intermediate.dense.weight"].shape[0],
              "layer_norm_eps": w.eps.pop()}
    b = bert_encoder(w.state, config, name=name)
    hidden = _as_exported(b, ids, types, mask, config)
    outputs = {}
    for o in graph.outputs:
        if o == h:
            outputs[o] = hidden
        else:
            outputs[o] = _pooler(w, b, h, hidden, o)
    rename_tensors(b, {t: o for o, t in outputs.items()})
    b.outputs = list(graph.outputs)
    order = {n: k for k, n in enumerate(graph.inputs)}
    b.inputs.sort(key=lambda spec: order[spec["name"]])
    if not any(spec["name"] == mask for spec in b.inputs):
        # Session checks the mask is all ones; the engine never sees it.
        graph.notes["unwired"] = {mask: "all_ones"}
    return b


def _as_exported(b: ModelBuilder, ids: str, types: str, mask: str, config: dict) -> str:
    """Adjust the family converter's encoder to what the graph computes:
    per-token types, exact GELU, the key mask, no pooling. Returns the
    tensor holding the last hidden state."""
    E, eps = config["hidden_size"], config["layer_norm_eps"]
    nodes = b.nodes
    if not nodes or nodes[0]["op"] != "bert_embeddings_fp32" or nodes[-1]["op"] != "avgpool_fp32":
        raise ConversionError("the BERT converter's encoder has an unexpected layout")
    emb, pool = nodes[0], nodes.pop()
    b.outputs.remove(pool["outputs"][0])
    hidden = pool["inputs"][0]
    weights = {k: b.weights.pop(f"embeddings.{k}") for k in ("word_weight", "pos_weight",
                                                             "type_weight", "layernorm.weight",
                                                             "layernorm.bias")}
    b.inputs[0]["name"] = ids
    b.input(types, [0, 1])
    # Word and type rows looked up apart (bert_embeddings_fp32 adds type 0
    # everywhere), then the position rows and the layer norm.
    b.nodes = []
    word = b.node("embedding_fp32", [ids], name="embeddings.word",
                  num_embeddings=weights["word_weight"].shape[0], embedding_dim=E)
    typ = b.node("embedding_fp32", [types], name="embeddings.type",
                 num_embeddings=weights["type_weight"].shape[0], embedding_dim=E)
    x = b.node("add_fp32", [word, typ], name="embeddings.add")
    x = b.node("pos_emb_add_fp32", [x], name="embeddings.pos")
    b.node("layernorm_fp32", [x], emb["outputs"][0], name="embeddings.norm", eps=eps)
    for key, name in (("word_weight", "word.weight"), ("type_weight", "type.weight"),
                      ("pos_weight", "pos.weight"), ("layernorm.weight", "norm.gamma"),
                      ("layernorm.bias", "norm.beta")):
        b.weight(f"embeddings.{name}", weights[key])
    keys = [mask] if _engine_masks_keys() else []
    if keys:
        b.input(mask, [0, 1])
    for n in nodes[1:]:
        b.nodes.append(n)
        if n["op"] in ("attention_fp32", "attention_int8"):
            n["inputs"] = n["inputs"][:1] + keys
    return hidden


_MASK_SUPPORT: list[bool] = []


def _engine_masks_keys() -> bool:
    """Whether attention_fp32 leaves out keys whose second-input mask is 0,
    found by running a two-token attention with and without masking the
    second token."""
    if not _MASK_SUPPORT:
        import tempfile
        from pathlib import Path

        import model_inference
        b = ModelBuilder("mask_probe")
        b.input("x", [0, 2])
        b.input("m", [0, 1])
        b.output(b.node("attention_fp32", ["x", "m"], name="a", num_heads=1, embed_dim=2))
        eye = np.eye(2, dtype=np.float32)
        b.weight("a.w_qkv", np.concatenate([eye, eye, eye]))
        b.weight("a.b_qkv", np.zeros(6, np.float32))
        b.weight("a.w_proj", eye)
        b.weight("a.b_proj", np.zeros(2, np.float32))
        x = np.array([[1.0, 0.0], [0.0, 3.0]], np.float32)
        try:
            with tempfile.TemporaryDirectory() as d:
                b.save(str(Path(d) / "p.json"), str(Path(d) / "p.bin"))
                m = model_inference.InferenceModel(str(Path(d) / "p.json"), str(Path(d) / "p.bin"))
                run = [np.asarray(m.forward({"x": x, "m": np.array([[1.0], [k]], np.float32)})["a.out"])
                       for k in (1.0, 0.0)]
            _MASK_SUPPORT.append(not np.allclose(run[0], run[1]))
        except RuntimeError:
            _MASK_SUPPORT.append(False)
    return _MASK_SUPPORT[0]


def _softmax_guard(w, soft):
    """HF's sdpa export: Where(IsNaN(p), 0, p) after the softmax."""
    users = w.users(soft.output[0])
    where = [u for u in users if u.op_type == "Where"]
    isnan = [u for u in users if u.op_type == "IsNaN"]
    if len(where) != 1 or len(isnan) != 1 or len(users) != 2:
        _fail(soft, "unexpected users of the attention weights")
    return w.follow(where[0].output[0], (), "MatMul")


def _concat_tail(w, name):
    node = w.producer.get(name)
    if node is not None and node.op_type == "Concat":
        v = w.const(node.input[-1])
        if v is not None and v.size == 1:
            return int(v.reshape(-1)[0])
    return None


def _check_positions(w, gather):
    """Position ids must be 0, 1, ... (a slice of a constant arange)."""
    idx = gather.input[1]
    node = w.producer.get(idx)
    src = w.const(node.input[0]) if node is not None and node.op_type == "Slice" else None
    starts = w.const(node.input[1]) if src is not None else None
    if src is None or starts is None or starts.reshape(-1)[0] != 0 or \
            not np.array_equal(src.reshape(-1), np.arange(src.size)):
        _fail(gather, "position ids are not 0, 1, 2, ...",
              "export with the default position ids (no position_ids input)")


def _pooler(w, b, h, hidden, out):
    """First token -> dense -> tanh, as the graph output ``out``."""
    gather = [u for u in w.users(h, "Gather") if w.attrs(u).get("axis", 0) == 1]
    idx = w.const(gather[0].input[1]) if len(gather) == 1 else None
    if idx is None or idx.size != 1 or int(idx.reshape(-1)[0]) != 0:
        _fail(w.producer.get(out), f"output '{out}' is neither the hidden state nor the pooler")
    gemm = w.one(gather[0].output[0], "Gemm", "pooler dense")
    at = w.attrs(gemm)
    wt, bias = w.const(gemm.input[1]), w.const(gemm.input[2]) if len(gemm.input) > 2 else None
    if wt is None or bias is None or at.get("transA", 0) or at.get("alpha", 1.0) != 1.0 \
            or at.get("beta", 1.0) != 1.0:
        _fail(gemm, "the pooler is not x @ W.T + b with constant W and b")
    wt = wt if at.get("transB", 0) else wt.T
    tanh = w.one(gemm.output[0], "Tanh", "pooler activation")
    if tanh.output[0] != out:
        _fail(tanh, f"output '{out}' is not the pooler's tanh")
    first = b.node("cls_extract_fp32", [hidden], name="pooler.first")
    dense = b.node("gemm_fp32", [first], name="pooler.dense", C_out=int(wt.shape[0]),
                   C_in=int(wt.shape[1]))
    b.weight("pooler.dense.weight", np.asarray(wt, np.float32))
    b.weight("pooler.dense.bias", np.asarray(bias, np.float32))
    return b.node("tanh_fp32", [dense], name="pooler.tanh")
