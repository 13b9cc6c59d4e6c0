"""Memory given back to the system once a burst is over.

Thousands of connections at once (their TLS buffers, their requests) fill
malloc's heap; when they close, glibc keeps the freed pages for reuse and
does not return them, and the next burst, laid out differently, grows the
heap further: rounds of 5,000 idle TLS connections took a front-end from
tens of MB to over a gigabyte. malloc_trim(0) hands every free page back.
It runs only when what the process holds in memory beyond what malloc has
handed out has grown by SLACK_BYTES since it last ran: a front-end at rest,
or in the middle of a burst (using what it holds), is left alone."""

from __future__ import annotations

import asyncio
import ctypes
import ctypes.util
import os
from typing import Any

# Memory held and unused, beyond what it was after the last trim, that
# makes a trim worthwhile.
SLACK_BYTES = 32 << 20
# Seconds between two looks at the heap (a read of /proc and mallinfo2).
CHECK_SECONDS = 1.0

PAGE_BYTES = os.sysconf("SC_PAGE_SIZE")


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def resident_bytes() -> int:
    with open("/proc/self/statm", "rb") as statm:
        return int(statm.read().split()[1]) * PAGE_BYTES


class Heap:
    """glibc's heap, or nothing where the C library is another (musl has
    neither call, and gives memory back by itself)."""

    def __init__(self, slack: int = SLACK_BYTES) -> None:
        self.slack = slack
        self._libc: Any = None
        name = ctypes.util.find_library("c")
        try:
            libc = ctypes.CDLL(name)
            libc.malloc_trim.argtypes = [ctypes.c_size_t]
            libc.mallinfo2.restype = MallInfo2
            self._libc = libc
        except (OSError, AttributeError, TypeError):
            pass
        self.trims = 0
        self.baseline = self.unused_bytes() if self._libc is not None else 0

    @property
    def available(self) -> bool:
        return self._libc is not None

    def unused_bytes(self) -> int:
        """Resident memory beyond what malloc has handed out and not had back:
        free heap pages still held, plus what malloc never sees (code,
        Python's own arenas), which stays about the same."""
        info = self._libc.mallinfo2()
        return resident_bytes() - int(info.uordblks) - int(info.hblkhd)

    def check(self) -> bool:
        """Trims if unused memory grew by the slack since the last trim;
        True if it did."""
        if self._libc is None:
            return False
        unused = self.unused_bytes()
        if unused - self.baseline < self.slack:
            # Less unused than before (a burst taking memory up): that is
            # the new mark to grow from.
            self.baseline = min(self.baseline, unused)
            return False
        self._libc.malloc_trim(0)
        self.trims += 1
        self.baseline = self.unused_bytes()
        return True


async def keep_trimmed(heap: Heap, seconds: float = CHECK_SECONDS) -> None:
    """Checks the heap every `seconds` until cancelled."""
    if not heap.available:
        return
    while True:
        await asyncio.sleep(seconds)
        heap.check()
