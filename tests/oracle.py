"""The subset-sum oracle every test suite compares against: Python's own int
arithmetic, independent of the module and of the service."""

import array


def reachable(items):
    """The reachable sums as one int: bit s is set when some subset adds up to s."""
    reach = 1
    for w in items:
        reach |= reach << w
    return reach


def subset_sums(items):
    """The sums bitset of the items as 64-bit words, sum(items) // 64 + 1 of them."""
    count = sum(items) // 64 + 1
    raw = reachable(items).to_bytes(8 * count, "little")
    # Whole-bytes conversion, not one shift per word: shifting a big int is
    # linear in its size, which made large answers quadratic.
    return list(array.array("Q", raw))
