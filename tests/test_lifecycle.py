"""Through the interpreter's whole life: signals after finalisation,
warnings turned into errors, subinterpreters, repeated initialisation,
faulthandler under pytest, and the memory all of that must give back."""
import signal
import subprocess
import sys
import textwrap

import pytest

from conftest import ROOT, child_env, run_py


def run(code, **kw):
    return run_py(textwrap.dedent(code), **kw)


@pytest.mark.parametrize("talvex", [True, False], ids=["talvex", "plain"])
def test_signal_from_a_c_exit_handler_ends_as_without_talvex(talvex):
    # The interpreter is gone when C exit handlers run: the alarm takes its
    # default action, with no crash report and nothing printed.
    r = run("""
        import signal
        %s
        import tvclient_c as c
        c.raise_at_exit(signal.SIGALRM)
    """ % ("import talvex" if talvex else ""))
    assert (r.returncode, r.stderr) == (-signal.SIGALRM, b"")


@pytest.mark.parametrize("talvex", [True, False], ids=["talvex", "plain"])
def test_interval_timer_firing_during_finalisation(talvex):
    # The last exit callback arms a fast timer; it fires while the
    # interpreter tears itself down. No exception, no report: the default
    # action, as without talvex.
    code = textwrap.dedent("""
        import atexit, signal
        atexit.register(signal.setitimer, signal.ITIMER_REAL, 0.005, 0.0002)
        %s
        big = [dict(a=i) for i in range(300000)]
    """ % ("import talvex" if talvex else ""))
    for _ in range(3):
        r = run_py(code)
        assert (r.returncode in (0, -signal.SIGALRM), r.stderr) == (True, b""), r.stderr


def test_a_daemon_thread_that_the_finalising_interpreter_ends_unwinds_through_guard():
    # A cooperative wait inside talvex::guard() in a daemon thread ends
    # while the interpreter finalises (a __del__ keeps it busy): taking the
    # lock back ends the thread by a forced unwind, which guard()'s
    # catch-all must pass on, not swallow (the C library aborts then).
    r = run("""
        import threading, time
        import talvex, tvclient_cpp as c
        class Late:
            def __del__(self, sleep=time.sleep):
                sleep(1.0)
        late = Late()
        threading.Thread(target=c.cooperative_wait, args=(0.3, False), daemon=True).start()
        time.sleep(0.05)
    """)
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")


def test_warning_as_error_never_reaches_the_client():
    # A region left twice under -W error: the client returns normally, the
    # warning is reported as unraisable.
    r = subprocess.run([sys.executable, "-W", "error", "-c", textwrap.dedent("""
        import sys, talvex, tvclient_c as c
        from scenario import outcome
        seen = []
        sys.unraisablehook = lambda u: seen.append(type(u.exc_value).__name__)
        print(outcome(c.region_left_twice), seen)
    """)], capture_output=True, timeout=60, env=child_env(), cwd=str(ROOT / "tests"))
    assert (r.returncode, r.stderr) == (0, b""), r.stderr
    assert r.stdout == b"ok None ['RuntimeWarning']\n"


def test_failed_import_in_a_subinterpreter_leaves_no_claim():
    r = run('''
        from scenario import run_in_subinterpreter
        run_in_subinterpreter("""if True:
            import os
            try:
                import talvex
            except Exception as e:
                os.write(1, ("%s\\\\n" % type(e).__name__).encode())
        """)
        import talvex, tvclient_c as c
        from scenario import outcome
        print(outcome(c.fault, "segv"))
    ''')
    assert (r.returncode, r.stderr) == (0, b""), r.stderr
    assert r.stdout.decode().splitlines() == [
        "ImportError", "talvex.signals.SignalError('Segmentation fault')"]


def test_clearing_the_record_releases_the_last_exception():
    r = run("""
        import gc, weakref
        import talvex, tvclient_c as c
        from talvex import signals
        def fail():
            try:
                c.fault("segv")
            except signals.SignalError as e:
                return weakref.ref(e)
        ref = fail()
        gc.collect()
        print(ref() is not None)      # the record keeps it
        signals.init_talvex()
        gc.collect()
        print(ref() is None)
    """)
    assert (r.returncode, r.stderr) == (0, b""), r.stderr
    assert r.stdout.decode().split() == ["True", "True"]


def test_faulthandler_under_pytest_with_talvex_from_conftest(tmp_path):
    # pytest enables faulthandler after conftest.py imported talvex: a fault
    # in a region is still just an exception that fails the test.
    (tmp_path / "conftest.py").write_text("import talvex\n")
    (tmp_path / "test_fault.py").write_text(textwrap.dedent("""
        import tvclient_c as c

        def test_fault_in_region():
            c.fault("segv")

        def test_after():
            assert c.busy_region(0.0) == 1
    """))
    r = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q",
                        str(tmp_path)], capture_output=True, timeout=120,
                       env=child_env(), cwd=str(tmp_path))
    out = (r.stdout + r.stderr).decode(errors="replace")
    assert r.returncode == 1, out
    assert "SignalError: Segmentation fault" in out
    assert "1 failed, 1 passed" in out
    assert "Fatal Python error" not in out


MEMORY = """
import gc, resource, sys, threading
import talvex
from talvex import signals

def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024

def measure(step, n):
    step(); step()          # allocations that happen once
    gc.collect()
    before = rss_kib()
    for _ in range(n):
        step()
    gc.collect()
    return rss_kib() - before

def thread_with_alt_stack():
    t = threading.Thread(target=signals._setup_alt_stack)
    t.start()
    t.join()

print(measure(signals.init_talvex, {n}), measure(thread_with_alt_stack, {n}))
"""


@pytest.mark.parametrize("n", [
    200,
    pytest.param(2000, marks=pytest.mark.stress),
])
def test_repeated_initialisation_and_thread_stacks_give_memory_back(n):
    r = run_py(MEMORY.format(n=n))
    assert (r.returncode, r.stderr) == (0, b""), r.stderr
    init_kib, threads_kib = map(int, r.stdout.split())
    print("resident memory growth over %d calls: init_talvex %d KiB, threads %d KiB"
          % (n, init_kib, threads_kib))
    assert init_kib < 2048 and threads_kib < 2048, (init_kib, threads_kib)


def test_pytest_shows_faulthandlers_traceback_for_a_crash_outside_regions(tmp_path):
    # talvex's own report goes to the captured standard error and dies with
    # the process; faulthandler, which pytest pointed at the real terminal,
    # still gets its turn and shows the test line.
    (tmp_path / "conftest.py").write_text("import talvex\n")
    (tmp_path / "test_crash.py").write_text(textwrap.dedent("""
        import tvclient_c as c

        def test_crash_outside_a_region():
            c.fault("segv", False)
    """))
    r = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q",
                        str(tmp_path)], capture_output=True, timeout=120,
                       env=child_env(TALVEX_CRASH_NDEBUG="1"), cwd=str(tmp_path))
    err = r.stderr.decode(errors="replace")
    assert r.returncode == -signal.SIGSEGV, err
    assert "Fatal Python error: Segmentation fault" in err
    assert "test_crash.py\", line 5 in test_crash_outside_a_region" in err
