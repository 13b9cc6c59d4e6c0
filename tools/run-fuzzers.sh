#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 under ASan and UBSan, replays the
# regression inputs, then fuzzes each target for FUZZ_SECONDS (default 60),
# two at a time. Any crash, sanitizer report, leak or mismatch with a
# target's reference fails the run and leaves the input in build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
build=build/fuzz
targets=(submit_scanner result_download request_body local_solver trace)

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQERN_BUILD_MODULE=OFF -DQERN_BUILD_FUZZERS=ON -DQERN_SANITIZE=address,undefined \
  -DQERN_WERROR=ON >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build"
mkdir -p "$build/artifacts" "$build/logs"

run_target() {  # target
  local target=$1 work="$build/work/$1"
  mkdir -p "$work" "fuzz/regressions/$1"
  # New inputs go to the scratch folder; seeds and regressions are read only.
  # Standard output is closed: the scanner's diagnostics would slow it down.
  "$build/fuzz/fuzz_$target" "$work" "fuzz/corpus/$target" "fuzz/regressions/$target" \
    -max_total_time="$seconds" -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" >"$build/logs/$target.log" 2>&1
}

failed=0
pids=()
for target in "${targets[@]}"; do
  run_target "$target" &
  pids+=($!)
  if [ ${#pids[@]} -eq 2 ]; then
    for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
    pids=()
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done

printf '%-16s %12s %10s\n' target executions 'exec/s'
for target in "${targets[@]}"; do
  log="$build/logs/$target.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-16s %12s %10s\n' "$target" "${runs:-?}" "${speed:-?}"
  if grep -qE 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error:|deadly signal' "$log"; then
    failed=1
    echo "--- $target failed; the input is in $build/artifacts/ (add it to fuzz/regressions/$target/):"
    tail -40 "$log"
  fi
done
exit "$failed"
