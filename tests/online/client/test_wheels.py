"""The built wheels as a user without a compiler installs them: each repaired
qernx wheel in QERN_WHEEL_DIR (make wheels, or the two make test builds) goes
into a new venv of its own CPython, with no compiler, no curl-config and no
development package within reach, and must load its own libcurl and solve
locally and online."""

import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from conftest import API_KEY
from oracle import subset_sums

WHEEL_DIR = os.environ.get("QERN_WHEEL_DIR")
WHEELS = sorted(Path(WHEEL_DIR).glob("qernx-*-manylinux*.whl")) if WHEEL_DIR else []
TOOLS = Path(__file__).resolve().parents[3] / "tools"
ITEMS = [3, 5, 64, 1000]

pytestmark = pytest.mark.skipif(not WHEELS, reason="no wheels built (QERN_WHEEL_DIR)")


def interpreter(tag):
    """The CPython a wheel's tag (cp39, cp313) names, found as the build found it."""
    minor = "3." + tag[len("cp3") :]
    found = subprocess.run(
        ["bash", "-c", f"source {TOOLS}/pythons.sh && interpreter {minor}"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    assert found, f"no CPython {minor} for its wheel"
    return found


@pytest.fixture(scope="module", params=WHEELS, ids=lambda wheel: wheel.name.split("-")[2])
def installed(request, tmp_path_factory):
    """A venv holding only the wheel, and a bare environment to run it in."""
    wheel = request.param
    venv = tmp_path_factory.mktemp("venv")
    subprocess.run([interpreter(wheel.name.split("-")[2]), "-m", "venv", str(venv)], check=True)
    # Nothing but the venv on PATH: no compiler, no curl-config.
    env = {"PATH": str(venv / "bin"), "HOME": str(venv), "LANG": "C.UTF-8"}
    subprocess.run(
        [str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--no-index", str(wheel)],
        check=True,
        env=env,
    )
    return wheel, venv, env


def test_nothing_to_build_with_is_within_reach(installed):
    _, _, env = installed
    for tool in ("cc", "gcc", "g++", "c++", "clang", "curl-config", "pkg-config", "cmake"):
        assert shutil.which(tool, path=env["PATH"]) is None, tool


def test_the_module_loads_the_libcurl_inside_the_wheel(installed):
    _, venv, env = installed
    module = subprocess.run(
        [str(venv / "bin" / "python"), "-c", "import qernx; print(qernx.__file__)"],
        capture_output=True,
        text=True,
        check=True,
        env=env,
    ).stdout.strip()
    libraries = subprocess.run(["ldd", module], capture_output=True, text=True, check=True).stdout
    curl = [line for line in libraries.splitlines() if "libcurl" in line]
    assert len(curl) == 1, libraries
    # auditwheel renames it (libcurl-<hash>.so) and puts it beside the module.
    assert re.search(r"libcurl-[0-9a-f]{8}\.so\S* => \S*/site-packages/qernx\.libs/", curl[0])
    assert "not found" not in libraries


def test_auditwheel_agrees_with_the_tag(installed):
    wheel, _, _ = installed
    shown = subprocess.run(
        [str(Path(sys.executable).parent / "auditwheel"), "show", str(wheel)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    platform = wheel.stem.split("-")[-1]
    assert f'"{platform}"' in " ".join(shown.split()), shown


@pytest.mark.parametrize("online", [False, True], ids=["local", "online"])
def test_it_solves(installed, scenario, online):
    _, venv, env = installed
    run_env = dict(env, QERN_API_KEY=API_KEY)
    if online:
        run_env["QERN_API_URL"] = scenario("ready").origin
    else:
        run_env["QERN_KILLSWITCH"] = "1"
    code = textwrap.dedent(
        f"""
        import qernx
        print(repr(qernx.complete_subset_sum({ITEMS!r})))
        """
    )
    completed = subprocess.run(
        [str(venv / "bin" / "python"), "-c", code],
        capture_output=True,
        text=True,
        env=run_env,
        timeout=120,
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    assert completed.stdout.strip().splitlines()[-1] == repr(subset_sums(ITEMS))
