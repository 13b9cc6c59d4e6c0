"""The access log: one line per answer, with every key masked and every byte
a client chose escaped, so a line can neither leak a key nor forge another."""

from __future__ import annotations

import re
from typing import TextIO
from urllib.parse import unquote

from .asgi import Scope
from .state import timestamp

# Query parameters whose values never reach the log.
SECRET_PARAMETERS = ("key", "token", "secret", "signature", "password", "auth")


class AccessLog:
    def __init__(self, keys: list[str], stream: TextIO) -> None:
        self.keys = keys
        self.stream = stream

    def request(self, scope: Scope, status: int, elapsed: float, request_id: str) -> None:
        client = scope.get("client")
        address = client[0] if client else "-"
        path = scope.get("raw_path") or scope["path"].encode()
        target = path.decode("latin-1")
        if scope.get("query_string"):
            target += "?" + scope["query_string"].decode("latin-1")
        self.write(log_line(address, scope["method"], target, int(status), elapsed, request_id))

    def write(self, line: str) -> None:
        self.stream.write(without_keys(line, self.keys) + "\n")
        self.stream.flush()


def escape_for_log(text: str) -> str:
    """Control characters, spaces, quotes and backslashes as \\xHH."""
    return "".join(c if " " < c < "\x7f" and c not in '\\"' else f"\\x{ord(c):02x}" for c in text)


def without_keys(line: str, keys: list[str]) -> str:
    """`line` with every key masked, even one typed into a URL by mistake
    and percent-encoded there: a field that decodes to something holding a
    key loses the parts that hold it, or all of it."""
    for key in keys:
        line = line.replace(key, "***")
    fields = line.split(" ")
    for index, field in enumerate(fields):
        if "%" not in field or not any(key in unquote(field) for key in keys):
            continue
        parts = re.split(r"([/?&=;])", field)
        masked = "".join("***" if any(k in unquote(p) for k in keys) else p for p in parts)
        fields[index] = "***" if any(k in unquote(masked) for k in keys) else masked
    return " ".join(fields)


def log_target(target: str) -> str:
    """A request target as logged: key-like query values masked, then escaped."""
    path, question, query = target.partition("?")
    return escape_for_log(path + question + mask_query(query) if question else path)


def log_line(
    address: str, method: str, target: str, status: int, elapsed: float, request_id: str
) -> str:
    """One access log line: ISO-8601 time, client, method, target, status,
    duration and the request id the answer carries."""
    return (
        f"{timestamp()} {address} {escape_for_log(method) or '-'} {log_target(target) or '-'}"
        f" {status} {elapsed * 1000:.1f}ms id={request_id}"
    )


def mask_query(query: str) -> str:
    parts = []
    for part in query.split("&"):
        name, equals, _ = part.partition("=")
        if equals and any(word in name.lower() for word in SECRET_PARAMETERS):
            part = f"{name}=***"
        parts.append(part)
    return "&".join(parts)
