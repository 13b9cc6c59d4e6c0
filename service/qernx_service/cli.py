"""`python -m qernx_service` (or `qernx-service`): the front-end's options,
start-up and shutdown; `... worker` runs a Redis solver worker."""

from __future__ import annotations

import argparse
import contextlib
import os
import socket
import ssl
import sys
import time

from .app import ServiceApp
from .backends import Backend
from .forwarded import TrustedProxies
from .options import OneLineParser, complain, file_mode, is_loopback, port_number
from .redis_connect import RedisTarget, add_options, connect_sync, error_text, target_of
from .redis_url import without_password
from .state import Metrics, timestamp

# A key's default share of the result store: a quarter, so that one key
# alone never fills it, and the total bound only comes into play once
# several keys are near their shares.
SHARE_DIVISOR = 4


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


def seconds_or_none(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text}")
    return value


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = OneLineParser(
        prog="python -m qernx_service",
        description="Serve complete subset sums over HTTPS, as qernx's online solver expects."
        " `python -m qernx_service worker --help` tells about Redis solver workers.",
        epilog="Keys given with --api-key show in the process list; prefer QERN_SERVICE_KEYS.",
    )
    add = parser.add_argument
    add("--host", default="127.0.0.1", help="address to listen on")
    add("--port", type=port_number, default=8443, help="port (0: any free one)")
    add("--cert", help="PEM certificate chain of the server (HTTPS on --host and --port)")
    add("--key", help="PEM private key of the certificate")
    add(
        "--uds",
        help="also serve plain HTTP on this Unix socket, for a proxy on this machine"
        " (X-Forwarded-For from it is trusted)",
    )
    add(
        "--uds-mode",
        type=file_mode,
        default=0o660,
        help="file mode of --uds, in octal (default 660: the owner and its group)",
    )
    add("--plain-port", type=port_number, help="also serve plain HTTP on this port, for a proxy")
    add("--plain-host", default="127.0.0.1", help="address of --plain-port (default 127.0.0.1)")
    add(
        "--plain-allow-remote",
        action="store_true",
        help="let --plain-host be an address other machines reach (nothing encrypts it)",
    )
    add(
        "--forwarded-allow-ips",
        default="",
        help="comma-separated proxy addresses or networks whose X-Forwarded-For names the"
        " client (default: none; the --uds peer is always trusted)",
    )
    add(
        "--api-key",
        action="append",
        default=[],
        dest="api_keys",
        help="a key clients may send as x-api-key (repeatable)",
    )
    add(
        "--api-key-file",
        action="append",
        default=[],
        dest="api_key_files",
        help="a file of keys, one a line; blank lines are skipped (repeatable)",
    )
    add(
        "--redis",
        default=os.environ.get("QERN_REDIS_URL") or None,
        help="redis://[:password@]host:port/db: queue in Redis for `worker` processes"
        " (default: QERN_REDIS_URL, which keeps a password out of the process list)",
    )
    add_options(add)
    add(
        "--redis-pool",
        type=positive_int,
        default=None,
        help="connections to Redis at most; requests beyond wait their turn"
        " (default: 64, or --max-connections if fewer)",
    )
    add(
        "--workers",
        type=positive_int,
        default=os.cpu_count() or 2,
        help="solver processes of the embedded back-end",
    )
    add("--result-ttl", type=positive_int, default=3600, help="seconds results are kept")
    add("--max-result-bytes", type=positive_int, default=256 << 20, help="bytes of results held")
    add(
        "--max-result-bytes-per-key",
        type=positive_int,
        default=None,
        help="bytes of results one key may hold (default: a quarter of --max-result-bytes)",
    )
    add("--max-queued", type=positive_int, default=10_000, help="problems queued at once")
    add("--max-queued-per-key", type=positive_int, default=1_000, help="... for one key")
    add("--max-connections", type=positive_int, default=10_000, help="connections open at once")
    add(
        "--max-connections-per-client",
        type=positive_int,
        default=256,
        help="connections open at once from one client address",
    )
    add(
        "--handshake-timeout",
        type=positive_float,
        default=5.0,
        help="seconds a TLS handshake may take from accept",
    )
    add("--request-timeout", type=positive_float, default=30.0, help="seconds for one request")
    add(
        "--max-poll-wait",
        type=seconds_or_none,
        default=20,
        help="seconds a result request sent with `Prefer: wait=N` may wait for its result"
        " (default 20; 0: none waits); a wait always ends before --request-timeout",
    )
    add("--keep-alive", type=positive_float, default=5.0, help="idle seconds between requests")
    add("--backlog", type=positive_int, default=4096, help="listen backlog (1024 at least)")
    add(
        "--redirect-results",
        action="store_true",
        help="answer result requests with a redirect to a signed object URL",
    )
    add(
        "--metrics-port",
        type=port_number,
        default=None,
        help="serve /metrics without a key over plain HTTP on this port (0: any free one);"
        " without it, /metrics on the main port needs a key",
    )
    add(
        "--metrics-host",
        default="127.0.0.1",
        help="address of --metrics-port (default 127.0.0.1: only this machine can scrape)",
    )
    add("--signing-key-file", help="file whose bytes sign object URLs (default: generated)")
    arguments = parser.parse_args(argv)
    try:
        arguments.api_keys = gathered_keys(
            arguments.api_keys, arguments.api_key_files, os.environ.get("QERN_SERVICE_KEYS", "")
        )
    except KeyProblem as problem:
        # One line, without the usage text: the reason must not scroll away.
        raise SystemExit(fail(str(problem), 2)) from None
    if not arguments.api_keys:
        parser.error(
            "no API key: give --api-key or --api-key-file, or set QERN_SERVICE_KEYS"
            " (comma-separated)"
        )
    if (arguments.cert is None) != (arguments.key is None):
        parser.error("--cert and --key go together")
    if arguments.cert is None and arguments.uds is None and arguments.plain_port is None:
        parser.error("nothing to listen on: give --cert and --key, --uds or --plain-port")
    if (
        arguments.plain_port is not None
        and not arguments.plain_allow_remote
        and not is_loopback(arguments.plain_host)
    ):
        parser.error(
            f"--plain-host {arguments.plain_host} is not a loopback address: plain HTTP"
            " there is unencrypted; add --plain-allow-remote if a private network carries it"
        )
    try:
        TrustedProxies(arguments.forwarded_allow_ips)
    except ValueError as error:
        parser.error(str(error))
    try:
        target_of(arguments)
    except ValueError as problem:
        raise SystemExit(fail(str(problem), 2)) from None
    if arguments.max_result_bytes_per_key is None:
        arguments.max_result_bytes_per_key = max(1, arguments.max_result_bytes // SHARE_DIVISOR)
    if (arguments.redis or arguments.redis_sentinel) and arguments.redis_pool is None:
        from .backends.redis_connections import default_pool_size

        arguments.redis_pool = default_pool_size(arguments.max_connections)
    arguments.backlog = max(arguments.backlog, 1024)
    return arguments


class KeyProblem(Exception):
    """A key source that would let a client in without a real key."""


def gathered_keys(options: list[str], files: list[str], environment: str) -> list[str]:
    """The keys from --api-key, --api-key-file and QERN_SERVICE_KEYS, each
    stripped as a header value is. A key that is empty or blank once stripped
    is refused: `--api-key "$UNSET"` would otherwise admit an empty x-api-key.
    Empty entries between commas in the environment, and blank lines in a
    file, separate keys and add none; a file with no key at all is refused."""
    keys = []
    for key in options:
        if not key.strip():
            raise KeyProblem("--api-key is empty or blank: an empty key would let anyone in")
        keys.append(key.strip())
    for path in files:
        try:
            with open(path, encoding="utf-8", errors="surrogateescape") as file:
                found = [line.strip() for line in file.read().splitlines() if line.strip()]
        except OSError as error:
            raise KeyProblem(
                f"cannot read the key file {path}: {error.strerror or error}"
            ) from None
        if not found:
            raise KeyProblem(f"the key file {path} holds no key")
        keys += found
    keys += [key.strip() for key in environment.split(",") if key.strip()]
    return keys


def address_of(sock: socket.socket, tls: socket.socket | None) -> str:
    """A listening socket as a URL: https:// or http://, or unix: and its path."""
    if sock.family == socket.AF_UNIX:
        return f"unix:{sock.getsockname()}"
    host, port = sock.getsockname()[:2]
    shown = f"[{host}]" if ":" in host else host
    return f"{'https' if sock is tls else 'http'}://{shown}:{port}"


def settings_line(arguments: argparse.Namespace) -> str:
    """Every option's effective value, as name=value, with no secret: keys
    are counted, not shown, and a Redis password is masked."""
    shown = []
    for name, value in sorted(vars(arguments).items()):
        if name == "api_keys":
            name, value = "keys", len(value)
        elif name == "redis" and value:
            value = without_password(value)
        elif name == "redis_sentinel" and value:
            value = ",".join(f"[{h}]:{p}" if ":" in h else f"{h}:{p}" for h, p in value)
        elif name == "uds_mode":
            value = f"{value:o}"
        elif isinstance(value, list):
            value = ",".join(map(str, value)) or "-"
        shown.append(f"{name.replace('_', '-')}={'-' if value is None else value}")
    return " ".join(shown)


def redis_problem(target: RedisTarget) -> str | None:
    """Why Redis cannot be used at start-up, in one line without the password."""
    from redis.exceptions import RedisError

    client = connect_sync(target, socket_timeout=5, socket_connect_timeout=5)
    try:
        client.ping()
    except (RedisError, OSError) as error:
        return f"cannot reach Redis at {target.shown()}: {error_text(error)}"
    finally:
        client.close()
    return None


def fail(text: str, status: int) -> int:
    complain("qernx_service", text)
    return status


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["worker"]:
        from .worker import main as worker_main

        return worker_main(argv[1:])
    return serve(parse_arguments(argv))


def serve(arguments: argparse.Namespace) -> int:
    from . import listener, uvicorn_server

    context = None
    try:
        if arguments.cert is not None:
            context = listener.make_tls_context(arguments.cert, arguments.key)
    except (OSError, ssl.SSLError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else error
        return fail(
            f"cannot load the certificate {arguments.cert} with the key {arguments.key}: {reason}",
            2,
        )
    signing_key = None
    if arguments.signing_key_file:
        try:
            with open(arguments.signing_key_file, "rb") as file:
                signing_key = file.read().strip()
        except OSError as error:
            return fail(f"cannot read the signing key: {error}", 2)
        if len(signing_key) < 16:
            return fail("the signing key needs 16 bytes at least", 2)

    target = target_of(arguments)
    if target is not None:
        unreachable = redis_problem(target)
        if unreachable is not None:
            # 3, as for any start that fails while the settings are right: a
            # service manager restarts it until Redis is back.
            return fail(unreachable, 3)

    metrics = Metrics(redis=target is not None)
    backend: Backend
    if target is not None:
        from .backends.redis import RedisBackend

        backend = RedisBackend(
            target,
            arguments.max_queued,
            arguments.max_queued_per_key,
            arguments.max_result_bytes,
            arguments.max_result_bytes_per_key,
            pool_size=arguments.redis_pool,
        )
    else:
        from .backends.embedded import EmbeddedBackend, solver_processes

        backend = EmbeddedBackend(
            None,
            arguments.result_ttl,
            arguments.max_result_bytes,
            arguments.max_queued,
            arguments.max_queued_per_key,
            solvers=arguments.workers,
            max_result_bytes_per_key=arguments.max_result_bytes_per_key,
            metrics=metrics,
            new_executor=lambda: solver_processes(1),
        )
    app = ServiceApp(
        backend,
        arguments.api_keys,
        arguments.redirect_results,
        signing_key,
        arguments.result_ttl,
        metrics,
        proxies=TrustedProxies(arguments.forwarded_allow_ips),
        max_poll_wait=arguments.max_poll_wait,
    )
    uvicorn_server.configure_logging()
    listener.raise_open_file_limit()
    sock = None
    plain = []
    try:
        if context is not None:
            where = f"{arguments.host}:{arguments.port}"
            sock = listener.listening_socket(arguments.host, arguments.port, arguments.backlog)
        if arguments.plain_port is not None:
            where = f"{arguments.plain_host}:{arguments.plain_port}"
            plain.append(
                listener.listening_socket(
                    arguments.plain_host, arguments.plain_port, arguments.backlog
                )
            )
        if arguments.uds is not None:
            where = arguments.uds
            plain.append(listener.unix_socket(arguments.uds, arguments.uds_mode, arguments.backlog))
    except OSError as error:
        for each in [sock, *plain]:
            if each is not None:
                each.close()
        return fail(f"cannot listen on {where}: {error.strerror or error}", 1)
    metrics_sock = None
    if arguments.metrics_port is not None:
        try:
            metrics_sock = listener.listening_socket(
                arguments.metrics_host, arguments.metrics_port, 128
            )
        except OSError as error:
            for each in [sock, *plain]:
                if each is not None:
                    each.close()
            where = f"{arguments.metrics_host}:{arguments.metrics_port}"
            return fail(f"cannot listen for metrics on {where}: {error.strerror or error}", 1)

    mode = f"Redis at {target.shown()}" if target is not None else f"{arguments.workers} solvers"

    began = time.monotonic()

    def started() -> None:
        # The first line ends with an address, for whoever waits for it.
        for each in [sock, *plain]:
            if each is not None:
                app.write_log(f"{timestamp()} qernx_service listening on {address_of(each, sock)}")
        if metrics_sock is not None:
            metrics_host, metrics_port = metrics_sock.getsockname()[:2]
            shown = f"[{metrics_host}]" if ":" in metrics_host else metrics_host
            app.write_log(
                f"{timestamp()} qernx_service metrics on http://{shown}:{metrics_port}/metrics"
            )
        app.write_log(f"{timestamp()} qernx_service solving with {mode}")
        app.write_log(f"{timestamp()} qernx_service settings: {settings_line(arguments)}")
        for warning in getattr(backend, "warnings", []):
            app.write_log(f"{timestamp()} qernx_service: {warning}")

    failed = uvicorn_server.serve(
        app,
        context,
        sock,
        arguments.backlog,
        arguments.max_connections,
        arguments.request_timeout,
        arguments.keep_alive,
        started,
        arguments.max_connections_per_client,
        arguments.handshake_timeout,
        metrics_sock,
        plain,
    )
    if failed is not None:
        return fail("could not start (see above)", failed)
    if arguments.uds is not None:
        with contextlib.suppress(OSError):  # gone already, or replaced: not ours to mind
            os.unlink(arguments.uds)
    uptime = time.monotonic() - began
    app.write_log(f"{timestamp()} qernx_service stopped after {uptime:.1f} s")
    return 0
