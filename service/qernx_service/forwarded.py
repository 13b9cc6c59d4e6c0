"""The client's address behind a trusted proxy: taken from X-Forwarded-For
only when the connection comes from an address given with
--forwarded-allow-ips, or over the Unix socket, which only the proxy (and
whoever the socket's file mode admits) can reach."""

from __future__ import annotations

import ipaddress
from typing import Union

from .asgi import Scope

Network = Union[ipaddress.IPv4Network, ipaddress.IPv6Network]


class TrustedProxies:
    def __init__(self, allowed: str = "") -> None:
        """`allowed`: comma-separated addresses or networks (192.0.2.0/24);
        raises ValueError naming the first that is neither."""
        self.networks: list[Network] = []
        for entry in filter(None, (part.strip() for part in allowed.split(","))):
            try:
                self.networks.append(ipaddress.ip_network(entry, strict=False))
            except ValueError:
                raise ValueError(
                    f"--forwarded-allow-ips: not an address or network: {entry!r}"
                ) from None

    def trusts(self, host: str | None) -> bool:
        """Whether a peer may tell the client's address; None is a Unix socket's peer."""
        if host is None:
            return True
        try:
            address = ipaddress.ip_address(host)
        except ValueError:
            return False
        return any(address in network for network in self.networks)

    def client(self, scope: Scope) -> tuple[str, int] | None:
        """The request's client: the peer, or, from a trusted peer, the
        rightmost X-Forwarded-For entry that is not itself a trusted proxy
        (entries further left were written by whoever the client is)."""
        peer: tuple[str, int] | None = scope.get("client")
        if not self.trusts(peer[0] if peer else None):
            return peer
        values = [v for n, v in scope["headers"] if n == b"x-forwarded-for"]
        hops = [h.strip() for h in b",".join(values).decode("latin-1").split(",") if h.strip()]
        for hop in reversed(hops):
            if not self.trusts(hop):
                return (hop, 0)
        return (hops[0], 0) if hops else peer
