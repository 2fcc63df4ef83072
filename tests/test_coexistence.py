"""talvex beside Python's own signal handling: the idioms programs use with
the `signal` module keep their meaning, talvex stays in place underneath,
and every signal is delivered exactly once. Each scenario runs in a fresh
interpreter."""
import os
import re
import signal
import sys
import textwrap

import pytest

from conftest import run_py, run_signalled

INTERRUPTS = ["SIGINT", "SIGALRM", "SIGHUP"]
OWN_EXCEPTION = {
    "SIGINT": "builtins.KeyboardInterrupt()",
    "SIGALRM": "talvex.signals.AlarmInterrupt()",
    "SIGHUP": "builtins.SystemExit()",
}

PRELUDE = """\
import os, signal, sys, threading, time, _thread
from scenario import outcome

calls = []

class Timeout(Exception):
    pass

def raise_timeout(signum, frame):
    calls.append(signum)
    raise Timeout(signal.Signals(signum).name)

def note(signum, frame):
    calls.append(signum)

SIG = signal.{sig}
"""

# Each idiom: (code run once, before or after `import talvex`; the outcome
# of the signal outside a region; inside a region; handler calls expected
# for the two).
IDIOMS = {
    "save_restore": ("old = signal.signal(SIG, raise_timeout)\n"
                     "signal.signal(SIG, old)", "own", "own", 0),
    "raising_handler": ("signal.signal(SIG, raise_timeout)",
                        "__main__.Timeout('{sig}')", "__main__.Timeout('{sig}')", 2),
    "quiet_handler": ("signal.signal(SIG, note)", "ok None", "own", 2),
    "default_int_handler": ("signal.signal(SIG, signal.default_int_handler)",
                            "builtins.KeyboardInterrupt()", "builtins.KeyboardInterrupt()", 0),
    "ignored": ("signal.signal(SIG, signal.SIG_IGN)", "ok None", "ok 1", 0),
}

BODY = """\
{before}
import talvex, tvclient_c as c
{after}
set_after = signal.getsignal(SIG)

def outside():
    os.kill(os.getpid(), SIG)
    for _ in range(50):          # signal checks; a blocking sleep is interrupted
        time.sleep(0.01)

def inside():
    c.signal_when(SIG, "sig_on_count")   # sent from a native thread once inside
    return c.busy_region({spin})

print(outcome(outside))
print(outcome(inside))
print(len(calls), c.state()[:4])
# Nothing stays recorded: a later region and a polling loop see nothing.
print(outcome(c.busy_region, 0.0), outcome(c.check_loop, 0.05) != None)
print(set_after == signal.getsignal(SIG))
"""


@pytest.mark.parametrize("when", ["before_import", "after_import"])
@pytest.mark.parametrize("idiom", list(IDIOMS))
@pytest.mark.parametrize("sig", INTERRUPTS)
def test_handler_idioms(sig, idiom, when):
    code, outside, inside, ncalls = IDIOMS[idiom]
    before, after = (code, "") if when == "before_import" else ("", code)
    # An ignored signal never ends the region: it runs its course, briefly.
    spin = 0.3 if idiom == "ignored" else 10.0
    r = run_py(PRELUDE.format(sig=sig) + BODY.format(before=before, after=after, spin=spin))
    own = OWN_EXCEPTION[sig]
    expected = [outside.replace("own", own).format(sig=sig),
                inside.replace("own", own).format(sig=sig)]
    out = r.stdout.decode().splitlines()
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert out[:2] == expected
    # The program's handler ran once for each signal it was meant for.
    assert out[2] == "%d (0, 0, 0, 0)" % ncalls
    assert out[3] == "ok 1 True"
    assert out[4] == "True"


def run(code, **kw):
    r = run_py(textwrap.dedent(code), **kw)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    return r.stdout.decode().splitlines()


def test_getsignal_reports_what_the_program_set():
    out = run("""
        import signal
        def h(s, f): pass
        signal.signal(signal.SIGALRM, h)
        import talvex
        print(signal.getsignal(signal.SIGINT) is signal.default_int_handler,
              signal.getsignal(signal.SIGALRM) is h,
              signal.getsignal(signal.SIGHUP) == signal.SIG_DFL)
        old = signal.signal(signal.SIGHUP, h)
        print(old == signal.SIG_DFL, signal.signal(signal.SIGHUP, old) is h,
              signal.getsignal(signal.SIGHUP) == signal.SIG_DFL)
        # Errors read as the interpreter's own.
        for args in [(signal.SIGINT, "nope"), (999, h)]:
            try:
                signal.signal(*args)
            except (TypeError, ValueError) as e:
                print(type(e).__name__, e)
    """)
    assert out == ["True True True", "True True True",
                   "TypeError signal handler must be signal.SIG_IGN, signal.SIG_DFL, or a "
                   "callable object",
                   "ValueError signal number out of range"]


def test_talvex_stays_underneath_whatever_python_installs():
    # The native disposition stays talvex's through every idiom but SIG_IGN.
    out = run("""
        import signal
        import talvex, tvclient_c as c
        from talvex import signals
        def native(sig):
            return c.disposition(sig)[3] == signals.__file__
        steps = []
        for sig in (signal.SIGINT, signal.SIGALRM, signal.SIGHUP):
            old = signal.signal(sig, lambda s, f: None)
            steps.append(native(sig))
            signal.signal(sig, signal.SIG_IGN)
            steps.append(c.disposition(sig)[0] == 1)
            signal.signal(sig, signal.SIG_DFL)
            steps.append(native(sig))
            signal.signal(sig, old)
            steps.append(native(sig))
        print(all(steps), len(steps))
    """)
    assert out == ["True 12"]


def test_an_alarm_never_reaches_a_sigint_handler():
    out = run("""
        import os, signal, time
        import talvex
        from scenario import outcome
        got = []
        signal.signal(signal.SIGINT, lambda s, f: got.append(s))
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        print(outcome(time.sleep, 1), got)
        print(outcome(lambda: (os.kill(os.getpid(), signal.SIGHUP), time.sleep(1))), got)
    """)
    assert out == ["talvex.signals.AlarmInterrupt() []", "builtins.SystemExit() []"]


@pytest.mark.parametrize("where, first", [
    ("outside", "builtins.KeyboardInterrupt()"),
    # A region can be called into only while it has released the
    # interpreter lock; hold_region() spins until something ends it, and
    # lists what raised with whatever is still pending afterwards.
    ("main_region", "ok ['KeyboardInterrupt']"),
    # It is the main thread's interrupt: a worker's region goes on.
    ("worker_region", "builtins.KeyboardInterrupt() []"),
])
def test_interrupt_main_gives_exactly_one_keyboard_interrupt(where, first):
    out = run("""
        import threading, time, _thread
        import talvex, tvclient_c as c, tvthreads
        from scenario import outcome
        where = %r
        def wait():
            for _ in range(50):
                time.sleep(0.01)
        def interrupt_main_in_region():
            while not tvthreads.in_region():
                time.sleep(0.001)
            _thread.interrupt_main()
        if where == "outside":
            print(outcome(lambda: (_thread.interrupt_main(), wait())))
        elif where == "main_region":
            threading.Thread(target=interrupt_main_in_region).start()
            print(outcome(tvthreads.hold_region, -1))
        else:
            worker_saw = []
            worker = threading.Thread(target=lambda: worker_saw.extend(tvthreads.hold_region(-1)))
            worker.start()
            seen = outcome(lambda: (interrupt_main_in_region(), wait()))
            tvthreads.release_region()
            worker.join()
            print(seen, worker_saw)
        print(outcome(wait), c.state()[:4])
    """ % where)
    assert out == [first, "ok None (0, 0, 0, 0)"]


@pytest.mark.parametrize("sig", ["SIGQUIT", "SIGABRT", "SIGSEGV"])
@pytest.mark.parametrize("when", ["before_import", "after_import"])
def test_python_handlers_for_fatal_signals_keep_their_meaning(sig, when):
    # As gunicorn's workers do: the handler runs each time another process
    # sends the signal; a fault or abort() inside a region is still an
    # exception.
    setup = "signal.signal(signal.%s, handler)" % sig
    r = run_py(textwrap.dedent("""
        import os, signal, subprocess, sys, time
        from scenario import outcome
        calls = []
        def handler(signum, frame):
            calls.append(signum)
        {before}
        import talvex, tvclient_c as c
        {after}
        for _ in range(2):
            subprocess.run(["kill", "-{name}", str(os.getpid())], check=True)
            for _ in range(50):
                time.sleep(0.01)
        print(calls == [signal.SIG{name}] * 2)
        print(outcome(c.fault, "segv"), outcome(c.fault, "abort"), len(calls))
    """).format(before=setup if when == "before_import" else "",
                after=setup if when == "after_import" else "", name=sig[3:]))
    out = r.stdout.decode().splitlines()
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    # A fault or abort() in a region is the region's exception: the handler
    # the program set for that signal does not run for it.
    assert out == ["True", "talvex.signals.SignalError('Segmentation fault') "
                   "builtins.RuntimeError('Aborted') 2"]


# A fault or abort in a region is that region's exception, whatever Python
# handler the program set for its signal: the handler never runs for it.
# What the C library or the C++ runtime prints before it aborts stays.
IN_REGION = {
    "abort": ("SIGABRT", "builtins.RuntimeError('Aborted')", rb""),
    "assert": ("SIGABRT", "builtins.RuntimeError('Aborted')",
               rb"[^\n]*tvclient\.c:\d+: [^\n]*: Assertion `volatile_zero == 1' failed\.\n"),
    "terminate": ("SIGABRT", "builtins.RuntimeError('Aborted')",
                  rb"terminate called without an active exception\n"),
    "tcache": ("SIGABRT", "builtins.RuntimeError('Aborted')",
               rb"free\(\): double free detected in tcache 2\n"),
    "segv": ("SIGSEGV", "talvex.signals.SignalError('Segmentation fault')", rb""),
}


# Under AddressSanitizer (tools/test-asan) the client's free() is the
# sanitizer's, which reports a double free itself: glibc's check never runs.
UNDER_ASAN = pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                                reason="the sanitizer's allocator replaces glibc's")


@pytest.mark.parametrize("handler", ["none", "calls.append", "lambda s, f: sys.exit(3)"])
@pytest.mark.parametrize("kind", [pytest.param(k, marks=UNDER_ASAN) if k == "tcache" else k
                                  for k in IN_REGION])
def test_a_fault_in_a_region_is_its_exception_whatever_python_handler_is_set(kind, handler):
    sig, exception, printed = IN_REGION[kind]
    setup = "" if handler == "none" else "signal.signal(signal.%s, %s)" % (sig, handler)
    r = run_py(f"""
        import signal, sys
        import talvex, tvclient_cpp as c
        from scenario import outcome
        calls = []
        {setup}
        print(outcome(c.fault, {kind!r}), calls)
    """)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert r.stdout.decode() == exception + " []\n"
    assert re.fullmatch(printed, r.stderr), r.stderr


# A SIGQUIT another process sends while a region of the main thread runs
# ends the region through the program's handler, as the other fatal signals
# do; without a handler it is still the crash report.
@pytest.mark.parametrize("handler, expected", [
    ("raise Quit", "__main__.Quit()"),
    ("return", "builtins.SystemExit()"),
])
def test_a_sent_sigquit_ends_a_main_thread_region_through_the_programs_handler(
        handler, expected):
    status, out, err = run_signalled(f"""
        import signal, threading
        import talvex, tvclient_lazy as lazy
        from scenario import outcome
        class Quit(Exception):
            pass
        calls = []
        def handler(signum, frame):
            calls.append(threading.current_thread() is threading.main_thread())
            {handler}
        signal.signal(signal.SIGQUIT, handler)
        print(outcome(lazy.spin, float("inf"), False, True))   # ends only by the signal
        print(calls)
    """, signal.SIGQUIT)
    assert (status, err) == (0, b""), err.decode(errors="replace")
    assert out == ["region", expected, "[True]"]


def test_a_sent_sigquit_without_a_python_handler_ends_the_process_from_a_region():
    status, out, err = run_signalled("""
        import talvex, tvclient_lazy as lazy
        lazy.spin(30.0, False, True)
        print("survived")
    """, signal.SIGQUIT, env={"TALVEX_CRASH_NDEBUG": "1"})
    assert (status, out, err) == (-signal.SIGQUIT, ["region"], b"-" * 72 + b"\n")


def faulthandler_set_up(order):
    """faulthandler enabled before or after talvex is imported."""
    return textwrap.dedent("""
        import faulthandler
        order = %r
        if order == "before_import":
            faulthandler.enable()
        import talvex, tvclient_c as c
        if order == "after_import":
            faulthandler.enable()
    """ % order)


@pytest.mark.parametrize("order", ["before_import", "after_import", "enable_disable"])
def test_faulthandler_in_either_order_leaves_faults_in_regions_silent(order):
    r = run_py(faulthandler_set_up(order) + textwrap.dedent("""
        from scenario import outcome
        if order == "enable_disable":
            faulthandler.enable()
            faulthandler.disable()
        print(outcome(c.fault, "segv"), outcome(c.fault, "segv"), faulthandler.is_enabled())
    """))
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    assert r.stdout.decode() == ("talvex.signals.SignalError('Segmentation fault') " * 2 +
                                 str(order != "enable_disable") + "\n")


@pytest.mark.parametrize("order", ["before_import", "after_import"])
def test_faulthandler_reports_a_fault_outside_regions_after_talvex(order):
    r = run_py(faulthandler_set_up(order) + textwrap.dedent("""
        def crash_here():
            c.fault("segv", False)
        crash_here()
    """), env={"TALVEX_CRASH_NDEBUG": "1"})
    err = r.stderr.decode(errors="replace")
    assert r.returncode == -signal.SIGSEGV, err
    ours = err.index("Unhandled SIGSEGV: A segmentation fault occurred.")
    theirs = err.index("Fatal Python error: Segmentation fault")
    assert ours < theirs
    assert "in crash_here" in err[theirs:]


def test_faulthandlers_settings_stay_as_they_were_enabled_before_talvex():
    # talvex enables faulthandler once more to learn its handler: with the
    # file and every setting it had, 3.14's c_stack among them.
    c_stack = ", c_stack=False" if sys.version_info >= (3, 14) else ""
    r = run_py("""
        import faulthandler, threading, time
        faulthandler.enable(all_threads=False%s)
        import talvex, tvclient_c as c
        threading.Thread(target=time.sleep, args=(600,), daemon=True).start()
        def crash_here():
            c.fault("segv", False)
        crash_here()
    """ % c_stack, env={"TALVEX_CRASH_QUIET": "1"})
    err = r.stderr.decode(errors="replace")
    assert r.returncode == -signal.SIGSEGV, err
    theirs = err[err.index("Fatal Python error: Segmentation fault"):]
    # all_threads=False: the faulting thread's stack alone, not as one of all.
    assert "\nStack (most recent call first):\n" in theirs and "in crash_here" in theirs, err
    assert "Thread 0x" not in theirs and "C stack" not in theirs, err
