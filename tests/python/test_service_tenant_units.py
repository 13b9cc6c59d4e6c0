"""The service's refusals of what would let one client in without a key or
another client's data out, checked without a network: blank keys, Redis URLs
that split a password apart, and object URL signatures of any characters."""

import random
import urllib.parse

import pytest
from conftest import random_items
from qernx_service.cli import KeyProblem, gathered_keys, parse_arguments
from qernx_service.handlers import ApiKeys
from qernx_service.protocol import MAX_TOTAL, Refusal, result_bound
from qernx_service.redis_url import url_problem
from qernx_service.solver import solve_payload
from test_service_units import asgi_request, make_app, run, start_app


@pytest.mark.parametrize(
    ("options", "lines", "environment", "expected"),
    [
        (["a"], None, "", ["a"]),
        ([" a\t"], None, "", ["a"]),
        ([], "k1\n\n  \nk2  \n", "", ["k1", "k2"]),
        (["a"], "k1", " b , ,c,", ["a", "k1", "b", "c"]),
        ([], None, " , ,", []),
    ],
    ids=["option", "option-stripped", "file-blank-lines", "all-three", "environment-only-commas"],
)
def test_keys_from_every_source_are_gathered_stripped(
    tmp_path, options, lines, environment, expected
):
    files = []
    if lines is not None:
        files.append(str(tmp_path / "keys"))
        (tmp_path / "keys").write_text(lines)
    assert gathered_keys(options, files, environment) == expected


@pytest.mark.parametrize(
    ("options", "lines", "complaint"),
    [
        ([""], None, "--api-key is empty or blank"),
        (["  "], None, "--api-key is empty or blank"),
        (["a", "\t\n"], None, "--api-key is empty or blank"),
        ([], "", "holds no key"),
        ([], "\n \n\t\n", "holds no key"),
    ],
    ids=["empty-option", "blank-option", "second-option-blank", "empty-file", "blank-file"],
)
def test_empty_or_blank_keys_are_refused(tmp_path, options, lines, complaint):
    files = []
    if lines is not None:
        files.append(str(tmp_path / "keys"))
        (tmp_path / "keys").write_text(lines)
    with pytest.raises(KeyProblem, match=complaint):
        gathered_keys(options, files, "valid-key")


def test_a_missing_key_file_is_refused_with_its_path(tmp_path):
    missing = str(tmp_path / "nowhere")
    with pytest.raises(KeyProblem, match=f"cannot read the key file {missing}"):
        gathered_keys([], [missing], "")


@pytest.mark.parametrize("keys", [[""], ["good", " "], ["\t"]])
def test_the_application_refuses_blank_keys_too(keys):
    with pytest.raises(ValueError, match="empty or blank"):
        ApiKeys(keys)


@pytest.mark.parametrize(
    ("offered", "admitted"),
    [
        ([b"good"], True),
        ([b"other"], False),
        ([], False),
        ([b"good", b"good"], False),
        ([b"good", b"other"], False),
        ([b"other", b"good"], False),
    ],
    ids=["one-known", "one-unknown", "none", "known-twice", "known-first", "known-second"],
)
def test_a_request_is_admitted_with_exactly_one_known_key(offered, admitted):
    keys = ApiKeys(["good", "spare"])
    scope = {"headers": [(b"host", b"localhost")] + [(b"x-api-key", v) for v in offered]}
    if admitted:
        assert keys.owner(scope) == keys.owner({"headers": [(b"x-api-key", b"good")]})
        assert keys.owner(scope) != keys.owner({"headers": [(b"x-api-key", b"spare")]})
    else:
        with pytest.raises(Refusal) as refused:
            keys.owner(scope)
        assert refused.value.status == 403


SECRET_PARTS = ["Pw9e1c7a52", "Qd3b8f0e41", "Zx6a2d9c03"]


@pytest.mark.parametrize("separator", ["/", "#", "?", "/?#", "@#"])
@pytest.mark.parametrize("user", ["", "admin"])
@pytest.mark.parametrize("scheme", ["redis", "rediss"])
def test_a_password_that_splits_the_url_is_reported_without_any_of_it(separator, user, scheme):
    password = separator.join(SECRET_PARTS)
    url = f"{scheme}://{user}:{password}@10.0.0.5:6379/0"
    problem = url_problem(url)
    assert problem is not None and "percent-encode" in problem
    assert not any(part in problem for part in SECRET_PARTS) and "10.0.0.5" not in problem


@pytest.mark.parametrize(
    "url",
    [
        "redis://127.0.0.1:6379/0",
        "redis://localhost",
        "rediss://user:pw@host.example:6380/2",
        "redis://:" + urllib.parse.quote("a/b#c?d@e:f%g", safe="") + "@127.0.0.1:6379/0",
        "unix:///run/redis/redis.sock?db=1",
        "REDIS://127.0.0.1:6379/0",
        "redis://:p@ss:w@rd@127.0.0.1:6379/0",  # the last @ ends the password
    ],
)
def test_urls_redis_can_use_are_accepted(url):
    assert url_problem(url) is None


@pytest.mark.parametrize(
    ("url", "complaint"),
    [
        ("http://127.0.0.1:6379/0", "must start with"),
        ("127.0.0.1:6379", "must start with"),
        ("redis:127.0.0.1", "must start with"),
        ("redis://:123/abc@10.0.0.5:6379/0", "does not parse"),  # a port and a db by accident
        ("redis://10.0.0.5:port/0", "does not parse"),
        ("redis:///0", "does not parse"),
    ],
)
def test_urls_that_are_not_redis_urls_are_refused(url, complaint):
    problem = url_problem(url)
    assert problem is not None and complaint in problem


@pytest.mark.parametrize("environment", [True, False])
def test_the_command_line_refuses_a_broken_url_in_one_line_without_it(
    capsys, monkeypatch, environment
):
    url = "redis://:" + "#".join(SECRET_PARTS) + "@127.0.0.1:6379/0"
    monkeypatch.setenv("QERN_SERVICE_KEYS", "k")
    options = ["--cert", "c", "--key", "k"]
    if environment:
        monkeypatch.setenv("QERN_REDIS_URL", url)
    else:
        monkeypatch.delenv("QERN_REDIS_URL", raising=False)
        options += ["--redis", url]
    with pytest.raises(SystemExit) as stopped:
        parse_arguments(options)
    assert stopped.value.code == 2
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and "percent-encode" in err
    assert not any(part in err for part in SECRET_PARTS)


@pytest.mark.parametrize(
    "signature",
    [
        "%C3%A9" * 64,
        "\u00e9" * 64,
        "%FF%FE",
        "%D9%A1" * 64,  # Arabic-Indic digit one
        "%00" * 64,
        "%ED%A0%80",  # an encoded lone surrogate
        "",
    ],
    ids=[
        "encoded-e-acute",
        "raw-e-acute",
        "invalid-utf8",
        "arabic-digits",
        "nul",
        "surrogate",
        "empty",
    ],
)
def test_a_signature_of_any_characters_is_refused_with_403(signature):
    app = make_app(True)
    start_app(app)
    asgi_request(app, "POST", "/v0/app/sspu", body=b"[1]")
    _, headers, _ = asgi_request(app, "GET", "/v0/result?requestId=solved-1")
    location = headers[b"location"].decode()
    good = location.rsplit("=", 1)[1]
    forged = location.replace(good, signature)
    status, answered, body = asgi_request(app, "GET", forged, key=None)
    assert status == 403 and answered[b"content-type"] == b"application/xml"
    assert body.startswith(b"<?xml") and b"solved-1" in body
    assert asgi_request(app, "GET", location, key=None)[0] == 200  # the real one still works


def incompressible(seed):
    """18 items near the total bound whose sums bitset gzip shrinks little:
    over 40 KB of result from a body of about 120 bytes."""
    rng = random.Random(seed)
    items = [rng.randrange(1, 58_000) for _ in range(18)]
    total = sum(items)
    return [item * MAX_TOTAL // total for item in items] if total > MAX_TOTAL else items


@pytest.mark.parametrize(
    "items",
    [[], [0], [63], [64], [524287], [1] * 100, [262144, 262143]]
    + [incompressible(seed) for seed in range(3)]
    + [random_items(random.Random(seed), 40, 0, 13_000) for seed in range(3)],
)
def test_a_result_never_takes_more_than_its_reservation(items):
    payload, _ = solve_payload(items)
    assert len(payload) <= result_bound(items)


@pytest.mark.parametrize("seed", range(3))
def test_the_reservation_of_a_result_gzip_cannot_shrink_is_close_to_it(seed):
    # A loose bound would refuse a key long before its results fill its share.
    items = incompressible(seed)
    assert result_bound(items) < 1.6 * len(solve_payload(items)[0])


def one_size():
    return len(solve_payload(incompressible(0))[0])


def test_a_key_past_its_share_is_refused_and_another_keys_results_stay():
    async def scenario(h):
        h.gate.set()
        kept = await h.backend.submit("a", incompressible(100))
        a_payload = await h.settled("a", kept)
        accepted, refused = [], None
        for seed in range(40):
            try:
                accepted.append(await h.backend.submit("b", incompressible(seed)))
            except Refusal as refusal:
                refused = refusal
                break
        assert refused is not None and refused.status == 429
        assert "share" in refused.text and 1 <= refused.retry_after <= 60
        for request_id in accepted:  # nothing of b's own is lost either
            assert isinstance(await h.settled("b", request_id), bytes)
        assert await h.backend.lookup("a", kept) == a_payload
        _, held = await h.backend.results_held()
        assert held <= 2 * share
        # Another key is not refused; b is again once its results expire.
        await h.backend.submit("c", incompressible(7))
        h.clock.now += 61
        await h.backend.submit("b", incompressible(8))

    share = 5 * result_bound(incompressible(0))
    run(scenario, max_result_bytes=100 * share, max_result_bytes_per_key=share)


def test_a_key_holding_nothing_may_queue_one_problem_larger_than_its_share():
    async def scenario(h):
        first = await h.backend.submit("a", [524287])
        with pytest.raises(Refusal) as refused:
            await h.backend.submit("a", [1])
        assert refused.value.status == 429 and refused.value.retry_after == 5
        h.gate.set()
        assert isinstance(await h.settled("a", first), bytes)

    run(scenario, max_result_bytes_per_key=100)


def test_beyond_the_total_the_largest_holder_loses_its_own_oldest():
    async def scenario(h):
        h.gate.set()
        a_ids = [await h.backend.submit("a", incompressible(seed)) for seed in (50, 51)]
        for request_id in a_ids:
            await h.settled("a", request_id)
        b_ids = []
        for seed in range(12):
            b_ids.append(await h.backend.submit("b", incompressible(seed)))
            await h.settled("b", b_ids[-1])
        for request_id in a_ids:
            assert isinstance(await h.backend.lookup("a", request_id), bytes)
        b_kept = [isinstance(await h.backend.lookup("b", i), bytes) for i in b_ids]
        # b lost its oldest, and only those: what it kept is its newest.
        assert b_kept == sorted(b_kept) and not b_kept[0] and b_kept[-1]
        _, held = await h.backend.results_held()
        assert held <= 6 * one

    one = one_size()
    run(scenario, max_result_bytes=6 * one + 100, max_result_bytes_per_key=10**9)
