"""torchvision's VisionTransformer exported to ONNX, onto the engine's ViT.

The export spells the patch sequence as Conv -> Reshape -> Transpose, the
class token as an Expand and a Concat, and each attention block's
``nn.MultiheadAttention`` as some sixty nodes of head reshapes, runtime
scale arithmetic and products; the engine has one ``attention_fp32`` op. So,
as for BERT (:mod:`vantrel.convert.onnx_bert`), this import follows the
token matrix through the graph block by block, checks each step, collects
the weights under torchvision's parameter names and builds the network
with :func:`vantrel.convert.vit.vit_to_builder`. The (1, 3, H, W) input is
laid out channels last by ``nchw_to_nhwc_fp32`` first, as in the image path.
Anything that does not fit raises :class:`ConversionError` naming the node.
"""

from __future__ import annotations

import numpy as np

from vantrel.convert.onnx_bert import _Walker
from vantrel.convert.onnx_bert import _fail as _bert_fail
from vantrel.convert.onnx_graph import rename_tensors
from vantrel.convert.vit import vit_to_builder
from vantrel.model_file import ModelBuilder

__all__ = ["import_vit", "is_vit"]

_TODO = "export torchvision's VisionTransformer as it is (torch.onnx.export, opset 17, " \
        "dynamo=False, outside torch.no_grad())"
# What nn.MultiheadAttention's export does between the fused in-projection
# and the out-projection: head split and merge, the scale computed from the
# head size at run time, the two products and the softmax.
_MHA_OPS = {"Reshape", "Unsqueeze", "Squeeze", "Transpose", "Gather", "Shape", "Slice", "Cast",
            "Sqrt", "Div", "Mul", "Concat", "MatMul", "Softmax"}


def _fail(node, problem: str):
    _bert_fail(node, problem, _TODO)


def is_vit(graph) -> bool:
    """Whether the one image input feeds a patch convolution whose map is
    flattened into a token sequence (Reshape to three dimensions)."""
    if len(graph.inputs) != 1:
        return False
    users = graph.consumers.get(graph.inputs[0], [])
    if len(users) != 1 or users[0] is None or users[0].op_type != "Conv":
        return False
    after = [u for u in graph.consumers.get(users[0].output[0], [])
             if u is not None and u.op_type != "Shape"]
    dims = graph.dims(after[0].output[0]) if len(after) == 1 and after[0].op_type == "Reshape" \
        else None
    return dims is not None and len(dims) == 3


class _VitWalker(_Walker):
    todo = _TODO

    def __init__(self, graph):
        super().__init__(graph)
        # The exporter shares equal initializers through Identity nodes.
        for n in graph.nodes:
            if n.op_type == "Identity" and n.input[0] in self.values:
                self.values[n.output[0]] = self.values[n.input[0]]
        self.eps = set()

    def norm(self, x, key):
        ln = self.one(x, "LayerNormalization", key)
        at = self.attrs(ln)
        scale, shift = (self.const(i) for i in (list(ln.input) + [""])[1:3])
        if at.get("axis", -1) not in (-1, 2) or scale is None or shift is None:
            _fail(ln, "a layer norm that is not over the last axis with constant scale and bias")
        self.state[f"{key}.weight"], self.state[f"{key}.bias"] = scale, shift
        self.eps.add(float(at.get("epsilon", 1e-5)))
        return ln.output[0]

    def gemm(self, node, key, n_in):
        """Gemm x @ W.T + b with constant W, b: stores W and b."""
        at = self.attrs(node)
        wt = self.const(node.input[1])
        bias = self.const(node.input[2]) if len(node.input) > 2 else None
        if wt is None or bias is None or at.get("transA", 0) or at.get("alpha", 1.0) != 1.0 \
                or at.get("beta", 1.0) != 1.0:
            _fail(node, f"{key} is not x @ W.T + b with constant W and b")
        wt = wt if at.get("transB", 0) else wt.T
        if wt.shape[1] != n_in or bias.shape != (wt.shape[0],):
            _fail(node, f"{key} has weight {wt.shape}; expected [N, {n_in}] and a bias of N")
        self.state[f"{key}.weight"], self.state[f"{key}.bias"] = wt, bias
        return node.output[0]

    def transpose(self, x, perm, what):
        tr = self.one(x, "Transpose", what)
        if tuple(self.attrs(tr).get("perm", ())) != perm:
            _fail(tr, f"{what}: permutation {self.attrs(tr).get('perm')}, expected {perm}")
        return tr.output[0]

    def residual(self, x, h, what):
        add = self.one(x, "Add", what)
        if self.other(add, x) != h:
            _fail(add, f"{what} does not add the block's input")
        return add.output[0]


def _attention(w, qkv, E, i):
    """Check the plumbing from the in-projection to the out-projection Gemm;
    returns (Gemm node, heads)."""
    region, todo, gemm = {}, [qkv], []
    while todo:
        t = todo.pop()
        for u in w.g.consumers.get(t, []):
            if u is None:
                _fail(w.producer[t], f"layer {i}: attention plumbing is a graph output")
            if id(u) in region or u in gemm:
                continue
            if u.op_type == "Gemm":
                gemm.append(u)
                continue
            if u.op_type not in _MHA_OPS:
                _fail(u, f"layer {i}: unexpected {u.op_type} inside the attention")
            region[id(u)] = u
            todo.extend(u.output)
    nodes = list(region.values())
    soft = [n for n in nodes if n.op_type == "Softmax"]
    products = [n for n in nodes if n.op_type == "MatMul"]
    if len(gemm) != 1 or len(soft) != 1 or len(products) != 2:
        _fail(w.producer[qkv], f"layer {i}: expected one softmax between two products and one "
              f"out-projection, found {len(soft)}, {len(products)} and {len(gemm)}")
    soft = soft[0]
    if w.attrs(soft).get("axis", -1) not in (-1, 3):
        _fail(soft, "softmax over another axis than the keys")
    scores = w.producer[soft.input[0]]
    if scores not in products or not any(p.input[0] == soft.output[0] for p in products):
        _fail(soft, f"layer {i}: the softmax does not sit between the two products")
    dims = w.g.dims(soft.input[0])
    if not dims or len(dims) != 4 or not isinstance(dims[1], int) or dims[1] < 1 or E % dims[1]:
        _fail(soft, f"layer {i}: attention weights of shape {dims}; expected (1, heads, S, S)")
    scaling = _check_scale(w, scores, E // dims[1], i)
    # Arithmetic anywhere else (on the values, the weights) would go unseen.
    for n in nodes:
        if n.op_type in ("Mul", "Div", "Sqrt", "Cast") and id(n) not in scaling:
            _fail(n, f"layer {i}: {n.op_type} inside the attention that is not the score scale")
    return gemm[0], dims[1]


def _check_scale(w, scores, d, i):
    """The scores must be q @ k^T scaled by 1/sqrt(d) in all: each operand is
    multiplied by a factor the export computes from the shapes, evaluated
    here with onnx's reference evaluator. Returns the ids of the nodes
    that make up the scaling."""
    from onnx import helper, numpy_helper
    from onnx.reference import ReferenceEvaluator

    order = {id(n): k for k, n in enumerate(w.g.nodes)}
    factor, scaling = 1.0, set()
    for operand in scores.input:
        mul = w.producer.get(operand)
        if mul is None or mul.op_type != "Mul":
            _fail(scores, f"layer {i}: the attention scores are not products of scaled q and k")
        # The export puts the factor on the right; it must come from Shape
        # nodes and constants alone, or its evaluation fails.
        sub, seen, stack = [], set(), [mul.input[1]]
        while stack:
            t = stack.pop()
            n = w.producer.get(t)
            if n is None or t in seen:
                continue
            seen.add(t)
            sub.append(n)
            if n.op_type != "Shape":
                stack.extend(x for x in n.input if x and x not in w.values)
        shapes = {n.input[0] for n in sub if n.op_type == "Shape"}
        try:
            inputs = [helper.make_tensor_value_info(s, 1, w.g.dims(s)) for s in shapes]
            graph = helper.make_graph(sorted(sub, key=lambda n: order[id(n)]), "scale", inputs,
                                      [helper.make_tensor_value_info(mul.input[1], 1, None)])
            feeds = {s: np.zeros(w.g.dims(s), np.float32) for s in shapes}
            consts = {k: v for k, v in w.values.items()
                      if any(k in n.input for n in sub)}
            graph.initializer.extend(numpy_helper.from_array(np.asarray(v), k)
                                     for k, v in consts.items())
            model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", w.g.opset)])
            value = ReferenceEvaluator(model).run(None, feeds)[0]
        except Exception:
            value = None
        if value is None or np.size(value) != 1:
            _fail(mul, f"layer {i}: the attention scale is not a factor computed from the shapes")
        factor *= float(np.reshape(value, -1)[0])
        scaling |= {id(mul), *(id(n) for n in sub)}
    if abs(factor * np.sqrt(d) - 1) > 1e-4:
        _fail(scores, f"layer {i}: attention scores scaled by {factor:g}, not 1/sqrt({d})")
    return scaling


def import_vit(graph, name: str, progress: bool) -> ModelBuilder:
    """Build the classifier a checked, shape-inferred ViT export computes."""
    from vantrel.convert.core import report_progress
    w = _VitWalker(graph)
    x = graph.inputs[0]
    dims = graph.dims(x)
    if dims is None or len(dims) != 4 or not all(isinstance(v, int) for v in dims[1:]) \
            or dims[1] != 3 or dims[2] != dims[3]:
        _fail(None, f"input '{x}' has shape {dims}; expected (1, 3, S, S) with a fixed size")
    conv = w.one(x, "Conv", "patch embedding")
    at = w.attrs(conv)
    cw = w.const(conv.input[1])
    cb = w.const(conv.input[2]) if len(conv.input) > 2 else None
    P = cw.shape[2] if cw is not None and cw.ndim == 4 else None
    if P is None or cb is None or cw.shape[3] != P or list(at.get("strides", [])) != [P, P] \
            or any(at.get("pads", [0])) or at.get("group", 1) != 1 \
            or any(v != 1 for v in at.get("dilations", [1, 1])):
        _fail(conv, "the patch embedding is not a convolution with stride equal to its kernel, "
              "no padding and a bias")
    E = cw.shape[0]
    w.state["conv_proj.weight"], w.state["conv_proj.bias"] = cw, cb
    flat = w.one(conv.output[0], "Reshape", "patch flattening")
    n = (dims[2] // P) ** 2
    if graph.dims(flat.output[0]) != [1, E, n]:
        _fail(flat, f"the patch map is reshaped to {graph.dims(flat.output[0])}; expected "
              f"(1, {E}, {n})")
    seq = flat.output[0]
    seq = w.transpose(seq, (0, 2, 1), "patch sequence")
    cat = w.one(seq, "Concat", "class token")
    expand = w.producer.get(cat.input[0])
    cls = w.const(expand.input[0]) if expand is not None and expand.op_type == "Expand" else None
    if len(cat.input) != 2 or cat.input[1] != seq or w.attrs(cat).get("axis") not in (1, -2) \
            or cls is None or cls.size != E:
        _fail(cat, "expected the class token (one constant row) put before the patches")
    w.state["class_token"] = cls
    add = w.one(cat.output[0], "Add", "position embedding")
    pos = w.const(w.other(add, cat.output[0]))
    if pos is None or pos.size % E:
        _fail(add, "the position embedding is not a constant table of rows")
    w.state["encoder.pos_embedding"] = pos
    h = add.output[0]

    heads, layers = None, 0
    while True:
        i = layers
        p = f"encoder.layers.encoder_layer_{i}"
        last = not w.users(w.one(h, "LayerNormalization", "layer norm").output[0], "Transpose")
        ln = w.norm(h, "encoder.ln" if last else f"{p}.ln_1")
        if last:
            break
        report_progress(progress, "layer", i + 1, i + 1)
        t = w.transpose(ln, (1, 0, 2), f"layer {i} sequence-first layout")
        mm = [u for u in w.users(t, "MatMul") if w.const(u.input[1]) is not None]
        if len(mm) != 1:
            _fail(w.producer[t], f"layer {i}: expected the fused q, k, v projection")
        qkv = w.dense_from(mm[0], f"{p}.self_attention.in_proj")
        for part in ("weight", "bias"):
            w.state[f"{p}.self_attention.in_proj_{part}"] = w.state.pop(
                f"{p}.self_attention.in_proj.{part}")
        if w.state[f"{p}.self_attention.in_proj_weight"].shape != (3 * E, E):
            _fail(mm[0], f"layer {i}: the q, k, v projection is not {E} -> {3 * E}")
        gemm, n = _attention(w, qkv, E, i)
        if heads not in (None, n):
            _fail(gemm, f"layer {i}: {n} heads where earlier layers have {heads}")
        heads = n
        o = w.gemm(gemm, f"{p}.self_attention.out_proj", E)
        o = w.one(o, "Reshape", "batch split").output[0]
        o = w.transpose(o, (1, 0, 2), f"layer {i} batch-first layout")
        h1 = w.residual(o, h, f"layer {i} attention residual")
        f = w.dense(w.norm(h1, f"{p}.ln_2"), f"{p}.mlp.0")
        g = w.gelu(f, w.producer[f])
        f2 = [u for u in w.users(g, "MatMul") if w.const(u.input[1]) is not None]
        if len(f2) != 1:
            _fail(w.producer[g], f"layer {i}: expected the MLP's second linear layer after GELU")
        h = w.residual(w.dense_from(f2[0], f"{p}.mlp.3"), h1, f"layer {i} MLP residual")
        layers += 1
    if layers == 0:
        _fail(w.producer[h], "no encoder layer reads the tokens")
    first = w.one(ln, "Gather", "class-token pick")
    idx = w.const(first.input[1])
    if w.attrs(first).get("axis", 0) != 1 or idx is None or idx.size != 1 or int(idx) != 0:
        _fail(first, "expected the class token (index 0 on the token axis) to be picked")
    head = w.one(first.output[0], "Gemm", "classifier head")
    out = w.gemm(head, "heads.head", E)
    if graph.outputs != [out]:
        _fail(head, f"the graph outputs {graph.outputs}; expected only the head's logits")
    counts = {op: sum(n.op_type == op for n in graph.nodes)
              for op in ("Softmax", "LayerNormalization")}
    if counts != {"Softmax": layers, "LayerNormalization": 2 * layers + 1}:
        _fail(None, f"{layers} encoder layers recognised, but the graph has {counts}")
    if len(w.eps) != 1:
        _fail(None, f"layer norms with different epsilons {sorted(w.eps)}")
    b = vit_to_builder(w.state, num_heads=heads, eps=w.eps.pop(), name=name, gelu="erf")
    image = b.inputs[0]["name"]
    if b.nodes[0]["inputs"] != [image] or b.inputs[0]["shape"][-3:] != [dims[2], dims[2], 3]:
        _fail(None, f"the ViT converter's input {b.inputs[0]} does not take a "
              f"{dims[2]}x{dims[2]} image")
    # The caller's (C, H, W) buffer, read by the layout op as {h=C, w=H, c=W}.
    rename_tensors(b, {image: "input_layout.out", "logits": out})
    b.inputs = []
    b.input(x, dims[1:])
    b.node("nchw_to_nhwc_fp32", [x], "input_layout.out", name="input_layout")
    b.nodes.insert(0, b.nodes.pop())
    b.outputs = [out]
    return b
