#!/usr/bin/env bash
# The offline suite on the Pythons of the built wheels: for each repaired qernx
# wheel in DIR (default dist/), a new venv of its CPython holding that wheel,
# the service's wheel and the test tools, then pytest tests/python in it.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/pythons.sh

dir=${1:-dist}
status=0
for wheel in "$dir"/qernx-*-manylinux*.whl; do
  tag=$(basename "$wheel" | cut -d- -f3)  # cp39, cp313, ...
  python=$(interpreter "3.${tag#cp3}")
  venv=build/wheel-venvs/$tag
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "$wheel" pytest pytest-xdist mypy
  # The service needs CPython 3.11 or newer; its units skip themselves below.
  if "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
    "$venv/bin/python" -m pip install -q "$dir"/qernx_service-*.whl
  fi
  echo "offline suite on $("$venv/bin/python" --version) with $(basename "$wheel")"
  "$venv/bin/python" -m pytest -q -n 2 -p no:cacheprovider tests/python || status=1
done
exit "$status"
