"""Workers and front-ends facing a Redis that answers with errors (out of
memory, read-only, MISCONF) or comes back empty, and consumers that are gone."""

import gzip
import json
import shutil
import signal
import time

import pytest
from conftest import RedisServer, free_port
from test_service_protocol import bitset_bytes, request, submit
from test_service_redis import front_ends, status_of, wait_solved

pytestmark = pytest.mark.service_only


def eventually(check, what, timeout=60):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, what()
        time.sleep(0.1)


def pending_count(redis_server):
    return int(redis_server.cli("XPENDING", "qernx:problems", "solvers").split()[0])


def hold_problems(server, redis_server, stopped, problems):
    """Submits `problems` while the worker `stopped` is stopped until one of
    its consumers holds some, read before the stop; returns their ids and
    leaves the worker stopped."""
    for _ in range(20):
        stopped.signal_group(signal.SIGSTOP)
        ids = [submit(server, items) for items in problems]
        time.sleep(0.5)
        if pending_count(redis_server):
            return ids
        stopped.signal_group(signal.SIGCONT)
        wait_solved(server, ids)
        time.sleep(0.7)  # its blocked read times out and starts over
    raise AssertionError("the worker never took a problem while stopped")


def bgsave_status(redis_server):
    info = redis_server.cli("INFO", "persistence")
    if "rdb_bgsave_in_progress:1" in info:
        return None
    return "ok" if "rdb_last_bgsave_status:ok" in info else "err"


def bgsave(redis_server):
    redis_server.cli("BGSAVE")
    eventually(lambda: bgsave_status(redis_server) is not None, lambda: "BGSAVE never ended")
    return bgsave_status(redis_server)


class OutOfMemory:
    words = "OOM command not allowed when used memory > 'maxmemory'"

    def __init__(self, redis_server):
        self.redis = redis_server

    def begin(self):
        self.redis.cli("CONFIG", "SET", "maxmemory-policy", "noeviction")
        self.redis.cli("CONFIG", "SET", "maxmemory", "1")

    def end(self):
        self.redis.cli("CONFIG", "SET", "maxmemory", "0")


class ReadOnly:
    """A primary turned into a replica (as by a failover) whose new primary
    it cannot reach yet: it keeps its data and refuses every write."""

    words = "READONLY You can't write against a read only replica."

    def __init__(self, redis_server):
        self.redis = redis_server

    def begin(self):
        self.redis.cli("REPLICAOF", "127.0.0.1", str(free_port()))

    def end(self):
        self.redis.cli("REPLICAOF", "NO", "ONE")


class Misconfigured:
    """Snapshots that cannot be written (the file's place is taken by a
    directory): Redis refuses writes until one is written again."""

    words = "MISCONF Redis is configured to save RDB snapshots"

    def __init__(self, redis_server):
        self.redis = redis_server
        self.blocker = redis_server.folder / "snapshot.rdb"

    def begin(self):
        (self.blocker / "taken").mkdir(parents=True)
        assert bgsave(self.redis) == "err"

    def end(self):
        shutil.rmtree(self.blocker)
        assert bgsave(self.redis) == "ok"


FAULTS = {"oom": OutOfMemory, "readonly": ReadOnly, "misconf": Misconfigured}


@pytest.fixture
def faulty_redis(tmp_path):
    # Snapshots on (never taken on their own in a test): MISCONF needs them.
    server = RedisServer(tmp_path, "--save", "3600 1", "--dbfilename", "snapshot.rdb")
    yield server
    server.stop()


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_a_worker_rides_out_redis_refusing_writes_and_loses_no_problem(
    service, faulty_redis, worker, fault
):
    (server,) = front_ends(service, faulty_redis, 1)
    made = worker(faulty_redis.url, "--concurrency", "2", "--reclaim-after", "5")
    problems = [[3, 5, 64], [1] * 70, [524287], [0], [7, 300, 4095]]
    before = [submit(server, items) for items in problems]
    held = hold_problems(server, faulty_redis, made, problems)
    refusal = FAULTS[fault](faulty_redis)
    refusal.begin()
    made.signal_group(signal.SIGCONT)
    # A problem held while Redis refuses its result is kept until Redis takes it.
    stored = [f"storing {i}: Redis answered: {refusal.words}" for i in held]
    eventually(
        lambda: any(line in made.log() for line in stored), lambda: made.log()[-3000:], timeout=30
    )
    # New problems are refused meanwhile, and said to be: none is accepted and lost.
    response, data = request(server, "POST", "/v0/app/sspu", b"[1,2]")
    assert response.status == 503 and json.loads(data) == {"message": "Queue unavailable"}
    time.sleep(3)  # at least one more try, refused again
    assert made.process.poll() is None, made.log()
    refusal.end()
    after = [submit(server, items) for items in problems]
    accepted = before + held + after
    wait_solved(server, accepted, timeout=90)
    for request_id, items in zip(accepted, problems * 3):
        status, data = status_of(server, request_id)
        assert status == 200 and gzip.decompress(data) == bitset_bytes(items)
    eventually(lambda: pending_count(faulty_redis) == 0, lambda: made.log()[-3000:])
    log = made.log()
    assert "Traceback" not in log and "cannot reach" not in log
    assert "starting another" not in log  # no consumer died
    assert made.stop() == 0


def test_a_redis_come_back_empty_answers_unknown_and_never_a_wrong_result(
    service, redis_server, worker
):
    (server,) = front_ends(service, redis_server, 1)
    made = worker(redis_server.url, "--concurrency", "1")
    solved_items = [3, 9, 27]
    solved = submit(server, solved_items)
    wait_solved(server, [solved])
    held = hold_problems(server, redis_server, made, [[5, 77, 1000], [2, 4]])
    queued = submit(server, [6, 10, 15])  # behind the held ones, read by nobody yet
    redis_server.stop()  # no persistence: it comes back with nothing
    redis_server.start()
    made.signal_group(signal.SIGCONT)  # it solves what it held and stores nothing
    unknown = (404, b'{"message":"Unknown requestId"}')

    def answered_unknown():
        outcomes = {i: status_of(server, i) for i in [solved, queued, *held]}
        assert all(status in (404, 503) for status, _ in outcomes.values()), outcomes
        return all(outcome == unknown for outcome in outcomes.values())

    eventually(answered_unknown, lambda: "the front-end never answered", timeout=30)
    fresh_items = [11, 13, 4096]
    fresh = submit(server, fresh_items)
    wait_solved(server, [fresh])
    status, data = status_of(server, fresh)
    assert status == 200 and gzip.decompress(data) == bitset_bytes(fresh_items)
    assert answered_unknown()
    assert "Traceback" not in made.log()


def consumer_names(redis_server):
    listing = redis_server.cli("XINFO", "CONSUMERS", "qernx:problems", "solvers")
    lines = listing.split()
    return {lines[i + 1] for i, field in enumerate(lines) if field == "name"}


def test_consumers_that_are_gone_leave_the_group_once_their_problems_are_taken(
    service, redis_server, worker
):
    (server,) = front_ends(service, redis_server, 1)
    doomed = worker(redis_server.url, "--concurrency", "2", "--reclaim-after", "2")
    problems = [[i, 2 * i + 1, 64] for i in range(4)]
    held = hold_problems(server, redis_server, doomed, problems)
    doomed.signal_group(signal.SIGKILL)
    doomed.process.wait()
    assert pending_count(redis_server) > 0
    # Redis lists a consumer once it has been handed a problem.
    dead = consumer_names(redis_server)
    assert dead
    # Idle past the point where they count as gone (10 s) before anyone
    # looks: what they hold must be taken over before they are removed.
    time.sleep(11)
    rescuer = worker(redis_server.url, "--concurrency", "2", "--reclaim-after", "2")
    # Its problems are solved: a consumer removed while holding some would
    # leave them to nobody.
    wait_solved(server, held, timeout=90)
    for request_id, items in zip(held, problems):
        status, data = status_of(server, request_id)
        assert status == 200 and gzip.decompress(data) == bitset_bytes(items)

    def rescuers_only():
        names = consumer_names(redis_server)
        return names and all(name.rsplit("-", 2)[1] == str(rescuer.process.pid) for name in names)

    eventually(rescuers_only, lambda: (consumer_names(redis_server), rescuer.log()[-2000:]))
    live = consumer_names(redis_server)
    for name in dead:
        assert f"removed consumer {name}, gone and holding nothing" in rescuer.log()
    # The live ones stay, however long they wait for work.
    time.sleep(15)
    assert consumer_names(redis_server) == live
    assert pending_count(redis_server) == 0


class CancelLosingPubSub:
    """A subscription whose first subscribe drops the cancel that lands in it,
    as asyncio.wait_for on Python 3.11 does when the connection it waits for
    is made at the same moment, and then subscribes after all."""

    def __init__(self, pubsub, waiting):
        self.pubsub = pubsub
        self.waiting = waiting

    async def subscribe(self, *channels):
        import asyncio

        self.waiting.set()
        try:
            await asyncio.sleep(3600)
        except asyncio.CancelledError:
            pass
        await self.pubsub.subscribe(*channels)

    def __getattr__(self, name):
        return getattr(self.pubsub, name)


def test_a_front_end_closes_even_when_its_subscription_lost_a_cancel(redis_server):
    import asyncio

    from qernx_service.backends.redis import RedisBackend

    async def scenario():
        backend = RedisBackend(redis_server.url)
        waiting = asyncio.Event()
        made = backend._subscriber.pubsub
        backend._subscriber.pubsub = lambda: CancelLosingPubSub(made(), waiting)
        await backend.start()
        await asyncio.wait_for(waiting.wait(), 10)
        # Left subscribed after the lost cancel, the listener would wait for
        # announcements for ever, and the front-end's shutdown with it.
        await asyncio.wait_for(backend.close(), 10)
        return backend._listener

    listener = asyncio.run(scenario())
    assert listener.cancelled()
    # and it let its subscription go.
    assert redis_server.cli("PUBSUB", "NUMSUB", "qernx:stored").split() == ["qernx:stored", "0"]
