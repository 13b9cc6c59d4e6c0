"""What the back-ends share: lookup outcomes, owners and the service's metrics."""

from __future__ import annotations

import hashlib
from datetime import datetime, timezone
from typing import Union

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram

# Why a connection was refused at accept, or answered 503 after its handshake.
REFUSAL_REASONS = ("per_client", "descriptors", "max_connections")

# A consumer that has not told it is alive for this long is not counted
# live. Consumers tell every second between problems: only one that is gone,
# stopped, cut off from Redis or in a very long solve is silent this long.
LIVE_SECONDS = 30.0

PENDING = "pending"
FAILED = "failed"
# A problem the service will not solve again: solving it ended solver processes.
REFUSED = "refused"
UNKNOWN = "unknown"
# A payload, or PENDING, FAILED, REFUSED or UNKNOWN.
Found = Union[bytes, str]


def timestamp() -> str:
    """Now, as every log line starts: ISO-8601 in UTC, to the millisecond."""
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds")


def owner_of(key: str) -> str:
    """A key's owner name: every front-end derives the same one, and it tells
    nothing about the key."""
    return hashlib.sha256(key.encode("utf-8", "surrogateescape")).hexdigest()[:32]


class Metrics:
    """The service's metrics, in a registry of their own."""

    def __init__(self, redis: bool = False) -> None:
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
        self.connections_open = Gauge(
            "qernx_connections_open",
            "Connections open, from accept (TLS handshakes in progress included)",
            registry=self.registry,
        )
        self.connections_refused = Counter(
            "qernx_connections_refused",
            "Connections refused by a limit: per_client, descriptors or max_connections",
            ["reason"],
            registry=self.registry,
        )
        for reason in REFUSAL_REASONS:  # a fixed set, shown from the start at 0
            self.connections_refused.labels(reason)
        self.result_bytes = Gauge(
            "qernx_result_bytes", "Bytes of the results the service holds", registry=self.registry
        )
        # What only a Redis queue can tell: absent from an embedded front-end,
        # where it would always read 0 and mean nothing.
        self.queue_pending: Gauge | None = None
        self.oldest_pending_age: Gauge | None = None
        self.consumers_live: Gauge | None = None
        if redis:
            self.queue_pending = Gauge(
                "qernx_queue_pending",
                "Problems a worker has taken and not yet solved",
                registry=self.registry,
            )
            self.oldest_pending_age = Gauge(
                "qernx_queue_oldest_pending_age_seconds",
                "Age, since it was queued, of the oldest problem a worker holds (0: none)",
                registry=self.registry,
            )
            self.consumers_live = Gauge(
                "qernx_consumers_live",
                f"Worker consumers that told they were alive in the last {LIVE_SECONDS:g} seconds",
                registry=self.registry,
            )


class WorkerMetrics:
    """A worker's metrics: what its consumers did, summed over them."""

    def __init__(self) -> None:
        self.registry = CollectorRegistry()
        self.solves = Counter(
            "qernx_worker_solves", "Problems solved and stored", registry=self.registry
        )
        self.solve_seconds = Histogram(
            "qernx_worker_solve_seconds",
            "Time the solver took for one problem",
            registry=self.registry,
            buckets=(0.0001, 0.001, 0.01, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0),
        )
        self.failures = Counter(
            "qernx_worker_failures",
            "Problems that could not be solved (stored as failed)",
            registry=self.registry,
        )
        self.reclaimed = Counter(
            "qernx_worker_reclaimed",
            "Problems taken over from a consumer that held them too long",
            registry=self.registry,
        )
        self.redis_errors = Counter(
            "qernx_worker_redis_errors",
            "Times Redis could not be reached or refused a command",
            registry=self.registry,
        )
        self.consumer_restarts = Counter(
            "qernx_worker_consumer_restarts",
            "Consumer processes that ended and were started again",
            registry=self.registry,
        )

    def record(self, event: str, seconds: float = 0.0) -> None:
        """One consumer's event: solved (taking `seconds`), failed, reclaimed or redis_error."""
        if event == "solved":
            self.solves.inc()
            self.solve_seconds.observe(seconds)
        elif event == "failed":
            self.failures.inc()
        elif event == "reclaimed":
            self.reclaimed.inc()
        elif event == "redis_error":
            self.redis_errors.inc()
