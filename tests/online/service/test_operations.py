"""What an operator meets: settings refused in one line without a traceback,
log lines that all carry their time, start-up and shutdown lines that tell
the effective settings, and metrics where they belong."""

import re
import socket
import subprocess
import sys

import pytest
from conftest import API_KEY, certs_dir, free_port

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
