"""A front-end's connections to Redis: one bounded pool for every command a
request sends, and connections of their own for what must not queue behind
the requests (the health check) or holds its connection for long (a
subscriber waiting for notifications).

A request holds a pooled connection for one command, then gives it back;
when all are busy it waits its turn, up to POOL_WAIT seconds, instead of
failing. The size bounds what one front-end asks of Redis (whose
`maxclients` must hold every front-end's pool and the workers), not the
requests it serves: those are bounded by --max-connections."""

from __future__ import annotations

import asyncio
from typing import Any

from redis.exceptions import RedisError

from ..redis_connect import RedisTarget, close_async, connect_async

# One front-end is one event loop, and Redis answers a command in well under
# a millisecond: past a few dozen connections, more only let more requests
# wait on Redis at once, not faster. Capped by --max-connections.
DEFAULT_POOL = 64
# Seconds a command waits for a pooled connection: as long as it would wait
# for Redis's answer, so that a full pool looks to a client like a slow
# Redis (a short wait), and only a pool stuck for as long as a dead Redis
# ends in "Queue unavailable".
POOL_WAIT = 5.0
# How the front-end's connections show in Redis's CLIENT LIST.
CLIENT_NAME = "qernx-front-end"
SETTINGS: dict[str, Any] = {
    "socket_timeout": 5,
    "socket_connect_timeout": 5,
    "health_check_interval": 30,
    "client_name": CLIENT_NAME,
}


def default_pool_size(max_connections: int) -> int:
    """The pool a front-end accepting `max_connections` at once needs: never
    more connections to Redis than clients could use."""
    return max(1, min(DEFAULT_POOL, max_connections))


class RedisConnections:
    def __init__(self, target: RedisTarget, pool_size: int = DEFAULT_POOL) -> None:
        self.target = target
        self.pool_size = pool_size
        # Closing the client closes its pool.
        self.client: Any = connect_async(target, pool=(pool_size, POOL_WAIT), **SETTINGS)
        # /healthz asks Redis on a connection of its own, so that it tells
        # whether Redis answers, not whether the pool has a free connection.
        self._health: Any = self.dedicated()
        self._probe: asyncio.Future[bool] | None = None

    def dedicated(self) -> Any:
        """A client of its own, outside the pool, for a task that holds a
        connection while it waits (a health probe, a subscriber) and does
        one thing at a time: it opens one connection, and the pool's stay
        free for requests."""
        return connect_async(self.target, **SETTINGS)

    async def healthy(self) -> bool:
        """Whether Redis answers PING. Checks asked for while one is on its
        way share its answer: a flood of health checks is one PING at a time."""
        if self._probe is None:
            probe = asyncio.ensure_future(self._ping())
            probe.add_done_callback(lambda _: setattr(self, "_probe", None))
            self._probe = probe
        # Shielded: a check whose client went away does not cancel the others'.
        return await asyncio.shield(self._probe)

    async def _ping(self) -> bool:
        try:
            return bool(await self._health.ping())
        except (RedisError, OSError):
            return False

    async def close(self) -> None:
        await close_async(self._health)
        await close_async(self.client)
