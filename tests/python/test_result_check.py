import random

import pytest
import qernx
from conftest import run_python


@pytest.mark.parametrize(
    ("words", "s", "expected"),
    [
        ([15], 3, True),
        ([15], 4, False),
        ([1, 1], 64, True),
        ([1, 1], 65, False),
        ([2**63], 63, True),
        ([2**32], 32, True),
        ([2**31], 63, False),
        ([2**64 - 1], 0, True),
        ([True], 0, True),
    ],
)
def test_bit_is_tested(words, s, expected):
    assert qernx.subset_sum_result_check(words, s) is expected


@pytest.mark.parametrize(
    ("words", "s", "entry", "length"),
    [
        ([15], 64, 1, 1),
        ([], 0, 0, 0),
        ([15], -1, 2**58 - 1, 1),  # the sum wraps to 2**64 - 1
    ],
)
def test_sum_beyond_the_list_is_none_with_a_message(capfd, words, s, entry, length):
    result = qernx.subset_sum_result_check(words, s)
    out = capfd.readouterr().out
    assert result is None
    assert out == (
        f"Error occured in result check, entry {entry} is out of bounds of input of length {length}"
    )


@pytest.mark.parametrize(("s", "expected"), [(2**64 + 3, True), (2**64 + 4, False)])
def test_sum_is_taken_modulo_2_64(s, expected):
    assert qernx.subset_sum_result_check([15], s) is expected


def test_messages_come_in_order_with_python_output():
    result = run_python(
        """
        import qernx
        print("before")
        print(qernx.subset_sum_result_check([15], 64))
        print("after")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "before\nError occured in result check, entry 1 is out of bounds of input of length 1"
        "None\nafter\n"
    )


@pytest.mark.parametrize(
    ("words", "s", "expected"),
    [
        ([15, "not a word"], 3, True),
        ([15, -1, 2**64], 4, False),
        (["x", 2**63], 127, True),
        ([None, 1.5, 1 << 5], 133, True),
        ([None, 1.5, 1 << 5], 132, False),
    ],
)
def test_words_it_does_not_read_are_not_checked(words, s, expected):
    assert qernx.subset_sum_result_check(words, s) is expected


@pytest.mark.parametrize("seed", range(3))
def test_every_sum_of_a_result_agrees_with_the_word_expression(seed):
    rng = random.Random(seed)
    words = [rng.getrandbits(64) for _ in range(rng.randint(1, 40))]
    words[0] |= 1
    for s in range(64 * len(words)):
        assert qernx.subset_sum_result_check(words, s) is bool((words[s >> 6] >> (s & 63)) & 1)
