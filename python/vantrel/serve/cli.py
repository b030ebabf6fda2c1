"""The ``vantrel serve`` subcommand."""

from __future__ import annotations

import dataclasses
import logging
import sys

__all__ = ["add_parser", "collect_specs"]


def add_parser(sub) -> None:
    """Add ``serve`` to the ``vantrel`` subcommands."""
    sp = sub.add_parser(
        "serve", help="serve models over HTTP (tensor protocol v2 and OpenAI-style routes)",
        description="Serve models over HTTP: Open Inference Protocol v2 tensor routes, and "
                    "OpenAI-style completions, chat and embeddings for text models.")
    sp.add_argument("models", nargs="*", metavar="NAME=ARCH.json:WEIGHTS.bin",
                    help="a model to serve (repeatable)")
    sp.add_argument("--model-dir", action="append", default=[],
                    help="serve every X.json/X.bin pair of this directory as X")
    sp.add_argument("--tokenizer", action="append", default=[], metavar="NAME=DIR",
                    help="tokenizer directory of a text model (default: X.tokenizer next to X.json)")
    sp.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    sp.add_argument("--port", type=int, default=8000)
    sp.add_argument("--api-key", help="require 'Authorization: Bearer KEY' (also VANTREL_API_KEY)")
    sp.add_argument("--max-body-mb", type=float, default=32.0, help="request body limit in MiB")
    sp.add_argument("--max-batch", type=int, default=16,
                    help="most requests grouped into one run (1: no grouping)")
    sp.add_argument("--batch-wait-ms", type=float, default=3.0,
                    help="longest wait for more requests to group")
    sp.add_argument("--graceful-timeout", type=float, default=30.0,
                    help="seconds in-flight requests get to finish at shutdown")
    sp.add_argument("--log-level", default="info")
    sp.set_defaults(func=run)


def collect_specs(models, model_dirs, tokenizers):
    """The :class:`ModelSpec` list of the command line."""
    from vantrel.serve.models import find_model_specs, parse_model_arg
    specs = [parse_model_arg(t) for t in models]
    for d in model_dirs:
        specs += find_model_specs(d)
    if not specs:
        raise ValueError("no models: give NAME=ARCH.json:WEIGHTS.bin or --model-dir DIR")
    names = [s.name for s in specs]
    dup = {n for n in names if names.count(n) > 1}
    if dup:
        raise ValueError(f"two models are named {', '.join(sorted(dup))}")
    for t in tokenizers:
        name, eq, path = t.partition("=")
        if not (eq and path) or name not in names:
            raise ValueError(f"--tokenizer {t!r} must be NAME=DIR for a served model "
                             f"({', '.join(names)})")
        specs = [dataclasses.replace(s, tokenizer=path) if s.name == name else s for s in specs]
    return specs


def run(args) -> None:
    """Load the models named on the command line and serve them until stopped."""
    import os

    try:
        import uvicorn
        from vantrel.serve.app import ServeOptions, create_app
    except ImportError as e:
        raise RuntimeError(f"vantrel serve needs the serve extra (pip install 'vantrel[serve]'): {e}") from e
    from vantrel.serve.models import load_model

    opts = ServeOptions(max_batch=args.max_batch, max_wait_ms=args.batch_wait_ms,
                        max_body_bytes=int(args.max_body_mb * 2**20),
                        api_key=args.api_key or os.environ.get("VANTREL_API_KEY") or None)
    if opts.max_batch < 1 or opts.max_wait_ms < 0 or opts.max_body_bytes < 1:
        raise ValueError("--max-batch, --batch-wait-ms and --max-body-mb must be positive")
    # Load before binding: a bad model file ends the command with its error.
    models = []
    for spec in collect_specs(args.models, args.model_dir, args.tokenizer):
        m = load_model(spec)
        models.append(m)
        print(f"vantrel serve: {m.name} ({m.kind}"
              + (", batched forward" if m.batched_forward else "")
              + (f"; {m.text_api_missing}" if m.text_api_missing else "") + ")", file=sys.stderr)
    log = logging.getLogger("vantrel.serve.access")
    if not log.handlers:
        h = logging.StreamHandler(sys.stderr)
        h.setFormatter(logging.Formatter("%(message)s"))
        log.addHandler(h)
        # Access lines are INFO: --log-level warning and above silences them.
        log.setLevel(getattr(logging, str(args.log_level).upper(), logging.INFO))
        log.propagate = False
    uvicorn.run(create_app(models=models, options=opts), host=args.host, port=args.port,
                log_level=args.log_level, access_log=False,
                timeout_graceful_shutdown=args.graceful_timeout)
