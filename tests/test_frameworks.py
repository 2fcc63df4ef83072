"""Real frameworks from PyPI that set, save and restore their own signal
handlers, with talvex imported in the processes they run: a Jupyter kernel,
pytest-timeout's signal method, timeout-decorator (and the hand-written
alarm idiom it stands for), gunicorn's sync workers, the standard library's
asyncio, trio and anyio (Ctrl-C handling and signal receivers), uvicorn
serving a Starlette application, and pytest (plain and with pytest-xdist)
capturing the output of a test that crashes. Every framework runs in
processes of its own; the protected native loop is the test client's
busy_region(-1), which spins in a region until something ends it, or a
region of tvclient_lazy or tvthreads where a readiness line or a worker
thread is needed."""
import http.client
import os
import queue
import re
import signal
import socket
import subprocess
import sys
import textwrap
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from conftest import child_env, default_sigint, run_py, run_signalled

# Bounds that only turn a hang into a failure.
HANG = 60


def wait_for(predicate, what, timeout=HANG):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


# ---------------------------------------------------------------------------
# Jupyter: ipykernel ignores SIGINT between cells and sets
# default_int_handler around each one, then restores what it saved.
# ---------------------------------------------------------------------------

@pytest.fixture
def kernel(tmp_path):
    from jupyter_client import KernelManager
    km = KernelManager(kernel_name="python3")
    km.start_kernel(env=child_env(JUPYTER_RUNTIME_DIR=str(tmp_path), IPYTHONDIR=str(tmp_path)),
                    cwd=str(tmp_path))
    try:
        kc = km.client()
        kc.start_channels()
        try:
            kc.wait_for_ready(timeout=HANG)
            yield km, kc
        finally:
            kc.stop_channels()
    finally:
        km.shutdown_kernel(now=True)


def reply_to(kc, msg_id):
    end = time.monotonic() + HANG
    while True:
        try:
            reply = kc.get_shell_msg(timeout=max(0.1, end - time.monotonic()))
        except queue.Empty:
            raise AssertionError("the kernel never answered the cell") from None
        if reply["parent_header"].get("msg_id") == msg_id:
            return reply["content"]


def wait_idle(kc, msg_id):
    """Waits until the kernel is done with a request, its own handlers
    restored."""
    while True:
        try:
            msg = kc.iopub_channel.get_msg(timeout=HANG)
        except queue.Empty:
            raise AssertionError("the kernel never went idle") from None
        if (msg["parent_header"].get("msg_id") == msg_id and msg["msg_type"] == "status"
                and msg["content"]["execution_state"] == "idle"):
            return


def test_jupyter_kernel_interrupts_a_region_in_every_cell(kernel, tmp_path):
    km, kc = kernel
    entered = tmp_path / "entered"

    def cell(code, **kw):
        return reply_to(kc, kc.execute(code, stop_on_error=False, **kw))

    # IPython formats its first traceback slowly (it imports its formatting
    # machinery then); the bound below is for the interrupt, not for that.
    assert cell(f"ENTERED = {str(entered)!r}\nraise ValueError('warm-up')")["ename"] == "ValueError"

    loop = "open(ENTERED, 'w').close()\ntvclient_c.busy_region(-1)\n"
    outcomes, delays = [], []
    for code in ["import talvex, tvclient_c\n" + loop] + [loop] * 3:
        msg_id = kc.execute(code, stop_on_error=False)
        wait_for(entered.exists, "the cell to reach its loop")
        entered.unlink()
        time.sleep(0.1)
        start = time.monotonic()
        km.interrupt_kernel()
        reply = reply_to(kc, msg_id)
        delays.append(time.monotonic() - start)
        outcomes.append((reply["status"], reply.get("ename")))
    assert outcomes == [("error", "KeyboardInterrupt")] * 4
    assert max(delays) < 1.0, delays

    # Between cells the kernel ignores SIGINT, and so does talvex: an
    # interrupt then leaves nothing for the next region to raise.
    msg_id = kc.execute("pass")
    assert reply_to(kc, msg_id)["status"] == "ok"
    wait_idle(kc, msg_id)
    km.interrupt_kernel()
    time.sleep(0.2)

    # Still usable, and nothing left over in talvex's record.
    reply = cell("tvclient_c.busy_region(0.1)\nanswer = 6 * 7", user_expressions={
        "answer": "answer", "record": "tvclient_c.state()[:2]"})
    assert reply["status"] == "ok"
    values = {k: v["data"]["text/plain"] for k, v in reply["user_expressions"].items()}
    assert values == {"answer": "42", "record": "(0, 0)"}


@pytest.mark.parametrize("work, ready", [
    # A region without the interpreter lock (it returns the exception that
    # ended it), and a cooperative C++ loop.
    ("worker_saw.extend(tvthreads.hold_region(-1))", "tvthreads.in_region()"),
    ("talvex_example_pybind.hold(1)", "talvex_example_pybind.running()"),
], ids=["region", "cooperative"])
def test_jupyter_interrupt_reaches_a_cell_waiting_on_a_worker(kernel, tmp_path, work, ready):
    # The cell waits in join() for a worker whose native work the interrupt
    # ends; the cell itself is interrupted too, as without talvex.
    km, kc = kernel
    entered = tmp_path / "entered"
    msg_id = kc.execute(textwrap.dedent(f"""\
        import threading, time, talvex, tvthreads, talvex_example_pybind
        worker_saw = []
        def work():
            try:
                {work}
            except BaseException as e:
                worker_saw.append(type(e).__name__)
        w = threading.Thread(target=work)
        w.start()
        while not {ready}:
            time.sleep(0.001)
        open({str(entered)!r}, "w").close()
        w.join()
        """), stop_on_error=False)
    wait_for(entered.exists, "the worker to start its native work")
    km.interrupt_kernel()
    reply = reply_to(kc, msg_id)
    assert (reply["status"], reply.get("ename")) == ("error", "KeyboardInterrupt")
    # The worker's work ended with its own KeyboardInterrupt.
    reply = reply_to(kc, kc.execute(
        "while not worker_saw:\n    time.sleep(0.001)\nw.join()",
        user_expressions={"saw": "worker_saw"}))
    assert reply["status"] == "ok"
    assert reply["user_expressions"]["saw"]["data"]["text/plain"] == "['KeyboardInterrupt']"


@pytest.mark.parametrize("original", ["a file", "/dev/null"])
def test_jupyter_kernel_that_faults_outside_a_region_leaves_its_report(tmp_path, original):
    # ipykernel forwards descriptor 2 from a pipe that a thread of the
    # kernel itself reads: the report also goes to the standard error that
    # the kernel started with, or, where that keeps nothing, to a file in
    # the state directory. (ipykernel leaves descriptor 2 alone under
    # pytest, which its environment would tell it.)
    from jupyter_client import KernelManager
    from test_crash_report import full_report

    state = tmp_path / "state"
    stderr_path = tmp_path / "kernel-stderr" if original == "a file" else os.devnull
    km = KernelManager(kernel_name="python3")
    with open(stderr_path, "wb") as stderr:
        km.start_kernel(env=child_env(JUPYTER_RUNTIME_DIR=str(tmp_path),
                                      IPYTHONDIR=str(tmp_path), XDG_STATE_HOME=str(state),
                                      PYTEST_CURRENT_TEST=None, TALVEX_CRASH_QUIET=None,
                                      TALVEX_CRASH_NDEBUG=None),
                        cwd=str(tmp_path), stderr=stderr)
    try:
        kc = km.client()
        kc.start_channels()
        try:
            kc.wait_for_ready(timeout=HANG)
            reply = reply_to(kc, kc.execute("import os, stat, talvex, tvclient_c", user_expressions={
                "captured": "stat.S_ISFIFO(os.fstat(2).st_mode)", "pid": "os.getpid()"}))
            values = {k: v["data"]["text/plain"] for k, v in reply["user_expressions"].items()}
            assert values["captured"] == "True"
            kc.execute("tvclient_c.fault('segv', False)")
            status = km.provisioner.process.wait(timeout=HANG)
        finally:
            kc.stop_channels()
    finally:
        km.shutdown_kernel(now=True)
    pid = int(values["pid"])
    if original == "a file":
        written = Path(stderr_path).read_bytes()
        report = written[written.index(b"-" * 72):]
        assert list(state.glob("**/crash-*")) == []
    else:
        kept = list((state / "talvex").glob("crash-*-%d.txt" % pid))
        assert len(kept) == 1, list(state.glob("**/*"))
        report = kept[0].read_bytes()
    full_report(subprocess.CompletedProcess([], status, b"", report), pid)


# ---------------------------------------------------------------------------
# Alarm-based timeouts: pytest-timeout (signal method), timeout-decorator,
# and the hand-written idiom.
# ---------------------------------------------------------------------------

TIMED_TESTS = """\
import signal
import pytest
import talvex, tvclient_c
import talvex_example_pybind


@pytest.mark.timeout(1)
def test_stuck_in_region():
    tvclient_c.busy_region(-1)


# A cooperative loop in the main thread, without the interpreter lock: the
# plugin's own SIGALRM handler ends it, through talvex::check().
@pytest.mark.timeout(1)
def test_stuck_in_cooperative_loop():
    talvex_example_pybind.count_primes(10**15)


def test_alarm_after_the_timeout():
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    with pytest.raises(talvex.AlarmInterrupt):
        tvclient_c.busy_region(30)
"""


def test_pytest_timeout_signal_method_ends_a_region(tmp_path):
    (tmp_path / "test_timed.py").write_text(TIMED_TESTS)
    (tmp_path / "pytest.ini").write_text("[pytest]\n")
    r = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--timeout-method=signal",
         "--junitxml=report.xml", "test_timed.py"],
        cwd=tmp_path, env=child_env(PYTEST_ADDOPTS=None), capture_output=True, timeout=HANG)
    output = r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace")
    assert r.returncode == 1, output
    failures = {case.get("name"): [f.get("message") for f in case.findall("failure")]
                for case in ET.parse(tmp_path / "report.xml").iter("testcase")}
    assert failures.keys() == {"test_stuck_in_region", "test_stuck_in_cooperative_loop",
                               "test_alarm_after_the_timeout"}, output
    for stuck in ("test_stuck_in_region", "test_stuck_in_cooperative_loop"):
        [message] = failures[stuck]
        assert message.startswith("Failed: Timeout"), message
    assert failures["test_alarm_after_the_timeout"] == [], output
    assert "2 failed, 1 passed" in r.stdout.decode(), output


def test_timeout_decorator_and_the_alarm_idiom_end_a_region():
    r = run_py("""
        import signal
        import talvex, tvclient_c, timeout_decorator
        from scenario import outcome

        @timeout_decorator.timeout(0.5)
        def decorated():
            tvclient_c.busy_region(-1)

        def raise_timeout(signum, frame):
            raise TimeoutError("native call timed out")

        def idiom():
            old = signal.signal(signal.SIGALRM, raise_timeout)
            signal.alarm(1)
            try:
                tvclient_c.busy_region(-1)
            finally:
                signal.alarm(0)
                signal.signal(signal.SIGALRM, old)

        def plain_alarm():
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            tvclient_c.busy_region(30)

        for f in [decorated, plain_alarm, idiom, plain_alarm]:
            print(outcome(f))
        print(tvclient_c.state()[:2])
        """, timeout=HANG)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert r.stdout.decode().splitlines() == [
        "timeout_decorator.timeout_decorator.TimeoutError()",
        "talvex.signals.AlarmInterrupt()",
        "builtins.TimeoutError('native call timed out')",
        "talvex.signals.AlarmInterrupt()",
        "(0, 0)",
    ]
    assert r.stderr == b""


# ---------------------------------------------------------------------------
# asyncio (standard library): signal callbacks through the loop's wakeup fd,
# Ctrl-C during asyncio.run(), and regions inside coroutines.
# ---------------------------------------------------------------------------

def test_asyncio_signal_callbacks_ctrl_c_and_regions_in_coroutines():
    r = run_py("""
        import asyncio, os, signal
        import talvex, tvclient_c
        from scenario import outcome

        async def callbacks():
            loop = asyncio.get_running_loop()
            for sig in (signal.SIGALRM, signal.SIGHUP):
                fired = loop.create_future()
                loop.add_signal_handler(sig, fired.set_result, sig.name)
                loop.call_later(0.05, os.kill, os.getpid(), sig)
                # The callback wakes the loop at once, not after a long sleep.
                print(await asyncio.wait_for(fired, 20))
            # A region inside a coroutine is still ended by the signal; the
            # loop's own handler returns, so the region raises talvex's own.
            tvclient_c.signal_when(signal.SIGALRM, "sig_on_count")
            print(outcome(tvclient_c.busy_region, -1))
            loop.remove_signal_handler(signal.SIGALRM)
            # Ctrl-C that ends a region still reaches the loop's callback,
            # once: the interpreter writes its byte to the loop's wakeup
            # descriptor as it would without talvex.
            calls = []
            fired = loop.create_future()
            def on_sigint():
                calls.append("SIGINT")
                if not fired.done():
                    fired.set_result(None)
            loop.add_signal_handler(signal.SIGINT, on_sigint)
            tvclient_c.signal_when(signal.SIGINT, "sig_on_count")
            print(outcome(tvclient_c.busy_region, -1))
            await asyncio.wait_for(fired, 20)
            for _ in range(3):
                await asyncio.sleep(0)
            print(calls)
            loop.remove_signal_handler(signal.SIGINT)
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            print(outcome(tvclient_c.busy_region, -1))
            loop.remove_signal_handler(signal.SIGHUP)

        asyncio.run(callbacks())

        log = []
        async def interrupted():
            asyncio.get_running_loop().call_later(0.05, os.kill, os.getpid(), signal.SIGINT)
            try:
                await asyncio.sleep(20)
            finally:
                log.append("cleaned up")

        async def in_region():
            tvclient_c.signal_when(signal.SIGINT, "sig_on_count")
            tvclient_c.busy_region(-1)

        async def sigint_handler():
            return type(signal.getsignal(signal.SIGINT)).__name__

        # asyncio.run() finds default_int_handler in place and sets its own
        # SIGINT handler (cancel the main task first), with talvex beneath;
        # the same once the program sets default_int_handler itself.
        for default_int in (False, True):
            if default_int:
                signal.signal(signal.SIGINT, signal.default_int_handler)
            print(asyncio.run(sigint_handler()))
            for main in (interrupted, in_region):
                log.clear()
                print(outcome(asyncio.run, main()), log)
        print(tvclient_c.state()[:2])
        """, timeout=HANG)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert r.stdout.decode().splitlines() == [
        "SIGALRM", "SIGHUP",
        "talvex.signals.AlarmInterrupt()",
        "builtins.KeyboardInterrupt()",
        "['SIGINT']",
        "talvex.signals.AlarmInterrupt()",
        "partial",
        "builtins.KeyboardInterrupt() ['cleaned up']",
        "builtins.KeyboardInterrupt() []",
        "partial",
        "builtins.KeyboardInterrupt() ['cleaned up']",
        "builtins.KeyboardInterrupt() []",
        "(0, 0)",
    ]
    assert r.stderr == b""


# ---------------------------------------------------------------------------
# asyncio, trio and anyio set their own Ctrl-C handling when they find
# default_int_handler in place, as they do with talvex imported: a Ctrl-C
# while the main task awaits (or runs a region) runs its clean-up, then
# KeyboardInterrupt comes out of the run call. Signal receivers get a
# Ctrl-C while a worker thread runs a region, and the region goes on.
# ---------------------------------------------------------------------------

# Each runner: how to run main(), and how to call a function from the loop
# once the main task is suspended.
RUNNERS = {
    "asyncio": """
        import asyncio
        sleep = asyncio.sleep
        def run(main):
            return asyncio.run(main())
        def soon(f):
            asyncio.get_running_loop().call_soon(f)
    """,
    "trio": """
        import trio
        sleep, run = trio.sleep, trio.run
        def soon(f):
            trio.lowlevel.current_trio_token().run_sync_soon(f)
    """,
    "anyio-trio": """
        import anyio, functools, trio
        sleep, run = anyio.sleep, functools.partial(anyio.run, backend="trio")
        def soon(f):
            trio.lowlevel.current_trio_token().run_sync_soon(f)
    """,
    "anyio-asyncio": """
        import anyio, asyncio, functools
        sleep, run = anyio.sleep, functools.partial(anyio.run, backend="asyncio")
        def soon(f):
            asyncio.get_running_loop().call_soon(f)
    """,
}

CTRL_C = """\
import signal
import talvex, tvclient_c, tvclient_lazy as lazy
from scenario import outcome
{runner}

OUTER = signal.getsignal(signal.SIGINT)
log = []

class Resource:
    async def __aenter__(self):
        return self
    async def __aexit__(self, *exc):
        log.append("aexit")

async def main():
    # The framework's own SIGINT handler is in place while it runs.
    log.append(signal.getsignal(signal.SIGINT) is not OUTER)
    async with Resource():
        try:
            if "{where}" == "await":
                # The line the test answers with Ctrl-C, once main awaits.
                soon(lambda: print("region", flush=True))
                await sleep(60)
            else:
                lazy.spin(60.0, False, True)   # prints "region" once open
        finally:
            log.append("finally")

print(outcome(run, main), log)
# The framework put back what it found; talvex is still underneath.
print(signal.getsignal(signal.SIGINT) is signal.default_int_handler)
print(outcome(lazy.spin, 60.0, False, True))
print(tvclient_c.state()[:2])
"""


@pytest.mark.parametrize("where", ["await", "region"])
@pytest.mark.parametrize("runner", list(RUNNERS))
def test_ctrl_c_runs_the_main_tasks_clean_up_then_ends_the_run(runner, where):
    code = CTRL_C.format(runner=textwrap.dedent(RUNNERS[runner]), where=where)
    status, out, err = run_signalled(code, signal.SIGINT, timeout=HANG)
    assert status == 0, err.decode(errors="replace")
    assert out == [
        "region",
        "builtins.KeyboardInterrupt() [True, 'finally', 'aexit']",
        "True",
        "region", "builtins.KeyboardInterrupt()",
        "(0, 0)",
    ]
    assert err == b""


RECEIVER = """\
import functools, signal
import talvex, tvclient_c, tvthreads as tv
if "{framework}" == "trio":
    import trio as fw
    group, run = fw.open_nursery, fw.run
else:
    import anyio as fw
    group, run = fw.create_task_group, functools.partial(fw.run, backend="{backend}")

async def main():
    events = []
    async def work():
        # A region without the interpreter lock, until release_region().
        events.append(await fw.to_thread.run_sync(tv.hold_region, 60))
    with fw.fail_after(60), fw.open_signal_receiver(signal.SIGINT) as signals:
        async with group() as g:
            g.start_soon(work)
            while not tv.in_region():
                await fw.sleep(0.001)
            print("region", flush=True)
            async for signum in signals:
                # The region in the worker goes on.
                print(signal.Signals(signum).name, tv.in_region())
                break
            tv.release_region()
    print(events)

run(main)
print(signal.getsignal(signal.SIGINT) is signal.default_int_handler, tvclient_c.state()[:2])
"""


@pytest.mark.parametrize("framework, backend", [
    ("trio", None), ("anyio", "trio"), ("anyio", "asyncio")])
def test_signal_receiver_gets_ctrl_c_while_a_worker_thread_runs_a_region(framework, backend):
    code = RECEIVER.format(framework=framework, backend=backend)
    status, out, err = run_signalled(code, signal.SIGINT, timeout=HANG)
    assert status == 0, err.decode(errors="replace")
    # hold_region's events: nothing ended the region, no handler raised.
    assert out == ["region", "SIGINT True", "[[]]", "True (0, 0)"]
    assert err == b""


# ---------------------------------------------------------------------------
# gunicorn: the application imports talvex in each sync worker (or in the
# master, with --preload); the workers set SIGINT/SIGQUIT -> handle_quit
# (worker_int hook) and SIGABRT -> handle_abort (worker_abort hook).
# ---------------------------------------------------------------------------

MARKS = """\
import os


def mark(*words):
    line = " ".join(map(str, (os.getpid(), *words))) + "\\n"
    fd = os.open(os.environ["TV_MARKS"], os.O_WRONLY | os.O_APPEND | os.O_CREAT)
    os.write(fd, line.encode())
    os.close(fd)
"""

APP = """\
import talvex, tvclient_c
import talvex_example_pybind
from marks import mark


def application(environ, start_response):
    if environ["PATH_INFO"] == "/region":
        mark("stuck", "region")
        tvclient_c.busy_region(-1)
    elif environ["PATH_INFO"] == "/cooperative":
        # The README's pybind11 pattern: the lock released, a
        # talvex::cooperative scope polled with talvex::check().
        mark("stuck", "cooperative")
        talvex_example_pybind.hold(1)
    elif environ["PATH_INFO"] == "/python":
        mark("stuck", "python")
        while True:
            pass
    body = b"served"
    start_response("200 OK", [("Content-Type", "text/plain"),
                              ("Content-Length", str(len(body)))])
    return [body]
"""

# The hooks run in the workers; this file is read by the master, which
# must not import talvex unless --preload says so.
CONFIG = """\
from marks import mark

control_socket_disable = True


def post_worker_init(worker):
    mark("ready", worker.sockets[0].getsockname()[1])


def worker_int(worker):
    mark("worker_int")


def worker_abort(worker):
    mark("worker_abort")
"""

# What talvex's crash report leaves in the log, and what gunicorn logs for
# a worker killed by a signal that the worker's own handlers take.
CRASH_SIGNS = ["-" * 72, "talvex crash inspector", "Unhandled SIG", "Python will now terminate",
               "was sent SIGQUIT", "was sent SIGABRT", "was sent SIGINT"]


class Gunicorn:
    def __init__(self, directory, timeout, extra):
        for name, text in [("marks.py", MARKS), ("app.py", APP), ("conf.py", CONFIG)]:
            (directory / name).write_text(text)
        self.marks = directory / "marks"
        self.log_path = directory / "gunicorn.log"
        with open(self.log_path, "wb") as log:
            # A session of its own: Ctrl-C goes to the whole process group.
            self.proc = subprocess.Popen(
                [sys.executable, "-m", "gunicorn", "--config", "conf.py", "--workers", "2",
                 "--bind", "127.0.0.1:0", "--timeout", str(timeout), *extra, "app:application"],
                cwd=directory, env=child_env(TV_MARKS=str(self.marks)),
                stdout=subprocess.DEVNULL, stderr=log, start_new_session=True,
                preexec_fn=default_sigint)

    def marked(self, kind):
        """[pid, *arguments] of each mark of one kind, in order."""
        try:
            lines = self.marks.read_text().splitlines()
        except FileNotFoundError:
            return []
        return [[int(pid), *rest] for pid, k, *rest in map(str.split, lines) if k == kind]

    def pids(self, kind):
        return {pid for pid, *_ in self.marked(kind)}

    def log(self):
        return self.log_path.read_text(errors="replace")

    def wait_ready(self, count):
        """Waits for `count` workers to have started; returns the port."""
        try:
            ready = wait_for(lambda: len(self.marked("ready")) >= count and self.marked("ready"),
                             f"{count} workers to be ready")
        except AssertionError:
            raise AssertionError(self.log()) from None
        return int(ready[0][1])

    def request_stuck(self, port, where):
        """A request that spins for ever, in a region or in Python code;
        returns (socket, worker pid)."""
        client = socket.create_connection(("127.0.0.1", port), timeout=HANG)
        client.sendall(f"GET /{where} HTTP/1.0\r\n\r\n".encode())
        [pid] = wait_for(lambda: [pid for pid, w in self.marked("stuck") if w == where],
                         f"the request to reach its loop in {where}")
        return client, pid

    def ctrl_c(self):
        os.killpg(self.proc.pid, signal.SIGINT)

    def wait(self):
        return self.proc.wait(HANG)

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


@pytest.fixture
def gunicorn(tmp_path):
    servers = []

    def start(*extra, timeout=HANG):
        servers.append(Gunicorn(tmp_path, timeout, extra))
        return servers[-1]

    yield start
    for server in servers:
        server.kill()


def hang_up(client):
    """Reads what the server sends until it closes, then closes: gunicorn
    drains a connection before it closes it. Returns what it read."""
    received = b""
    try:
        while chunk := client.recv(4096):
            received += chunk
    except OSError:
        pass
    client.close()
    return received


PRELOAD = [pytest.param((), id="in-workers"),
           pytest.param(("--preload",), id="preload", marks=pytest.mark.stress)]


@pytest.mark.parametrize("extra", PRELOAD)
def test_gunicorn_ctrl_c_runs_worker_int_and_workers_exit_cleanly(gunicorn, extra):
    server = gunicorn(*extra)
    port = server.wait_ready(2)
    # One worker idle in its accept loop, the other inside a region.
    client, busy = server.request_stuck(port, "region")
    time.sleep(0.1)
    server.ctrl_c()
    hang_up(client)
    status = server.wait()
    log = server.log()
    assert status == 0, log
    workers = server.pids("ready")
    assert busy in workers and len(workers) == 2
    assert server.pids("worker_int") == workers, log
    assert server.marked("worker_abort") == []
    # Each worker exited with status 0: gunicorn logs any other ending. (Not
    # checked through worker_exit: when SIGINT and the master's SIGQUIT are
    # both pending, the second handler cuts that hook short, talvex or not.)
    signs = CRASH_SIGNS + ["was sent", "exited with code"]
    assert [sign for sign in signs if sign in log] == [], log


# A quick stop: Ctrl-C to the master alone, which sends SIGQUIT to each
# worker. The worker whose request runs in a region, or in a cooperative
# loop in the main thread, leaves it through its own handler (handle_quit:
# worker_int, then sys.exit(0)) instead of running on until the master's
# graceful timeout runs out and kills it.
@pytest.mark.parametrize("where", ["region", "cooperative"])
def test_gunicorn_quick_stop_ends_a_request_inside_a_region(gunicorn, where):
    server = gunicorn("--graceful-timeout", "5")
    port = server.wait_ready(2)
    client, busy = server.request_stuck(port, where)
    os.kill(server.proc.pid, signal.SIGINT)
    received = b""
    while chunk := client.recv(4096):
        received += chunk
    client.close()
    status = server.wait()
    log = server.log()
    assert status == 0, log
    # gunicorn answers a request that its handler's SystemExit ended with 500.
    assert received.startswith(b"HTTP/1.1 500 Internal Server Error\r\n"), log
    assert busy in server.pids("worker_int"), log
    signs = CRASH_SIGNS + ["was sent", "exited with code"]
    assert [sign for sign in signs if sign in log] == [], log


# One stuck worker at a time: gunicorn's master checks for timeouts at every
# wake-up, and a second worker's exit can bring its SIGKILL a few
# milliseconds after its SIGABRT, before any handler could run.
@pytest.mark.parametrize("where, extra", [
    pytest.param("region", (), id="region"),
    pytest.param("cooperative", (), id="cooperative"),
    pytest.param("python", (), id="python", marks=pytest.mark.stress),
    pytest.param("region", ("--preload",), id="region-preload", marks=pytest.mark.stress),
    pytest.param("python", ("--preload",), id="python-preload", marks=pytest.mark.stress),
])
def test_gunicorn_worker_timeout_runs_worker_abort_and_replaces_the_worker(
        gunicorn, where, extra):
    server = gunicorn(*extra, timeout=2)
    port = server.wait_ready(2)
    client, stuck = server.request_stuck(port, where)
    wait_for(lambda: server.marked("worker_abort"), "the worker to be aborted")
    # The handler's SystemExit ended the request: gunicorn answers it with
    # 500, as for a Python loop, instead of the worker dying without one.
    assert hang_up(client).startswith(b"HTTP/1.1 500 Internal Server Error\r\n"), server.log()
    server.wait_ready(3)

    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=HANG)
    connection.request("GET", "/")
    assert connection.getresponse().read() == b"served"
    connection.close()

    server.ctrl_c()
    status = server.wait()
    log = server.log()
    assert status == 0, log
    assert server.marked("worker_abort") == [[stuck]], log
    assert [sign for sign in CRASH_SIGNS if sign in log] == [], log


# ---------------------------------------------------------------------------
# uvicorn with a Starlette `def` endpoint, which Starlette runs in anyio's
# thread pool, or an `async def` one that hands its region to a thread with
# asyncio.to_thread(): the first Ctrl-C is uvicorn's (graceful shutdown),
# and the region that the in-flight request runs in a worker thread goes
# on. An `async def` endpoint that runs the region in the event loop's own
# thread, the main one, has it ended by the Ctrl-C: uvicorn's handler
# returns, so the region ends with KeyboardInterrupt, and that request gets
# 500 while the server still shuts down.
# ---------------------------------------------------------------------------

STARLETTE_APP = """\
import asyncio, os, threading, time
import talvex, tvthreads as tv
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse
from starlette.routing import Route


def watch():
    # Tells the test the region is open, then ends it when the test says.
    while not tv.in_region():
        time.sleep(0.001)
    open(os.environ["TV_OPENED"], "w").close()
    while not os.path.exists(os.environ["TV_RELEASE"]):
        time.sleep(0.001)
    tv.release_region()


def work(request):
    threading.Thread(target=watch, daemon=True).start()
    return PlainTextResponse(repr(tv.hold_region(60)))


async def work_in_a_thread(request):
    threading.Thread(target=watch, daemon=True).start()
    return PlainTextResponse(repr(await asyncio.to_thread(tv.hold_region, 60)))


async def work_in_the_loop(request):
    threading.Thread(target=watch, daemon=True).start()
    events = tv.hold_region(60)
    if events == ["KeyboardInterrupt"]:
        raise KeyboardInterrupt   # what the region's function raises
    return PlainTextResponse(repr(events))


app = Starlette(routes=[Route("/def", work), Route("/to_thread", work_in_a_thread),
                        Route("/async", work_in_the_loop)])
"""


@pytest.mark.parametrize("endpoint, status, served", [
    ("def", 200, True),
    ("to_thread", 200, True),
    ("async", 500, False),
])
def test_uvicorn_ctrl_c_shuts_down_gracefully_while_a_request_runs_a_region(
        tmp_path, endpoint, status, served):
    (tmp_path / "app.py").write_text(STARLETTE_APP)
    opened, release, log_path = tmp_path / "opened", tmp_path / "release", tmp_path / "uvicorn.log"
    with open(log_path, "wb") as log:
        # A session of its own: Ctrl-C goes to the whole process group.
        proc = subprocess.Popen(
            [sys.executable, "-m", "uvicorn", "app:app", "--host", "127.0.0.1", "--port", "0"],
            cwd=tmp_path, env=child_env(TV_OPENED=str(opened), TV_RELEASE=str(release)),
            stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
            preexec_fn=default_sigint)
    try:
        def until(predicate, what):
            try:
                return wait_for(predicate, what)
            except AssertionError as e:
                raise AssertionError(f"{e}\n{log_path.read_text(errors='replace')}") from None

        def logged(pattern):
            return re.search(pattern, log_path.read_text(errors="replace"), re.M)

        port = int(until(lambda: logged(r"Uvicorn running on http://127\.0\.0\.1:(\d+)"),
                         "uvicorn to listen").group(1))
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=HANG)
        connection.request("GET", "/" + endpoint)
        until(opened.exists, "the request's region to open")
        os.killpg(proc.pid, signal.SIGINT)
        until(lambda: logged(r"Shutting down$"), "the graceful shutdown to begin")
        release.touch()
        response = connection.getresponse()
        body = response.read()
        connection.close()
        exit_status = proc.wait(HANG)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    text = log_path.read_text(errors="replace")
    assert exit_status == 0, text
    assert "Finished server process" in text.splitlines()[-1], text
    assert response.status == status, text
    if served:
        # hold_region's events: nothing ended the region, no handler raised;
        # the request was served after the shutdown began, and nothing failed.
        assert body == b"[]"
        assert text.index("Shutting down") < text.index(f'"GET /{endpoint} HTTP/1.1" 200'), text
        assert [sign for sign in ["ERROR", "Traceback", "Exception"] if sign in text] == [], text
    else:
        assert f'"GET /{endpoint} HTTP/1.1" 500' in text, text
        assert text.count("\nKeyboardInterrupt\n") == 1, text


# ---------------------------------------------------------------------------
# pytest captures descriptor 2 during each test and enables faulthandler
# with a duplicate of the real standard error: a fault outside any region
# leaves talvex's crash report in the run's output, without -s.
# ---------------------------------------------------------------------------

FAULTING_TESTS = """\
import talvex, tvclient_c


def test_before():
    pass


def crash_in_helper():
    tvclient_c.fault("segv", False)


def test_faults_outside_a_region():
    crash_in_helper()


def test_after():
    pass
"""

SEGV = "Unhandled SIGSEGV: A segmentation fault occurred."


@pytest.mark.parametrize("extra", [
    pytest.param((), id="plain"),
    pytest.param(("-n", "2"), id="xdist", marks=pytest.mark.stress),
])
# The inspector reads the stacks with a debugger: slow on a busy machine.
@pytest.mark.timeout(5 * HANG)
def test_pytest_run_shows_the_crash_report_of_a_fault_outside_a_region(tmp_path, extra):
    (tmp_path / "test_faulting.py").write_text(FAULTING_TESTS)
    (tmp_path / "pytest.ini").write_text("[pytest]\n")
    r = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", *extra, "test_faulting.py"],
        cwd=tmp_path, capture_output=True, timeout=4 * HANG,
        env=child_env(PYTEST_ADDOPTS=None, TALVEX_CRASH_NDEBUG=None, TALVEX_CRASH_QUIET=None,
                      TALVEX_CSI_TIMEOUT=str(2 * HANG)))
    out, err = r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")
    if extra:
        assert r.returncode == 1, out + err
        assert re.search(r"worker 'gw\d' crashed while running "
                         r"'test_faulting.py::test_faults_outside_a_region'", out), out
        assert "1 failed, 2 passed" in out, out
    else:
        assert r.returncode == -signal.SIGSEGV, out + err
    # The report: a separator, the inspector's output, a separator, then
    # talvex's message; faulthandler's traceback follows it.
    sep = "-" * 72
    lines = err.splitlines()
    assert lines.count(SEGV) == 1, err
    message = lines.index(SEGV)
    assert lines[message - 1] == sep and sep in lines[:message - 1], err
    report = lines[lines.index(sep):message - 1]
    # The faulting test's Python stack, read by the inspector.
    for function in ["crash_in_helper", "test_faults_outside_a_region"]:
        assert [line for line in report if "test_faulting.py" in line and function in line], err
    assert err.index(SEGV) < err.index("Fatal Python error: Segmentation fault"), err
