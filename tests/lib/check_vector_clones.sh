#!/usr/bin/env bash
# Fails when a vector version of the solver's kernels comes out scalar: the
# avx2 versions must use ymm registers and the avx512f versions zmm registers.
# Usage: check_vector_clones.sh LIBRARY_OR_OBJECT
set -euo pipefail
library=$1
listing=$(objdump -d --no-show-raw-insn "$library")
failed=0
# kernel:isa:register:name pattern (the target_clones names end in .isa)
for check in shift_or_kernel:avx2:ymm:.avx2 shift_or_kernel:avx512f:zmm:.avx512f \
  sweep_blocks_avx2:avx2:ymm: sweep_blocks_avx512:avx512f:zmm:; do
  IFS=: read -r kernel isa register suffix <<<"$check"
  body=$(awk -v kernel="$kernel" -v suffix="$suffix" '
      /^[0-9a-f]+ <.*>:$/ {
        inside = index($0, kernel) > 0 && (suffix == "" || index($0, suffix ">") > 0 ||
                                           index($0, suffix ".") > 0)
        next
      }
      inside { print }' <<<"$listing")
  if [ -z "$body" ]; then
    echo "no $isa version of $kernel in $library"
    failed=1
  elif ! grep -q "%$register" <<<"$body"; then
    echo "the $isa version of $kernel uses no $register register"
    failed=1
  else
    echo "$kernel ($isa): $(grep -c "%$register" <<<"$body") instructions on $register"
  fi
done
exit "$failed"
