"""The example client modules (built from the installed package alone by
`make setup`) and the Cython and cooperative C++ client interfaces."""
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig

import pytest

from conftest import ROOT, run_signalled

EXAMPLES = ["talvex_example_cpp", "talvex_example_cython", "talvex_example_pybind",
            "talvex_example_nanobind"]


@pytest.mark.parametrize("module", EXAMPLES)
@pytest.mark.parametrize("interrupt, expected", [
    ("alarm", "AlarmInterrupt"),
    ("sigint", "KeyboardInterrupt"),
])
def test_example_interrupt_then_fault_then_work(py, module, interrupt, expected):
    r = py(f"""
        import os, signal, subprocess, talvex
        import {module} as m
        if {interrupt!r} == "alarm":
            signal.setitimer(signal.ITIMER_REAL, 0.2)
        else:   # Ctrl-C: another process sends SIGINT
            subprocess.Popen(["sh", "-c", f"sleep 0.2; kill -INT {{os.getpid()}}"])
        try:
            m.count_primes(10**12)
        except BaseException as e:
            print(type(e).__name__)
        try:
            m.read_address(0)
        except talvex.SignalError as e:
            print(type(e).__name__, e)
        print(m.count_primes(100))
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().splitlines() == [
        expected, "SignalError read_address: bad address", "25"]
    assert r.stderr == b""


def test_all_examples_in_one_process(py):
    # The runtime keeps its C++ support to itself: the pybind11 and nanobind
    # modules' exceptions (the cooperative interrupts) go through the one
    # libstdc++ they load, beside the jumps of the C and Cython regions.
    r = py(f"""
        import signal, talvex
        modules = [__import__(name) for name in {EXAMPLES!r}]
        for m in modules + modules[::-1]:
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            try:
                m.count_primes(10**12)
            except talvex.AlarmInterrupt:
                pass
            try:
                m.read_address(0)
            except talvex.SignalError as e:
                print(m.__name__, e, m.count_primes(100))
        with open("/proc/self/maps") as maps:
            print(sorted({{line.split()[-1].rsplit("/", 1)[-1].split(".so")[0]
                          for line in maps if "libstdc++" in line or "libc++" in line}}))
        """)
    assert r.returncode == 0, r.stderr
    assert r.stderr == b""
    lines = r.stdout.decode().splitlines()
    assert lines[:-1] == ["%s read_address: bad address 25" % m for m in EXAMPLES + EXAMPLES[::-1]]
    assert lines[-1] == "['libstdc++']"


# ---------------------------------------------------------------------------
# The regions that release the interpreter lock, in several threads at once.
# Each worker's record is read from the main thread (tvclient_c), so that
# the fault and the signal come while the others' regions are open.

PARALLEL = """
import sys, threading, time, talvex, tvclient_c as c
m = __import__({module!r})
N = 3
records = [None] * N
outcomes = [[] for _ in range(N)]

def open_regions(workers):
    return all(records[i] is not None and c.region_depth(records[i]) > 0 for i in workers)

def work(i):
    records[i] = c.thread_record()
    if i == 0:
        # A fault in this thread's region while the others' regions run.
        while not open_regions(range(1, N)):
            time.sleep(0.001)
        try:
            m.read_address(0)
        except talvex.SignalError as e:
            outcomes[i].append(str(e))
    try:
        outcomes[i].append(m.count_primes_between(0, 10**15))
    except BaseException as e:
        outcomes[i].append(type(e).__name__)

def finished():
    return all(len(o) == (2 if i == 0 else 1) for i, o in enumerate(outcomes))

threads = [threading.Thread(target=work, args=(i,)) for i in range(N)]
for t in threads:
    t.start()
while not open_regions(range(N)):
    time.sleep(0.001)
try:
    print("region", flush=True)
    while not finished():
        time.sleep(0.001)
    main = "nothing"
except KeyboardInterrupt as e:
    main = type(e).__name__
    while not finished():
        time.sleep(0.001)
print(outcomes, main, [c.region_depth(r) for r in records])
for t in threads:
    t.join()
print(m.count_primes_between(0, 100), c.state()[:4])
"""


@pytest.mark.parametrize("module", ["talvex_example_cython", "talvex_example_pybind",
                                    "talvex_example_nanobind"])
@pytest.mark.parametrize("sig, expected", [
    (signal.SIGINT, "KeyboardInterrupt"),
    (signal.SIGALRM, "AlarmInterrupt"),
], ids=["SIGINT", "SIGALRM"])
def test_regions_without_the_lock_in_several_threads(module, sig, expected):
    # One signal to the process ends every thread's region, and reaches the
    # main thread too; the fault in one thread was that thread's alone.
    status, out, err = run_signalled(PARALLEL.format(module=module), sig)
    assert (status, err) == (0, b""), err.decode(errors="replace")
    regions = [["read_address: bad address", expected], [expected], [expected]]
    assert out == ["region", f"{regions} {expected} [0, 0, 0]", "25 (0, 0, 0, 0)"]


def test_cooperative_interrupt_in_worker_thread_unwinds(py):
    # The loop runs without the interpreter lock in a worker thread; SIGINT
    # to the process ends it, and reaches the main thread too, once.
    r = py("""
        import os, signal, threading, time
        import talvex, talvex_example_pybind as m
        result = []
        def work():
            try:
                m.hold(5)
            except BaseException as e:
                result.append(type(e).__name__)
        before = m.destroyed()
        t = threading.Thread(target=work)
        t.start()
        while m.running() == 0:
            time.sleep(0.001)
        try:
            os.kill(os.getpid(), signal.SIGINT)
            t.join(30)
            main = "nothing"
        except KeyboardInterrupt:
            main = "KeyboardInterrupt"
            t.join(30)
        print(result, t.is_alive(), m.destroyed() - before, m.running(), main)
        time.sleep(0.05)   # and only once
        print("main ok")
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().splitlines() == ["['KeyboardInterrupt'] False 5 0 KeyboardInterrupt",
                                              "main ok"]


def test_cooperative_scope_leaves_no_trace(py):
    # After a scope ends normally the runtime is idle and a later interrupt
    # reaches Python as usual.
    r = py("""
        import os, signal, time, talvex, tvclient_c as c
        import talvex_example_pybind as m
        print(m.count_primes(1000), c.state()[:4])
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(5)
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().splitlines() == ["168 (0, 0, 0, 0)", "KeyboardInterrupt"]


def test_fault_in_cooperative_scope_never_jumps(py, tmp_path):
    # There is no resume point in a cooperative scope: a fault there ends
    # the process with the crash report instead of a jump to a stale one.
    r = py("""
        import talvex, tvclient_c as c
        c.busy_region(0)                 # leaves a resume point behind
        c.set_int("sig_on_count", -1)    # what a cooperative scope looks like
        c.fault("segv", False)
        """, env={"TALVEX_CRASH_NDEBUG": "1"})
    assert r.returncode == -signal.SIGSEGV
    assert b"Unhandled SIGSEGV: A segmentation fault occurred." in r.stderr


def test_cython_client_regions(py):
    r = py("""
        import signal, talvex, tvclient_cy as cy
        print(cy.busy(1000), cy.busy_nogil(1000))
        for fn in (cy.busy, cy.busy_nogil, cy.check_loop):
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            try:
                fn(-1)
            except talvex.AlarmInterrupt:
                print(fn.__name__, "alarm", cy.count())
        try:
            cy.null_write("in cython")
        except talvex.SignalError as e:
            print(repr(e))
        try:
            cy.raise_in_region(signal.SIGINT)
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().splitlines() == [
        "1000 1000", "busy alarm 0", "busy_nogil alarm 0", "check_loop alarm 0",
        "SignalError('in cython')", "KeyboardInterrupt"]


def test_cython_shield_delivers_on_unblock(py):
    r = py("""
        import signal, talvex, tvclient_cy as cy
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        try:
            cy.shielded(5 * 10**8)
        except talvex.AlarmInterrupt:
            print("delivered at unblock", cy.count())
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().splitlines() == ["delivered at unblock 0"]


def test_wrong_signature_is_refused_at_import(py):
    r = py("""
        try:
            import tvclient_badsig
        except ImportError as e:
            print(e)
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().strip() == (
        "talvex.signals exports _sig_on_recover with signature 'void (void)', "
        "this module was compiled for 'void (int)'")


@pytest.mark.parametrize("check, expected", [
    # Ctrl-C to the process: the scope's check() takes it, and the main
    # thread, running Python meanwhile, gets it too.
    (True, ["worker: KeyboardInterrupt", "main: KeyboardInterrupt"]),
    # A scope that never checks ends normally; the main thread still gets it.
    (False, ["worker: returned", "main: KeyboardInterrupt"]),
])
def test_cooperative_interrupt_is_never_lost(py, check, expected):
    r = py(f"""
        import signal, threading, time, talvex, tvclient_cpp as c
        log = []
        done = threading.Event()
        def work():
            try:
                c.cooperative_wait(1.0, {check})
                log.append("worker: returned")
            except KeyboardInterrupt:
                log.append("worker: KeyboardInterrupt")
            finally:
                done.set()
        t = threading.Thread(target=work)
        t.start()
        c.signal_when(signal.SIGINT, None, 0.3)
        try:
            while t.is_alive():
                sum(range(1000))        # the main thread runs Python meanwhile
            t.join()
            for _ in range(200):
                sum(range(10000))
            log.append("main: finished")
        except KeyboardInterrupt:
            # Not join(): on 3.12 a join or is_alive() that KeyboardInterrupt
            # cut short may take the thread for ended.
            done.wait()
            log.append("main: KeyboardInterrupt")
        print(log)
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().strip() == str(expected)


# ---------------------------------------------------------------------------
# The example projects' own tests, which use talvex_testing as a user's do

PROJECT_TESTS = sorted((ROOT / "examples").glob("*/test_*.py"))


@pytest.mark.parametrize("test_file", PROJECT_TESTS, ids=lambda p: p.parent.name)
def test_the_example_projects_tests_pass(test_file, tmp_path):
    # Copied out of this repository, as a user's project has them, and run
    # by pytest against the installed modules: the talvex_run fixture comes
    # from the plugin that pip installed with talvex.
    shutil.copy(test_file, tmp_path)
    env = dict(os.environ, PATH=os.pathsep.join([sysconfig.get_path("scripts"),
                                                 os.environ["PATH"]]))
    env.pop("PYTHONPATH", None)
    r = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                        test_file.name], cwd=tmp_path, capture_output=True, text=True, env=env,
                       timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    assert re.search(r"^\d+ passed in ", r.stdout, re.M), r.stdout
