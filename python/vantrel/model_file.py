"""Writing (and reading back) the two files a model is made of.

A model is an architecture file (JSON: model name, inputs, outputs and the
node list) and a weights file (``W1X1``: a 12-byte header, an index of
80-byte entries and one record per tensor). :class:`ModelBuilder` collects
both and saves them; :func:`write_weights` and :func:`read_weights` handle
the weights file alone.
"""

from __future__ import annotations

import json
import struct
from typing import Iterable, Mapping

import numpy as np

__all__ = ["ModelBuilder", "write_weights", "read_weights", "DTYPE_CODES", "WEIGHTS_VERSION"]

WEIGHTS_VERSION = 1
MAGIC = b"W1X1"
HEADER_BYTES = 12
ENTRY_BYTES = 80
NAME_BYTES = 63  # byte 63 of the name field is always NUL

#: Element type codes written into each record. The engine does not read
#: them (each layer knows what it expects); they let tools read files back.
DTYPE_CODES = {
    np.dtype(np.float32): 0,
    np.dtype(np.int8): 1,
    np.dtype(np.int32): 2,
    np.dtype(np.uint8): 3,
    np.dtype(np.int16): 4,
    np.dtype(np.int64): 5,
    np.dtype(np.float16): 6,
}
_CODE_DTYPES = {v: k for k, v in DTYPE_CODES.items()}


def _check_name(name: str) -> bytes:
    raw = name.encode("utf-8")
    if not raw or len(raw) > NAME_BYTES or b"\0" in raw:
        raise ValueError(f"tensor name {name!r} must be 1 to {NAME_BYTES} bytes of UTF-8 without NUL")
    return raw


def write_weights(path: str, tensors: Mapping[str, np.ndarray]) -> None:
    """Write ``tensors`` (name -> array) to a W1X1 weights file.

    Arrays are stored C-contiguous, little-endian, with their shape; their
    element type must be one of :data:`DTYPE_CODES`. Names bound to the very
    same array object (tied embeddings) share one record: their index
    entries point at the same bytes.
    """
    items = []
    first: dict[int, int] = {}  # id(array) -> its record's item
    for name, value in tensors.items():
        raw_name = _check_name(name)
        if id(value) in first:
            items.append((raw_name, first[id(value)]))
            continue
        first[id(value)] = len(items)
        arr = np.asarray(value)
        dt = arr.dtype.newbyteorder("=") if arr.dtype.byteorder not in ("=", "|") else arr.dtype
        if dt not in DTYPE_CODES:
            raise ValueError(f"tensor {name!r}: unsupported element type {arr.dtype}")
        arr = np.array(arr, dtype=dt.newbyteorder("<"), order="C")  # keeps 0-d shapes
        if arr.ndim > 0xFFFF or any(d > 0x7FFFFFFF for d in arr.shape):
            raise ValueError(f"tensor {name!r}: shape {arr.shape} does not fit the file format")
        record = struct.pack("<BBH", DTYPE_CODES[dt], 0, arr.ndim)
        record += struct.pack(f"<{arr.ndim}i", *arr.shape) + arr.tobytes()
        if len(record) > 0xFFFFFFFF:
            raise ValueError(f"tensor {name!r}: {len(record)} bytes exceed the 4 GiB record limit")
        items.append((raw_name, record))
    offset = HEADER_BYTES + ENTRY_BYTES * len(items)
    placed = {}  # item -> (offset, size) of its record
    with open(path, "wb") as f:
        f.write(MAGIC + struct.pack("<II", WEIGHTS_VERSION, len(items)))
        for i, (raw_name, record) in enumerate(items):
            if isinstance(record, int):
                at, size = placed[record]
            else:
                at, size = placed[i] = offset, len(record)
                offset += size
            f.write(raw_name.ljust(64, b"\0") + struct.pack("<QI4x", at, size))
        for _, record in items:
            if not isinstance(record, int):
                f.write(record)


def read_weights(path: str) -> dict[str, np.ndarray]:
    """Read a weights file written by :func:`write_weights` back into arrays.

    A later index entry with the same name replaces an earlier one, as in the
    engine. Records of unknown element type come back as raw ``uint8``.
    Entries sharing one record come back as one array object, so writing
    them again keeps them shared.
    """
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != MAGIC:
        raise ValueError(f"{path}: not a W1X1 weights file")
    if len(data) < HEADER_BYTES:
        raise ValueError(f"{path}: truncated header")
    (count,) = struct.unpack_from("<I", data, 8)
    if HEADER_BYTES + ENTRY_BYTES * count > len(data):
        raise ValueError(f"{path}: index of {count} entries is past the end of the file")
    out: dict[str, np.ndarray] = {}
    seen: dict[tuple[int, int], np.ndarray] = {}
    for i in range(count):
        base = HEADER_BYTES + ENTRY_BYTES * i
        name = data[base:base + 63].split(b"\0", 1)[0].decode("utf-8", "replace")
        offset, size = struct.unpack_from("<QI", data, base + 64)
        if (offset, size) in seen:
            out[name] = seen[offset, size]
            continue
        if offset + 4 > len(data) or offset + size > len(data):
            raise ValueError(f"{path}: record {name!r} is past the end of the file")
        code, _, ndim = struct.unpack_from("<BBH", data, offset)
        if size < 4 + 4 * ndim:
            raise ValueError(f"{path}: record {name!r} is shorter than its header")
        shape = struct.unpack_from(f"<{ndim}i", data, offset + 4)
        payload = data[offset + 4 + 4 * ndim: offset + size]
        dt = _CODE_DTYPES.get(code)
        if dt is None or (len(payload) % dt.itemsize) != 0:
            out[name] = np.frombuffer(payload, dtype=np.uint8).copy()
            continue
        arr = np.frombuffer(payload, dtype=dt.newbyteorder("<")).astype(dt)
        out[name] = seen[offset, size] = arr.reshape(shape) if int(np.prod(shape)) == arr.size else arr
    return out


def _shape4(shape: Iterable[int]) -> list[int]:
    dims = [int(d) for d in shape]
    if len(dims) == 1:
        return [1, 1, 1, dims[0]]
    if len(dims) == 2:
        return [1, dims[0], 1, dims[1]]
    if len(dims) == 3:
        return [1, dims[0], dims[1], dims[2]]
    raise ValueError(f"input shape {dims} must be [c], [h, c] or [h, w, c]")


_TYPE_NAMES = {"int": "an int", "float": "a float (or int)", "bool": "a bool (or 0/1)"}
_OPS: dict | None = None  # op name or alias -> argument specs, read once from the engine


def _node_args_schema(op: str) -> dict:
    """The argument specs of ``op`` (a name or alias) from the engine's registry."""
    import model_inference

    global _OPS
    if _OPS is None:
        ops = {}
        for name, entry in model_inference._op_schema().items():
            ops[name] = entry["args"]
            ops.update({alias: entry["args"] for alias in entry.get("aliases", [])})
        _OPS = ops
    if op not in _OPS:
        raise ValueError(f"unknown op {op!r} (model_inference._op_schema() lists the known ops)")
    return _OPS[op]


def _check_arg(op: str, key: str, kind: str, value) -> None:
    is_int = isinstance(value, int) and not isinstance(value, bool)
    if kind == "int":
        ok = is_int
    elif kind == "float":
        ok = is_int or isinstance(value, float)
    else:
        ok = isinstance(value, bool) or (is_int and value in (0, 1))
    if not ok:
        raise TypeError(f"op {op!r}: argument {key!r} must be {_TYPE_NAMES[kind]}, got {value!r}")
    if kind == "int" and not -2**31 <= value < 2**31:
        raise ValueError(f"op {op!r}: argument {key!r} = {value} does not fit a 32-bit int")


class ModelBuilder:
    """Collects a model's architecture and weights and saves both files.

    Example::

        b = ModelBuilder("tiny")
        x = b.input("x", [8, 8, 3])
        y = b.node("maxpool_fp32", [x], kH=2, kW=2, stride_h=2, stride_w=2)
        b.output(b.node("avgpool_fp32", [y]))
        b.save("tiny.json", "tiny.bin")

    Input shapes are ``[c]``, ``[h, c]`` or ``[h, w, c]`` (channels last); a
    0 marks a size taken from the array at run time. Node arguments are
    passed as keywords and stored under the node's ``"args"``; an op the
    engine does not know, an argument the op does not take or a value of the
    wrong type is refused (``ValueError`` / ``TypeError``).
    """

    def __init__(self, name: str):
        self.name = name
        self.inputs: list[dict] = []
        self.nodes: list[dict] = []
        self.outputs: list[str] = []
        self.weights: dict[str, np.ndarray] = {}
        # Further top-level keys of the architecture file (the engine reads
        # only its own; tools keep e.g. an imported model's signature here).
        self.meta: dict = {}
        self._count = 0

    @classmethod
    def from_arch(cls, doc: Mapping, weights: Mapping[str, np.ndarray]) -> "ModelBuilder":
        """A builder holding an existing architecture document and weights."""
        b = cls(str(doc.get("model", "model")))
        b.inputs = [dict(i) for i in doc.get("inputs", [])]
        b.nodes = [json.loads(json.dumps(n)) for n in doc.get("nodes", [])]
        b.outputs = [o["name"] if isinstance(o, Mapping) else str(o)
                     for o in doc.get("outputs", [])]
        b.weights = dict(weights)
        b.meta = {k: v for k, v in doc.items() if k not in ("model", "inputs", "nodes", "outputs")}
        b._count = len(b.nodes)
        return b

    @classmethod
    def load(cls, arch_path: str, weights_path: str) -> "ModelBuilder":
        """Read a model's two files back into a builder."""
        with open(arch_path, encoding="utf-8") as f:
            doc = json.load(f)
        return cls.from_arch(doc, read_weights(weights_path))

    def input(self, name: str, shape: Iterable[int], dtype: str = "float32",
              scale: float = 1.0, zp: int = 0) -> str:
        """Declare an input tensor and return its name."""
        self.inputs.append({"name": name, "shape": _shape4(shape), "dtype": dtype,
                            "scale": float(scale), "zp": int(zp)})
        return name

    def node(self, op: str, inputs: Iterable[str], output: str | None = None,
             name: str | None = None, relu: bool = False, **args) -> str:
        """Append a node and return the name of the tensor it writes."""
        specs = _node_args_schema(op)
        node_args = {k: (v.item() if isinstance(v, np.generic) else v) for k, v in args.items()}
        for key, value in node_args.items():
            if key not in specs:
                known = ", ".join(specs) or "none"
                raise ValueError(f"op {op!r} takes no argument {key!r} (its arguments: {known})")
            _check_arg(op, key, specs[key]["type"], value)
        self._count += 1
        name = name or f"{op.rsplit('_', 1)[0]}{self._count}"
        output = output or f"{name}.out"
        node = {"name": name, "op": op, "inputs": list(inputs), "outputs": [output]}
        if relu:
            node_args["relu"] = True
        if node_args:
            node["args"] = node_args
        self.nodes.append(node)
        return output

    def weight(self, name: str, array: np.ndarray) -> None:
        """Store a tensor under ``name`` (e.g. ``"conv1.weight"``)."""
        _check_name(name)
        self.weights[name] = np.asarray(array)

    def output(self, *names: str) -> None:
        """Declare output tensors, in order."""
        self.outputs.extend(names)

    def arch(self) -> dict:
        """The architecture document as a dict."""
        doc = {"model": self.name, "inputs": self.inputs, "nodes": self.nodes}
        if self.outputs:
            doc["outputs"] = [{"name": n} for n in self.outputs]
        doc.update({k: v for k, v in self.meta.items() if k not in doc})
        return doc

    def save(self, arch_path: str, weights_path: str) -> None:
        """Write the architecture (JSON) and weights (W1X1) files."""
        with open(arch_path, "w", encoding="utf-8") as f:
            json.dump(self.arch(), f, indent=1)
        write_weights(weights_path, self.weights)
