"""Where front-ends and workers find Redis: a URL, or sentinels and a
primary's name; the options that do not go together are refused in one line
that names no password."""

import os
import subprocess
import sys

import pytest
from qernx_service.cli import parse_arguments
from qernx_service.redis_connect import RedisTarget, target_of

PASSWORD = "pw-7c1d0e"


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("10.0.0.1:26379", (("10.0.0.1", 26379),)),
        ("a:1, b:65535", (("a", 1), ("b", 65535))),
        ("[::1]:26379,h:2", (("::1", 26379), ("h", 2))),
    ],
)
def test_sentinel_lists_parse(text, expected):
    arguments = parse_arguments(
        ["--plain-port", "0", "--api-key", "k", "--redis-sentinel", text, "--redis-master", "m"]
    )
    target = target_of(arguments)
    assert target is not None and target.sentinels == expected and target.url is None


@pytest.mark.parametrize("text", ["h", "h:", ":1", "h:0", "h:65536", "h:x", "h:1,", "[::1]"])
def test_malformed_sentinel_lists_are_refused(text, capsys):
    with pytest.raises(SystemExit) as stopped:
        parse_arguments(
            ["--plain-port", "0", "--api-key", "k", "--redis-sentinel", text, "--redis-master", "m"]
        )
    assert stopped.value.code == 2
    assert "--redis-sentinel" in capsys.readouterr().err


@pytest.mark.parametrize(
    ("options", "environment", "reason"),
    [
        (["--redis-sentinel", "h:1"], {}, "needs --redis-master"),
        (["--redis-master", "m"], {}, "goes with --redis-sentinel"),
        (
            ["--redis-sentinel", "h:1", "--redis-master", "m", "--redis", "redis://h:1/0"],
            {},
            "two Redis set-ups",
        ),
        (
            ["--redis-sentinel", "h:1", "--redis-master", "m"],
            {"QERN_REDIS_URL": f"redis://:{PASSWORD}@h:1/0"},
            "two Redis set-ups",
        ),
        (["--redis-min-replicas", "1"], {}, "needs --redis or --redis-sentinel"),
        (["--redis-min-replicas", "-1"], {}, "0 or more"),
        (["--redis", "redis://h:1", "--redis-replica-timeout", "0"], {}, "above 0"),
    ],
    ids=[
        "no-master",
        "master-alone",
        "url-and-sentinel",
        "environment-url-and-sentinel",
        "replicas-without-redis",
        "negative-replicas",
        "zero-timeout",
    ],
)
@pytest.mark.parametrize("program", ["front-end", "worker"])
def test_options_that_do_not_go_together_stop_the_start(options, environment, reason, program):
    """One line, status 2, and never the password of a URL in the environment."""
    argv = [sys.executable, "-m", "qernx_service"]
    argv += ["worker"] if program == "worker" else ["--plain-port", "0", "--api-key", "k"]
    env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
    env.update(environment)
    done = subprocess.run(argv + options, capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 2, done.stderr
    assert reason in done.stderr and done.stderr.count("\n") == 1, done.stderr
    assert PASSWORD not in done.stderr


def test_a_targets_passwords_come_from_the_environment_and_never_show(monkeypatch):
    monkeypatch.setenv("QERN_REDIS_PASSWORD", PASSWORD)
    monkeypatch.setenv("QERN_REDIS_SENTINEL_PASSWORD", PASSWORD + "-s")
    arguments = parse_arguments(
        ["--uds", "/tmp/x", "--api-key", "k"]
        + ["--redis-sentinel", "h:1,[::1]:2", "--redis-master", "m", "--redis-min-replicas", "2"]
    )
    target = target_of(arguments)
    assert target == RedisTarget(
        sentinels=(("h", 1), ("::1", 2)),
        master="m",
        password=PASSWORD,
        sentinel_password=PASSWORD + "-s",
        min_replicas=2,
    )
    for shown in (repr(target), target.shown()):
        assert PASSWORD not in shown
    assert target.shown() == "sentinel://h:1,[::1]:2/m"
