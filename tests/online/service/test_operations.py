"""What an operator meets: settings refused in one line without a traceback,
log lines that all carry their time, start-up and shutdown lines that tell
the effective settings, and metrics where they belong."""

import re
import secrets
import socket
import subprocess
import sys
import time

import pytest
from conftest import API_KEY, certs_dir, free_port
from test_service_protocol import client_context, request, submit, wait_ready

pytestmark = pytest.mark.service_only

ISO_START = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00 ")


def plain_env(**extra):
    import os

    env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
    env.update(extra)
    return env


def certificate_options(cert="server.pem", key="server.key"):
    folder = certs_dir()
    return ["--cert", str(folder / cert), "--key", str(folder / key)]


def run_service(*options, worker=False):
    command = [sys.executable, "-m", "qernx_service"]
    command += ["worker", *options] if worker else [*certificate_options(), *options]
    return subprocess.run(
        command,
        capture_output=True,
        text=True,
        env=plain_env(QERN_SERVICE_KEYS=API_KEY),
        timeout=60,
    )


def held_port():
    """A port of 127.0.0.1 that something listens on."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen()
    return sock


@pytest.fixture
def busy_port():
    sock = held_port()
    yield sock.getsockname()[1]
    sock.close()


def redis_url_nobody_serves():
    return f"redis://127.0.0.1:{free_port()}/0"


BAD_SETTINGS = {
    "port-too-high": (["--port", "70000"], 2, "a port is 0 to 65535"),
    "port-not-a-number": (["--port", "https"], 2, "not a port number"),
    "no-solvers": (["--workers", "0"], 2, "must be 1 or more"),
    "missing-option": (["--workers"], 2, "expected one argument"),
    "unknown-option": (["--colour"], 2, "unrecognized arguments: --colour"),
    "host-unknown": (["--port", "0", "--host", "nowhere.invalid"], 1, "cannot listen on"),
    "redis-scheme": (["--redis", "http://127.0.0.1:6379/0"], 2, "must start with redis://"),
    "redis-unreachable": (
        ["--port", "0", "--redis", redis_url_nobody_serves()],
        3,
        "cannot reach Redis at redis://127.0.0.1:",
    ),
    "missing-key-file": (["--api-key-file", "/nonexistent/keys"], 2, "cannot read the key file"),
    "missing-signing-key": (
        ["--port", "0", "--signing-key-file", "/nonexistent/signing"],
        2,
        "cannot read the signing key",
    ),
}


@pytest.mark.parametrize(
    ("options", "status", "complaint"), BAD_SETTINGS.values(), ids=BAD_SETTINGS.keys()
)
def test_a_bad_setting_is_one_timestamped_line_and_a_failing_status(options, status, complaint):
    completed = run_service(*options)
    assert completed.returncode == status, completed.stderr
    lines = completed.stderr.splitlines()
    assert len(lines) == 1, completed.stderr
    assert complaint in lines[0] and ISO_START.match(lines[0]), lines[0]
    assert "Traceback" not in completed.stderr + completed.stdout


@pytest.mark.parametrize("which", ["cert", "key"])
@pytest.mark.parametrize("fault", ["missing", "not-pem", "directory"])
def test_an_unusable_certificate_or_key_is_named_in_one_line(tmp_path, which, fault):
    options = dict(zip(["--cert", "--key"], certificate_options()[1::2]))
    bad = tmp_path / "bad"
    if fault == "not-pem":
        bad.write_text("not a certificate\n")
    elif fault == "directory":
        bad.mkdir()
    options[f"--{which}"] = str(bad)
    completed = subprocess.run(
        [sys.executable, "-m", "qernx_service", "--port", "0"]
        + [part for pair in options.items() for part in pair],
        capture_output=True,
        text=True,
        env=plain_env(QERN_SERVICE_KEYS=API_KEY),
        timeout=60,
    )
    assert completed.returncode == 2
    (line,) = completed.stderr.splitlines()
    assert "cannot load the certificate" in line and str(bad) in line, line
    assert ISO_START.match(line) and "Traceback" not in completed.stderr


def test_a_port_in_use_is_one_line_naming_it(busy_port):
    completed = run_service("--port", str(busy_port))
    assert completed.returncode == 1
    (line,) = completed.stderr.splitlines()
    assert f"cannot listen on 127.0.0.1:{busy_port}: Address already in use" in line, line


BAD_WORKER_SETTINGS = {
    "redis-scheme": (["--redis", "http://127.0.0.1:6379/0"], "must start with redis://"),
    "concurrency-not-a-number": (
        ["--redis", "redis://127.0.0.1:1/0", "--concurrency", "many"],
        "invalid int value",
    ),
    "concurrency-zero": (
        ["--redis", "redis://127.0.0.1:1/0", "--concurrency", "0"],
        "--concurrency must be 1 or more",
    ),
    "ttl-zero": (["--redis", "redis://127.0.0.1:1/0", "--result-ttl", "0"], "must be above 0"),
}


@pytest.mark.parametrize(
    ("options", "complaint"), BAD_WORKER_SETTINGS.values(), ids=BAD_WORKER_SETTINGS.keys()
)
def test_a_bad_worker_setting_is_one_line_and_status_2(options, complaint):
    completed = run_service(*options, worker=True)
    assert completed.returncode == 2, completed.stderr
    (line,) = completed.stderr.splitlines()
    assert complaint in line and ISO_START.match(line), line


def redis_with_password(redis_server):
    password = "pw-" + secrets.token_hex(8)
    redis_server.cli("CONFIG", "SET", "requirepass", password)
    return password, f"redis://:{password}@127.0.0.1:{redis_server.port}/0"


def test_every_line_is_timestamped_and_start_up_tells_the_settings_but_no_secret(
    service, redis_server, worker
):
    password, url = redis_with_password(redis_server)
    server = service("--redis", url, "--request-timeout", "1.5", "--max-queued", "77")
    made = worker(url, "--concurrency", "1", "--reclaim-after", "12")
    request_id = submit(server, [2, 5])
    wait_ready(server, f"/v0/result?requestId={request_id}")
    # A request left half-sent is cut off by the deadline, and the cut is logged.
    with socket.create_connection(("127.0.0.1", server.port), timeout=15) as plain:
        with client_context().wrap_socket(plain, server_hostname="localhost") as tls:
            tls.sendall(b"GET /healthz?half=1 HTTP/1.1\r\nHost: x\r\n")
            tls.settimeout(15)
            try:
                answer = tls.recv(4096)
            except OSError:
                answer = b""
    assert answer.startswith(b"HTTP/1.1 408 ")
    cut_id = re.search(rb"x-request-id: (\w+)", answer).group(1).decode()
    assert server.stop() == 0
    assert made.stop() == 0

    front, back = server.log(), made.log()
    for log in (front, back):
        for line in log.splitlines():
            assert ISO_START.match(line), line
        assert password not in log and API_KEY not in log
    (settings,) = [line for line in front.splitlines() if "qernx_service settings: " in line]
    for shown in (
        "request-timeout=1.5",
        "max-queued=77",
        "keys=1",
        f"redis=redis://:***@127.0.0.1:{redis_server.port}/0",
        "max-connections=10000",
    ):
        assert f" {shown}" in settings, (shown, settings)
    (cut,) = [line for line in front.splitlines() if f"id={cut_id}" in line]
    assert " 127.0.0.1 GET /healthz?half=1 408 " in cut, cut
    assert re.search(r"qernx_service stopped after [\d.]+ s$", front.splitlines()[-1])
    (worker_settings,) = [line for line in back.splitlines() if " settings: " in line]
    assert "concurrency=1 reclaim-after=12.0 result-ttl=3600" in worker_settings
    assert f"redis=redis://:***@127.0.0.1:{redis_server.port}/0" in worker_settings
    assert re.search(r"worker \S+ stopped after [\d.]+ s$", back.splitlines()[-1])


def scrape(url):
    """The status and text of a plain-HTTP metrics page."""
    import urllib.error
    import urllib.request

    try:
        with urllib.request.urlopen(url, timeout=15) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def metrics_url(log, role):
    found = re.search(rf"{role}(?: \S+)? metrics on (http://127\.0\.0\.1:\d+/metrics)", log)
    assert found, log
    return found.group(1)


def samples(page):
    from prometheus_client.parser import text_string_to_metric_families

    return {
        (sample.name, tuple(sorted(sample.labels.items()))): sample.value
        for family in text_string_to_metric_families(page)
        for sample in family.samples
    }


def value(page, name, **labels):
    return samples(page).get((name, tuple(sorted(labels.items()))))


def promtool_accepts(page):
    checked = subprocess.run(
        ["promtool", "check", "metrics"], input=page, capture_output=True, text=True, timeout=60
    )
    assert checked.returncode == 0 and not checked.stdout.strip(), checked.stdout + checked.stderr
    return True


def test_metrics_need_the_key_on_the_public_port_and_not_on_the_metrics_port(service):
    server = service("--workers", "1", "--metrics-port", "0")
    url = metrics_url(server.log(), "qernx_service")
    submit(server, [1, 2])
    refused, body = request(server, "GET", "/metrics", key=None)
    assert refused.status == 403 and b"qernx_" not in body
    allowed, public = request(server, "GET", "/metrics")
    assert allowed.status == 200
    status, page = scrape(url)
    assert status == 200 and promtool_accepts(page)
    for text in (page, public.decode()):
        assert value(text, "qernx_requests_total", route="submit", status="200") == 1.0
    # The queue's Redis-only gauges are absent, not a misleading 0.
    assert not any(name.startswith("qernx_queue_pending") for name, _ in samples(page))
    assert scrape(url.replace("/metrics", "/healthz"))[0] == 404
    base = url.rsplit("/", 1)[0]
    with socket.create_connection(("127.0.0.1", int(base.rsplit(":", 1)[1])), timeout=15) as sock:
        sock.sendall(b"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
        assert sock.recv(4096).startswith(b"HTTP/1.1 405 ")
    assert API_KEY not in page


def test_a_metrics_port_in_use_is_one_line_for_front_end_and_worker(busy_port):
    for worker_mode in (False, True):
        options = ["--metrics-port", str(busy_port)]
        if worker_mode:
            options = ["--redis", "redis://127.0.0.1:1/0", "--concurrency", "1", *options]
        else:
            options = ["--port", "0", *options]
        completed = run_service(*options, worker=worker_mode)
        assert completed.returncode == 1, completed.stderr
        (line,) = completed.stderr.splitlines()
        assert f"cannot listen for metrics on 127.0.0.1:{busy_port}" in line, line
        assert "in use" in line and ISO_START.match(line), line


@pytest.mark.parametrize("concurrency", [1, 2])
def test_redis_gauges_and_worker_counters_tell_the_truth(
    service, redis_server, worker, concurrency
):
    front = service("--redis", redis_server.url, "--metrics-port", "0")
    front_url = metrics_url(front.log(), "qernx_service")
    first = submit(front, [1, 4])
    # A consumer that takes a problem and never answers: it stays pending.
    taken = redis_server.cli(
        "XREADGROUP", "GROUP", "solvers", "ghost", "COUNT", "1", "STREAMS", "qernx:problems", ">"
    )
    assert first in taken
    time.sleep(1.5)
    _, page = scrape(front_url)
    assert promtool_accepts(page)
    assert value(page, "qernx_queue_depth") == 1
    assert value(page, "qernx_queue_pending") == 1
    assert 1.4 <= value(page, "qernx_queue_oldest_pending_age_seconds") < 60
    assert value(page, "qernx_consumers_live") == 0  # the ghost never says it is alive

    made = worker(
        redis_server.url,
        "--concurrency",
        str(concurrency),
        "--reclaim-after",
        "1",
        "--metrics-port",
        "0",
    )
    worker_url = metrics_url(made.log(), "worker")
    wait_ready(front, f"/v0/result?requestId={first}")  # taken over from the ghost
    redis_server.cli("XADD", "qernx:problems", "*", "id", "foreign", "owner", "x", "items", "[-1]")
    second = submit(front, [3, 5, 7])
    wait_ready(front, f"/v0/result?requestId={second}")
    deadline = time.monotonic() + 30
    while value(scrape(worker_url)[1], "qernx_worker_failures_total") != 1:
        assert time.monotonic() < deadline, made.log()
        time.sleep(0.1)
    _, page = scrape(worker_url)
    assert promtool_accepts(page)
    assert value(page, "qernx_worker_solves_total") == 2
    assert value(page, "qernx_worker_solve_seconds_count") == 2
    assert value(page, "qernx_worker_reclaimed_total") == 1
    assert value(page, "qernx_worker_redis_errors_total") == 0
    _, page = scrape(front_url)
    assert value(page, "qernx_queue_depth") == 0
    assert value(page, "qernx_queue_pending") == 0
    assert value(page, "qernx_queue_oldest_pending_age_seconds") == 0
    # Every consumer of the worker says it is alive once it has started (a
    # second one may still be loading).
    deadline = time.monotonic() + 30
    while (live := value(scrape(front_url)[1], "qernx_consumers_live")) != concurrency:
        assert live <= concurrency and time.monotonic() < deadline, (live, made.log())
        time.sleep(0.2)

    assert made.stop() == 0
    assert value(scrape(front_url)[1], "qernx_consumers_live") == 0  # said goodbye
    again = worker(redis_server.url, "--concurrency", "1", "--metrics-port", "0")
    worker_url = metrics_url(again.log(), "worker")
    redis_server.stop()
    deadline = time.monotonic() + 30
    while not value(scrape(worker_url)[1], "qernx_worker_redis_errors_total"):
        assert time.monotonic() < deadline, again.log()
        time.sleep(0.2)
