"""The tensor inference protocol (Open Inference Protocol v2, HTTP/JSON with
the binary tensor data extension that ``tritonclient.http`` uses): request
parsing and checking, and response encoding."""

from __future__ import annotations

import json
from dataclasses import dataclass

import numpy as np

from vantrel.serve.models import ServedModel, ServeError

__all__ = ["InferRequest", "encode_response", "metadata", "parse_request"]

_NUMPY = {"FP32": np.dtype("<f4"), "INT8": np.dtype("i1")}


@dataclass
class InferRequest:
    samples: list            # one input dict per sample
    batch: int | None        # N when the inputs carried a leading batch dimension
    outputs: list            # (name, binary) per requested output
    request_id: str | None


def metadata(m: ServedModel) -> dict:
    """The model metadata answer: inputs with datatype and shape, outputs."""
    return {"name": m.name, "versions": ["1"], "platform": "vantrel",
            "inputs": [{"name": t.name, "datatype": t.datatype, "shape": list(t.shape)}
                       for t in m.inputs],
            "outputs": [{"name": o, "datatype": "FP32", "shape": [-1]} for o in m.outputs]}


def _bad(message: str) -> ServeError:
    return ServeError(400, message)


def _shape_of(name: str, shape) -> list[int]:
    if not isinstance(shape, list) or not all(
            isinstance(d, int) and not isinstance(d, bool) and d >= 0 for d in shape):
        raise _bad(f"input '{name}': 'shape' must be a list of non-negative integers, got {shape!r}")
    return shape


def _batch_of(name: str, shape: list[int], declared: tuple[int, ...]) -> int | None:
    """None when ``shape`` is the declared one, N for [N, *declared]."""
    def fits(s):
        return len(s) == len(declared) and all(d == s_ if d != -1 else s_ >= 1
                                               for s_, d in zip(s, declared))
    if fits(shape):
        return None
    if len(shape) == len(declared) + 1 and shape[0] >= 1 and fits(shape[1:]):
        return shape[0]
    raise _bad(f"input '{name}' has shape {shape}, expected {list(declared)} or [N, "
               f"{', '.join(map(str, declared))}] (-1: any size)")


def _json_data(name: str, datatype: str, data, count: int) -> np.ndarray:
    try:
        a = np.asarray(data)
    except ValueError as e:
        raise _bad(f"input '{name}': 'data' is not a rectangular list of numbers ({e})") from None
    if a.dtype.kind not in "iuf" or (datatype == "INT8" and a.dtype.kind == "f"):
        kind = "integers" if datatype == "INT8" else "numbers"
        raise _bad(f"input '{name}' ({datatype}): 'data' must hold {kind}")
    if a.size != count:
        raise _bad(f"input '{name}' holds {a.size} values, its shape needs {count}")
    if datatype == "INT8" and a.size and (a.min() < -128 or a.max() > 127):
        raise _bad(f"input '{name}' (INT8) holds values outside -128..127")
    return a.astype(_NUMPY[datatype]).ravel()


def parse_request(m: ServedModel, body: bytes, header_length: str | None) -> InferRequest:
    """Check a request against ``m``'s inputs; every fault is a 400 naming it."""
    binary = b""
    if header_length is not None:
        try:
            n = int(header_length)
        except ValueError:
            raise _bad(f"Inference-Header-Content-Length {header_length!r} is not an integer") from None
        if not 0 < n <= len(body):
            raise _bad(f"Inference-Header-Content-Length {n} does not fit a body of {len(body)} bytes")
        body, binary = body[:n], body[n:]
    try:
        doc = json.loads(body)
    except (ValueError, UnicodeDecodeError) as e:
        raise _bad(f"malformed JSON body: {e}") from None
    if not isinstance(doc, dict):
        raise _bad("the request body must be a JSON object")
    inputs = doc.get("inputs")
    if not isinstance(inputs, list) or not inputs:
        raise _bad("'inputs' must be a non-empty list of tensors")
    declared = {t.name: t for t in m.inputs}
    arrays, batches, offset = {}, {}, 0
    for i, t in enumerate(inputs):
        name = t.get("name") if isinstance(t, dict) else None
        if not isinstance(name, str):
            raise _bad(f"inputs[{i}] must be an object with a 'name'")
        if name not in declared:
            raise _bad(f"model '{m.name}' has no input '{name}' (inputs: {', '.join(declared)})")
        if name in arrays:
            raise _bad(f"input '{name}' is given twice")
        info = declared[name]
        if t.get("datatype") != info.datatype:
            raise _bad(f"input '{name}' has datatype {t.get('datatype')!r}, expected {info.datatype}")
        shape = _shape_of(name, t.get("shape"))
        batches[name] = _batch_of(name, shape, info.shape)
        count = int(np.prod(shape, dtype=np.int64))
        params = t.get("parameters") if isinstance(t.get("parameters"), dict) else {}
        size = params.get("binary_data_size")
        if size is not None:
            want = count * _NUMPY[info.datatype].itemsize
            if not isinstance(size, int) or size != want:
                raise _bad(f"input '{name}': binary_data_size {size!r}, shape {shape} needs {want} bytes")
            if offset + size > len(binary):
                raise _bad(f"input '{name}': the body ends before its {size} bytes of binary data")
            flat = np.frombuffer(binary, _NUMPY[info.datatype], count, offset)
            offset += size
        elif "data" in t:
            flat = _json_data(name, info.datatype, t["data"], count)
        else:
            raise _bad(f"input '{name}' has neither 'data' nor parameters.binary_data_size")
        arrays[name] = flat.reshape(shape)
    if offset != len(binary):
        raise _bad(f"{len(binary) - offset} bytes of binary data follow the inputs' data")
    missing = [n for n in declared if n not in arrays]
    if missing:
        raise _bad(f"model '{m.name}' needs input(s) {', '.join(missing)}")
    sizes = set(batches.values())
    if len(sizes) != 1:
        raise _bad("the inputs disagree on the batch dimension: "
                   + ", ".join(f"{k}: {v or 'none'}" for k, v in batches.items()))
    batch = sizes.pop()
    samples = ([arrays] if batch is None else
               [{k: np.ascontiguousarray(v[i]) for k, v in arrays.items()} for i in range(batch)])

    params = doc.get("parameters") if isinstance(doc.get("parameters"), dict) else {}
    binary_default = bool(params.get("binary_data_output", False))
    wanted = doc.get("outputs")
    if wanted is None:
        outputs = [(o, binary_default) for o in m.outputs]
    else:
        if not isinstance(wanted, list) or not all(isinstance(o, dict) and isinstance(o.get("name"), str)
                                                   for o in wanted):
            raise _bad("'outputs' must be a list of objects with a 'name'")
        outputs = []
        for o in wanted:
            if o["name"] not in m.outputs:
                raise _bad(f"model '{m.name}' has no output '{o['name']}' (outputs: {', '.join(m.outputs)})")
            p = o.get("parameters") if isinstance(o.get("parameters"), dict) else {}
            outputs.append((o["name"], bool(p.get("binary_data", binary_default))))
    rid = doc.get("id")
    return InferRequest(samples, batch, outputs, rid if isinstance(rid, str) else None)


def encode_response(m: ServedModel, req: InferRequest, results: list) -> tuple[bytes, dict, str]:
    """(body, extra headers, media type) of the answer to ``req``."""
    entries, chunks = [], []
    for name, binary in req.outputs:
        if req.batch is None:
            arr = np.asarray(results[0][name], np.float32)
        else:
            rows = [np.asarray(r[name], np.float32) for r in results]
            if len({r.shape for r in rows}) != 1:
                raise _bad(f"output '{name}' differs in shape between the samples of the batch; "
                           "send them in separate requests")
            arr = np.stack(rows)
        entry = {"name": name, "datatype": "FP32", "shape": list(arr.shape)}
        if binary:
            raw = arr.astype("<f4").tobytes()
            entry["parameters"] = {"binary_data_size": len(raw)}
            chunks.append(raw)
        else:
            entry["data"] = arr.ravel().tolist()
        entries.append(entry)
    doc = {"model_name": m.name, "model_version": "1", "outputs": entries}
    if req.request_id is not None:
        doc["id"] = req.request_id
    head = json.dumps(doc).encode()
    if chunks:
        return (head + b"".join(chunks), {"Inference-Header-Content-Length": str(len(head))},
                "application/octet-stream")
    return head, {}, "application/json"
