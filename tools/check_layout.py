"""Fails when the library's parts reach where they must not.

Which way the dependencies point:
  binding/  ->  library/hdr/qern_lib.h  (the entry)
  library/entry/   ->  library/local/qern_local.h, library/online/qern_online.h
  library/local/   ->  library/hdr/qern_types.h, qern_memory.h  (no curl, no zlib)
  library/online/  ->  library/hdr/qern_types.h, qern_memory.h
  library/compat/  ->  anything in library/
No library file includes Python or the binding. With --local-library, the
built local archive must name no libcurl or zlib symbol either.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
SHARED = {"qern_types.h", "qern_memory.h"}
# What each part may include of the project's own headers, besides its own
# folder's.
ALLOWED = {
    "local": SHARED,
    "online": SHARED,
    "entry": SHARED | {"qern_lib.h", "qern_local.h", "qern_online.h"},
    "compat": None,  # the contract wraps every part
}
FORBIDDEN_SYSTEM = {
    "local": ("curl/", "zlib.h", "Python.h"),
    "online": ("Python.h",),
    "entry": ("curl/", "zlib.h", "Python.h"),
    "compat": ("Python.h",),
}
BINDING_HEADERS = {path.name for path in (ROOT / "binding").glob("*.h")}
SYMBOL = re.compile(r"\b(curl_\w+|Curl_\w+|inflate\w*|deflate\w*)\b")


def include_problems() -> list[str]:
    problems = []
    for part, allowed in ALLOWED.items():
        folder = ROOT / "library" / part
        own = {path.name for path in folder.glob("*.h")}
        for source in sorted(folder.glob("*.[ch]*")):
            for kind, name in INCLUDE.findall(source.read_text()):
                where = f"{source.relative_to(ROOT)} includes {name}"
                if any(name.startswith(prefix) for prefix in FORBIDDEN_SYSTEM[part]):
                    problems.append(where)
                elif kind == '"' and name in BINDING_HEADERS and name not in own:
                    problems.append(f"{where} (the binding's)")
                elif kind == '"' and allowed is not None and name not in own | allowed:
                    problems.append(where)
    return problems


def symbol_problems(archive: Path) -> list[str]:
    listing = subprocess.run(
        ["nm", "-A", "--no-sort", str(archive)], capture_output=True, text=True, check=True
    ).stdout
    return [f"{archive.name}: {line}" for line in listing.splitlines() if SYMBOL.search(line)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--local-library", type=Path, help="the built local solver archive")
    arguments = parser.parse_args()
    problems = include_problems()
    if arguments.local_library is not None:
        problems += symbol_problems(arguments.local_library)
    for problem in problems:
        print(problem)
    print(f"layout: {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
