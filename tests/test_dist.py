"""The distribution files in dist/ (`make test` builds the sdist and this
interpreter's wheel; `make dist` the wheels of every supported version):
their metadata, a client project built with pip's build isolation against
that wheelhouse, and the wheel installed in a fresh virtual environment."""
import email.parser
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest
from packaging.specifiers import SpecifierSet

from conftest import ROOT, pip_install_into

DIST = ROOT / "dist"
CP = "cp%d%d" % sys.version_info[:2]
# The ABI tag: cp314t for the free-threaded build.
ABI = CP + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")


def one(pattern):
    found = glob.glob(str(DIST / pattern))
    assert len(found) == 1, f"dist/{pattern}: {found} (make test builds it)"
    return found[0]


@pytest.fixture(scope="module")
def wheel():
    return one(f"talvex-*-{CP}-{ABI}-manylinux*_x86_64.whl")


@pytest.fixture(scope="module")
def sdist():
    return one("talvex-*.tar.gz")


def metadata_and_licence(path):
    if path.endswith(".whl"):
        with zipfile.ZipFile(path) as z:
            info = next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))
            meta = z.read(info).decode()
            licence = z.read(info.replace("METADATA", "licenses/LICENSE")).decode()
    else:
        with tarfile.open(path) as t:
            top = t.getnames()[0].split("/")[0]
            meta = t.extractfile(f"{top}/PKG-INFO").read().decode()
            licence = t.extractfile(f"{top}/LICENSE").read().decode()
    return email.parser.Parser().parsestr(meta), licence


def supported_versions():
    """The versions CI tests: the Makefile's VERSIONS."""
    makefile = (ROOT / "Makefile").read_text()
    return re.search(r"^VERSIONS\s*:=\s*(.*)$", makefile, re.M).group(1).split()


@pytest.mark.parametrize("kind", ["sdist", "wheel"])
def test_metadata_names_the_licence_and_exactly_the_tested_versions(request, kind):
    meta, licence = metadata_and_licence(request.getfixturevalue(kind))
    assert meta["License-Expression"] == "MIT"
    assert meta.get_all("License-File") == ["LICENSE"]
    assert licence == (ROOT / "LICENSE").read_text()
    tested = supported_versions()
    classified = [c.rsplit(" :: ", 1)[1] for c in meta.get_all("Classifier")
                  if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
    assert classified == tested
    admits = SpecifierSet(meta["Requires-Python"])
    assert [f"3.{m}" for m in range(8, 20) if f"3.{m}.0" in admits] == tested


def test_pip_on_glibc_2_28_takes_the_wheel(wheel, tmp_path):
    # What pip on RHEL 8 (glibc 2.28) decides, from the wheel's tags alone:
    # the platforms it accepts there, as packaging lists them for that glibc.
    platforms = ["manylinux_2_%d_x86_64" % m for m in range(28, 4, -1)]
    platforms += ["manylinux2014_x86_64", "manylinux2010_x86_64", "manylinux1_x86_64"]
    r = subprocess.run([sys.executable, "-m", "pip", "install", "--dry-run", "--quiet",
                        "--report", str(tmp_path / "report.json"), "--target", str(tmp_path / "t"),
                        *[a for p in platforms for a in ("--platform", p)], "--only-binary", ":all:",
                        "--python-version", "%d.%d" % sys.version_info[:2], "--no-deps",
                        "--no-index", "--find-links", str(DIST), "talvex"],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    chosen, = [i["download_info"]["url"] for i in json.loads(
        (tmp_path / "report.json").read_text())["install"]]
    assert chosen.endswith("/" + os.path.basename(wheel))


def check_glibc(*args):
    return subprocess.run([sys.executable, str(ROOT / "tools" / "check-glibc"), *args],
                          capture_output=True, text=True, timeout=60)


def test_wheel_binaries_need_no_newer_glibc_than_its_tag(wheel):
    r = check_glibc(wheel)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "signals.cpython-" in r.stdout and "TOO NEW" not in r.stdout


def test_glibc_check_fails_on_a_symbol_newer_than_allowed(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    # gettid() entered glibc in 2.30 (the build machine's glibc is newer).
    (tmp_path / "tid.c").write_text("#define _GNU_SOURCE\n#include <unistd.h>\n"
                                    "int tid(void) { return gettid(); }\n")
    so = str(tmp_path / "libtid.so")
    subprocess.run([cc, "-shared", "-fPIC", "-o", so, str(tmp_path / "tid.c")], check=True)
    refused = check_glibc("--max", "2.29", so)
    assert refused.returncode == 1
    assert "  GLIBC_2.30  TOO NEW: gettid\n" in refused.stdout
    passed = check_glibc("--max", "2.30", so)
    assert passed.returncode == 0 and "TOO NEW" not in passed.stdout, passed.stdout


def test_wheel_ships_the_public_header_and_no_runtime_sources(wheel):
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
    sources = [n for n in names if n.endswith((".h", ".cpp", ".c"))]
    assert sources == ["talvex/include/talvex/state.h"]


@pytest.fixture(scope="module")
def client_wheel(tmp_path_factory):
    """examples/cpp_module, copied out of the tree as a user's project, built
    by pip with build isolation: talvex comes from the wheelhouse."""
    tmp = tmp_path_factory.mktemp("client")
    shutil.copytree(ROOT / "examples" / "cpp_module", tmp / "project")
    env = dict(os.environ)
    env["PIP_FIND_LINKS"] = " ".join([str(DIST), env.get("PIP_FIND_LINKS", "")]).strip()
    r = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-vv",
                        "-w", str(tmp / "wheels"), str(tmp / "project")],
                       capture_output=True, text=True, env=env, cwd=str(tmp), timeout=600)
    assert r.returncode == 0, r.stdout[-4000:] + r.stderr
    return r, one_wheel(tmp / "wheels")


def one_wheel(directory):
    found = glob.glob(str(directory / "*.whl"))
    assert len(found) == 1, found
    return found[0]


def test_client_builds_with_build_isolation_against_the_wheelhouse(client_wheel, wheel):
    r, built = client_wheel
    assert os.path.basename(built).startswith(f"talvex_example_cpp-0.1.0-{CP}-{ABI}-linux")
    # The isolated build environment got talvex from this wheel (pip -vv
    # shows that environment's own install).
    assert "Processing " + wheel + "\n" in r.stdout + r.stderr, r.stdout[-4000:]


def test_wheel_in_a_fresh_venv_runs_a_client(tmp_path, client_wheel, wheel):
    venv = tmp_path / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    # This venv's pip installs into the new one: the client and talvex from
    # the wheelhouse alone, then talvex's dependencies from the index.
    pip_install_into(python, "--no-index", "--no-deps", "--find-links", DIST, client_wheel[1],
                     "talvex", timeout=300)
    pip_install_into(python, client_wheel[1], timeout=300)
    code = """
import os, signal, sys, talvex
import talvex_example_cpp as m
print(os.path.relpath(talvex.signals.__file__, sys.prefix).split(os.sep)[:2])
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    m.count_primes(10**12)
except talvex.AlarmInterrupt:
    print("AlarmInterrupt")
try:
    m.read_address(0)
except talvex.SignalError as e:
    print("SignalError", e)
print(m.count_primes(100))
"""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONFAULTHANDLER")}
    r = subprocess.run([python, "-c", code], capture_output=True, timeout=60, env=env,
                       cwd=str(tmp_path))
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode()
    assert r.stdout.decode().splitlines() == [
        "['lib', 'python%d.%d']" % sys.version_info[:2],
        "AlarmInterrupt", "SignalError read_address: bad address", "25"]
