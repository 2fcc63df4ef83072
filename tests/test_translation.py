"""Signal numbers into Python exceptions (sig_raise_exception) and the
bookkeeping of the last raised value (verify_exc_value), driven through the
test client's calls of the exported entries, each in a fresh interpreter."""
import json
import signal
import textwrap

import pytest

from conftest import run_ok

PRELUDE = """
import gc, json, os, signal, sys, traceback
import talvex.signals as s
import tvclient_c as c

def catch(sig=signal.SIGSEGV, msg=None, call=None):
    try:
        if call is None:
            c.raise_exception(sig, msg)
        else:
            call(sig)
    except BaseException as e:
        return e
    raise AssertionError("nothing raised")

def kind(e):
    return type(e).__module__ + "." + type(e).__qualname__
"""


def child(code, **kw):
    return run_ok(PRELUDE, code, **kw)


def lines(code, **kw):
    return child(code, **kw).stdout.decode().splitlines()


SEGV_TEXT = "Segmentation fault"
TABLE = [
    # (signal, message, exception class, args)
    (signal.SIGHUP, None, "builtins.SystemExit", []),
    (signal.SIGHUP, "ignored", "builtins.SystemExit", []),
    (signal.SIGTERM, "ignored", "builtins.SystemExit", []),
    (signal.SIGINT, "ignored", "builtins.KeyboardInterrupt", []),
    (signal.SIGILL, None, "talvex.signals.SignalError", ["Illegal instruction"]),
    (signal.SIGILL, "bad op", "talvex.signals.SignalError", ["bad op"]),
    (signal.SIGABRT, None, "builtins.RuntimeError", ["Aborted"]),
    (signal.SIGABRT, "assertion", "builtins.RuntimeError", ["assertion"]),
    (signal.SIGFPE, None, "builtins.FloatingPointError", ["Floating point exception"]),
    (signal.SIGFPE, "div", "builtins.FloatingPointError", ["div"]),
    (signal.SIGBUS, None, "talvex.signals.SignalError", ["Bus error"]),
    (signal.SIGSEGV, None, "talvex.signals.SignalError", [SEGV_TEXT]),
    (signal.SIGSEGV, "CUSTOM MESSAGE", "talvex.signals.SignalError", ["CUSTOM MESSAGE"]),
    (signal.SIGSEGV, "h\u00e9 \u2713", "talvex.signals.SignalError", ["h\u00e9 \u2713"]),
    (signal.SIGALRM, "ignored", "talvex.signals.AlarmInterrupt", []),
    (0, "ignored", "builtins.SystemError", ["unknown signal number 0"]),
    (signal.SIGQUIT, None, "builtins.SystemError", [f"unknown signal number {int(signal.SIGQUIT)}"]),
    (signal.SIGUSR1, None, "builtins.SystemError", [f"unknown signal number {int(signal.SIGUSR1)}"]),
    (-7, None, "builtins.SystemError", ["unknown signal number -7"]),
]


@pytest.fixture(scope="module")
def translated():
    cases = [(int(sig), msg) for sig, msg, _, _ in TABLE]
    out = lines("""
        results = []
        for sig, msg in %r:
            e = catch(sig, msg)
            results.append([kind(e), list(e.args), c.state()[5] is e])
        print(json.dumps(results))
    """ % cases)
    return json.loads(out[0])


@pytest.mark.parametrize("row", range(len(TABLE)),
                         ids=[f"{int(sig)}-{msg}" for sig, msg, _, _ in TABLE])
def test_signal_to_exception_table(translated, row):
    _, _, cls, args = TABLE[row]
    # The raised instance is the very one the record keeps.
    assert translated[row] == [cls, args, True]


def test_classes_are_looked_up_by_name_at_every_call():
    out = lines("""
        import builtins
        class Rebound(Exception):
            pass
        s.AlarmInterrupt = Rebound
        print(kind(catch(signal.SIGALRM)))
        # Deleted from the module: the builtins are the fallback.
        del s.SignalError
        builtins.SignalError = Rebound
        print(kind(catch(signal.SIGSEGV)), catch(signal.SIGSEGV).args)
        del builtins.SignalError
        kept = catch(signal.SIGFPE)
        e = catch(signal.SIGBUS)
        print(kind(e), e, c.state()[5] is kept)
        print(traceback.extract_tb(e.__traceback__)[-1].name)
        # Any error other than AttributeError from the lookup stays set.
        def broken(name):
            raise LookupError(name)
        builtins.__getattr__ = broken
        print(repr(catch(signal.SIGILL)), c.state()[5] is kept)
    """)
    assert out == [
        "__main__.Rebound",
        "__main__.Rebound ('Segmentation fault',)",
        "builtins.NameError name 'SignalError' is not defined True",
        "talvex.signals.sig_raise_exception",
        "LookupError('SignalError') True",
    ]


def test_exception_already_set_wins():
    out = lines("""
        kept = catch(signal.SIGFPE)
        for sig in (signal.SIGINT, signal.SIGSEGV, signal.SIGALRM, 0):
            e = catch(sig, call=c.raise_exception_after_error)
            print(repr(e), c.state()[5] is kept)
    """)
    assert out == ["ValueError('first') True"] * 4


def test_entry_takes_the_interpreter_lock_itself():
    out = lines("""
        for sig in (signal.SIGSEGV, signal.SIGALRM, signal.SIGINT):
            e = catch(sig, call=c.raise_exception_nogil)
            print(kind(e), e.args, c.state()[5] is e)
    """)
    assert out == [
        "talvex.signals.SignalError ('Segmentation fault',) True",
        "talvex.signals.AlarmInterrupt () True",
        "builtins.KeyboardInterrupt () True",
    ]


def test_raised_value_replacement_releases_the_old_reference():
    out = lines("""
        import weakref
        first = catch(signal.SIGSEGV)
        gone = weakref.ref(first)  # SignalError, unlike the builtins, takes weak references
        held = sys.getrefcount(first)
        second = catch(signal.SIGBUS)
        print(sys.getrefcount(first) == held - 1, c.state()[5] is second)
        del first
        print(gone() is None)
        del second
        # The record keeps exactly one reference of its own.
        print(c.raised_value_refcount())
    """)
    assert out == ["True True", "True", "1"]


@pytest.mark.parametrize("sig", [signal.SIGHUP, signal.SIGTERM], ids=["SIGHUP", "SIGTERM"])
def test_hangup_reopens_standard_input_on_dev_null(sig):
    out = lines("""
        import stat
        # An exception already set: nothing happens, stdin included.
        print(repr(catch(%d, call=c.raise_exception_after_error)), os.read(0, 3))
        e = catch(%d)
        print(kind(e), e.args, e.code)
        st, null = os.fstat(0), os.stat("/dev/null")
        print(os.read(0, 100), sys.stdin.buffer.read(), stat.S_ISCHR(st.st_mode),
              st.st_rdev == null.st_rdev)
    """ % (sig, sig), input=b"abcdef\n")
    assert out == ["ValueError('first') b'abc'", "builtins.SystemExit () None", "b'' b'' True True"]


# verify_exc_value: `collect` and `sys` are swapped for spies in the module
# namespace, which is where the entry looks them up.
SPIES = """
collected = []
real_collect = s.collect
def counting_collect():
    collected.append(1)
    return real_collect()
s.collect = counting_collect

class SysSpy:
    reads = 0
    def __init__(self, last_value):
        self._last = last_value
    @property
    def last_value(self):
        SysSpy.reads += 1
        return self._last

reports = []
sys.unraisablehook = lambda u: reports.append((u.exc_type.__name__, u.object, u.err_msg))

def verify(error_first=False):
    try:
        c.verify_exc_value(error_first)
        return None
    except BaseException as e:
        return repr(e)

def record():
    return "set" if c.state()[5] is not None else "empty"

def cyclic(value):
    loop = [value]
    loop.append(loop)
"""


def verify_lines(code, **kw):
    r = child(SPIES + textwrap.dedent(code), **kw)
    return r.stdout.decode().splitlines(), r.stderr.decode()


def test_verify_clears_a_value_only_the_record_holds_without_looking_further():
    out, _ = verify_lines("""
        catch()
        s.sys = SysSpy(None)
        print(c.raised_value_refcount(), verify(), record(), SysSpy.reads, len(collected))
        # Even with an exception set on entry; that exception stays.
        catch()
        print(verify(error_first=True), record(), SysSpy.reads, len(collected))
    """)
    assert out == ["1 None empty 0 0", "ValueError('first') empty 0 0"]


def test_verify_clears_the_value_that_is_sys_last_value_without_collecting():
    out, _ = verify_lines("""
        e = catch()
        sys.last_value = e
        print(verify(), record(), len(collected), e.args)
    """)
    assert out == ["None empty 0 ('Segmentation fault',)"]


def test_verify_with_an_exception_set_changes_nothing():
    out, _ = verify_lines("""
        e = catch()
        sys.last_value = e
        print(verify(error_first=True), c.state()[5] is e, len(collected))
    """)
    assert out == ["ValueError('first') True 0"]


def test_verify_collects_and_then_checks_again():
    out, _ = verify_lines("""
        # Kept alive only by a reference cycle: the collector frees it.
        cyclic(catch())
        print(c.raised_value_refcount(), verify(), record(), len(collected))
        # Still in use: collected, but kept.
        e = catch()
        sys.last_value = ValueError("another")
        print(verify(), c.state()[5] is e, len(collected))
        # Nothing recorded: the collector runs all the same.
        del e, sys.last_value
        catch()
        verify()
        print(record(), len(collected), verify(), len(collected))
        # A `sys` without last_value is tolerated.
        s.sys = object()
        cyclic(catch())
        print(verify(), record(), len(collected), reports)
    """)
    assert out == [
        "2 None empty 1",
        "None True 2",
        "empty 2 None 3",
        "None empty 4 []",
    ]


@pytest.mark.parametrize("failure,cleared", [
    ("ValueError", "empty"),  # an Exception from the collector is ignored
    ("KeyboardInterrupt", "set"),  # anything else is reported and ends the check
])
def test_verify_collector_failures(failure, cleared):
    out, err = verify_lines("""
        def failing_collect():
            real_collect()
            raise %s("from collect")
        s.collect = failing_collect
        cyclic(catch())
        try:
            raise ZeroDivisionError("being handled")
        except ZeroDivisionError:
            result = verify()
            handled = repr(sys.exc_info()[1])
        print(result, record(), handled, reports)
    """ % failure)
    expected_reports = ([] if failure == "ValueError" else
                        [("KeyboardInterrupt", "talvex.signals.verify_exc_value", None)])
    assert out == [f"None {cleared} ZeroDivisionError('being handled') {expected_reports}"]
    # The report prints the exception with its traceback first.
    assert (f"{failure}: from collect" in err) == (failure == "KeyboardInterrupt")


def test_verify_missing_collect_is_tolerated():
    # The lookup of `collect` fails with NameError, an Exception: ignored, and
    # the final check still runs (the spy drops the other reference meanwhile).
    out, _ = verify_lines("""
        holder = [catch()]
        class Dropping:
            @property
            def last_value(self):
                holder.clear()
                raise AttributeError("last_value")
        s.sys = Dropping()
        del s.collect
        print(c.raised_value_refcount(), verify(), record(), reports)
    """)
    assert out == ["2 None empty []"]


@pytest.mark.parametrize("breakage,exc", [
    ("del s.sys", "NameError"),
    ("s.sys = Broken()", "RuntimeError"),
])
def test_verify_sys_failures_are_reported_as_unraisable(breakage, exc):
    out, err = verify_lines("""
        class Broken:
            @property
            def last_value(self):
                raise RuntimeError("no last value")
        %s
        cyclic(catch())
        print(verify(), record(), len(collected), reports)
    """ % breakage)
    assert out == [f"None set 0 [('{exc}', 'talvex.signals.verify_exc_value', None)]"]
    assert f"{exc}: " in err
