"""Who a signal belongs to. A signal the program set a Python handler for
is that handler's; a library's own fault handler, installed before or
after talvex, keeps working; a fatal signal sent by another process is
never taken for a fault; faulthandler's file gets the crash report too.
Each scenario runs in a fresh interpreter, and interrupts come from another
process."""
import os
import shlex
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from conftest import (ROOT, child_env, default_sigint, embed_env, link_like_this_interpreter,
                      python_config, run_py, run_signalled)
from test_coexistence import INTERRUPTS, OWN_EXCEPTION as OWN

# ---------------------------------------------------------------------------
# A signal the program claimed: its handler runs in the main thread, once;
# a region in a worker goes on; a region in the main thread ends with what
# the handler raises.
# ---------------------------------------------------------------------------

HANDLER_KINDS = {
    "none": "",
    "default_int_handler": "signal.signal(SIG, signal.default_int_handler)",
    "callable": "signal.signal(SIG, handler)",
    "SIG_IGN": "signal.signal(SIG, signal.SIG_IGN)",
    # Installed by hand, talvex's own Python-level handler is no claim.
    "python_check_interrupt": "signal.signal(SIG, talvex.signals.python_check_interrupt)",
}

CLAIM = """\
import signal, threading, time
import talvex, tvclient_lazy as lazy, tvthreads as tv
from scenario import outcome

SIG = signal.{sig}
calls = []

class Claimed(Exception):
    pass

def handler(signum, frame):
    calls.append("main" if threading.current_thread() is threading.main_thread() else "worker")
    tv.release_region()
    raise Claimed(signal.Signals(signum).name)

{setup}
if "{where}" == "main":
    region = outcome(lazy.spin, {seconds}, False, True)   # prints "region" once open
    after = outcome(time.sleep, 0.05)
else:
    box = []
    def until_done(marker):
        print(marker, flush=True)
        while not box:
            time.sleep(0.001)
    threading.Thread(target=lambda: box.append(outcome(tv.hold_region, {seconds}))).start()
    while not tv.in_region():
        time.sleep(0.001)
    after = outcome(until_done, "region")   # the main thread's handler raises here
    until_done("done")
    region = box[0]
print(region)
print(after)
print(calls)
"""


def claim_expected(sig, kind, where):
    """(the region's outcome, the main thread's, the handler's calls)."""
    own = OWN[sig]
    if kind == "SIG_IGN":
        return ["ok None" if where == "main" else "ok []", "ok None", "[]"]
    if kind == "callable":
        claimed = "__main__.Claimed('%s')" % sig
        if where == "main":
            return [claimed, "ok None", "['main']"]
        return ["ok []", claimed, "['main']"]
    # Set explicitly, default_int_handler raises KeyboardInterrupt as it
    # always does, where Python code takes the signal.
    in_python = "builtins.KeyboardInterrupt()" if kind == "default_int_handler" else own
    if where == "main":
        return [in_python, "ok None", "[]"]
    # Sent to the process, it ends the worker's region, and reaches the main
    # thread as without talvex.
    worker = "ok ['%s']" % own.split("(")[0].split(".")[-1]
    return [worker, in_python, "[]"]


@pytest.mark.parametrize("where", ["main", "worker"])
@pytest.mark.parametrize("kind", list(HANDLER_KINDS))
@pytest.mark.parametrize("sig", INTERRUPTS)
def test_a_signal_the_program_claimed_is_its_handlers(sig, kind, where):
    # An ignored signal ends nothing: the region runs its (short) course.
    seconds = 0.5 if kind == "SIG_IGN" else 30.0
    code = CLAIM.format(sig=sig, setup=HANDLER_KINDS[kind], where=where, seconds=seconds)
    status, out, err = run_signalled(code, getattr(signal, sig))
    assert status == 0, err.decode(errors="replace")
    marks = ["region"] if where == "main" else ["region", "done"]
    assert out == marks + claim_expected(sig, kind, where)


# ---------------------------------------------------------------------------
# Fatal signals sent, not raised by a fault, reach the program's handler
# every time, however many come in a row.
# ---------------------------------------------------------------------------

SENDERS = {
    "os.kill": "os.kill(os.getpid(), SIG)",
    "raise_signal": "signal.raise_signal(SIG)",
    "pthread_kill": "signal.pthread_kill(threading.get_ident(), SIG)",
    "process": "subprocess.run(['kill', '-' + SIG.name[3:], str(os.getpid())], check=True)",
}


@pytest.mark.parametrize("times", [2, 5])
@pytest.mark.parametrize("sender", list(SENDERS))
@pytest.mark.parametrize("sig", ["SIGSEGV", "SIGBUS", "SIGILL", "SIGFPE"])
def test_sent_fatal_signals_reach_the_python_handler_every_time(sig, sender, times):
    r = run_py(f"""
        import os, signal, subprocess, threading, time
        import talvex
        SIG = signal.{sig}
        calls = []
        signal.signal(SIG, lambda s, f: calls.append(s))
        for i in range({times}):
            {SENDERS[sender]}
            end = time.monotonic() + 30
            while len(calls) <= i and time.monotonic() < end:
                time.sleep(0.001)
        print(len(calls), set(calls) == {{SIG}})
    """)
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    assert r.stdout.decode() == f"{times} True\n"


# ---------------------------------------------------------------------------
# A library's own SIGSEGV handler (a runtime with guard pages) keeps working
# in either import order: its faults are its own, a region's fault is still
# an exception, and a fault nobody recovers gets talvex's report.
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("order", ["before_import", "after_import"])
def test_a_library_fault_handler_keeps_working(order):
    r = run_py(f"""
        import tvguard
        if "{order}" == "before_import":
            tvguard.install()
        import talvex, tvclient_c as c
        from scenario import outcome
        if "{order}" == "after_import":
            tvguard.install()
        print(tvguard.touch(), tvguard.touch())
        print(outcome(c.fault, "segv"))
        print(tvguard.touch(), flush=True)
        c.fault("segv", False)
        print("survived")
    """, env={"TALVEX_CRASH_NDEBUG": "1"})
    err = r.stderr.decode(errors="replace")
    assert r.returncode == -signal.SIGSEGV, err
    assert r.stdout.decode().splitlines() == [
        "(42, 1) (42, 2)", "talvex.signals.SignalError('Segmentation fault')", "(42, 3)"]
    assert err.endswith("Unhandled SIGSEGV: A segmentation fault occurred.\n"
                        "This probably occurred because a *compiled* module has a bug\n"
                        "in it and is not properly wrapped with sig_on(), sig_off().\n"
                        "Python will now terminate.\n" + "-" * 72 + "\n"), err


SEP = "-" * 72 + "\n"
EXPLANATION = ("\nThis probably occurred because a *compiled* module has a bug\n"
               "in it and is not properly wrapped with sig_on(), sig_off().\n"
               "Python will now terminate.\n")
SEGV_REPORT = SEP + "Unhandled SIGSEGV: A segmentation fault occurred." + EXPLANATION + SEP


def test_a_library_handler_keeps_its_place_when_faulthandler_is_enabled_later():
    r = run_py("""
        import faulthandler, tvguard
        tvguard.install()
        import talvex, tvclient_c as c
        from scenario import outcome
        faulthandler.enable()
        print(tvguard.touch(), outcome(c.fault, "segv"))
        faulthandler.disable()
        print(tvguard.touch(), outcome(c.fault, "segv"))
        faulthandler.enable()
        print(tvguard.touch(), flush=True)
        c.fault("segv", False)
    """, env={"TALVEX_CRASH_NDEBUG": "1"})
    err = r.stderr.decode(errors="replace")
    assert r.returncode == -signal.SIGSEGV, err
    assert r.stdout.decode().splitlines() == [
        "(42, 1) talvex.signals.SignalError('Segmentation fault')",
        "(42, 2) talvex.signals.SignalError('Segmentation fault')", "(42, 3)"]
    # faulthandler's traceback follows the report.
    assert err.startswith(SEGV_REPORT + "Fatal Python error: Segmentation fault\n"), err


# A library's handler that hands a fault it does not own on by re-raising
# it (thread-directed or to the process), or whose handler itself faults:
# the report all the same, after the library's own faults were recovered.
@pytest.mark.parametrize("how, sig, message", [
    ("raise", signal.SIGSEGV, "Unhandled SIGSEGV: A segmentation fault occurred."),
    ("kill", signal.SIGSEGV, "Unhandled SIGSEGV: A segmentation fault occurred."),
    ("fpe", signal.SIGFPE, "Unhandled SIGFPE during signal handling."),
])
def test_a_library_that_hands_a_fault_on_still_gets_the_report(how, sig, message):
    r = run_py(f"""
        import tvguard
        tvguard.install({how!r})
        import talvex, tvclient_c as c
        print(tvguard.touch(), flush=True)
        c.fault("segv", False)
    """, env={"TALVEX_CRASH_NDEBUG": "1"})
    assert r.returncode == -sig, r.stderr.decode(errors="replace")
    assert r.stdout.decode() == "(42, 1)\n"
    assert r.stderr.decode() == SEP + message + EXPLANATION + SEP


# An embedding program linked with the static libpython: its own recovering
# fault handler lies in the same object as the interpreter, and is a
# library's all the same.
HOST = r"""
#include <Python.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static char *guard;
static size_t page;
static volatile sig_atomic_t recovered;

static void on_segv(int sig, siginfo_t *info, void *context)
{
    char *address = (char *)info->si_addr;
    (void)context;
    if (info->si_code > 0 && address >= guard && address < guard + page) {
        mprotect(guard, page, PROT_READ | PROT_WRITE);
        recovered++;
        return;
    }
    signal(sig, SIG_DFL);
}

static void touch(void)
{
    mprotect(guard, page, PROT_NONE);
    ((volatile char *)guard)[7] = 42;
    printf("recovered %d\n", (int)recovered);
    fflush(stdout);
}

int main(void)
{
    struct sigaction sa;
    page = (size_t)sysconf(_SC_PAGESIZE);
    guard = mmap(NULL, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &sa, NULL);
    Py_InitializeEx(0);
    if (PyRun_SimpleString("import talvex, tvclient_c") != 0)
        return 1;
    touch();
    PyRun_SimpleString("import faulthandler; faulthandler.enable()");
    touch();
    PyRun_SimpleString("tvclient_c.fault('segv', False)");
    return 0;
}
"""


@pytest.fixture(scope="module")
def static_host(tmp_path_factory):
    """The embedding program, built against the static libpython of the
    interpreter that runs the suite."""
    get = sysconfig.get_config_var
    config = python_config()
    cc = shutil.which("cc") or shutil.which("gcc")
    if not config.exists() or cc is None:
        pytest.skip(f"no C compiler or no {config.name} to find the static libpython")
    # The configuration directory and the headers where this installation
    # is (its config script relocates them), not where it was built.
    def ask(option):
        return subprocess.run([str(config), option], capture_output=True, text=True,
                              check=True).stdout.strip()
    archive = Path(ask("--configdir"), get("LIBRARY") or "")
    if not archive.name.endswith(".a") or not archive.is_file():
        pytest.skip("no static libpython")
    # CPython's own symbols that the archive needs but does not hold: a
    # distribution's archive without the objects its executable links
    # beside it (Debian's lacks the HACL* hashes) makes no program.
    def symbols(*options):
        out = subprocess.run(["nm", "--format=posix", *options, str(archive)],
                             capture_output=True, text=True, check=True).stdout
        return {line.split()[0] for line in out.splitlines()
                if not line.endswith(":") and len(line.split()) >= 2}
    missing = sorted(s for s in symbols("--undefined-only") - symbols("--defined-only")
                     if s.startswith(("Py", "_Py")))
    if missing:
        pytest.skip(f"{archive.name} lacks CPython's own {missing[0]} and {len(missing) - 1} more")
    directory = tmp_path_factory.mktemp("host")
    (directory / "host.c").write_text(HOST)
    # -no-pie: a distribution's archive may hold code that is not position
    # independent, as its own executable is linked.
    subprocess.run([cc, "-no-pie", "-o", str(directory / "host"), str(directory / "host.c"),
                    *shlex.split(ask("--includes")), str(archive),
                    *shlex.split(get("LIBS") or ""), *shlex.split(get("SYSLIBS") or ""),
                    *shlex.split(get("LINKFORSHARED") or ""), *link_like_this_interpreter()],
                   check=True)
    return directory / "host"


def test_an_embedding_programs_own_handler_is_a_librarys(static_host):
    env = embed_env(TALVEX_CRASH_NDEBUG="1")
    r = subprocess.run([str(static_host)], capture_output=True, env=env, timeout=60,
                       cwd=str(Path(__file__).parent))
    err = r.stderr.decode(errors="replace")
    assert r.returncode == -signal.SIGSEGV, err
    assert r.stdout.decode() == "recovered 1\nrecovered 2\n"
    assert err.startswith(SEGV_REPORT + "Fatal Python error: Segmentation fault\n"), err


# ---------------------------------------------------------------------------
# The crash report goes where faulthandler writes, as pytest arranges it
# (a duplicate of the real standard error while descriptor 2 is captured).
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("order, inspector", [("before_import", True),
                                             ("after_import", False)])
def test_crash_report_goes_to_faulthandlers_file(order, inspector, tmp_path):
    log = tmp_path / "faults.log"
    r = run_py(f"""
        import faulthandler, os
        log = open({str(log)!r}, "w")
        if "{order}" == "before_import":
            faulthandler.enable(file=log.fileno())
        import talvex, tvclient_c as c
        if "{order}" == "after_import":
            faulthandler.enable(file=log)
        def crash_here():
            c.fault("segv", False)
        crash_here()
    """, env={"TALVEX_CRASH_NDEBUG": None if inspector else "1"})
    assert r.returncode == -signal.SIGSEGV
    assert r.stderr == b""
    text = log.read_text()
    # The inspector's report goes there too.
    assert ("talvex crash inspector: process " in text) == inspector
    ours = text.index("Unhandled SIGSEGV: A segmentation fault occurred.")
    theirs = text.index("Fatal Python error: Segmentation fault")
    assert text.startswith("-" * 72 + "\n") and ours < theirs
    assert "in crash_here" in text[theirs:]


def test_crash_report_goes_to_standard_error_once_faulthandler_is_disabled(tmp_path):
    r = run_py(f"""
        import faulthandler
        import talvex, tvclient_c as c
        faulthandler.enable(file=open({str(tmp_path / "x.log")!r}, "w"))
        faulthandler.disable()
        c.fault("segv", False)
    """, env={"TALVEX_CRASH_NDEBUG": "1"})
    assert r.returncode == -signal.SIGSEGV
    assert (tmp_path / "x.log").read_text() == ""
    assert b"Unhandled SIGSEGV" in r.stderr


# ---------------------------------------------------------------------------
# _thread.interrupt_main() while the main thread blocks SIGINT: a thread
# collects signals with sigwait, as CPython documents.
# ---------------------------------------------------------------------------

def test_interrupt_main_while_the_main_thread_blocks_sigint():
    r = run_py("""
        import signal, threading, time, _thread
        import talvex, tvclient_c as c
        from scenario import outcome
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        def wait():
            for _ in range(500):
                time.sleep(0.01)
        threading.Timer(0.05, _thread.interrupt_main).start()
        print(outcome(wait))
        print(outcome(wait), c.state()[:2])
    """)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert r.stdout.decode().splitlines() == ["builtins.KeyboardInterrupt()",
                                              "ok None (0, 0)"]


# ---------------------------------------------------------------------------
# `_signal.signal` taken by value before talvex was imported replaces
# talvex's native handler; talvex takes it back at its next chance.
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("repair", ["signals.init_talvex()", "signal.getsignal(SIG)"])
def test_signal_function_taken_before_import_is_repaired(repair):
    code = f"""
        import signal
        from _signal import signal as captured
        import talvex, tvclient_lazy as lazy
        from talvex import signals
        from scenario import outcome
        SIG = signal.SIGINT
        class Claimed(Exception):
            pass
        def handler(s, f):
            raise Claimed
        captured(SIG, handler)
        {repair}
        print(signal.getsignal(SIG) is handler, flush=True)
        print(outcome(lazy.spin, 30.0, False, True))
        print(signal.getsignal(SIG) is handler)
    """
    status, out, err = run_signalled(code, signal.SIGINT)
    assert status == 0, err.decode(errors="replace")
    assert out == ["True", "region", "__main__.Claimed()", "True"]


# For a fatal signal the interpreter's native handler would only note a
# fault and return to the faulting instruction, for ever.
@pytest.mark.parametrize("sig, kind, raised", [
    ("SIGSEGV", "segv", "talvex.signals.SignalError('Segmentation fault')"),
    ("SIGFPE", "fpe", "builtins.FloatingPointError('Floating point exception')"),
    ("SIGILL", "ill", "talvex.signals.SignalError('Illegal instruction')"),
])
@pytest.mark.parametrize("repair", ["signals.init_talvex()", "signal.getsignal(SIG)"])
def test_fatal_signal_function_taken_before_import_is_repaired(sig, kind, raised, repair):
    r = run_py(f"""
        import os, signal
        from _signal import signal as captured
        import talvex, tvclient_c as c
        from talvex import signals
        from scenario import outcome
        SIG = signal.{sig}
        def handler(s, f):
            print("handler", s == SIG, flush=True)
        captured(SIG, handler)
        {repair}
        print(signal.getsignal(SIG) is handler, flush=True)
        print(outcome(c.fault, "{kind}"), flush=True)
        os.kill(os.getpid(), SIG)  # sent, not a fault: the program's handler
        print(outcome(c.fault, "{kind}"))
    """, timeout=30)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert r.stdout.decode().splitlines() == ["True", raised, "handler True", raised]


# ---------------------------------------------------------------------------
# The functions talvex wraps read as CPython's own.
# ---------------------------------------------------------------------------

def test_wrapped_functions_read_as_the_originals():
    r = run_py("""
        import _signal, _thread, faulthandler, inspect, signal
        def face(f):
            try:
                sig = str(inspect.signature(f))
            except ValueError:
                sig = None
            return sig, f.__doc__, f.__name__, f.__qualname__, f.__module__, f.__self__
        names = [(_signal, "signal"), (_signal, "getsignal"), (_thread, "interrupt_main"),
                 (faulthandler, "enable"), (faulthandler, "disable")]
        originals = [getattr(m, n) for m, n in names]
        before = [face(f) for f in originals]
        import talvex
        after = [face(getattr(m, n)) for m, n in names]
        print([getattr(m, n) is not o for (m, n), o in zip(names, originals)])
        print([b == a for b, a in zip(before, after)])
        print(str(inspect.signature(signal.signal)), str(inspect.signature(_signal.getsignal)))
    """)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert r.stdout.decode().splitlines() == [
        "[True, True, True, True, True]", "[True, True, True, True, True]",
        "(signalnum, handler) (signalnum, /)"]


# ---------------------------------------------------------------------------
# An embedding program that started the interpreter without its signal
# handlers (Py_InitializeEx(0)) keeps its own disposition of SIGINT outside
# regions; regions still end by it. SIGINT comes from another process.
# ---------------------------------------------------------------------------

EMBEDDED = """\
import os, sys, time
import talvex, tvclient_lazy as lazy
sys.path.insert(0, {tests!r})
from scenario import outcome
print(outcome(lazy.spin, 60.0, False, True), flush=True)   # "region" once open
def wait():
    print("region", flush=True)
    end = time.monotonic() + 60
    while time.monotonic() < end and not os.path.exists({release!r}):
        time.sleep(0.001)
print(outcome(wait), flush=True)
import signal
print(signal.getsignal(signal.SIGINT))
"""


@pytest.mark.parametrize("flags, status, outside, getsignal", [
    # The interpreter's own handlers: Ctrl-C is KeyboardInterrupt everywhere.
    ([], 0, ["builtins.KeyboardInterrupt()"], ["<built-in function default_int_handler>"]),
    # None: outside a region SIGINT does what it does without talvex, its
    # default action...
    (["--no-signals"], -signal.SIGINT, [], []),
    # ... or the program's own handler, after which the program goes on.
    (["--no-signals", "--own-sigint"], 0, ["host SIGINT", "ok None"], ["None"]),
], ids=["Py_Initialize()", "Py_InitializeEx(0)", "Py_InitializeEx(0)-own-handler"])
def test_an_embedding_program_keeps_its_own_sigint(embed_host, tmp_path, flags, status,
                                                   outside, getsignal):
    release = tmp_path / "release"   # made once the host's own handler has run

    def on_line(line, proc):
        if line == "region":
            os.kill(proc.pid, signal.SIGINT)
        elif line == "host SIGINT":
            release.touch()

    code, lines, err = run_host(embed_host, [
        *flags, EMBEDDED.format(release=str(release), tests=str(ROOT / "tests"))], on_line)
    assert (code, err) == (status, b""), err.decode(errors="replace")
    assert lines == ["region", "builtins.KeyboardInterrupt()", "region", *outside, *getsignal]


def run_host(embed_host, args, on_line, timeout=60):
    """Runs the embedding program with `args`; on_line(line, proc) for each
    line of its standard output. Returns (exit status, lines, stderr)."""
    proc = subprocess.Popen([str(embed_host), *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=str(ROOT / "tests"), env=embed_env(),
                            preexec_fn=default_sigint)
    lines = []
    try:
        for line in proc.stdout:
            lines.append(line.decode().rstrip("\n"))
            on_line(lines[-1], proc)
        err = proc.stderr.read()
        proc.wait(timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, lines, err


# The host's threads, not Python's, run regions: a Ctrl-C ends both, and the
# host's own disposition still applies to it, as without talvex: its
# handler runs, or the default action ends the host.
HOST_THREAD = """\
import sys
sys.path.insert(0, {tests!r})
import tvclient_lazy as lazy
from scenario import outcome
# One write a line: the two threads' lines never mix.
sys.stdout.write(outcome(lazy.spin, 60.0, True, True) + "\\n")   # "region" once open
sys.stdout.flush()
"""


@pytest.mark.parametrize("flags, status, host", [
    (["--no-signals"], -signal.SIGINT, []),
    (["--no-signals", "--own-sigint"], 0, ["host SIGINT"]),
], ids=["default-action", "own-handler"])
def test_regions_of_an_embedding_programs_threads_leave_it_its_sigint(embed_host, flags, status,
                                                                      host):
    opened = []

    def on_line(line, proc):
        if line == "region":
            opened.append(line)
            if len(opened) == 2:
                os.kill(proc.pid, signal.SIGINT)

    code, lines, err = run_host(
        embed_host, [*flags, "--threads", "2", HOST_THREAD.format(tests=str(ROOT / "tests")),
                     "import talvex"], on_line)
    assert (code, err) == (status, b""), err.decode(errors="replace")
    ended = ["builtins.KeyboardInterrupt()"] * 2 if status == 0 else []
    assert sorted(lines) == sorted(["region", "region", *host, *ended])


# The host replaces its SIGINT handler from C after talvex learnt it (by a
# handler of its own, or the default action), then calls init_talvex()
# again: outside regions a Ctrl-C does what the host's disposition now says.
@pytest.mark.parametrize("change, status, lines", [
    ("--replace-sigint", 0, ["ready", "host SIGINT 2", "went on"]),
    ("--default-sigint", -signal.SIGINT, ["ready"]),
])
def test_init_talvex_learns_an_embedding_programs_new_disposition(embed_host, tmp_path, change,
                                                                  status, lines):
    release = tmp_path / "release"

    def on_line(line, proc):
        if line == "ready":
            os.kill(proc.pid, signal.SIGINT)
        elif line.startswith("host SIGINT"):
            release.touch()

    code, out, err = run_host(embed_host, [
        "--no-signals", "--own-sigint", change, "import talvex",
        textwrap.dedent(f"""\
            import os, time
            import talvex.signals
            talvex.signals.init_talvex()
            print("ready", flush=True)
            end = time.monotonic() + 60
            while time.monotonic() < end and not os.path.exists({str(release)!r}):
                time.sleep(0.001)
            print("went on", flush=True)
            """)], on_line)
    assert (code, err) == (status, b""), err.decode(errors="replace")
    assert out == lines
