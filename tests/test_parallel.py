"""Regions in several threads at once: real thread pools (dask's threaded
scheduler, concurrent.futures, joblib's threading backend) running the
regions of a Cython and a pybind11 client with the interpreter lock
released, stopped by Ctrl-C at several moments; a table of thread counts,
lock held or released, and what ends the regions; and a storm of signals
into threads that open and close regions, checks and scopes at random.

The clients (tests/clients/tvpool_cy.pyx, tvpool_pb.cpp) are written as a
user would write them from the README; what their regions do is
tests/clients/tvpool.h. A region announces the scenario's moment itself,
from native code, with the line "open" (so many regions entered, so many
left), and the test sends its signal when it reads that line: no test
sleeps and hopes that the threads got somewhere."""
import json
import os
import re
import signal
import subprocess
import sys
import textwrap

import pytest

from conftest import ROOT, child_env, default_sigint, run_py

CLIENTS = ["tvpool_cy", "tvpool_pb"]
# Only turns a region that nothing ended into a failure.
HANG = 30


def run_marked(code, args, on_marker, timeout=120):
    """Run `code` in a fresh interpreter, in a process group of its own as a
    terminal's foreground job, with standard input a pipe that stays open;
    each time it writes the line "open", call on_marker(proc). Returns (exit
    status, the lines of its standard output after the markers, its
    standard error)."""
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=child_env(), cwd=str(ROOT / "tests"),
                            preexec_fn=default_sigint, process_group=0)
    lines = []
    try:
        for line in proc.stdout:
            if line == b"open\n":
                on_marker(proc)
            else:
                lines.append(line.decode(errors="replace"))
        err = proc.stderr.read()
        proc.wait(timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdin.close()
    return proc.returncode, lines, err


def ctrl_c(proc):
    """Ctrl-C as a terminal sends it: to the whole foreground process group."""
    os.killpg(proc.pid, signal.SIGINT)


PRELUDE = """\
import json, signal, sys, threading, time
import talvex
mod = __import__(sys.argv[1])
SPIN, SHORT, FAULT, QUICK = range(4)
HANG = %d
""" % HANG


# ---------------------------------------------------------------------------
# Thread pools stopped by Ctrl-C

POOL = PRELUDE + """
import atexit
framework, moment, n = sys.argv[2], sys.argv[3], int(sys.argv[4])
short = n // 2
outcomes = []

def region(role):
    try:
        mod.region(role)
    except BaseException as e:
        outcomes.append([type(e).__name__, mod.record()])
        raise
    outcomes.append(["ok", mod.record()])

def task(i):
    if moment == "between" and i == 0:
        # The line comes once this thread has left its first region; it is
        # in Python code, between regions, until Ctrl-C ended the others.
        region(SHORT)
        end = time.monotonic() + HANG
        while mod.counts()["jumped"] < n - 1 and time.monotonic() < end:
            time.sleep(0.001)
        region(QUICK)
    else:
        region(SHORT if moment == "ended" and i < short else SPIN)

@atexit.register
def report():
    # After the interpreter joined its non-daemon threads; joblib's are
    # daemons, and would be left running native code if a region never ended.
    for t in threading.enumerate():
        if t is not threading.main_thread():
            t.join(HANG)
    print(json.dumps({"counts": mod.counts(), "outcomes": sorted(outcomes),
                      "threads": [t.name for t in threading.enumerate()
                                  if t is not threading.main_thread()]}), flush=True)

# "all": every region open; "ended": half of them left, their threads idle
# in the pool; "between": one thread left its region and runs Python code.
mod.configure(n, {"all": 0, "ended": short, "between": 1}[moment], hang=HANG)
if framework == "dask":
    import dask
    dask.compute(*[dask.delayed(task)(i) for i in range(n)], scheduler="threads", num_workers=n)
elif framework == "futures":
    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(n) as pool:
        list(pool.map(task, range(n)))
else:
    from joblib import Parallel, delayed
    Parallel(n_jobs=n, backend="threading")(delayed(task)(i) for i in range(n))
print("the pool was not interrupted", flush=True)
"""

# An uncaught KeyboardInterrupt: one traceback, nothing chained to it and
# nothing else on stderr (no warning, no "Exception ignored", no fatal
# error); CPython then ends the process by SIGINT, so that a shell sees the
# Ctrl-C. A frame interrupted at its function's entry shows its source from
# the def line on, blank lines included.
KEYBOARD_INTERRUPT_EXIT = re.compile(
    rb"Traceback \(most recent call last\):\n(  [^\n]*\n|\n)+KeyboardInterrupt\n\Z")

N = 4
IDLE = [0, 0]   # the thread's record after its region: no count, nothing pending


@pytest.mark.parametrize("client", CLIENTS)
@pytest.mark.parametrize("framework", ["dask", "futures", "joblib"])
@pytest.mark.parametrize("moment, jumped, left", [
    ("all", N, 0),
    ("ended", N - N // 2, N // 2),
    # The thread between regions runs its next region to the end: Ctrl-C
    # came before it.
    ("between", N - 1, 2),
], ids=["all-open", "some-ended", "one-between"])
def test_ctrl_c_stops_a_thread_pool(client, framework, moment, jumped, left):
    status, out, err = run_marked(POOL, (client, framework, moment, N), ctrl_c)
    assert status == -signal.SIGINT, err.decode(errors="replace")
    assert KEYBOARD_INTERRUPT_EXIT.match(err), err.decode(errors="replace")
    [line] = out
    assert json.loads(line) == {
        "counts": {"entered": jumped + left, "left": left, "jumped": jumped, "refused": 0,
                   "timed_out": 0, "done": 0},
        "outcomes": [["KeyboardInterrupt", IDLE]] * jumped + [["ok", IDLE]] * left,
        "threads": [],
    }


# ---------------------------------------------------------------------------
# The README's cooperative pybind11 loops in joblib's daemon threads, ended
# by Ctrl-C: the interpreter finalises while the interrupted loops unwind
# and take the lock back

DAEMONS = """
import sys, threading, time
from joblib import Parallel, delayed
module, call, running = sys.argv[1:4]
mod = __import__(module)
work = eval("lambda: mod." + call)
def announce():
    while getattr(mod, running)() < 4:
        time.sleep(0.001)
    print("open", flush=True)
threading.Thread(target=announce, daemon=True).start()
Parallel(n_jobs=4, backend="threading")(delayed(work)() for _ in range(4))
"""

# What std::terminate writes for each thread it ends.
TERMINATED = rb"(terminate called [^\n]*\n)*\Z"


@pytest.mark.parametrize("loop, terminates", [
    # The README's pattern: talvex::nogil takes the lock back, and a thread
    # that the finalising interpreter ends waits for the process's end.
    (("talvex_example_pybind", "hold(100)", "running"), False),
    # pybind11's own release: std::terminate in the ended threads, which is
    # no crash of the program.
    (("tvpool_pb", "hold_released()", "holding"), True),
], ids=["talvex-nogil", "gil-scoped-release"])
def test_ctrl_c_ends_cooperative_loops_in_daemon_threads_at_exit(loop, terminates):
    # Busy processes beside it, as on a loaded machine: the workers then
    # often take the lock back only once the interpreter finalises. Each run
    # must end as an uncaught KeyboardInterrupt does, by SIGINT, with its
    # traceback and what std::terminate wrote, if anything: no abort, no
    # crash report.
    busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(2)]
    try:
        ends = [run_marked(DAEMONS, loop, ctrl_c)[::2] for _ in range(10)]
    finally:
        for p in busy:
            p.kill()
            p.wait()
    end = KEYBOARD_INTERRUPT_EXIT.pattern[:-len(rb"\Z")]
    expected = re.compile(end + (TERMINATED if terminates else rb"\Z"))
    for status, err in ends:
        assert status == -signal.SIGINT, err.decode(errors="replace")
        assert expected.match(err), err.decode(errors="replace")


# ---------------------------------------------------------------------------
# The table: threads x lock x what ends the regions

TABLE = PRELUDE + """
n, release, kind = int(sys.argv[2]), sys.argv[3] == "released", sys.argv[4]
if sys.argv[5:] == ["queue-full"]:
    # No signal that needs the queue can be queued with its information:
    # what the kernel then delivers tells nothing of where it came from.
    import resource
    resource.setrlimit(resource.RLIMIT_SIGPENDING,
                       (0, resource.getrlimit(resource.RLIMIT_SIGPENDING)[1]))

class Claimed(Exception):
    pass

handled = []
if kind == "claimed":
    def handler(signum, frame):
        handled.append([signum, threading.current_thread().name])
        mod.stop()   # the workers' regions go on until told
        raise Claimed
    signal.signal(signal.SIGINT, handler)

outcomes = [None] * n

def task(i):
    mod.ready()
    try:
        mod.region(FAULT if kind == "fault" else SPIN, release)
        outcome = "ok"
    except BaseException as e:
        outcome = type(e).__name__
    outcomes[i] = [outcome, mod.record()]
    mod.task_done()

# With the lock released, the moment is all n regions open; with it held,
# the first region, which keeps the others from starting. The regions still
# open after a fault, or, with the lock held, still to come, then end by
# themselves.
mod.configure(n if release else 1, alarm=kind == "alarm",
              stop_on_failure=kind == "fault" or not release, hang=HANG)
threads = [threading.Thread(target=task, args=(i,)) for i in range(n)]
for t in threads:
    t.start()
main = mod.wait(n, 0 if kind == "fault" else 1)
for t in threads:
    t.join()
print(json.dumps({"main": main + mod.wait(n), "workers": sorted(outcomes), "handled": handled,
                  "counts": mod.counts()}))
"""


def send_for(kind, release):
    def send(proc):
        if kind in ("ctrl-c", "claimed"):
            ctrl_c(proc)
        if kind == "claimed" and not release:
            # The region holds the lock, so the handler can run only once it
            # ended, and a claimed signal does not end it: the test does.
            proc.stdin.write(b"stop\n")
            proc.stdin.flush()
    return send


@pytest.mark.parametrize("client", CLIENTS)
@pytest.mark.parametrize("n", [2, 4, 8])
@pytest.mark.parametrize("release", [True, False], ids=["lock-released", "lock-held"])
@pytest.mark.parametrize("kind", ["fault", "ctrl-c", "alarm", "claimed"])
def test_regions_in_threads(client, n, release, kind):
    check_regions_in_threads(client, n, release, kind, ())


# One Ctrl-C, one exception in each thread, also when RLIMIT_SIGPENDING is
# exhausted: the copies of the signal that talvex passes on to the threads'
# regions then lose their mark on the way.
@pytest.mark.parametrize("kind", ["ctrl-c", "alarm"])
def test_regions_in_threads_with_the_signal_queue_full(kind):
    check_regions_in_threads("tvpool_pb", 4, True, kind, ("queue-full",))


def check_regions_in_threads(client, n, release, kind, queue):
    status, out, err = run_marked(TABLE, (client, n, "released" if release else "held", kind,
                                          *queue), send_for(kind, release))
    assert (status, err) == (0, b""), err.decode(errors="replace")
    [line] = out
    result = json.loads(line)
    exc = {"fault": "SignalError", "ctrl-c": "KeyboardInterrupt", "alarm": "AlarmInterrupt",
           "claimed": None}[kind]
    # A fault ends its own region only. With the lock released, Ctrl-C and
    # an alarm end every open region; with it held they end the one region
    # that runs, and the others run afterwards. A claimed signal ends none.
    ended = 0 if exc is None else 1 if kind == "fault" or not release else n
    assert result["workers"] == sorted([[exc, IDLE]] * ended + [["ok", IDLE]] * (n - ended))
    # The main thread gets Ctrl-C and the alarm as without talvex, once; a
    # claimed signal is its handler's, which runs once, in the main thread.
    assert result["main"] == {"fault": [], "ctrl-c": ["KeyboardInterrupt"],
                              "alarm": ["AlarmInterrupt"], "claimed": ["Claimed"]}[kind]
    assert result["handled"] == ([[int(signal.SIGINT), "MainThread"]] if kind == "claimed" else [])
    assert result["counts"] == {"entered": n, "left": n - ended, "jumped": ended, "refused": 0,
                                "timed_out": 0, "done": n}


# ---------------------------------------------------------------------------
# The storm

STORM = """
import json, sys, threading, warnings
import talvex, tvthreads as t
# The workers' sig_check() loops run outside regions and scopes on purpose:
# talvex's warning about them is expected.
warnings.filterwarnings("ignore", "talvex: sig_check", RuntimeWarning)
total, bursts, seed = map(int, sys.argv[1:4])
workers = [threading.Thread(target=t.storm_thread, args=(i, seed + i)) for i in range(1, 4)]
for w in workers:
    w.start()
t.storm_start(total, bursts, seed)
t.storm_thread(0, seed)
for w in workers:
    w.join()
print(json.dumps(t.storm_report()))
"""


@pytest.mark.parametrize("total, bursts, timeout", [
    (10_000, 5, 120),
    pytest.param(200_000, 20, 1200, marks=pytest.mark.stress),
], ids=["short", "stress"])
def test_signal_storm_into_threads(total, bursts, timeout):
    # A native thread of the process sends SIGINT, SIGALRM and SIGHUP, to
    # the process or to one of four threads (the main one and three
    # workers), while each of them opens and closes regions (nested, the
    # lock held or released), polls with sig_check() or in a cooperative
    # scope, or (the main thread) runs Python's own check, at random. After
    # each burst the sender parks the threads until nothing is pending
    # anywhere and probes with one signal at a time, each of which must end
    # in exactly one exception in each thread the rules name and none
    # elsewhere; then, with no signal, nothing is raised at all.
    r = run_py(STORM, args=(str(total), str(bursts), "20261211"), timeout=timeout)
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    report = json.loads(r.stdout)
    assert report["failures"] == []
    assert report["probes"] == 4 * bursts
    threads = report["threads"]
    assert [(t["bad"], t["bad_text"]) for t in threads] == [(0, "")] * 4
    to_process = report["sent_process"]
    to_thread = [t["sent"] for t in threads]
    assert sum(to_process) + sum(map(sum, to_thread)) >= total
    for i, t in enumerate(threads):
        # By phase (the storm, then parked and probed), by the way it was
        # taken (a region, sig_check() or Python's check, a scope's check()),
        # by signal (SIGINT, SIGALRM, SIGHUP).
        c = t["caught"]
        storm = [c[0:3], c[3:6], c[6:9]]
        region, check, scope = ([a + b for a, b in zip(c[v:v + 3], c[9 + v:12 + v])]
                                for v in (0, 3, 6))
        # No exception without a signal that may reach this thread: any
        # signal may end up with the main thread; a worker's region ends by
        # what was sent to the process or to it; its scopes take those too,
        # and may take what waited for the main thread, once for each signal
        # sent to the process (and at the thread's first check); its
        # sig_check() outside a region, without the lock, takes none.
        for s in range(3):
            if i == 0:
                assert region[s] + check[s] + scope[s] <= \
                    to_process[s] + sum(sent[s] for sent in to_thread), (i, s, t)
            else:
                assert region[s] <= to_process[s] + to_thread[i][s], (i, s, t)
        if i:
            assert sum(scope) + sum(check) <= sum(to_process) + sum(to_thread[i]) + 1, (i, t)
        # The storm reached every thread's regions and its checks or scopes.
        assert sum(storm[0]) > 0 and sum(storm[1]) + sum(storm[2]) > 0, (i, t)
