"""init_talvex: the native dispositions it leaves, the alternate signal
stack, the Python-level SIGINT handler, repeated calls and the calls that
must change nothing native."""
import json
import signal
import textwrap

import pytest

SA_ONSTACK = 0x08000000
SA_SIGINFO = 0x00000004
SA_NODEFER = 0x40000000
SA_RESTORER = 0x04000000  # added by glibc, not by talvex

INTERRUPTS = ("SIGHUP", "SIGINT", "SIGALRM")
FATAL = ("SIGQUIT", "SIGILL", "SIGABRT", "SIGFPE", "SIGBUS", "SIGSEGV")
HANDLER_MASK = sorted(int(getattr(signal, s)) for s in INTERRUPTS)

PRELUDE = """\
import json, os, signal, sys, threading, traceback
import talvex, tvclient_c as c
from talvex import signals, SignalError

from scenario import outcome

def dispositions(*names):
    out = {}
    for name in names:
        addr, flags, mask, path = c.disposition(getattr(signal, name))
        out[name] = [addr, flags & ~0x04000000, mask, path]
    return out
"""


@pytest.fixture
def run(py):
    """Run PRELUDE + body in a fresh interpreter; it must exit 0 with an
    empty standard error. Returns standard output as text."""
    def run(body):
        r = py(PRELUDE + textwrap.dedent(body))
        assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
        return r.stdout.decode()
    return run


def test_import_installs_the_nine_dispositions(run):
    out = json.loads(run("""
        print(json.dumps({
            "disp": dispositions(*%r, *%r, "SIGTERM"),
            "so": os.path.realpath(signals.__file__),
            "alt": c.alt_stack(),
            "py_sigint": signal.getsignal(signal.SIGINT) is signal.default_int_handler,
        }))
    """ % (INTERRUPTS, FATAL)))
    disp = out["disp"]
    interrupt_handler = disp["SIGINT"][0]
    fatal_handler = disp["SIGSEGV"][0]
    assert interrupt_handler not in (0, 1) and fatal_handler not in (0, 1)
    assert interrupt_handler != fatal_handler
    for name in INTERRUPTS:
        assert disp[name] == [interrupt_handler, SA_SIGINFO, HANDLER_MASK, out["so"]], name
    for name in FATAL:
        assert disp[name] == [fatal_handler, SA_SIGINFO | SA_ONSTACK | SA_NODEFER, HANDLER_MASK,
                              out["so"]], name
    # SIGTERM is never handled, only respected as a pending interrupt.
    assert disp["SIGTERM"][3] is None
    assert out["alt"] == [21504, 0]
    # Python reports its own default SIGINT handler, although natively
    # SIGINT now goes to talvex.
    assert out["py_sigint"] is True


def test_second_call_reinstalls_and_zeroes_the_record(run):
    out = run("""
        for field, value in [("sig_on_count", 3), ("pending_interrupt", signal.SIGHUP),
                             ("handler_active", 1), ("sigint_blocked", 1)]:
            c.set_int(field, value)
        c.set_message(b"stale")
        outcome(c.raise_exception, signal.SIGSEGV)      # fills raised_value
        print(c.state()[:4], c.state()[4], c.state()[5] is not None)

        # Python code sets a SIGINT handler: talvex stays underneath, and
        # init_talvex returns what the program set, keeping it.
        def handler(s, f):
            pass
        signal.signal(signal.SIGINT, handler)
        print(c.disposition(signal.SIGINT)[3] == signals.__file__)
        print(signals.init_talvex() is handler)
        print(c.state())
        print(c.disposition(signal.SIGINT)[3] == signals.__file__,
              signal.getsignal(signal.SIGINT) is handler)

        signal.signal(signal.SIGINT, signal.default_int_handler)
        print(signals.init_talvex() is signal.default_int_handler)
        print(c.state(), c.alt_stack())
        # The fresh trampoline carries jumps.
        print(outcome(c.fault, "segv"), outcome(c.busy_region, 0.0, 2))
    """)
    assert out.splitlines() == [
        "(3, 1, 1, 1) b'stale' True",
        "True",
        "True",
        "(0, 0, 0, 0, None, None)",
        "True True",
        "True",
        "(0, 0, 0, 0, None, None) (21504, 0)",
        "talvex.signals.SignalError('Segmentation fault') ok 2",
    ]


@pytest.mark.parametrize("how, expected", [
    ("del signals.python_check_interrupt\n"
     "result = outcome(signals.init_talvex)\n",
     "builtins.NameError(\"name 'python_check_interrupt' is not defined\")"),
    ("results = []\n"
     "t = threading.Thread(target=lambda: results.append(outcome(signals.init_talvex)))\n"
     "t.start(); t.join()\n"
     "result = results[0]\n",
     "builtins.ValueError('signal only works in main thread of the main interpreter')"),
], ids=["name_error", "non_main_thread"])
def test_failed_call_changes_nothing_native(run, how, expected):
    out = run(textwrap.dedent("""
        # Native state that a completed init_talvex would overwrite (set
        # behind Python's back: through Python, talvex would stay in place).
        import ctypes
        ctypes.CDLL(None).signal(signal.SIGHUP, 0)
        c.set_int("sig_on_count", -2)
        c.set_int("pending_interrupt", signal.SIGALRM)
        c.set_int("handler_active", 1)
        c.set_int("sigint_blocked", 1)
        before = dispositions("SIGHUP", "SIGINT", "SIGSEGV"), c.state()
    """) + how + textwrap.dedent("""
        print(result)
        print((dispositions("SIGHUP", "SIGINT", "SIGSEGV"), c.state()) == before)
        print(c.disposition(signal.SIGHUP)[0], c.state()[:4])
    """))
    assert out.splitlines() == [expected, "True", "0 (-2, 14, 1, 1)"]


def test_failed_call_names_itself_in_the_traceback(run):
    out = run("""
        del signals.python_check_interrupt
        try:
            signals.init_talvex()
        except NameError as e:
            print(traceback.extract_tb(e.__traceback__)[-1].name)
    """)
    assert out == "talvex.signals.init_talvex\n"


def test_setup_alt_stack_in_a_forked_child(run):
    # The child reports through its exit status: 0 when _setup_alt_stack
    # returned None and three native stack overflows became SignalError.
    out = run("""
        pid = os.fork()
        if pid == 0:
            ok = signals._setup_alt_stack() is None and c.alt_stack() == (21504, 0)
            for _ in range(3):
                ok = ok and outcome(c.recurse) == "talvex.signals.SignalError('Segmentation fault')"
            ok = ok and c.state()[:4] == (0, 0, 0, 0)
            os._exit(0 if ok else 1)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    """)
    assert out == "0\n"


ALT_STACKS = """
import ctypes
libc = ctypes.CDLL(None, use_errno=True)
class StackT(ctypes.Structure):
    _fields_ = [("sp", ctypes.c_void_p), ("flags", ctypes.c_int), ("size", ctypes.c_size_t)]
def alt_stack():
    ss = StackT()
    assert libc.sigaltstack(None, ctypes.byref(ss)) == 0
    return ss
def set_alt_stack(buffer):
    ss = StackT(ctypes.addressof(buffer), 0, ctypes.sizeof(buffer))
    assert libc.sigaltstack(ctypes.byref(ss), None) == 0
def below(address):
    # The permissions of the mapping that holds the byte below `address`.
    with open("/proc/self/maps") as maps:
        for line in maps:
            span, perms = line.split()[:2]
            low, high = (int(x, 16) for x in span.split("-"))
            if low <= address - 1 < high:
                return perms
    return "unmapped"
"""


@pytest.mark.parametrize("own, kept", [(256 << 10, True), (8 << 10, False), (None, False)],
                         ids=["own-256KiB", "own-8KiB", "none"])
def test_a_threads_own_alt_stack_stays_and_talvexs_have_a_guard_page(py, own, kept):
    # A thread that brought an alternate stack large enough keeps it at its
    # first region (its own SA_ONSTACK handlers run there); any other gets
    # talvex's, below which lies a page that nothing may touch, as below
    # the main thread's.
    r = py(PRELUDE + ALT_STACKS + textwrap.dedent("""
        own = %r
        def worker():
            if own:
                buffer = ctypes.create_string_buffer(own)
                set_alt_stack(buffer)
            result = outcome(c.fault, "segv")
            ss = alt_stack()
            mine = bool(own) and ss.sp == ctypes.addressof(buffer)
            print(result, mine, ss.size if mine else (ss.size, below(ss.sp)), ss.flags)
        t = threading.Thread(target=worker)
        t.start()
        t.join()
        ss = alt_stack()
        print(ss.size, below(ss.sp))
    """ % own))
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    ours = "(21504, '---p')"
    assert r.stdout.decode().splitlines() == [
        "talvex.signals.SignalError('Segmentation fault') %s %s 0"
        % ((True, own) if kept else (False, ours)),
        "21504 ---p",
    ]


@pytest.mark.parametrize("setup", [True, False])
def test_a_thread_gets_its_own_alt_stack(py, setup):
    # A new thread has no alternate signal stack: _setup_alt_stack() gives it
    # one, and so does its first region, so that a stack overflow in any
    # thread's region is caught.
    r = py(PRELUDE + textwrap.dedent("""
        def worker():
            if %r:
                signals._setup_alt_stack()
            before = c.alt_stack()
            print(before, outcome(c.recurse), c.alt_stack(), flush=True)
        t = threading.Thread(target=worker)
        t.start()
        t.join()
        print(outcome(c.fault, "segv"), c.state()[:4])
    """ % setup))
    assert (r.returncode, r.stderr) == (0, b"")
    before = "(21504, 0)" if setup else "(0, %d)" % 2   # SS_DISABLE
    assert r.stdout.decode().splitlines() == [
        before + " talvex.signals.SignalError('Segmentation fault') (21504, 0)",
        "talvex.signals.SignalError('Segmentation fault') (0, 0, 0, 0)",
    ]
