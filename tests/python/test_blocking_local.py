import random

import pytest
import qernx
from conftest import random_items
from oracle import subset_sums

pytestmark = pytest.mark.usefixtures("local")


@pytest.mark.parametrize(
    ("items", "words"),
    [
        ([], [1]),
        ([1, 2], [15]),
        ([5], [33]),
        ([3, 3], [73]),
        ([64], [1, 1]),
        ([True, 2], [15]),
        ([0, 0, 0], [1]),
        ([63], [2**63 + 1]),
        ([100, 100], [1, 2**36, 0, 2**8]),
    ],
)
def test_worked_examples(items, words):
    assert qernx.complete_subset_sum(items) == words


class IntList(list):
    pass


class MyInt(int):
    pass


@pytest.mark.parametrize(
    ("seed", "count", "low", "high"),
    [
        (1, 0, 0, 0),
        (2, 30, 0, 3),  # zeros and duplicates
        (3, 200, 0, 64),  # word-sized shifts
        (4, 50, 1, 5000),
        (5, 1000, 1, 2000),  # total about 10^6
        (6, 8, 100_000, 900_000),  # few large items, several million
        (7, 3000, 1, 2000),  # total about 3 * 10^6
        (8, 5, 2**20, 2**22),  # long runs of empty words
    ],
)
def test_random_inputs_match_python_int(seed, count, low, high):
    rng = random.Random(seed)
    items = random_items(rng, count, low, high)
    assert qernx.complete_subset_sum(items) == subset_sums(items)


def test_list_subclass_and_int_subclass_elements():
    items = IntList([MyInt(7), 3, True, MyInt(0), 64])
    assert qernx.complete_subset_sum(items) == subset_sums([7, 3, 1, 0, 64])


def test_order_does_not_matter():
    rng = random.Random(9)
    items = random_items(rng, 40, 0, 700)
    expected = subset_sums(items)
    for _ in range(5):
        rng.shuffle(items)
        assert qernx.complete_subset_sum(items) == expected


def test_words_are_plain_non_negative_ints_below_2_64():
    words = qernx.complete_subset_sum(list(range(1, 200)))
    assert all(type(w) is int and 0 <= w < 2**64 for w in words)
    assert words[0] == 2**64 - 1


def test_input_list_is_not_changed():
    items = [5, 3, 5, 0]
    qernx.complete_subset_sum(items)
    assert items == [5, 3, 5, 0]


def test_largest_item_alone_reaches_only_zero_and_itself():
    words = qernx.complete_subset_sum([2**20 + 3])
    assert len(words) == (2**20 + 3) // 64 + 1
    assert words[0] == 1 and words[-1] == 1 << ((2**20 + 3) % 64)
    assert not any(words[1:-1])


@pytest.mark.parametrize("s", [0, 3, 4, 63, 64, 65, 68, 127, 128, 135])
def test_membership_matches_the_oracle(s):
    items = [3, 61, 64, 7]
    words = qernx.complete_subset_sum(items)
    reachable = any(sum(w for k, w in enumerate(items) if mask >> k & 1) == s for mask in range(16))
    assert qernx.subset_sum_result_check(words, s) is reachable


def _bench_workloads():
    import pathlib
    import sys

    sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "bench"))
    from bench import WORKLOADS, make_items

    return [(name, make_items) for name in WORKLOADS]


@pytest.mark.parametrize(("name", "make_items"), _bench_workloads(), ids=lambda v: str(v)[:2])
def test_benchmark_workloads_are_exact(name, make_items):
    items = make_items(name)
    assert qernx.complete_subset_sum(items) == subset_sums(items)


@pytest.mark.parametrize(
    "items",
    [
        [7] * 1000,
        [1 << k for k in range(20)],
        [1] * 500 + [300_000],
        [0] * 100 + [5, 0, 9],
        [1] * 63,
        [1] * 64,
        [1] * 65,
        [64] * 50 + [1, 1, 1],
    ],
    ids=["all equal", "powers of two", "huge and tiny", "zeros", "63", "64", "65", "word steps"],
)
def test_fast_path_shapes_are_exact(items):
    assert qernx.complete_subset_sum(items) == subset_sums(items)
