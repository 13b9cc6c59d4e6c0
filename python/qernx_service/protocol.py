"""What goes over the wire: problems in, answers and result payloads out."""

from __future__ import annotations

import gzip
import json
import re
import struct
from http import HTTPStatus
from xml.sax.saxutils import escape

# A client unpacks at most 65536 bytes of bitset, so totals from 524288 on
# would produce results it cannot receive.
MAX_TOTAL = 524287
MAX_BODY_BYTES = 1 << 20

# Unsigned decimals without leading zeros, separated by single commas. Twenty
# digits bound each number, so a hostile body never makes a huge int.
_COMPACT_ARRAY = re.compile(rb"\[(?:(?:0|[1-9][0-9]{0,19})(?:,(?:0|[1-9][0-9]{0,19}))*)?\]")


class Refusal(Exception):
    """A request the service answers with {"message": text} and `status`."""

    def __init__(self, status: HTTPStatus, text: str) -> None:
        super().__init__(text)
        self.status = status
        self.text = text


def compact_json(value: object) -> bytes:
    """JSON without spaces and without a line end."""
    return json.dumps(value, separators=(",", ":"), ensure_ascii=True).encode()


def message(text: str) -> bytes:
    return compact_json({"message": text})


def parse_problem(body: bytes) -> list[int]:
    """The items of a submission body, or Refusal."""
    if len(body) > MAX_BODY_BYTES:
        raise Refusal(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "Problem larger than 1 MB")
    if _COMPACT_ARRAY.fullmatch(body) is None:
        raise Refusal(
            HTTPStatus.BAD_REQUEST,
            "Body must be a compact JSON array of non-negative integers, as in [3,5,7]",
        )
    items = [int(x) for x in body[1:-1].split(b",")] if len(body) > 2 else []
    total = sum(items)
    if total > MAX_TOTAL:
        raise Refusal(
            HTTPStatus.UNPROCESSABLE_ENTITY,
            f"Item total {total} is {MAX_TOTAL + 1} or more: the result would not fit",
        )
    return items


def result_payload(words: list[int]) -> bytes:
    """The gzip stream of the bitset's little-endian bytes."""
    return gzip.compress(struct.pack(f"<{len(words)}Q", *words), mtime=0)


def missing_object_xml(key: str) -> bytes:
    """What an object store answers for an object that does not exist (yet)."""
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        "<Error><Code>NoSuchKey</Code>"
        "<Message>The specified key does not exist.</Message>"
        f"<Key>{escape(key)}</Key></Error>"
    ).encode()
