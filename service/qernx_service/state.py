"""What the back-ends share: lookup outcomes, owners and the service's metrics."""

from __future__ import annotations

import hashlib
from typing import Union

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram

PENDING = "pending"
FAILED = "failed"
UNKNOWN = "unknown"
# A payload, or PENDING, FAILED or UNKNOWN.
Found = Union[bytes, str]


def owner_of(key: str) -> str:
    """A key's owner name: every front-end derives the same one, and it tells
    nothing about the key."""
    return hashlib.sha256(key.encode("utf-8", "surrogateescape")).hexdigest()[:32]


class Metrics:
    """The service's metrics, in a registry of their own."""

    def __init__(self) -> None:
        self.registry = CollectorRegistry()
        self.requests = Counter(
            "qernx_requests",
            "Requests answered, by route and status",
            ["route", "status"],
            registry=self.registry,
        )
        self.request_seconds = Histogram(
            "qernx_request_seconds",
            "Time from a request's headers to its answer",
            ["route"],
            registry=self.registry,
            buckets=(0.0005, 0.001, 0.002, 0.005, 0.01, 0.05, 0.1, 0.5, 1.0),
        )
        self.solve_seconds = Histogram(
            "qernx_solve_seconds",
            "Time the local solver took for one problem",
            registry=self.registry,
            buckets=(0.0001, 0.001, 0.01, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0),
        )
        self.queue_depth = Gauge(
            "qernx_queue_depth", "Problems accepted and not yet solved", registry=self.registry
        )
        self.results_held = Gauge(
            "qernx_results_held", "Results the service holds", registry=self.registry
        )
        self.result_bytes = Gauge(
            "qernx_result_bytes", "Bytes of the results the service holds", registry=self.registry
        )
