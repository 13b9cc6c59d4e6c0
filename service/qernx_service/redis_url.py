"""Checking a Redis URL before anything parses it for real.

A password with an unencoded `/`, `#`, `?` or `@` splits the URL in the wrong
place: the parser's own error then quotes the start of the password (as a
port that is not a number), or worse, the URL parses into another host. The
check here refuses such URLs with a reason that never quotes the URL."""

from __future__ import annotations

import urllib.parse
from typing import Callable

SCHEMES = ("redis", "rediss", "unix")
HINT = (
    "percent-encode the password's special characters"
    " (/ as %2F, # as %23, ? as %3F, @ as %40, : as %3A, % as %25)"
)


def url_problem(url: str) -> str | None:
    """Why `url` cannot be used, in words that quote no part of it; None if it can."""
    try:
        parts = urllib.parse.urlsplit(url)
        if parts.scheme.lower() not in SCHEMES or not url.lower().startswith(
            tuple(f"{scheme}://" for scheme in SCHEMES)
        ):
            return "the Redis URL must start with redis://, rediss:// or unix://"
        # An "@" after the host, or a fragment, is a password split apart.
        broken = bool(parts.fragment) or "@" in parts.path + parts.query
        if parts.scheme.lower() != "unix":
            broken = broken or not parts.hostname
            parts.port  # noqa: B018 (raises ValueError for a port that is no number)
        from redis import connection

        parse: Callable[[str], object] = connection.parse_url
        parse(url)
    except Exception:  # whatever the parser says may quote the password
        broken = True
    if broken:
        return f"the Redis URL does not parse; {HINT}"
    return None


def without_password(url: str) -> str:
    """A Redis URL fit for a log: its password, if any, as ***."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    user = parts.username or ""
    host = parts.netloc.rpartition("@")[2]
    return urllib.parse.urlunsplit(parts._replace(netloc=f"{user}:***@{host}"))
