"""A scripted HTTPS stand-in for the solver service, one scenario per process.

Run as: python scenario_server.py SCENARIO CERT KEY [NOT_READY]
It prints its port on the first line of standard output, then serves until
killed. Scenarios:
  ready        not ready (202) NOT_READY times, then the gzip result
  redirect     the result URL redirects to an object that answers an XML
               document NOT_READY times, then the gzip result
  forbidden    refuses the submission with {"message":"Forbidden"}
  bracket      answers the submission with [1]
  no-id        accepts the submission with {}
  never        the result is never ready
  to-http      the result URL redirects to http://
  stall-once   the first retrieval stalls mid-answer, later ones succeed
  line-feed    the submission answer ends with a line feed
  whitespace   the submission answer has JSON whitespace between its tokens
  odd-id       a requestId with characters that mean something in a URL
  two-members  the payload is two gzip members, split in the middle
  busy         503 for the first NOT_READY polls, then the result
  submit-busy  503 for the first NOT_READY submissions, then accepted
  drop         the first NOT_READY polls are closed without an answer
  unknown-id   polls are answered 404 "Unknown requestId"
  forbidden-poll  polls are answered 403 "Forbidden"
  other-host   the result URL redirects to 127.0.0.1 (not localhost), which
               serves the result only to a request without the key
  long-poll    honours `Prefer: wait=N` up to a second: the first NOT_READY
               polls that ask for a wait are held that second, then
               answered 202 with `Preference-Applied: wait=1`
  says-wait    as long-poll, but answers at once all the same
With SCENARIO_RECORD set, each accepted connection appends "connection" to
that file, and each result request "prefer VALUE" (its Prefer header).
All requests but those to other-host's object must carry the key.
"""

import gzip
import http.server
import json
import os
import ssl
import sys
import threading
import time
from urllib.parse import parse_qs

SCENARIO, CERT, KEY = sys.argv[1:4]
NOT_READY = int(sys.argv[4]) if len(sys.argv) > 4 else 0
API_KEY = sys.argv[5] if len(sys.argv) > 5 else ""
ODD_ID = "r+1/2=3&x?y%z#w "
REQUEST_ID = ODD_ID if SCENARIO == "odd-id" else "r-1"
state = {"polls": 0, "posts": 0, "problem": None}
lock = threading.Lock()
RECORD = os.environ.get("SCENARIO_RECORD")


def record(line):
    if RECORD:
        with lock, open(RECORD, "a") as file:
            file.write(line + "\n")


def payload(items):
    reach = 1
    for w in items:
        reach |= reach << w
    raw = reach.to_bytes((sum(items) // 64 + 1) * 8, "little")
    if SCENARIO == "two-members":
        half = len(raw) // 2
        return gzip.compress(raw[:half]) + gzip.compress(raw[half:])
    return gzip.compress(raw)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def setup(self):
        record("connection")  # one handler per accepted connection
        super().setup()

    def answer(self, status, body, content_type="application/json", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def key_is_missing(self):
        return self.headers.get("x-api-key") != API_KEY

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with lock:
            state["posts"] += 1
            posts = state["posts"]
        if self.key_is_missing() or SCENARIO == "forbidden":
            return self.answer(403, b'{"message":"Forbidden"}')
        if SCENARIO == "bracket":
            return self.answer(200, b"[1]")
        if SCENARIO == "no-id":
            return self.answer(200, b"{}")
        if SCENARIO == "submit-busy" and posts <= NOT_READY:
            return self.answer(503, b"<html>busy</html>", "text/html")
        state["problem"] = json.loads(body)
        accepted = json.dumps({"requestId": REQUEST_ID}, separators=(",", ":")).encode()
        if SCENARIO == "line-feed":
            accepted += b"\n"
        if SCENARIO == "whitespace":
            accepted = b'{\r\n\t"requestId" : "r-1" ,\n "queue" :\t5\n}\r\n'
        self.answer(200, accepted)

    def do_GET(self):
        with lock:
            state["polls"] += 1
            polls = state["polls"]
        path, _, query = self.path.partition("?")
        if path == "/v0/result":
            record(f"prefer {self.headers.get('Prefer')}")
        if SCENARIO == "other-host" and path.startswith("/v0/objects/"):
            if "x-api-key" in self.headers:
                return self.answer(400, b'{"message":"The key reached another host"}')
            return self.answer(200, payload(state["problem"]), "application/octet-stream")
        if self.key_is_missing():
            return self.answer(403, b'{"message":"Forbidden"}')
        if path == "/v0/result" and parse_qs(query).get("requestId") != [REQUEST_ID]:
            return self.answer(404, b'{"message":"Unknown requestId"}')
        if SCENARIO == "other-host":
            host = f"https://127.0.0.1:{server.server_address[1]}"
            return self.answer(302, b"", headers=[("Location", f"{host}/v0/objects/r-1")])
        if SCENARIO == "unknown-id":
            return self.answer(404, b'{"message":"Unknown requestId"}')
        if SCENARIO == "forbidden-poll":
            return self.answer(403, b'{"message":"Forbidden"}')
        if SCENARIO == "busy" and polls <= NOT_READY:
            return self.answer(503, b"<html>Service Unavailable</html>", "text/html")
        if SCENARIO == "drop" and polls <= NOT_READY:
            self.close_connection = True
            return None
        if SCENARIO == "to-http":
            return self.answer(302, b"", headers=[("Location", "http://127.0.0.1:9/x")])
        if SCENARIO == "redirect" and self.path.startswith("/v0/result"):
            return self.answer(302, b"", headers=[("Location", "/v0/objects/r-1")])
        if SCENARIO == "redirect" and polls <= 2 * NOT_READY:
            xml = b'<?xml version="1.0" encoding="UTF-8"?><Error><Code>NoSuchKey</Code></Error>'
            return self.answer(404, xml, "application/xml")
        if SCENARIO == "stall-once" and polls == 1:
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"\x1f")
            self.wfile.flush()
            time.sleep(120)
            return None
        if SCENARIO in ("long-poll", "says-wait") and polls <= NOT_READY:
            asked = (self.headers.get("Prefer") or "").partition("wait=")[2]
            if asked.isdigit() and int(asked) >= 1:
                time.sleep(1.0 if SCENARIO == "long-poll" else 0.0)
                return self.answer(202, b'{"message":"Result not ready"}', headers=[applied])
            return self.answer(202, b'{"message":"Result not ready"}')
        if SCENARIO == "never" or (SCENARIO == "ready" and polls <= NOT_READY):
            return self.answer(202, b'{"message":"Result not ready"}')
        self.answer(200, payload(state["problem"]), "application/octet-stream")


applied = ("Preference-Applied", "wait=1")
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(CERT, KEY)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
