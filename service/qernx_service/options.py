"""What the front-end's and the worker's options share: a parser whose
mistakes are one line, and the checks of values argparse cannot make."""

from __future__ import annotations

import argparse
import ipaddress
import sys
from typing import NoReturn

from .state import timestamp


class OneLineParser(argparse.ArgumentParser):
    """An argument parser that reports a mistake in one line (the usage text
    would push the reason out of a journal's short view) and exits 2."""

    def error(self, message: str) -> NoReturn:
        complain(self.prog, f"{message} (--help lists the options)")
        raise SystemExit(2)


def complain(prog: str, text: str) -> None:
    """A line on stderr, as every line the service writes starts: with the time."""
    sys.stderr.write(f"{timestamp()} {prog}: {text}\n")
    sys.stderr.flush()


def port_number(text: str) -> int:
    """A TCP port, 0 for any free one; refused here rather than by bind()."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"a port is 0 to 65535: {text}")
    return value


def file_mode(text: str) -> int:
    """A file mode in octal, as chmod takes it (660)."""
    try:
        value = int(text, 8)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an octal file mode: {text!r}") from None
    if not 0 <= value <= 0o777:
        raise argparse.ArgumentTypeError(f"a file mode is 0 to 777: {text}")
    return value


def is_loopback(host: str) -> bool:
    """Whether `host` is a loopback address or names only loopback ("localhost")."""
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False
