"""`python -m qernx_service`: options, start-up, and shutdown on a signal."""

from __future__ import annotations

import argparse
import os
import signal
import ssl
import sys
import threading

from .server import ServiceServer, make_tls_context
from .store import ResultStore


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be above 0: {text}")
    return value


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {text}")
    return value


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m qernx_service",
        description="Serve complete subset sums over HTTPS, as qernx's online solver expects.",
        epilog="Keys given with --api-key show in the process list; prefer QERN_SERVICE_KEYS.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=8443, help="port (0: any free one)")
    parser.add_argument("--cert", required=True, help="PEM certificate chain of the server")
    parser.add_argument("--key", required=True, help="PEM private key of the certificate")
    parser.add_argument(
        "--api-key",
        action="append",
        default=[],
        dest="api_keys",
        help="a key clients may send as x-api-key (repeatable)",
    )
    parser.add_argument(
        "--workers", type=positive_int, default=os.cpu_count() or 2, help="solver threads"
    )
    parser.add_argument(
        "--result-ttl",
        type=positive_float,
        default=600.0,
        help="seconds a solved result is kept (default 600)",
    )
    parser.add_argument(
        "--redirect-results",
        action="store_true",
        help="answer result requests with a redirect to an object-store style URL",
    )
    arguments = parser.parse_args(argv)
    from_environment = os.environ.get("QERN_SERVICE_KEYS", "").split(",")
    arguments.api_keys += [key.strip() for key in from_environment if key.strip()]
    if not arguments.api_keys:
        parser.error("no API key: give --api-key or set QERN_SERVICE_KEYS (comma-separated)")
    return arguments


def main(argv: list[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    # The service solves in-process: never ask a solver service for it.
    os.environ["QERN_KILLSWITCH"] = "1"
    try:
        context = make_tls_context(arguments.cert, arguments.key)
    except (OSError, ssl.SSLError) as error:
        print(f"qernx_service: cannot load the certificate: {error}", file=sys.stderr)
        return 2
    store = ResultStore(arguments.workers, arguments.result_ttl)
    try:
        server = ServiceServer(
            (arguments.host, arguments.port),
            context,
            store,
            arguments.api_keys,
            arguments.redirect_results,
        )
    except OSError as error:
        store.close()
        print(
            f"qernx_service: cannot listen on {arguments.host}:{arguments.port}: {error}",
            file=sys.stderr,
        )
        return 1

    stop = threading.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda *_: stop.set())
    loop = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2})
    loop.start()
    host = f"[{arguments.host}]" if ":" in arguments.host else arguments.host
    server.write_log(f"qernx_service listening on https://{host}:{server.port}")
    stop.wait()
    server.shutdown()
    loop.join()
    server.server_close()
    store.close()
    server.write_log("qernx_service stopped")
    return 0
