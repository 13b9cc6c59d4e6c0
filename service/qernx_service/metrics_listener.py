"""`--metrics-port`: the metrics over plain HTTP on a port of their own,
without a key, for a Prometheus server that scrapes them over loopback or a
private network. One GET per connection: scrapes are seconds apart."""

from __future__ import annotations

import asyncio
import socket
from collections.abc import Awaitable
from typing import Callable

from prometheus_client import CONTENT_TYPE_LATEST

from .routes import METRICS_PATH

# A scrape's request head is a few hundred bytes; this is plenty.
MAX_HEAD_BYTES = 16 * 1024
# Seconds a client has to send its request head.
HEAD_SECONDS = 5.0


async def serve_metrics(
    sock: socket.socket,
    page: Callable[[], Awaitable[bytes]],
    create_server: Callable[..., Awaitable[asyncio.AbstractServer]],
) -> asyncio.AbstractServer:
    """Answers GET and HEAD of /metrics on `sock` with `page()`; any other
    path is 404, any other method 405; a connection that is slow to send
    its head, or sends a huge one, is dropped. `create_server` is the event
    loop's own (the HTTPS listener's replaces the loop's attribute)."""

    async def answer(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), HEAD_SECONDS)
            method, target, _ = head.split(b"\r\n", 1)[0].decode("latin-1").split(" ", 2)
            path = target.split("?", 1)[0]
            if path != METRICS_PATH:
                status, body, kind = "404 Not Found", b"Not found\n", "text/plain"
            elif method not in ("GET", "HEAD"):
                status, body, kind = "405 Method Not Allowed", b"GET or HEAD\n", "text/plain"
            else:
                status, body, kind = "200 OK", await page(), CONTENT_TYPE_LATEST
            writer.write(
                f"HTTP/1.1 {status}\r\ncontent-type: {kind}\r\n"
                f"content-length: {len(body)}\r\nconnection: close\r\n\r\n".encode()
                + (b"" if method == "HEAD" else body)
            )
            await writer.drain()
        except (asyncio.TimeoutError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            pass
        except (ValueError, ConnectionError):  # not HTTP, or gone
            pass
        finally:
            writer.close()

    def protocol() -> asyncio.Protocol:
        reader = asyncio.StreamReader(limit=MAX_HEAD_BYTES)
        return asyncio.StreamReaderProtocol(reader, answer)

    return await create_server(protocol, sock=sock)
