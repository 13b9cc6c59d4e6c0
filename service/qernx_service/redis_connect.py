"""Where the service's Redis is: one server named by a URL (`--redis`), or the
primary that Redis Sentinel names (`--redis-sentinel`, `--redis-master`),
followed to whichever replica the sentinels promote when it fails.

Front-ends and workers build their clients here, and only here, so that both
follow a failover the same way. Passwords come from the environment, never
from the command line (the process list shows it to every user), and never
show in a log line: `RedisTarget.shown` has none, and neither has its repr."""

from __future__ import annotations

import argparse
import os
import re
from dataclasses import dataclass, field
from typing import Any, Callable

from .redis_url import url_problem, without_password

# The password of the Redis servers Sentinel names (their `requirepass`).
PASSWORD_VARIABLE = "QERN_REDIS_PASSWORD"
# The sentinels' own password, when they have one (their `requirepass`).
SENTINEL_PASSWORD_VARIABLE = "QERN_REDIS_SENTINEL_PASSWORD"
# Seconds a sentinel may take to answer: a sentinel that hangs must not hold
# up the question to the next one.
SENTINEL_TIMEOUT = 2.0


@dataclass(frozen=True)
class RedisTarget:
    """One Redis, by URL, or by the sentinels that know its primary. With
    `min_replicas`, a write counts once that many replicas confirm it."""

    url: str | None = None
    sentinels: tuple[tuple[str, int], ...] = ()
    master: str = ""
    password: str | None = field(default=None, repr=False)
    sentinel_password: str | None = field(default=None, repr=False)
    min_replicas: int = 0
    replica_timeout: float = 1.0

    def shown(self) -> str:
        """The target for a log line, without any password."""
        if self.url is not None:
            return without_password(self.url)
        where = ",".join(f"[{h}]:{p}" if ":" in h else f"{h}:{p}" for h, p in self.sentinels)
        return f"sentinel://{where}/{self.master}"

    def wait_milliseconds(self) -> int:
        """WAIT's timeout: 0 would wait for ever."""
        return max(1, round(self.replica_timeout * 1000))


def sentinel_addresses(text: str) -> tuple[tuple[str, int], ...]:
    """host:port[,host:port...], an IPv6 host in brackets: [::1]:26379."""
    found = []
    for part in text.split(","):
        part = part.strip()
        host, colon, port = part.rpartition(":")
        host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
        if not colon or not host or not port.isdigit() or not 0 < int(port) <= 65535:
            raise argparse.ArgumentTypeError(
                f"not host:port: {part!r} (a sentinel list is host:port,host:port...)"
            )
        found.append((host, int(port)))
    return tuple(found)


def replica_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of replicas: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"a number of replicas is 0 or more: {text}")
    return value


def seconds_above_zero(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value <= 3600:
        raise argparse.ArgumentTypeError(f"must be above 0 and at most 3600: {text}")
    return value


def add_options(add: Callable[..., Any]) -> None:
    """The options that go with --redis, for the front-end and the worker."""
    add(
        "--redis-sentinel",
        type=sentinel_addresses,
        default=None,
        help="host:port[,host:port...] of Redis Sentinel, instead of --redis: the service"
        " follows the primary they name through a failover (passwords:"
        f" {PASSWORD_VARIABLE} for the Redis servers, {SENTINEL_PASSWORD_VARIABLE} for"
        " the sentinels)",
    )
    add("--redis-master", default=None, help="the name the sentinels monitor the primary by")
    add(
        "--redis-min-replicas",
        type=replica_count,
        default=0,
        help="acknowledge a problem (and store a result) only once this many replicas"
        " confirm it, with WAIT; a problem they do not confirm is refused with 503 (default 0)",
    )
    add(
        "--redis-replica-timeout",
        type=seconds_above_zero,
        default=1.0,
        help="seconds to wait for --redis-min-replicas confirmations (default 1)",
    )


def target_of(arguments: argparse.Namespace) -> RedisTarget | None:
    """The Redis the options name, or None for none; ValueError, in words that
    quote no password, for options that do not go together."""
    if arguments.redis_sentinel is not None:
        if arguments.redis:
            raise ValueError(
                "--redis-sentinel and --redis (or QERN_REDIS_URL) name two Redis set-ups: give one"
            )
        if not arguments.redis_master:
            raise ValueError("--redis-sentinel needs --redis-master, the name they know it by")
        return RedisTarget(
            sentinels=arguments.redis_sentinel,
            master=arguments.redis_master,
            password=os.environ.get(PASSWORD_VARIABLE) or None,
            sentinel_password=os.environ.get(SENTINEL_PASSWORD_VARIABLE) or None,
            min_replicas=arguments.redis_min_replicas,
            replica_timeout=arguments.redis_replica_timeout,
        )
    if arguments.redis_master:
        raise ValueError("--redis-master goes with --redis-sentinel")
    if not arguments.redis:
        if arguments.redis_min_replicas:
            raise ValueError("--redis-min-replicas needs --redis or --redis-sentinel")
        return None
    problem = url_problem(arguments.redis)
    if problem is not None:
        raise ValueError(problem)
    return RedisTarget(
        url=arguments.redis,
        min_replicas=arguments.redis_min_replicas,
        replica_timeout=arguments.redis_replica_timeout,
    )


# How redis-py names a sentinel it asked, in the error that says none knew the
# primary: its client's every setting, passwords masked, for each sentinel.
_SENTINEL_CLIENT = re.compile(r"<redis\.[\w.]*Redis\(.*?,host=([^,]+),port=(\d+),.*?\)>\)>\)>")


def error_text(error: BaseException) -> str:
    """A Redis error for a log line: each sentinel named by its address alone."""
    return _SENTINEL_CLIENT.sub(lambda found: f"sentinel {found[1]}:{found[2]}", str(error))


def _sentinel_settings(target: RedisTarget, options: dict[str, Any]) -> dict[str, Any]:
    timeout = min(SENTINEL_TIMEOUT, options.get("socket_timeout") or SENTINEL_TIMEOUT)
    settings: dict[str, Any] = {"socket_timeout": timeout, "socket_connect_timeout": timeout}
    if target.sentinel_password is not None:
        settings["password"] = target.sentinel_password
    return settings


def connect_async(
    target: RedisTarget, pool: tuple[int, float] | None = None, **options: Any
) -> Any:
    """An asyncio client of the target; through Sentinel, each new connection
    goes to the primary the sentinels name at that moment. With `pool`
    (size, seconds), its connections are that many at most, and a command
    waits up to that long for one to be free."""
    import redis.asyncio

    bounded: dict[str, Any] = {}
    if pool is not None:
        bounded = {"max_connections": pool[0], "timeout": pool[1]}
    if target.url is not None:
        if pool is None:
            return redis.asyncio.Redis.from_url(target.url, **options)
        return redis.asyncio.Redis.from_pool(
            redis.asyncio.BlockingConnectionPool.from_url(target.url, **bounded, **options)
        )
    from redis.asyncio.sentinel import Sentinel, SentinelConnectionPool

    class BlockingSentinelPool(SentinelConnectionPool, redis.asyncio.BlockingConnectionPool):
        """Connections to the primary of the moment, bounded like the pool above."""

    sentinel = Sentinel(
        target.sentinels,
        sentinel_kwargs=_sentinel_settings(target, options),
        password=target.password,
        **options,
    )
    if pool is None:
        return sentinel.master_for(target.master)
    return sentinel.master_for(target.master, connection_pool_class=BlockingSentinelPool, **bounded)


async def close_async(client: Any) -> None:
    """Closes a client of `connect_async`, and through Sentinel, the clients
    of the sentinels it asked too."""
    await client.aclose()
    manager = getattr(client.connection_pool, "sentinel_manager", None)
    if manager is not None:
        await manager.aclose()


def connect_sync(target: RedisTarget, **options: Any) -> Any:
    """`connect_async`, for the worker's blocking clients."""
    import redis

    if target.url is not None:
        return redis.Redis.from_url(target.url, **options)
    from redis.sentinel import Sentinel

    sentinel = Sentinel(
        target.sentinels,
        sentinel_kwargs=_sentinel_settings(target, options),
        password=target.password,
        **options,
    )
    return sentinel.master_for(target.master)
