"""Long polls from the module's client: result requests ask the service to
hold them until the result exists (Prefer: wait), an answer the service held
is followed by the next poll at once, a service that holds nothing gets
today's pauses, and a solve's submission and polls share one connection."""

import pytest
from oracle import subset_sums as oracle

ITEMS = [3, 5, 64, 1000]


def recorded(record):
    lines = record.read_text().splitlines()
    return lines.count("connection"), [line for line in lines if line.startswith("prefer ")]


@pytest.mark.parametrize(
    ("name", "background", "sleeps"),
    [
        ("long-poll", False, []),
        ("long-poll", True, []),
        # Ignores Prefer: today's back-off, and the same one connection.
        ("ready", False, [1, 1, 2]),
        # Says it applied the wait but answers at once: no reason to hurry.
        ("says-wait", False, [1, 1, 2]),
    ],
    ids=["held", "held-background", "not-held", "said-but-not-held"],
)
def test_a_solve_polls_over_one_connection_and_pauses_only_when_not_held(
    scenario, solve_online, tmp_path, name, background, sleeps
):
    record = tmp_path / "record"
    server = scenario(name, not_ready=3, record=record)
    outcome = solve_online(ITEMS, server.origin, background=background)
    assert outcome.result == repr(oracle(ITEMS))
    assert outcome.sleeps == sleeps
    if not background:
        assert outcome.stdout.count("Result not ready (202)\n") == 3
    connections, prefers = recorded(record)
    assert connections == 1
    assert prefers == ["prefer wait=20"] * 4


@pytest.mark.parametrize(
    ("deadline", "prefer", "sleeps"),
    [
        ("10", "prefer wait=5", []),  # half the deadline, for the answer to arrive
        ("2.5", "prefer wait=1", []),
        ("1.5", "prefer None", [1, 1, 2]),  # too short to ask for a wait at all
    ],
)
def test_the_wait_asked_fits_in_the_transfer_deadline(
    scenario, solve_online, tmp_path, deadline, prefer, sleeps
):
    record = tmp_path / "record"
    server = scenario("long-poll", not_ready=3, record=record)
    outcome = solve_online(ITEMS, server.origin, QERN_TRANSFER_DEADLINE=deadline)
    assert outcome.result == repr(oracle(ITEMS))
    assert outcome.sleeps == sleeps
    connections, prefers = recorded(record)
    assert connections == 1
    assert prefers == [prefer] * 4


def test_redirected_polls_keep_prefer_to_the_service_alone(scenario, solve_online, tmp_path):
    record = tmp_path / "record"
    server = scenario("other-host", record=record)
    outcome = solve_online(ITEMS, server.origin)
    assert outcome.result == repr(oracle(ITEMS))
    assert "Prefer" not in outcome.stderr.split("/v0/objects/")[-1]
    _, prefers = recorded(record)
    assert prefers == ["prefer wait=20"]
