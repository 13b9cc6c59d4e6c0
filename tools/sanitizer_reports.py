"""Reads the sanitizer reports of a test run and decides whether it is clean.

Memory errors and undefined behaviour fail the run wherever they happen. A
leak fails it when any frame of its allocation stack lies in qernx (the
module, the library, the binding); leaks whose stacks never enter qernx are
the interpreter's own (objects it leaves to the OS at exit) and are only
counted. Usage: python sanitizer_reports.py REPORT_DIR"""

import pathlib
import re
import sys

OURS = re.compile(r"qernx\.cpython|qerntools\.cpp|/library/src/|/binding/")
LEAK_START = re.compile(r"^(Direct|Indirect) leak of ", re.M)


def leak_blocks(text):
    starts = [m.start() for m in LEAK_START.finditer(text)]
    for begin, end in zip(starts, starts[1:] + [len(text)]):
        yield text[begin:end].split("\n\n")[0]


def main(folder):
    failures, foreign = [], 0
    for report in sorted(pathlib.Path(folder).iterdir()):
        text = report.read_text(errors="replace")
        if "ERROR: LeakSanitizer" not in text:
            failures.append(f"=== {report.name}\n{text[:6000]}")
            continue
        for block in leak_blocks(text):
            if OURS.search(block):
                failures.append(f"=== {report.name}\n{block}")
            else:
                foreign += 1
    print(f"sanitizers: {len(failures)} report(s) in qernx, {foreign} interpreter leak(s) ignored")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
