"""What goes over the wire: problems in, answers and result payloads out."""

from __future__ import annotations

import gzip
import json
import re
import struct
from http import HTTPStatus
from xml.sax.saxutils import escape

from .solver import GZIP_LEVEL

# A client unpacks at most 65536 bytes of bitset, so totals from 524288 on
# would produce results it cannot receive.
MAX_TOTAL = 524287
MAX_BODY_BYTES = 1 << 20

# Unsigned decimals without leading zeros, separated by commas, with JSON's
# whitespace wherever its grammar allows it (json.dumps writes "[3, 5]", a
# file ends in a line end); twenty digits at most each, so a hostile body
# never makes a huge int.
_TOO_MANY_DIGITS = re.compile(rb"[0-9]{21}")
_JSON_WHITESPACE = b" \t\n\r"
_NOT_AN_ARRAY = "Body must be a JSON array of non-negative integers, as in [3,5,7]"


class Refusal(Exception):
    """A request the service answers with {"message": text} and `status`."""

    def __init__(self, status: HTTPStatus, text: str, retry_after: int | None = None) -> None:
        super().__init__(text)
        self.status = status
        self.text = text
        self.retry_after = retry_after


def share_refusal(retry_after: int) -> Refusal:
    """A key whose results (held, and still to come) fill its share of the
    result store: it may submit again once older results expire."""
    return Refusal(
        HTTPStatus.TOO_MANY_REQUESTS,
        "This key's results fill its share of the result store",
        retry_after,
    )


def compact_json(value: object) -> bytes:
    """JSON without spaces and without a line end."""
    return json.dumps(value, separators=(",", ":"), ensure_ascii=True).encode()


def message(text: str) -> bytes:
    return compact_json({"message": text})


def parse_problem(body: bytes) -> list[int]:
    """The items of a submission body, or Refusal."""
    if len(body) > MAX_BODY_BYTES:
        raise Refusal(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "Problem larger than 1 MB")
    # Digits, commas and whitespace inside brackets; JSON itself then refuses
    # leading zeros, empty elements and whitespace inside a number, in C
    # rather than in a Python loop.
    array = body.strip(_JSON_WHITESPACE)
    if (
        len(array) < 2
        or array[:1] != b"["
        or array[-1:] != b"]"
        or array[1:-1].translate(None, b"0123456789," + _JSON_WHITESPACE)
        or _TOO_MANY_DIGITS.search(array) is not None
    ):
        raise Refusal(HTTPStatus.BAD_REQUEST, _NOT_AN_ARRAY)
    try:
        items: list[int] = json.loads(array)
    except ValueError:
        raise Refusal(HTTPStatus.BAD_REQUEST, _NOT_AN_ARRAY) from None
    total = sum(items)
    if total > MAX_TOTAL:
        raise Refusal(
            HTTPStatus.UNPROCESSABLE_ENTITY,
            f"Item total {total} is {MAX_TOTAL + 1} or more: the result would not fit",
        )
    return items


def result_bound(items: list[int]) -> int:
    """Bytes the problem's gzip result takes at most: its bitset (one bit
    per sum up to the total, in 64-bit words) and more than gzip ever adds
    to bytes it cannot shrink. A key's share of the result store is
    reserved with this while the problem waits, so that results still
    being solved cannot carry a key past its share."""
    raw = 8 * (sum(items) // 64 + 1)
    return raw + raw // 1000 + 64


def result_payload(words: list[int]) -> bytes:
    """The gzip stream of the bitset's little-endian bytes."""
    return gzip.compress(struct.pack(f"<{len(words)}Q", *words), GZIP_LEVEL, mtime=0)


def object_error_xml(code: str, text: str, key: str) -> bytes:
    """What an object store answers for an object it does not serve."""
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        f"<Error><Code>{code}</Code><Message>{text}</Message>"
        f"<Key>{escape(key)}</Key></Error>"
    ).encode()


def missing_object_xml(key: str) -> bytes:
    """The answer for an object that does not exist (yet)."""
    return object_error_xml("NoSuchKey", "The specified key does not exist.", key)


def denied_object_xml(key: str) -> bytes:
    """The answer for an object URL whose signature is wrong or expired."""
    return object_error_xml("AccessDenied", "Request has expired or its signature is wrong.", key)
