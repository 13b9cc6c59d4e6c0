"""The module against a hostile service: answers that drip or never end are
cut (at the transfer deadline, or after the little of them the client reads),
blocking and background solves alike end with a message that names the
deadline, and nothing the service sends reaches the output as a control
byte."""

import ast
import os
import subprocess
import sys

import pytest
from conftest import API_KEY, certs_dir
from hostile_server import (
    CONTROLS,
    DrippingNotReady,
    DrippingSubmission,
    EscapeEndsTheSubmissionAnswer,
    EscapeOpensTheSubmissionAnswer,
    EscapesEverywhere,
    OnFirstPoll,
    QuotesTheKey,
    Script,
    dripping_headers,
    dripping_result,
    endless_headers,
    endless_not_ready,
    endless_redirect,
)
from oracle import subset_sums as oracle
from raw_tls_server import RawServer

ITEMS = [3, 5, 64]
SOLVED = repr(oracle(ITEMS))


@pytest.fixture
def hostile():
    started = []

    def start(script):
        started.append(RawServer(certs_dir(), script))
        return started[-1]

    yield start
    for server in started:
        server.close()


def failed(text, background):
    # A background solve's callback gets None; its reason is printed.
    return "None" if background else f"ConnectionError({text!r})"


class Output:
    """What a solve wrote, as bytes decoded without newline translation: text
    mode would turn a peer's bare carriage return into a line break and hide
    it. Decoding fails unless the output is well-formed UTF-8."""

    def __init__(self, completed):
        self.stdout = completed.stdout.decode()
        self.stderr = completed.stderr.decode()
        lines = self.stdout.strip().splitlines()
        self.result = lines[-1] if lines else ""


BLOCKING = """
import qernx
try:
    print(repr(qernx.complete_subset_sum(ITEMS)))
except Exception as error:
    print(repr(error))
"""
BACKGROUND = """
import queue, qernx
box = queue.Queue()
qernx.complete_subset_sum_async(ITEMS, box.put)
print(repr(box.get(timeout=120)))
"""


@pytest.fixture
def solve_raw():
    """Solves in a fresh interpreter, keeping what it wrote as bytes."""

    def run(items, origin, background=False, key=API_KEY):
        env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
        env.update(QERN_API_URL=origin, QERN_API_KEY=key)
        code = (BACKGROUND if background else BLOCKING).replace("ITEMS", repr(items))
        completed = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, env=env, timeout=120
        )
        assert completed.returncode == 0, completed.stderr[-3000:]
        output = Output(completed)
        assert API_KEY not in output.stdout and API_KEY not in output.stderr
        return output

    return run


def assert_no_controls(output):
    for name, text in (("stdout", output.stdout), ("stderr", output.stderr)):
        # The trace keeps its lines' own CRLF endings; nothing else may pass.
        found = sorted({c for c in text.replace("\r\n", "\n") if c in CONTROLS})
        assert found == [], f"{name} holds {found!r}"


BOTH = pytest.mark.parametrize("background", [False, True], ids=["blocking", "background"])


@BOTH
def test_a_dripping_submission_answer_ends_the_solve_at_the_deadline(
    hostile, solve_online, background
):
    server = hostile(DrippingSubmission())
    outcome = solve_online(ITEMS, server.origin, background, QERN_TRANSFER_DEADLINE="1")
    reason = "The submission took longer than its deadline of 1 s"
    assert outcome.result == failed(reason, background)
    assert f"Failed with error: {reason}\n" in outcome.stdout
    retried = "Submission took longer than its deadline of 1 s, trying again\n"
    assert outcome.stdout.count(retried) == 2
    assert [r.method for r in server.requests] == ["POST"] * 3
    assert outcome.sleeps == [1, 1]  # recorded, not waited
    # Three transfers of 1 s each, and the interpreter's start: a byte a
    # fifth of a second would have kept the low-speed rule quiet for ever.
    assert 3 <= outcome.elapsed < 3 + 20


@BOTH
def test_a_dripping_not_ready_answer_ends_every_poll_at_the_deadline(
    hostile, solve_online, background
):
    server = hostile(DrippingNotReady())
    outcome = solve_online(ITEMS, server.origin, background, QERN_TRANSFER_DEADLINE="0.5")
    reason = (
        "The result was not ready after 20 attempts "
        "(the result request took longer than its deadline of 0.5 s)"
    )
    assert outcome.result == failed(reason, background)
    assert f"Failed with error: {reason}\n" in outcome.stdout
    cut = "The result request took longer than its deadline of 0.5 s\nResult not ready (28)\n"
    assert outcome.stdout.count(cut) == 20
    # On a loaded machine the submission itself may pass the half second: it
    # is then tried again, after a sleep of its own.
    resubmitted = outcome.stdout.count(
        "Submission took longer than its deadline of 0.5 s, trying again\n"
    )
    assert len(outcome.sleeps) == 20 + resubmitted
    assert 20 * 0.5 <= outcome.elapsed < 20 * 0.5 + 25


@pytest.mark.parametrize(
    ("attack", "deadline"),
    [
        # Nothing is discarded here: only the deadline ends these.
        (dripping_headers, "1"),
        (dripping_result, "1"),
        # Never read to the end: cut after their first 64 KiB, long before the
        # default deadline.
        (endless_not_ready, None),
        (endless_headers, None),
    ],
    ids=lambda value: getattr(value, "__name__", value),
)
def test_an_answer_that_never_ends_is_cut_and_polled_again(hostile, solve_online, attack, deadline):
    server = hostile(OnFirstPoll(attack))
    settings = {"QERN_TRANSFER_DEADLINE": deadline} if deadline else {}
    outcome = solve_online(ITEMS, server.origin, **settings)
    assert outcome.result == SOLVED
    assert outcome.sleeps == [1]
    assert outcome.stdout.count("Result not ready (") == 1
    if deadline:
        assert "The result request took longer than its deadline of 1 s\n" in outcome.stdout
    else:
        assert "deadline" not in outcome.stdout
    assert outcome.elapsed < 20


def test_an_endless_redirect_body_is_cut_and_the_redirect_followed(hostile, solve_online):
    server = hostile(OnFirstPoll(endless_redirect))
    outcome = solve_online(ITEMS, server.origin)
    assert outcome.result == SOLVED
    assert [r.path for r in server.requests][-1] == "/v0/objects/r-1"
    assert outcome.sleeps == []
    assert outcome.elapsed < 20


def test_an_honest_answer_well_within_the_deadline_is_not_cut(hostile, solve_online):
    server = hostile(Script())
    outcome = solve_online(ITEMS, server.origin, QERN_TRANSFER_DEADLINE="5")
    assert outcome.result == SOLVED
    assert "deadline" not in outcome.stdout
    assert outcome.sleeps == []


def test_without_a_setting_the_deadline_is_60_seconds(hostile, solve_online):
    # A body dripping five bytes a second: the low-speed rule (a byte a second
    # over 30 s) never ends it.
    server = hostile(OnFirstPoll(dripping_result))
    outcome = solve_online(ITEMS, server.origin)
    assert outcome.result == SOLVED
    assert "The result request took longer than its deadline of 60 s\n" in outcome.stdout
    assert 60 <= outcome.elapsed < 60 + 30


# ---- Control bytes ------------------------------------------------------------


@BOTH
def test_escape_sequences_from_the_service_are_never_printed_raw(hostile, solve_raw, background):
    server = hostile(EscapesEverywhere())
    outcome = solve_raw(ITEMS, server.origin, background)
    assert_no_controls(outcome)
    escaped = r"\x1b[2J\x1b[H\x1b]0;pwned\x07\x9b31m\xc2\x9b32m\x0d\x08\x7f"
    # Headers in the trace, on every answer: the submission, three
    # redirects and three answers of the object store.
    assert outcome.stderr.count(f"< X-Evil: {escaped}\r\n") == 7
    # The object store's documents, their line breaks kept.
    xml = '<?xml version="1.0" encoding="UTF-8"?>\n'
    assert f"got {xml}<Error><Code>{escaped}</Code>Result not ready (404)\n" in outcome.stdout
    # (the download refuses a document as a result: libcurl's code 23)
    assert f"got {xml}<E>{escaped}</E>Result not ready (23)\n" in outcome.stdout
    # The refusal: one line, escaped, in the message and in what is raised.
    message = f"gone {escaped}\\x0aFailed with error: forged"
    assert f"Got message {message}\n{message}\n" in outcome.stdout
    reason = f"The service refused the result request (410): {message}"
    assert f"Failed with error: {reason}\n" in outcome.stdout
    assert "\nFailed with error: forged" not in outcome.stdout
    if background:
        assert outcome.result == "None"
    else:
        # As much of it as fits in 127 bytes, cut between escapes.
        raised = ast.literal_eval(outcome.result.removeprefix("ConnectionError(")[:-1])
        assert reason.startswith(raised)
        assert 127 - 3 <= len(raised) <= 127


@pytest.mark.parametrize(
    ("script", "reason"),
    [
        (EscapeOpensTheSubmissionAnswer(), r"unexpected opening character to response \x1b"),
        (EscapeEndsTheSubmissionAnswer(), "Submit problem curl failed with 23"),
    ],
    ids=["opening", "ending"],
)
def test_escape_sequences_in_a_submission_answer_are_never_printed_raw(
    hostile, solve_raw, script, reason
):
    server = hostile(script)
    outcome = solve_raw(ITEMS, server.origin)
    assert_no_controls(outcome)
    assert f"Failed with error: {reason}\n" in outcome.stdout
    assert outcome.result == f"ConnectionError({reason!r})"


@BOTH
@pytest.mark.parametrize(
    "where, ending, forms",
    [
        ("escaped", "-\u00e9\U0001f600", 2),
        ("encoded", "+/='\u00e9", 3),
    ],
    ids=["as JSON escapes past ASCII", "as a URL, XML and Latin-1 write it"],
)
def test_a_key_that_a_service_quotes_as_its_encoder_writes_it_stays_hidden(
    hostile, solve_raw, where, ending, forms, background
):
    # solve_raw fails the test when the key's ASCII start shows anywhere.
    server = hostile(QuotesTheKey(where))
    outcome = solve_raw(ITEMS, server.origin, background, key=API_KEY + ending)
    hidden = " or ".join(["***"] * forms)
    shown = f"The service refused the result request (404): no result for {hidden}"
    assert shown in outcome.stdout
    if not background:
        assert shown in outcome.result


@BOTH
@pytest.mark.parametrize("blanks", ["", " \t"], ids=["key", "key between blanks"])
@pytest.mark.parametrize(
    "where, shown",
    [
        ("submission", "API key *** is not valid"),
        ("result", "The service refused the result request (404): no result for ***"),
        ("document", "<Key>***</Key>"),
    ],
)
def test_a_service_quoting_the_key_does_not_put_it_in_the_output(
    hostile, solve_raw, where, shown, blanks, background
):
    # solve_raw fails the test when the key shows anywhere in the output. The
    # server quotes the key as it reads it, without the blanks around it.
    server = hostile(QuotesTheKey(where))
    outcome = solve_raw(ITEMS, server.origin, background, key=blanks + API_KEY + blanks[::-1])
    assert shown in outcome.stdout
    if where == "document":
        assert outcome.result == SOLVED
        assert outcome.stdout.count(shown) == 2  # the 404's and the 200's
    elif not background:
        assert shown in outcome.result  # and in what is raised
