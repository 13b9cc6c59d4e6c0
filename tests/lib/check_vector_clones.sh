#!/usr/bin/env bash
# Fails when a vector clone of the solver's kernels comes out scalar: the
# avx2 clones must use ymm registers and the avx512f clones zmm registers.
# Usage: check_vector_clones.sh LIBRARY_OR_OBJECT
set -euo pipefail
library=$1
listing=$(objdump -d --no-show-raw-insn "$library")
failed=0
for kernel in shift_or_kernel all_ones_kernel; do
  for clone in avx2:ymm avx512f:zmm; do
    isa=${clone%%:*} register=${clone##*:}
    body=$(awk -v kernel="$kernel" -v isa="$isa" '
      /^[0-9a-f]+ <.*>:$/ { inside = index($0, kernel) > 0 && (index($0, "." isa ">") > 0 || index($0, "." isa ".") > 0); next }
      inside { print }' <<<"$listing")
    if [ -z "$body" ]; then
      echo "no $isa clone of $kernel in $library"
      failed=1
    elif ! grep -q "%$register" <<<"$body"; then
      echo "the $isa clone of $kernel uses no $register register"
      failed=1
    else
      echo "$kernel.$isa: $(grep -c "%$register" <<<"$body") instructions on $register"
    fi
  done
done
exit "$failed"
