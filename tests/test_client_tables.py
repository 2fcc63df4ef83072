"""A client's table of entry points: one per extension module whatever the
number of its source files, filled on first use when nobody imported
talvex explicitly. Each client runs through an alarm and a fault in a fresh
interpreter. Clients built in the test: one against the header of an
earlier release, and a library that ctypes loads and unloads."""
import shutil
import signal
import subprocess
import sysconfig
import textwrap

import pytest

import talvex
from conftest import ROOT, run_py, run_signalled

CASES = {
    # module, a region that spins until interrupted, a region that faults
    "two_files": ("tvclient_split", "m.spin(10.0)", "m.fault()"),
    "no_import_call": ("tvclient_lazy", "m.spin(10.0)", "m.fault()"),
    "cython_cimport_only": ("tvclient_cimport", "m.busy(-1)", "m.fault()"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_alarm_and_fault_in_every_client_shape(case):
    module, spin, fault = CASES[case]
    r = run_py(textwrap.dedent("""
        import signal
        import {module} as m
        from scenario import outcome
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        print(outcome(lambda: {spin}))
        print(outcome(lambda: {fault}))
        print(outcome(lambda: {fault}))
    """).format(module=module, spin=spin, fault=fault))
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    assert r.stdout.decode().splitlines() == [
        "talvex.signals.AlarmInterrupt()",
        "talvex.signals.SignalError('Segmentation fault')",
        "talvex.signals.SignalError('Segmentation fault')",
    ]


def test_first_region_without_talvex_is_a_clean_import_error():
    r = run_py(textwrap.dedent("""
        import sys
        sys.modules["talvex"] = None     # talvex cannot be imported
        import tvclient_lazy as m
        from scenario import outcome
        print(outcome(m.spin, 0.0))
    """))
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    assert r.stdout.decode().startswith("builtins.ModuleNotFoundError(")


def compile_shared(tmp_path, name, source, include):
    """Build `source` (C) into tmp_path/<name>.so, as a user's build would,
    against the include directory `include` and the interpreter's headers."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    (tmp_path / (name + ".c")).write_text(textwrap.dedent(source))
    so = tmp_path / (name + ".so")
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-Wall", "-Werror", "-o", str(so),
                    "-I", str(include), "-I", sysconfig.get_path("include"),
                    str(tmp_path / (name + ".c"))], check=True)
    return so


# A client of the header of an early release, before the runtime table: it
# opens its regions on the exported record in whichever thread calls it.
OLD_HEADER_COMMIT = "6c6f492"
OLD_CLIENT = """\
#include <talvex/state.h>
#include <unistd.h>

static volatile int stopped;
static volatile unsigned long spins;

/* A region without the interpreter lock, until stop(). */
static PyObject *spin(PyObject *self, PyObject *noargs)
{
    int ok;
    (void)self; (void)noargs;
    Py_BEGIN_ALLOW_THREADS
    ok = sig_on();
    if (ok) {
        if (write(1, "region\\n", 7) == 7)
            while (!stopped)
                spins++;
        sig_off();
    }
    Py_END_ALLOW_THREADS
    if (!ok)
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *stop(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    stopped = 1;
    Py_RETURN_NONE;
}

static PyObject *state(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    return Py_BuildValue("(ii)", tv_load(&talvex_api.state->sig_on_count),
                         tv_load(&talvex_api.state->pending_interrupt));
}

static PyMethodDef methods[] = {
    {"spin", spin, METH_NOARGS, NULL},
    {"stop", stop, METH_NOARGS, NULL},
    {"state", state, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "oldclient", NULL, -1, methods,
                                 NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_oldclient(void)
{
    if (talvex_import() < 0)
        return NULL;
    return PyModule_Create(&def);
}
"""


def header_of(commit, tmp_path):
    """The directory of a copy of talvex/state.h as it was at `commit`."""
    header = subprocess.run(["git", "show", commit + ":src/talvex/include/talvex/state.h"],
                            cwd=ROOT, capture_output=True)
    if header.returncode != 0:
        pytest.skip("no git history to take the old header from")
    (tmp_path / "include" / "talvex").mkdir(parents=True)
    (tmp_path / "include" / "talvex" / "state.h").write_bytes(header.stdout)
    return tmp_path / "include"


@pytest.fixture
def old_client(tmp_path):
    compile_shared(tmp_path, "oldclient", OLD_CLIENT, header_of(OLD_HEADER_COMMIT, tmp_path))
    return tmp_path


def test_an_old_clients_region_in_a_worker_leaves_the_main_thread_its_ctrl_c(old_client):
    # The old client's region in a worker is open on the exported record,
    # which is the main thread's: the main thread, waiting in Python code,
    # still gets its KeyboardInterrupt from the one Ctrl-C.
    status, out, err = run_signalled(f"""
import sys, threading, time
sys.path.insert(0, {str(old_client)!r})
import talvex, oldclient
from scenario import outcome
box = []
w = threading.Thread(target=lambda: box.append(outcome(oldclient.spin)))
def start_and_wait():
    w.start()
    end = time.monotonic() + 30
    while time.monotonic() < end:
        time.sleep(0.01)
main = outcome(start_and_wait)
oldclient.stop()
w.join()
print(main, box, oldclient.state())
""", signal.SIGINT)
    assert (status, err) == (0, b""), err.decode(errors="replace")
    # The kernel hands the process's signal to the main thread, which cannot
    # reach a region that has no record of its own; were it the worker's to
    # take, its region would end with the same exception.
    assert out[0] == "region"
    assert out[1] in ("builtins.KeyboardInterrupt() ['ok None'] (0, 0)",
                      "builtins.KeyboardInterrupt() ['builtins.KeyboardInterrupt()'] (0, 0)")


# A library that a program loads with ctypes (no extension module): it polls
# with sig_check(), which registers the library's word with the runtime.
POLLING_LIBRARY = """\
#include <talvex/state.h>

int poll_once(void)
{
    return sig_check();
}
"""


@pytest.mark.parametrize("header, stays", [
    # This header's code unregisters the word when the library goes.
    (None, False),
    # A header of runtime ABI 2 never does: its library stays loaded.
    ("0edaba2", True),
], ids=["this-header", "abi-2-header"])
def test_a_library_unloaded_after_polling_is_written_no_more(tmp_path, header, stays):
    include = talvex.get_include() if header is None else header_of(header, tmp_path)
    library = compile_shared(tmp_path, "libpolls", POLLING_LIBRARY, include)
    status, out, err = run_signalled(f"""
import _ctypes, ctypes, time
import talvex
from scenario import outcome
lib = ctypes.PyDLL({str(library)!r})
print(lib.poll_once(), flush=True)
handle = lib._handle
del lib
_ctypes.dlclose(handle)
# Gone from the process, or kept: the next Ctrl-C must not write where it
# was.
with open("/proc/self/maps") as maps:
    print("libpolls" in maps.read())
def wait():
    print("region", flush=True)
    end = time.monotonic() + 30
    while time.monotonic() < end:
        time.sleep(0.01)
print(outcome(wait))
""", signal.SIGINT)
    assert (status, err) == (0, b""), err.decode(errors="replace")
    assert out == ["1", str(stays), "region", "builtins.KeyboardInterrupt()"]
