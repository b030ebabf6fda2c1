"""The ``vantrel`` command line.

    vantrel run ARCH WEIGHTS INPUT [-o OUT.npz]
    vantrel bench ARCH WEIGHTS [--input FILE] [--runs N] [--warmup N]
    vantrel profile ARCH WEIGHTS [--input FILE] [--runs N] [--top N] [--png FILE]
    vantrel inspect ARCH WEIGHTS
    vantrel convert MODULE:FACTORY [--input-shape 1,3,224,224] -o NAME [--int8 ...]
    vantrel generate ARCH WEIGHTS --tokenizer DIR_OR_GGUF PROMPT [--chat --max-new-tokens N ...]
    vantrel generate --model DIR_OR_GGUF PROMPT [--int8 weights|step ...]
    vantrel demo [--toy]
    vantrel serve NAME=ARCH.json:WEIGHTS.bin ... [--model-dir DIR] [--port N]

Inputs are ``.npy`` files (one array, for the first model input) or ``.npz``
files (arrays by input name). A float array given to an int8 model is
quantised with the input's scale and zero point. Errors end the program
with status 1 and one line on standard error.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import statistics
import sys
import time
from collections import Counter

import numpy as np

from vantrel.convert import FAMILIES
from vantrel.model_file import ModelBuilder, read_weights


def _load_model(args):
    import model_inference as mi
    return mi.InferenceModel(args.arch, args.weights)


def _load_inputs(model, path: str | None) -> dict[str, np.ndarray]:
    specs = model.inputs
    if path is None:
        arrays = {}
        for s in specs:
            if any(d == 0 for d in s.shape):
                raise ValueError(f"input '{s.name}' has a run-time size; give --input")
            rng = np.random.default_rng(0)
            arrays[s.name] = rng.standard_normal(s.shape).astype(np.float32)
    elif path.endswith(".npz"):
        with np.load(path) as z:
            arrays = {k: z[k] for k in z.files}
    else:
        arrays = {specs[0].name: np.load(path)}
    by_name = {s.name: s for s in specs}
    for name, a in arrays.items():
        spec = by_name.get(name)
        if spec is None:
            raise ValueError(f"'{name}' is not an input of this model "
                             f"(inputs: {', '.join(by_name)})")
        if spec.dtype == "int8" and a.dtype.kind == "f":
            from vantrel.quantize import quantize_input
            arrays[name] = quantize_input(a, spec.scale, spec.zp)
    return arrays


def _forward(model, arrays):
    # The mapping form of forward passes float32 only, so int8 data and
    # single-output models go through the array form.
    first = model.inputs[0]
    if len(arrays) == 1 and first.name in arrays and (
            len(model.output_names) <= 1 or first.dtype == "int8"):
        return {(model.output_names or ["output"])[0]: model.forward(arrays[first.name])}
    return model.forward(arrays)


def cmd_run(args) -> None:
    """``vantrel run``: run the model once and summarise (and optionally save) its outputs."""
    model = _load_model(args)
    outputs = _forward(model, _load_inputs(model, args.input))
    shapes = _onnx_output_dims(args.arch)
    outputs = {k: _as_onnx_shape(np.asarray(v), shapes.get(k)) for k, v in outputs.items()}
    for name, y in outputs.items():
        line = (f"{name}: shape {list(y.shape)} min {y.min():.6g} max {y.max():.6g} "
                f"mean {y.mean():.6g}") if y.size else f"{name}: empty"
        if y.size > 1 and y.squeeze().ndim == 1:
            flat = y.reshape(-1)
            top = np.argsort(-flat)[:5]
            line += " top-5 " + ", ".join(f"{i}:{flat[i]:.4g}" for i in top)
        print(line)
    if args.output:
        np.savez(args.output, **outputs)
        print(f"saved {len(outputs)} output(s) to {args.output}")


def _onnx_output_dims(arch_path: str) -> dict:
    """Output dims of a model imported from ONNX (its "onnx" signature), else {}."""
    try:
        with open(arch_path, encoding="utf-8") as f:
            doc = json.load(f)
        return {o["name"]: o["dims"] for o in doc.get("onnx", {}).get("outputs", []) if o.get("dims")}
    except (OSError, ValueError, AttributeError, KeyError, TypeError):
        return {}


def _as_onnx_shape(y: np.ndarray, dims) -> np.ndarray:
    # The engine returns flat rows; an ONNX output gets back the shape the
    # file declares when at most one of its dimensions is symbolic.
    if not dims:
        return y
    shape = [-1 if isinstance(d, str) or d is None else int(d) for d in dims]
    if shape.count(-1) > 1:
        return y
    try:
        return y.reshape(shape)
    except ValueError:
        return y


def _timed_runs(model, arrays, warmup: int, runs: int) -> list[float]:
    if runs < 1:
        raise ValueError("--runs must be at least 1")
    for _ in range(warmup):
        _forward(model, arrays)
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        _forward(model, arrays)
        times.append((time.perf_counter() - t0) * 1e3)
    return times


def cmd_bench(args) -> None:
    """``vantrel bench``: median and p90 latency and throughput over repeated runs."""
    model = _load_model(args)
    times = sorted(_timed_runs(model, _load_inputs(model, args.input), args.warmup, args.runs))
    med = statistics.median(times)
    p90 = times[int(0.9 * (len(times) - 1))]
    print(f"{model.model_name}: {args.runs} runs after {args.warmup} warm-up; "
          f"median {med:.3f} ms, p90 {p90:.3f} ms, min {times[0]:.3f} ms, "
          f"{1e3 / med:.1f} inferences/s")


def cmd_profile(args) -> None:
    """``vantrel profile``: time per op and per node, with an optional bar chart."""
    model = _load_model(args)
    arrays = _load_inputs(model, args.input)
    model.set_profile_enabled(True)
    _timed_runs(model, arrays, 1, 1)
    model.reset_profile()
    _timed_runs(model, arrays, 0, args.runs)
    ops = {k: v / args.runs for k, v in model.op_profile().items()}
    nodes = {k: v / args.runs for k, v in model.layer_profile().items()}
    total = sum(ops.values()) or 1.0
    print(f"{'op':28s} {'ms/run':>9s} {'share':>7s}")
    for k, v in sorted(ops.items(), key=lambda kv: -kv[1]):
        print(f"{k:28s} {v:9.3f} {100 * v / total:6.1f}%")
    with open(args.arch, encoding="utf-8") as f:
        op_of = {n.get("name"): n.get("op") for n in json.load(f).get("nodes", [])}
    print(f"\n{'node':36s} {'op':24s} {'ms/run':>9s}")
    ranked = sorted(nodes.items(), key=lambda kv: -kv[1])
    for k, v in ranked[:args.top]:
        print(f"{k:36s} {str(op_of.get(k, '')):24s} {v:9.3f}")
    print(f"total {total:.3f} ms per run over {args.runs} runs")
    if args.png:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        names = [k for k, _ in sorted(ops.items(), key=lambda kv: kv[1])]
        fig, ax = plt.subplots(figsize=(7, 0.4 * len(names) + 1))
        ax.barh(names, [ops[k] for k in names])
        ax.set_xlabel("ms per run")
        ax.set_title(f"{model.model_name}: time per op")
        fig.tight_layout()
        fig.savefig(args.png)
        print(f"wrote {args.png}")


def cmd_inspect(args) -> None:
    """``vantrel inspect``: inputs, outputs, nodes by op, weight sizes and packed-block sharing."""
    b = ModelBuilder.load(args.arch, args.weights)
    weights = read_weights(args.weights)
    print(f"model {b.name}")
    for i in b.inputs:
        print(f"input  {i['name']}: shape {i['shape'][1:]} {i.get('dtype', 'float32')}"
              + (f" scale {i['scale']:.6g} zp {i['zp']}" if i.get("dtype") == "int8" else ""))
    outputs = b.outputs or ([b.nodes[-1]["outputs"][0]] if b.nodes else [])
    for o in outputs:
        print(f"output {o}")
    ops = Counter(n["op"] for n in b.nodes)
    print(f"{len(b.nodes)} nodes: " + ", ".join(f"{op} x{c}" for op, c in ops.most_common()))
    by_op: Counter = Counter()
    op_of = {n["name"]: n["op"] for n in b.nodes}
    for name, a in weights.items():
        by_op[op_of.get(name.rsplit(".", 1)[0], "(unused)")] += a.nbytes
    total = sum(by_op.values())
    print(f"weights: {len(weights)} tensors, {total / 2**20:.2f} MiB")
    for op, nbytes in by_op.most_common():
        print(f"  {op:28s} {nbytes / 2**20:9.2f} MiB")
    # Loading the model shows what the engine made of the weights: nodes
    # with the same name and arguments share one packed block.
    s = _load_model(args).load_stats()
    print(f"packed weights: {s['packed_blocks']} blocks, {s['shared_packed_blocks']} shared "
          f"({s['shared_packed_bytes'] / 2**20:.2f} MiB saved); "
          f"largest tensor read {s['peak_tensor_bytes'] / 2**20:.2f} MiB")


def _convert_onnx(args) -> None:
    from vantrel.convert import convert
    given = [flag for flag, on in (("--input-shape", args.input_shape), ("--family", args.family),
                                   ("--int8", args.int8), ("--calibration", args.calibration),
                                   ("--max-seq-len", args.max_seq_len is not None)) if on]
    if given:
        raise ValueError(f"{', '.join(given)} do not apply to an ONNX model (its shapes come "
                         "from the file)")
    builder = convert(args.model, name=args.name, progress=True)
    builder.save(args.output + ".json", args.output + ".bin")
    print(f"wrote {args.output}.json and {args.output}.bin (onnx, {len(builder.nodes)} nodes)")


def cmd_convert(args) -> None:
    """``vantrel convert``: convert ``MODULE:FACTORY()`` or an ``.onnx`` file with
    :func:`vantrel.convert.convert`."""
    if args.model.lower().endswith(".onnx"):
        _convert_onnx(args)
        return
    import torch
    from vantrel.convert import convert, model_family
    module_name, _, attr = args.model.partition(":")
    if not attr:
        raise ValueError("model must be given as MODULE:FACTORY, e.g. vantrel.torch_models:resnet18")
    net = getattr(importlib.import_module(module_name), attr)()
    family = args.family or model_family(net)
    shape = [int(d) for d in args.input_shape.split(",")] if args.input_shape else None
    if family == "cnn" and shape is None:
        raise ValueError("a CNN needs --input-shape, e.g. --input-shape 1,3,224,224")
    if shape is not None and (len(shape) != 4 or shape[0] != 1 or min(shape) < 1):
        raise ValueError(f"--input-shape {args.input_shape} must be 1,C,H,W")
    options = {}
    if args.max_seq_len is not None:
        if family != "decoder":
            raise ValueError(f"--max-seq-len applies to decoders, not to a {family} model")
        options["max_seq_len"] = args.max_seq_len
    calib = None
    if family == "cnn" and args.int8:
        if args.calibration:
            with np.load(args.calibration) as z:
                calib = [z[k] for k in z.files]
        else:
            rng = np.random.default_rng(0)
            calib = [rng.standard_normal((shape[2], shape[3], shape[1])).astype(np.float32)
                     for _ in range(args.calibration_count)]
    elif args.calibration:
        raise ValueError("--calibration applies to int8 CNNs only")
    builder = convert(net, torch.zeros(shape) if shape else None, name=args.name or attr,
                      progress=True, int8=args.int8, calibration=calib, family=family, **options)
    builder.save(args.output + ".json", args.output + ".bin")
    print(f"wrote {args.output}.json and {args.output}.bin ({family}, {len(builder.nodes)} nodes)")


def _load_tokenizer(path: str):
    from vantrel._hf import import_transformers
    p = os.path.abspath(path)
    extra = {}
    if p.lower().endswith(".gguf"):
        p, extra["gguf_file"] = os.path.dirname(p), os.path.basename(p)
    if not os.path.exists(p):
        raise FileNotFoundError(f"no tokenizer folder or GGUF file at {path}")
    return import_transformers().AutoTokenizer.from_pretrained(p, **extra)


def cmd_generate(args) -> None:
    """``vantrel generate``: stream a completion of the prompt to stdout (usage to stderr)."""
    from vantrel.generation import Generator
    pos = args.paths_and_prompt
    if args.model:
        if len(pos) != 1:
            raise ValueError("with --model give only the prompt (not ARCH WEIGHTS)")
        if args.tokenizer:
            raise ValueError("--tokenizer applies to ARCH WEIGHTS; --model brings its own")
        gen = Generator.from_pretrained(args.model, int8=args.int8 or False,
                                        max_seq_len=args.max_seq_len)
    else:
        if len(pos) != 3:
            raise ValueError("give ARCH WEIGHTS PROMPT with --tokenizer, or --model DIR_OR_GGUF "
                             "PROMPT")
        if not args.tokenizer:
            raise ValueError("ARCH WEIGHTS need --tokenizer (a tokenizer folder or a GGUF file)")
        if args.int8 or args.max_seq_len is not None:
            raise ValueError("--int8 and --max-seq-len apply to --model (converting on the fly)")
        import model_inference as mi
        gen = Generator(mi.InferenceModel(pos[0], pos[1]), _load_tokenizer(args.tokenizer))
    prompt = [{"role": "user", "content": pos[-1]}] if args.chat else pos[-1]
    t0 = time.perf_counter()
    for piece in gen.stream(prompt, max_new_tokens=args.max_new_tokens,
                            temperature=args.temperature, top_k=args.top_k, top_p=args.top_p,
                            stop=args.stop, seed=args.seed):
        sys.stdout.write(piece)
        sys.stdout.flush()
    seconds = time.perf_counter() - t0
    sys.stdout.write("\n")
    u = gen.last_usage
    print(f"[{u['prompt_tokens']} prompt tokens, {u['completion_tokens']} generated in "
          f"{seconds:.2f} s ({u['completion_tokens'] / max(seconds, 1e-9):.1f} tokens/s), "
          f"finish: {gen.last_finish_reason}]", file=sys.stderr)


def cmd_demo(args) -> None:
    """``vantrel demo``: run the built-in example (``--toy``: the small image graph)."""
    from vantrel.demo import main as demo_main
    if demo_main(["--toy"] if args.toy else []) != 0:
        raise RuntimeError("the demo's results do not match the reference")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``vantrel`` command and its subcommands."""
    p = argparse.ArgumentParser(prog="vantrel", description="vantrel inference engine tools")
    sub = p.add_subparsers(dest="command", required=True)

    def model_cmd(name, help_text):
        sp = sub.add_parser(name, help=help_text, description=help_text)
        sp.add_argument("arch", help="architecture file (JSON)")
        sp.add_argument("weights", help="weights file (W1X1)")
        return sp

    sp = model_cmd("run", "run a model on .npy/.npz inputs and summarise the outputs")
    sp.add_argument("input", help=".npy (first input) or .npz (by input name)")
    sp.add_argument("-o", "--output", help="save the outputs to this .npz file")
    sp.set_defaults(func=cmd_run)
    for name, help_text, func in [("bench", "median and p90 latency over repeated runs", cmd_bench),
                                  ("profile", "time per op and per node", cmd_profile)]:
        sp = model_cmd(name, help_text)
        sp.add_argument("--input", help=".npy/.npz input (default: seeded random data)")
        sp.add_argument("--runs", type=int, default=50 if name == "bench" else 20)
        if name == "bench":
            sp.add_argument("--warmup", type=int, default=5)
        else:
            sp.add_argument("--top", type=int, default=20, help="nodes to list")
            sp.add_argument("--png", help="write a bar chart of the per-op times")
        sp.set_defaults(func=func)
    sp = model_cmd("inspect", "inputs, outputs, nodes by op and weight sizes")
    sp.set_defaults(func=cmd_inspect)
    sp = sub.add_parser("convert", help="convert a PyTorch or ONNX model",
                        description="convert a PyTorch model built by MODULE:FACTORY(): a CNN, "
                                    "ViT, BERT encoder, decoder or vocoder; or an .onnx file "
                                    "(an image network or a BERT-style encoder)")
    sp.add_argument("model", help="MODULE:FACTORY returning an nn.Module, or an .onnx file")
    sp.add_argument("--input-shape", help="example input shape, e.g. 1,3,224,224 (needed for a CNN)")
    sp.add_argument("-o", "--output", required=True, help="output path without extension")
    sp.add_argument("--name", help="model name")
    sp.add_argument("--family", choices=FAMILIES, help="converter to use (default: read from the model)")
    sp.add_argument("--int8", action="store_true",
                    help="int8: a CNN is quantised from calibration images, a ViT or BERT "
                         "encoder gets int8 weights")
    sp.add_argument("--calibration", help=".npz of (H, W, C) float calibration images (CNN)")
    sp.add_argument("--calibration-count", type=int, default=8,
                    help="seeded random calibration images when no .npz is given")
    sp.add_argument("--max-seq-len", type=int, help="key/value cache positions (decoder)")
    sp.set_defaults(func=cmd_convert)
    sp = sub.add_parser("generate", help="generate text with a decoder language model",
                        description="stream a completion to stdout: a converted decoder "
                                    "(ARCH WEIGHTS --tokenizer DIR_OR_GGUF PROMPT) or a Hugging "
                                    "Face model folder or GGUF file converted on the fly "
                                    "(--model DIR_OR_GGUF PROMPT)")
    sp.add_argument("paths_and_prompt", nargs="+", metavar="[ARCH WEIGHTS] PROMPT")
    sp.add_argument("--tokenizer", help="tokenizer folder or GGUF file (with ARCH WEIGHTS)")
    sp.add_argument("--model", help="Hugging Face model folder or GGUF file to convert")
    sp.add_argument("--int8", choices=["weights", "step"],
                    help="with --model: int8 weights, or int8 weights and activations per step")
    sp.add_argument("--max-seq-len", type=int, help="with --model: key/value cache positions")
    sp.add_argument("--max-new-tokens", type=int, default=128)
    sp.add_argument("--temperature", type=float, default=0.0, help="0 (default): greedy")
    sp.add_argument("--top-k", type=int, default=0, help="sample from the k likeliest (0: all)")
    sp.add_argument("--top-p", type=float, default=1.0, help="nucleus sampling mass")
    sp.add_argument("--stop", action="append", help="stop string (repeatable)")
    sp.add_argument("--seed", type=int, help="seed for sampling")
    sp.add_argument("--chat", action="store_true",
                    help="send the prompt as a user message through the chat template")
    sp.set_defaults(func=cmd_generate)
    sp = sub.add_parser("demo", help="run the built-in example")
    sp.add_argument("--toy", action="store_true", help="the small image graph instead of MiniLM")
    sp.set_defaults(func=cmd_demo)
    from vantrel.serve.cli import add_parser as add_serve_parser
    add_serve_parser(sub)
    return p


def main(argv: list[str] | None = None) -> int:
    """Run the command line; returns the exit status (1 with a one-line error on failure)."""
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if extra:
        # argparse stops a positional list at the first option; the prompt of
        # `generate ARCH WEIGHTS --tokenizer T PROMPT` comes after one.
        if args.command == "generate" and not any(e.startswith("-") for e in extra):
            args.paths_and_prompt += extra
        else:
            parser.error(f"unrecognized arguments: {' '.join(extra)}")
    try:
        args.func(args)
    except BrokenPipeError:
        # The reader stopped early (`vantrel profile ... | head`): no error
        # line, and no second failure when Python flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as e:  # one line, no traceback, for every failure
        msg = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        print(f"vantrel: error: {msg}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
