"""Resident memory over many blocking local calls, after a warm-up."""

import pytest
from conftest import RSS_MB, run_python


@pytest.mark.memory_growth
def test_100000_blocking_calls_keep_memory_flat():
    # Results of one to 200 words, a bool item, a list subclass, a check of
    # every result: each step a leak could hide in.
    result = run_python(
        RSS_MB
        + """
import qernx
class Items(list):
    pass
def run(calls):
    for k in range(calls):
        items = Items([k % 700, 7, True, 64 * (k % 200)]) if k % 3 else [k % 5000, 1]
        words = qernx.complete_subset_sum(items)
        qernx.subset_sum_result_check(words, k % 64)
run(10_000)
start = rss_mb()
run(100_000)
print(rss_mb() - start)
""",
        env_extra={"QERN_KILLSWITCH": "1"},
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    growth_mb = float(result.stdout.split()[-1])
    print(f"100,000 blocking local calls: resident memory grew {growth_mb:.2f} MB")
    assert growth_mb < 5
