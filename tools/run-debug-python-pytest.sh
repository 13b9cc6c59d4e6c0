#!/usr/bin/env bash
# Builds the module for Debian's debug build of Python (python3-dbg) and runs
# the offline suite under it: its running total of references, its checks on
# every object and its checked allocator catch what a release build lets by.
# The service's unit tests need the service, which this interpreter lacks.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=build/debug-python-venv
test -x "$venv/bin/python" || python3-dbg -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q pytest pytest-xdist

# Debian's debug headers are links to the release ones beside a pyconfig.h
# of their own; by default gcc follows a system header's links first, and
# finds the release pyconfig.h, which leaves Py_DEBUG out.
CXXFLAGS="${CXXFLAGS:-} -fno-canonical-system-headers" \
  "$venv/bin/python" -m pip install -q -Ccmake.define.QERN_WERROR=ON .
"$venv/bin/python" - <<'PY'
import sys
import qernx

assert hasattr(sys, "gettotalrefcount"), sys.executable
assert "d-" in qernx.__file__.rsplit("cpython-", 1)[-1], qernx.__file__
PY
"$venv/bin/python" -m pytest -q -n 2 -p no:cacheprovider \
  --ignore-glob='tests/python/test_service_*' "$@"
