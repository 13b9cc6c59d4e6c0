"""Whose address a request carries behind a proxy: X-Forwarded-For counts
only from a trusted peer, and only its rightmost untrusted entry."""

import pytest
from qernx_service.forwarded import TrustedProxies


def scope(peer, *forwarded):
    return {
        "client": peer,
        "headers": [(b"x-forwarded-for", value.encode()) for value in forwarded],
    }


CASES = {
    # trusted, peer, X-Forwarded-For values, the client seen
    "untrusted-peer-ignored": ("", ("203.0.113.9", 5), ["198.51.100.1"], ("203.0.113.9", 5)),
    "trusted-peer": ("127.0.0.1", ("127.0.0.1", 5), ["198.51.100.1"], ("198.51.100.1", 0)),
    "network": ("10.0.0.0/8", ("10.1.2.3", 5), ["198.51.100.1"], ("198.51.100.1", 0)),
    "outside-network": ("10.0.0.0/8", ("11.1.2.3", 5), ["198.51.100.1"], ("11.1.2.3", 5)),
    "spoofed-left-entry": (
        "127.0.0.1",
        ("127.0.0.1", 5),
        ["1.2.3.4, 198.51.100.1"],
        ("198.51.100.1", 0),
    ),
    "chain-of-proxies": (
        "127.0.0.1,10.0.0.0/8",
        ("127.0.0.1", 5),
        ["198.51.100.1, 10.0.0.2", "10.0.0.3"],
        ("198.51.100.1", 0),
    ),
    "all-trusted": ("127.0.0.1", ("127.0.0.1", 5), ["127.0.0.1"], ("127.0.0.1", 0)),
    "no-header": ("127.0.0.1", ("127.0.0.1", 5), [], ("127.0.0.1", 5)),
    "unix-socket": ("", None, ["198.51.100.1"], ("198.51.100.1", 0)),
    "unix-socket-no-header": ("", None, [], None),
    "ipv6": ("::1", ("::1", 5), ["2001:db8::7"], ("2001:db8::7", 0)),
}


@pytest.mark.parametrize(
    ("trusted", "peer", "forwarded", "client"), CASES.values(), ids=CASES.keys()
)
def test_the_client_is_the_rightmost_address_no_trusted_proxy_wrote(
    trusted, peer, forwarded, client
):
    assert TrustedProxies(trusted).client(scope(peer, *forwarded)) == client


@pytest.mark.parametrize("allowed", ["localhost", "127.0.0.1,nope", "10.0.0.0/33"])
def test_an_entry_that_is_no_address_is_refused_by_name(allowed):
    with pytest.raises(ValueError, match="--forwarded-allow-ips: not an address or network"):
        TrustedProxies(allowed)
