"""vantrel serve on a local Ray cluster: two Serve replicas answer tensor
requests, and Ray Data classifies a directory of images with one model per
actor. Slow (starting Ray takes a while); skipped without ray."""

import socket

import numpy as np
import pytest

pytestmark = pytest.mark.slow
ray = pytest.importorskip("ray")
serve = pytest.importorskip("ray.serve")
httpx = pytest.importorskip("httpx")

from vantrel import ModelBuilder
from vantrel.serve.models import ModelSpec


@pytest.fixture(scope="module")
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    serve.shutdown()
    ray.shutdown()


@pytest.fixture(scope="module")
def pool_files(tmp_path_factory):
    """An image model whose output is the mean of each channel."""
    d = tmp_path_factory.mktemp("pool")
    b = ModelBuilder("pool")
    b.input("image", [6, 5, 3])
    b.output(b.node("avgpool_fp32", ["image"], "mean", name="gap"))
    b.save(str(d / "pool.json"), str(d / "pool.bin"))
    return d


def test_two_replicas_serve_requests(cluster, pool_files):
    from vantrel.serve.ray import app_builder
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    serve.start(http_options={"host": "127.0.0.1", "port": port})
    app = app_builder({"models": f"pool={pool_files / 'pool.json'}:{pool_files / 'pool.bin'}",
                       "num_replicas": "2", "num_cpus": "0.5", "max_batch": "4"})
    serve.run(app, name="vantrel", route_prefix="/")
    replicas = serve.status().applications["vantrel"].deployments["vantrel"].replica_states
    assert replicas.get("RUNNING") == 2
    xs = np.random.default_rng(0).standard_normal((8, 6, 5, 3)).astype(np.float32)
    for x in xs:
        r = httpx.post(f"http://127.0.0.1:{port}/v2/models/pool/infer", timeout=60, json={
            "inputs": [{"name": "image", "datatype": "FP32", "shape": [6, 5, 3], "data": x.ravel().tolist()}]})
        np.testing.assert_allclose(r.json()["outputs"][0]["data"], x.mean((0, 1)), rtol=1e-5, atol=1e-6)
    serve.delete("vantrel")


def test_ray_data_classifies_an_image_directory(cluster, pool_files, tmp_path):
    from PIL import Image
    from vantrel.serve.ray import classify_images
    rng = np.random.default_rng(1)
    images = {f"{i}.png": rng.integers(0, 256, (6, 5, 3), dtype=np.uint8) for i in range(5)}
    for name, img in images.items():
        Image.fromarray(img).save(tmp_path / name)
    rows = classify_images(str(pool_files / "pool.json"), str(pool_files / "pool.bin"), str(tmp_path),
                           actors=2, batch_size=2, mean=(0.5, 0.5, 0.5), std=(0.25, 0.25, 0.25),
                           num_cpus_per_actor=0.5).take_all()
    assert len(rows) == 5
    for row in rows:
        want = ((images[row["path"].rsplit("/", 1)[-1]] / 255 - 0.5) / 0.25).mean((0, 1))
        np.testing.assert_allclose(row["logits"], want, rtol=1e-5, atol=1e-5)
        assert row["top1"] == want.argmax()
