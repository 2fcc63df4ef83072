"""Arbitrary arguments to every Python-level function of talvex.signals:
ints of any size, floats (nan, inf), text with NUL and lone surrogates,
bytes, None, objects whose __int__ or encode raise or return the wrong
type, and keyword mixes. Each call is checked against an independent model
of its outcome: the exact result, or the exception (with its message where
the behaviour fixes one). A crash ends the interpreter, which the exit
status shows.

Importing talvex installs handlers, so each property runs its hypothesis
search in a fresh interpreter of its own and reports by exit status."""
import pytest

from conftest import run_py

COMMON = r'''
import contextlib, inspect, io, signal, sys, traceback
from hypothesis import HealthCheck, given, settings, strategies as st
import talvex, tvclient_c as c
from talvex import signals

SETTINGS = settings(max_examples=int(sys.argv[1]), deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
S = signal.Signals


class Boom(Exception):
    pass


class IntLike:
    """Converted through __int__, which returns `value` (or raises Boom)."""
    def __init__(self, value):
        self.value = value

    def __int__(self):
        if self.value == "boom":
            raise Boom("int")
        return self.value

    def __repr__(self):
        return "IntLike(%r)" % (self.value,)


class IndexOnly:
    """Has __index__ but no __int__: not convertible."""
    def __index__(self):
        return 2

    def __repr__(self):
        return "IndexOnly()"


class StrictInt(int):
    """An int subclass is taken as it is; its own __int__ is never asked."""
    def __int__(self):
        raise Boom("StrictInt.__int__")


class FloatSub(float):
    pass


class BytesSub(bytes):
    pass


class Encodable:
    """A msg whose encode returns `result` (or raises Boom)."""
    def __init__(self, result):
        self.result = result

    def encode(self, encoding):
        if self.result == "boom":
            raise Boom("encode")
        return self.result

    def __repr__(self):
        return "Encodable(%r)" % (self.result,)


class StrSub(str):
    def encode(self, encoding="utf-8", errors="strict"):
        return b"sub:" + str.encode(self, encoding, "replace")


ints = st.one_of(
    st.integers(),
    st.integers(-70, 70),
    st.integers(-2 ** 31, 2 ** 31 - 1),
    st.sampled_from([2 ** 31 - 1, 2 ** 31, -2 ** 31, -2 ** 31 - 1, 2 ** 63 - 1, 2 ** 63,
                     -2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 30]),
)
floats = st.one_of(st.floats(), st.floats(-70, 70))
texts = st.lists(st.one_of(st.characters(), st.characters(categories=["Cs"]), st.just("\0")),
                 max_size=8).map("".join)
binaries = st.binary(max_size=8)
encodables = st.one_of(binaries, binaries.map(bytearray), binaries.map(BytesSub), texts,
                       st.none(), ints, st.just("boom")).map(Encodable)
values = st.one_of(
    ints, floats, texts, binaries, binaries.map(bytearray), st.none(), st.booleans(),
    st.complex_numbers(max_magnitude=100), ints.map(StrictInt), floats.map(FloatSub),
    st.one_of(ints, floats, texts, st.none(), st.just("boom")).map(IntLike),
    st.just(IndexOnly()), encodables, texts.map(StrSub), st.lists(ints, max_size=2),
    st.builds(object),
)


# What a parameter is drawn from in a well-formed call: values that reach
# every branch often, mixed with anything at all.
boundaries = st.sampled_from([0, 1, -1, 2 ** 31 - 1, 2 ** 31, -2 ** 31, -2 ** 31 - 1])
signal_numbers = st.one_of(
    st.sampled_from([S.SIGHUP, S.SIGINT, S.SIGALRM, S.SIGTERM, S.SIGILL, S.SIGABRT, S.SIGFPE,
                     S.SIGBUS, S.SIGSEGV]).map(int),
    st.integers(-1, 65))
near = {
    "level": st.one_of(boundaries, boundaries.map(IntLike), boundaries.map(float),
                       boundaries.map(StrictInt), values),
    "sig": st.one_of(signal_numbers, signal_numbers, signal_numbers.map(IntLike),
                     signal_numbers.map(FloatSub), st.floats(-1, 33), boundaries, values),
    "msg": st.one_of(st.none(), texts, st.just("CUSTOM MESSAGE"), texts.map(StrSub), encodables,
                     st.tuples(texts, texts).map("\0".join), values),
}


@st.composite
def calls(draw, params, nonempty=False):
    """(args, kwargs): often a well-formed call (each parameter by position
    or keyword, defaults sometimes left out), otherwise anything."""
    names = [p.name for p in params]
    if not nonempty and draw(st.integers(0, 3)):
        args, kwargs = [], {}
        by_keyword = False
        for p in params:
            if p.default is not inspect.Parameter.empty and draw(st.booleans()):
                by_keyword = True
                continue
            by_keyword = by_keyword or draw(st.booleans())
            value = draw(near.get(p.name, values))
            if by_keyword:
                kwargs[p.name] = value
            else:
                args.append(value)
        return args, kwargs
    keys = st.one_of(st.sampled_from(names), st.text(max_size=4)) if names else st.text(max_size=4)
    args = draw(st.lists(values, max_size=4))
    kwargs = draw(st.dictionaries(keys, values, max_size=3))
    if nonempty and not args and not kwargs:
        args = [draw(values)]
    return args, kwargs


def signature(*names, **defaults):
    P = inspect.Parameter
    return inspect.Signature(
        [P(n, P.POSITIONAL_OR_KEYWORD, default=defaults.get(n, P.empty)) for n in names])


def bind(sig, args, kwargs):
    """The bound arguments, or None when the interpreter's argument handling
    must refuse the call with TypeError."""
    try:
        b = sig.bind(*args, **kwargs)
    except TypeError:
        return None
    b.apply_defaults()
    return b.arguments


def outcome(f, args, kwargs):
    try:
        return ("returned", f(*args, **kwargs))
    except BaseException as e:
        return ("raised", e)


def check(got, expected):
    """expected: an exception instance (type and args must match), an
    exception class (type must match), or a returned value."""
    kind, value = got
    if isinstance(expected, BaseException):
        assert kind == "raised" and type(value) is type(expected) and value.args == expected.args, (got, expected)
    elif isinstance(expected, type) and issubclass(expected, BaseException):
        assert kind == "raised" and type(value) is expected, (got, expected)
    else:
        assert kind == "returned" and type(value) is type(expected) and value == expected, (got, expected)


def to_int32(x):
    """The native 32-bit conversion: (value, None) or (None, error)."""
    if isinstance(x, int):
        v = int.__int__(x)
    else:
        conv = getattr(type(x), "__int__", None)
        if conv is None:
            return None, TypeError
        try:
            v = conv(x)
        except Exception as e:
            return None, e
        if not isinstance(v, int):
            return None, TypeError
        v = int.__int__(v)
    if not -2 ** 31 <= v < 2 ** 31:
        return None, OverflowError
    return v, None


DEFAULT_TEXT = {S.SIGILL: "Illegal instruction", S.SIGABRT: "Aborted",
                S.SIGFPE: "Floating point exception", S.SIGBUS: "Bus error",
                S.SIGSEGV: "Segmentation fault"}
WITH_TEXT = {S.SIGILL: signals.SignalError, S.SIGABRT: RuntimeError,
             S.SIGFPE: FloatingPointError, S.SIGBUS: signals.SignalError,
             S.SIGSEGV: signals.SignalError}


def translated(sig, message):
    """The exception a signal number becomes; message is bytes or None."""
    if sig in (S.SIGHUP, S.SIGTERM):
        return SystemExit()
    if sig == S.SIGINT:
        return KeyboardInterrupt()
    if sig == S.SIGALRM:
        return signals.AlarmInterrupt()
    if sig in WITH_TEXT:
        if message is None:
            return WITH_TEXT[sig](DEFAULT_TEXT[sig])
        # A text that is not UTF-8 still gives the signal's own exception.
        return WITH_TEXT[sig](message.decode("utf-8", "replace"))
    return SystemError("unknown signal number %d" % sig)


def reset():
    for field in ("sig_on_count", "pending_interrupt", "handler_active", "sigint_blocked"):
        c.set_int(field, 0)
    c.set_message(None)
'''

PROPERTIES = {
    "set_debug_level": r'''
SIG = signature("level")

@SETTINGS
@given(calls(list(SIG.parameters.values())))
def prop(call):
    args, kwargs = call
    bound = bind(SIG, args, kwargs)
    if bound is None:
        expected = TypeError
    else:
        v, err = to_int32(bound["level"])
        if err is not None:
            expected = err
        elif v < 0:
            expected = ValueError("talvex debug level must be >= 0")
        elif v > 0:
            expected = RuntimeError("talvex is compiled without debugging, recompile with --enable-debug")
        else:
            expected = 0
    check(outcome(signals.set_debug_level, args, kwargs), expected)
''',

    "sig_print_exception": r'''
SIG = signature("sig", "msg", msg=None)

def rendered(e):
    if isinstance(e, type):
        return e.__name__
    return "".join(traceback.format_exception_only(type(e), e))

@SETTINGS
@given(calls(list(SIG.parameters.values())))
def prop(call):
    args, kwargs = call
    bound = bind(SIG, args, kwargs)
    printed = None          # what must be printed, if the call returns None
    if bound is None:
        expected = TypeError
    else:
        msg, message = bound["msg"], None
        expected = None
        if msg is not None:
            try:
                encoded = msg.encode("utf-8")
            except Exception as e:
                expected = e
            else:
                if isinstance(encoded, (bytes, bytearray)):
                    message = bytes(encoded).split(b"\0")[0]
                else:
                    expected = TypeError
        if expected is None:
            v, err = to_int32(bound["sig"])
            printed = rendered(err if err is not None else translated(v, message))
    out = io.StringIO()
    try:
        raise LookupError("handled by the caller")
    except LookupError as handled:
        with contextlib.redirect_stdout(out):
            got = outcome(signals.sig_print_exception, args, kwargs)
        assert sys.exc_info()[1] is handled
    if printed is None:
        check(got, expected)
        assert out.getvalue() == "", out.getvalue()
    else:
        assert got == ("returned", None), got
        text = out.getvalue()
        # Conversion errors whose wording is the implementation's: type only.
        assert text == printed or (printed.isidentifier() and text.startswith(printed + ":")), (text, printed)
''',

    "python_check_interrupt": r'''
SIG = signature("sig", "frame")
int32 = st.integers(-2 ** 31, 2 ** 31 - 1)

@SETTINGS
@given(calls(list(SIG.parameters.values())),
       st.one_of(st.sampled_from([0, 0, S.SIGINT, S.SIGALRM, S.SIGHUP, S.SIGTERM]), int32),
       st.one_of(st.sampled_from([0, 0, 0, 1, -1]), int32),
       st.sampled_from([None, b"text"]))
def prop(call, pending, count, message):
    args, kwargs = call
    reset()
    c.set_int("pending_interrupt", pending)
    c.set_int("sig_on_count", count)
    c.set_message(message)
    try:
        got = outcome(signals.python_check_interrupt, args, kwargs)
        after = c.state()[:4]
    finally:
        reset()
    if bind(SIG, args, kwargs) is None:
        check(got, TypeError)
    elif pending == 0 or count != 0:
        check(got, None)
    else:
        check(got, translated(pending, message))
        assert after == (0, 0, 0, 0), after
        return
    assert after == (count, pending, 0, 0), after
''',

    "sig_on_reset": r'''
@SETTINGS
@given(calls([]), st.integers(-2 ** 31, 2 ** 31 - 1))
def prop(call, count):
    args, kwargs = call
    c.set_int("sig_on_count", count)
    try:
        got = outcome(signals.sig_on_reset, args, kwargs)
        after = c.state()[0]
    finally:
        reset()
    if args or kwargs:
        check(got, TypeError)
        assert after == count
    else:
        check(got, count)
        assert after == 0
''',

    # Only argument-count errors for the two that install things: a refused
    # call must change nothing.
    "no_parameters": r'''
WATCHED = (S.SIGHUP, S.SIGINT, S.SIGALRM, S.SIGSEGV)

def snapshot():
    return (c.state()[:4], [c.disposition(s) for s in WATCHED], c.alt_stack(),
            signal.getsignal(signal.SIGINT))

@SETTINGS
@given(st.sampled_from(["init_talvex", "_setup_alt_stack", "_pari_version"]),
       calls([], nonempty=True))
def prop(name, call):
    args, kwargs = call
    c.set_int("pending_interrupt", S.SIGALRM)
    try:
        before = snapshot()
        got = outcome(getattr(signals, name), args, kwargs)
        after = snapshot()
    finally:
        reset()
    check(got, TypeError)
    assert after == before, (before, after)
    check(outcome(signals._pari_version, (), {}), None)
''',
}


@pytest.fixture(scope="module")
def storage(tmp_path_factory):
    # Hypothesis caches data on disk even without an example database: not
    # in the source tree.
    return str(tmp_path_factory.mktemp("hypothesis"))


@pytest.mark.parametrize("examples, timeout", [
    (1000, 90),
    pytest.param(20_000, 900, marks=pytest.mark.stress),
], ids=["short", "stress"])
@pytest.mark.parametrize("prop", list(PROPERTIES))
def test_arbitrary_arguments(prop, examples, timeout, storage):
    r = run_py(COMMON + PROPERTIES[prop] + "\nprop()\nprint('passed')\n",
               args=(str(examples),), env={"HYPOTHESIS_STORAGE_DIRECTORY": storage},
               timeout=timeout)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"passed\n", b""), \
        r.stderr.decode(errors="replace")[-6000:]
