"""A socket-level HTTPS server for fault injection: every answer is written
byte by byte by a test's script, so it can stall, reset, truncate or lie.

Each connection carries one request; the script gets the request and the TLS
socket and writes whatever it likes."""

import dataclasses
import socket
import ssl
import threading


@dataclasses.dataclass
class Request:
    method: str
    path: str
    headers: dict
    body: bytes
    number: int  # 1 for the first request with this method, 2 for the next, ...


def answer(connection, status, body=b"", headers=(), content_type="application/json"):
    head = [f"HTTP/1.1 {status}", f"Content-Type: {content_type}", "Connection: close"]
    head += [f"Content-Length: {len(body)}"] + [f"{k}: {v}" for k, v in headers]
    connection.sendall(("\r\n".join(head) + "\r\n\r\n").encode() + body)


class RawServer:
    def __init__(self, certs, script, cert="server", tls=True):
        self.script = script
        self.requests = []
        self.lock = threading.Lock()
        self.closing = threading.Event()
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(certs / f"{cert}.pem", certs / f"{cert}.key")
        self.tls = tls
        self.plain_connections = 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.origin = f"https://localhost:{self.port}"
        self.thread = threading.Thread(target=self.accept_loop, daemon=True)
        self.thread.start()

    def accept_loop(self):
        while not self.closing.is_set():
            try:
                raw, _ = self.listener.accept()
            except TimeoutError:
                continue
            threading.Thread(target=self.serve, args=(raw,), daemon=True).start()

    def serve(self, raw):
        raw.settimeout(90)
        try:
            if not self.tls:  # a plain HTTP server answers the TLS hello
                with raw:
                    with self.lock:
                        self.plain_connections += 1
                    raw.recv(65536)
                    answer(raw, "400 Bad Request", b"plain HTTP here")
                return
            connection = self.context.wrap_socket(raw, server_side=True)
            with connection:
                request = self.read_request(connection)
                if request is not None:
                    self.script(request, connection)
        except (OSError, ssl.SSLError):
            pass  # the client gave up: part of most faults

    def read_request(self, connection):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = connection.recv(65536)
            if not chunk:
                return None
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        method, path, _ = lines[0].split(" ", 2)
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        while len(body) < int(headers.get("content-length", 0)):
            body += connection.recv(65536)
        with self.lock:
            number = 1 + sum(r.method == method for r in self.requests)
            request = Request(method, path, headers, body, number)
            self.requests.append(request)
        return request

    def close(self):
        self.closing.set()
        self.thread.join()
        self.listener.close()
