"""A Redis primary, two replicas and three sentinels watching them, all real
Debian redis-server processes on free ports of 127.0.0.1, with passwords
(one for the Redis servers, another for the sentinels) so that a client that
mixes them up fails. Used by the `sentinel_group` fixture of conftest.py."""

import os
import pathlib
import signal
import subprocess
import time

MASTER_NAME = "qernx-primary"
DATA_PASSWORD = "data-pw-3b1e7f0c"  # must never show in any output
SENTINEL_PASSWORD = "sentinel-pw-9d24a6"  # must never show in any output
# Sentinel gives a primary up after this long silent; short, so that a test's
# failover takes a few seconds and not the default 30.
DOWN_AFTER_MS = 1000
FAILOVER_TIMEOUT_MS = 4000

# redis-server is not ours to sanitize: it runs without the sanitizer runtime
# a sanitized test run preloads.
PLAIN_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def free_port() -> int:
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cli(port, password, *arguments, check=True, timeout=10):
    """redis-cli against a port; the password through the environment, so that
    it never shows in a process list or a failed command's repr."""
    return subprocess.run(
        ["redis-cli", "-p", str(port), *arguments],
        capture_output=True,
        text=True,
        check=check,
        timeout=timeout,
        env=dict(PLAIN_ENV, REDISCLI_AUTH=password),
    ).stdout


class Process:
    """redis-server with a configuration file of its own, which Sentinel may
    rewrite (it records a replica's new primary there)."""

    def __init__(self, folder: pathlib.Path, name: str, lines: list[str], sentinel=False):
        self.port = free_port()
        self.folder = folder / name
        self.folder.mkdir()
        self.config = self.folder / "redis.conf"
        self.password = SENTINEL_PASSWORD if sentinel else DATA_PASSWORD
        self.config.write_text(
            "\n".join(
                [f"port {self.port}", "bind 127.0.0.1", f'dir "{self.folder}"']
                + [f'logfile "{self.folder / "log"}"', *lines]
            )
            + "\n"
        )
        self.sentinel = sentinel
        self.process = None
        self.start()

    def start(self):
        argv = ["redis-server", str(self.config)] + (["--sentinel"] if self.sentinel else [])
        self.process = subprocess.Popen(
            argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=PLAIN_ENV
        )
        deadline = time.monotonic() + 20
        while self.cli("ping", check=False).strip() != "PONG":
            assert self.process.poll() is None, f"{self.folder.name} stopped: {self.log()}"
            assert time.monotonic() < deadline, f"{self.folder.name} did not start"
            time.sleep(0.05)

    def cli(self, *arguments, check=True):
        return cli(self.port, self.password, *arguments, check=check)

    def log(self):
        path = self.folder / "log"
        return path.read_text(errors="replace")[-3000:] if path.exists() else ""

    def kill(self):
        """kill -9: nothing written on the way out, connections reset."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def freeze(self, frozen=True):
        """SIGSTOP (or SIGCONT): alive to its peers' sockets, answering nothing."""
        self.process.send_signal(signal.SIGSTOP if frozen else signal.SIGCONT)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.kill()


DATA_SETTINGS = [
    'save ""',
    "appendonly no",
    f"requirepass {DATA_PASSWORD}",
    f"masterauth {DATA_PASSWORD}",
    # A replica that comes back syncs at once, not after the default 5 s
    # pause that waits for more replicas to share the transfer.
    "repl-diskless-sync-delay 0",
]


def sentinel_settings(primary_port):
    return [
        f"sentinel monitor {MASTER_NAME} 127.0.0.1 {primary_port} 2",
        f"sentinel down-after-milliseconds {MASTER_NAME} {DOWN_AFTER_MS}",
        f"sentinel failover-timeout {MASTER_NAME} {FAILOVER_TIMEOUT_MS}",
        f"sentinel auth-pass {MASTER_NAME} {DATA_PASSWORD}",
        f"requirepass {SENTINEL_PASSWORD}",
    ]


class SentinelGroup:
    """Two replicas, so that a primary that asks for one replica's
    confirmation has one again as soon as the other is promoted: Sentinel
    turns a returning old primary into a replica only at its next INFO round,
    ten seconds on."""

    def __init__(self, folder: pathlib.Path, data=DATA_SETTINGS, sentinel=sentinel_settings):
        """`data`: the Redis servers' settings; `sentinel`: the sentinels',
        given the primary's port."""
        folder.mkdir()
        self.primary = Process(folder, "primary", data)
        self.replicas = [
            Process(folder, f"replica-{index}", [*data, f"replicaof 127.0.0.1 {self.primary.port}"])
            for index in range(2)
        ]
        self.wait_replicas(self.primary, 2)
        self.sentinels = [
            Process(folder, f"sentinel-{index}", sentinel(self.primary.port), sentinel=True)
            for index in range(3)
        ]
        self.nodes = [self.primary, *self.replicas]
        # Each sentinel must know the replicas and the other two before a
        # failover can elect a leader and promote it.
        deadline = time.monotonic() + 30
        while not all(self.sentinel_ready(s) for s in self.sentinels):
            assert time.monotonic() < deadline, [s.log() for s in self.sentinels]
            time.sleep(0.2)

    def sentinel_ready(self, sentinel):
        fields = sentinel.cli("SENTINEL", "MASTER", MASTER_NAME, check=False).split("\n")
        found = dict(zip(fields[::2], fields[1::2]))
        return found.get("num-slaves") == "2" and found.get("num-other-sentinels") == "2"

    @property
    def addresses(self):
        return ",".join(f"127.0.0.1:{s.port}" for s in self.sentinels)

    def options(self, *more):
        return ["--redis-sentinel", self.addresses, "--redis-master", MASTER_NAME, *more]

    @staticmethod
    def environment():
        return {
            "QERN_REDIS_PASSWORD": DATA_PASSWORD,
            "QERN_REDIS_SENTINEL_PASSWORD": SENTINEL_PASSWORD,
        }

    def primary_ports(self):
        """The primary's port as each sentinel names it (None: no answer)."""
        named = []
        for sentinel in self.sentinels:
            answer = sentinel.cli(
                "SENTINEL", "GET-MASTER-ADDR-BY-NAME", MASTER_NAME, check=False
            ).split()
            named.append(int(answer[1]) if len(answer) == 2 else None)
        return named

    def wait_promoted(self, timeout=60):
        """Until every sentinel names the same replica the primary; that replica."""
        deadline = time.monotonic() + timeout
        while True:
            named = set(self.primary_ports())
            promoted = [r for r in self.replicas if {r.port} == named]
            if promoted:
                return promoted[0]
            assert time.monotonic() < deadline, [s.log() for s in self.sentinels]
            time.sleep(0.05)

    @staticmethod
    def wait_replicas(node, count, timeout=60):
        """Until `node` is a primary with `count` replicas in sync."""
        deadline = time.monotonic() + timeout
        while True:
            info = node.cli("INFO", "replication", check=False)
            if "role:master" in info and f"connected_slaves:{count}" in info:
                if info.count("state=online") >= count:
                    return
            assert time.monotonic() < deadline, info
            time.sleep(0.05)

    def logs(self):
        return "".join(p.log() for p in [*self.nodes, *self.sentinels])

    def stop(self):
        for process in [*self.sentinels, *self.nodes]:
            process.stop()
