"""service/README.md's commands, units and Redis settings, run as written
but for this test's ports, paths, certificate and Redis: an option renamed
or a default changed without the README fails here."""

import gzip
import os
import pathlib
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

import pytest
from conftest import API_KEY, PLAIN_ENV, certs_dir, free_port
from sentinel_group import DATA_PASSWORD, MASTER_NAME, SENTINEL_PASSWORD, SentinelGroup
from test_operations import ISO_START, scrape
from test_proxying import PlainListener
from test_service_protocol import bitset_bytes, submit, wait_ready

pytestmark = pytest.mark.service_only

README = pathlib.Path(__file__).parents[3] / "service" / "README.md"
SERVICE = ("qernx-service", "/opt/qernx/bin/qernx-service")


def blocks(language):
    return re.findall(rf"```{language}\n(.*?)```", README.read_text(), re.S)


def commands():
    """Every service command of the README: lines of its sh blocks and the
    ExecStart lines of its units."""
    lines = [line for block in blocks("sh") for line in block.splitlines()]
    lines += [
        line.split("=", 1)[1]
        for block in blocks("ini")
        for line in block.splitlines()
        if line.startswith("ExecStart=")
    ]
    return [line for line in lines if line.split(" ", 1)[0] in SERVICE]


def test_the_readme_has_the_commands_this_test_runs():
    found = commands()
    assert sum(" worker " in f" {c} " for c in found) >= 2, found
    assert sum("--redis-sentinel " in c for c in found) >= 2, found
    assert sum("--uds " in c for c in found) >= 3, found
    assert any("--cert " in c for c in found), found


def localised(command, tmp_path, ports):
    """`command` with this test's paths and ports, on 127.0.0.1 only."""
    folder = certs_dir()
    replacements = {
        "/etc/qernx/server.pem": str(folder / "server.pem"),
        "/etc/qernx/server.key": str(folder / "server.key"),
        "/run/qernx/service.sock": str(tmp_path / "service.sock"),
        "0.0.0.0": "127.0.0.1",
    }
    words = []
    for word in shlex.split(command):
        word = replacements.get(word, word)
        if re.fullmatch(r"\d{4}", word) and words and words[-1].endswith("-port"):
            port = free_port()
            if words[-1] == "--metrics-port":
                ports[word] = port
            word = str(port)
        words.append(word)
    assert words[0] in SERVICE
    return [sys.executable, "-m", "qernx_service", *words[1:]]


def through_sentinels(argv, group):
    """The README's sentinels and primary's name replaced by the test's."""
    after = {"--redis-sentinel": group.addresses, "--redis-master": MASTER_NAME}
    return [after.get(before, word) for before, word in zip(["", *argv], argv)]


@pytest.mark.parametrize("command", commands())
def test_each_readme_command_starts_serves_and_stops(command, redis_server, tmp_path, request):
    ports = {}
    argv = localised(command, tmp_path, ports)
    if "--port" not in argv and "worker" not in argv and "--uds" not in argv:
        argv += ["--port", "0"]
    env = {k: v for k, v in PLAIN_ENV.items() if not k.startswith("QERN_")}
    env["QERN_SERVICE_KEYS"] = API_KEY
    if "--redis-sentinel" in argv:  # passwords from the environment, as written
        group = request.getfixturevalue("sentinel_group")
        argv = through_sentinels(argv, group)
        env.update(group.environment())
    elif "worker" in argv or "--result-ttl" in argv:  # the Redis section's and the units'
        env["QERN_REDIS_URL"] = redis_server.url  # from the environment, as written
    log_path = tmp_path / "log"
    with open(log_path, "w") as log:
        process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=log, env=env)
    try:
        deadline = time.monotonic() + 60
        while "settings:" not in log_path.read_text():
            assert process.poll() is None, log_path.read_text()
            assert time.monotonic() < deadline, log_path.read_text()
            time.sleep(0.05)
        for port in ports.values():  # every metrics port of the README answers
            status, page = scrape(f"http://127.0.0.1:{port}/metrics")
            assert status == 200 and "# TYPE qernx_" in page
        if "--uds" in argv:
            server = type("Logged", (), {"log": lambda self: log_path.read_text()})()
            listener = PlainListener(server, "unix", tmp_path / "service.sock")
            response, _ = listener.request("GET", "/healthz", key=None)
            assert response.status == 200
    finally:
        process.send_signal(signal.SIGTERM)
        status = process.wait(timeout=30)
    assert status == 0
    for line in log_path.read_text().splitlines():
        assert ISO_START.match(line), line


def test_the_readme_redis_settings_keep_results_across_a_redis_restart(
    redis_server, service, worker
):
    (settings,) = [b for b in blocks("ini") if "appendonly" in b]
    redis_server.stop()
    redis_server.process = subprocess.Popen(
        ["redis-server", "--port", str(redis_server.port), "--bind", "127.0.0.1"]
        + ["--dir", str(redis_server.folder)]
        + [part for line in settings.splitlines() for part in ("--" + line).split(" ", 1)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env=PLAIN_ENV,
    )
    deadline = time.monotonic() + 20
    while redis_server.cli("ping", check=False).strip() != "PONG":
        assert time.monotonic() < deadline
        time.sleep(0.05)
    assert redis_server.cli("CONFIG", "GET", "appendonly").split() == ["appendonly", "yes"]
    from test_service_protocol import submit, wait_ready

    server = service("--redis", redis_server.url)
    made = worker(redis_server.url, "--concurrency", "1")
    items = [6, 10, 15]
    request_id = submit(server, items)
    wait_ready(server, f"/v0/result?requestId={request_id}")
    made.stop()
    queued = submit(server, [7, 9])  # accepted while no worker runs
    redis_server.cli("SHUTDOWN")  # with AOF on, what was written is on disk
    redis_server.process.wait(timeout=20)
    redis_server.process = subprocess.Popen(
        redis_server.process.args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )
    deadline = time.monotonic() + 20
    while redis_server.cli("ping", check=False).strip() != "PONG":
        assert time.monotonic() < deadline
        time.sleep(0.05)
    import gzip

    _, data = wait_ready(server, f"/v0/result?requestId={request_id}")
    assert gzip.decompress(data) == bitset_bytes(items)
    worker(redis_server.url, "--concurrency", "1")
    _, data = wait_ready(server, f"/v0/result?requestId={queued}")
    assert gzip.decompress(data) == bitset_bytes([7, 9])


def test_the_readme_sentinel_settings_serve_with_replicas_confirming(tmp_path, service, worker):
    data, sentinel = blocks("conf")
    assert "sentinel monitor" in sentinel and "requirepass" in data

    def local(text):
        text = text.replace("data-password", DATA_PASSWORD)
        return text.replace("sentinel-password", SENTINEL_PASSWORD).splitlines()

    def sentinel_settings(primary_port):
        text = sentinel.replace("10.0.0.5 6379", f"127.0.0.1 {primary_port}")
        return local(re.sub(r"\bqernx\b", MASTER_NAME, text))

    group = SentinelGroup(tmp_path / "redis", local(data), sentinel_settings)
    try:
        settings = dict(
            zip(*[iter(group.primary.cli("CONFIG", "GET", "*").split("\n"))] * 2, strict=False)
        )
        assert settings["appendonly"] == "yes" and settings["min-replicas-to-write"] == "1"
        options = group.options("--redis-min-replicas", "1")
        server = service(*options, environment=group.environment())
        worker(None, *options, "--concurrency", "1", environment=group.environment())
        items = [17, 4, 999]
        request_id = submit(server, items)
        _, data = wait_ready(server, f"/v0/result?requestId={request_id}")
        assert gzip.decompress(data) == bitset_bytes(items)
    finally:
        group.stop()


@pytest.mark.skipif(not shutil.which("systemd-analyze"), reason="no systemd-analyze")
def test_the_readme_units_pass_systemd_analyze(tmp_path):
    units = [b for b in blocks("ini") if "[Service]" in b]
    assert len(units) == 2
    # systemd-analyze wants the programme to exist: the test's stands in.
    program = tmp_path / "qernx-service"
    program.write_text(f'#!/bin/sh\nexec {sys.executable} -m qernx_service "$@"\n')
    program.chmod(0o755)
    for index, unit in enumerate(units):
        assert "StartLimitIntervalSec=0" in unit and "Restart=always" in unit
        path = tmp_path / f"qernx-{index}.service"
        path.write_text(unit.replace("/opt/qernx/bin/qernx-service", str(program)))
        checked = subprocess.run(
            ["systemd-analyze", "verify", str(path)],
            capture_output=True,
            text=True,
            env=dict(os.environ, SYSTEMD_LOG_LEVEL="warning"),
        )
        problems = [
            line
            for line in checked.stderr.splitlines()
            # Units of this machine, and users that exist only on a deployed one.
            if str(path) in line and "User" not in line
        ]
        assert not problems, checked.stderr
