"""A model of the records under threads: hypothesis drives random sequences
of classic regions in the main thread, sig_check() in the main thread and in
another, a cooperative scope in a worker (opened, polled with
talvex::check(), closed), init_talvex(), sig_on_reset() and SIGINT, SIGALRM
and SIGHUP sent to the process or to a chosen thread, and after each step
compares a fresh interpreter with a small model:

- no phantom region: the main thread's sig_on_count is what the model says
  (1 while its region is open, 0 otherwise; sig_on_reset() makes it 0 even
  then);
- nothing lost, nothing invented: a signal sent to the process ends the
  main thread's region or reaches its Python code, and also reaches the
  worker's open scope; one sent to the worker reaches its open scope (a
  hang-up the main thread as well), or else the main thread; another
  thread's sig_check() (called with the interpreter lock held) takes only
  an interrupt still waiting for the main thread, once; nothing appears without a signal. Signals merge only where
  a record merges them: one that arrives while an interrupt is still
  waiting replaces it, except that a waiting SIGHUP is never replaced.

One interpreter per example, driven through a pipe: its main thread serves
commands (it must be the one that opens regions and calls init_talvex), a
driver thread executes the steps, a worker thread holds the scope."""
import json
import os
import signal
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, precondition, rule, run_state_machine_as_test

from conftest import ROOT, child_env

SIGNALS = {int(signal.SIGINT): "KeyboardInterrupt", int(signal.SIGALRM): "AlarmInterrupt",
           int(signal.SIGHUP): "SystemExit"}
HUP = int(signal.SIGHUP)

CHILD = r"""
import json, os, signal, sys, threading, time, warnings
import talvex, tvthreads as t, tvclient_c as c
from talvex import signals

commands = os.fdopen(int(sys.argv[1]), "r")
INTERRUPTS = (1 << (signal.SIGINT - 1)) | (1 << (signal.SIGALRM - 1)) | (1 << (signal.SIGHUP - 1))
main_events = []
# sig_off() after sig_on_reset() warns. Python code that ran for the warning
# would run the pending handlers there, where the exception is lost (the
# warning is issued from native code that cannot pass it on): ignored, so
# that no Python code runs.
warnings.filterwarnings("ignore", "sig_off\\(\\) without sig_on\\(\\)", RuntimeWarning)

def kernel_quiet():
    # Nothing pending for the process or any of its threads.
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/status") as f:
                for line in f:
                    if line.startswith(("SigPnd:", "ShdPnd:")) and int(line.split()[1], 16) & INTERRUPTS:
                        return False
        except FileNotFoundError:
            pass
    return True

def serve_main():
    while True:
        cmd, events = t.park()
        main_events.extend(events)
        if cmd == "quit":
            return
        try:
            if cmd == "enter":
                main_events.extend(t.hold_region())
            elif cmd == "sig_check":
                main_events.extend(t.sig_check_events())
            elif cmd == "init":
                signals.init_talvex()
            elif cmd == "reset":
                signals.sig_on_reset()
        except BaseException as e:
            main_events.append("escaped " + type(e).__name__)

def drive():
    idents = {"main": threading.main_thread().ident, "driver": threading.get_ident(),
              "worker": worker.ident}
    driver_events = []
    worker_events = []
    def snapshot():
        worker_events.extend(t.take_events(1))
        return {"main": sorted(main_events), "worker": sorted(worker_events),
                "driver": sorted(driver_events), "state": list(c.state()[:2]),
                "region": t.in_region()}
    def main(cmd, or_region=False):
        t.post(0, cmd)
        assert t.wait_done(0, 10, or_region)[0], cmd
    main("sync")   # the main thread serves
    for line in commands:
        step, expected = json.loads(line)
        del main_events[:], driver_events[:], worker_events[:]
        kind, *args = step
        if kind == "enter":
            main("enter", True)
        elif kind == "leave":
            t.release_region()
            assert t.wait_done(0, 10)[0], "leave"
        elif kind in ("sig_check", "reset") and args[0] == "driver":
            if kind == "sig_check":
                driver_events.extend(t.sig_check_events())
            else:
                signals.sig_on_reset()
        elif kind in ("sig_check", "reset", "init"):
            main(kind)
        elif kind in ("open", "poll", "close"):
            assert t.command(1, kind)[0], kind
        elif kind == "signal":
            sig, target = args
            if target == "process":
                os.kill(os.getpid(), sig)
            else:
                signal.pthread_kill(idents[target], sig)
        # Settle: until what the model expects is seen (or 1 s), then a
        # little longer for anything it did not expect.
        deadline = time.monotonic() + 1.0
        while True:
            while not kernel_quiet() and time.monotonic() < deadline:
                time.sleep(0.001)
            if t.wait_done(0, 0)[0]:
                main("sync")   # the main thread runs its pending handlers
            snap = snapshot()
            if snap == expected or time.monotonic() > deadline:
                break
            time.sleep(0.002)
        time.sleep(0.01)
        if t.wait_done(0, 0)[0]:
            main("sync")
        print(json.dumps(snapshot()), flush=True)
    commands.close()
    t.release_region()
    t.post(1, "quit")
    t.post(0, "quit")

worker = threading.Thread(target=t.worker_serve, args=(1, True), daemon=True)
worker.start()
assert t.wait_done(1, 10)[0]
driver = threading.Thread(target=drive)
driver.start()
serve_main()
driver.join()
"""


class Model:
    """What the records and the threads should show. `region`: the main
    thread is inside its region; `count`: its sig_on_count; `pending`: the
    interrupt waiting for the main thread; `scope`: the worker's scope is
    open; `mark`: the interrupt waiting for that scope's check(); `serial`:
    signals sent to the process so far; the driver's sig_check() has a
    record once it first had to look (`driver_seen`: the serial it took
    last), the worker once it first opened its scope (`worker_seen`: the
    serial it took or was marked with last); the first check of the client
    module (in any thread) always looks, to register the module's word
    (`word`). After a signal sent to the process the next check in any
    thread looks too (`census`), until one finds nothing to take while
    nothing waits for the main thread."""

    def __init__(self):
        self.region = False
        self.count = 0
        self.pending = 0
        self.scope = False
        self.mark = 0
        self.serial = 0
        self.driver_seen = None
        self.worker_seen = None
        self.word = False
        self.census = False

    def step(self, kind, *args):
        ev = {"main": [], "worker": [], "driver": []}
        if kind == "enter":
            if self.pending:
                ev["main"].append(SIGNALS[self.take()])
            else:
                self.region, self.count = True, 1
        elif kind == "leave":
            self.region, self.count = False, 0
        elif kind == "sig_check" and args[0] == "driver":
            first, self.word = not self.word, True
            if self.pending or self.mark or first or self.census:
                fresh = self.driver_seen is None
                if fresh:
                    self.driver_seen = self.serial
                if self.pending and (fresh or self.driver_seen != self.serial):
                    ev["driver"].append(SIGNALS[self.pending])
                    self.driver_seen = self.serial
                else:
                    self.end_census()
        elif kind == "open":
            self.scope = True
            if self.worker_seen is None:
                self.worker_seen = self.serial
        elif kind == "sig_check":
            self.word = True
            self.end_census()
        elif kind == "poll":
            self.word = True
            if self.mark:
                ev["worker"].append(SIGNALS[self.mark])
                self.mark, self.scope = 0, False   # the scope unwinds
            elif self.pending and self.worker_seen != self.serial:
                # Sent to the process while no scope was open, and still
                # waiting for the main thread (busy in its region).
                ev["worker"].append(SIGNALS[self.pending])
                self.worker_seen, self.scope = self.serial, False
            else:
                self.end_census()
        elif kind == "close":
            self.scope, self.mark = False, 0
        elif kind == "init":
            self.count = self.pending = 0
        elif kind == "reset":
            self.count = 0
        elif kind == "signal":
            sig, target = args
            if target == "process":
                self.serial += 1
                self.census = True
                if self.scope:
                    self.mark_scope(sig)
                self.to_main(sig, ev)
            elif target == "worker" and self.scope:
                self.mark_scope(sig)
                if sig == HUP:   # a hang-up ends the process's work
                    self.to_main(sig, ev)
            else:
                self.to_main(sig, ev)
        # What the main thread raises at its next check, once out of any region.
        if not self.region and self.pending:
            ev["main"].append(SIGNALS[self.take()])
        return {"main": sorted(ev["main"]), "worker": sorted(ev["worker"]),
                "driver": sorted(ev["driver"]), "state": [self.count, self.pending],
                "region": self.region}

    def to_main(self, sig, ev):
        if self.count > 0:
            # Whichever thread takes it, it ends the main thread's region.
            ev["main"].append(SIGNALS[sig])
            self.region, self.count = False, 0
        elif self.pending != HUP:
            self.pending = sig

    def end_census(self):
        # A check that took nothing ends it, once nothing waits for the
        # main thread.
        if not self.pending:
            self.census = False

    def mark_scope(self, sig):
        self.worker_seen = self.serial
        if self.mark != HUP:
            self.mark = sig

    def take(self):
        sig, self.pending = self.pending, 0
        return sig


class Interpreter:
    def __init__(self):
        read, self.commands = os.pipe()
        self.proc = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(read)], pass_fds=[read], env=child_env(),
            cwd=str(ROOT / "tests"), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        os.close(read)
        self.to_child = os.fdopen(self.commands, "w")

    def step(self, step, expected):
        self.to_child.write(json.dumps([step, expected]) + "\n")
        self.to_child.flush()
        line = self.proc.stdout.readline()
        if not line:
            self.proc.wait(10)
            raise AssertionError("the interpreter ended: status %d\n%s" % (
                self.proc.returncode, self.proc.stderr.read().decode(errors="replace")))
        return json.loads(line)

    def close(self):
        self.to_child.close()
        try:
            self.proc.wait(30)
            err = self.proc.stderr.read()
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        assert (self.proc.returncode, err) == (0, b""), err.decode(errors="replace")


class Threads(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.model = Model()
        self.child = Interpreter()

    def run(self, *step):
        expected = self.model.step(*step)
        assert self.child.step(list(step), expected) == expected, step

    @precondition(lambda self: not self.model.region)
    @rule()
    def enter(self):
        self.run("enter")

    @precondition(lambda self: self.model.region)
    @rule()
    def leave(self):
        self.run("leave")

    @rule(thread=st.sampled_from(["main", "driver"]))
    def sig_check(self, thread):
        if thread == "main" and self.model.region:
            thread = "driver"   # the main thread is busy in its region
        self.run("sig_check", thread)

    @precondition(lambda self: not self.model.scope)
    @rule()
    def open(self):
        self.run("open")

    @precondition(lambda self: self.model.scope)
    @rule()
    def poll(self):
        self.run("poll")

    @precondition(lambda self: self.model.scope)
    @rule()
    def close(self):
        self.run("close")

    @precondition(lambda self: not self.model.region)
    @rule()
    def init_talvex(self):
        self.run("init")

    @rule(thread=st.sampled_from(["main", "driver"]))
    def sig_on_reset(self, thread):
        if thread == "main" and self.model.region:
            thread = "driver"
        self.run("reset", thread)

    @rule(sig=st.sampled_from(sorted(SIGNALS)),
          to=st.sampled_from(["process", "main", "worker", "driver"]))
    def send(self, sig, to):
        self.run("signal", sig, to)

    def teardown(self):
        self.child.close()


@pytest.mark.parametrize("examples, steps", [
    (12, 25),
    pytest.param(300, 40, marks=[pytest.mark.stress, pytest.mark.timeout(3600)]),
], ids=["short", "stress"])
def test_record_matches_the_model(examples, steps):
    run_state_machine_as_test(Threads, settings=settings(
        max_examples=examples, stateful_step_count=steps, deadline=None,
        suppress_health_check=[HealthCheck.too_slow], derandomize=examples < 100))
