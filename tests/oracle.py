"""The subset-sum oracle every test suite compares against: Python's own int
arithmetic, independent of the module and of the service."""


def reachable(items):
    """The reachable sums as one int: bit s is set when some subset adds up to s."""
    reach = 1
    for w in items:
        reach |= reach << w
    return reach


def subset_sums(items):
    """The sums bitset of the items as 64-bit words, sum(items) // 64 + 1 of them."""
    reach = reachable(items)
    count = sum(items) // 64 + 1
    return [(reach >> (64 * i)) & (2**64 - 1) for i in range(count)]
