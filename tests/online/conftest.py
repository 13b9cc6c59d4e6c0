import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from processes import (  # noqa: F401 (shared with the test modules)
    RSS_MB,
    exits_with_work_in_flight,
    skip_what_sanitizers_distort,
)

HERE = pathlib.Path(__file__).parent
API_KEY = "test-key-5f1c9e0b7d"  # must never show in any output


def certs_dir() -> pathlib.Path:
    folder = os.environ.get("QERN_CA_DIR")
    if not folder:
        pytest.fail("run the online tests through tools/with-throwaway-ca.sh (make test does)")
    return pathlib.Path(folder)


@pytest.fixture(scope="session")
def sleep_recorder(tmp_path_factory):
    """A shared library that records the library's pauses instead of waiting."""
    library = tmp_path_factory.mktemp("recorder") / "sleep_recorder.so"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(
        [
            "cc",
            "-shared",
            "-fPIC",
            "-O2",
            "-o",
            str(library),
            str(HERE / "sleep_recorder.c"),
            "-ldl",
        ],
        check=True,
        env=env,
    )
    return library


class Scenario:
    """A scenario server process on 127.0.0.1."""

    def __init__(self, name, not_ready=0, cert="server", record=None):
        folder = certs_dir()
        env = dict(os.environ)
        if record is not None:
            env["SCENARIO_RECORD"] = str(record)
        self.process = subprocess.Popen(
            [
                sys.executable,
                str(HERE / "scenario_server.py"),
                name,
                str(folder / f"{cert}.pem"),
                str(folder / f"{cert}.key"),
                str(not_ready),
                API_KEY,
            ],
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        self.port = int(self.process.stdout.readline())
        self.origin = f"https://localhost:{self.port}"

    def stop(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


@pytest.fixture
def scenario():
    started = []

    def start(name, not_ready=0, cert="server", record=None):
        server = Scenario(name, not_ready, cert, record)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


class Outcome:
    def __init__(self, completed, sleep_log, elapsed):
        self.elapsed = elapsed
        self.stdout = completed.stdout
        self.stderr = completed.stderr
        self.returncode = completed.returncode
        lines = self.stdout.strip().splitlines()
        self.result = lines[-1] if lines else ""
        self.sleeps = pauses(sleep_log.read_text() if sleep_log.exists() else "")


def pauses(log):
    """The pauses in seconds, from the recorder's lines "p SLICES" (slices of
    100 ms)."""
    found = []
    for line in log.splitlines():
        slices = int(line.split()[1])
        found.append(slices // 10 if slices % 10 == 0 else slices / 10)
    return found


@pytest.fixture
def solve_online(sleep_recorder, tmp_path):
    """Solves in a fresh interpreter against an origin; the last line printed
    is the repr of the result or of the exception."""

    def run(items, origin, background=False, timeout=120, code=None, prefix=(), **env_extra):
        sleep_log = tmp_path / "sleeps"
        sleep_log.unlink(missing_ok=True)
        env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
        env.update(
            QERN_API_URL=origin,
            QERN_API_KEY=API_KEY,
            QERN_TEST_SLEEP_LOG=str(sleep_log),
            # after any runtime already preloaded (a sanitizer's comes first)
            LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(sleep_recorder)])),
        )
        env.update(env_extra)
        call = (
            """
            import queue, qernx
            box = queue.Queue()
            qernx.complete_subset_sum_async(ITEMS, box.put)
            print(repr(box.get(timeout=TIMEOUT)))
            """
            if background
            else """
            import qernx
            try:
                print(repr(qernx.complete_subset_sum(ITEMS)))
            except Exception as error:
                print(repr(error))
            """
        )
        code = textwrap.dedent(code or call)
        code = code.replace("ITEMS", repr(items)).replace("TIMEOUT", str(timeout))
        started = time.monotonic()
        completed = subprocess.run(
            [*prefix, sys.executable, "-c", code],
            capture_output=True,
            text=True,
            env=env,
            timeout=timeout,
        )
        outcome = Outcome(completed, sleep_log, time.monotonic() - started)
        assert API_KEY not in outcome.stdout and API_KEY not in outcome.stderr
        assert completed.returncode == 0, completed.stderr[-3000:]
        return outcome

    return run


STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00 ")


def assert_every_line_stamped(log):
    """Every line the service or a worker wrote starts with its UTC time."""
    unstamped = [line for line in log.splitlines() if not STAMP.match(line)]
    assert not unstamped, unstamped[:5]


def limit_open_files(count):
    import resource

    resource.setrlimit(resource.RLIMIT_NOFILE, (count, count))


class Service:
    """`python -m qernx_service` on a free port of 127.0.0.1, logging to a file."""

    def __init__(
        self, log_path, *options, cert="server", keys=API_KEY, open_files=None, environment=None
    ):
        folder = certs_dir()
        env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
        env["QERN_SERVICE_KEYS"] = keys
        env.update(environment or {})
        self.log_path = log_path
        with open(log_path, "w") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "qernx_service", "--port", "0"]
                + ["--cert", str(folder / f"{cert}.pem"), "--key", str(folder / f"{cert}.key")]
                + list(options),
                stdout=subprocess.DEVNULL,
                stderr=log,
                env=env,
                # a descriptor limit of its own, soft and hard, when asked
                preexec_fn=None if open_files is None else lambda: limit_open_files(open_files),
            )
        deadline = time.monotonic() + 30
        while "listening on" not in self.log():
            assert self.process.poll() is None, self.log()
            assert time.monotonic() < deadline, "the service did not start"
            time.sleep(0.05)
        first = self.log().splitlines()[0]
        self.port = int(first.rsplit(":", 1)[1])
        self.origin = f"https://localhost:{self.port}"

    def log(self):
        return self.log_path.read_text()

    def stop(self, signal_number=signal.SIGTERM):
        """Stops the service; returns its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        try:
            return self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise


@pytest.fixture
def service(tmp_path):
    """Starts reference services; each is stopped at the end and must have
    kept the key out of its log."""
    started = []

    def start(*options, **kwargs):
        server = Service(tmp_path / f"service-{len(started)}.log", *options, **kwargs)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()
        assert API_KEY not in server.log()
        assert_every_line_stamped(server.log())


def pytest_collection_modifyitems(config, items):
    skip_what_sanitizers_distort(items)


def free_port() -> int:
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# redis-server and redis-cli are not ours to sanitize: they run without the
# sanitizer runtime a sanitized test run preloads.
PLAIN_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


class RedisServer:
    """Debian's redis-server on a free port of 127.0.0.1, its files in `folder`;
    `options` come last and override the defaults."""

    def __init__(self, folder: pathlib.Path, *options: str):
        self.folder = folder
        self.options = list(options)
        self.port = free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.start()

    def start(self):
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1"]
            + ["--dir", str(self.folder), "--save", "", "--appendonly", "no"]
            + self.options,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + 20
        while (
            subprocess.run(
                ["redis-cli", "-p", str(self.port), "ping"], capture_output=True, text=True
            ).stdout.strip()
            != "PONG"
        ):
            assert self.process.poll() is None, "redis-server stopped"
            assert time.monotonic() < deadline, "redis-server did not start"
            time.sleep(0.05)

    def cli(self, *arguments, check=True):
        return subprocess.run(
            ["redis-cli", "-p", str(self.port), *arguments],
            capture_output=True,
            text=True,
            check=check,
            env=PLAIN_ENV,
        ).stdout

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=20)


@pytest.fixture
def redis_server(tmp_path):
    server = RedisServer(tmp_path)
    yield server
    server.stop()


class Worker:
    """`python -m qernx_service worker` in a process group of its own; without
    a URL, the options say where Redis is."""

    def __init__(self, log_path, url, *options, environment=None):
        self.log_path = log_path
        where = ["--redis", url] if url else []
        env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
        env.update(environment or {})
        with open(log_path, "w") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "qernx_service", "worker", *where, *options],
                stdout=subprocess.DEVNULL,
                stderr=log,
                start_new_session=True,
                env=env,
            )
        deadline = time.monotonic() + 60
        while "solving with" not in self.log():
            assert self.process.poll() is None, self.log()
            assert time.monotonic() < deadline, "the worker did not start"
            time.sleep(0.05)

    def log(self):
        return self.log_path.read_text()

    def signal_group(self, number):
        os.killpg(self.process.pid, number)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.signal_group(signal.SIGKILL)
            self.process.wait()
            raise


@pytest.fixture
def worker(tmp_path):
    """Starts solver workers; each is stopped at the end."""
    started = []

    def start(url, *options, **kwargs):
        made = Worker(tmp_path / f"worker-{len(started)}.log", url, *options, **kwargs)
        started.append(made)
        return made

    yield start
    for made in started:
        if made.process.poll() is None:
            made.signal_group(signal.SIGCONT)
            made.stop()
        assert_every_line_stamped(made.log())


@pytest.fixture
def sentinel_group(tmp_path):
    """A Redis primary, a replica and three sentinels (see sentinel_group.py)."""
    from sentinel_group import SentinelGroup

    group = SentinelGroup(tmp_path / "redis")
    yield group
    group.stop()
