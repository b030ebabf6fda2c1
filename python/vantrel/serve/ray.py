"""vantrel on Ray: the server as a Ray Serve deployment, and Ray Data
batch inference with one model per actor (the ``ray`` extra).

Serve N replicas of the same app (each replica loads its own models; the
files must exist at the same paths on every node)::

    from ray import serve
    from vantrel.serve.ray import deployment
    from vantrel.serve.models import parse_model_arg
    serve.run(deployment([parse_model_arg("resnet=resnet.json:resnet.bin")], num_replicas=2))

or from the shell, with Ray's autoscaling instead of a fixed count::

    serve run vantrel.serve.ray:app_builder models=resnet=resnet.json:resnet.bin \\
        min_replicas=1 max_replicas=4 target_ongoing_requests=8

Offline: :func:`classify_images` over a directory of images and
:func:`embed_text_file` over a text file (one text per line) return Ray
datasets; write them with ``.write_parquet(dir)`` or iterate them.
"""

from __future__ import annotations

import dataclasses

import numpy as np

try:
    import ray
    from ray import serve
except ImportError:  # the ray extra is optional; the functions below need it
    ray = serve = None

from vantrel.serve.app import ServeOptions, create_app
from vantrel.serve.models import ModelSpec, load_model

__all__ = ["ImagePredictor", "TextEmbedder", "VantrelServer", "app_builder", "classify_images",
           "deployment", "embed_text_file", "server_deployment"]

IMAGENET_MEAN = (0.485, 0.456, 0.406)
IMAGENET_STD = (0.229, 0.224, 0.225)


class VantrelServer:
    """One replica: the vantrel app over its own copies of the models (loaded
    in the app's start-up, on the replica)."""

    def __init__(self, specs: list[dict], options: dict):
        self._specs = [ModelSpec(**s) for s in specs]
        self._options = ServeOptions(**options)

    def __serve_build_asgi_app__(self):
        return create_app(specs=self._specs, options=self._options)


_deployment = None


def _require_ray() -> None:
    if ray is None:
        raise ImportError("vantrel.serve.ray needs Ray: pip install 'vantrel[ray]'")


def server_deployment():
    """The Ray Serve deployment of :class:`VantrelServer` (made once)."""
    global _deployment
    _require_ray()
    if _deployment is None:
        _deployment = serve.deployment(name="vantrel")(serve.ingress()(VantrelServer))
    return _deployment


def deployment(specs: list[ModelSpec], options: ServeOptions | None = None, *,
               num_replicas: int | None = None, autoscaling_config: dict | None = None,
               max_ongoing_requests: int | None = None, ray_actor_options: dict | None = None):
    """A bound Ray Serve application of the vantrel server.

    Give ``num_replicas`` for a fixed count or ``autoscaling_config`` (Ray's
    keys: ``min_replicas``, ``max_replicas``, ``target_ongoing_requests``,
    ``upscale_delay_s``, ...) to let Ray scale it; ``ray_actor_options``
    sets each replica's resources (e.g. ``{"num_cpus": 2}``)."""
    if num_replicas is not None and autoscaling_config is not None:
        raise ValueError("give num_replicas or autoscaling_config, not both")
    kw = {}
    if num_replicas is not None:
        kw["num_replicas"] = num_replicas
    if autoscaling_config is not None:
        kw["autoscaling_config"] = autoscaling_config
    if max_ongoing_requests is not None:
        kw["max_ongoing_requests"] = max_ongoing_requests
    if ray_actor_options is not None:
        kw["ray_actor_options"] = ray_actor_options
    return server_deployment().options(**kw).bind([dataclasses.asdict(s) for s in specs],
                                            dataclasses.asdict(options or ServeOptions()))


_AUTOSCALING_KEYS = ("min_replicas", "max_replicas", "initial_replicas", "target_ongoing_requests",
                     "upscale_delay_s", "downscale_delay_s")


def app_builder(args: dict):
    """``serve run vantrel.serve.ray:app_builder key=value ...``.

    Keys: ``models`` (comma-separated NAME=ARCH.json:WEIGHTS.bin),
    ``model_dir``, ``tokenizers`` (comma-separated NAME=DIR), ``num_replicas``
    or the autoscaling keys (``min_replicas``, ``max_replicas``,
    ``initial_replicas``, ``target_ongoing_requests``, ``upscale_delay_s``,
    ``downscale_delay_s``), ``num_cpus`` per replica, and the server's
    ``max_batch``, ``batch_wait_ms``, ``max_body_mb``, ``api_key``."""
    from vantrel.serve.cli import collect_specs
    args = dict(args)
    split = lambda key: [t for t in str(args.pop(key, "")).split(",") if t]  # noqa: E731
    specs = collect_specs(split("models"), split("model_dir"), split("tokenizers"))
    opts = ServeOptions(max_batch=int(args.pop("max_batch", 16)),
                        max_wait_ms=float(args.pop("batch_wait_ms", 3.0)),
                        max_body_bytes=int(float(args.pop("max_body_mb", 32)) * 2**20),
                        api_key=args.pop("api_key", None))
    scaling = {k: float(args.pop(k)) if k.endswith("_s") or k.startswith("target") else int(args.pop(k))
               for k in _AUTOSCALING_KEYS if k in args}
    replicas = int(args.pop("num_replicas")) if "num_replicas" in args else None
    actor = {"num_cpus": float(args.pop("num_cpus"))} if "num_cpus" in args else None
    if args:
        raise ValueError(f"unknown argument(s) {', '.join(args)}")
    return deployment(specs, opts, num_replicas=replicas, autoscaling_config=scaling or None,
                      ray_actor_options=actor)


class ImagePredictor:
    """Ray Data callable: one image model per actor; a batch of (N, H, W, C)
    uint8 images in, logits and top-1 class out."""

    def __init__(self, arch: str, weights: str, mean=IMAGENET_MEAN, std=IMAGENET_STD):
        self.model = load_model(ModelSpec("model", arch, weights))
        self.mean = np.asarray(mean, np.float32)
        self.std = np.asarray(std, np.float32)

    def __call__(self, batch: dict) -> dict:
        x = (batch["image"].astype(np.float32) / 255 - self.mean) / self.std
        name, out = self.model.inputs[0].name, self.model.outputs[0]
        logits = np.stack([r[out] for r in self.model.run([{name: xi} for xi in x])])
        result = {"logits": logits, "top1": logits.argmax(axis=1)}
        if "path" in batch:
            result["path"] = batch["path"]
        return result


class TextEmbedder:
    """Ray Data callable: one sentence encoder per actor; unit-length embeddings."""

    def __init__(self, arch: str, weights: str, tokenizer: str):
        self.model = load_model(ModelSpec("model", arch, weights, tokenizer))
        if self.model.encoder is None:
            raise RuntimeError(self.model.text_api_missing or "the model is not a sentence encoder")

    def __call__(self, batch: dict) -> dict:
        texts = [str(t) for t in batch["text"]]
        return {"text": batch["text"],
                "embedding": np.asarray(self.model.encoder.encode(texts, normalize=True), np.float32)}


def classify_images(arch: str, weights: str, image_dir: str, *, actors: int = 2,
                    batch_size: int = 16, mean=IMAGENET_MEAN, std=IMAGENET_STD,
                    num_cpus_per_actor: float = 1):
    """A dataset of ``path``, ``logits`` and ``top1`` for every image under
    ``image_dir``, resized to the model's input and normalised by mean/std."""
    import model_inference as mi
    _require_ray()
    shape = mi.InferenceModel(arch, weights).inputs[0].shape
    if len(shape) != 3 or 0 in shape:
        raise ValueError(f"the model's first input {shape} is not a fixed [H, W, C] image")
    ds = ray.data.read_images(image_dir, size=(shape[0], shape[1]),
                              mode="RGB" if shape[2] == 3 else "L", include_paths=True)
    return ds.map_batches(ImagePredictor, fn_constructor_args=(arch, weights, mean, std),
                          concurrency=actors, batch_size=batch_size, batch_format="numpy",
                          num_cpus=num_cpus_per_actor)


def embed_text_file(arch: str, weights: str, tokenizer: str, path: str, *, actors: int = 2,
                    batch_size: int = 64, num_cpus_per_actor: float = 1):
    """A dataset of ``text`` and ``embedding`` for every line of ``path``."""
    _require_ray()
    return ray.data.read_text(path).map_batches(
        TextEmbedder, fn_constructor_args=(arch, weights, tokenizer), concurrency=actors,
        batch_size=batch_size, batch_format="numpy", num_cpus=num_cpus_per_actor)


