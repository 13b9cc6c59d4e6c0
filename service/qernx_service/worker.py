"""`python -m qernx_service worker`: solves problems queued in Redis.

Each of `concurrency` consumers takes one problem at a time, first taking
over problems another consumer has held longer than `reclaim_after` seconds
(a worker that died), then waiting for new ones; a solver process per
consumer does the solving. A problem is acknowledged only once its result is
stored, so none is lost."""

from __future__ import annotations

import argparse
import json
import os
import signal
import socket
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor
from datetime import datetime, timezone
from typing import Any

import redis
from redis.exceptions import RedisError, ResponseError

from .embedded import solver_processes
from .protocol import MAX_TOTAL
from .redis_backend import GROUP, STORE_RESULT, STREAM, job_key, queued_key
from .solver import solve_payload


def log(line: str) -> None:
    stamp = datetime.now(timezone.utc).isoformat(timespec="milliseconds")
    sys.stderr.write(f"{stamp} {line}\n")
    sys.stderr.flush()


class Consumer:
    def __init__(
        self,
        client: Any,
        name: str,
        pool: ProcessPoolExecutor,
        reclaim_after: float,
        result_ttl: int,
        stop: threading.Event,
    ) -> None:
        self.client = client
        self.name = name
        self.pool = pool
        self.reclaim_ms = int(reclaim_after * 1000)
        self.result_ttl = result_ttl
        self.stop = stop
        self.store = client.register_script(STORE_RESULT)

    def run(self) -> None:
        while not self.stop.is_set():
            try:
                for entry_id, fields in self.next_entries():
                    self.handle(entry_id, fields)
            except (RedisError, OSError) as error:
                log(f"{self.name}: Redis unavailable: {error}")
                self.stop.wait(1)

    def next_entries(self) -> list[tuple[bytes, dict[bytes, bytes]]]:
        claimed = self.client.xautoclaim(
            STREAM, GROUP, self.name, min_idle_time=self.reclaim_ms, start_id="0-0", count=1
        )
        entries = [(i, f) for i, f in claimed[1] if f]
        if entries:
            log(f"{self.name}: took over {entries[0][1].get(b'id', b'?').decode()}")
            return entries
        read = self.client.xreadgroup(GROUP, self.name, {STREAM: ">"}, count=1, block=1000)
        return [(i, f) for _, batch in read or [] for i, f in batch if f]

    def handle(self, entry_id: bytes, fields: dict[bytes, bytes]) -> None:
        request_id = fields.get(b"id", b"").decode()
        owner = fields.get(b"owner", b"").decode()
        state, payload = "failed", b""
        try:
            items = json.loads(fields[b"items"])
            if not all(isinstance(x, int) and x >= 0 for x in items) or sum(items) > MAX_TOTAL:
                raise ValueError("not a problem the service accepts")
            payload, seconds = self.pool.submit(solve_payload, items).result()
            state = "done"
            log(f"{self.name}: solved {request_id} in {seconds * 1000:.1f} ms")
        except Exception as error:  # a bad entry must not stop the worker
            log(f"{self.name}: solve {request_id} failed: {error}")
        self.store(
            keys=[job_key(request_id), STREAM, queued_key(owner)],
            args=[state, payload, self.result_ttl, GROUP, entry_id],
        )


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m qernx_service worker",
        description="Solve the problems that front-ends queue in Redis.",
    )
    parser.add_argument("--redis", required=True, help="redis://host:port/db")
    parser.add_argument("--concurrency", type=int, default=os.cpu_count() or 1)
    parser.add_argument(
        "--reclaim-after",
        type=float,
        default=30.0,
        help="seconds after which a problem held by a silent worker is taken over (default 30)",
    )
    parser.add_argument(
        "--result-ttl", type=int, default=3600, help="seconds a result is kept (default 3600)"
    )
    arguments = parser.parse_args(argv)
    if arguments.concurrency < 1:
        parser.error("--concurrency must be 1 or more")
    if not arguments.reclaim_after > 0 or arguments.result_ttl < 1:
        parser.error("--reclaim-after and --result-ttl must be above 0")
    return arguments


def main(argv: list[str]) -> int:
    arguments = parse_arguments(argv)
    stop = threading.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda *_: stop.set())
    pool = solver_processes(arguments.concurrency)
    pool.submit(solve_payload, []).result()  # the solver processes are up
    base = f"{socket.gethostname()}-{os.getpid()}"
    threads = []
    for index in range(arguments.concurrency):
        client = redis.Redis.from_url(arguments.redis, socket_timeout=10)
        try:
            client.xgroup_create(STREAM, GROUP, id="0", mkstream=True)
        except ResponseError as error:
            if "BUSYGROUP" not in str(error):
                raise
        except (RedisError, OSError) as error:
            log(f"worker: cannot reach Redis: {error}")
            pool.shutdown(cancel_futures=True)
            return 1
        consumer = Consumer(
            client, f"{base}-{index}", pool, arguments.reclaim_after, arguments.result_ttl, stop
        )
        threads.append(threading.Thread(target=consumer.run, name=consumer.name))
    for thread in threads:
        thread.start()
    log(f"worker {base} solving with {arguments.concurrency} consumer(s)")
    while not stop.is_set():
        stop.wait(0.5)
    started = time.monotonic()
    for thread in threads:
        thread.join(timeout=max(0.1, 8 - (time.monotonic() - started)))
    pool.shutdown(cancel_futures=True)
    log(f"worker {base} stopped")
    return 0
