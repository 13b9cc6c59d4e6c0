"""The reference service's answers, byte for byte, over real TLS."""

import gzip
import http.client
import io
import json
import signal
import socket
import ssl
import threading

import pytest
from conftest import API_KEY, certs_dir
from qernx_service import ResultStore, ServiceServer, make_tls_context
from test_online_driver import oracle

OTHER_KEY = "second-key-77"


class InProcess:
    """A ServiceServer on a thread, with solves held until `release()`."""

    def __init__(self, redirect_results=False):
        self.gate = threading.Event()

        def solve(items):
            assert self.gate.wait(10)
            return oracle(items)

        folder = certs_dir()
        self.log = io.StringIO()
        self.store = ResultStore(workers=2, ttl=60, solve=solve)
        self.server = ServiceServer(
            ("127.0.0.1", 0),
            make_tls_context(str(folder / "server.pem"), str(folder / "server.key")),
            self.store,
            [API_KEY, OTHER_KEY],
            redirect_results,
            log=self.log,
        )
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,))
        self.thread.start()
        self.client_context = ssl.create_default_context(cafile=str(folder / "ca.pem"))

    def release(self):
        self.gate.set()

    def connect(self):
        return http.client.HTTPSConnection(
            "localhost", self.server.port, context=self.client_context, timeout=10
        )

    def request(self, method, path, body=None, key=API_KEY, headers=None):
        connection = self.connect()
        sent = dict(headers or {})
        if key is not None:
            sent["x-api-key"] = key
        connection.request(method, path, body=body, headers=sent)
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response, data

    def submit(self, items, key=API_KEY):
        response, data = self.request(
            "POST", "/v0/app/sspu", json.dumps(items).replace(" ", ""), key
        )
        assert response.status == 200, data
        return json.loads(data)["requestId"]

    def close(self):
        self.gate.set()
        self.server.shutdown()
        self.thread.join()
        self.server.server_close()
        self.store.close()


@pytest.fixture
def inprocess():
    made = []

    def make(**options):
        made.append(InProcess(**options))
        return made[-1]

    yield make
    for service in made:
        service.close()
        assert API_KEY not in service.log.getvalue()


def assert_compact_json(response, data, expected):
    assert response.getheader("Content-Type") == "application/json"
    assert int(response.getheader("Content-Length")) == len(data)
    assert data == json.dumps(expected, separators=(",", ":")).encode()


def test_a_submission_gets_an_identifier_and_the_result_once_solved(inprocess):
    service = inprocess()
    response, data = service.request("POST", "/v0/app/sspu", b"[3,5,64]")
    assert response.status == 200
    request_id = json.loads(data)["requestId"]
    assert_compact_json(response, data, {"requestId": request_id})
    path = f"/v0/result?requestId={request_id}"
    response, data = service.request("GET", path)
    assert response.status == 202
    assert_compact_json(response, data, {"message": "Result not ready"})
    service.release()
    for _ in range(200):
        response, data = service.request("GET", path)
        if response.status == 200:
            break
        threading.Event().wait(0.02)
    assert response.getheader("Content-Type") == "application/octet-stream"
    assert int(response.getheader("Content-Length")) == len(data)
    raw = gzip.decompress(data)
    assert list(raw) == [b for w in oracle([3, 5, 64]) for b in w.to_bytes(8, "little")]


@pytest.mark.parametrize(
    ("method", "path", "body", "key", "status", "text"),
    [
        ("POST", "/v0/app/sspu", b"[1]", None, 403, "Forbidden"),
        ("POST", "/v0/app/sspu", b"[1]", "not-a-key", 403, "Forbidden"),
        ("POST", "/v0/app/sspu", b"[1]", API_KEY + "x", 403, "Forbidden"),
        ("POST", "/v0/app/sspu", b"[1, 2]", API_KEY, 400, None),
        ("POST", "/v0/app/sspu", b"[600000]", API_KEY, 422, None),
        ("POST", "/v0/app/sspu", b"[" + b"1," * 600000 + b"1]", API_KEY, 413, None),
        ("GET", "/v0/result?requestId=nope", None, API_KEY, 404, "Unknown requestId"),
        ("GET", "/v0/result", None, API_KEY, 400, "requestId missing"),
        ("GET", "/v0/result?requestId=nope", None, "bad", 403, "Forbidden"),
        ("GET", "/v0/app/sspu", None, API_KEY, 405, "Method not allowed"),
        ("POST", "/v0/result?requestId=x", b"[]", API_KEY, 405, "Method not allowed"),
        ("GET", "/", None, API_KEY, 404, "Not found"),
        ("DELETE", "/v0/app/sspu", None, API_KEY, 501, None),
    ],
)
def test_refusals_are_compact_json_messages_with_their_status(
    inprocess, method, path, body, key, status, text
):
    service = inprocess()
    response, data = service.request(method, path, body, key)
    assert response.status == status
    message = json.loads(data)["message"]
    assert_compact_json(response, data, {"message": message})
    if text is not None:
        assert message == text


def test_a_chunked_submission_is_refused_and_the_connection_closed(inprocess):
    service = inprocess()
    connection = service.connect()
    connection.request(
        "POST",
        "/v0/app/sspu",
        body=iter([b"[1]"]),
        headers={"x-api-key": API_KEY},
        encode_chunked=True,
    )
    response = connection.getresponse()
    assert response.status == 411
    assert response.getheader("Connection") == "close"
    connection.close()


def test_a_result_belongs_to_the_key_that_submitted_it(inprocess):
    service = inprocess()
    service.release()
    request_id = service.submit([1, 2], key=OTHER_KEY)
    response, data = service.request("GET", f"/v0/result?requestId={request_id}")
    assert response.status == 404 and json.loads(data) == {"message": "Unknown requestId"}


def test_redirected_results_answer_xml_until_the_object_exists(inprocess):
    service = inprocess(redirect_results=True)
    request_id = service.submit([7, 9])
    response, data = service.request("GET", f"/v0/result?requestId={request_id}")
    assert response.status == 302
    location = response.getheader("Location")
    assert location == f"/v0/objects/{request_id}"
    response, data = service.request("GET", location, key=None)
    assert response.status == 404
    assert response.getheader("Content-Type") == "application/xml"
    assert data.startswith(b'<?xml version="1.0" encoding="UTF-8"?>')
    assert request_id.encode() in data
    service.release()
    for _ in range(200):
        response, data = service.request("GET", location, key=None)
        if response.status == 200:
            break
        threading.Event().wait(0.02)
    assert gzip.decompress(data) == (1 | 1 << 7 | 1 << 9 | 1 << 16).to_bytes(8, "little")


def test_keep_alive_serves_several_requests_on_one_connection(inprocess):
    service = inprocess()
    service.release()
    connection = service.connect()
    for items in ([1], [2, 3], []):
        connection.request(
            "POST",
            "/v0/app/sspu",
            body=json.dumps(items).replace(" ", ""),
            headers={"x-api-key": API_KEY},
        )
        response = connection.getresponse()
        assert response.status == 200 and b"requestId" in response.read()
    connection.close()


def test_a_malformed_request_line_gets_json_and_a_closed_connection(inprocess):
    service = inprocess()
    with socket.create_connection(("127.0.0.1", service.server.port), timeout=10) as raw:
        with service.client_context.wrap_socket(raw, server_hostname="localhost") as tls:
            tls.sendall(b"NONSENSE\r\n\r\n")
            answer = b""
            while chunk := tls.recv(4096):
                answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 400 ")
    assert b"Connection: close" in head
    assert json.loads(body)["message"]


def test_a_client_that_never_finishes_its_handshake_blocks_nobody(inprocess):
    service = inprocess()
    service.release()
    with socket.create_connection(("127.0.0.1", service.server.port), timeout=10):
        request_id = service.submit([4])  # while the silent connection is open
    assert request_id


def test_the_log_has_one_line_per_request_and_hides_keys_even_in_urls(inprocess):
    service = inprocess()
    service.request("POST", "/v0/app/sspu", b"[1]")
    service.request("GET", f"/v0/result?requestId={API_KEY}")
    lines = service.log.getvalue().splitlines()
    assert len(lines) == 2
    assert lines[0].startswith("127.0.0.1 POST /v0/app/sspu 200 ") and lines[0].endswith("ms")
    assert lines[1].startswith("127.0.0.1 GET /v0/result?requestId=*** 404 ")


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGINT])
def test_the_service_stops_cleanly_on_a_signal(service, signal_number):
    server = service()
    assert server.stop(signal_number) == 0
    assert server.log().splitlines()[-1] == "qernx_service stopped"
    assert "Traceback" not in server.log()


@pytest.mark.parametrize(
    ("options", "env_keys", "complaint"),
    [
        ([], "", "no API key"),
        (["--workers", "0"], "k", "must be 1 or more"),
        (["--result-ttl", "-1"], "k", "must be above 0"),
        (["--cert", "/nonexistent.pem"], "k", "cannot load the certificate"),
    ],
)
def test_bad_options_stop_the_service_with_a_reason(options, env_keys, complaint):
    import os
    import subprocess
    import sys

    folder = certs_dir()
    command = [sys.executable, "-m", "qernx_service", "--port", "0"]
    command += ["--cert", str(folder / "server.pem"), "--key", str(folder / "server.key")]
    env = dict(os.environ, QERN_SERVICE_KEYS=env_keys)
    completed = subprocess.run(
        command + options, capture_output=True, text=True, env=env, timeout=30
    )
    assert completed.returncode != 0
    assert complaint in completed.stderr


def test_keys_given_as_options_and_in_the_environment_are_all_accepted(service):
    server = service("--api-key", "from-option", keys=f" {API_KEY} , ,other ")
    context = ssl.create_default_context(cafile=str(certs_dir() / "ca.pem"))
    statuses = {}
    for key in ("from-option", API_KEY, "other", "", "unknown"):
        connection = http.client.HTTPSConnection("localhost", server.port, context=context)
        connection.request("POST", "/v0/app/sspu", body=b"[1]", headers={"x-api-key": key})
        statuses[key] = connection.getresponse().status
        connection.close()
    assert statuses == {"from-option": 200, API_KEY: 200, "other": 200, "": 403, "unknown": 403}
