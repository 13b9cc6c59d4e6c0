"""The listening socket and its TLS settings. The socket is bound here,
before the HTTP server starts, so a port already taken is reported plainly
and the port chosen for port 0 is known to the start-up line."""

from __future__ import annotations

import os
import resource
import socket
import ssl
import stat

# Mozilla's "intermediate" TLS 1.2 suites: ECDHE key exchange, AEAD ciphers.
# TLS 1.3's own suites are all AEAD and stay on.
TLS12_CIPHERS = ":".join(
    [
        "ECDHE-ECDSA-AES128-GCM-SHA256",
        "ECDHE-RSA-AES128-GCM-SHA256",
        "ECDHE-ECDSA-AES256-GCM-SHA384",
        "ECDHE-RSA-AES256-GCM-SHA384",
        "ECDHE-ECDSA-CHACHA20-POLY1305",
        "ECDHE-RSA-CHACHA20-POLY1305",
    ]
)


def make_tls_context(cert: str, key: str) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.set_ciphers(TLS12_CIPHERS)
    context.options |= ssl.OP_NO_COMPRESSION | ssl.OP_NO_RENEGOTIATION
    context.set_alpn_protocols(["http/1.1"])
    context.load_cert_chain(cert, key)
    return context


def listening_socket(host: str, port: int, backlog: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
        sock.listen(backlog)
    except OSError:
        sock.close()
        raise
    sock.setblocking(False)
    return sock


def raise_open_file_limit() -> None:
    """Every connection is a descriptor: take all the descriptors allowed."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def unix_socket(path: str, mode: int, backlog: int) -> socket.socket:
    """A listening Unix socket at `path` with file mode `mode`. A socket file
    left by a service that died is replaced; one that a process still
    listens on, or a file that is no socket, is an error (EADDRINUSE, EEXIST)."""
    if os.path.lexists(path):
        if not stat.S_ISSOCK(os.lstat(path).st_mode):
            raise FileExistsError(17, "exists and is not a socket")
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
            try:
                probe.connect(path)
            except ConnectionRefusedError:
                os.unlink(path)  # nobody listens: a leftover
            else:
                raise OSError(98, "Address already in use")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        # Created with the mode at once: no moment when others could connect.
        umask = os.umask(0o777 & ~mode)
        try:
            sock.bind(path)
        finally:
            os.umask(umask)
        sock.listen(backlog)
    except OSError:
        sock.close()
        raise
    sock.setblocking(False)
    return sock
