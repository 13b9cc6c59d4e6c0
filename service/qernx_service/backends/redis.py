"""The Redis back-end: front-ends validate, queue and answer; workers solve.

Layout in Redis (all keys under `qernx:`):
- `qernx:problems`, a stream read by the consumer group `solvers`; each entry
  carries the request id, its owner and the problem's compact JSON body;
- `qernx:job:<id>`, a hash with the owner, the state (queued, done, failed),
  the id of its stream entry and, once solved, the gzip payload; it expires
  `result_ttl` seconds after the result is stored;
- `qernx:queued:<owner>`, problems queued per key;
- `qernx:signing-key`, the key every front-end signs object URLs with;
- `qernx:stored`, a channel on which workers announce each request id whose
  result (or failure) they store; each front-end holds one subscription to
  it and wakes its own requests waiting for those results;
- the result store's bounds and bookkeeping: `qernx:limits` (a hash of the
  total and per-key bounds, set by the front-ends, read by every script),
  `qernx:held` (a sorted set of each key's stored bytes), `qernx:reserved`
  (a hash of what each key's waiting problems may still add),
  `qernx:held-total`, `qernx:expiry` (stored results by expiry),
  `qernx:sizes` (each stored result's charge and owner) and
  `qernx:results:<owner>` (a key's results, oldest first).
A worker stores the result, then acknowledges the entry in one script, so a
problem taken over from a dead worker and solved twice writes one result.

The bounds are those of the embedded back-end, enforced in Redis: a key is
refused new work while what it holds and has reserved would pass its share,
and beyond the total the key holding the most loses its oldest results. Each
result is charged its bytes and RESULT_OVERHEAD more, for what Redis spends
on it, so that a flood of tiny results is bounded too. Stream, signing key
and bookkeeping have no lifetime and jobs do: with a `volatile-*` eviction
policy, or none, Redis never evicts what the service needs to go on.

The scripts touch `qernx:job:<id>` and `qernx:results:<owner>` keys they are
not given: the service runs on one Redis, not on a cluster (one primary
and its replicas, under Sentinel, are one Redis here)."""

from __future__ import annotations

import asyncio
import json
import secrets
import sys
from http import HTTPStatus
from typing import Any

from redis.exceptions import RedisError, ResponseError

from ..protocol import Refusal, result_bound, share_refusal
from ..redis_connect import RedisTarget, close_async, connect_async
from ..state import FAILED, LIVE_SECONDS, PENDING, UNKNOWN, Found, timestamp
from ..waits import ResultWaits
from .redis_connections import DEFAULT_POOL, RedisConnections

STREAM = "qernx:problems"
GROUP = "solvers"
SIGNING_KEY = "qernx:signing-key"
LIMITS = "qernx:limits"
HELD = "qernx:held"
RESERVED = "qernx:reserved"
HELD_TOTAL = "qernx:held-total"
EXPIRY = "qernx:expiry"
SIZES = "qernx:sizes"
# Each consumer's name, scored with the last second (by Redis's clock) it
# told that it was alive.
CONSUMERS = "qernx:consumers"
STORED = "qernx:stored"
# The longest the subscription waits for an announcement before it looks
# again (and, idle long enough, pings Redis to learn it is still there).
LISTEN_SECONDS = 15.0
# The keys every submission and every stored result reads and writes.
STORE_KEYS = [LIMITS, HELD, RESERVED, HELD_TOTAL, EXPIRY, SIZES]
# Bytes each result is charged beyond its payload: the job's hash and its
# entries in the bookkeeping, as Redis stores them (about 300 bytes).
RESULT_OVERHEAD = 320
# A queued problem's record outlives any queue a worker could still work off.
QUEUED_TTL = 7 * 24 * 3600


def job_key(request_id: str) -> str:
    return f"qernx:job:{request_id}"


def queued_key(owner: str) -> str:
    return f"qernx:queued:{owner}"


# Shared by the scripts below. KEYS[1..6] are STORE_KEYS. `drop` forgets a
# stored result (and deletes its job); `purge` drops those past their lifetime,
# a bounded number per call so that no script runs long.
BOOKKEEPING = """
local limits, held, reserved, held_total, expiry, sizes =
  KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5], KEYS[6]
local clock = redis.call('TIME')
local now = tonumber(clock[1]) * 1000 + math.floor(tonumber(clock[2]) / 1000)

local function drop(id)
  local record = redis.call('HGET', sizes, id)
  redis.call('ZREM', expiry, id)
  redis.call('HDEL', sizes, id)
  redis.call('DEL', 'qernx:job:' .. id)
  if record then
    local size, owner = string.match(record, '^(%d+):(.*)$')
    redis.call('ZREM', 'qernx:results:' .. owner, id)
    if tonumber(redis.call('ZINCRBY', held, -tonumber(size), owner)) <= 0 then
      redis.call('ZREM', held, owner)
    end
    if redis.call('DECRBY', held_total, size) <= 0 then redis.call('DEL', held_total) end
  end
end

local function purge(limit)
  local old = redis.call('ZRANGEBYSCORE', expiry, '-inf', now, 'LIMIT', 0, limit)
  for _, id in ipairs(old) do drop(id) end
end
"""

# KEYS: STORE_KEYS, job, stream, queued counter. ARGV: state, payload, ttl,
# group, entry id, owner, request id, reserved bytes, overhead. The entry's
# reservation is given back once, by whoever deletes the entry.
STORE_RESULT = (
    BOOKKEEPING
    + """
local job, stream, queued = KEYS[7], KEYS[8], KEYS[9]
local owner, id = ARGV[6], ARGV[7]
if redis.call('HGET', job, 'state') == 'queued' then
  redis.call('HSET', job, 'state', ARGV[1], 'payload', ARGV[2])
  redis.call('EXPIRE', job, ARGV[3])
  redis.call('PUBLISH', 'qernx:stored', id)
  if redis.call('DECR', queued) <= 0 then redis.call('DEL', queued) end
  if ARGV[1] == 'done' then
    local size = string.len(ARGV[2]) + tonumber(ARGV[9])
    local expires = now + tonumber(ARGV[3]) * 1000
    redis.call('ZADD', expiry, expires, id)
    redis.call('HSET', sizes, id, size .. ':' .. owner)
    redis.call('ZADD', 'qernx:results:' .. owner, expires, id)
    redis.call('ZINCRBY', held, size, owner)
    redis.call('INCRBY', held_total, size)
  end
end
redis.call('XACK', stream, ARGV[4], ARGV[5])
if redis.call('XDEL', stream, ARGV[5]) == 1 and tonumber(ARGV[8]) > 0 then
  if redis.call('HINCRBY', reserved, owner, -tonumber(ARGV[8])) <= 0 then
    redis.call('HDEL', reserved, owner)
  end
end
purge(100)
local bound = tonumber(redis.call('HGET', limits, 'max-result-bytes'))
local rounds = 0
while bound and rounds < 1000
  and tonumber(redis.call('GET', held_total) or '0') > bound do
  rounds = rounds + 1
  local top = redis.call('ZREVRANGE', held, 0, 0)[1]
  if not top then break end
  local oldest = redis.call('ZRANGE', 'qernx:results:' .. top, 0, 0)[1]
  if oldest then drop(oldest) else redis.call('ZREM', held, top) end
end
return 1
"""
)

# KEYS: STORE_KEYS, stream, job, queued counter. ARGV: queue bound, per-key
# bound, owner, request id, items, ttl of a queued job, reservation, total
# result bytes, per-key result bytes. {0, entry id} when queued, {1} when the
# queue is full, {2} when the key has its share queued, {3, seconds} when its
# results fill its share of the store. One round trip per submission.
SUBMIT = (
    BOOKKEEPING
    + """
local stream, job, queued = KEYS[7], KEYS[8], KEYS[9]
local owner, reserve = ARGV[3], tonumber(ARGV[7])
if redis.call('EXISTS', job) == 1 then
  -- The same call again (its answer was lost with a connection): queued
  -- already. Rewriting a field makes this call a write of its own, so that
  -- a WAIT after it covers the first call's writes too.
  redis.call('HSET', job, 'owner', owner)
  return {0, redis.call('HGET', job, 'entry') or ''}
end
purge(100)
if redis.call('XLEN', stream) >= tonumber(ARGV[1]) then return {1} end
if redis.call('EXISTS', limits) == 0 then
  redis.call('HSET', limits, 'max-result-bytes', ARGV[8], 'max-result-bytes-per-key', ARGV[9])
end
local share = tonumber(redis.call('HGET', limits, 'max-result-bytes-per-key'))
local used = tonumber(redis.call('ZSCORE', held, owner) or '0')
  + tonumber(redis.call('HGET', reserved, owner) or '0')
if share and used > 0 and used + reserve > share then
  local oldest = redis.call('ZRANGE', 'qernx:results:' .. owner, 0, 0, 'WITHSCORES')
  local wait = 5
  if oldest[2] then wait = math.max(1, math.ceil((tonumber(oldest[2]) - now) / 1000)) end
  return {3, wait}
end
if redis.call('INCR', queued) > tonumber(ARGV[2]) then
  if redis.call('DECR', queued) <= 0 then redis.call('DEL', queued) end
  return {2}
end
redis.call('HINCRBY', reserved, owner, reserve)
local entry = redis.call('XADD', stream, '*', 'id', ARGV[4], 'owner', owner, 'items', ARGV[5],
  'reserved', reserve)
redis.call('HSET', job, 'owner', owner, 'state', 'queued', 'entry', entry)
redis.call('EXPIRE', job, ARGV[6])
return {0, entry}
"""
)

# KEYS: RESERVED, stream, job, queued counter. ARGV: entry id, owner. Takes
# back a problem that too few replicas confirmed, unless a worker stored its
# result first; whoever deletes the entry gives its reservation back, as
# STORE_RESULT does. A worker that holds it already stores nothing for it.
WITHDRAW = """
local reserved, stream, job, queued = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local entry, owner = ARGV[1], ARGV[2]
local taken = redis.call('XRANGE', stream, entry, entry)[1]
if not taken or redis.call('XDEL', stream, entry) == 0 then return 0 end
local reserve = 0
for index = 1, #taken[2], 2 do
  if taken[2][index] == 'reserved' then reserve = tonumber(taken[2][index + 1]) or 0 end
end
if reserve > 0 and redis.call('HINCRBY', reserved, owner, -reserve) <= 0 then
  redis.call('HDEL', reserved, owner)
end
if redis.call('HGET', job, 'state') == 'queued' then
  redis.call('DEL', job)
  if redis.call('DECR', queued) <= 0 then redis.call('DEL', queued) end
end
return 1
"""


# KEYS: CONSUMERS. ARGV: the consumer's name. Consumers silent for a day
# are forgotten, so that the set does not grow with every restart.
HEARTBEAT = """
local now = tonumber(redis.call('TIME')[1])
redis.call('ZADD', KEYS[1], now, ARGV[1])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now - 86400)
return 1
"""

# KEYS: stream, CONSUMERS. ARGV: group, idle milliseconds, the caller's name.
# Removes from the group each consumer that holds no problem and has been
# idle (by Redis's count) and silent (by its heartbeat) that long; returns
# their names. One script: no read can hand a removed consumer a problem
# between the look and the removal, which would leave that problem to nobody.
SWEEP_CONSUMERS = """
local idle_ms = tonumber(ARGV[2])
local now = tonumber(redis.call('TIME')[1])
local removed = {}
-- No stream or no group (Redis came back empty): nobody to remove.
local found, listing = pcall(redis.call, 'XINFO', 'CONSUMERS', KEYS[1], ARGV[1])
if not found then return removed end
for _, fields in ipairs(listing) do
  local consumer = {}
  for i = 1, #fields, 2 do consumer[fields[i]] = fields[i + 1] end
  local name = consumer['name']
  if name ~= ARGV[3] and consumer['pending'] == 0 and consumer['idle'] >= idle_ms then
    local beat = redis.call('ZSCORE', KEYS[2], name)
    if not beat or (now - tonumber(beat)) * 1000 >= idle_ms then
      redis.call('XGROUP', 'DELCONSUMER', KEYS[1], ARGV[1], name)
      redis.call('ZREM', KEYS[2], name)
      removed[#removed + 1] = name
    end
  end
end
return removed
"""


async def ensure_group(client: Any) -> None:
    try:
        await client.xgroup_create(STREAM, GROUP, id="0", mkstream=True)
    except ResponseError as error:
        if "BUSYGROUP" not in str(error):
            raise


def subscriber(target: RedisTarget) -> Any:
    """The client of the front-end's one subscription, apart from the
    connections requests use: it holds its connection for as long as the
    front-end runs."""
    return connect_async(target, socket_connect_timeout=5, health_check_interval=30)


def unavailable() -> Refusal:
    return Refusal(HTTPStatus.SERVICE_UNAVAILABLE, "Queue unavailable", 5)


def unreplicated() -> Refusal:
    """Queued, but fewer replicas than asked confirmed it: a failover now
    could lose it, so the client is not told it was accepted."""
    return Refusal(HTTPStatus.SERVICE_UNAVAILABLE, "Queue not replicated", 5)


class RedisBackend:
    def __init__(
        self,
        target: RedisTarget | str,
        max_queued: int = 10_000,
        max_queued_per_key: int = 1_000,
        max_result_bytes: int = 256 << 20,
        max_result_bytes_per_key: int = 64 << 20,
        pool_size: int = DEFAULT_POOL,
    ) -> None:
        if isinstance(target, str):
            target = RedisTarget(url=target)
        self._target = target
        # Every command below goes through the one bounded pool; the
        # subscription holds a connection of its own (`subscriber`).
        self.connections = RedisConnections(target, pool_size)
        self._client: Any = self.connections.client
        self._max_queued = max_queued
        self._max_queued_per_key = max_queued_per_key
        self._max_result_bytes = max_result_bytes
        self._max_result_bytes_per_key = max_result_bytes_per_key
        self._submit = self._client.register_script(SUBMIT)
        self._withdraw = self._client.register_script(WITHDRAW)
        self.warnings: list[str] = []
        self.waits = ResultWaits()
        self._subscriber: Any = subscriber(target)
        self._listener: asyncio.Task[None] | None = None

    async def start(self) -> None:
        """The queue, and this front-end's bounds for every front-end and
        worker: the last front-end started sets them."""
        await ensure_group(self._client)
        await self._client.hset(
            LIMITS,
            mapping={
                "max-result-bytes": self._max_result_bytes,
                "max-result-bytes-per-key": self._max_result_bytes_per_key,
            },
        )
        warning = await self.eviction_warning()
        # Logged once the service listens, after the lines that say where.
        self.warnings = [] if warning is None else [warning]
        self._listener = asyncio.ensure_future(self._listen())

    async def _listen(self) -> None:
        """Wakes this front-end's waiting requests as workers announce stored
        results; a lost subscription is renewed a second later."""
        lost = False
        while True:
            pubsub = self._subscriber.pubsub()
            try:
                await pubsub.subscribe(STORED)
                while True:
                    heard = await pubsub.get_message(timeout=LISTEN_SECONDS)
                    if heard is None:
                        continue
                    if heard["type"] == "message":
                        self.waits.wake(heard["data"].decode("latin-1"))
                    elif heard["type"] == "subscribe":
                        # Results stored before this went unheard: every
                        # waiting request looks its result up again.
                        self.waits.wake_all()
                        if lost:
                            print(
                                f"{timestamp()} qernx_service: listening for results again",
                                file=sys.stderr,
                                flush=True,
                            )
                            lost = False
            except (RedisError, OSError) as error:
                if not lost:
                    print(
                        f"{timestamp()} qernx_service: lost the announcements of results"
                        f" ({error}); waiting requests look again when their wait ends",
                        file=sys.stderr,
                        flush=True,
                    )
                    lost = True
                self.waits.wake_all()
            finally:
                try:
                    await pubsub.aclose()
                except (RedisError, OSError):
                    pass
            await asyncio.sleep(1.0)

    async def eviction_warning(self) -> str | None:
        """A warning when Redis may evict what the service needs (the stream,
        the signing key), or None; also None when Redis will not tell."""
        try:
            found = await self._client.config_get("maxmemory-policy")
        except (RedisError, OSError):
            return None
        policy = found.get("maxmemory-policy", "")
        if isinstance(policy, bytes):
            policy = policy.decode()
        if policy.startswith("allkeys"):
            return (
                f"Redis's maxmemory-policy {policy} may evict the problem stream and the"
                " signing key: use noeviction or a volatile-* policy"
            )
        return None

    async def close(self) -> None:
        self.waits.close()
        if self._listener is not None:
            # One cancel is not always enough: on Python 3.11, asyncio.wait_for
            # drops a cancel that lands just as the connection it waits for is
            # made, and the listener would then go on listening for ever.
            while not self._listener.done():
                self._listener.cancel()
                await asyncio.wait({self._listener}, timeout=0.1)
            await asyncio.gather(self._listener, return_exceptions=True)
        await close_async(self._subscriber)
        await self.connections.close()

    async def healthy(self) -> bool:
        return await self.connections.healthy()

    async def signing_key(self, generated: bytes) -> bytes:
        """The key shared by every front-end: the first to start sets it."""
        await self._client.set(SIGNING_KEY, generated.hex(), nx=True)
        shared = await self._client.get(SIGNING_KEY)
        return bytes.fromhex(shared.decode())

    async def submit(self, owner: str, items: list[int], body: bytes = b"") -> str:
        """Queues the problem as its validated body (or as `items` written out)."""
        request_id = secrets.token_urlsafe(18)
        body = body or json.dumps(items, separators=(",", ":")).encode()
        keys = [*STORE_KEYS, STREAM, job_key(request_id), queued_key(owner)]
        args = [
            self._max_queued,
            self._max_queued_per_key,
            owner,
            request_id,
            body,
            QUEUED_TTL,
            result_bound(items) + RESULT_OVERHEAD,
            self._max_result_bytes,
            self._max_result_bytes_per_key,
        ]
        wanted = self._target.min_replicas
        try:
            if wanted:
                # WAIT counts the writes of its own connection: one pipeline
                # sends both on one.
                async with self._client.pipeline(transaction=False) as pipe:
                    await self._submit(keys=keys, args=args, client=pipe)
                    pipe.wait(wanted, self._target.wait_milliseconds())
                    outcome, confirmed = await pipe.execute()
                if outcome[0] == 0 and confirmed < wanted:
                    await self.withdraw(owner, request_id, outcome[1])
                    raise unreplicated()
            else:
                outcome = await self._submit(keys=keys, args=args)
        except (RedisError, OSError) as error:
            raise unavailable() from error
        if outcome[0] == 1:
            raise Refusal(HTTPStatus.SERVICE_UNAVAILABLE, "Too many problems queued", 5)
        if outcome[0] == 2:
            raise Refusal(HTTPStatus.TOO_MANY_REQUESTS, "Too many problems queued for this key", 5)
        if outcome[0] == 3:
            raise share_refusal(int(outcome[1]))
        return request_id

    async def withdraw(self, owner: str, request_id: str, entry: bytes) -> None:
        """Takes back a problem that will be refused, unless its result is
        stored already; a worker that holds it solves it for nothing."""
        try:
            await self._withdraw(
                keys=[RESERVED, STREAM, job_key(request_id), queued_key(owner)],
                args=[entry, owner],
            )
        except (RedisError, OSError):
            pass  # refused all the same; a worker solves it, unasked

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
        """Results stored, and what they are charged (bytes and overhead)."""
        count: int = await self._client.zcard(EXPIRY)
        charged = await self._client.get(HELD_TOTAL)
        return count, int(charged or 0)

    async def queue_figures(self) -> tuple[int, float, int]:
        """Problems taken by a consumer and not yet solved; the age in seconds
        of the oldest of them since it was queued (its id is its queueing
        time in ms, by Redis's clock); and the consumers live (see LIVE_SECONDS)."""
        summary = await self._client.xpending(STREAM, GROUP)
        pending = int(summary.get("pending") or 0)
        oldest_age = 0.0
        seconds, microseconds = await self._client.time()
        now_ms = seconds * 1000 + microseconds // 1000
        if pending and summary.get("min"):
            oldest = summary["min"]
            oldest = oldest.decode() if isinstance(oldest, bytes) else str(oldest)
            oldest_age = max(0.0, (now_ms - int(oldest.split("-")[0])) / 1000)
        live: int = await self._client.zcount(CONSUMERS, now_ms / 1000 - LIVE_SECONDS, "+inf")
        return pending, oldest_age, live
