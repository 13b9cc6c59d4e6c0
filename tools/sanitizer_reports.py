"""Reads the sanitizer reports of a test run and decides whether it is clean.

Memory errors and undefined behaviour fail the run wherever they happen. A
leak fails it when any frame of its allocation stack lies in qernx (the
module, the library, the binding); leaks whose stacks never enter qernx are
the interpreter's own (objects it leaves to the OS at exit) and are only
counted, and so are allocations too large to make, which return NULL as they
would without the sanitizer.

A process whose leak check could not run fails the run too, with the lines
LeakSanitizer gave for it. The check runs at exit: its tracer stops every
thread and reads their stacks and thread-local storage, and it can crash
("Tracer caught signal 11") on a thread that is ending at that moment, which
a loaded machine makes likely. Processes that exit while threads of theirs
are still ending turn their leak check off (tests/processes.py,
exits_with_work_in_flight); a failure here names one that does not yet.
Usage: python sanitizer_reports.py DIR"""

import pathlib
import re
import sys

OURS = re.compile(r"qernx\.cpython|/library/(entry|local|online|compat|hdr)/|/binding/")
LEAK_START = re.compile(r"^(Direct|Indirect) leak of ", re.M)
# Allocations too large to make return NULL (allocator_may_return_null=1), as
# they would without the sanitizer; the module raises MemoryError for them.
REFUSED_ALLOCATION = re.compile(r"^==\d+==WARNING: AddressSanitizer failed to allocate .*\n?", re.M)
TRACER = re.compile(r"Tracer caught|Could not attach|Failed suspending|fatal error")


def leak_blocks(text):
    starts = [m.start() for m in LEAK_START.finditer(text)]
    for begin, end in zip(starts, starts[1:] + [len(text)]):
        yield text[begin:end].split("\n\n")[0]


def main(folder):
    failures, foreign, unchecked, refused = [], 0, 0, 0
    for report in sorted(pathlib.Path(folder).iterdir()):
        text = report.read_text(errors="replace")
        text, refused_here = REFUSED_ALLOCATION.subn("", text)
        refused += refused_here
        if not text.strip():
            continue
        if "LeakSanitizer has encountered a fatal error" in text and "ERROR:" not in text:
            unchecked += 1
            why = [line for line in text.splitlines() if TRACER.search(line)]
            failures.append(f"=== {report.name}: leak check could not run\n" + "\n".join(why))
            continue
        if "ERROR: LeakSanitizer" not in text:
            failures.append(f"=== {report.name}\n{text[:6000]}")
            continue
        for block in leak_blocks(text):
            if OURS.search(block):
                failures.append(f"=== {report.name}\n{block}")
            else:
                foreign += 1
    print(
        f"sanitizers: {len(failures) - unchecked} report(s) in qernx, {foreign} interpreter"
        f" leak(s) ignored, {unchecked} process(es) whose leak check could not run,"
        f" {refused} allocation(s) too large to make refused"
    )
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
