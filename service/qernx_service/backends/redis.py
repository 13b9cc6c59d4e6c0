"""The Redis back-end: front-ends validate, queue and answer; workers solve.

Layout in Redis (all keys under `qernx:`):
- `qernx:problems`, a stream read by the consumer group `solvers`; each entry
  carries the request id, its owner and the problem's compact JSON body;
- `qernx:job:<id>`, a hash with the owner, the state (queued, done, failed)
  and, once solved, the gzip payload; it expires `result_ttl` seconds after
  the result is stored;
- `qernx:queued:<owner>`, problems queued per key;
- `qernx:signing-key`, the key every front-end signs object URLs with.
A worker stores the result, then acknowledges the entry in one script, so a
problem taken over from a dead worker and solved twice writes one result."""

from __future__ import annotations

import json
import secrets
from http import HTTPStatus
from typing import Any

import redis.asyncio
from redis.exceptions import RedisError, ResponseError

from ..protocol import Refusal
from ..state import FAILED, PENDING, UNKNOWN, Found

STREAM = "qernx:problems"
GROUP = "solvers"
SIGNING_KEY = "qernx:signing-key"
# A queued problem's record outlives any queue a worker could still work off.
QUEUED_TTL = 7 * 24 * 3600


def job_key(request_id: str) -> str:
    return f"qernx:job:{request_id}"


def queued_key(owner: str) -> str:
    return f"qernx:queued:{owner}"


# KEYS: job, stream, queued counter. ARGV: state, payload, ttl, group, entry id.
STORE_RESULT = """
if redis.call('HGET', KEYS[1], 'state') == 'queued' then
  redis.call('HSET', KEYS[1], 'state', ARGV[1], 'payload', ARGV[2])
  redis.call('EXPIRE', KEYS[1], ARGV[3])
  if redis.call('DECR', KEYS[3]) <= 0 then redis.call('DEL', KEYS[3]) end
end
redis.call('XACK', KEYS[2], ARGV[4], ARGV[5])
redis.call('XDEL', KEYS[2], ARGV[5])
return 1
"""

# KEYS: stream, job, queued counter. ARGV: queue bound, per-key bound, owner,
# request id, items, ttl of a queued job. 0 when queued, 1 when the queue is
# full, 2 when the key has its share queued. One round trip per submission.
SUBMIT = """
if redis.call('XLEN', KEYS[1]) >= tonumber(ARGV[1]) then return 1 end
if redis.call('INCR', KEYS[3]) > tonumber(ARGV[2]) then
  if redis.call('DECR', KEYS[3]) <= 0 then redis.call('DEL', KEYS[3]) end
  return 2
end
redis.call('HSET', KEYS[2], 'owner', ARGV[3], 'state', 'queued')
redis.call('EXPIRE', KEYS[2], ARGV[6])
redis.call('XADD', KEYS[1], '*', 'id', ARGV[4], 'owner', ARGV[3], 'items', ARGV[5])
return 0
"""


async def ensure_group(client: Any) -> None:
    try:
        await client.xgroup_create(STREAM, GROUP, id="0", mkstream=True)
    except ResponseError as error:
        if "BUSYGROUP" not in str(error):
            raise


def unavailable() -> Refusal:
    return Refusal(HTTPStatus.SERVICE_UNAVAILABLE, "Queue unavailable", 5)


class RedisBackend:
    def __init__(
        self,
        url: str,
        max_queued: int = 10_000,
        max_queued_per_key: int = 1_000,
    ) -> None:
        self._client: Any = redis.asyncio.Redis.from_url(
            url, socket_timeout=5, socket_connect_timeout=5, health_check_interval=30
        )
        self._max_queued = max_queued
        self._max_queued_per_key = max_queued_per_key
        self._submit = self._client.register_script(SUBMIT)

    async def start(self) -> None:
        await ensure_group(self._client)

    async def close(self) -> None:
        await self._client.aclose()

    async def healthy(self) -> bool:
        try:
            return bool(await self._client.ping())
        except (RedisError, OSError):
            return False

    async def signing_key(self, generated: bytes) -> bytes:
        """The key shared by every front-end: the first to start sets it."""
        await self._client.set(SIGNING_KEY, generated.hex(), nx=True)
        shared = await self._client.get(SIGNING_KEY)
        return bytes.fromhex(shared.decode())

    async def submit(self, owner: str, items: list[int], body: bytes = b"") -> str:
        """Queues the problem as its validated body (or as `items` written out)."""
        request_id = secrets.token_urlsafe(18)
        body = body or json.dumps(items, separators=(",", ":")).encode()
        try:
            outcome = await self._submit(
                keys=[STREAM, job_key(request_id), queued_key(owner)],
                args=[
                    self._max_queued,
                    self._max_queued_per_key,
                    owner,
                    request_id,
                    body,
                    QUEUED_TTL,
                ],
            )
        except (RedisError, OSError) as error:
            raise unavailable() from error
        if outcome == 1:
            raise Refusal(HTTPStatus.SERVICE_UNAVAILABLE, "Too many problems queued", 5)
        if outcome == 2:
            raise Refusal(HTTPStatus.TOO_MANY_REQUESTS, "Too many problems queued for this key", 5)
        return request_id

    async def lookup(self, owner: str, request_id: str) -> Found:
        try:
            found = await self._client.hgetall(job_key(request_id))
        except (RedisError, OSError) as error:
            raise unavailable() from error
        if not found or found.get(b"owner") != owner.encode():
            return UNKNOWN
        state = found.get(b"state")
        if state == b"done":
            payload: bytes = found.get(b"payload", b"")
            return payload
        return FAILED if state == b"failed" else PENDING

    async def object(self, request_id: str) -> bytes | None:
        try:
            payload: bytes | None = await self._client.hget(job_key(request_id), "payload")
        except (RedisError, OSError) as error:
            raise unavailable() from error
        return payload or None

    async def queue_depth(self) -> int:
        depth: int = await self._client.xlen(STREAM)
        return depth

    async def results_held(self) -> tuple[int, int] | None:
        return None  # Redis holds them: its own metrics tell
