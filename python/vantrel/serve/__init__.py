"""``vantrel serve``: an HTTP server for vantrel models.

Tensor routes follow the Open Inference Protocol v2 (``tritonclient.http``
works unchanged); OpenAI-style routes serve text generation and sentence
embeddings. :func:`vantrel.serve.app.create_app` builds the FastAPI app;
:mod:`vantrel.serve.ray` runs it as a Ray Serve deployment. The web
dependencies are the ``serve`` extra (``pip install vantrel[serve]``).
"""

from vantrel.serve.models import ModelSpec, ServedModel, ServeError, parse_model_arg

__all__ = ["ModelSpec", "ServeError", "ServedModel", "parse_model_arg"]
