"""`python -m qernx_service worker`: solves problems queued in Redis.

Each of `concurrency` consumers is a process of its own that takes one
problem at a time, solves it with the module's local solver and stores the
result. Now and then it first takes over problems another consumer has held
longer than `reclaim_after` seconds (a worker that died), and removes from
the group the consumers that are gone and hold nothing. A problem is
acknowledged only once its result is stored, so none is lost: when Redis
cannot be reached, or answers with an error (out of memory, read-only,
MISCONF), the consumer logs it and tries the same step again later. Every
second, a consumer also goes through the problems it holds itself: a
failover to a replica that missed its last results hands them back to it,
and redis-py may reconnect to the new primary without a word."""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import signal
import socket
import sys
import threading
import time
from datetime import datetime, timezone
from typing import Any, Callable, TypeVar

from prometheus_client import start_http_server
from redis.exceptions import (
    AuthenticationError,
    BusyLoadingError,
    RedisError,
    ResponseError,
)

from .backends.redis import (
    CONSUMERS,
    GROUP,
    HEARTBEAT,
    RESULT_OVERHEAD,
    STORE_KEYS,
    STORE_RESULT,
    STREAM,
    SWEEP_CONSUMERS,
    job_key,
    queued_key,
)
from .options import OneLineParser, complain, port_number
from .protocol import MAX_TOTAL
from .redis_connect import RedisTarget, add_options, connect_sync, error_text, target_of
from .solver import prepare_process, solve_payload
from .state import WorkerMetrics

# Where a consumer tells what it did: the event and, for a solve, its seconds.
Report = Callable[[str, float], None]


def ignore(event: str, seconds: float) -> None:
    pass


# Problems one read takes at most: fewer round trips, and few enough that an
# idle consumer elsewhere never waits long behind a busy one.
READ_BATCH = 4


# Seconds between a step's tries while Redis fails it: doubling up to this.
MAX_DELAY = 30.0
# A consumer holding nothing and idle this long (or `reclaim_after`, if
# longer) is gone: every consumer of a worker reads at least twice a second.
GONE_AFTER = 10.0
# Seconds between two looks for consumers that are gone, per consumer.
SWEEP_EVERY = 5.0

T = TypeVar("T")


def log(line: str) -> None:
    stamp = datetime.now(timezone.utc).isoformat(timespec="milliseconds")
    sys.stderr.write(f"{stamp} {line}\n")
    sys.stderr.flush()


def describe(error: Exception) -> str:
    """What went wrong, in Redis's own words when it answered."""
    text = error_text(error)
    if isinstance(error, (ResponseError, BusyLoadingError, AuthenticationError)):
        # redis-py takes the code (OOM, READONLY, ERR …) off the errors it
        # knows: the log puts it back.
        code = getattr(error, "status_code", None)
        if code and not text.startswith(code):
            text = f"{code} {text}"
        return f"Redis answered: {text}"
    return f"cannot reach Redis: {text}"


class Stopped(Exception):
    """The consumer was stopped while it waited to try a step again."""


def patiently(
    name: str, what: str, step: Callable[[], T], stop: threading.Event, report: Report
) -> T:
    """`step`'s value once Redis lets it through: tried again after 1, 2, 4 …
    up to MAX_DELAY seconds while it fails. Raises Stopped when `stop` is set
    meanwhile."""
    delay = 1.0
    tries = 0
    while True:
        try:
            value = step()
        except (RedisError, OSError) as error:
            tries += 1
            log(f"{name}: {what}: {describe(error)}; trying again in {delay:g} s")
            report("redis_error", 0.0)
            if stop.wait(delay):
                raise Stopped from None
            delay = min(MAX_DELAY, delay * 2)
            continue
        if tries:
            log(f"{name}: {what}: done after {tries + 1} tries")
        return value


class Consumer:
    def __init__(
        self,
        client: Any,
        name: str,
        reclaim_after: float,
        result_ttl: int,
        stop: threading.Event,
        report: Report = ignore,
        target: RedisTarget | None = None,
    ) -> None:
        self.client = client
        self.target = target or RedisTarget()
        # When to read this consumer's own pending problems again.
        self.next_recheck = 0.0
        self.report = report
        self.name = name
        self.reclaim_after = reclaim_after
        self.result_ttl = result_ttl
        self.stop = stop
        self.store = client.register_script(STORE_RESULT)
        self.next_reclaim = 0.0
        self.heartbeat = client.register_script(HEARTBEAT)
        self.next_beat = 0.0
        self.sweeper = client.register_script(SWEEP_CONSUMERS)
        self.gone_after = max(GONE_AFTER, reclaim_after)
        self.next_sweep = 0.0

    def patiently(self, what: str, step: Callable[[], T]) -> T:
        return patiently(self.name, what, step, self.stop, self.report)

    def run(self) -> None:
        try:
            while not self.stop.is_set():
                self.patiently("telling it is alive", self.beat)
                self.patiently("removing consumers that are gone", self.sweep)
                for entry_id, fields in self.patiently("reading problems", self.next_entries):
                    self.handle(entry_id, fields)
        except Stopped:
            pass

    def beat(self) -> None:
        """Tells the front-ends this consumer is alive, at most once a second
        (Redis's own idle times do not move while a consumer reads nothing)."""
        now = time.monotonic()
        if now >= self.next_beat:
            self.heartbeat(keys=[CONSUMERS], args=[self.name])
            self.next_beat = now + 1.0

    def sweep(self) -> None:
        """Removes from the group the consumers that hold no problem and have
        not read for `gone_after` seconds: what a consumer that is gone held
        is taken over first, by `next_entries`."""
        now = time.monotonic()
        if now < self.next_sweep:
            return
        removed = self.sweeper(
            keys=[STREAM, CONSUMERS], args=[GROUP, int(self.gone_after * 1000), self.name]
        )
        for gone in removed:
            log(f"{self.name}: removed consumer {gone.decode()}, gone and holding nothing")
        self.next_sweep = now + SWEEP_EVERY

    def next_entries(self) -> list[tuple[bytes, dict[bytes, bytes]]]:
        try:
            return self.read()
        except ResponseError as error:
            if "NOGROUP" not in str(error):
                raise
            # Redis came back without its data: the queue starts again.
            log(f"{self.name}: the consumer group is gone, creating it again")
            self.report("redis_error", 0.0)
            create_group(self.client)
            return []

    def read(self) -> list[tuple[bytes, dict[bytes, bytes]]]:
        now = time.monotonic()
        if now >= self.next_recheck:
            # Each is stored (or found stored) and acknowledged in turn, so
            # this ends once none is left.
            held = self.client.xreadgroup(GROUP, self.name, {STREAM: "0"}, count=READ_BATCH)
            entries = [(i, f) for _, batch in held or [] for i, f in batch if f]
            if entries:
                return entries
            self.next_recheck = now + 1.0
        if now >= self.next_reclaim:
            claimed = self.client.xautoclaim(
                STREAM,
                GROUP,
                self.name,
                min_idle_time=int(self.reclaim_after * 1000),
                start_id="0-0",
                count=1,
            )
            entries = [(i, f) for i, f in claimed[1] if f]
            if entries:
                log(f"{self.name}: took over {entries[0][1].get(b'id', b'?').decode()}")
                self.report("reclaimed", 0.0)
                return entries
            # Nothing left to take over: look again in a while.
            self.next_reclaim = now + min(1.0, self.reclaim_after / 4)
        read = self.client.xreadgroup(GROUP, self.name, {STREAM: ">"}, count=READ_BATCH, block=500)
        return [(i, f) for _, batch in read or [] for i, f in batch if f]

    def handle(self, entry_id: bytes, fields: dict[bytes, bytes]) -> None:
        request_id = fields.get(b"id", b"").decode()
        owner = fields.get(b"owner", b"").decode()
        state, payload, seconds = "failed", b"", 0.0
        try:
            # A front-end checked it; a foreign entry fails here (or in min and sum).
            items = json.loads(fields[b"items"])
            if not isinstance(items, list) or (items and min(items) < 0) or sum(items) > MAX_TOTAL:
                raise ValueError("not a problem the service accepts")
            payload, seconds = solve_payload(items)
            state = "done"
            log(f"{self.name}: solved {request_id} in {seconds * 1000:.1f} ms")
        except Exception as error:  # a bad entry must not stop the worker
            log(f"{self.name}: solve {request_id} failed: {error}")
        try:
            reserved = int(fields.get(b"reserved", b"0"))
        except ValueError:
            reserved = 0
        # Counted before it is stored: the store is tried until it passes,
        # and a consumer stopped meanwhile leaves the problem to whoever
        # takes it over.
        self.report("solved" if state == "done" else "failed", seconds)
        keys = [*STORE_KEYS, job_key(request_id), STREAM, queued_key(owner)]
        args = [
            state,
            payload,
            self.result_ttl,
            GROUP,
            entry_id,
            owner,
            request_id,
            reserved,
            RESULT_OVERHEAD,
        ]
        wanted = self.target.min_replicas
        confirmed = self.patiently(f"storing {request_id}", lambda: self.stored(keys, args))
        if confirmed < wanted:
            log(
                f"{self.name}: {confirmed} of {wanted} replicas confirmed"
                f" the result of {request_id}"
            )

    def stored(self, keys: list[Any], args: list[Any]) -> int:
        """Stores a result; with --redis-min-replicas, the replicas that
        confirmed it. WAIT counts the writes of its own connection: one
        pipeline sends both on one. The consumer goes on either way: a replica
        that missed the result still has the problem pending for this
        consumer, which reads it again after the failover that promoted that
        replica."""
        wanted = self.target.min_replicas
        if not wanted:
            self.store(keys=keys, args=args)
            return 0
        pipe = self.client.pipeline(transaction=False)
        self.store(keys=keys, args=args, client=pipe)
        pipe.wait(wanted, self.target.wait_milliseconds())
        _, confirmed = pipe.execute()
        return int(confirmed)


def create_group(client: Any) -> None:
    """The consumer group, created with its stream unless it exists; it reads
    the stream from its start, so problems queued before it are solved too."""
    try:
        client.xgroup_create(STREAM, GROUP, id="0", mkstream=True)
    except ResponseError as error:
        if "BUSYGROUP" not in str(error):
            raise


def consume(
    target: RedisTarget, name: str, reclaim_after: float, result_ttl: int, report: Report = ignore
) -> int:
    """One consumer, in this process, until SIGTERM or SIGINT."""
    prepare_process()
    stop = threading.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda *_: stop.set())
    client = connect_sync(target, socket_timeout=10)
    # Redis down at start is waited out like Redis down later: a consumer
    # that exited would take its metrics with it and leave restarting to
    # whoever runs the worker.
    try:
        patiently(name, "creating the consumer group", lambda: create_group(client), stop, report)
    except Stopped:
        return 0
    solve_payload([])  # the module is loaded before the first problem
    Consumer(client, name, reclaim_after, result_ttl, stop, report, target).run()
    try:  # stopped on purpose: no longer live, at once
        client.zrem(CONSUMERS, name)
    except (RedisError, OSError):
        pass
    return 0


def consume_and_exit(
    target: RedisTarget, name: str, reclaim_after: float, result_ttl: int, events: Any
) -> None:
    """`consume` as a process of its own, whose exit status is consume's; its
    events go to the worker's metrics through `events`, a queue."""

    def report(event: str, seconds: float) -> None:
        events.put((event, seconds))

    sys.exit(consume(target, name, reclaim_after, result_ttl, report))


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = OneLineParser(
        prog="python -m qernx_service worker",
        description="Solve the problems that front-ends queue in Redis.",
    )
    from_environment = os.environ.get("QERN_REDIS_URL") or None
    parser.add_argument(
        "--redis",
        default=from_environment,
        help="redis://[:password@]host:port/db (default: QERN_REDIS_URL, which keeps a"
        " password out of the process list); or --redis-sentinel",
    )
    add_options(parser.add_argument)
    parser.add_argument(
        "--concurrency",
        type=int,
        default=os.cpu_count() or 1,
        help="solver processes (default: one per CPU)",
    )
    parser.add_argument(
        "--reclaim-after",
        type=float,
        default=30.0,
        help="seconds after which a problem held by a silent worker is taken over (default 30)",
    )
    parser.add_argument(
        "--result-ttl", type=int, default=3600, help="seconds a result is kept (default 3600)"
    )
    parser.add_argument(
        "--metrics-port",
        type=port_number,
        default=None,
        help="serve the worker's metrics over plain HTTP on this port (0: any free one)",
    )
    parser.add_argument(
        "--metrics-host",
        default="127.0.0.1",
        help="address of --metrics-port (default 127.0.0.1: only this machine can scrape)",
    )
    arguments = parser.parse_args(argv)
    if arguments.concurrency < 1:
        parser.error("--concurrency must be 1 or more")
    if not arguments.reclaim_after > 0 or arguments.result_ttl < 1:
        parser.error("--reclaim-after and --result-ttl must be above 0")
    try:
        # One line, and never the URL: the parser's own words may quote the password.
        arguments.target = target_of(arguments)
    except ValueError as problem:
        complain("qernx_service worker", str(problem))
        raise SystemExit(2) from None
    if arguments.target is None:
        parser.error("give --redis, --redis-sentinel or QERN_REDIS_URL")
    return arguments


def main(argv: list[str]) -> int:
    arguments = parse_arguments(argv)
    base = f"{socket.gethostname()}-{os.getpid()}"
    options = (arguments.reclaim_after, arguments.result_ttl)
    began = time.monotonic()
    metrics = WorkerMetrics()
    if arguments.metrics_port is not None:
        try:
            server, _ = start_http_server(
                arguments.metrics_port, arguments.metrics_host, metrics.registry
            )
        except OSError as error:
            where = f"{arguments.metrics_host}:{arguments.metrics_port}"
            complain("qernx_service worker", f"cannot listen for metrics on {where}: {error}")
            return 1
        shown = f"[{arguments.metrics_host}]" if ":" in arguments.metrics_host else None
        log(
            f"worker {base} metrics on"
            f" http://{shown or arguments.metrics_host}:{server.server_port}/metrics"
        )
    settings = (
        f"worker {base} settings: concurrency={arguments.concurrency}"
        f" reclaim-after={arguments.reclaim_after} result-ttl={arguments.result_ttl}"
        f" redis-min-replicas={arguments.redis_min_replicas}"
        f" redis-replica-timeout={arguments.redis_replica_timeout}"
        f" redis={arguments.target.shown()}"
    )
    if arguments.concurrency == 1:
        log(f"worker {base} solving with 1 consumer")
        log(settings)
        status = consume(arguments.target, f"{base}-0", *options, metrics.record)
        log(f"worker {base} stopped after {time.monotonic() - began:.1f} s")
        return status
    stop = threading.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda *_: stop.set())
    context = multiprocessing.get_context("spawn")
    events = context.Queue()

    def gather() -> None:
        while True:
            event, seconds = events.get()
            metrics.record(event, seconds)

    threading.Thread(target=gather, daemon=True).start()

    started_at = [0.0] * arguments.concurrency
    delays = [1.0] * arguments.concurrency

    def started(index: int) -> multiprocessing.process.BaseProcess:
        name = f"{base}-{index}"
        consumer = context.Process(
            target=consume_and_exit, args=(arguments.target, name, *options, events)
        )
        consumer.start()
        started_at[index] = time.monotonic()
        return consumer

    consumers = [started(i) for i in range(arguments.concurrency)]
    log(f"worker {base} solving with {arguments.concurrency} consumers")
    log(settings)
    while not stop.wait(0.5):
        # A consumer that died (killed, out of memory, Redis unreachable) is
        # replaced: what it held is taken over after --reclaim-after. One that
        # keeps dying young is restarted ever less often, up to once a minute.
        for index, consumer in enumerate(consumers):
            if consumer.is_alive() or stop.is_set():
                continue
            lived = time.monotonic() - started_at[index]
            if lived < delays[index]:
                continue
            delays[index] = min(60.0, delays[index] * 2) if lived < 10 else 1.0
            ended = consumer.exitcode
            log(f"worker {base}: consumer {index} ended ({ended}), starting another")
            metrics.consumer_restarts.inc()
            consumers[index] = started(index)
    for consumer in consumers:
        if consumer.is_alive():
            consumer.terminate()  # SIGTERM: the consumer stores what it holds, then stops
    for consumer in consumers:
        consumer.join(timeout=9)
    log(f"worker {base} stopped after {time.monotonic() - began:.1f} s")
    return 0
