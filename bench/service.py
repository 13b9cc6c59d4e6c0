"""Times the solver service: gzip levels for result payloads, submissions per
second and poll latency over kept-alive connections at 1, 10 and 100
clients, and solves per second with 1 and 2 solvers, against the embedded
and the Redis back-ends; h2load at 100, 500 and 1,000 clients against one
Redis front-end, counting 5xx answers; a front-end's memory after rounds of
5,000 idle TLS connections; and the module's own background online solves
(500 at once, and TCP connections per solve).

Run it with `make bench-service` (which provides a throwaway CA); `python
bench/service.py PART...` runs only the parts named (see SECTIONS). Clients run
in a process of their own, raw HTTP/1.1 over asyncio TLS streams, so that the
service, not the client, is what is measured."""

from __future__ import annotations

import gzip
import json
import os
import pathlib
import random
import re
import secrets
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import zlib

KEY = secrets.token_urlsafe(16)
# Keys of their own for h2load's clients, so that no per-key bound hides
# what the service does under load.
LOAD_KEYS = [secrets.token_urlsafe(16) for _ in range(4)]

CLIENTS = """
import asyncio, json, ssl, sys, time

PORT, COUNT, SECONDS, KIND, KEY, CA, TARGET = sys.argv[1:8]
COUNT, SECONDS = int(COUNT), float(SECONDS)

def build(i):
    if KIND == "submit":
        body = b"[3,5,%d]" % (i % 1000)
        return (b"POST /v0/app/sspu HTTP/1.1\\r\\nHost: x\\r\\nx-api-key: "
                + KEY.encode() + b"\\r\\ncontent-type: application/json\\r\\n"
                + b"content-length: %d\\r\\n\\r\\n" % len(body) + body)
    return (b"GET /v0/result?requestId=" + TARGET.encode()
            + b" HTTP/1.1\\r\\nHost: x\\r\\nx-api-key: " + KEY.encode() + b"\\r\\n\\r\\n")

async def client(context, deadline, times):
    reader, writer = await asyncio.open_connection("127.0.0.1", int(PORT), ssl=context,
                                                   server_hostname="localhost")
    i = 0
    while time.monotonic() < deadline:
        started = time.perf_counter()
        writer.write(build(i))
        head = await reader.readuntil(b"\\r\\n\\r\\n")
        length = int(head.lower().split(b"content-length: ")[1].split(b"\\r\\n")[0])
        await reader.readexactly(length)
        assert head.startswith(b"HTTP/1.1 200 "), head
        times.append(time.perf_counter() - started)
        i += 1
    writer.close()

async def main():
    context = ssl.create_default_context(cafile=CA)
    times = []
    deadline = time.monotonic() + SECONDS
    began = time.monotonic()
    await asyncio.gather(*(client(context, deadline, times) for _ in range(COUNT)))
    print(json.dumps({"count": len(times), "seconds": time.monotonic() - began, "times": times}))

asyncio.run(main())
"""


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Processes:
    def __init__(self, folder: pathlib.Path) -> None:
        self.folder = folder
        self.running: list[subprocess.Popen[bytes]] = []

    def start(self, name: str, command: list[str], ready: str | None) -> subprocess.Popen[bytes]:
        log = self.folder / f"{name}.log"
        with open(log, "w") as sink:
            env = dict(os.environ, QERN_SERVICE_KEYS=",".join([KEY, *LOAD_KEYS]))
            process = subprocess.Popen(command, stdout=sink, stderr=sink, env=env)
        self.running.append(process)
        deadline = time.monotonic() + 60
        while ready is not None and ready not in log.read_text():
            if process.poll() is not None or time.monotonic() > deadline:
                raise SystemExit(f"{name} did not start:\n{log.read_text()}")
            time.sleep(0.05)
        return process

    def service(self, certs: pathlib.Path, *options: str) -> int:
        port = free_port()
        self.start(
            f"service-{port}",
            [sys.executable, "-m", "qernx_service", "--port", str(port)]
            + ["--cert", str(certs / "server.pem"), "--key", str(certs / "server.key")]
            + list(options),
            "listening on",
        )
        return port

    def stop(self, process: subprocess.Popen[bytes]) -> None:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        process.wait(timeout=30)
        self.running.remove(process)

    def stop_all(self, but: str | None = None) -> None:
        for process in list(self.running):
            if process.args[0] != but:  # type: ignore[index]
                self.stop(process)


def clients(port: int, count: int, kind: str, ca: pathlib.Path, target: str = "") -> dict:
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CLIENTS), str(port), str(count), "3", kind]
        + [KEY, str(ca), target],
        capture_output=True,
        text=True,
        check=True,
    )
    outcome = json.loads(completed.stdout)
    times = sorted(outcome["times"])
    return {
        "rate": outcome["count"] / outcome["seconds"],
        "median_ms": statistics.median(times) * 1000,
        "p99_ms": times[int(len(times) * 0.99)] * 1000,
    }


def https(port: int, ca: pathlib.Path):  # type: ignore[no-untyped-def]
    import http.client
    import ssl

    context = ssl.create_default_context(cafile=str(ca))
    return http.client.HTTPSConnection("localhost", port, context=context, timeout=30)


def solved_id(port: int, ca: pathlib.Path, key: str = KEY) -> str:
    connection = https(port, ca)
    connection.request("POST", "/v0/app/sspu", body=b"[3,5,64]", headers={"x-api-key": key})
    request_id = json.loads(connection.getresponse().read())["requestId"]
    while True:
        connection.request("GET", f"/v0/result?requestId={request_id}", headers={"x-api-key": key})
        response = connection.getresponse()
        response.read()
        if response.status == 200:
            return str(request_id)
        time.sleep(0.01)


def heavy_problems(count: int) -> list[bytes]:
    rng = random.Random(4)
    problems = []
    for _ in range(count):
        items = [rng.randint(1, 200) for _ in range(5000)]
        while sum(items) > 524287:
            items.pop()
        problems.append(json.dumps(items, separators=(",", ":")).encode())
    return problems


def solves_per_second(port: int, ca: pathlib.Path, problems: list[bytes]) -> float:
    connection = https(port, ca)
    started = time.monotonic()
    ids = []
    for body in problems:
        connection.request("POST", "/v0/app/sspu", body=body, headers={"x-api-key": KEY})
        ids.append(json.loads(connection.getresponse().read())["requestId"])
    for request_id in ids:
        while True:
            connection.request(
                "GET", f"/v0/result?requestId={request_id}", headers={"x-api-key": KEY}
            )
            response = connection.getresponse()
            response.read()
            if response.status == 200:
                break
            time.sleep(0.002)
    return len(problems) / (time.monotonic() - started)


def gzip_levels() -> None:
    rng = random.Random(1)
    items = [rng.randint(1, 3000) for _ in range(150)]
    reach = 1
    for w in items:
        reach |= reach << w
    sparse = reach.to_bytes(8 * (sum(items) // 64 + 1), "little")
    dense = os.urandom(len(sparse))
    print(f"gzip of result payloads ({len(sparse)} bytes: a real bitset, and random bytes)")
    print("  level   bitset ms  bitset bytes   random ms  random bytes")
    for level in (1, 2, 3, 4, 5, 6, 9):
        row = []
        for raw in (sparse, dense):
            started = time.perf_counter()
            for _ in range(20):
                packed = gzip.compress(raw, level, mtime=0)
            row += [(time.perf_counter() - started) / 20 * 1000, len(packed)]
        print(f"  {level:>5}   {row[0]:>9.2f}  {row[1]:>12}   {row[2]:>9.2f}  {row[3]:>12}")
    assert zlib.decompress(gzip.compress(sparse, 1), 31) == sparse


PARTS = """
import gzip, json, sys, time
from qernx_service.protocol import parse_problem
from qernx_service.solver import bitset_bytes, prepare_process
prepare_process()
bodies = [line.encode() for line in sys.stdin.read().split()]
parse = solve = pack = 0.0
size = 0
for body in bodies:
    t0 = time.perf_counter()
    items = parse_problem(body)
    t1 = time.perf_counter()
    raw = bitset_bytes(items)
    t2 = time.perf_counter()
    payload = gzip.compress(raw, 1, mtime=0)
    t3 = time.perf_counter()
    parse += t1 - t0
    solve += t2 - t1
    pack += t3 - t2
    size += len(payload)
n = len(bodies)
print(json.dumps([parse / n * 1000, solve / n * 1000, pack / n * 1000, size // n, len(raw)]))
"""


def where_the_time_goes(problems: list[bytes]) -> None:
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(PARTS)],
        input=b"\n".join(problems),
        capture_output=True,
        check=True,
    )
    parse, solve, pack, size, raw = json.loads(completed.stdout)
    body = sum(map(len, problems)) // len(problems)
    print(
        f"  one such problem: {body} bytes of JSON; reading it {parse:.2f} ms, solving"
        f" {solve:.2f} ms, gzip (level 1) {pack:.2f} ms of {raw} bytes into {size}"
    )


IDLE = """
import asyncio, resource, ssl, sys

async def main(port, count, cafile):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    context = ssl.create_default_context(cafile=cafile)
    gate = asyncio.Semaphore(200)
    writers = []

    async def one():
        async with gate:
            _, writer = await asyncio.open_connection(
                "127.0.0.1", port, ssl=context, server_hostname="localhost")
            writers.append(writer)

    await asyncio.gather(*(one() for _ in range(count)))
    print("holding", len(writers), flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
    for writer in writers:
        writer.transport.abort()
    print("dropped", flush=True)

asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]))
"""


def port_of(process: subprocess.Popen[bytes]) -> int:
    return int(process.args[process.args.index("--port") + 1])  # type: ignore[union-attr, index]


def rss_mb(pid: int) -> float:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"no VmRSS for {pid}")


def open_connections(metrics_port: int) -> float:
    import urllib.request

    with urllib.request.urlopen(f"http://127.0.0.1:{metrics_port}/metrics", timeout=10) as page:
        for line in page.read().decode().splitlines():
            if line.startswith("qernx_connections_open "):
                return float(line.split()[1])
    raise RuntimeError("no qernx_connections_open on the metrics page")


def idle_rounds(processes: Processes, certs: pathlib.Path, ca: pathlib.Path, url: str) -> None:
    """A front-end's RSS after each of 5 rounds of 5,000 TLS connections
    opened, held idle and dropped at once; for each back-end."""
    rounds, count = 5, 5000
    print(f"\nfront-end memory (RSS, MB) around rounds of {count} idle TLS connections")
    print("  back-end  start  " + "  ".join(f"held/after {n + 1:<2}" for n in range(rounds)))
    for backend in ("embedded", "redis"):
        extra = ["--redis", url] if backend == "redis" else ["--workers", "1"]
        processes.service(
            certs, *extra, "--max-connections-per-client", str(2 * count), "--metrics-port", "0"
        )
        front_end = processes.running[-1]
        log = processes.folder / f"service-{port_of(front_end)}.log"
        while not (found := re.findall(r"metrics on http://\S+:(\d+)/metrics", log.read_text())):
            time.sleep(0.05)
        metrics_port = int(found[0])
        port = port_of(front_end)
        pid = processes.running[-1].pid
        row = [f"{rss_mb(pid):>5.0f}"]
        after = []
        for _ in range(rounds):
            flood = subprocess.Popen(
                [sys.executable, "-c", textwrap.dedent(IDLE), str(port), str(count), str(ca)],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                text=True,
            )
            assert flood.stdout is not None and flood.stdin is not None
            held = flood.stdout.readline().split()
            if held != ["holding", str(count)]:
                raise SystemExit(f"the idle connections did not all open: {held}")
            peak = rss_mb(pid)
            flood.stdin.write("\n")
            flood.stdin.flush()
            flood.stdout.readline()
            flood.wait(timeout=60)
            deadline = time.monotonic() + 60
            while open_connections(metrics_port) > 0 and time.monotonic() < deadline:
                time.sleep(0.1)
            time.sleep(3)  # a few of the front-end's heap checks (one a second)
            after.append(rss_mb(pid))
            row.append(f"{peak:>5.0f}/{after[-1]:<5.0f}")
        processes.stop_all(but="redis-server")
        ratio = after[-1] / after[0]
        print(f"  {backend:<8} {'   '.join(row)}  (fifth/first after: {ratio:.2f}x)")


def h2load_rounds(processes: Processes, certs: pathlib.Path, ca: pathlib.Path, url: str) -> None:
    """h2load (HTTP/1.1 over TLS) against one Redis front-end with the default
    pool: submissions, and polls of a solved result, at 100, 500 and 1,000
    clients. The clients are split over LOAD_KEYS, one h2load each, and every
    queue bound is set out of reach: an answer other than 2xx is a fault of
    the service's, not a 429."""
    h2load = shutil.which("h2load")
    if h2load is None:
        print("\nh2load: not installed (Debian nghttp2-client); skipped")
        return
    body = processes.folder / "problem.json"
    body.write_text("[3,5,64]")
    worker = [sys.executable, "-m", "qernx_service", "worker", "--redis", url]
    processes.start("h2load-worker", worker + ["--concurrency", "1"], "solving with")
    print(
        f"\nh2load --h1 against one Redis front-end (default --redis-pool), {len(LOAD_KEYS)} keys"
    )
    print("  clients  kind     requests    req/s     2xx    4xx    5xx  failed")
    for clients in (100, 500, 1000):
        port = processes.service(
            certs,
            "--redis",
            url,
            "--max-connections-per-client",
            str(2 * clients),
            "--max-queued",
            "10000000",
            "--max-queued-per-key",
            "10000000",
        )
        front_end = processes.running[-1]
        origin = f"https://127.0.0.1:{port}"
        targets = {key: solved_id(port, ca, key) for key in LOAD_KEYS}
        for kind in ("submit", "poll"):
            runs = []
            for key in LOAD_KEYS:
                command = [h2load, "--h1", "-c", str(clients // len(LOAD_KEYS)), "-m", "1"]
                command += ["-n", str(max(4000, 10 * clients) // len(LOAD_KEYS))]
                command += ["-H", f"x-api-key: {key}"]
                if kind == "submit":
                    command += ["-d", str(body), "-H", "content-type: application/json"]
                    command.append(f"{origin}/v0/app/sspu")
                else:
                    command.append(f"{origin}/v0/result?requestId={targets[key]}")
                runs.append(subprocess.Popen(command, stdout=subprocess.PIPE, text=True))
            totals = dict.fromkeys(("2xx", "4xx", "5xx", "done", "failed", "rate"), 0.0)
            for run in runs:
                output, _ = run.communicate(timeout=600)
                codes = re.search(r"(\d+) 2xx, (\d+) 3xx, (\d+) 4xx, (\d+) 5xx", output)
                done = re.search(r"(\d+) done, \d+ succeeded, (\d+) failed", output)
                rate = re.search(r"finished in [\d.]+\w+, ([\d.]+) req/s", output)
                if not (codes and done and rate):
                    raise SystemExit(f"h2load said:\n{output}")
                totals["2xx"] += int(codes[1])
                totals["4xx"] += int(codes[3])
                totals["5xx"] += int(codes[4])
                totals["done"] += int(done[1])
                totals["failed"] += int(done[2])
                totals["rate"] += float(rate[1])
            print(
                f"  {clients:>7}  {kind:<7} {totals['done']:>9.0f} {totals['rate']:>8.0f}"
                f" {totals['2xx']:>7.0f} {totals['4xx']:>6.0f} {totals['5xx']:>6.0f}"
                f" {totals['failed']:>7.0f}"
            )
        processes.stop(front_end)
    processes.stop_all(but="redis-server")


ONLINE_SOLVES = """
import queue, resource, sys, time, qernx

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
count = int(sys.argv[1])
box = queue.Queue()
started = time.monotonic()
for i in range(count):
    qernx.complete_subset_sum_async([3, 5, 64 + i % 100], box.put)
failed = sum(box.get(timeout=600) is None for _ in range(count))
print(time.monotonic() - started, failed)
"""


def module_solves(origin: str, count: int, ca: pathlib.Path) -> tuple[float, int]:
    """`count` background online solves of the module at once: seconds until
    the last result, and how many failed."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
    env.update(QERN_API_URL=origin, QERN_API_KEY=KEY, QERN_CA_BUNDLE=str(ca))
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(ONLINE_SOLVES), str(count)],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,  # libcurl's trace of every transfer
        text=True,
        env=env,
        check=True,
    )
    seconds, failed = completed.stdout.split()[-2:]
    return float(seconds), int(failed)


class CountingProxy:
    """Forwards TCP connections to a port, counting those it accepts (TLS
    passes through it untouched)."""

    def __init__(self, port: int) -> None:
        import threading

        self.port_to = port
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=1024)
        self.port = int(self.listener.getsockname()[1])
        self.accepted = 0
        self.sockets: list[socket.socket] = []
        self.thread = threading.Thread
        self.thread(target=self.accept, daemon=True).start()

    def accept(self) -> None:
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.accepted += 1
            upstream = socket.create_connection(("127.0.0.1", self.port_to))
            self.sockets += [client, upstream]
            for ends in ((client, upstream), (upstream, client)):
                self.thread(target=self.pump, args=ends, daemon=True).start()

    @staticmethod
    def pump(source: socket.socket, sink: socket.socket) -> None:
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self) -> None:
        self.listener.close()
        for each in self.sockets:
            each.close()


def online_solves(processes: Processes, certs: pathlib.Path, url: str, worker: list[str]) -> None:
    """The module's background online solves of small problems, 500 at once,
    against each back-end; then TCP connections per solve, counted by a proxy
    in front of the service (one is the aim: the submission and every poll
    share the solve's connection)."""
    ca = certs / "ca.pem"
    count, counted = 500, 100
    print(f"\nthe module's online solves, {count} background solves of small problems at once")
    print("  back-end  seconds (aim < 1)  failed  connections per solve (aim 1)")
    for backend in ("embedded", "redis"):
        extra = ["--redis", url] if backend == "redis" else ["--workers", "2"]
        port = processes.service(certs, *extra, "--max-connections-per-client", "4096")
        if backend == "redis":
            processes.start("worker-online", worker + ["--concurrency", "2"], "solving with")
        module_solves(f"https://localhost:{port}", 20, ca)  # the service warmed up
        seconds, failed = module_solves(f"https://localhost:{port}", count, ca)
        proxy = CountingProxy(port)
        try:
            module_solves(f"https://localhost:{proxy.port}", counted, ca)
        finally:
            proxy.close()
        print(f"  {backend:<8} {seconds:>17.2f} {failed:>7} {proxy.accepted / counted:>30.2f}")
        processes.stop_all(but="redis-server")


SECTIONS = ("gzip", "clients", "solves", "h2load", "memory", "online")


def main() -> None:
    certs = os.environ.get("QERN_CA_DIR")
    if not certs or shutil.which("redis-server") is None:
        raise SystemExit("run through `make bench-service` (a throwaway CA and redis-server)")
    parts = sys.argv[1:] or list(SECTIONS)
    unknown = set(parts) - set(SECTIONS)
    if unknown:
        known = ", ".join(SECTIONS)
        raise SystemExit(f"no such part: {', '.join(sorted(unknown))}; parts: {known}")
    ca = pathlib.Path(certs) / "ca.pem"
    if "gzip" in parts:
        gzip_levels()
    folder = pathlib.Path(tempfile.mkdtemp(prefix="qernx-bench-"))
    processes = Processes(folder)
    redis_port = free_port()
    url = f"redis://127.0.0.1:{redis_port}/0"
    processes.start(
        "redis",
        ["redis-server", "--port", str(redis_port), "--bind", "127.0.0.1", "--dir", str(folder)]
        + ["--save", "", "--appendonly", "no"],
        "Ready to accept connections",
    )
    worker = [sys.executable, "-m", "qernx_service", "worker", "--redis", url]
    problems = heavy_problems(300)
    rows: list[tuple] = []
    try:
        for backend in ("embedded", "redis") if "clients" in parts else ():
            extra = ["--redis", url] if backend == "redis" else ["--workers", "2"]
            port = processes.service(pathlib.Path(certs), *extra, "--max-queued-per-key", "100000")
            if backend == "redis":
                processes.start("worker-a", worker, "solving with")
            target = solved_id(port, ca)
            for count in (1, 10, 100):
                submitted = clients(port, count, "submit", ca)
                polled = clients(port, count, "poll", ca, target)
                rows.append((backend, count, submitted, polled))
            processes.stop_all(but="redis-server")
        if "clients" in parts:
            print("\nkept-alive clients: submissions and polls of a solved result, 3 s each")
            print("  back-end  clients  submit/s  median ms  p99 ms   poll/s  median ms  p99 ms")
            for backend, count, s, p in rows:
                print(
                    f"  {backend:<8} {count:>8} {s['rate']:>9.0f} {s['median_ms']:>10.2f}"
                    f" {s['p99_ms']:>7.2f} {p['rate']:>8.0f} {p['median_ms']:>10.2f}"
                    f" {p['p99_ms']:>7.2f}"
                )
        if "solves" in parts:
            print(
                f"\nsolves per second, {len(problems)} problems of about 5000 items, total < 524288"
            )
            print("  back-end  solvers  solves/s")
            for backend in ("embedded", "redis"):
                for solvers in (1, 2):
                    if backend == "embedded":
                        port = processes.service(pathlib.Path(certs), "--workers", str(solvers))
                    else:
                        port = processes.service(pathlib.Path(certs), "--redis", url)
                        for index in range(solvers):
                            name = f"worker-{solvers}-{index}"
                            processes.start(name, worker + ["--concurrency", "1"], "solving with")
                    rate = solves_per_second(port, ca, problems)
                    print(f"  {backend:<8} {solvers:>8} {rate:>9.0f}")
                    processes.stop_all(but="redis-server")
            where_the_time_goes(problems)
        if "h2load" in parts:
            h2load_rounds(processes, pathlib.Path(certs), ca, url)
        if "memory" in parts:
            idle_rounds(processes, pathlib.Path(certs), ca, url)
        if "online" in parts:
            online_solves(processes, pathlib.Path(certs), url, worker)
    finally:
        processes.stop_all()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
