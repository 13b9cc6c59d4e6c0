"""The reference service's parts that need no network: problem parsing,
result payloads and the result store's lifetimes."""

import gzip
import random
import threading
from http import HTTPStatus

import pytest
from conftest import random_items
from oracle import reachable, subset_sums
from qernx_service import MAX_TOTAL, Refusal, ResultStore, parse_problem, result_payload
from qernx_service.store import FAILED, PENDING, UNKNOWN


@pytest.mark.parametrize(
    ("body", "items"),
    [
        (b"[]", []),
        (b"[0]", [0]),
        (b"[3,5,7]", [3, 5, 7]),
        (b"[0,0,10]", [0, 0, 10]),
        (b"[524287]", [524287]),
        (b"[262144,262143]", [262144, 262143]),
    ],
)
def test_compact_arrays_are_read(body, items):
    assert parse_problem(body) == items


@pytest.mark.parametrize(
    ("body", "status"),
    [
        (b"[3, 5]", HTTPStatus.BAD_REQUEST),
        (b"[3,5]\n", HTTPStatus.BAD_REQUEST),
        (b"[03]", HTTPStatus.BAD_REQUEST),
        (b"[-1]", HTTPStatus.BAD_REQUEST),
        (b"[1,]", HTTPStatus.BAD_REQUEST),
        (b"[,1]", HTTPStatus.BAD_REQUEST),
        (b"[1,,2]", HTTPStatus.BAD_REQUEST),
        (b"[1.5]", HTTPStatus.BAD_REQUEST),
        (b'["1"]', HTTPStatus.BAD_REQUEST),
        (b"{}", HTTPStatus.BAD_REQUEST),
        (b"", HTTPStatus.BAD_REQUEST),
        (b"[", HTTPStatus.BAD_REQUEST),
        (b"[" + b"9" * 21 + b"]", HTTPStatus.BAD_REQUEST),
        (b"[" + b"9" * 5000 + b"]", HTTPStatus.BAD_REQUEST),
        (b"[524288]", HTTPStatus.UNPROCESSABLE_ENTITY),
        (b"[524287,1]", HTTPStatus.UNPROCESSABLE_ENTITY),
        (b"[18446744073709551615]", HTTPStatus.UNPROCESSABLE_ENTITY),
        (b"[" + b"0," * 524288 + b"0]", HTTPStatus.REQUEST_ENTITY_TOO_LARGE),
    ],
)
def test_anything_but_a_receivable_compact_array_is_refused(body, status):
    with pytest.raises(Refusal) as refused:
        parse_problem(body)
    assert refused.value.status == status
    assert refused.value.text


def test_the_total_limit_is_where_results_stop_fitting_65536_bytes():
    assert (MAX_TOTAL // 64 + 1) * 8 == 65536
    assert ((MAX_TOTAL + 1) // 64 + 1) * 8 > 65536


@pytest.mark.parametrize("seed", range(4))
def test_payloads_are_gzip_of_the_little_endian_bitset(seed):
    items = random_items(random.Random(seed), 30, 0, 500)
    words = subset_sums(items)
    raw = gzip.decompress(result_payload(words))
    assert raw[:2] != b"\x1f\x8b" and len(raw) == 8 * len(words)
    assert int.from_bytes(raw, "little") == reachable(items)


class FakeClock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.fixture
def store():
    clock = FakeClock()
    gate = threading.Event()

    def solve(items):
        assert gate.wait(10)
        if items == [13]:
            raise RuntimeError("unlucky")
        return subset_sums(items)

    created = ResultStore(workers=2, ttl=60, solve=solve, clock=clock)
    created.clock, created.gate = clock, gate
    yield created
    gate.set()
    created.close()


def wait_for(store, owner, request_id):
    for _ in range(1000):
        found = store.lookup(owner, request_id)
        if found != PENDING:
            return found
        threading.Event().wait(0.01)
    raise AssertionError("never solved")


def test_results_are_pending_until_solved_then_kept_for_their_lifetime(store):
    request_id = store.submit(0, [3, 5])
    assert store.lookup(0, request_id) == PENDING
    assert store.object(request_id) is None
    store.clock.now += 3600  # no lifetime runs while a problem waits
    store.gate.set()
    payload = wait_for(store, 0, request_id)
    assert gzip.decompress(payload) == (297).to_bytes(8, "little")
    assert store.object(request_id) == payload
    store.clock.now += 59.9
    assert store.lookup(0, request_id) == payload
    store.clock.now += 0.2
    assert store.lookup(0, request_id) == UNKNOWN
    assert store.object(request_id) is None
    assert len(store) == 0


def test_a_result_is_visible_only_to_the_key_that_asked(store):
    store.gate.set()
    request_id = store.submit(1, [1])
    assert isinstance(wait_for(store, 1, request_id), bytes)
    assert store.lookup(0, request_id) == UNKNOWN
    assert store.lookup(1, "no-such-id") == UNKNOWN


def test_a_failed_solve_is_reported_and_the_workers_go_on(store, capsys):
    store.gate.set()
    failed = store.submit(0, [13])
    assert wait_for(store, 0, failed) == FAILED
    assert "failed: unlucky" in capsys.readouterr().err
    solved = store.submit(0, [2])
    assert isinstance(wait_for(store, 0, solved), bytes)


def test_identifiers_are_unique_and_url_safe(store):
    ids = {store.submit(0, []) for _ in range(200)}
    assert len(ids) == 200
    assert all(i.replace("-", "").replace("_", "").isalnum() and len(i) >= 20 for i in ids)
