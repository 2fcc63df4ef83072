"""The Python-level functions of talvex.signals (sig_on_reset,
set_debug_level, sig_print_exception, _pari_version), their function
objects and doctests. Each scenario runs in a fresh interpreter."""
import json

import pytest

from conftest import run_ok

PRELUDE = """
import io, json, signal, sys, traceback
import talvex.signals as s

def failure(call, *args, **kwargs):
    try:
        result = call(*args, **kwargs)
    except BaseException as e:
        # The entry right below the caller's: the called function's own.
        entries = traceback.extract_tb(e.__traceback__)
        return [type(e).__name__, str(e), entries[1].name if len(entries) > 1 else None]
    return ["returned", repr(result), None]
"""


def child(code, **kw):
    return run_ok(PRELUDE, code, **kw)


def lines(code, **kw):
    return child(code, **kw).stdout.decode().splitlines()


def test_sig_on_reset_returns_and_clears_the_count():
    out = lines("""
        import tvclient_c as c
        c.enter_region()
        print(s.sig_on_reset(), s.sig_on_reset(), c.state()[0])
        for value in (3, -2):
            c.set_int("sig_on_count", value)
            print(s.sig_on_reset(), c.state()[0])
    """)
    assert out == ["1 0 0", "3 0", "-2 0"]


LEVEL_CASES = [
    # (argument expression, outcome)
    ("0", ["returned", "0", None]),
    ("level=0", ["returned", "0", None]),
    ("False", ["returned", "0", None]),
    ("0.9", ["returned", "0", None]),  # truncated toward zero
    ("-0.9", ["returned", "0", None]),
    ("-1", ["ValueError", "talvex debug level must be >= 0", "talvex.signals.set_debug_level"]),
    ("-2**31", ["ValueError", "talvex debug level must be >= 0", "talvex.signals.set_debug_level"]),
    ("1", ["RuntimeError", "talvex is compiled without debugging, recompile with --enable-debug",
           "talvex.signals.set_debug_level"]),
    ("level=2**31-1", ["RuntimeError",
                       "talvex is compiled without debugging, recompile with --enable-debug",
                       "talvex.signals.set_debug_level"]),
    ("1.5", ["RuntimeError", "talvex is compiled without debugging, recompile with --enable-debug",
             "talvex.signals.set_debug_level"]),
    ("WithInt()", ["RuntimeError",
                   "talvex is compiled without debugging, recompile with --enable-debug",
                   "talvex.signals.set_debug_level"]),
]


@pytest.fixture(scope="module")
def levels():
    out = lines("""
        class WithInt:
            def __int__(self):
                return 7
        for expr in %r:
            print(json.dumps(eval("failure(s.set_debug_level, %%s)" %% expr)))
        for expr in ("2**31", "-2**31-1", "2**64"):
            print(json.dumps(eval("failure(s.set_debug_level, %%s)" %% expr)[::2]))
        for expr in ("'1'", "None", "[0]"):
            print(json.dumps(eval("failure(s.set_debug_level, %%s)" %% expr)[::2]))
    """ % [expr for expr, _ in LEVEL_CASES])
    return [json.loads(line) for line in out]


@pytest.mark.parametrize("row", range(len(LEVEL_CASES)), ids=[e for e, _ in LEVEL_CASES])
def test_set_debug_level(levels, row):
    assert levels[row] == LEVEL_CASES[row][1]


def test_set_debug_level_conversion_errors(levels):
    # Out of the 32-bit range: OverflowError before either check; no
    # integer conversion at all: TypeError.
    assert levels[len(LEVEL_CASES):] == [["OverflowError", "talvex.signals.set_debug_level"]] * 3 + \
        [["TypeError", "talvex.signals.set_debug_level"]] * 3


def test_pari_version():
    out = lines("""
        print(s._pari_version(), failure(s._pari_version, 1)[0])
    """)
    assert out == ["None TypeError"]


BAD_CALLS = [
    ("_pari_version", "1"),
    ("_pari_version", "x=1"),
    ("set_debug_level", ""),
    ("set_debug_level", "0, 1"),
    ("set_debug_level", "lvl=0"),
    ("set_debug_level", "0, level=0"),
    ("set_debug_level", "**{'level': 0, 'x': 1}"),
    ("sig_print_exception", ""),
    ("sig_print_exception", "msg='m'"),
    ("sig_print_exception", "1, 2, 3"),
    ("sig_print_exception", "1, sig=1"),
    ("sig_on_reset", "None"),
    ("python_check_interrupt", ""),
    ("python_check_interrupt", "1, 2, 3"),
    ("python_check_interrupt", "frame=None"),
]


def test_argument_errors_read_as_for_python_functions():
    # The same bad calls against plain Python functions of the same
    # signatures give the interpreter's usual wording.
    out = lines("""
        py = {}
        exec("def _pari_version(): pass\\n"
             "def set_debug_level(level): pass\\n"
             "def sig_print_exception(sig, msg=None): pass\\n"
             "def sig_on_reset(): pass\\n"
             "def python_check_interrupt(sig, frame): pass\\n", py)
        for name, args in %r:
            ours = eval("failure(s.%%s, %%s)" %% (name, args))
            theirs = eval("failure(py[%%r], %%s)" %% (name, args))
            print(json.dumps([name, args, ours[:2], theirs[:2]]))
    """ % BAD_CALLS)
    for line in out:
        name, args, ours, theirs = json.loads(line)
        assert ours[0] == "TypeError", (name, args, ours)
        assert ours == theirs, (name, args)
    assert len(out) == len(BAD_CALLS)


def test_function_objects():
    r = child("""
        import inspect
        out = {}
        for name in ("_pari_version", "sig_print_exception", "init_talvex", "_setup_alt_stack",
                     "set_debug_level", "sig_on_reset", "python_check_interrupt"):
            f = getattr(s, name)
            out[name] = [f.__name__, f.__qualname__, f.__module__, f.__defaults__,
                         f.__globals__ is vars(s), str(inspect.signature(f)), callable(f),
                         isinstance(f.__doc__, str) and len(f.__doc__) > 20]
        out["docs"] = [s.__test__[key] == getattr(s, key.split()[0]).__doc__ for key in s.__test__]
        print(json.dumps(out))
    """)
    out = json.loads(r.stdout)
    expected = {
        "_pari_version": [None, "()"],
        "sig_print_exception": [[None], "(sig, msg=None)"],
        "init_talvex": [None, "()"],
        "_setup_alt_stack": [None, "()"],
        "set_debug_level": [None, "(level)"],
        "sig_on_reset": [None, "()"],
        "python_check_interrupt": [None, "(sig, frame)"],
    }
    for name, (defaults, sig) in expected.items():
        assert out[name] == [name, name, "talvex.signals", defaults, True, sig, True, True], name
    assert out["docs"] == [True] * 4


def test_docstrings_say_what_the_functions_do():
    r = child("""
        print(json.dumps([s.sig_on_reset.__doc__, s.set_debug_level.__doc__,
                          s.sig_print_exception.__doc__, s._pari_version.__doc__,
                          s.AlarmInterrupt.__doc__, s.SignalError.__doc__]))
    """)
    on_reset, debug, printing, pari, alarm, signal_error = json.loads(r.stdout)
    assert "sig_on_count" in on_reset and "zero" in on_reset
    assert "--enable-debug" in debug
    assert "sig_raise_exception" in printing and "prints" in printing
    assert "PARI" in pari
    assert "alarm" in alarm and "EXAMPLES" in alarm
    assert "SIGSEGV" in signal_error and "BaseException" in signal_error


def test_doctests_pass():
    r = child("""
        import doctest
        runner = doctest.DocTestRunner()
        out = {}
        for test in doctest.DocTestFinder().find(s):
            result = runner.run(test)
            out[test.name] = [result.failed, result.attempted, test.docstring.count(">>> ")]
        print(json.dumps(out))
    """, timeout=60)
    results = json.loads(r.stdout.decode().splitlines()[-1])
    expected = ["AlarmInterrupt", "SignalError"] + [
        f"__test__.{key}" for key in ("sig_print_exception (line 216)", "init_talvex (line 258)",
                                      "set_debug_level (line 305)", "sig_on_reset (line 328)")]
    for name in expected:
        failed, attempted, examples = results["talvex.signals." + name]
        assert failed == 0 and attempted == examples > 0, (name, r.stdout.decode())
    assert all(failed == 0 for failed, _, _ in results.values()), r.stdout.decode()


PRINT_CASES = [
    ("signal.SIGFPE", "FloatingPointError: Floating point exception"),
    ("signal.SIGSEGV, 'CUSTOM MESSAGE'", "talvex.signals.SignalError: CUSTOM MESSAGE"),
    ("signal.SIGBUS, msg='h\u00e9'", "talvex.signals.SignalError: h\u00e9"),
    ("0", "SystemError: unknown signal number 0"),
    ("signal.SIGINT, 'ignored'", "KeyboardInterrupt"),
    ("signal.SIGALRM, 'ignored'", "talvex.signals.AlarmInterrupt"),
    ("signal.SIGHUP, 'ignored'", "SystemExit"),
    ("signal.SIGABRT, None", "RuntimeError: Aborted"),
    ("2.5", "KeyboardInterrupt"),  # truncated: SIGINT
    ("sig=signal.SIGSEGV, msg='abc\\0def'", "talvex.signals.SignalError: abc"),
    ("signal.SIGILL, Encodes('from a bytearray')", "talvex.signals.SignalError: from a bytearray"),
    ("'11'", "TypeError: "),
    ("2**31", "OverflowError: "),
    ("-2**31-1", "OverflowError: "),
]


@pytest.fixture(scope="module")
def printed():
    out = lines("""
        class Encodes(str):
            def encode(self, encoding):
                return bytearray(str(self) + "\\0tail", encoding)
        for args in %r:
            sys.stdout = io.StringIO()
            result = eval("s.sig_print_exception(%%s)" %% args)
            text, sys.stdout = sys.stdout.getvalue(), sys.__stdout__
            print(json.dumps([result, text]))
    """ % [a for a, _ in PRINT_CASES])
    return [json.loads(line) for line in out]


@pytest.mark.parametrize("row", range(len(PRINT_CASES)), ids=[a for a, _ in PRINT_CASES])
def test_sig_print_exception_prints(printed, row):
    result, text = printed[row]
    expected = PRINT_CASES[row][1]
    assert result is None
    assert text.endswith("\n") and text.count("\n") == 1, text
    if expected.endswith(": "):  # conversion errors: their wording is the interpreter's
        assert text.startswith(expected) and len(text) > len(expected) + 1
    else:
        assert text == expected + "\n"


def test_sig_print_exception_goes_to_the_stdout_of_the_moment_and_keeps_exc_info():
    out = lines("""
        import tvclient_c as c
        try:
            raise ZeroDivisionError("mine")
        except ZeroDivisionError:
            before = sys.exc_info()
            s.sig_print_exception(signal.SIGSEGV, "kept")
            print(sys.exc_info() == before)
        print(sys.exc_info(), repr(c.state()[5]))
    """)
    assert out == [
        "talvex.signals.SignalError: kept",
        "True",
        "(None, None, None) SignalError('kept')",
    ]


@pytest.mark.parametrize("msg,error", [
    ("b'bytes'", "AttributeError 'bytes' object has no attribute 'encode'"),
    ("42", "AttributeError 'int' object has no attribute 'encode'"),
    ("BadEncode('x')", "TypeError "),
    ("'\\ud800'", "UnicodeEncodeError "),
])
def test_sig_print_exception_message_errors_propagate_and_print_nothing(msg, error):
    out = lines("""
        class BadEncode(str):
            def encode(self, encoding):
                return "still text"
        sys.stdout = io.StringIO()
        outcome = failure(s.sig_print_exception, signal.SIGSEGV, %s)
        text, sys.stdout = sys.stdout.getvalue(), sys.__stdout__
        print(json.dumps([outcome, text]))
    """ % msg)
    (kind, message, entry), text = json.loads(out[0])
    assert f"{kind} {message}".startswith(error)
    assert entry == "talvex.signals.sig_print_exception"
    assert text == ""


@pytest.mark.parametrize("breakage,error", [
    ("del sys.stdout", "AttributeError"),
    ("sys.exc_info = lambda: (1, 2)", "ValueError"),
    ("traceback.print_exception = lambda *a, **k: 1 / 0", "ZeroDivisionError"),
])
def test_sig_print_exception_printing_errors_propagate(breakage, error):
    out = lines("""
        saved = sys.stdout, sys.exc_info, traceback.print_exception
        try:
            raise KeyError("outer")
        except KeyError:
            %s
            try:
                s.sig_print_exception(signal.SIGFPE)
            except BaseException as e:
                caught = e
            sys.stdout, sys.exc_info, traceback.print_exception = saved
            handled = repr(sys.exc_info()[1])
        print(type(caught).__name__, repr(caught.__context__), handled)
        print(traceback.extract_tb(caught.__traceback__)[1].name)
    """ % breakage)
    assert out == [
        f"{error} FloatingPointError('Floating point exception') KeyError('outer')",
        "talvex.signals.sig_print_exception",
    ]


def test_sig_print_exception_hangup_leaves_stdin_alone():
    # Printing is for documentation: unlike a real hang-up, it must not
    # take the process's input away.
    out = lines("""
        s.sig_print_exception(signal.SIGHUP)
        print(repr(sys.stdin.buffer.read()))
    """, input=b"pending input\n")
    assert out == ["SystemExit", "b'pending input\\n'"]
