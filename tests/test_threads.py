"""Threads, fork and cooperative scopes: forked children start idle, an
interrupt passed on to a thread that blocks it still reaches Python, a
recovery keeps the thread's signal mask, a hang-up a worker takes reaches
the main thread, and a hang-up is never lost to an interrupt just before it.

Each scenario runs in a fresh interpreter. Where the main thread waits, it
waits in tvthreads, whose functions run the pending Python-level handlers
themselves and return what they raised as a list of exception names: an
exception raised at an arbitrary bytecode could not be counted reliably."""
import collections
import json
import signal

import pytest

from conftest import run_py, run_signalled

PRELUDE = """\
import json, os, signal, sys, threading, time, warnings
import talvex, tvthreads as t, tvclient_c as c
from scenario import outcome
warnings.filterwarnings("ignore", category=DeprecationWarning)   # fork with threads
"""


def run(code, timeout=60, **kw):
    """Run PRELUDE + code; it must exit 0 with nothing on stderr. Returns
    the lines of its standard output."""
    r = run_py(PRELUDE + code, timeout=timeout, **kw)
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    return r.stdout.decode().splitlines()


# A worker serving tvthreads' mailbox 1: "open" a cooperative scope, "poll"
# it with talvex::check(), "close" it.
WORKER = """
def start_worker(translate=True, box=1):
    w = threading.Thread(target=t.worker_serve, args=(box, translate), daemon=True)
    w.start()
    assert t.wait_done(box, 10)[0]
    return w

def worker(command, box=1):
    done, events = t.command(box, command)
    assert done, command
    return events
"""


# ---------------------------------------------------------------------------
# fork: the child starts idle, except in a region its own thread forked from

# What a child does: show its record, then an alarm and a fault in regions of
# its own must end those regions, and the record is idle afterwards.
CHILD = """
def child_checks(first):
    signal.setitimer(signal.ITIMER_REAL, 0.02)
    alarm = outcome(c.busy_region, 5.0)
    fault = outcome(c.fault, "segv")
    os.write(1, ("child %s %s | %s | %s\\n" % (first, alarm, fault, c.state()[:4])).encode())
    os._exit(0)

def reap(pid):
    return "status %d" % os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
"""

CHILD_OK = ("talvex.signals.AlarmInterrupt() | "
            "talvex.signals.SignalError('Segmentation fault') | (0, 0, 0, 0)")

@pytest.mark.parametrize("scenario, expected", [
    # An interrupt waits for a worker's scope (it was sent to that thread)
    # when the main thread forks: the child, which has no such scope, must
    # not raise it; in the parent the worker's next check takes it.
    pytest.param(WORKER + """
w = start_worker()
worker("open")
print("waiting", t.send(signal.SIGINT, w.ident), c.state()[:2])
pid = os.fork()
if pid == 0:
    child_checks(c.state()[:4])
print(reap(pid))
print("parent", worker("poll"), t.take_events(1), c.state()[:2])
""", ["waiting [] (0, 0)",
      "child (0, 0, 0, 0) " + CHILD_OK,
      "status 0",
      "parent [] ['KeyboardInterrupt'] (0, 0)"], id="worker-scope-interrupt-waiting"),
    # A worker forks while the main thread is inside a region: the child has
    # no such region, and its own regions work.
    pytest.param("""
out = []
def forker():
    while not t.in_region():
        time.sleep(0.001)
    pid = os.fork()
    if pid == 0:
        child_checks(c.state()[:4])
    out.append(reap(pid))
    t.release_region()
f = threading.Thread(target=forker)
f.start()
events = t.hold_region(30.0)
f.join()
print(out[0])
print("parent", events, c.state()[:2])
""", ["child (0, 0, 0, 0) " + CHILD_OK,
      "status 0",
      "parent [] (0, 0)"], id="worker-main-in-region"),
    # The region's own thread forks inside it: the child's copy of the
    # region still ends by an alarm or a fault, and the child goes on.
    pytest.param("""
for kind in ("alarm", "segv"):
    try:
        pid = t.fork_in_region(kind)
    except BaseException as e:
        child_checks("%s %r" % (kind, e))
    print(reap(pid))
print("parent", c.state()[:2])
""", ["child alarm AlarmInterrupt() " + CHILD_OK,
      "status 0",
      "child segv SignalError('Segmentation fault') " + CHILD_OK,
      "status 0",
      "parent (0, 0)"], id="inside-region"),
])
def test_forked_child_starts_idle(scenario, expected):
    assert run(CHILD + scenario) == expected


# ---------------------------------------------------------------------------
# A region's thread that blocks SIGINT: Ctrl-C reaches the main thread

@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGALRM, signal.SIGHUP],
                         ids=["SIGINT", "SIGALRM", "SIGHUP"])
def test_interrupt_for_a_region_whose_thread_blocks_it_reaches_the_main_thread(sig):
    # The worker blocks the signal, as workers commonly do with SIGINT so
    # that the main thread gets Ctrl-C, and runs a region without the
    # interpreter lock. The signal is sent twice to the process: each time
    # the main thread gets its exception, and the copy passed on to the
    # region's thread stays pending there while the region runs on. The
    # late copies that arrive when the worker unblocks it are dropped.
    out = run(f"""
result = {{}}
def work():
    signal.pthread_sigmask(signal.SIG_BLOCK, [{int(sig)}])
    result["region"] = t.hold_region(30.0)
    result["after"] = c.state()[:2]
    signal.pthread_sigmask(signal.SIG_UNBLOCK, [{int(sig)}])
    result["unblocked"] = c.state()[:2]
w = threading.Thread(target=work)
w.start()
while not t.in_region():
    t.idle(0.001)
for _ in range(2):
    print("main", t.send({int(sig)}) + t.idle(0.2), c.state()[:2])
t.release_region()
w.join()
print("worker", result["region"], result["after"], result["unblocked"])
print("later", t.idle(0.1))
""")
    exc = {signal.SIGINT: "KeyboardInterrupt", signal.SIGALRM: "AlarmInterrupt",
           signal.SIGHUP: "SystemExit"}[sig]
    assert out == [
        f"main ['{exc}'] (0, 0)",
        f"main ['{exc}'] (0, 0)",
        "worker [] (0, 0) (0, 0)",
        "later []",
    ]


# ---------------------------------------------------------------------------
# The signal mask after a recovery is the one the thread had when the signal
# struck

MASKS = """
def mask():
    return sorted(signal.pthread_sigmask(signal.SIG_BLOCK, []))

def ended(blocked, how):
    signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    before = mask()
    if how == "fault":
        r = outcome(c.fault, "segv")
    else:
        # SIGALRM to this very thread once its region runs
        me = threading.get_ident()
        def send():
            while not t.in_region():
                time.sleep(0.001)
            signal.pthread_kill(me, signal.SIGALRM)
        threading.Thread(target=send).start()
        r = t.hold_region(-1)
    return "%s %s" % (r, mask() == before)

def in_worker(*args):
    out = []
    w = threading.Thread(target=lambda: out.append(ended(*args)))
    w.start()
    w.join()
    return out[0]
"""

APP = [signal.SIGUSR1, signal.SIGTERM]   # blocked by the application after import
INTERRUPTS = [signal.SIGINT, signal.SIGALRM, signal.SIGHUP]


@pytest.mark.parametrize("thread, blocked, how, result", [
    ("main", APP, "fault", "talvex.signals.SignalError('Segmentation fault')"),
    ("main", APP, "alarm", "['AlarmInterrupt']"),
    ("worker", APP + INTERRUPTS, "fault", "talvex.signals.SignalError('Segmentation fault')"),
    ("worker", APP, "alarm", "['AlarmInterrupt']"),
], ids=["main-fault", "main-alarm", "worker-blocking-interrupts-fault", "worker-alarm"])
def test_recovery_keeps_the_threads_signal_mask(thread, blocked, how, result):
    call = "ended" if thread == "main" else "in_worker"
    out = run(MASKS + f"""
print({call}({[int(s) for s in blocked]}, {how!r}))
print(c.state()[:4])
""")
    assert out == [f"{result} True", "(0, 0, 0, 0)"]


# ---------------------------------------------------------------------------
# A signal sent to the process reaches every open scope and the main thread;
# one sent to a thread reaches that thread's scope

@pytest.mark.parametrize("sig, handler, translate, main_sees, worker_sees", [
    # As a binding's translator turns it into Python's exception.
    (signal.SIGHUP, False, True, ["SystemExit"], ["SystemExit"]),
    (signal.SIGINT, False, True, ["KeyboardInterrupt"], ["KeyboardInterrupt"]),
    # C++ code that handles talvex::interrupted itself (a native thread
    # pool that cannot raise anything in Python).
    (signal.SIGHUP, False, False, ["SystemExit"], [f"interrupted:{int(signal.SIGHUP)}"]),
    # A signal the program set a handler for is that handler's alone: the
    # worker's scope goes on, the handler runs once in the main thread.
    (signal.SIGHUP, True, True, [f"handler {int(signal.SIGHUP)}"], []),
], ids=["hangup", "interrupt", "hangup-untranslated", "hangup-program-handler"])
def test_signal_to_the_process_reaches_the_scopes_and_the_main_thread(sig, handler, translate,
                                                                      main_sees, worker_sees):
    setup = "signal.signal(signal.SIGHUP, lambda s, f: calls.append(s))" if handler else ""
    out = run(WORKER + f"""
calls = []
{setup}
start_worker({translate}, box=1)
start_worker({translate}, box=2)
worker("open", box=1)
worker("open", box=2)
main = t.send({int(sig)}) + t.idle(0.05)
print("main", main + ["handler %d" % s for s in calls], c.state()[:2])
for box in (1, 2):
    worker("poll", box=box)
    worker("poll", box=box)   # taken once
    print("worker", t.take_events(box))
print("after", t.idle(0.05), c.state()[:2])
""")
    assert out == [f"main {main_sees} (0, 0)",
                   f"worker {worker_sees}", f"worker {worker_sees}",
                   "after [] (0, 0)"]


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGHUP], ids=["SIGINT", "SIGHUP"])
def test_signal_to_a_thread_reaches_its_scope(sig):
    # pthread_kill() to one worker: its scope takes it, the other's goes
    # on; a hang-up ends the process's work, so the main thread gets it too.
    out = run(WORKER + f"""
w1 = start_worker(box=1)
start_worker(box=2)
worker("open", box=1)
worker("open", box=2)
main = t.send({int(sig)}, w1.ident) + t.idle(0.05)
for box in (1, 2):
    worker("poll", box=box)
print("main", main, "workers", t.take_events(1), t.take_events(2), c.state()[:2])
""")
    name = {signal.SIGINT: "KeyboardInterrupt", signal.SIGHUP: "SystemExit"}[sig]
    main = [name] if sig == signal.SIGHUP else []
    assert out == [f"main {main} workers ['{name}'] [] (0, 0)"]


@pytest.mark.parametrize("sig, after_fault", [
    (signal.SIGHUP, ["SystemExit"]),   # still owed: reaches Python after the fault's
    (signal.SIGINT, []),               # merges with the fault that ended the region
], ids=["SIGHUP", "SIGINT"])
def test_hangup_recorded_in_a_region_survives_its_recovery(sig, after_fault):
    # A shielded region records the signal, then a fault ends the region.
    out = run(f"print(t.shielded_fault({int(sig)}), c.state()[:4])")
    assert out == [f"{['SignalError'] + after_fault} (0, 0, 0, 0)"]


# ---------------------------------------------------------------------------
# The race: a hang-up right behind an interrupt is never lost

RACE = """
t.start_bystanders(2)   # threads where a signal to the process may land
mode, n, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = __import__("random").Random(seed)
gaps = [rng.randrange(0, 200_000) for _ in range(n)]
print(json.dumps(t.race(mode, signal.SIGINT, signal.SIGHUP, gaps)))
"""


@pytest.mark.parametrize("mode", ["python", "region", "sig_check", "cooperative"])
@pytest.mark.parametrize("pairs, timeout", [
    (300, 120),
    pytest.param(5000, 1200, marks=pytest.mark.stress),
], ids=["short", "stress"])
def test_hangup_right_behind_an_interrupt_is_never_lost(mode, pairs, timeout):
    # A native thread sends SIGINT, then SIGHUP 0-200 us later, to the
    # process, while the main thread works in `mode` and two other threads
    # can take either. Each pair must end in exactly one SystemExit; the
    # SIGINT in at most one KeyboardInterrupt (a hang-up recorded before the
    # interrupt was taken replaces it: that merge is allowed).
    out = run(RACE, args=(mode, str(pairs), "20261210"), timeout=timeout)
    rounds = json.loads(out[0])
    assert len(rounds) == pairs
    wrong = [(i, r) for i, r in enumerate(rounds)
             if sorted(collections.Counter(r).items()) not in (
                 [("SystemExit", 1)], [("KeyboardInterrupt", 1), ("SystemExit", 1)])]
    assert wrong == []


# ---------------------------------------------------------------------------
# An interrupt passed on to a region's thread that blocks it leaves nothing
# behind, however it is delivered

def test_interrupt_passed_on_to_a_blocking_region_leaves_nothing_behind():
    # Ctrl-C from another process while the worker's region blocks SIGINT:
    # the main thread takes it and passes a copy on, which stays pending in
    # the worker. The main thread (no signal check meanwhile) ends the region
    # once the interrupt is recorded, and only then looks: one
    # KeyboardInterrupt. The next Ctrl-C, outside any region, is one too.
    status, out, err = run_signalled(PRELUDE + """
def work():
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT])
    t.hold_region(60.0)
threading.Thread(target=work, daemon=True).start()
while not t.in_region():
    time.sleep(0.001)
print(t.release_when_recorded(60.0, "region"), c.state()[:2], flush=True)
def wait():
    print("region", flush=True)
    end = time.monotonic() + 60
    while time.monotonic() < end:
        time.sleep(0.001)
print(outcome(wait), c.state()[:2])
""", signal.SIGINT)
    assert (status, err) == (0, b""), err.decode(errors="replace")
    assert out == ["region", "(True, ['KeyboardInterrupt']) (0, 0)",
                   "region", "builtins.KeyboardInterrupt() (0, 0)"]


# ---------------------------------------------------------------------------
# A worker's first region gives it an alternate signal stack

def test_a_stack_overflow_in_a_workers_region_is_its_exception():
    # Without a stack of its own the handler could not run on the exhausted
    # stack, and the process would die.
    out = run("""
seen = []
w = threading.Thread(target=lambda: seen.extend(outcome(c.recurse) for _ in range(3)))
w.start()
w.join()
print(seen, c.state()[:4])
""")
    assert out == ["%s (0, 0, 0, 0)" % (["talvex.signals.SignalError('Segmentation fault')"] * 3)]


# ---------------------------------------------------------------------------
# A client's first region may run in any thread

@pytest.mark.parametrize("nogil", [False, True], ids=["lock-held", "lock-released"])
def test_first_region_in_a_worker_thread(nogil):
    # tvclient_lazy never calls talvex_import(): its first region, in a
    # worker, imports talvex there. The main thread completes the set-up
    # that only it may do (Python's table of handlers) at its next check.
    # Ctrl-C ends the worker's region and reaches the main thread, waiting
    # in join(), as without talvex.
    status, out, err = run_signalled(f"""
import signal, sys, threading, time
import tvclient_lazy as lazy
from scenario import outcome
box = []
w = threading.Thread(target=lambda: box.append(outcome(lazy.spin, 60.0, {nogil}, True)))
def start_and_join():
    w.start()
    w.join()
main = outcome(start_and_join)
# A join() that KeyboardInterrupt cut short may count the thread as ended
# on CPython 3.12 (it releases the running thread's lock): wait for its result.
while not box:
    time.sleep(0.001)
print(box[0], main, "talvex" in sys.modules, "talvex.signals" in sys.modules)
print(signal.getsignal(signal.SIGINT) is signal.default_int_handler)
signal.setitimer(signal.ITIMER_REAL, 0.01)
print(outcome(lambda: [time.sleep(0.01) for _ in range(6000)]))
print(outcome(lazy.spin, 60.0, False, True))
""", signal.SIGINT)
    assert (status, err) == (0, b""), err.decode(errors="replace")
    assert out == ["region", "builtins.KeyboardInterrupt() builtins.KeyboardInterrupt() True True",
                   "True",
                   "talvex.signals.AlarmInterrupt()", "region", "builtins.KeyboardInterrupt()"]


# ---------------------------------------------------------------------------
# A module that uses the exported record by hand (its fields and the entry
# points, not the header's macros) has one record for the process. A region
# it opens in a thread other than the main one still takes that thread's
# own faults and signals: the resume point lies on that thread's stack.

def test_a_region_opened_by_hand_in_a_worker_takes_its_threads_signals():
    out = run("""
results = []
def work():
    for kind in ("segv", str(int(signal.SIGINT)), "fpe"):
        sig, at_landing, after = c.landing_masks(kind)
        results.append("%s %s" % (signal.Signals(sig).name, after == sorted(
            signal.pthread_sigmask(signal.SIG_BLOCK, []))))
w = threading.Thread(target=work)
w.start()
w.join()
print(results, c.state()[:4])
print(outcome(c.fault, "segv"), c.state()[:4])
""")
    assert out == ["['SIGSEGV True', 'SIGINT True', 'SIGFPE True'] (0, 0, 0, 0)",
                   "talvex.signals.SignalError('Segmentation fault') (0, 0, 0, 0)"]


# ---------------------------------------------------------------------------
# A worker that polls outside any region or scope (sig_check(), or
# talvex::check() without a cooperative scope) with the lock released takes
# no interrupt sent to the process: the main thread takes it. The first such
# poll that comes after one says so, once, with a RuntimeWarning that names
# the module and the fix.

@pytest.mark.parametrize("kind", ["sig_check", "check"])
def test_workers_polling_outside_regions_and_scopes_are_warned_once(kind):
    status, out, err = run_signalled(f"""
import time, warnings
from concurrent.futures import ThreadPoolExecutor
import talvex, tvroute
from scenario import outcome
warnings.simplefilter("always")   # each warning shows, not only the first of a place
shown = []
warnings.showwarning = lambda message, category, *rest: shown.append(
    "%s: %s" % (category.__name__, message))
pool = ThreadPoolExecutor(max_workers=4)
futures = [pool.submit(tvroute.poll_loop, {kind!r}) for _ in range(4)]
def wait_for_the_pool():
    # Ctrl-C comes once the four workers poll, while this waits for them.
    while tvroute.polling() < 4:
        time.sleep(0.001)
    print("open", flush=True)
    return [f.result() for f in futures]
print(outcome(wait_for_the_pool), flush=True)
# A second Ctrl-C, once the first was warned about.
end = time.monotonic() + 60
while not shown and time.monotonic() < end:
    time.sleep(0.001)
def wait_again():
    print("open", flush=True)
    return [time.sleep(0.001) for _ in range(60000)]
print(outcome(wait_again), flush=True)
time.sleep(0.1)   # the workers poll on
tvroute.stop()
print([f.result() for f in futures])
print(shown)
""", signal.SIGINT, marker=b"open")
    assert (status, err) == (0, b""), err.decode(errors="replace")
    assert out == ["open", "builtins.KeyboardInterrupt()", "open", "builtins.KeyboardInterrupt()",
                   "['stopped', 'stopped', 'stopped', 'stopped']",
                   repr(["RuntimeWarning: talvex: %s in a thread other than the main one, "
                         "outside a protected region and a cooperative scope, takes no "
                         "interrupt sent to the process (module tvroute): put the thread's "
                         "loop inside sig_on() ... sig_off(), or poll with talvex::check() "
                         "inside a talvex::cooperative scope"
                         % ("sig_check()" if kind == "sig_check" else "talvex::check()")])]
