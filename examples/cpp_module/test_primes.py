"""The module's interrupts and faults, each in a fresh interpreter
(talvex_run, the fixture of talvex's pytest plugin)."""
import signal

import pytest

LOOP = "import talvex_example_cpp as m; m.count_primes(10**15)"


@pytest.mark.parametrize("sig, exception", [
    (signal.SIGINT, "KeyboardInterrupt"),
    (signal.SIGALRM, "AlarmInterrupt"),
])
def test_a_signal_ends_the_loop(talvex_run, sig, exception):
    # Sent once the loop's region is open, as Ctrl-C from a terminal.
    outcome = talvex_run(LOOP, signal=sig)
    assert (outcome.exception, outcome.returncode, outcome.stderr) == (exception, 0, "")


def test_a_fault_in_the_region_is_an_exception(talvex_run):
    outcome = talvex_run("import talvex_example_cpp as m; m.read_address(0)")
    assert (outcome.exception, outcome.message) == ("SignalError", "read_address: bad address")
