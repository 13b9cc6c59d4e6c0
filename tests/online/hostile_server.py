"""Hostile answers for the raw TLS server (raw_tls_server.RawServer): bodies
and headers that drip for ever, bodies that never end, and escape sequences
in every place a client might print. Each is a script: a callable given the
request and the TLS connection, which it answers as it likes."""

import gzip
import html
import json
import socket
import time
import urllib.parse

from oracle import subset_sums as oracle
from raw_tls_server import answer

# Line breaks are the client's own; every other control a peer sends must
# reach the client's output escaped.
CONTROLS = (
    {chr(c) for c in range(0x20)} - {"\n"} | {chr(0x7F)} | {chr(c) for c in range(0x80, 0xA0)}
)

ACCEPTED = b'{"requestId":"r-1"}'
# Clears the screen, moves the cursor home, sets the window title and rings
# the bell: what a terminal does with it is the peer's to choose.
ESCAPES = b"\x1b[2J\x1b[H\x1b]0;pwned\x07\x9b31m\xc2\x9b32m\r\x08\x7f"


def evil_answer(connection, status, body=b"", content_type=b"application/json", location=b""):
    """An answer whose every header block carries the escape sequences, as
    bytes: nothing re-encodes them on the way."""
    head = b"HTTP/1.1 " + status + b"\r\nContent-Type: " + content_type
    head += b"\r\nConnection: close\r\nContent-Length: %d\r\n" % len(body)
    head += b"X-Evil: " + ESCAPES + b"\r\n"
    if location:
        head += b"Location: " + location + b"\r\n"
    connection.sendall(head + b"\r\n" + body)


def payload_for(problem):
    raw = b"".join(w.to_bytes(8, "little") for w in oracle(json.loads(problem)))
    return gzip.compress(raw)


def drip(connection, head, byte=b"x", every=0.2, longest=120):
    """Sends the head, then one byte every `every` seconds until the client
    hangs up (or `longest` seconds pass, so that a client without a deadline
    fails its test rather than hanging it)."""
    connection.sendall(head)
    give_up = time.monotonic() + longest
    try:
        while time.monotonic() < give_up:
            time.sleep(every)
            connection.sendall(byte)
    except OSError:
        pass  # the client cut the transfer


def endless(connection, head, block=b"\x1f" * 16384, longest=120):
    """Sends the head, then blocks as fast as the client reads them."""
    connection.sendall(head)
    give_up = time.monotonic() + longest
    try:
        while time.monotonic() < give_up:
            connection.sendall(block)
    except OSError:
        pass


class Script:
    """A well-behaved service; `submit` and `result` are overridden to attack.
    `polls` counts the result requests."""

    def __init__(self):
        self.problem = b"[]"
        self.polls = 0

    def __call__(self, request, connection):
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if request.method == "POST":
            self.problem = request.body
            return self.submit(request, connection)
        self.polls += 1
        return self.result(request, connection)

    def submit(self, request, connection):
        answer(connection, "200 OK", ACCEPTED)

    def result(self, request, connection):
        answer(connection, "200 OK", payload_for(self.problem), content_type="application/gzip")


class OnFirstPoll(Script):
    """Attacks the first result request only; later ones are answered."""

    def __init__(self, attack):
        super().__init__()
        self.attack = attack

    def result(self, request, connection):
        if self.polls == 1:
            return self.attack(connection)
        return super().result(request, connection)


class DrippingSubmission(Script):
    def submit(self, request, connection):
        drip(connection, b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{")


class DrippingNotReady(Script):
    """Every result request: a 202 whose body never ends."""

    def result(self, request, connection):
        drip(connection, b"HTTP/1.1 202 Accepted\r\nContent-Length: 100000000\r\n\r\n")


def dripping_headers(connection):
    drip(connection, b"HTTP/1.1 202 Accepted\r\n", byte=b"X-More: more\r\n")


def dripping_result(connection):
    drip(connection, b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n\x1f\x8b", byte=b"\0")


def endless_not_ready(connection):
    head = b"HTTP/1.1 202 Accepted\r\nTransfer-Encoding: chunked\r\n\r\n"
    endless(connection, head, block=b"4000\r\n" + b"n" * 0x4000 + b"\r\n")


def endless_redirect(connection):
    head = b"HTTP/1.1 302 Found\r\nLocation: /v0/objects/r-1\r\nContent-Length: 100000000\r\n\r\n"
    endless(connection, head)


def endless_headers(connection):
    endless(connection, b"HTTP/1.1 202 Accepted\r\n", block=b"X-More: " + b"m" * 1000 + b"\r\n")


class EscapesEverywhere(Script):
    """Escape sequences in a header of every answer, in a not-ready XML
    document of the object store (after a redirect), then a refusal whose
    message holds them raw."""

    def submit(self, request, connection):
        evil_answer(connection, b"200 OK", ACCEPTED)

    def __init__(self):
        super().__init__()
        self.objects = 0

    def result(self, request, connection):
        if request.path.startswith("/v0/result"):
            return evil_answer(connection, b"302 Found", location=b"/v0/objects/r-1")
        self.objects += 1
        if self.objects == 1:
            xml = b'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>' + ESCAPES + b"</Code>"
            return evil_answer(connection, b"404 Not Found", xml, b"application/xml")
        if self.objects == 2:  # the same document with a 200: the download refuses it
            xml = b'<?xml version="1.0" encoding="UTF-8"?>\n<E>' + ESCAPES + b"</E>"
            return evil_answer(connection, b"200 OK", xml, b"application/xml")
        body = b'{"message":"gone ' + ESCAPES + b'\nFailed with error: forged"}'
        return evil_answer(connection, b"410 Gone", body)


class QuotesTheKey(Script):
    """Quotes the x-api-key it was sent where the client prints the peer's
    words: in the submission's refusal, in the result request's refusal (as
    it is, "escaped" as JSON escapes of a key past ASCII, or "encoded" as
    other encoders write it), or in the
    object store's not-ready documents (a 404, then a 200) before the
    result."""

    def __init__(self, where):
        super().__init__()
        self.where = where

    def submit(self, request, connection):
        if self.where != "submission":
            return super().submit(request, connection)
        body = b'{"message":"API key %s is not valid"}' % request.headers["x-api-key"].encode()
        answer(connection, "403 Forbidden", body)

    def result(self, request, connection):
        key = request.headers["x-api-key"].encode()
        if self.where == "escaped":
            # As JSON encoders keep to ASCII: the header's bytes read one a
            # character (as this server reads headers), and its UTF-8 text.
            read = request.headers["x-api-key"]
            as_bytes = json.dumps(read)[1:-1].encode()
            as_text = json.dumps(read.encode("latin-1").decode())[1:-1].encode()
            body = b'{"message":"no result for %s or %s"}' % (as_bytes, as_text)
            return answer(connection, "404 Not Found", body)
        if self.where == "encoded":
            # As a URL's %HH, as XML's entities (numeric past ASCII), and the
            # header's bytes read one a character written back as UTF-8.
            read = request.headers["x-api-key"]
            text = read.encode("latin-1").decode()
            forms = [
                urllib.parse.quote(text, safe="").encode(),
                html.escape(text).encode("ascii", "xmlcharrefreplace"),
                read.encode(),
            ]
            body = b'{"message":"no result for %s"}' % b" or ".join(forms)
            return answer(connection, "404 Not Found", body)
        if self.where == "result":
            return answer(connection, "404 Not Found", b'{"message":"no result for %s"}' % key)
        if self.where == "document" and self.polls <= 2:
            xml = b'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Key>%s</Key></Error>' % key
            status = "404 Not Found" if self.polls == 1 else "200 OK"
            return answer(connection, status, xml, content_type="application/xml")
        return super().result(request, connection)


class EscapeOpensTheSubmissionAnswer(Script):
    def submit(self, request, connection):
        answer(connection, "200 OK", ESCAPES + ACCEPTED)


class EscapeEndsTheSubmissionAnswer(Script):
    def submit(self, request, connection):
        answer(connection, "200 OK", b'{"requestId":"r-1"' + ESCAPES)
