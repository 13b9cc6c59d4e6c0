"""The module against an HTTP/2 server: nghttpd (Debian's nghttp2-server)
serving canned answers over TLS with h2. The result is exact and libcurl's
trace, which prints HTTP/2 header fields on lines of its own, never shows the
key."""

import gzip
import shutil
import socket
import subprocess
import time

import pytest
from conftest import API_KEY, certs_dir
from oracle import reachable
from oracle import subset_sums as oracle

ITEMS = [3, 5, 64, 1000]


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as placeholder:
        return placeholder.getsockname()[1]


@pytest.fixture
def nghttpd(tmp_path):
    program = shutil.which("nghttpd")
    if program is None:
        pytest.fail("nghttpd is needed: tools/install-deps.sh installs nghttp2-server")
    root = tmp_path / "htdocs"
    (root / "v0" / "app").mkdir(parents=True)
    (root / "v0" / "app" / "sspu").write_bytes(b'{"requestId":"r-1"}')
    raw = reachable(ITEMS).to_bytes((sum(ITEMS) // 64 + 1) * 8, "little")
    (root / "v0" / "result").write_bytes(gzip.compress(raw))
    port = free_port()
    folder = certs_dir()
    process = subprocess.Popen(
        [program, "-a", "127.0.0.1", "-d", str(root), str(port)]
        + [str(folder / "server.key"), str(folder / "server.pem")],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    deadline = time.monotonic() + 30
    while True:
        assert process.poll() is None, "nghttpd ended"
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            assert time.monotonic() < deadline, "nghttpd did not start"
            time.sleep(0.05)
    yield f"https://localhost:{port}"
    process.terminate()
    process.wait(timeout=30)


def test_an_http2_server_gives_the_exact_result_and_the_trace_hides_the_key(nghttpd, solve_online):
    outcome = solve_online(ITEMS, nghttpd)
    assert outcome.result == repr(oracle(ITEMS))
    assert "HTTP/2" in outcome.stderr  # the transfers really spoke h2
    assert "[x-api-key: ***]" in outcome.stderr  # the HTTP/2 line, redacted
    assert API_KEY not in outcome.stderr  # solve_online checks this too
