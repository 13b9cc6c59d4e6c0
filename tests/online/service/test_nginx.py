"""The nginx configuration of service/README.md, run as written (with this
test's ports, paths and certificate): nginx terminates TLS and HTTP/2, the
service listens on a Unix socket behind it, the module solves through it,
and the service's log names the client, not nginx."""

import getpass
import json
import pathlib
import re
import shutil
import socket
import ssl
import subprocess
import time

import pytest
from conftest import API_KEY, PLAIN_ENV, certs_dir, free_port
from oracle import subset_sums as oracle
from test_proxying import logged

pytestmark = [
    pytest.mark.service_only,
    pytest.mark.skipif(not shutil.which("nginx"), reason="tools/install-deps.sh installs nginx"),
]

README = pathlib.Path(__file__).parents[3] / "service" / "README.md"


def readme_nginx_config():
    text = README.read_text()
    block = text.split("<!-- nginx-begin -->", 1)[1].split("<!-- nginx-end -->", 1)[0]
    return block.split("```nginx\n", 1)[1].split("```", 1)[0]


class Nginx:
    """nginx in the foreground with the README's server block, on 127.0.0.1."""

    def __init__(self, folder, socket_path):
        self.folder = folder
        self.port = free_port()
        folder = certs_dir()
        site = readme_nginx_config()
        for written, ours in {
            "listen 443 ": f"listen 127.0.0.1:{self.port} ",
            "/run/qernx/service.sock": str(socket_path),
            "/etc/qernx/server.pem": str(folder / "server.pem"),
            "/etc/qernx/server.key": str(folder / "server.key"),
        }.items():
            assert written in site, written  # the README still says it
            site = site.replace(written, ours)
        (self.folder / "qernx.conf").write_text(site)
        temporary = "".join(
            f"    {kind}_temp_path {self.folder / kind};\n"
            for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")
        )
        (self.folder / "nginx.conf").write_text(
            f"user {getpass.getuser()};\n"
            "worker_processes 1;\n"
            f"pid {self.folder / 'nginx.pid'};\n"
            f"error_log {self.folder / 'error.log'} warn;\n"
            "events { worker_connections 256; }\n"
            "http {\n"
            "    log_format edge '$remote_addr $server_protocol $request_method $uri $status';\n"
            f"    access_log {self.folder / 'access.log'} edge;\n"
            f"{temporary}"
            f"    include {self.folder / 'qernx.conf'};\n"
            "}\n"
        )
        self.process = subprocess.Popen(
            ["nginx", "-p", str(self.folder), "-c", str(self.folder / "nginx.conf")]
            + ["-g", "daemon off;"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            env=PLAIN_ENV,
        )
        deadline = time.monotonic() + 20
        while True:
            assert self.process.poll() is None, self.process.stderr.read().decode()
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline, "nginx did not start"
                time.sleep(0.05)
        self.origin = f"https://localhost:{self.port}"

    def access_log(self):
        path = self.folder / "access.log"
        return path.read_text() if path.exists() else ""

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=20)
        self.process.stderr.close()


@pytest.fixture
def behind_nginx(service, tmp_path):
    socket_path = tmp_path / "service.sock"
    server = service("--workers", "1", "--uds", str(socket_path))
    edge = Nginx(tmp_path, socket_path)
    yield server, edge
    edge.stop()


def test_the_readme_config_passes_nginx_own_check(behind_nginx):
    _, edge = behind_nginx
    checked = subprocess.run(
        ["nginx", "-t", "-p", str(edge.folder), "-c", str(edge.folder / "nginx.conf")],
        capture_output=True,
        text=True,
        env=PLAIN_ENV,
    )
    assert checked.returncode == 0, checked.stderr


def test_the_module_solves_through_nginx_over_http2(behind_nginx, solve_online):
    server, edge = behind_nginx
    items = [3, 5, 11, 200, 4096]
    outcome = solve_online(items, edge.origin)
    assert outcome.result == repr(oracle(items))
    submissions = [line for line in edge.access_log().splitlines() if " POST /v0/app/sspu " in line]
    assert submissions and all(" HTTP/2.0 POST " in line for line in submissions), submissions
    # The service saw the client nginx saw, not the socket ("-").
    answered = [line for line in server.log().splitlines() if " POST /v0/app/sspu 200 " in line]
    assert answered and all(line.split(" ")[1] == "127.0.0.1" for line in answered), answered


@pytest.mark.parametrize("source", ["127.0.0.1", "127.0.0.7"])
def test_http_1_1_at_the_edge_and_the_client_address_reaches_the_log(behind_nginx, source):
    import http.client

    server, edge = behind_nginx
    context = ssl.create_default_context(cafile=str(certs_dir() / "ca.pem"))
    context.set_alpn_protocols(["http/1.1"])
    connection = http.client.HTTPSConnection(
        "localhost", edge.port, context=context, timeout=15, source_address=(source, 0)
    )
    # A client's own X-Forwarded-For is replaced by nginx: it cannot pose as another.
    headers = {"x-api-key": API_KEY, "x-forwarded-for": "203.0.113.66"}
    connection.request("POST", "/v0/app/sspu", body=b"[1, 2, 3]\n", headers=headers)
    response = connection.getresponse()
    data = response.read()
    assert response.status == 200, data
    request_id = json.loads(data)["requestId"]
    line = logged(server, response.getheader("x-request-id"))
    assert line.split(" ")[1] == source, line
    for _ in range(500):
        connection.request("GET", f"/v0/result?requestId={request_id}", headers=headers)
        response = connection.getresponse()
        data = response.read()
        if response.status == 200:
            break
        time.sleep(0.02)
    assert response.status == 200
    connection.close()
    assert re.search(
        rf"^{re.escape(source)} HTTP/1.1 POST /v0/app/sspu 200$", edge.access_log(), re.M
    )
    # The README keeps the metrics off the public name.
    connection = http.client.HTTPSConnection("localhost", edge.port, context=context, timeout=15)
    connection.request("GET", "/metrics", headers={"x-api-key": API_KEY})
    assert connection.getresponse().status == 404
    connection.close()
