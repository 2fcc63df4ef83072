"""Custom hook triples and the recovery entry points (_sig_on_recover,
_sig_on_interrupt_received, _do_raise_exception, _sig_off_warning,
print_backtrace), driven through the test client in fresh interpreters.
The client's hooks log every call as (kind, hook index, argument)."""
import signal
import textwrap

import pytest

from conftest import run_ok, run_py

PRELUDE = """
import signal, sys, traceback, warnings
import talvex.signals as s
import tvclient_c as c

def outcome(call, *args):
    try:
        result = call(*args)
    except BaseException as e:
        return repr(e)
    return "returned %r" % (result,)
"""


def lines(code, **kw):
    return run_ok(PRELUDE, code, **kw).stdout.decode().splitlines()


def unblocks(*indices):
    return [("unblock", i, 0) for i in indices]


def pendings(sig, *indices):
    return [("set_pending", i, int(sig)) for i in indices]


def test_sixteen_triples_then_the_registry_is_full():
    out = lines("""
        print([c.add_hooks(i) for i in range(16)])
        for attempt in range(2):
            try:
                c.add_hooks(16)
            except IndexError as e:
                print(repr(e), [f.name for f in traceback.extract_tb(e.__traceback__)][1:])
        c.take_hook_log()
        c.sig_on_recover()
        print(c.take_hook_log())
        # Installing again keeps the registry.
        s.init_talvex()
        c.sig_on_recover()
        print(c.take_hook_log())
    """)
    refused = ("IndexError('maximal number of custom handlers exceeded') "
               "['talvex.signals.add_custom_signals']")
    walk = str(unblocks(*range(16)) + pendings(0, *range(16)))
    assert out == [str([0] * 16), refused, refused, walk, walk]


@pytest.mark.parametrize("which", [0, 1, 2], ids=["is_blocked", "unblock", "set_pending"])
def test_a_null_hook_is_refused(which):
    # A null member would be called later inside a signal handler.
    out = lines(f"""
        print(outcome(c.add_null_hook, {which}))
        print([c.add_hooks(i) for i in range(16)])
    """)
    assert out == ["ValueError('talvex add_custom_signals: a hook function is NULL')",
                   str([0] * 16)]


def test_no_hooks_are_called_when_none_are_registered():
    out = lines("""
        c.sig_on_recover()
        c.set_int("pending_interrupt", signal.SIGINT)
        print(outcome(c.interrupt_received), outcome(c.fault, "14"), c.take_hook_log())
    """)
    assert out == ["KeyboardInterrupt() AlarmInterrupt() []"]


def test_is_blocked_walk_stops_at_the_first_block():
    # A SIGALRM raised inside a region: the handler asks the hooks in
    # registration order and the second one blocks.
    out = lines("""
        for i in range(3):
            c.add_hooks(i)
        c.set_hook_blocked(1, 5)
        c.take_hook_log()
        print(outcome(c.fault, "14"), c.state()[:2])
        print(c.take_hook_log())
        print(outcome(c.interrupt_received), c.state()[:2])
        print(c.take_hook_log())
        # Nobody blocks now: all are asked, then the jump and its recovery.
        c.set_hook_blocked(1, 0)
        print(outcome(c.fault, "14"), c.state()[:2])
        print(c.take_hook_log())
    """)
    asked = lambda *i: [("is_blocked", k, 0) for k in i]
    assert out == [
        "returned None (0, 14)",
        str(asked(0, 1) + pendings(signal.SIGALRM, 0, 1, 2)),
        "AlarmInterrupt() (0, 0)",
        str(pendings(0, 0, 1, 2)),
        "AlarmInterrupt() (0, 0)",
        str(asked(0, 1, 2) + unblocks(0, 1, 2) + pendings(0, 0, 1, 2)),
    ]


def test_a_triple_registered_twice_is_called_twice():
    out = lines("""
        print(c.add_hooks(3), c.add_hooks(4), c.add_hooks(3))
        c.sig_on_recover()
        print(c.take_hook_log())
    """)
    assert out == ["0 0 0", str(unblocks(3, 4, 3) + pendings(0, 3, 4, 3))]


def test_sig_on_recover_returns_to_idle():
    out = lines("""
        c.add_hooks(0)
        c.add_hooks(1)
        default = signal.pthread_sigmask(signal.SIG_BLOCK, [])
        for field, value in (("sigint_blocked", 1), ("sig_on_count", 3),
                             ("pending_interrupt", signal.SIGINT), ("handler_active", 1)):
            c.set_int(field, value)
        c.set_message(b"kept")
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT, signal.SIGALRM, signal.SIGUSR1])
        c.take_hook_log()
        print(outcome(c.sig_on_recover), c.state()[:5])
        print(signal.pthread_sigmask(signal.SIG_BLOCK, []) == default, c.take_hook_log())
    """)
    assert out == [
        "returned None (0, 0, 0, 0, b'kept')",
        "True " + str(unblocks(0, 1) + pendings(0, 0, 1)),
    ]


@pytest.mark.parametrize("pending,message,error_first,raised", [
    (signal.SIGINT, None, False, "KeyboardInterrupt()"),
    (signal.SIGALRM, None, False, "AlarmInterrupt()"),
    (signal.SIGHUP, None, False, "SystemExit()"),
    (0, None, False, "SystemError('unknown signal number 0')"),
    (signal.SIGABRT, b"from the region", False, "RuntimeError('from the region')"),
    (signal.SIGINT, None, True, "ValueError('first')"),  # consumed without its own exception
])
def test_sig_on_interrupt_received(pending, message, error_first, raised):
    out = lines("""
        c.add_hooks(0)
        c.add_hooks(1)
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR1])
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
        c.set_int("sig_on_count", 2)
        c.set_int("pending_interrupt", %d)
        c.set_message(%r)
        c.take_hook_log()
        print(outcome(c.interrupt_received, %r))
        print(c.state()[:5], signal.pthread_sigmask(signal.SIG_BLOCK, []) == mask)
        print(c.take_hook_log())
    """ % (pending, message, error_first))
    assert out == [raised, f"(0, 0, 0, 0, {message!r}) True", str(pendings(0, 0, 1))]


@pytest.mark.parametrize("sig,message,raised", [
    (signal.SIGSEGV, None, "SignalError('Segmentation fault')"),
    (signal.SIGSEGV, b"boom", "SignalError('boom')"),
    (signal.SIGINT, b"ignored", "KeyboardInterrupt()"),
])
def test_do_raise_exception_uses_the_record_message(sig, message, raised):
    out = lines("""
        c.set_int("sig_on_count", 2)
        c.set_int("handler_active", 1)
        c.set_message(%r)
        print(outcome(c.do_raise_exception, %d), c.state()[:5], repr(c.state()[5]))
    """ % (message, sig))
    assert out == [f"{raised} (2, 0, 1, 0, {message!r}) {raised}"]


PREFIX = "sig_off() without sig_on() at "


def warned(code):
    return lines(textwrap.dedent("""
        def call(file, line):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                c.sig_off_warning(file, line)
            return caught
    """) + textwrap.dedent(code))


def test_sig_off_warning_text_and_stack_level():
    out = warned("""
        def inner():
            return call("module.c", 42)
        def outer():
            return inner()
        [w] = outer()
        # Level 1 is `call`, the Python caller of the client; level 2 its caller.
        print(w.category.__name__, w.message, w.lineno == inner.__code__.co_firstlineno + 1)
    """)
    assert out == [f"RuntimeWarning {PREFIX}module.c:42 True"]


@pytest.mark.parametrize("length", [400, 319 - len(PREFIX) - 3, 320 - len(PREFIX) - 3])
def test_sig_off_warning_is_cut_at_319_characters(length):
    out = warned("""
        [w] = call("f" * %d, 7)
        print(str(w.message))
    """ % length)
    full = PREFIX + "f" * length + ":7"
    assert out == [full[:319]]
    assert len(out[0]) == min(len(full), 319)


def test_sig_off_warning_as_error_is_reported_as_unraisable():
    # Under -W error the warning becomes an exception the client cannot
    # see: it is reported as unraisable, and the call returns cleanly (a
    # client returning success with an exception set is a SystemError).
    out = lines("""
        warnings.simplefilter("error", RuntimeWarning)
        reported = []
        sys.unraisablehook = lambda u: reported.append(u.exc_value)
        for name in ("x.c", "f" * 400):
            print(outcome(c.sig_off_warning, name, 3))
            [e] = reported
            reported.clear()
            print(type(e).__name__, len(str(e)), str(e)[-12:])
        # An exception the client's own code set is kept; the warning is
        # still reported.
        print(outcome(c.sig_off_warning, "y.c", 4, True), [str(e) for e in reported])
    """)
    assert out == ["returned None", f"RuntimeWarning {len(PREFIX) + 5} {(PREFIX + 'x.c:3')[-12:]}",
                   "returned None", "RuntimeWarning 319 " + "f" * 12,
                   "ValueError('first') ['sig_off() without sig_on() at y.c:4']"]


@pytest.mark.parametrize("sig, raised", [(signal.SIGINT, "KeyboardInterrupt()"),
                                         (signal.SIGALRM, "AlarmInterrupt()")])
def test_sig_off_warning_never_swallows_a_waiting_interrupt(sig, raised):
    # The warning machinery runs Python code, where the interrupt would be
    # raised and then cleared by the interpreter's warning display.
    out = lines("""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            print(outcome(c.signal_then_sig_off, %d), len(caught), c.state()[:2])
    """ % sig)
    assert out == ["%s 1 (0, 0)" % raised]


def test_region_left_twice_warns_with_the_client_location():
    out = lines("""
        import re
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            print(outcome(c.region_left_twice), c.state()[0])
        [w] = caught
        print(w.category.__name__, str(w.message).startswith(%r),
              bool(re.search(r"tvclient[.]c:[0-9]+$", str(w.message))))
    """ % PREFIX)
    assert out == ["returned None 0", "RuntimeWarning True True"]


def test_print_backtrace_does_nothing():
    r = run_py(PRELUDE + textwrap.dedent("""
        c.set_int("sig_on_count", 1)
        before = c.state()
        result = c.print_backtrace()
        sys.stdout.write(repr((result, c.state() == before)))
    """))
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout == b"(None, True)"
