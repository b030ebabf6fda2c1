"""Prometheus metrics of one server (a registry of its own, so that several
apps in one process, as in tests, do not share counters)."""

from __future__ import annotations

from prometheus_client import CollectorRegistry, Counter, Histogram, generate_latest
from prometheus_client import CONTENT_TYPE_LATEST

__all__ = ["Metrics", "CONTENT_TYPE_LATEST"]

_LATENCY_BUCKETS = (0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0,
                    10.0, 30.0, 60.0)


class Metrics:
    """Requests, errors and latency per model and endpoint; group sizes per model.
    Requests that name no model are counted under model ""."""

    def __init__(self):
        self.registry = CollectorRegistry()
        labels = ["model", "endpoint"]
        self.requests = Counter("vantrel_requests", "Requests handled.", labels + ["status"],
                                registry=self.registry)
        self.errors = Counter("vantrel_request_errors", "Requests answered with status >= 400.",
                              labels, registry=self.registry)
        self.latency = Histogram("vantrel_request_duration_seconds",
                                 "Time from request to the last byte of the answer.", labels,
                                 buckets=_LATENCY_BUCKETS, registry=self.registry)
        self.group_size = Histogram("vantrel_batch_size", "Requests run together in one group.",
                                    ["model"], buckets=(1, 2, 4, 8, 16, 32, 64),
                                    registry=self.registry)

    def observe(self, model: str, endpoint: str, status: int, seconds: float) -> None:
        """Count one answered request."""
        self.requests.labels(model, endpoint, str(status)).inc()
        if status >= 400:
            self.errors.labels(model, endpoint).inc()
        self.latency.labels(model, endpoint).observe(seconds)

    def render(self) -> bytes:
        """The metrics in Prometheus' text format."""
        return generate_latest(self.registry)
