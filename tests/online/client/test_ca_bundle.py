"""QERN_CA_BUNDLE: the CA file the online solver trusts instead of the system's
bundle. Inside the test namespace the system's bundle trusts the throwaway CA
("ca"); "rogue" is a CA no bundle holds, and "untrusted" a server certificate
it signed."""

import os
import shutil
import subprocess

import pytest
from conftest import certs_dir
from oracle import subset_sums

ITEMS = [3, 5, 64, 1000]


@pytest.mark.parametrize(
    ("cert", "bundle", "accepted"),
    [
        ("untrusted", None, False),
        ("untrusted", "rogue.pem", True),
        ("server", "rogue.pem", False),  # the setting replaces the system's bundle
        ("server", "ca.pem", True),
        ("server", "", True),  # empty counts as unset
    ],
    ids=[
        "private CA without the setting",
        "private CA through the setting",
        "no fallback",
        "the system's CA named",
        "empty",
    ],
)
def test_the_named_ca_is_the_only_one_trusted(scenario, solve_online, cert, bundle, accepted):
    env = {} if bundle is None else {"QERN_CA_BUNDLE": bundle and str(certs_dir() / bundle)}
    outcome = solve_online(ITEMS, scenario("ready", cert=cert).origin, **env)
    if accepted:
        assert outcome.result == repr(subset_sums(ITEMS))
    else:
        assert outcome.result == "ConnectionError('Submit problem curl failed with 60')"
    # The fixed locations are searched only without the setting.
    assert ("Checking curl cert location" in outcome.stdout) == (not bundle)


def system_store_with_rogue(tmp_path):
    """A copy of the namespace's /etc/ssl/certs as OpenSSL reads a directory:
    the bundle file (which trusts "ca") and the rogue CA under its hash."""
    store = tmp_path / "certs"
    store.mkdir()
    shutil.copy(certs_dir() / "ca.pem", store / "ca-certificates.crt")
    shutil.copy(certs_dir() / "rogue.pem", store / "rogue.pem")
    hashed = subprocess.run(
        ["openssl", "x509", "-hash", "-noout", "-in", str(store / "rogue.pem")],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    os.symlink("rogue.pem", store / f"{hashed}.0")
    # The solve runs where that directory stands in for the system's.
    mount = 'mount --bind "$0" /etc/ssl/certs && exec "$@"'
    return ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", mount, str(store)]


@pytest.mark.parametrize(
    ("cert", "bundle", "accepted"),
    [
        ("untrusted", "ca.pem", False),
        ("untrusted", None, False),
        ("server", None, True),
    ],
    ids=["the setting", "the system's bundle", "the bundle's own CA"],
)
def test_a_ca_in_the_system_directory_is_not_trusted_beside_the_bundle(
    scenario, solve_online, tmp_path, cert, bundle, accepted
):
    # libcurl reads a directory of CAs of its own unless told not to; the
    # solver trusts only the one bundle it names.
    env = {} if bundle is None else {"QERN_CA_BUNDLE": str(certs_dir() / bundle)}
    prefix = system_store_with_rogue(tmp_path)
    outcome = solve_online(ITEMS, scenario("ready", cert=cert).origin, prefix=prefix, **env)
    if accepted:
        assert outcome.result == repr(subset_sums(ITEMS))
    else:
        assert outcome.result == "ConnectionError('Submit problem curl failed with 60')"


def fifo(tmp_path):
    path = tmp_path / "ca.fifo"
    os.mkfifo(path)  # no writer ever comes: opening it to read must not wait for one
    return path


@pytest.mark.parametrize(
    "make_path",
    [
        lambda tmp_path: tmp_path / "missing.pem",
        lambda tmp_path: tmp_path,
        fifo,
        lambda tmp_path: certs_dir() / "rogue.pem" / "below-a-file",
    ],
    ids=["missing", "directory", "fifo", "below a file"],
)
@pytest.mark.parametrize("background", [False, True], ids=["blocking", "background"])
def test_a_path_that_is_no_readable_file_fails_at_once(
    scenario, solve_online, tmp_path, make_path, background
):
    path = make_path(tmp_path)
    server = scenario("ready", cert="untrusted")
    outcome = solve_online(ITEMS, server.origin, background=background, QERN_CA_BUNDLE=str(path))
    message = f"QERN_CA_BUNDLE is not a readable file: {path}"[:127]
    expected = "None" if background else repr(ConnectionError(message))
    assert outcome.result == expected
    assert f"Failed with error: QERN_CA_BUNDLE is not a readable file: {path}" in outcome.stdout
    assert "curl failed" not in outcome.stdout  # no transfer was tried


def test_a_background_solve_keeps_the_bundle_of_its_call(scenario, solve_online):
    code = """
        import os, queue, qernx
        box = queue.Queue()
        qernx.complete_subset_sum_async(ITEMS, box.put)
        os.environ["QERN_CA_BUNDLE"] = "/nonexistent/ca.pem"
        print(repr(box.get(timeout=TIMEOUT)))
        """
    outcome = solve_online(
        ITEMS,
        scenario("ready", cert="untrusted").origin,
        code=code,
        QERN_CA_BUNDLE=str(certs_dir() / "rogue.pem"),
    )
    assert outcome.result == repr(subset_sums(ITEMS))
