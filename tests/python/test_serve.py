"""vantrel serve through the stock clients (tritonclient.http, openai, httpx)
against a server started on a free port of 127.0.0.1. The text front ends
are stand-ins with the generation and embedding interfaces; the tensor
model is a real engine model checked against numpy."""

import base64
import json
import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from types import SimpleNamespace

import numpy as np
import pytest

httpx = pytest.importorskip("httpx")
uvicorn = pytest.importorskip("uvicorn")
pytest.importorskip("fastapi")
pytest.importorskip("prometheus_client")

import model_inference as mi
from vantrel import ModelBuilder
from vantrel.serve.app import ServeOptions, create_app
from vantrel.serve.models import ServedModel, load_model, model_kind, parse_model_arg

KEY = "s3cret"
AUTH = {"Authorization": f"Bearer {KEY}"}
RNG = np.random.default_rng(7)
W, B = RNG.standard_normal((4, 8)).astype(np.float32), RNG.standard_normal(4).astype(np.float32)


@pytest.fixture(scope="module")
def fc_files(tmp_path_factory):
    d = tmp_path_factory.mktemp("fc")
    b = ModelBuilder("fc")
    b.input("x", [8])
    b.output(b.node("gemm_fp32", ["x"], "y", name="fc", C_in=8, C_out=4))
    b.weight("fc.weight", W)
    b.weight("fc.bias", B)
    b.save(str(d / "fc.json"), str(d / "fc.bin"))
    return d


class NumpyFC:
    """An engine that takes (N, 8) batches, as a batching-capable engine does."""
    inputs = [SimpleNamespace(name="x", shape=[8], dtype="float32")]
    output_names = ["y"]

    def __init__(self, fail=False, delay=0.0):
        self.fail, self.delay, self.started = fail, delay, threading.Event()

    def forward(self, x):
        self.started.set()
        time.sleep(self.delay)
        if self.fail:
            raise RuntimeError("kernel exploded")
        return (np.asarray(x, np.float32).reshape(-1, 8) @ W.T + B).ravel()


def words(prompt, n):
    text = prompt if isinstance(prompt, str) else " ".join(m["content"] for m in prompt)
    return [f" {w[::-1]}" for w in (text.split() * n)[:n]]


class FakeGenerator:
    """Generator interface: reversed prompt words, one per token."""
    def generate(self, prompt, **kw):
        return "".join(self.stream(prompt, **kw))

    def stream(self, prompt, *, max_new_tokens, temperature, top_k, top_p, stop, seed):
        if "fail" in str(prompt):
            raise RuntimeError("decoder ran out of cache")
        out = words(prompt, max_new_tokens)
        if stop:
            out = out[:next((i for i, w in enumerate(out) if w.strip() in stop), len(out))]
        self.last_usage = {"prompt_tokens": 3, "completion_tokens": len(out)}
        yield from out


def fake_vector(text):
    v = np.array([len(text), text.count("a"), text.count(" "), 1.0], np.float32)
    return v / np.linalg.norm(v)


class FakeEncoder:
    def encode(self, texts, *, batch_size=32, normalize=False):
        return np.stack([fake_vector(t) for t in texts])


def fake_tokenizer(texts):
    return {"input_ids": [t.split() for t in texts]}


@contextmanager
def running(app):
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", timeout_graceful_shutdown=20))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    for _ in range(500):
        if server.started:
            break
        time.sleep(0.01)
    try:
        yield f"127.0.0.1:{sock.getsockname()[1]}", server, thread
    finally:
        server.should_exit = True
        thread.join(30)


@pytest.fixture(scope="module")
def server(fc_files):
    fc = load_model(parse_model_arg(f"fc={fc_files / 'fc.json'}:{fc_files / 'fc.bin'}"))
    engine = mi.InferenceModel(str(fc_files / "fc.json"), str(fc_files / "fc.bin"))
    models = [fc,
              ServedModel("np", "image", NumpyFC(), batched_forward=True),
              ServedModel("broken", "image", NumpyFC(fail=True)),
              ServedModel("chat", "decoder", engine, fake_tokenizer, generator=FakeGenerator()),
              ServedModel("emb", "encoder", engine, fake_tokenizer, encoder=FakeEncoder()),
              ServedModel("nogen", "decoder", engine, text_api_missing="model family not supported "
                          "by this server build")]
    opts = ServeOptions(max_wait_ms=30, max_body_bytes=1 << 16, api_key=KEY)
    with running(create_app(models=models, options=opts)) as (url, _, _):
        yield url


def test_kind_and_batched_probe(fc_files):
    assert [model_kind({"nodes": [{"op": op}]}) for op in
            ("causal_attn_core_fp32", "bert_embeddings_fp32", "conv_fp32")] == ["decoder", "encoder", "image"]
    assert ServedModel("np", "image", NumpyFC()).probe_batched_forward()
    # An engine that ignores the leading dimension must not pass.
    served = load_model(parse_model_arg(f"fc={fc_files / 'fc.json'}:{fc_files / 'fc.bin'}"))
    e = served.engine
    assert served.batched_forward == (e.forward(np.ones((2, 8), np.float32)).size == 8)


@pytest.mark.parametrize("binary", [False, True])
@pytest.mark.parametrize("model,out", [("fc", "y"), ("np", "y")])
def test_tritonclient(server, model, out, binary):
    tc = pytest.importorskip("tritonclient.http")
    c = tc.InferenceServerClient(server)
    auth = dict(AUTH)  # the client adds its own headers to the dict it is given
    assert c.is_server_live() and c.is_server_ready(headers=auth)
    assert c.is_model_ready(model, headers=auth)
    meta = c.get_model_metadata(model, headers=auth)
    assert meta["inputs"] == [{"name": "x", "datatype": "FP32", "shape": [8]}]
    for shape in ([8], [3, 8]):
        x = RNG.standard_normal(shape).astype(np.float32)
        inp = tc.InferInput("x", shape, "FP32")
        inp.set_data_from_numpy(x, binary_data=binary)
        r = c.infer(model, [inp], outputs=[tc.InferRequestedOutput(out, binary_data=binary)],
                    headers=dict(auth))
        np.testing.assert_allclose(r.as_numpy(out), x @ W.T + B, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("model", ["fc", "np"])
def test_concurrent_requests_are_grouped(server, model):
    xs = RNG.standard_normal((24, 8)).astype(np.float32)

    def one(x):
        body = {"inputs": [{"name": "x", "datatype": "FP32", "shape": [8], "data": x.tolist()}]}
        r = httpx.post(f"http://{server}/v2/models/{model}/infer", json=body, headers=AUTH)
        return np.array(r.json()["outputs"][0]["data"], np.float32)

    before = group_counts(server, model)
    with ThreadPoolExecutor(12) as pool:
        ys = list(pool.map(one, xs))
    np.testing.assert_allclose(np.stack(ys), xs @ W.T + B, rtol=1e-5, atol=1e-5)
    groups, samples = (a - b for a, b in zip(group_counts(server, model), before))
    # Only an engine that runs a group as one batch waits for company.
    assert samples == 24 and (groups < 24 if model == "np" else groups <= 24)


def group_counts(server, model):
    text = httpx.get(f"http://{server}/metrics", headers=AUTH).text
    get = lambda s: float(next(l for l in text.splitlines()  # noqa: E731
                               if l.startswith(f'vantrel_batch_size_{s}{{model="{model}"}}')).split()[-1]) \
        if f'vantrel_batch_size_count{{model="{model}"}}' in text else 0.0
    return get("count"), get("sum")


GOOD = {"inputs": [{"name": "x", "datatype": "FP32", "shape": [8], "data": [0.5] * 8}]}


def v2(**change):
    t = {**GOOD["inputs"][0], **change}
    return {"inputs": [t]}


@pytest.mark.parametrize("path,body,headers,status,says", [
    ("/v2/models/fc/infer", b'{"inputs": [', AUTH, 400, "malformed JSON"),
    ("/v2/models/fc/infer", v2(datatype="INT8"), AUTH, 400, "datatype 'INT8', expected FP32"),
    ("/v2/models/fc/infer", v2(shape=[2, 4]), AUTH, 400, "shape [2, 4], expected [8]"),
    ("/v2/models/fc/infer", v2(data=[1] * 7), AUTH, 400, "holds 7 values"),
    ("/v2/models/fc/infer", v2(name="z"), AUTH, 400, "has no input 'z'"),
    ("/v2/models/nope/infer", GOOD, AUTH, 404, "unknown model 'nope'"),
    ("/v2/models/fc/infer", {"pad": "x" * 70000, **GOOD}, AUTH, 413, "larger than the limit"),
    ("/v2/models/fc/infer", GOOD, {}, 401, "missing API key"),
    ("/v1/models", None, {"Authorization": "Bearer wrong"}, 401, "wrong API key"),
    ("/v2/models/broken/infer", GOOD, AUTH, 500, "kernel exploded"),
    ("/v1/completions", {"model": "chat", "prompt": "fail now"}, AUTH, 500, "out of cache"),
    ("/v1/completions", {"model": "fc", "prompt": "hi"}, AUTH, 400, "needs a decoder model"),
    ("/v1/completions", {"model": "chat", "prompt": "hi", "max_tokens": 0}, AUTH, 400, "'max_tokens'"),
    ("/v1/completions", {"model": "chat", "prompt": "hi", "logprobs": 2}, AUTH, 400, "'logprobs' is not"),
    ("/v1/chat/completions", {"model": "nogen", "messages": [{"role": "user", "content": "x"}]},
     AUTH, 501, "not supported by this server build"),
    ("/v1/embeddings", b"{not json", AUTH, 400, "malformed JSON"),
    ("/v1/embeddings", {"model": "emb", "input": [1, 2]}, AUTH, 400, "token-id input"),
])
def test_bad_requests_are_answered_and_harmless(server, path, body, headers, status, says):
    before = metric(server, "vantrel_request_errors_total")
    content = body if isinstance(body, bytes) else None if body is None else json.dumps(body)
    r = httpx.request("GET" if body is None else "POST", f"http://{server}{path}",
                      content=content, headers=headers)
    assert r.status_code == status
    err = r.json()["error"]
    assert says in (err["message"] if path.startswith("/v1") else err)
    assert metric(server, "vantrel_request_errors_total") == before + 1
    ok = httpx.post(f"http://{server}/v2/models/fc/infer", json=GOOD, headers=AUTH)
    np.testing.assert_allclose(ok.json()["outputs"][0]["data"], np.full(8, 0.5) @ W.T + B, rtol=1e-5)


def metric(server, name):
    text = httpx.get(f"http://{server}/metrics", headers=AUTH).text
    return sum(float(l.split()[-1]) for l in text.splitlines() if l.startswith(name + "{"))


@pytest.mark.parametrize("chat", [False, True])
def test_openai_generation(server, chat):
    openai = pytest.importorskip("openai")
    client = openai.OpenAI(base_url=f"http://{server}/v1", api_key=KEY)
    assert {m.id for m in client.models.list()} >= {"fc", "chat", "emb"}
    prompt = "alpha beta gamma"
    kw = dict(model="chat", max_tokens=5, temperature=0.0, seed=1)
    want = "".join(words(prompt, 5))
    if chat:
        msgs = [{"role": "user", "content": prompt}]
        r = client.chat.completions.create(messages=msgs, **kw)
        text, reason = r.choices[0].message.content, r.choices[0].finish_reason
        parts = [c.choices[0].delta.content or "" for c in
                 client.chat.completions.create(messages=msgs, stream=True, **kw) if c.choices]
    else:
        r = client.completions.create(prompt=prompt, **kw)
        text, reason = r.choices[0].text, r.choices[0].finish_reason
        parts = [c.choices[0].text for c in client.completions.create(prompt=prompt, stream=True, **kw)]
    assert text == want == "".join(parts) and reason == "length"
    assert r.usage.completion_tokens == 5
    stopped = client.completions.create(prompt=prompt, stop=["ammag"], **kw)
    assert stopped.choices[0].text == " ahpla ateb" and stopped.choices[0].finish_reason == "stop"


def test_openai_embeddings_grouped_and_in_order(server):
    openai = pytest.importorskip("openai")
    client = openai.OpenAI(base_url=f"http://{server}/v1", api_key=KEY)
    batches = [[f"{'a' * i} text {j}" for j in range(i % 3 + 1)] for i in range(10)]
    with ThreadPoolExecutor(10) as pool:
        got = list(pool.map(lambda t: client.embeddings.create(model="emb", input=t), batches))
    for texts, r in zip(batches, got):
        np.testing.assert_allclose([d.embedding for d in r.data],
                                   [fake_vector(t) for t in texts], rtol=1e-6)
    raw = httpx.post(f"http://{server}/v1/embeddings", headers=AUTH,
                     json={"model": "emb", "input": "a b", "encoding_format": "base64"}).json()
    vec = np.frombuffer(base64.b64decode(raw["data"][0]["embedding"]), "<f4")
    np.testing.assert_allclose(vec, fake_vector("a b"), rtol=1e-6)


def test_graceful_shutdown_finishes_in_flight_requests():
    engine = NumpyFC(delay=1.0)
    app = create_app(models=[ServedModel("slow", "image", engine)])
    with running(app) as (url, server, thread):
        with ThreadPoolExecutor(1) as pool:
            fut = pool.submit(httpx.post, f"http://{url}/v2/models/slow/infer", json=GOOD, timeout=30)
            assert engine.started.wait(10)
            server.should_exit = True
            r = fut.result()
        thread.join(30)
        assert r.status_code == 200 and not thread.is_alive()
        np.testing.assert_allclose(r.json()["outputs"][0]["data"], np.full(8, 0.5) @ W.T + B, rtol=1e-5)


def test_cli_serves_a_model_directory(fc_files):
    from vantrel.serve.cli import collect_specs
    specs = collect_specs([], [str(fc_files)], [f"fc={fc_files}"])
    assert [(s.name, s.tokenizer) for s in specs] == [("fc", str(fc_files))]
    with pytest.raises(ValueError, match="NAME=DIR for a served model"):
        collect_specs([], [str(fc_files)], ["other=/x"])
    with pytest.raises(ValueError, match="NAME=ARCH.json:WEIGHTS.bin"):
        parse_model_arg("fc.json")


@pytest.mark.slow
def test_real_minilm_embeddings_follow_sentence_transformers(tmp_path):
    """The embeddings route over the real MiniLM and the package's encoder."""
    pytest.importorskip("vantrel.embeddings")
    openai = pytest.importorskip("openai")
    st = pytest.importorskip("sentence_transformers")
    from vantrel.convert.bert import convert_minilm, minilm_dir
    from vantrel.serve.models import ModelSpec
    convert_minilm(str(tmp_path / "m.json"), str(tmp_path / "m.bin"))
    spec = ModelSpec("minilm", str(tmp_path / "m.json"), str(tmp_path / "m.bin"), str(minilm_dir()))
    texts = ["A man is eating food.", "The new movie is awesome", "short"]
    want = st.SentenceTransformer(str(minilm_dir()), device="cpu").encode(texts)
    with running(create_app(specs=[spec])) as (url, _, _):
        client = openai.OpenAI(base_url=f"http://{url}/v1", api_key="unused")
        got = np.array([d.embedding for d in client.embeddings.create(model="minilm", input=texts).data])
    cos = (got * want).sum(1) / np.linalg.norm(want, axis=1)
    assert cos.min() > 0.999
