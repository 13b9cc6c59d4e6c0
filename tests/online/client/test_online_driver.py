import random

import pytest
from oracle import subset_sums as oracle

BACKOFF_20 = [2 ** (j // 2) for j in range(20)]


PROBLEMS = [[3, 5], [], [64], random.Random(4).choices(range(1, 3000), k=150)]


@pytest.mark.parametrize("items", PROBLEMS, ids=["3 5", "empty", "64", "random"])
def test_results_after_not_ready_answers_are_exact(scenario, solve_online, items):
    server = scenario("ready", not_ready=3)
    outcome = solve_online(items, server.origin)
    assert outcome.result == repr(oracle(items))
    assert outcome.sleeps == [1, 1, 2]
    assert outcome.stdout.count("Result not ready (202)\n") == 3


def test_background_solve_goes_online_too(scenario, solve_online):
    server = scenario("ready", not_ready=1)
    outcome = solve_online([7, 9, 100], server.origin, background=True)
    assert outcome.result == repr(oracle([7, 9, 100]))
    assert outcome.sleeps == [1]  # one wait: a background solve has no stop check


def test_redirect_to_an_object_store_answering_xml_until_ready(scenario, solve_online):
    server = scenario("redirect", not_ready=2)
    outcome = solve_online([1, 2, 40], server.origin)
    assert outcome.result == repr(oracle([1, 2, 40]))
    assert outcome.stdout.count('Output is not expected binary, got <?xml version="1.0"') == 2
    assert outcome.sleeps == [1, 1]


@pytest.mark.parametrize(
    ("name", "message"),
    [
        ("forbidden", "Forbidden"),
        ("bracket", "unexpected opening character to response ["),
        ("no-id", "The service accepted the problem without a requestId"),
    ],
)
def test_refused_or_malformed_submissions_fail_without_polling(
    scenario, solve_online, name, message
):
    server = scenario(name)
    outcome = solve_online([1, 2], server.origin)
    assert outcome.result == f"ConnectionError({message!r})"
    assert "Result not ready" not in outcome.stdout
    assert outcome.sleeps == []
    assert f"Failed with error: {message}\nError occured {message}\n" in outcome.stdout


def test_forbidden_prints_the_scanner_lines(scenario, solve_online):
    outcome = solve_online([1], scenario("forbidden").origin)
    assert "Got message Forbidden\nBad API key\nForbidden\n" in outcome.stdout


NEVER_READY_20 = "ConnectionError('The result was not ready after 20 attempts (HTTP 202)')"


def test_a_service_that_never_gets_ready_is_polled_20_times(scenario, solve_online):
    outcome = solve_online([1, 2], scenario("never").origin)
    assert outcome.result == NEVER_READY_20
    assert outcome.sleeps == BACKOFF_20
    assert sum(outcome.sleeps) == 2046
    assert "Overrode max retries" not in outcome.stdout


@pytest.mark.parametrize(
    ("setting", "attempts"),
    [("5", 30), ("40", 40), ("lots", 30), ("40abc", 30), ("99999999999999999999", 30)],
)
def test_maxretries_overrides_the_attempt_limit(scenario, solve_online, setting, attempts):
    outcome = solve_online([1, 2], scenario("never").origin, QERN_MAXRETRIES=setting)
    assert outcome.sleeps == [2 ** (j // 2) for j in range(attempts)]
    assert f"Overrode max retries to {attempts}Result not ready (202)\n" in outcome.stdout
    expected = f"The result was not ready after {attempts} attempts (HTTP 202)"
    assert outcome.result == f"ConnectionError({expected!r})"


def test_maxretries_is_not_read_when_the_first_poll_succeeds(scenario, solve_online):
    outcome = solve_online([1, 2], scenario("ready").origin, QERN_MAXRETRIES="40")
    assert outcome.result == "[15]"
    assert "Overrode" not in outcome.stdout


def test_an_unknown_host_fails_at_once(solve_online):
    outcome = solve_online([1, 2], "https://qernx-unknown-host.invalid")
    assert outcome.result == "ConnectionError('Submit problem curl failed with 6')"
    assert outcome.sleeps == []


def test_a_redirect_to_plain_http_is_refused(scenario, solve_online):
    outcome = solve_online([1, 2], scenario("to-http").origin)
    expected = "The result request was redirected to a URL that is not https"
    assert outcome.result == f"ConnectionError({expected!r})"
    assert outcome.sleeps == []


def test_a_stalled_answer_is_cut_by_the_guard_and_retried(scenario, solve_online):
    outcome = solve_online([5, 6], scenario("stall-once").origin, timeout=200)
    assert outcome.result == repr(oracle([5, 6]))
    assert "Result not ready (28)\n" in outcome.stdout
    assert outcome.sleeps == [1]


@pytest.mark.parametrize("origin", ["http://127.0.0.1:8443", "ftp://x", "localhost:8443"])
def test_an_origin_that_is_not_https_fails_before_any_transfer(solve_online, origin):
    outcome = solve_online([1], origin)
    assert outcome.result == "ConnectionError('QERN_API_URL must start with https://')"
    assert "Checking curl cert location" not in outcome.stdout


@pytest.mark.parametrize("key", ["k3y\r\nX-Injected: yes", "k3y\nX", "k3y\x7f", "k3y\x01"])
def test_a_key_with_a_control_character_fails_before_any_transfer(scenario, solve_online, key):
    # A line break would end the key's header line and start another.
    outcome = solve_online([1], scenario("ready").origin, QERN_API_KEY=key)
    assert outcome.result == "ConnectionError('QERN_API_KEY holds a control character')"
    assert "Checking curl cert location" not in outcome.stdout
    assert "k3y" not in outcome.stdout + outcome.stderr


@pytest.mark.parametrize(
    ("cert", "code"), [("untrusted", 60), ("wronghost", 60)], ids=["untrusted CA", "wrong host"]
)
def test_certificates_are_verified(scenario, solve_online, cert, code):
    outcome = solve_online([1, 2], scenario("ready", cert=cert).origin)
    assert outcome.result == f"ConnectionError('Submit problem curl failed with {code}')"


def test_the_trace_shows_the_key_header_redacted(scenario, solve_online):
    outcome = solve_online([1, 2], scenario("ready").origin)
    assert "> x-api-key: ***\n" in outcome.stderr
    assert outcome.stderr.count("x-api-key") == 2  # submission and retrieval
    assert "> Accept-Encoding: gzip" in outcome.stderr  # the retrieval only
    assert outcome.stderr.count("Accept-Encoding") == 1


ITEMS = [3, 5, 64, 1000]


@pytest.mark.parametrize(
    ("name", "not_ready", "sleeps"),
    [
        ("line-feed", 0, []),
        ("whitespace", 0, []),
        ("odd-id", 0, []),
        ("two-members", 0, []),
        ("busy", 2, [1, 1]),
        ("submit-busy", 2, [1, 1]),
        # The first drop comes on the connection kept from the submission,
        # where libcurl asks again at once on a new one: one pause.
        ("drop", 2, [1]),
        ("other-host", 0, []),
    ],
)
def test_answers_real_servers_give_end_in_the_exact_result(
    scenario, solve_online, name, not_ready, sleeps
):
    outcome = solve_online(ITEMS, scenario(name, not_ready=not_ready).origin)
    assert outcome.result == repr(oracle(ITEMS))
    assert outcome.sleeps == sleeps


@pytest.mark.parametrize(
    ("name", "message"),
    [
        ("unknown-id", "The service refused the result request (404): Unknown requestId"),
        ("forbidden-poll", "The service refused the result request (403): Forbidden"),
    ],
)
def test_a_refused_poll_fails_at_once_with_the_service_message(
    scenario, solve_online, name, message
):
    outcome = solve_online(ITEMS, scenario(name).origin)
    assert outcome.result == f"ConnectionError({message!r})"
    assert outcome.sleeps == []
    assert "Result not ready" not in outcome.stdout


def test_a_redirect_to_another_host_goes_there_without_the_key(scenario, solve_online):
    outcome = solve_online(ITEMS, scenario("other-host").origin)
    assert outcome.result == repr(oracle(ITEMS))
    # the trace shows both requests: only the first carries the key
    assert "GET /v0/objects/r-1" in outcome.stderr
    assert outcome.stderr.count("x-api-key") == 2  # submission and first poll
