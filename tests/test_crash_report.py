"""The whole crash report, talvex's handler and the real inspector with its
stack readers, for faults outside any region in fresh interpreters: what the
header says about the fault, faults in the places where a report is hardest
to give, and the crash path's own hazards (a corrupted heap, signals
arriving while the report is written, no inspector on PATH)."""
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from conftest import CLIENTS, child_env, default_sigint, embed_env, running_libpython
from test_crash import EXPLANATION, LEAK, SEGV_MESSAGE, SEP, idle_threads
from test_csi import (CSI, assert_python_calls_in_order, bare_csi, bare_python,  # noqa: F401
                      problem_lines, thread_sections)

ABRT_MESSAGE = b"Unhandled SIGABRT: An abort() occurred."
BUS_MESSAGE = b"Unhandled SIGBUS: A bus error occurred."
# The installed talvex-CSI console script lives here.
SCRIPTS = sysconfig.get_path("scripts")

PRELUDE = """\
import os, resource
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
print(os.getpid(), flush=True)
"""


@pytest.fixture
def crash(py):
    """Run code that crashes in a fresh interpreter; return (result, pid).

    `path`: PATH, by default the venv's scripts first (the crash handler
    looks nothing up there). `python`: another interpreter, which finds
    talvex on PYTHONPATH.
    """
    def crash(code, path=None, env=None, timeout=120, python=None):
        full_env = {"PATH": path if path is not None
                    else os.pathsep.join([SCRIPTS, os.environ["PATH"]]),
                    "TALVEX_CRASH_QUIET": None, "TALVEX_CRASH_NDEBUG": None,
                    "TALVEX_CSI_TIMEOUT": None}
        full_env.update(env or {})
        if python is None:
            r = py(PRELUDE + textwrap.dedent(code), env=full_env, timeout=timeout)
        else:
            full_env["PYTHONPATH"] = os.pathsep.join([str(CLIENTS),
                                                      sysconfig.get_path("purelib")])
            r = subprocess.run([str(python), "-c", PRELUDE + textwrap.dedent(code)],
                               capture_output=True, timeout=timeout,
                               env=child_env(**full_env))
        return r, int(r.stdout.split()[0])
    return crash


def inspector_part(r, sig, message, before=b""):
    """The inspector's output, once the bytes around it and the status are checked."""
    assert r.returncode == -sig, r.stderr.decode(errors="replace")
    assert r.stderr.startswith(before + SEP), r.stderr.decode(errors="replace")
    inspector, _, tail = r.stderr[len(before + SEP):].partition(SEP)
    assert tail == message + EXPLANATION + SEP, r.stderr.decode(errors="replace")
    return inspector.decode()


def full_report(r, pid, sig=signal.SIGSEGV, message=SEGV_MESSAGE, before=b""):
    """The report of a crash read in full; returns its thread sections."""
    report = inspector_part(r, sig, message, before)
    assert report.startswith("talvex crash inspector: process %d\n" % pid), report
    assert not problem_lines(report), report
    sections = thread_sections(report)
    assert "took %s" % sig.name in sections[0][1].splitlines()[0], report
    for _, section in sections:
        native = section.split("Native stack (most recent call first):\n")[1]
        assert re.match(r" +(> )?#0", native), section
    return report, sections


# ---------------------------------------------------------------------------
# The header names the fault: its address and kind, and the instruction.

FAULTS = """\
import ctypes, mmap, tempfile, talvex
libc = ctypes.CDLL(None)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                      ctypes.c_int, ctypes.c_long]
WILD = 0xdead0000

def mapped(address):
    for line in open("/proc/self/maps"):
        start, end = (int(x, 16) for x in line.split()[0].split("-"))
        if start <= address < end:
            return True
    return False

def read_only_page():
    return libc.mmap(None, mmap.PAGESIZE, mmap.PROT_READ,
                     mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)

def page_past_the_end_of_its_file():
    global view  # keeps the mapping
    with tempfile.TemporaryFile() as f:
        f.truncate(mmap.PAGESIZE)
        view = ctypes.c_char.from_buffer(mmap.mmap(f.fileno(), mmap.PAGESIZE))
        f.truncate(0)
    return ctypes.addressof(view)

assert not mapped(WILD)
{fault}
"""


@pytest.mark.parametrize("fault, expected", [
    ("print(0, flush=True); ctypes.memset(0, 1, 1)",
     "write at address 0x0: address not mapped"),
    ("print(WILD, flush=True); ctypes.string_at(WILD, 1)",
     "read at address 0x{address:x}: address not mapped"),
    ("page = read_only_page(); print(page, flush=True); ctypes.memset(page, 1, 1)",
     "write at address 0x{address:x}: protection violation (mapped r--p)"),
    ("print(WILD, flush=True); ctypes.CFUNCTYPE(None)(WILD)()",
     "instruction fetch at address 0x{address:x}: address not mapped"),
    ("page = page_past_the_end_of_its_file(); print(page, flush=True); "
     "ctypes.string_at(page, 1)",
     "read at address 0x{address:x}: nothing backs the page there "
     "(past the end of a mapped file?)"),
    ("print(WILD << 32, flush=True); ctypes.string_at(WILD << 32, 1)",
     "general protection fault: no address recorded (a non-canonical address, "
     "or an instruction not allowed here)"),
], ids=["null write", "read unmapped", "write read-only", "jump unmapped", "bus error",
        "non-canonical address"])
def test_the_header_names_the_fault(crash, fault, expected):
    sig, message = ((signal.SIGBUS, BUS_MESSAGE) if "past_the_end" in fault
                    else (signal.SIGSEGV, SEGV_MESSAGE))
    r, pid = crash(FAULTS.format(fault=fault))
    address = int(r.stdout.split()[1])
    report, sections = full_report(r, pid, sig, message)
    header = report.split("\n\nThread ")[0] + "\n"
    assert "\n  signal       %s, in thread %d\n" % (sig.name, pid) in header, header
    assert "\n  fault        %s\n" % expected.format(address=address) in header, header
    ip = int(re.search(r"\n  instruction  0x([0-9a-f]{16})", header).group(1), 16)
    faulting = re.search(r"\n  > #\d+ +0x([0-9a-f]{16})  ", sections[0][1])
    assert faulting and int(faulting.group(1), 16) == ip, report
    if "CFUNCTYPE" in fault:
        assert ip == address
        assert "\n  instruction  0x%016x (not in any mapping)\n" % ip in header, header
    else:
        # libc's own functions are named only where its symbols are
        # installed; the interpreter's always are (by pystack).
        assert re.search(r"\n  instruction  0x%016x (in \S+ )?\(\S+\)\n" % ip, header), header
        if "(libpython" in header:
            assert re.search(r"\n  instruction  0x%016x in \S+ \(libpython" % ip, header), header


def test_without_stack_readers_the_header_still_names_the_fault(crash, bare_python, bare_csi,
                                                               tmp_path):
    # The inspector of an installation with neither py-spy nor pystack,
    # which does not take the py-spy that the crash handler started.
    stand_in = tmp_path / "talvex-CSI"
    stand_in.write_text('#!/bin/sh\nunset PYTHONPATH TALVEX_CSI_READER_STARTED\n'
                        'exec "%s" -P "%s" "$@"\n' % (bare_python, bare_csi))
    stand_in.chmod(0o755)
    r, pid = crash("import ctypes, talvex; ctypes.memset(0, 1, 1)",
                   path=os.pathsep.join(["/usr/bin", "/bin"]),
                   env={"PYTHONUSERBASE": str(tmp_path), "_TALVEX_CSI_PROGRAM": str(stand_in)})
    report = inspector_part(r, signal.SIGSEGV, SEGV_MESSAGE)
    header, problem = report.split("\ntalvex-CSI: ")[:2]
    assert problem.startswith("neither py-spy nor pystack is installed"), report
    assert re.search(r"\n  signal       SIGSEGV, in thread %d\n"
                     r"  fault        write at address 0x0: address not mapped\n"
                     r"  instruction  0x[0-9a-f]{16} \(libc\.so\.6\)$" % pid, header), report


# Drops to an ordinary user as a root test run must: nobody, keeping only
# the capabilities to read files (the interpreter lies in root's home
# here), not CAP_SYS_PTRACE; the inspector and its readers inherit them.
AS_ORDINARY_USER = """\
class Header(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]
class Sets(ctypes.Structure):
    _fields_ = [(n, ctypes.c_uint32) for n in ("effective", "permitted", "inheritable")]
if os.geteuid() == 0:
    FILES = (1, 2)  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
    assert libc.prctl(8, 1, 0, 0, 0) == 0  # PR_SET_KEEPCAPS
    os.setgroups([]); os.setgid(65534); os.setuid(65534)
    sets = (Sets * 2)()
    sets[0].effective = sets[0].permitted = sets[0].inheritable = sum(1 << c for c in FILES)
    assert libc.capset(ctypes.byref(Header(0x20080522, 0)), sets) == 0
    for cap in FILES:
        assert libc.prctl(47, 2, cap, 0, 0) == 0  # PR_CAP_AMBIENT_RAISE
"""


def test_a_process_that_is_not_dumpable_gets_only_what_can_be_read(crash):
    # Its readers may not attach and its maps are unreadable: the report
    # says why, describes the read of a PROT_NONE page from si_code, and
    # claims nothing about what is mapped.
    r, pid = crash("""\
import ctypes, mmap, os, talvex
libc = ctypes.CDLL(None)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                      ctypes.c_int, ctypes.c_long]
""" + AS_ORDINARY_USER + """\
page = libc.mmap(None, mmap.PAGESIZE, 0, mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
assert libc.prctl(4, 0, 0, 0, 0) == 0  # PR_SET_DUMPABLE
print(page, flush=True)
ctypes.string_at(page, 1)
""")
    page = int(r.stdout.split()[1])
    report = inspector_part(r, signal.SIGSEGV, SEGV_MESSAGE)
    header = report.split("\ntalvex-CSI: ")[0]
    assert "\n  executable   (unreadable)\n" in header, report
    assert "; runtime unknown (/proc/%d/maps is unreadable)\n" % pid in header, report
    assert "\n  fault        read at address 0x%x: protection violation\n" % page in header, report
    assert re.search(r"\n  instruction  0x[0-9a-f]{16}$", header), report
    problems = problem_lines(report)
    assert len(problems) == 1 and problems[0].startswith("talvex-CSI: py-spy could not attach"), \
        report
    assert "the process is not dumpable" in problems[0], report
    assert "loaded extension modules: unknown (/proc/%d/maps is unreadable)" % pid in report
    for unbacked in ("not mapped", "mapping", "not loaded", "target's user"):
        assert unbacked not in report, report


def test_a_raised_signal_is_not_taken_for_a_fault(crash):
    # The kernel keeps a thread's last fault and puts it in every later
    # signal frame: a recovered fault must not describe a later raise().
    r, pid = crash("""\
        import talvex, tvclient_c as c
        try:
            c.fault("segv")
        except talvex.SignalError:
            pass
        c.fault("11", False)  # raise(SIGSEGV) outside any region
        """)
    report, _ = full_report(r, pid)
    header = report.split("\n\nThread ")[0] + "\n"
    # From the thread's position after a system call, or from si_code where
    # the runtime passes it.
    assert re.search(r"\n  signal       SIGSEGV \((raised or sent|raised by the process itself), "
                     r"not a fault\), in thread %d\n" % pid, header), header
    assert "\n  fault  " not in header
    assert re.search(r"\n  instruction  0x[0-9a-f]{16} (in \S+ )?\(libc\.so\.6\)\n", header), header


# ---------------------------------------------------------------------------
# Faults where a report is hardest to give: each still shows every thread's
# native stack and the Python stacks there are, and the process dies by the
# signal.

HARD_PLACES = {
    "atexit handler": ("""\
        import atexit, ctypes, talvex

        def crash_at_exit():
            ctypes.memset(0, 1, 1)

        atexit.register(crash_at_exit)
        """, 1, ["crash_at_exit"], "(libc.so.6)"),
    "thread created in C": ("""\
        import time, talvex, tvclient_threads

        def waiting_py():
            tvclient_threads.start_faulting_thread(0.2)
            time.sleep(60)

        waiting_py()
        """, 2, None, "write_through_null"),
    "another thread holds the interpreter lock": ("""\
        import threading, talvex, tvclient_threads

        def faulting_py():
            tvclient_threads.fault_after(0.5)

        def holding_py():
            tvclient_threads.hold_gil(60)

        threading.Thread(target=faulting_py).start()
        holding_py()
        """, 2, ["faulting_py", "run"], "write_through_null"),
    "50 threads": ("""\
        import ctypes, threading, time, talvex

        started = threading.Barrier(51)

        def idle_py():
            started.wait()
            time.sleep(60)

        def crash_py():
            ctypes.memset(0, 1, 1)

        for _ in range(50):
            threading.Thread(target=idle_py, daemon=True).start()
        started.wait()
        crash_py()
        """, 51, ["crash_py", "<module>"], "(libc.so.6)"),
}


@pytest.mark.parametrize("code, threads, python_calls, faulting_function",
                         list(HARD_PLACES.values()), ids=list(HARD_PLACES))
def test_report_from_a_hard_place(crash, code, threads, python_calls, faulting_function):
    r, pid = crash(code)
    report, sections = full_report(r, pid)
    assert len(sections) == threads, report
    faulting_lwp, faulting = sections[0]
    python_part, native_part = faulting.split("Native stack")
    fault_line = next(l for l in native_part.splitlines() if l.startswith("  > #"))
    assert faulting_function in fault_line, report
    if python_calls is None:  # a thread that never ran Python
        assert faulting_lwp != pid
        assert "    (no Python frames)\n" in python_part, report
    else:
        assert_python_calls_in_order(python_part, *python_calls)
    others = "".join(section for _, section in sections[1:])
    if "hold_gil" in code:
        assert ", in holding_py\n" in others and "hold_gil at " in others, report
        assert "main thread" in others.splitlines()[0]
        assert "holds the GIL" in others.splitlines()[0], report
    if "waiting_py" in code:
        assert ", in waiting_py\n" in others, report
    if "idle_py" in code:
        assert others.count(", in idle_py\n") == 50, report


def test_py_spy_reads_the_stacks_through_the_crash_handlers_frames(crash):
    # The crashing thread's native stack runs through talvex's own handler
    # frames: where py-spy cannot unwind them, the report falls back to
    # pystack, several times slower.
    r, pid = crash("""\
        import tvclient_c as c
        c.fault("segv", False)
        """)
    report, sections = full_report(r, pid)
    header = report.split("\n\nThread ")[0] + "\n"
    assert "\n  stacks       read with py-spy\n" in header, header
    native = sections[0][1].split("Native stack")[1]
    assert "fatal_signal_handler" in native and "  > #" in native, report


def test_a_fault_inside_the_interpreter_names_its_function(crash):
    # py-spy leaves the interpreter's own frames out of its stacks: the
    # faulting frame comes from pystack.
    r, pid = crash("""\
        import ctypes, talvex

        def convert_py():
            ctypes.pythonapi.PyLong_AsLong(ctypes.c_void_p(0xdead0000))

        convert_py()
        """)
    report, sections = full_report(r, pid)
    header = report.split("\n\nThread ")[0] + "\n"
    assert "\n  stacks       read with pystack\n" in header, header
    # The file that holds the interpreter here: libpython, or the
    # executable itself where libpython is linked into it.
    holder = (running_libpython() or Path(os.path.realpath(sys._base_executable))).name
    ip = int(re.search(r"\n  instruction  0x([0-9a-f]{16}) in \S+ \(%s\)\n" % re.escape(holder),
                       header).group(1), 16)
    python_part, native_part = sections[0][1].split("Native stack")
    assert_python_calls_in_order(python_part, "convert_py", "<module>")
    fault_line = next(l for l in native_part.splitlines() if l.startswith("  > #"))
    assert "0x%016x" % ip in fault_line and "(%s)" % holder in fault_line, report
    assert "PyLong_AsLong" in native_part, report


def test_no_gdb_anywhere_on_path(crash, tmp_path):
    # The venv's scripts alone: the interpreter, the inspector and py-spy.
    assert shutil.which("gdb", path=SCRIPTS) is None
    r, pid = crash("""\
        import ctypes, threading, talvex

        def idle_py():
            threading.Event().wait()

        def crash_py():
            ctypes.memset(0, 1, 1)

        threading.Thread(target=idle_py, daemon=True).start()
        crash_py()
        """, path=SCRIPTS)
    report, sections = full_report(r, pid)
    assert len(sections) == 2, report
    assert ", in crash_py\n" in sections[0][1] and ", in idle_py\n" in sections[1][1], report


# ---------------------------------------------------------------------------
# The crash path's own hazards.

def test_double_free_gives_the_report_and_dies_by_sigabrt(crash):
    # A block too large for glibc's per-thread cache is freed under the
    # allocator's lock, which is still held when the second free aborts.
    r, pid = crash("""\
        import ctypes, talvex
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        libc.free.argtypes = [ctypes.c_void_p]
        block = libc.malloc(4096)
        guard = libc.malloc(16)  # keeps the block from merging into the top chunk
        libc.free(block)
        libc.free(block)
        """, env={"TALVEX_CSI_TIMEOUT": "20"}, timeout=60)
    glibc = r.stderr[:r.stderr.index(SEP)]
    assert b"double free or corruption" in glibc
    report, sections = full_report(r, pid, signal.SIGABRT, ABRT_MESSAGE, before=glibc)
    assert len(sections) == 1


STAND_IN = """\
#!/bin/sh
# Stands in for the inspector: shows its own signal mask and ignored
# signals, sends signals to the crashing process, its parent, and takes
# its time, as gdb does.
# Builtins only: a shell that forks blocks its signals meanwhile.
while read -r key value; do
    case $key in SigBlk:|SigIgn:) echo "$key $value";; esac
done < /proc/$$/status
for sig in $SEND_TO_PARENT; do kill -s "$sig" "$PPID"; done
sleep 0.5
echo 'inspector done'
"""


@pytest.fixture
def stand_in(tmp_path):
    program = tmp_path / "talvex-CSI"
    program.write_text(STAND_IN)
    program.chmod(0o755)
    return str(program)


ASYNCHRONOUS = [signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
                signal.SIGPIPE, signal.SIGALRM, signal.SIGTERM, signal.SIGTSTP]
# What a terminal sends to its whole foreground process group, and a shell
# to its jobs: the inspector, in that group, ignores them.
JOB_CONTROL = [signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP, signal.SIGHUP]


@pytest.mark.parametrize("arm_timer, send", [
    (True, ""),
    (False, "INT"),
    (False, " ".join(s.name.removeprefix("SIG") for s in ASYNCHRONOUS)),
], ids=["alarm armed before the fault", "SIGINT", "every asynchronous signal"])
def test_signals_during_the_report(crash, stand_in, arm_timer, send):
    timer = "signal.setitimer(signal.ITIMER_REAL, 0.2)" if arm_timer else ""
    r, pid = crash(f"""\
        import ctypes, signal, talvex
        {timer}
        ctypes.memset(0, 1, 1)
        """, env={"SEND_TO_PARENT": send, "_TALVEX_CSI_PROGRAM": stand_in})
    report = inspector_part(r, signal.SIGSEGV, SEGV_MESSAGE)
    blocked, ignored, done = report.splitlines()
    assert done == "inspector done", report
    # The inspector starts with nothing blocked and, of the signals that the
    # crashing process ignores while it writes the report, only those of
    # job control ignored.
    assert blocked == "SigBlk: 0000000000000000"
    ignored = int(ignored.removeprefix("SigIgn: "), 16)
    assert [s for s in ASYNCHRONOUS if ignored & 1 << (s - 1)] == sorted(JOB_CONTROL), report


@pytest.fixture
def held(tmp_path):
    """FIFOs that hold the inspector with py-spy running and nothing written."""
    hold = tmp_path / "hold"
    os.mkfifo(hold)
    os.mkfifo(str(hold) + ".go")
    return hold


@pytest.mark.parametrize("sig", JOB_CONTROL, ids=[s.name for s in JOB_CONTROL])
def test_job_control_signal_to_the_process_group_during_the_report(held, sig):
    # As a terminal does: the signal goes to the whole foreground process
    # group, the crashing process and its inspector, while the inspector
    # has started py-spy and not yet written a line.
    proc = subprocess.Popen(
        [sys.executable, "-c", PRELUDE + "import ctypes, talvex; ctypes.memset(0, 1, 1)"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, process_group=0,
        cwd=str(CLIENTS.parent.parent), preexec_fn=default_sigint,
        env=child_env(_TALVEX_CSI_HOLD=str(held), TALVEX_CRASH_QUIET=None,
                      TALVEX_CRASH_NDEBUG=None))
    try:
        with open(held) as f:
            inspector = int(f.read())
        assert os.getpgid(inspector) == proc.pid
        os.killpg(proc.pid, sig)
        with open(str(held) + ".go", "w"):
            pass
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    r = subprocess.CompletedProcess(proc.args, proc.returncode, out, err)
    full_report(r, int(out.split()[0]))


@pytest.mark.parametrize("executable", [None, "/opt/host/bin/server"],
                         ids=["sys.executable", "an embedding program's sys.executable"])
def test_the_inspector_is_found_without_path(crash, executable):
    # The installation's own interpreter, inspector and py-spy, by absolute
    # paths: neither PATH nor sys.executable has a part in it.
    set_executable = f"sys.executable = {executable!r}" if executable else ""
    r, pid = crash(f"""\
        import ctypes, sys
        {set_executable}
        import talvex
        ctypes.memset(0, 1, 1)
        """, path="")
    full_report(r, pid)


@pytest.mark.parametrize("flags", [[], ["--no-signals"]],
                         ids=["Py_Initialize()", "Py_InitializeEx(0)"])
def test_an_embedding_program_gets_the_whole_report_without_path(embed_host, flags):
    # The host is sys.executable there, and PATH is empty: the inspector,
    # its interpreter and py-spy are this installation's.
    r = subprocess.run(
        [str(embed_host), *flags, PRELUDE + "import talvex, tvclient_c as c\n"
                                           "c.fault('segv', False)\n"],
        capture_output=True, timeout=120, cwd=str(CLIENTS.parent.parent),
        env=embed_env(PATH="", TALVEX_CRASH_QUIET=None, TALVEX_CRASH_NDEBUG=None))
    report, sections = full_report(r, int(r.stdout.split()[0]))
    assert "\n  executable   %s\n" % embed_host in report, report
    python_part, native_part = sections[0][1].split("Native stack")
    assert_python_calls_in_order(python_part, "<module>")
    assert re.search(r"> #\d+ .* do_fault ", native_part), report


# ---------------------------------------------------------------------------
# Whatever the dying process left behind: a standard error that nobody
# reads until the process ends, no descriptor to spare.

FORTY_THREADS = idle_threads(40) + """\
import tvclient_c as c
c.fault("segv", False)
"""


@pytest.mark.parametrize("faulthandler, quiet", [(False, None), (True, None), (True, "")],
                         ids=["report", "report and faulthandler", "faulthandler alone"])
def test_a_crash_ends_at_the_bound_when_stderr_is_read_only_afterwards(faulthandler, quiet):
    # As a job runner collects logs: Popen(stderr=PIPE), wait(), then read.
    # The report of 41 threads is far more than the 4 KiB the pipe holds,
    # and so is faulthandler's traceback, which follows it.
    r, w = os.pipe()
    fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096)
    options = ["-X", "faulthandler"] if faulthandler else []
    proc = subprocess.Popen(
        [sys.executable, *options, "-c", PRELUDE + FORTY_THREADS], stdout=subprocess.PIPE,
        stderr=w, cwd=str(CLIENTS.parent.parent),
        env=child_env(PATH=os.pathsep.join([SCRIPTS, os.environ["PATH"]]),
                      TALVEX_CRASH_QUIET=quiet, TALVEX_CRASH_NDEBUG=None,
                      TALVEX_CSI_TIMEOUT="3"))
    os.close(w)
    try:
        proc.wait(timeout=60)
    finally:
        proc.kill()
    with os.fdopen(r, "rb") as f:
        err = f.read()
    pid = int(proc.stdout.read().split()[0])
    proc.stdout.close()
    assert proc.returncode == -signal.SIGSEGV
    first = b"Fatal Python error: Segmentation fault" if quiet is not None \
        else SEP + b"talvex crash inspector: process %d\n" % pid
    assert err.startswith(first), err
    assert len(err) <= 4096


@pytest.mark.parametrize("bound", ["2200000", "1e7"])
def test_a_bound_beyond_what_a_wait_can_take_is_only_a_higher_ceiling(crash, bound):
    # More milliseconds than a C int holds: the inspector waits for its
    # readers all the same.
    r, pid = crash("import ctypes, talvex; ctypes.memset(0, 1, 1)",
                   env={"TALVEX_CSI_TIMEOUT": bound})
    full_report(r, pid)


def children_of(pid):
    """The processes whose parent is `pid`, from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[1] == b"%d" % pid:
            found.append(int(entry))
    return found


def test_a_report_cut_at_the_bound_still_says_what_it_knew(tmp_path):
    # The inspector is stopped (as a machine busy with other work may hold
    # it) once the header is out: what it knew before reading the stacks,
    # the process, the signal and the fault, is in the report. The stacks
    # are read with pystack alone, which starts only then and takes a while.
    proc = subprocess.Popen(
        [sys.executable, "-c", PRELUDE + "import ctypes, talvex; ctypes.memset(0, 1, 1)"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=str(CLIENTS.parent.parent),
        env=child_env(PATH=os.pathsep.join([SCRIPTS, os.environ["PATH"]]),
                      TALVEX_CRASH_QUIET=None, TALVEX_CRASH_NDEBUG=None, TALVEX_CRASH_FILE=None,
                      TALVEX_CSI_TIMEOUT="3", _TALVEX_CSI_READER="pystack"))
    try:
        pid = int(proc.stdout.readline())
        err = b""
        while b"\n  fault " not in err:
            chunk = os.read(proc.stderr.fileno(), 4096)
            assert chunk, err
            err += chunk
        for child in children_of(pid):
            os.kill(child, signal.SIGSTOP)
        _, more = proc.communicate(timeout=60)
        err += more
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == -signal.SIGSEGV
    inspector, _, tail = err[len(SEP):].partition(SEP)
    assert err.startswith(SEP) and tail == SEGV_MESSAGE + EXPLANATION + SEP, err
    lines = inspector.decode().splitlines()
    assert lines[0] == "talvex crash inspector: process %d" % pid, inspector
    assert "  signal       SIGSEGV, in thread %d" % pid in lines, inspector
    assert "  fault        write at address 0x0: address not mapped" in lines, inspector
    assert lines[-1] == ("talvex: the crash inspector did not finish within the time bound of 3 "
                         "seconds (TALVEX_CSI_TIMEOUT) and was stopped"), inspector
    assert not thread_sections(inspector.decode()), inspector


@pytest.mark.parametrize("free", [0, 1])
def test_the_whole_report_after_every_descriptor_is_used_up(crash, free):
    r, pid = crash("import tvclient_c as c\n" + LEAK.format(free=free))
    report, sections = full_report(r, pid)
    assert "Fatal Python error" not in report and "shared librar" not in report, report


def test_the_inspector_keeps_to_the_crashing_process_deadline(crash, bare_python, bare_csi,
                                                              tmp_path):
    # A py-spy that never finishes, and an inspector told it may take a
    # minute: it still stops py-spy and writes what /proc tells in time,
    # as the crashing process stops it at its own bound of 3 seconds.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "py-spy").write_text("#!/bin/sh\nexec sleep 600\n")
    (bin_dir / "py-spy").chmod(0o755)
    stand_in = tmp_path / "talvex-CSI"
    stand_in.write_text('#!/bin/sh\nunset PYTHONPATH TALVEX_CSI_READER_STARTED\n'
                        'PATH="%s:/usr/bin:/bin" TALVEX_CSI_TIMEOUT=60 _TALVEX_CSI_READER=py-spy '
                        'exec "%s" -P "%s" "$@"\n' % (bin_dir, bare_python, bare_csi))
    stand_in.chmod(0o755)
    r, pid = crash("import ctypes, talvex; ctypes.memset(0, 1, 1)",
                   env={"PYTHONUSERBASE": str(tmp_path), "_TALVEX_CSI_PROGRAM": str(stand_in),
                        "TALVEX_CSI_TIMEOUT": "3"})
    report = inspector_part(r, signal.SIGSEGV, SEGV_MESSAGE)
    assert report.startswith("talvex crash inspector: process %d\n" % pid), report
    assert "talvex-CSI: py-spy did not finish within the time bound" in report, report
    assert "From /proc/%d:" % pid in report and "talvex: " not in report, report
