"""Regions on stacks that talvex did not set up: a worker's region, opened
by hand on the exported record by a client that knows only the record's
protocol (tests/clients/tvspec.c), that overflows its thread's stack; a
region of the main thread on a coroutine's stack (makecontext) or deeper
in the main stack than it reached when talvex was imported; and the
alternate signal stacks a thread brings along or gets from talvex."""
import signal

import pytest

from conftest import run_py, run_signalled

PRELUDE = """\
import os, resource, signal, sys, threading
import talvex, tvspec
from talvex import signals
from scenario import outcome
"""

SEGV = "talvex.signals.SignalError('Segmentation fault')"


def run(code, **kw):
    r = run_py(PRELUDE + code, **kw)
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    return r.stdout.decode().splitlines()


def test_a_stack_overflow_in_a_region_opened_by_hand_in_a_worker_is_its_exception():
    # The worker's stack pointer lies in the guard page below its stack when
    # the fault strikes, and the region's resume point on that stack. The
    # worker's alternate stack is the one a client without the header asks
    # for; the main thread is idle meanwhile.
    out = run("""
seen = []
def work():
    signals._setup_alt_stack()
    seen.extend(outcome(tvspec.region, "overflow", 0.0) for _ in range(3))
w = threading.Thread(target=work)
w.start()
w.join()
print(seen, tvspec.state())
print(outcome(tvspec.region, "segv", 0.0), tvspec.state())
""")
    assert out == ["%s (0, 0, 0, 0)" % ([SEGV] * 3), SEGV + " (0, 0, 0, 0)"]


# The main thread's region, somewhere the stack known at import does not
# reach: on a coroutine's own stack, or below that stack's end once the
# program raised RLIMIT_STACK (lowered here before talvex is imported, so
# that the region lies well below what was learnt then).
WHERE = {
    "coroutine": "tvspec.on_coroutine(%r, %s)",
    "deeper": "tvspec.deep(%r, %s, 16384)",
}
RAISE_LIMIT = """
import resource
soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
resource.setrlimit(resource.RLIMIT_STACK, (8 << 20, hard))
import talvex
resource.setrlimit(resource.RLIMIT_STACK, (64 << 20, hard))
"""


@pytest.mark.parametrize("where", list(WHERE))
def test_ctrl_c_and_a_fault_end_a_main_thread_region_on_another_stack(where):
    call = WHERE[where]
    status, out, err = run_signalled(RAISE_LIMIT + PRELUDE + f"""
sys.stdout.flush()
print(outcome(lambda: {call % ("spin", 30.0)}), tvspec.state(), flush=True)
print(outcome(lambda: {call % ("segv", 0.0)}), tvspec.state(), flush=True)
print(outcome(lambda: {call % ("spin", 0.0)}), tvspec.state(), flush=True)
""", signal.SIGINT)
    assert (status, err) == (0, b""), err.decode(errors="replace")
    assert out == ["region", "builtins.KeyboardInterrupt() (0, 0, 0, 0)",
                   SEGV + " (0, 0, 0, 0)", "ok None (0, 0, 0, 0)"]
