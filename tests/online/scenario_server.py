"""A scripted HTTPS stand-in for the solver service, one scenario per process.

Run as: python scenario_server.py SCENARIO CERT KEY [NOT_READY]
It prints its port on the first line of standard output, then serves until
killed. Scenarios:
  ready        not-ready NOT_READY times, then the gzip result
  redirect     the result URL redirects to an object that answers an XML
               document NOT_READY times, then the gzip result
  forbidden    refuses the submission with {"message":"Forbidden"}
  bracket      answers the submission with [1]
  no-id        accepts the submission with {}
  never        the result is never ready
  to-http      the result URL redirects to http://
  stall-once   the first retrieval stalls mid-answer, later ones succeed
"""

import gzip
import http.server
import json
import ssl
import sys
import threading
import time

SCENARIO, CERT, KEY = sys.argv[1:4]
NOT_READY = int(sys.argv[4]) if len(sys.argv) > 4 else 0
state = {"polls": 0, "problem": None}
lock = threading.Lock()


def payload(items):
    reach = 1
    for w in items:
        reach |= reach << w
    return gzip.compress(reach.to_bytes((sum(items) // 64 + 1) * 8, "little"))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, content_type="application/json", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if SCENARIO == "forbidden":
            return self.answer(403, b'{"message":"Forbidden"}')
        if SCENARIO == "bracket":
            return self.answer(200, b"[1]")
        if SCENARIO == "no-id":
            return self.answer(200, b"{}")
        state["problem"] = json.loads(body)
        self.answer(200, b'{"requestId":"r-1"}')

    def do_GET(self):
        with lock:
            state["polls"] += 1
            polls = state["polls"]
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
        if SCENARIO == "never" or (SCENARIO == "ready" and polls <= NOT_READY):
            return self.answer(404, b'{"message":"Result not ready"}')
        self.answer(200, payload(state["problem"]), "application/octet-stream")


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(CERT, KEY)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
