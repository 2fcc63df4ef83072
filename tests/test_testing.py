"""talvex_testing, the helper users test their own modules with: run() and
the talvex_run fixture of its pytest plugin."""
import signal
import subprocess
import sys

import pytest

import talvex_testing
from conftest import CLIENTS

ENV = {"PYTHONPATH": str(CLIENTS), "PYTHONFAULTHANDLER": None}

# A region opened only after a while of Python code: a signal sent before
# the region is open would end the sleep instead, and print "early".
LATE_REGION = """
import time, tvclient_c as c
try:
    time.sleep(0.3)
except BaseException:
    print("early")
    raise
c.busy_region(600)
"""


def region_depth(depth):
    """Run in the child: a region `depth` deep that ends normally."""
    import tvclient_c as c
    return {"seen": c.busy_region(0.0, depth)}


@pytest.fixture(params=["default", "ignored"])
def parent_sigint(request):
    """This process's SIGINT as the test runner has it, and ignored, as for
    a runner started with `&` from a script: the child starts with the
    default either way."""
    if request.param == "ignored":
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        yield
        signal.signal(signal.SIGINT, previous)
    else:
        yield


@pytest.mark.parametrize("sig, exception", [
    (signal.SIGINT, "KeyboardInterrupt"),
    (signal.SIGALRM, "AlarmInterrupt"),
    (signal.SIGHUP, "SystemExit"),
])
def test_the_signal_is_sent_once_the_region_is_open(parent_sigint, sig, exception):
    outcome = talvex_testing.run(LATE_REGION, signal=sig, env=ENV, timeout=60)
    assert (outcome.exception, outcome.returncode, outcome.stdout, outcome.stderr) == \
        (exception, 0, "", "")


@pytest.mark.parametrize("when", ["ready", 0.2])
def test_the_signal_is_sent_when_the_code_says_or_after_a_delay(when):
    code = "import talvex_testing, tvclient_c as c\n"
    if when == "ready":
        code += "talvex_testing.ready()\n"
    code += "c.sleep_region(600)\n"
    outcome = talvex_testing.run(code, signal=signal.SIGINT, when=when, env=ENV, timeout=60)
    assert (outcome.exception, outcome.returncode, outcome.stderr) == ("KeyboardInterrupt", 0, "")


@pytest.mark.parametrize("code, expected", [
    ("import tvclient_c as c; c.fault('segv', True, 'in my region')",
     ("SignalError", "in my region")),
    ("raise ValueError('bad value')", ("ValueError", "bad value")),
    ("import sys; sys.exit(3)", ("SystemExit", "3")),
    ("print('fine')", (None, None)),
])
def test_what_the_code_raised(code, expected):
    outcome = talvex_testing.run(code, env=ENV)
    assert (outcome.exception, outcome.message) == expected
    assert (outcome.returncode, outcome.stderr, outcome.signal) == (0, "", None)


def test_a_crash_is_the_exit_status_and_the_report():
    outcome = talvex_testing.run("import tvclient_c as c; c.fault('segv', False)",
                                 env=dict(ENV, TALVEX_CRASH_NDEBUG="1"))
    assert (outcome.returncode, outcome.signal, outcome.exception) == \
        (-signal.SIGSEGV, signal.SIGSEGV, None)
    assert "Unhandled SIGSEGV: A segmentation fault occurred." in outcome.stderr


def test_a_function_gets_its_arguments_and_returns_its_value():
    # No signal, and a region that ends normally: it is never waited for.
    outcome = talvex_testing.run(region_depth, 3, env=ENV)
    assert (outcome.value, outcome.exception, outcome.stderr) == ({"seen": 3}, None, "")


@pytest.mark.parametrize("target, args, error", [
    (lambda: None, (), TypeError),
    ("print(1)", (1,), TypeError),
    (42, (), TypeError),
])
def test_targets_the_child_cannot_run_are_refused(target, args, error):
    with pytest.raises(error):
        talvex_testing.run(target, *args)


def test_a_child_that_does_not_end_is_killed():
    with pytest.raises(subprocess.TimeoutExpired):
        talvex_testing.run("import time; time.sleep(600)", timeout=1)


def test_importing_it_imports_neither_talvex_nor_pytest():
    # The test runner's process must not get talvex's handlers, and a
    # program that only uses run() does not need pytest.
    r = subprocess.run([sys.executable, "-c", "import sys, talvex_testing; print(sorted("
                        "m for m in sys.modules if m.split('.')[0] in "
                        "('talvex', 'pytest', '_pytest')))"],
                       capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout, r.stderr) == (0, "[]\n", "")
