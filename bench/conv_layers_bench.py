"""Every convolution shape of torchvision's ResNet-50 at 224x224, each run
alone: vantrel against onnxruntime, and against the machine's FMA peak.

    python bench/conv_layers_bench.py [--runs 20] [--quick] [--peak-bin PATH] [--in-model]

The distinct convolution shapes (stem 7x7/2, the 1x1s, the 3x3s including
the stride-2 ones, the 1x1/2 downsamples) and how often the network uses
each are read from torchvision's resnet50 by hooks on one forward pass.
Each shape becomes a one-node conv_fp32 model (random weights and bias,
written with vantrel.model_file.ModelBuilder) and a one-node ONNX Conv for
onnxruntime (CPU provider, 2 intra-op threads); both outputs are checked
against each other before timing. Times are of whole runs (vantrel's own
Winograd transforms or im2col included, as are both engines' per-call
overheads), in alternating blocks (bench/timing.py), 2 threads.

The FMA peak is measured in the same run by bench/fma_peak (a loop of
independent vector FMAs of the instruction set vantrel's kernels run on,
on 2 threads), built here into build/bench unless --peak-bin names it.
Printed per shape: uses in the network, median ms of both engines,
vantrel's GFLOP/s and its share of the peak, and vantrel/onnxruntime; last
the totals weighted by the uses, which add up to ResNet-50's convolutions.
With --in-model, each shape's median time inside one whole ResNet-50 forward
(the engine's own per-node profile, per use) follows: a layer there reads
weights from memory and the input its predecessor left, and a 1x1 that took
in a residual add includes it, so the two columns together show what the
network costs a layer beyond its warm rate.
The rate counts a direct convolution's 2*Cout*Cin*kh*kw*OH*OW operations
also where vantrel runs Winograd (3x3, stride 1), which needs fewer, so an
effective rate above the peak is possible there.
"""

from __future__ import annotations

import argparse
import collections
import os
import subprocess
import sys
import tempfile
import types

import numpy as np

from timing import median, time_engines

THREADS = 2
# Read by the OpenMP runtime when the engine's module loads.
os.environ.setdefault("OMP_NUM_THREADS", str(THREADS))
# PyPI's torchvision wheel carries compiled detection ops built for another
# torch build, and registering their meta kernels fails on import; only its
# Python model definitions are used here.
if "torchvision" not in sys.modules:
    for _name in ("torchvision._meta_registrations", "torchvision._autograd_registrations"):
        sys.modules.setdefault(_name, types.ModuleType(_name))

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# (C_in, C_out, k, stride, pad, H, W) of the input
Shape = collections.namedtuple("Shape", "cin cout k stride pad h w")


def resnet50_conv_shapes() -> tuple[collections.Counter, dict[str, Shape]]:
    """Shape -> how many of torchvision resnet50's convolutions have it, in
    the order of first use; and each convolution's module name -> its shape."""
    import torch
    import torchvision.models as models

    net = models.resnet50(weights=None).eval()
    uses: collections.Counter = collections.Counter()
    shape_of: dict[str, Shape] = {}

    def hook(name):
        def record(m, args):
            _, c, h, w = args[0].shape
            assert m.kernel_size[0] == m.kernel_size[1] and m.groups == 1 and m.dilation == (1, 1)
            s = Shape(c, m.out_channels, m.kernel_size[0], m.stride[0], m.padding[0], h, w)
            uses[s] += 1
            shape_of[name] = s
        return record

    for name, m in net.named_modules():
        if isinstance(m, torch.nn.Conv2d):
            m.register_forward_pre_hook(hook(name))
    with torch.no_grad():
        net(torch.zeros(1, 3, 224, 224))
    return uses, shape_of


def in_model_ms(shape_of: dict[str, Shape], runs: int) -> dict[Shape, float]:
    """Shape -> the median milliseconds its convolutions take inside the
    whole network (vantrel's ResNet-50 from its PyTorch definition, node
    names those of torchvision), summed over the network's uses. Weights
    there come from memory and inputs from the layer before, unlike a layer
    run alone; a convolution that took in a residual add includes it."""
    import torch

    import model_inference as mi
    from vantrel import torch_models
    from vantrel.convert import convert

    net = torch_models.resnet50(seed=0)
    x = torch.randn(1, 3, 224, 224, generator=torch.Generator().manual_seed(1))
    with tempfile.TemporaryDirectory() as d:
        arch, weights = os.path.join(d, "m.json"), os.path.join(d, "m.bin")
        convert(net, x, name="resnet50").save(arch, weights)
        model = mi.InferenceModel(arch, weights)
    x_hwc = np.ascontiguousarray(x[0].permute(1, 2, 0).numpy())
    for _ in range(3):
        model.forward(x_hwc)
    per_node: dict[str, list[float]] = collections.defaultdict(list)
    for _ in range(runs):
        model.reset_profile()
        model.forward(x_hwc)
        for name, ms in model.layer_profile().items():
            per_node[name].append(ms)
    missing = sorted(set(shape_of) - set(per_node))
    if missing:
        raise SystemExit(f"no profile for the network's convolutions {missing[:3]}")
    total: dict[Shape, float] = collections.defaultdict(float)
    for name, s in shape_of.items():
        total[s] += median(per_node[name])
    return total


def out_size(s: Shape) -> tuple[int, int]:
    return ((s.h + 2 * s.pad - s.k) // s.stride + 1, (s.w + 2 * s.pad - s.k) // s.stride + 1)


def flops(s: Shape) -> float:
    oh, ow = out_size(s)
    return 2.0 * s.cout * s.cin * s.k * s.k * oh * ow


def make_engines(s: Shape, workdir: str, seed: int):
    import onnxruntime as ort
    from onnx import TensorProto, helper, numpy_helper

    import model_inference as mi
    from vantrel.model_file import ModelBuilder

    rng = np.random.default_rng(seed)
    w = (rng.standard_normal((s.cout, s.cin, s.k, s.k)) / np.sqrt(s.cin * s.k * s.k)).astype(np.float32)
    b = rng.standard_normal(s.cout).astype(np.float32)
    x = rng.standard_normal((1, s.cin, s.h, s.w)).astype(np.float32)
    x_hwc = np.ascontiguousarray(x[0].transpose(1, 2, 0))

    mb = ModelBuilder("conv")
    y = mb.node("conv_fp32", [mb.input("x", [s.h, s.w, s.cin])], name="conv", C_in=s.cin,
                C_out=s.cout, kH=s.k, kW=s.k, stride_h=s.stride, stride_w=s.stride,
                pad_h=s.pad, pad_w=s.pad)
    mb.output(y)
    mb.weight("conv.weight", w)
    mb.weight("conv.bias", b)
    arch, weights = os.path.join(workdir, "c.json"), os.path.join(workdir, "c.bin")
    mb.save(arch, weights)
    vantrel = mi.InferenceModel(arch, weights)
    vantrel.set_profile_enabled(False)

    oh, ow = out_size(s)
    graph = helper.make_graph(
        [helper.make_node("Conv", ["x", "w", "b"], ["y"], kernel_shape=[s.k, s.k],
                          strides=[s.stride] * 2, pads=[s.pad] * 4)],
        "conv", [helper.make_tensor_value_info("x", TensorProto.FLOAT, list(x.shape))],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, s.cout, oh, ow])],
        [numpy_helper.from_array(w, "w"), numpy_helper.from_array(b, "b")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    so = ort.SessionOptions()
    so.intra_op_num_threads = THREADS
    so.inter_op_num_threads = 1
    session = ort.InferenceSession(model.SerializeToString(), so, providers=["CPUExecutionProvider"])

    engines = {"vantrel": lambda: vantrel.forward(x_hwc),
               "onnxruntime": lambda: session.run(None, {"x": x})[0]}
    got = np.asarray(engines["vantrel"]()).reshape(oh, ow, s.cout)
    want = engines["onnxruntime"]()[0].transpose(1, 2, 0)
    err = float(np.abs(got - want).max() / np.abs(want).max())
    if not err <= 1e-4:
        raise SystemExit(f"{describe(s)}: vantrel disagrees with onnxruntime (relative error {err:.2e})")
    return engines


def peak_gflops(peak_bin: str | None) -> tuple[str, float]:
    """(path, GFLOP/s) of the FMA peak on THREADS threads for the kernel path
    vantrel runs (the widest vector path when it runs the portable one)."""
    import model_inference as mi

    path = mi._kernel_path()
    if path == "portable":
        vector = [p for p in mi._supported_kernel_paths() if p != "portable"]
        path = vector[-1] if vector else ""
    if peak_bin is None:
        build = os.path.join(REPO, "build", "bench")
        peak_bin = os.path.join(build, "bench", "fma_peak")
        quiet = {"stdout": subprocess.DEVNULL}
        subprocess.run(["cmake", "-S", REPO, "-B", build, "-G", "Ninja", "-DVANTREL_BENCH=ON",
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, **quiet)
        subprocess.run(["cmake", "--build", build, "--target", "fma_peak"], check=True, **quiet)
    cmd = [peak_bin, "--threads", str(THREADS)] + (["--path", path] if path else [])
    name, _, gflops = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split()
    return name, float(gflops)


def describe(s: Shape) -> str:
    oh, ow = out_size(s)
    return f"{s.k}x{s.k}/{s.stride} {s.cin:4d}->{s.cout:<4d} {s.h:3d}->{oh:<3d}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=20, help="timed runs per engine and shape")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 2 timed runs per engine in 2 blocks")
    parser.add_argument("--peak-bin", help="the fma_peak executable (default: build it in build/bench)")
    parser.add_argument("--in-model", action="store_true",
                        help="also each shape's time inside the whole network (ms per use, %% of peak)")
    args = parser.parse_args()
    runs, rounds, warmup = (2, 2, 1) if args.quick else (args.runs, 5, 2)

    import torch
    torch.set_num_threads(THREADS)
    import model_inference as mi

    uses, shape_of = resnet50_conv_shapes()
    path, peak = peak_gflops(args.peak_bin)
    in_model = in_model_ms(shape_of, runs) if args.in_model else None
    print(f"vantrel kernel path {mi._kernel_path()}; FMA peak ({path}, {THREADS} threads) "
          f"{peak:.1f} GFLOP/s; {sum(uses.values())} convolutions in {len(uses)} shapes", flush=True)
    print(f"{'shape (k/stride Cin->Cout H->OH)':32s} {'uses':>4s} {'vantrel ms':>10s} {'ort ms':>8s} "
          f"{'GFLOP/s':>8s} {'% peak':>6s} {'vantrel/ort':>11s}"
          + (f" {'in model ms':>11s} {'% peak':>6s}" if in_model else ""), flush=True)
    total = {"vantrel": 0.0, "onnxruntime": 0.0}
    total_flops = 0.0
    for i, s in enumerate(uses):  # in the order the network first uses them
        with tempfile.TemporaryDirectory() as d:
            times = time_engines(make_engines(s, d, seed=i), runs, rounds, warmup)
        med = {k: median(v) for k, v in times.items()}
        rate = flops(s) / (med["vantrel"] * 1e-3) * 1e-9
        for k in total:
            total[k] += uses[s] * med[k]
        total_flops += uses[s] * flops(s)
        print(f"{describe(s):32s} {uses[s]:4d} {med['vantrel']:10.3f} {med['onnxruntime']:8.3f} "
              f"{rate:8.1f} {100 * rate / peak:6.1f} {med['vantrel'] / med['onnxruntime']:11.3f}"
              + (f" {in_model[s] / uses[s]:11.3f} {100 * flops(s) * uses[s] / (in_model[s] * 1e6) / peak:6.1f}"
                 if in_model else ""), flush=True)
    rate = total_flops / (total["vantrel"] * 1e-3) * 1e-9
    print(f"{'weighted total':32s} {sum(uses.values()):4d} {total['vantrel']:10.3f} "
          f"{total['onnxruntime']:8.3f} {rate:8.1f} {100 * rate / peak:6.1f} "
          f"{total['vantrel'] / total['onnxruntime']:11.3f}"
          + (f" {sum(in_model.values()):11.3f} {100 * total_flops / (sum(in_model.values()) * 1e6) / peak:6.1f}"
             if in_model else ""))
    print(f"({total_flops * 1e-9:.2f} GFLOP of direct convolution in all)")


if __name__ == "__main__":
    main()
