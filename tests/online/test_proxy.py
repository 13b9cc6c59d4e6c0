"""The proxy libcurl would take from https_proxy and no_proxy is read when the
call is made, on the caller's thread, like the QERN_ settings: a proxy that
refuses every connection fails the solve unless no_proxy exempts the host,
and what the environment says after the call does not reach the solve."""

import socket

import pytest
from oracle import subset_sums as oracle

ITEMS = [3, 5, 70]


def check(outcome, proxy, exact, background):
    """The solve is exact, or it failed on the proxy: libcurl's trace shows the
    proxy's port tried, and the failure is the blocking call's ConnectionError
    or a background call's None."""
    if exact:
        assert outcome.result == repr(oracle(ITEMS))
        return
    assert outcome.result == ("None" if background else REFUSED)
    assert f"127.0.0.1:{proxy.rsplit(':', 1)[1]}" in outcome.stdout + outcome.stderr


REFUSED = "ConnectionError('Submit problem curl failed with 7')"


@pytest.fixture
def dead_proxy():
    """A proxy URL on 127.0.0.1 whose port is bound but never listened on:
    every connection to it is refused."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", 0))
    yield f"http://127.0.0.1:{holder.getsockname()[1]}"
    holder.close()


CHANGED_AFTER_THE_CALL = """
import os, queue, qernx
box = queue.Queue()
qernx.complete_subset_sum_async(ITEMS, box.put)
os.environ.update(NEW)
for name in OLD:
    os.environ.pop(name, None)
print(repr(box.get(timeout=TIMEOUT)))
"""


@pytest.mark.parametrize("background", [False, True], ids=["blocking", "background"])
@pytest.mark.parametrize(
    ("variables", "exempt"),
    [
        ({"https_proxy": "PROXY"}, False),
        ({"HTTPS_PROXY": "PROXY"}, False),
        ({"all_proxy": "PROXY"}, False),
        ({"https_proxy": "PROXY", "no_proxy": "localhost,127.0.0.1"}, True),
        ({"ALL_PROXY": "PROXY", "NO_PROXY": "localhost"}, True),
        ({"https_proxy": "PROXY", "no_proxy": "*"}, True),
        # An empty variable counts as unset, as in libcurl's own lookup.
        ({"https_proxy": "", "HTTPS_PROXY": "PROXY"}, False),
        ({"https_proxy": "PROXY", "no_proxy": "", "NO_PROXY": "localhost"}, True),
    ],
    ids=[
        "https_proxy",
        "HTTPS_PROXY",
        "all_proxy",
        "no_proxy",
        "NO_PROXY",
        "no_proxy=*",
        "empty https_proxy",
        "empty no_proxy",
    ],
)
def test_a_refusing_proxy_fails_the_solve_unless_the_host_is_exempt(
    scenario, solve_online, dead_proxy, variables, exempt, background
):
    server = scenario("ready")
    env = {name: value.replace("PROXY", dead_proxy) for name, value in variables.items()}
    outcome = solve_online(ITEMS, server.origin, background=background, **env)
    check(outcome, dead_proxy, exempt, background)


@pytest.mark.parametrize(
    ("at_call", "afterwards", "expected"),
    [
        ({}, {"https_proxy": "PROXY"}, "exact"),
        ({"https_proxy": "PROXY"}, {}, "refused"),
        ({"https_proxy": "PROXY", "no_proxy": "localhost"}, {"no_proxy": ""}, "exact"),
    ],
    ids=["proxy set after", "proxy removed after", "exemption removed after"],
)
def test_a_background_solve_keeps_the_proxy_of_its_call(
    scenario, solve_online, dead_proxy, at_call, afterwards, expected
):
    server = scenario("ready")
    env = {name: value.replace("PROXY", dead_proxy) for name, value in at_call.items()}
    new = {name: value.replace("PROXY", dead_proxy) for name, value in afterwards.items()}
    code = CHANGED_AFTER_THE_CALL.replace("NEW", repr(new)).replace(
        "OLD", repr(sorted(set(at_call) - set(afterwards)))
    )
    outcome = solve_online(ITEMS, server.origin, code=code, **env)
    check(outcome, dead_proxy, expected == "exact", background=True)
