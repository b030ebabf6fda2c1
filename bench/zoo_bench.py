"""Latency of torchvision's classification zoo: vantrel against onnxruntime and OpenVINO.

    python bench/zoo_bench.py [--models resnet18 vit_b_16] [--runs 30] [--quick]

Every model is built once from seeded weights and handed to the three
engines in this one process: converted with vantrel.convert for vantrel, and
exported once to ONNX (opset 17) for onnxruntime (CPU provider, 2 intra-op
threads) and OpenVINO (CPU, 2 inference threads, latency hint, f32 precision
hint), which both load the same file. Each engine's output is checked
against PyTorch before timing; the engines are then timed in alternating
blocks of runs, so that drift of a shared machine hits all of them alike.
Printed per model: the median milliseconds of each engine and the ratios
vantrel/onnxruntime and vantrel/OpenVINO (below 1 means vantrel is faster);
last, the geometric mean of each ratio over the models that ran. A model
that fails to convert, export or load, or whose outputs disagree, is
reported, left out of the means and makes the exit status 1.
On a machine loaded by other work, OpenMP's default spin-waiting makes
vantrel's many short parallel regions stall; compare with
OMP_WAIT_POLICY=passive there.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import tempfile
import types
import warnings

import numpy as np

from timing import geomean, openvino_engine, time_engines

THREADS = 2
# Read by the OpenMP runtime when the engine's module loads.
os.environ.setdefault("OMP_NUM_THREADS", str(THREADS))
# PyPI's torchvision wheel carries compiled detection ops built for another
# torch build, and registering their meta kernels fails on import; only its
# Python model definitions are used here.
if "torchvision" not in sys.modules:
    for _name in ("torchvision._meta_registrations", "torchvision._autograd_registrations"):
        sys.modules.setdefault(_name, types.ModuleType(_name))

# name -> (torchvision constructor, input size, constructor options)
ZOO = {
    "alexnet": ("alexnet", 224, {}),
    "vgg11": ("vgg11", 224, {}),
    "vgg16": ("vgg16", 224, {}),
    "resnet18": ("resnet18", 224, {}),
    "resnet50": ("resnet50", 224, {}),
    "resnext50": ("resnext50_32x4d", 224, {}),
    "wide_resnet50": ("wide_resnet50_2", 224, {}),
    "squeezenet": ("squeezenet1_0", 224, {}),
    "densenet121": ("densenet121", 224, {}),
    "inception_v3": ("inception_v3", 299, {"aux_logits": False, "init_weights": True}),
    "googlenet": ("googlenet", 224, {"aux_logits": False, "init_weights": True}),
    "shufflenet_v2": ("shufflenet_v2_x1_0", 224, {}),
    "mobilenet_v2": ("mobilenet_v2", 224, {}),
    "mobilenet_v3": ("mobilenet_v3_large", 224, {}),
    "mnasnet": ("mnasnet1_0", 224, {}),
    "efficientnet_b0": ("efficientnet_b0", 224, {}),
    "efficientnet_v2_s": ("efficientnet_v2_s", 224, {}),
    "regnet": ("regnet_y_400mf", 224, {}),
    "convnext_tiny": ("convnext_tiny", 224, {}),
    "vit_b_16": ("vit_b_16", 224, {}),
}
ENGINES = ("vantrel", "onnxruntime", "openvino")


def seeded(name: str):
    """The torchvision model with seeded weights that exercise every layer:
    torchvision zero-initialises some (classifier heads, ViT's class token)
    and starts ConvNeXt's layer scale at 1e-6, which would hide its blocks."""
    import torch
    import torchvision.models as models

    from vantrel import torch_models

    ctor, _, kwargs = ZOO[name]
    torch.manual_seed(0)
    net = torch_models.randomize(getattr(models, ctor)(weights=None, **kwargs), seed=1)
    g = torch.Generator().manual_seed(2)
    with torch.no_grad():
        for pname, p in net.named_parameters():
            if pname.endswith("layer_scale"):
                p.uniform_(0.5, 1.0, generator=g)
            elif pname == "class_token":
                p.normal_(0.0, 0.5, generator=g)
        for m in net.modules():
            if isinstance(m, torch.nn.LayerNorm):
                m.weight.uniform_(0.5, 1.5, generator=g)
                m.bias.normal_(0.0, 0.1, generator=g)
    return net.eval()


def make_engines(name: str, workdir: str):
    """The three engines' run functions on one input, and PyTorch's output."""
    import onnxruntime as ort
    import torch

    import model_inference as mi
    from vantrel.convert import convert

    net = seeded(name)
    size = ZOO[name][1]
    x = torch.randn(1, 3, size, size, generator=torch.Generator().manual_seed(3))
    x_hwc = np.ascontiguousarray(x[0].permute(1, 2, 0).numpy())
    x_nchw = np.ascontiguousarray(x.numpy())
    with torch.no_grad():
        ref = net(x).numpy().ravel()

    arch, weights = os.path.join(workdir, "m.json"), os.path.join(workdir, "m.bin")
    convert(net, x, name=name).save(arch, weights)
    vantrel = mi.InferenceModel(arch, weights)

    onnx_path = os.path.join(workdir, "m.onnx")
    # Not under no_grad: there nn.MultiheadAttention takes its fused fast
    # path, which the ONNX exporter cannot write.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(net, (x,), onnx_path, dynamo=False, input_names=["input"],
                          output_names=["logits"], opset_version=17)
    del net
    so = ort.SessionOptions()
    so.intra_op_num_threads = THREADS
    so.inter_op_num_threads = 1
    session = ort.InferenceSession(onnx_path, so, providers=["CPUExecutionProvider"])
    run_openvino, _ = openvino_engine(onnx_path, x_nchw, THREADS)
    engines = {
        "vantrel": lambda: vantrel.forward(x_hwc),
        "onnxruntime": lambda: session.run(None, {"input": x_nchw})[0],
        "openvino": run_openvino,
    }
    return engines, ref


def disagreement(engines, ref) -> str | None:
    """The first engine whose output is not PyTorch's, described; None when all agree."""
    scale = float(np.abs(ref).max())
    for engine, fn in engines.items():
        y = np.asarray(fn(), dtype=np.float32).ravel()
        if y.shape != ref.shape:
            return f"{engine} gives {y.size} outputs, PyTorch {ref.size}"
        err = float(np.abs(y - ref).max()) / scale
        if not err <= 1e-3 or y.argmax() != ref.argmax():
            return f"{engine} disagrees with PyTorch (relative error {err:.2e})"
    return None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", nargs="+", default=list(ZOO), choices=list(ZOO),
                        metavar="MODEL", help=f"any of: {' '.join(ZOO)} (default: all)")
    parser.add_argument("--runs", type=int, default=30, help="timed runs per engine")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 4 timed runs per engine in 2 blocks")
    args = parser.parse_args()
    runs, rounds, warmup = (4, 2, 1) if args.quick else (args.runs, 5, 2)
    if runs < 1:
        parser.error("--runs must be at least 1")

    import torch
    torch.set_num_threads(THREADS)

    print(f"{'model':18s} {'vantrel ms':>10s} {'ort ms':>8s} {'ov ms':>8s} "
          f"{'vantrel/ort':>11s} {'vantrel/ov':>10s}", flush=True)
    ratios: dict[str, list[float]] = {"onnxruntime": [], "openvino": []}
    failed = []
    for name in args.models:
        print(f"{name}: converting and exporting", file=sys.stderr, flush=True)
        engines = None
        with tempfile.TemporaryDirectory() as d:
            try:  # one model that fails to convert, export or load stops only itself
                engines, ref = make_engines(name, d)
                problem = disagreement(engines, ref)
            except Exception as e:
                problem = f"{type(e).__name__}: {str(e).strip().splitlines()[0] if str(e) else ''}"
            if problem is None:
                times = time_engines(engines, runs, rounds, warmup)
        del engines
        gc.collect()
        if problem is not None:
            failed.append(name)
            print(f"{name:18s} skipped: {problem}", flush=True)
            continue
        med = {k: statistics.median(v) for k, v in times.items()}
        r_ort, r_ov = (med["vantrel"] / med[e] for e in ("onnxruntime", "openvino"))
        ratios["onnxruntime"].append(r_ort)
        ratios["openvino"].append(r_ov)
        print(f"{name:18s} {med['vantrel']:10.2f} {med['onnxruntime']:8.2f} "
              f"{med['openvino']:8.2f} {r_ort:11.3f} {r_ov:10.3f}", flush=True)
    n = len(ratios["onnxruntime"])
    print(f"{f'geomean ({n})':18s} {'':10s} {'':8s} {'':8s} "
          f"{geomean(ratios['onnxruntime']):11.3f} {geomean(ratios['openvino']):10.3f}")
    if failed:
        print(f"not timed: {' '.join(failed)}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
