"""Result requests that wait for their result (Prefer: wait=N), through the
service's application with an embedded back-end whose solves wait for a gate:
what a Prefer header asks, and every way a wait ends."""

import asyncio
import io
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from oracle import subset_sums
from qernx_service.app import ServiceApp
from qernx_service.backends.embedded import EmbeddedBackend
from qernx_service.handlers import DEADLINE_KEY
from qernx_service.protocol import result_payload
from qernx_service.state import owner_of
from qernx_service.waits import requested_wait

KEY = "poll-unit-key-3a9e"


@pytest.mark.parametrize(
    ("values", "wait"),
    [
        ([], None),
        ([b"wait=5"], 5),
        ([b"wait=0"], 0),
        ([b"WAIT = 7"], 7),
        ([b"respond-async, wait=3"], 3),
        ([b"wait=3;x=1"], 3),
        ([b'wait="4"'], 4),
        ([b"wait=5, wait=9"], 5),
        ([b"handling=lenient", b"wait=6"], 6),
        ([b"wait=8", b"wait=2"], 8),
        ([b"wait=99999999999999999999999"], 999_999_999),
        ([b"wait=-1"], None),
        ([b"wait=1.5"], None),
        ([b"wait=soon"], None),
        ([b"wait="], None),
        ([b"wait"], None),
        ([b"waiting=5"], None),
        ([b"wait=\xd9\xa3"], None),  # an Arabic-Indic digit is no delta-seconds
    ],
)
def test_the_first_wait_of_the_prefer_headers_is_read(values, wait):
    headers = [(b"host", b"x"), *((b"prefer", value) for value in values)]
    assert requested_wait(headers) == wait


class Gated:
    """An application over an embedded back-end whose solves wait for `gate`."""

    def __init__(self, max_poll_wait=20):
        self.gate = threading.Event()
        self.executor = ThreadPoolExecutor(1)
        self.backend = EmbeddedBackend(self.executor, ttl=60, solve=self.solve, warm=None)
        self.app = ServiceApp(self.backend, [KEY], log=io.StringIO(), max_poll_wait=max_poll_wait)

    def solve(self, problems):
        assert self.gate.wait(30)
        return [(result_payload(subset_sums(items)), 0.0) for items in problems]

    async def ask(self, request_id, prefer=None, deadline=None, gone=None):
        """One result request; its status, headers, body and seconds."""
        headers = [(b"host", b"localhost"), (b"x-api-key", KEY.encode())]
        if prefer is not None:
            headers.append((b"prefer", prefer))
        scope = {
            "type": "http",
            "http_version": "1.1",
            "method": "GET",
            "path": "/v0/result",
            "raw_path": b"/v0/result",
            "query_string": f"requestId={request_id}".encode(),
            "headers": headers,
            "client": ("127.0.0.1", 40000),
        }
        if deadline is not None:
            scope[DEADLINE_KEY] = asyncio.get_running_loop().time() + deadline
        received = []

        async def receive():
            received.append(1)
            if len(received) == 1:
                return {"type": "http.request", "body": b"", "more_body": False}
            await (gone.wait() if gone is not None else asyncio.Event().wait())
            return {"type": "http.disconnect"}

        sent = []

        async def send(message):
            sent.append(message)

        began = time.monotonic()
        await self.app(scope, receive, send)
        took = time.monotonic() - began
        return sent[0]["status"], dict(sent[0]["headers"]), sent[1]["body"], took


def run(scenario, **options):
    gated = Gated(**options)

    async def started():
        await gated.backend.start()
        try:
            await scenario(gated)
        finally:
            gated.gate.set()
            await gated.backend.close()

    try:
        asyncio.run(started())
    finally:
        gated.gate.set()
        gated.executor.shutdown()


ITEMS = [3, 5, 64, 1000]
OWNER = owner_of(KEY)


def test_a_waiting_request_is_answered_as_soon_as_its_result_is_stored():
    async def scenario(gated):
        request_id = await gated.backend.submit(OWNER, ITEMS)
        waiting = [asyncio.ensure_future(gated.ask(request_id, b"wait=20")) for _ in range(3)]
        await asyncio.sleep(0.5)
        assert not any(w.done() for w in waiting)  # the solve has not begun
        assert len(gated.backend.waits) == 3
        gated.gate.set()
        for status, headers, body, took in await asyncio.gather(*waiting):
            assert status == 200 and body == result_payload(subset_sums(ITEMS))
            assert headers[b"preference-applied"] == b"wait=20"
            assert took < 15  # woken, not answered at the end of the wait
        assert len(gated.backend.waits) == 0  # nothing left behind

    run(scenario)


@pytest.mark.parametrize(
    ("prefer", "max_poll_wait", "deadline", "applied", "least"),
    [
        (b"wait=1", 20, None, b"wait=1", 0.9),
        (b"wait=999999", 1, None, b"wait=1", 0.9),  # capped by --max-poll-wait
        (b"wait=20", 20, 2.5, b"wait=1", 0.9),  # ends a second and more before the deadline
        (b"wait=20", 20, 1.5, None, 0),  # no whole second left before it
        (b"wait=0", 20, None, None, 0),
        (b"wait=soon", 20, None, None, 0),
        (None, 20, None, None, 0),
        (b"wait=20", 0, None, None, 0),  # waits switched off
    ],
)
def test_a_wait_that_runs_out_answers_not_ready(prefer, max_poll_wait, deadline, applied, least):
    async def scenario(gated):
        request_id = await gated.backend.submit(OWNER, ITEMS)
        status, headers, body, took = await gated.ask(request_id, prefer, deadline)
        assert (status, body) == (202, b'{"message":"Result not ready"}')
        assert headers.get(b"preference-applied") == applied
        # Waited about the wait granted, and never as long as the one asked
        # for beyond it (the gate stays shut for 30 s).
        assert least <= took < least + 10

    run(scenario, max_poll_wait=max_poll_wait)


@pytest.mark.parametrize("ending", ["service stops", "client goes"])
def test_a_wait_ends_when_the_service_stops_or_the_client_goes(ending):
    async def scenario(gated):
        request_id = await gated.backend.submit(OWNER, ITEMS)
        gone = asyncio.Event()
        waiting = asyncio.ensure_future(gated.ask(request_id, b"wait=20", gone=gone))
        await asyncio.sleep(0.3)
        assert not waiting.done()
        if ending == "service stops":
            gated.app.stop_waiting()
        else:
            gone.set()
        status, _, _, took = await waiting
        assert status == 202 and took < 10
        assert len(gated.backend.waits) == 0
        if ending == "service stops":  # and a request after that does not wait either
            status, headers, _, took = await gated.ask(request_id, b"wait=20")
            assert status == 202 and b"preference-applied" not in headers and took < 10

    run(scenario)


@pytest.mark.parametrize("outcome", ["unknown", "other owner"])
def test_requests_the_service_refuses_do_not_wait(outcome):
    async def scenario(gated):
        request_id = await gated.backend.submit(
            OWNER if outcome == "unknown" else "someone else", ITEMS
        )
        asked = "no-such-id" if outcome == "unknown" else request_id
        status, headers, _, took = await gated.ask(asked, b"wait=20")
        assert status == 404 and took < 10
        assert b"preference-applied" not in headers

    run(scenario)
