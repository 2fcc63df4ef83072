"""A timeout on the module's loop, set by the program's own alarm handler."""
import talvex_testing

TIMEOUT = """
import signal
import talvex_example_cython as primes

def on_alarm(signum, frame):
    raise TimeoutError("too slow")

signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.2)
primes.count_primes_between(0, 10**15)   # a region without the interpreter lock
"""


def test_the_alarm_handler_ends_the_region():
    outcome = talvex_testing.run(TIMEOUT)
    assert (outcome.exception, outcome.message, outcome.stderr) == ("TimeoutError", "too slow", "")
