"""What the test suites share about processes: running under the sanitizers,
and measuring resident memory."""

import os

import pytest

# Prepended to a script run in a fresh interpreter: rss_mb() is its resident
# memory in MB.
RSS_MB = """
import os
def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
"""


def exits_with_work_in_flight(env):
    """The environment for a process that exits with solves still running. The
    memory those solves hold is left to the OS on purpose, so under the
    sanitizers the leak check at exit is off for it; memory errors still count."""
    options = os.environ.get("ASAN_OPTIONS")
    if options:
        env["ASAN_OPTIONS"] = options + ":detect_leaks=0"
    return env


def skip_what_sanitizers_distort(items):
    """Under the sanitizers (QERN_SANITIZED=1) memory measurements and address
    space limits mean nothing: those tests run in the plain pass only. So do
    the service's own suites: there the module is only the local solver, which
    the offline suite runs under the sanitizers, and their deadlines are set for
    an interpreter that is not slowed tenfold."""
    if os.environ.get("QERN_SANITIZED") != "1":
        return
    skip = pytest.mark.skip(reason="not meaningful under the sanitizers")
    for item in items:
        if {"memory_growth", "address_space", "service_only"} & set(item.keywords):
            item.add_marker(skip)
