"""What a user's project gets from the installed package: the stub and the
typing of the Python surface, `python -m talvex`, and the CMake package's
version check."""
import importlib.metadata
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from conftest import ROOT


def python_m_talvex(*args):
    return subprocess.run([sys.executable, "-m", "talvex", *args],
                          capture_output=True, text=True, check=True).stdout.strip()


def test_stubs_match_the_module():
    r = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "talvex",
         "--mypy-config-file", str(ROOT / "pyproject.toml")],
        capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr


USER_FILE = """\
import signal

import talvex
from talvex import signals

reveal_type(talvex.get_include())
reveal_type(talvex.get_cmake_dir())
reveal_type(talvex.__version__)
reveal_type(signals.init_talvex())
reveal_type(signals.sig_on_reset())
reveal_type(signals.set_debug_level(0))


def on_alarm() -> str:
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    try:
        signals.sig_print_exception(signal.SIGALRM, "message")
    except (talvex.AlarmInterrupt, talvex.SignalError) as e:
        return str(e)
    signal.signal(signal.SIGINT, signals.python_check_interrupt)
    signals._setup_alt_stack()
    return ""


signals.sig_print_exception("SIGSEGV")
"""


def test_user_code_is_clean_under_mypy_strict(tmp_path):
    # A user's file, outside this project's configuration: every name has
    # its real type, and a wrong call is caught (the stub is in force).
    (tmp_path / "user.py").write_text(USER_FILE)
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                        "--cache-dir", str(tmp_path / "cache"), "user.py"],
                       capture_output=True, text=True, cwd=tmp_path, timeout=300)
    lines = [line.split("  [")[0] for line in r.stdout.splitlines()]
    assert lines == [
        'user.py:6: note: Revealed type is "str"',
        'user.py:7: note: Revealed type is "str"',
        'user.py:8: note: Revealed type is "str"',
        'user.py:9: note: Revealed type is "(def (int, types.FrameType | None) -> Any) | int | None"',
        'user.py:10: note: Revealed type is "int"',
        'user.py:11: note: Revealed type is "int"',
        'user.py:25: error: Argument 1 to "sig_print_exception" has incompatible type "str"; '
        'expected "int"',
    ], r.stdout + r.stderr


@pytest.mark.parametrize("option, check", [
    ("--include", lambda out: os.path.isfile(os.path.join(out, "talvex", "state.h"))),
    ("--cmake-dir", lambda out: os.path.isfile(os.path.join(out, "talvexConfig.cmake"))),
    ("--version", lambda out: out == "talvex " + importlib.metadata.version("talvex")),
])
def test_python_m_talvex(option, check):
    out = python_m_talvex(option)
    assert check(out), out


USAGE = "usage: python -m talvex [-h] (--version | --include | --cmake-dir | --crash-reports)\n"


@pytest.mark.parametrize("args, error", [
    ([], "one of the arguments --version --include --cmake-dir --crash-reports is required"),
    (["--frobnicate"], "unrecognized arguments: --frobnicate"),
    (["--include", "--frobnicate"], "unrecognized arguments: --frobnicate"),
    (["--include", "--cmake-dir"], "argument --cmake-dir: not allowed with argument --include"),
])
def test_python_m_talvex_errors(args, error):
    # argparse's own errors, after a usage line that says what is accepted.
    r = subprocess.run([sys.executable, "-m", "talvex", *args], capture_output=True, text=True)
    assert (r.returncode, r.stdout, r.stderr) == (2, "", USAGE + "python -m talvex: error: "
                                                  + error + "\n")


def test_python_m_talvex_help_shows_the_usage():
    r = subprocess.run([sys.executable, "-m", "talvex", "--help"], capture_output=True,
                       text=True, check=True)
    assert r.stdout.startswith(USAGE), r.stdout
    assert "--crash-reports" in r.stdout.split("options:")[1], r.stdout


@pytest.fixture(scope="module")
def cmake():
    path = shutil.which("cmake", path=sysconfig.get_path("scripts")) or shutil.which("cmake")
    assert path, "cmake is installed by requirements-dev.txt"
    return path


@pytest.mark.parametrize("wanted, accepted", [
    ("", True),
    ("0.1", True),
    ("0.1.0 EXACT", True),
    ("0.0", False),         # an older interface: the header is not compatible
    ("0.2", False),
    ("0.1.1", False),       # newer than what is installed
    ("1.0", False),
])
def test_find_package_version(tmp_path, cmake, wanted, accepted):
    (tmp_path / "CMakeLists.txt").write_text(textwrap.dedent(f"""\
        cmake_minimum_required(VERSION 3.18)
        project(client LANGUAGES NONE)
        find_package(talvex {wanted} CONFIG)
        if(talvex_FOUND AND TARGET talvex::headers)
            message(STATUS "talvex: found ${{talvex_VERSION}}")
        elseif(NOT talvex_FOUND)
            message(STATUS "talvex: refused")
        endif()
        """))
    r = subprocess.run([cmake, "-S", str(tmp_path), "-B", str(tmp_path / "build"),
                        "-Dtalvex_DIR=" + python_m_talvex("--cmake-dir")],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    status = [line for line in r.stdout.splitlines() if line.startswith("-- talvex: ")]
    if accepted:
        assert status == ["-- talvex: found 0.1.0"], r.stdout + r.stderr
    else:
        # Refused by the version file, not for want of the package.
        assert status == ["-- talvex: refused"], r.stdout + r.stderr
        assert "talvexConfig.cmake, version: 0.1.0" in r.stderr, r.stderr
