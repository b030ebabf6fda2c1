"""The FastAPI application: tensor routes (/v2), OpenAI-style routes (/v1),
health, metrics, and the operational wrapping (API key, body size limit,
access log, per-model metrics).

Models are loaded before the app serves (at start-up, in its lifespan) and
never named by a request. Tensor requests to image and encoder models go
through a :class:`~vantrel.serve.batching.Batcher` per model; generations
run one at a time per decoder in worker threads.
"""

from __future__ import annotations

import asyncio
import hmac
import json
import logging
import time
import uuid
from contextlib import asynccontextmanager
from dataclasses import dataclass, field

from fastapi import FastAPI, Request
from fastapi.responses import JSONResponse, Response, StreamingResponse

import vantrel
from vantrel.serve import openai_api as oa
from vantrel.serve import v2
from vantrel.serve.batching import Batcher
from vantrel.serve.models import ModelSpec, ServedModel, ServeError, load_model

__all__ = ["ServeOptions", "create_app"]

access_log = logging.getLogger("vantrel.serve.access")
_OPEN_PATHS = ("/v2/health/live", "/v2/health/ready")


@dataclass
class ServeOptions:
    """Server settings; ``max_batch=1`` turns request grouping off."""
    max_batch: int = 16
    max_wait_ms: float = 3.0
    max_body_bytes: int = 32 << 20
    api_key: str | None = None
    probe_batched: bool = True


@dataclass
class _State:
    specs: list
    options: ServeOptions
    models: dict = field(default_factory=dict)
    tensor_batchers: dict = field(default_factory=dict)
    text_batchers: dict = field(default_factory=dict)
    metrics: object = None
    ready: bool = False
    started: int = 0


def _error_body(path: str, status: int, message: str) -> dict:
    if path.startswith("/v1"):
        kind = {401: "authentication_error", 404: "not_found_error", 413: "invalid_request_error",
                501: "not_implemented"}.get(status, "server_error" if status >= 500 else
                                                   "invalid_request_error")
        return {"error": {"message": message, "type": kind, "param": None, "code": status}}
    return {"error": message}


async def _send_json(send, status: int, body: dict, headers=()) -> None:
    raw = json.dumps(body).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"),
                            (b"content-length", str(len(raw)).encode()), *headers]})
    await send({"type": "http.response.body", "body": raw})


class _Guard:
    """API key check and request body limit, before any route sees the request.
    The body is read here (up to the limit) and replayed to the app."""

    def __init__(self, app, state: _State):
        self.app, self.state = app, state

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        opts, path = self.state.options, scope["path"]
        headers = dict(scope["headers"])
        if opts.api_key and path not in _OPEN_PATHS:
            auth = headers.get(b"authorization", b"").decode("latin-1")
            scheme, _, token = auth.partition(" ")
            if scheme.lower() != "bearer" or not token:
                return await _send_json(send, 401, _error_body(path, 401, "missing API key: send "
                                        "'Authorization: Bearer <key>'"), [(b"www-authenticate", b"Bearer")])
            if not hmac.compare_digest(token.strip().encode(), opts.api_key.encode()):
                return await _send_json(send, 401, _error_body(path, 401, "wrong API key"),
                                        [(b"www-authenticate", b"Bearer")])
        limit = opts.max_body_bytes
        too_big = _error_body(path, 413, f"request body is larger than the limit of {limit} bytes")
        declared = headers.get(b"content-length")
        if declared is not None and declared.isdigit() and int(declared) > limit:
            return await _send_json(send, 413, too_big)
        chunks, size, more = [], 0, True
        while more:
            msg = await receive()
            if msg["type"] != "http.request":
                return  # the client left
            chunks.append(msg.get("body", b""))
            size += len(chunks[-1])
            if size > limit:
                return await _send_json(send, 413, too_big)
            more = msg.get("more_body", False)
        replayed = False

        async def replay():
            nonlocal replayed
            if not replayed:
                replayed = True
                return {"type": "http.request", "body": b"".join(chunks), "more_body": False}
            return await receive()
        return await self.app(scope, replay, send)


class _Observe:
    """Access log (one JSON line per request) and per-model metrics."""

    def __init__(self, app, state: _State):
        self.app, self.state = app, state

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        t0 = time.perf_counter()
        rid = dict(scope["headers"]).get(b"x-request-id", b"").decode("latin-1") or uuid.uuid4().hex
        status = [500]

        async def send_wrapped(msg):
            if msg["type"] == "http.response.start":
                status[0] = msg["status"]
                msg = {**msg, "headers": [*msg.get("headers", []), (b"x-request-id", rid.encode())]}
            await send(msg)
        try:
            await self.app(scope, receive, send_wrapped)
        finally:
            dt = time.perf_counter() - t0
            model = scope.get("vantrel.model") or scope.get("path_params", {}).get("name", "")
            endpoint = getattr(scope.get("endpoint"), "__name__", "") or "unrouted"
            if self.state.metrics is not None and scope["path"] != "/metrics":
                self.state.metrics.observe(model, endpoint, status[0], dt)
            client = scope.get("client")
            access_log.info(json.dumps({
                "ts": round(time.time(), 3), "request_id": rid,
                "client": f"{client[0]}:{client[1]}" if client else None,
                "method": scope["method"], "path": scope["path"], "status": status[0],
                "model": model or None, "duration_ms": round(dt * 1e3, 3)}))


def create_app(models: list[ServedModel] | None = None, specs: list[ModelSpec] | None = None,
               options: ServeOptions | None = None) -> FastAPI:
    """The server app for loaded ``models`` and/or model files ``specs``
    (loaded at start-up, so the app object itself stays small and picklable)."""
    state = _State(list(specs or []), options or ServeOptions())
    preloaded = list(models or [])

    @asynccontextmanager
    async def lifespan(app):
        from vantrel.serve.metrics import Metrics
        state.metrics = Metrics()
        loaded = preloaded + [await asyncio.to_thread(load_model, s, state.options.probe_batched)
                              for s in state.specs]
        for m in loaded:
            if m.name in state.models:
                raise ValueError(f"two models are named '{m.name}'")
            state.models[m.name] = m
            _start_batchers(state, m)
        state.started = int(time.time())
        state.ready = True
        yield
        state.ready = False
        for b in [*state.tensor_batchers.values(), *state.text_batchers.values()]:
            await asyncio.to_thread(b.close)

    app = FastAPI(title="vantrel", version=vantrel.__version__, lifespan=lifespan,
                  docs_url=None, redoc_url=None, openapi_url=None)
    app.state.vantrel = state

    @app.exception_handler(ServeError)
    async def _serve_error(request: Request, exc: ServeError):
        return JSONResponse(_error_body(request.url.path, exc.status, exc.message), exc.status)

    @app.exception_handler(Exception)
    async def _unexpected(request: Request, exc: Exception):
        return JSONResponse(_error_body(request.url.path, 500, f"internal error: {exc}"), 500)

    @app.exception_handler(404)
    async def _not_found(request: Request, exc):
        return JSONResponse(_error_body(request.url.path, 404, f"no route {request.url.path}"), 404)

    @app.exception_handler(405)
    async def _bad_method(request: Request, exc):
        return JSONResponse(_error_body(request.url.path, 405,
                                        f"{request.method} is not allowed on {request.url.path}"), 405)

    _tensor_routes(app, state)
    _openai_routes(app, state)

    @app.get("/metrics")
    async def metrics():
        from vantrel.serve.metrics import CONTENT_TYPE_LATEST
        return Response(state.metrics.render(), media_type=CONTENT_TYPE_LATEST)

    app.add_middleware(_Guard, state=state)
    app.add_middleware(_Observe, state=state)
    return app


def _start_batchers(state: _State, m: ServedModel) -> None:
    opts = state.options
    if m.kind == "decoder":
        return

    def on_group(n, name=m.name):
        state.metrics.group_size.labels(name).observe(n)
    kw = dict(max_batch=opts.max_batch, max_wait=opts.max_wait_ms / 1e3, on_group=on_group)
    # Waiting for company only pays when the engine runs the group as one batch.
    state.tensor_batchers[m.name] = Batcher(m.run, name=f"batch-{m.name}",
                                            **{**kw, "max_wait": kw["max_wait"] if m.batched_forward else 0.0})
    if m.encoder is not None:
        state.text_batchers[m.name] = Batcher(lambda items, m=m: oa.embed_group(m, items),
                                              name=f"embed-{m.name}", **kw)


def _model(state: _State, request: Request, name: str, version: str | None = None) -> ServedModel:
    request.scope["vantrel.model"] = name
    m = state.models.get(name)
    if m is None:
        raise ServeError(404, f"unknown model '{name}' (models: {', '.join(state.models) or 'none'})")
    if version not in (None, "", "1"):
        raise ServeError(404, f"model '{name}' has no version '{version}' (versions: 1)")
    return m


def _submit(batcher: Batcher, item) -> asyncio.Future:
    try:
        return asyncio.wrap_future(batcher.submit(item))
    except RuntimeError as e:  # closed: the server is stopping
        raise ServeError(503, str(e)) from None


async def _engine(fut_or_coro):
    """Await an engine call; an engine failure is a 500 carrying its message."""
    try:
        return await fut_or_coro
    except ServeError:
        raise
    except Exception as e:
        raise ServeError(500, str(e) or type(e).__name__) from e


def _tensor_routes(app: FastAPI, state: _State) -> None:
    @app.get("/v2/health/live")
    async def live():
        return {"live": True}

    @app.get("/v2/health/ready")
    async def ready():
        if not state.ready:
            raise ServeError(503, "the server is not ready")
        return {"ready": True}

    @app.get("/v2")
    async def server_metadata():
        return {"name": "vantrel", "version": vantrel.__version__,
                "extensions": ["binary_tensor_data"]}

    @app.get("/v2/models/{name}")
    @app.get("/v2/models/{name}/versions/{version}")
    async def model_metadata(request: Request, name: str, version: str | None = None):
        return v2.metadata(_model(state, request, name, version))

    @app.get("/v2/models/{name}/ready")
    @app.get("/v2/models/{name}/versions/{version}/ready")
    async def model_ready(request: Request, name: str, version: str | None = None):
        _model(state, request, name, version)
        return {"name": name, "ready": state.ready}

    @app.post("/v2/models/{name}/infer")
    @app.post("/v2/models/{name}/versions/{version}/infer")
    async def infer(request: Request, name: str, version: str | None = None):
        m = _model(state, request, name, version)
        body = await request.body()
        args = (m, body, request.headers.get("inference-header-content-length"))
        # Decoding a large JSON tensor takes long enough to stall other requests.
        req = await asyncio.to_thread(v2.parse_request, *args) if len(body) > 1 << 16 else \
            v2.parse_request(*args)
        if m.kind == "decoder":
            def locked():
                with m.lock:
                    return m.run(req.samples)
            results = await _engine(asyncio.to_thread(locked))
        else:
            batcher = state.tensor_batchers[m.name]
            results = await _engine(asyncio.gather(*(_submit(batcher, s) for s in req.samples)))
        body, headers, media = v2.encode_response(m, req, results)
        return Response(body, headers=headers, media_type=media)


async def _json_body(request: Request) -> dict:
    try:
        body = json.loads(await request.body())
    except (ValueError, UnicodeDecodeError) as e:
        raise ServeError(400, f"malformed JSON body: {e}") from None
    if not isinstance(body, dict):
        raise ServeError(400, "the request body must be a JSON object")
    return body


def _text_model(state: _State, request: Request, body: dict, kind: str, route: str) -> ServedModel:
    name = body.get("model")
    if not isinstance(name, str):
        raise ServeError(400, "'model' must name a served model")
    m = _model(state, request, name)
    if m.kind != kind:
        def a(word):
            return ("an " if word[0] in "aeiou" else "a ") + word
        raise ServeError(400, f"model '{name}' is {a(m.kind)} model; {route} needs {a(kind)} model")
    if m.text_api_missing:
        raise ServeError(501, m.text_api_missing)
    return m


def _openai_routes(app: FastAPI, state: _State) -> None:
    def model_card(m: ServedModel) -> dict:
        return {"id": m.name, "object": "model", "created": state.started, "owned_by": "vantrel",
                "kind": m.kind}

    @app.get("/v1/models")
    async def list_models():
        return {"object": "list", "data": [model_card(m) for m in state.models.values()]}

    @app.get("/v1/models/{name}")
    async def get_model(request: Request, name: str):
        return model_card(_model(state, request, name))

    async def generate(request: Request, chat: bool):
        body = await _json_body(request)
        route = "/v1/chat/completions" if chat else "/v1/completions"
        m = _text_model(state, request, body, "decoder", route)
        prompt = oa.chat_messages(body) if chat else oa.completion_prompt(body)
        opts = oa.completion_options(body, 256 if chat else 16)
        rid = oa.new_id("chatcmpl" if chat else "cmpl")
        if body.get("stream"):
            so = body.get("stream_options")
            include_usage = bool(isinstance(so, dict) and so.get("include_usage"))
            chunk, final = (oa.chat_events if chat else oa.completion_events)(m.name, rid)
            return StreamingResponse(oa.sse_stream(m, prompt, opts, chunk, final, include_usage),
                                     media_type="text/event-stream",
                                     headers={"Cache-Control": "no-cache"})
        text, usage, reason = await _engine(asyncio.to_thread(oa.run_generation, m, prompt, opts))
        choice = ({"index": 0, "message": {"role": "assistant", "content": text},
                   "logprobs": None, "finish_reason": reason} if chat else
                  {"index": 0, "text": text, "logprobs": None, "finish_reason": reason})
        return {"id": rid, "object": "chat.completion" if chat else "text_completion",
                "created": int(time.time()), "model": m.name, "choices": [choice], "usage": usage}

    @app.post("/v1/completions")
    async def completions(request: Request):
        return await generate(request, chat=False)

    @app.post("/v1/chat/completions")
    async def chat_completions(request: Request):
        return await generate(request, chat=True)

    @app.post("/v1/embeddings")
    async def embeddings(request: Request):
        body = await _json_body(request)
        m = _text_model(state, request, body, "encoder", "/v1/embeddings")
        texts = oa.embedding_texts(body)
        encoding = body.get("encoding_format") or "float"
        if encoding not in ("float", "base64"):
            raise ServeError(400, f"'encoding_format' must be 'float' or 'base64', got {encoding!r}")
        vecs, tokens = await _engine(_submit(state.text_batchers[m.name], texts))
        dims = body.get("dimensions")
        if dims is not None and dims != vecs.shape[1]:
            raise ServeError(400, f"model '{m.name}' gives {vecs.shape[1]} dimensions, not {dims}")
        return oa.embedding_response(m.name, vecs, tokens, encoding)
