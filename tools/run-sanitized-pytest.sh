#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the pytest suites (offline, then online in the throwaway-CA namespace)
# with the sanitizer runtime preloaded into every Python process they start.
# Reports go to files; any report, from any process, fails the run, and so
# does a process whose leak check could not run.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-.venv/bin/python}
build=build/asan-module
reports=$(mktemp -d /tmp/qern-sanitizer-reports.XXXXXX)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQERN_BUILD_MODULE=ON -DQERN_WERROR=ON -DQERN_SANITIZE=address,undefined \
  -DPython_EXECUTABLE="$python" >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" --parallel 2

# The runtime is preloaded into the Python processes only (and so into the
# interpreters the tests start); full unwinding on malloc lets a leak's stack
# reach the frames that show whose it is; allocations too large to make
# return NULL as they would without the sanitizer. The interpreter leaves objects to
# the OS at exit, so a leak report must not change a process's exit status:
# the reports themselves are the verdict, every one of them read at the end.
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:exitcode=0:allocator_may_return_null=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export QERN_SANITIZED=1
# The interpreter's objects come from malloc too, not from its own arenas, so
# that AddressSanitizer sees a use of a freed Python object as well.
export PYTHONMALLOC=malloc
sanitized=(env LD_PRELOAD="$(g++ -print-file-name=libasan.so)" "$python")

"${sanitized[@]}" -c 'import qernx; assert "asan-module" in qernx.__file__, qernx.__file__'
status=0
# Two workers: the offline tests are short but many, and each runs slower
# under the sanitizers.
"${sanitized[@]}" -m pytest -q -n 2 -p no:cacheprovider "$@" || status=$?
# Four workers on two cores: most online tests wait on servers and pauses.
bash tools/with-throwaway-ca.sh "${sanitized[@]}" -m pytest -q -n 4 -p no:cacheprovider tests/online \
  "$@" || status=$?

"$python" tools/sanitizer_reports.py "$reports" || status=1
rm -rf "$reports"
exit "$status"
