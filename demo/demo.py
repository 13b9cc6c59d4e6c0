"""A short tour of qernx: local solves and membership checks, then online
solves, blocking and in the background, through the reference solver service
on 127.0.0.1, all checked against each other and against Python's int.

Run it with `make demo`, which starts it inside a private mount namespace that
trusts a throwaway CA (tools/with-throwaway-ca.sh)."""

from __future__ import annotations

import contextlib
import os
import pathlib
import queue
import random
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import qernx

OUTPUT = pathlib.Path("build/demo")


def sums_of(words: list[int], limit: int = 40) -> str:
    """The reachable sums a bitset holds, the first `limit` of them."""
    found = [64 * i + b for i, w in enumerate(words) for b in range(64) if w >> b & 1]
    shown = ", ".join(map(str, found[:limit]))
    return shown + (f", ... ({len(found)} sums)" if len(found) > limit else "")


def oracle(items: list[int]) -> int:
    reach = 1
    for w in items:
        reach |= reach << w
    return reach


def as_int(words: list[int]) -> int:
    return int.from_bytes(b"".join(w.to_bytes(8, "little") for w in words), "little")


def local_tour() -> bool:
    os.environ["QERN_KILLSWITCH"] = "1"  # the in-process solver
    print("qernx: which totals can some subset of the items reach?\n")
    for items in ([3, 5], [1, 2], [3, 3, 3], [64], [100, 100], [7, 0, 7]):
        words = qernx.complete_subset_sum(items)
        print(f"  items {items!s:<12} words {words!s:<28} sums {sums_of(words)}")

    items = [12, 7, 30, 45]
    words = qernx.complete_subset_sum(items)
    print(f"\nmembership in the sums of {items}:")
    for s in (19, 20, 49, 94, 95):
        print(f"  can {s:>3} be reached? {qernx.subset_sum_result_check(words, s)}")
    print("  can 200 be reached?", end=" ", flush=True)
    print(f" -> {qernx.subset_sum_result_check(words, 200)}")

    rng = random.Random(1)
    big = [rng.randint(1, 2000) for _ in range(1000)]
    start = time.perf_counter()
    words = qernx.complete_subset_sum(big)
    ours = time.perf_counter() - start
    start = time.perf_counter()
    expected = oracle(big)
    theirs = time.perf_counter() - start
    equal = as_int(words) == expected
    print(
        f"\n1000 random items in [1, 2000], total {sum(big)}: {len(words)} words in"
        f" {ours * 1000:.1f} ms; Python's int took {theirs * 1000:.1f} ms;"
        f" results {'equal' if equal else 'DIFFERENT'}"
    )
    return equal


@contextlib.contextmanager
def output_to(path: pathlib.Path):
    """Sends this process's standard output and error (the module's progress
    lines and libcurl's trace) to a file while the block runs."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(1), os.dup(2)
    with open(path, "a") as log:
        os.dup2(log.fileno(), 1)
        os.dup2(log.fileno(), 2)
        try:
            yield
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])


def started(command: list[str], log: pathlib.Path, ready: str, **env: str) -> subprocess.Popen:
    """Starts `command` with its output in `log`; returns once `ready` shows there."""
    with open(log, "w") as sink:
        process = subprocess.Popen(command, stdout=sink, stderr=sink, env=dict(os.environ, **env))
    deadline = time.monotonic() + 60
    while ready not in log.read_text():
        if process.poll() is not None or time.monotonic() > deadline:
            raise SystemExit(f"{command[0]} did not start:\n{log.read_text()}")
        time.sleep(0.05)
    return process


def stopped(process: subprocess.Popen) -> int:
    process.send_signal(signal.SIGTERM)
    return process.wait(timeout=30)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ReferenceService:
    """`python -m qernx_service` on a free port of 127.0.0.1."""

    def __init__(self, certs: pathlib.Path, key: str, log: pathlib.Path, *options: str):
        self.log = log
        self.process = started(
            [sys.executable, "-m", "qernx_service", "--port", "0"]
            + ["--cert", str(certs / "server.pem"), "--key", str(certs / "server.key")]
            + list(options),
            log,
            "listening on",
            QERN_SERVICE_KEYS=key,
        )
        self.port = int(log.read_text().splitlines()[0].rsplit(":", 1)[1])

    def stop(self) -> int:
        return stopped(self.process)


def online_tour() -> bool:
    certs = os.environ.get("QERN_CA_DIR")
    if not certs:
        print("\n(online part skipped: run `make demo` to start the reference service)")
        return True
    OUTPUT.mkdir(parents=True, exist_ok=True)
    trace = OUTPUT / "online-trace.log"
    trace.write_text("")
    key = secrets.token_urlsafe(24)
    service = ReferenceService(pathlib.Path(certs), key, OUTPUT / "service.log")
    origin = f"https://localhost:{service.port}"
    os.environ.update(QERN_API_URL=origin, QERN_API_KEY=key)
    del os.environ["QERN_KILLSWITCH"]  # back to the default: the online solver
    print(f"\nthe reference solver service listens on {origin}; solving online:")

    rng = random.Random(2)
    problems = [[3, 5], [64], [rng.randint(1, 3000) for _ in range(150)]]
    ok = True
    for items in problems:
        start = time.perf_counter()
        with output_to(trace):
            words = qernx.complete_subset_sum(items)
        took = time.perf_counter() - start
        os.environ["QERN_KILLSWITCH"] = "1"
        local = qernx.complete_subset_sum(items)
        del os.environ["QERN_KILLSWITCH"]
        equal = words == local and as_int(words) == oracle(items)
        ok &= equal
        shown = str(items) if len(items) < 5 else f"{len(items)} random items"
        count = f"{len(words)} word" + ("s" if len(words) > 1 else "")
        print(
            f"  blocking   {shown:<18} {count:>10} in {took:.2f} s,"
            f" {'equal to the local solve and to int' if equal else 'DIFFERENT'}"
        )

    batch = [[rng.randint(1, 1000) for _ in range(40)] for _ in range(12)]
    box: queue.Queue = queue.Queue()
    start = time.perf_counter()
    with output_to(trace):
        for index, items in enumerate(batch):
            qernx.complete_subset_sum_async(items, lambda w, i=index: box.put((i, w)))
        answers = dict(box.get(timeout=120) for _ in batch)
    took = time.perf_counter() - start
    exact = sum(
        answers[i] is not None and as_int(answers[i]) == oracle(p) for i, p in enumerate(batch)
    )
    ok &= exact == len(batch)
    print(
        f"  background {len(batch)} solves at once, {exact} of {len(batch)} exact, in {took:.2f} s"
    )

    status = service.stop()
    ok &= status == 0
    requests = sum(" /v0/" in line for line in service.log.read_text().splitlines())
    print(
        f"  the service answered {requests} requests and stopped with status {status};"
        f" its log: {service.log}, the transfers' trace: {trace}"
    )
    leaked = key in trace.read_text() or key in service.log.read_text()
    ok &= not leaked
    print(f"  the API key appears in {'the logs (WRONG)' if leaked else 'neither log'}")
    return ok


def redis_tour() -> bool:
    """One front-end and two solver workers sharing a throwaway redis-server."""
    certs = os.environ.get("QERN_CA_DIR")
    if not certs or shutil.which("redis-server") is None:
        print("\n(Redis part skipped: run `make demo`, which installs redis-server)")
        return True
    folder = pathlib.Path(tempfile.mkdtemp(prefix="qernx-demo-redis-"))
    port = free_port()
    url = f"redis://127.0.0.1:{port}/0"
    redis = started(
        ["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--dir", str(folder)]
        + ["--save", "", "--appendonly", "no"],
        OUTPUT / "redis.log",
        "Ready to accept connections",
    )
    key = secrets.token_urlsafe(24)
    processes = []
    try:
        service = ReferenceService(
            pathlib.Path(certs), key, OUTPUT / "service-redis.log", "--redis", url
        )
        processes.append(service.process)
        for name in ("a", "b"):
            worker = [sys.executable, "-m", "qernx_service", "worker", "--redis", url]
            processes.append(started(worker, OUTPUT / f"worker-{name}.log", "solving with"))
        os.environ.update(QERN_API_URL=f"https://localhost:{service.port}", QERN_API_KEY=key)
        print(f"\nRedis mode: redis-server on port {port}, one front-end, two workers")
        rng = random.Random(3)
        batch = [[rng.randint(1, 2000) for _ in range(60)] for _ in range(10)]
        box: queue.Queue = queue.Queue()
        start = time.perf_counter()
        with output_to(OUTPUT / "online-trace.log"):
            blocking = qernx.complete_subset_sum(batch[0])
            for index, items in enumerate(batch):
                qernx.complete_subset_sum_async(items, lambda w, i=index: box.put((i, w)))
            answers = dict(box.get(timeout=120) for _ in batch)
        took = time.perf_counter() - start
        exact = sum(
            answers[i] is not None and as_int(answers[i]) == oracle(p) for i, p in enumerate(batch)
        )
        exact_blocking = as_int(blocking) == oracle(batch[0])
        solved = {
            name: (OUTPUT / f"worker-{name}.log").read_text().count(" solved ") for name in "ab"
        }
        print(
            f"  1 blocking and {len(batch)} background solves, {exact + exact_blocking} of"
            f" {len(batch) + 1} exact, in {took:.2f} s; worker a solved {solved['a']},"
            f" worker b {solved['b']}"
        )
    finally:
        statuses = [stopped(p) for p in reversed(processes)]
        stopped(redis)
        shutil.rmtree(folder, ignore_errors=True)
    print(f"  front-end and workers stopped with statuses {statuses}")
    return exact == len(batch) and exact_blocking and statuses == [0] * len(statuses)


def main() -> None:
    ok = local_tour()
    ok &= online_tour()
    ok &= redis_tour()
    print("\nall results agree" if ok else "\nSOMETHING DISAGREES")
    if not ok:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
