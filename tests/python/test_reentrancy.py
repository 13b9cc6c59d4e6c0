"""Python code that runs in the middle of a call (the flush of sys.stdout that
every diagnostic makes) may change or empty the very list being
converted. The call must end with a clean exception, never read what the list
no longer holds. The debug allocator fills freed memory, so reading a dropped
element crashes the interpreter there."""

import os

import pytest
from conftest import run_python

# Under the sanitizers the debug hooks sit on top of malloc, so that
# AddressSanitizer sees the interpreter's own frees too.
ALLOCATOR = "malloc_debug" if os.environ.get("QERN_SANITIZED") == "1" else "debug"

# `victim` is emptied by the first flush of sys.stdout after `armed` is set.
# Its elements are objects of their own, which the list holds the only
# reference to, so that emptying the list frees them.
PRELUDE = """
import sys, threading, qernx

class Out:
    def __init__(self, real):
        self.real = real
    def write(self, text):
        return self.real.write(text)
    def flush(self):
        if armed:
            victim.clear()
        self.real.flush()

class Odd:
    pass

armed = False
sys.stdout = Out(sys.stdout)
"""

CASES = [
    pytest.param(
        "victim = [1, 2, Odd()]\narmed = True\nqernx.complete_subset_sum(victim)",
        "TypeError",
        "Error occured with PyLong_Check\n",
        id="element not an int",
    ),
    pytest.param(
        "victim = [int('7'), Odd(), 3]\narmed = True\nqernx.complete_subset_sum(victim)",
        "TypeError",
        "Error occured with PyLong_Check\n",
        id="element not an int amid ints",
    ),
    pytest.param(
        "victim = [2**63, 2**63 + 5, 9]\narmed = True\nqernx.complete_subset_sum(victim)",
        "OverflowError",
        "Error occured, overflow on input\n",
        id="total overflows",
    ),
    pytest.param(
        "victim = [1, Odd()]\narmed = True\n"
        "qernx.complete_subset_sum_async(victim, lambda words: None)",
        "TypeError",
        "Error occured with PyLong_Check\n",
        id="background call",
    ),
    pytest.param(
        "victim = [Odd(), 2]\narmed = True\nqernx.subset_sum_result_check(victim, 3)",
        "TypeError",
        "Error occured with PyLong_Check\n",
        id="result check",
    ),
]


@pytest.mark.parametrize(("call", "error", "printed"), CASES)
def test_a_flush_that_empties_the_list_being_converted(call, error, printed):
    code = (
        PRELUDE
        + "try:\n"
        + "".join(f"    {line}\n" for line in call.splitlines())
        + f"except {error} as raised:\n"
        + "    armed = False\n"
        + "    print('raised', type(raised).__name__, len(victim))\n"
        + "print(qernx.complete_subset_sum([1, 2]))\n"
    )
    result = run_python(code, env_extra={"PYTHONMALLOC": ALLOCATOR, "QERN_KILLSWITCH": "1"})
    assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
    assert result.stdout == printed + f"raised {error} 0\n[15]\n"
