"""Runs gdb on the target and reads back what it saw (inspector's process).

gdb attaches in batch mode and runs inside_gdb.py, which writes JSON lines
to an anonymous file that gdb inherits; this side bounds gdb's time, stops it
if need be, and turns its failures into one line for the reader.

Every module imported here adds to the time a crashing process waits, so
imports are few.
"""

import json
import os
import signal
import subprocess
import time

from .inside_gdb import ENV_DEADLINE, ENV_FIRST, ENV_HELPERS, ENV_OUT
from .procfs import proc_state, read_text

DEFAULT_TIMEOUT = 30.0
TIMEOUT_ENV = "TALVEX_CSI_TIMEOUT"

# Walking deeper than this is unlikely to help and may run into a looping,
# corrupted stack.
GDB_BACKTRACE_LIMIT = 400


def helper_candidates(target):
    """Where CPython's gdb helpers (python3.X-gdb.py) may be for this target.

    They sit beside the interpreter binary as '<binary>-gdb.py' (pyenv and
    source builds), or under gdb's auto-load directories named after the
    binary or libpython (distribution packages).  Symlinks are followed: a
    venv's python is a link to the real interpreter.  A program embedding a
    source-built libpython finds them in the bin/ beside that lib/.
    """
    objects = []
    for path in [target.exe] + target.libpython():
        if path:
            for p in (path, os.path.realpath(path)):
                if p not in objects:
                    objects.append(p)
    version = target.python_version_hint()
    candidates = []
    for obj in objects:
        candidates.append(obj + "-gdb.py")
        if version:
            here = os.path.dirname(obj)
            candidates.append(os.path.join(here, "python%s-gdb.py" % version))
            candidates.append(os.path.join(os.path.dirname(here), "bin",
                                           "python%s-gdb.py" % version))
        for root in ("/usr/share/gdb/auto-load", "/usr/lib/debug"):
            candidates.append(root + obj + "-gdb.py")
    if version:
        candidates.append("/usr/share/gdb/auto-load/usr/bin/python%s-gdb.py" % version)
    unique = []
    for c in candidates:
        if c not in unique:
            unique.append(c)
    return unique


def find_helpers(target):
    for path in helper_candidates(target):
        if os.path.isfile(path):
            return path
    return None


class GdbResult:
    def __init__(self):
        self.problem = None  # one line for the reader when gdb gave no full report
        self.version = None
        self.threads = []  # native stacks, in the order gdb read them
        self.python = {}  # thread num -> {"text": ...} or {"error": ...}
        self.helpers = None
        self.helper_error = None
        self.error = None  # what went wrong inside gdb's Python, if anything
        self.complete = False
        self.marks = []  # (what, CLOCK_MONOTONIC seconds) from inside gdb


def timeout_from_env(environ):
    """The time bound in seconds, and a note when the variable was unusable."""
    raw = environ.get(TIMEOUT_ENV)
    if raw is None or raw.strip() == "":
        return DEFAULT_TIMEOUT, None
    try:
        value = float(raw)
    except ValueError:
        value = -1.0
    if not (0 < value < float("inf")):
        return DEFAULT_TIMEOUT, "%s=%r is not a positive number of seconds; using %g" % (
            TIMEOUT_ENV, raw, DEFAULT_TIMEOUT)
    return value, None


def run_gdb(target, timeout, first_thread=None):
    result = GdbResult()
    gdb = _which("gdb")
    if not gdb:
        result.problem = ("gdb was not found on PATH, so only /proc could be read; "
                          "install gdb (Debian/Ubuntu: apt-get install gdb) to see the stacks")
        return result
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "inside_gdb.py")
    if not os.path.isfile(script):
        result.problem = "the inspector's source %s is missing, so gdb cannot run it" % script
        return result
    result.helpers = find_helpers(target)

    grace = min(1.0, timeout * 0.2)
    records = _anonymous_file()
    # The crashing program's PYTHONHOME or PYTHONPATH, meant for its own
    # interpreter, would break the one inside gdb.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env.pop("DEBUGINFOD_URLS", None)  # never fetch symbols over the network here
    env[ENV_OUT] = str(records.fileno())
    env[ENV_FIRST] = str(first_thread or "")
    env[ENV_HELPERS] = result.helpers or ""
    # Python stacks are the slow part: leave room to report the native ones.
    env[ENV_DEADLINE] = repr(time.time() + timeout * 0.6)
    cmd = [gdb, "-nx", "-q", "-batch",
           "-iex", "set debuginfod enabled off",
           "-iex", "set auto-load off",
           # gdb's cache of symbol indexes (~/.cache/gdb), kept by the
           # build id of each library: the index of a large library such as
           # libpython takes most of the attach time to build, once.
           "-iex", "set index-cache enabled on",
           "-iex", "set pagination off",
           "-iex", "set width 0",
           "-iex", "set confirm off",
           "-iex", "set print thread-events off",
           "-iex", "set print frame-arguments none",
           "-iex", "set backtrace limit %d" % GDB_BACKTRACE_LIMIT,
           "-p", str(target.pid), "-x", script]
    target_was_stopped = target.state == "T"
    timed_out = False
    with records:
        try:
            proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, env=env, start_new_session=True,
                                    pass_fds=[records.fileno()])
        except OSError as e:
            result.problem = "gdb could not be started (%s); reinstall gdb" % e
            return result
        try:
            output, _ = proc.communicate(timeout=max(0.1, timeout - grace))
        except subprocess.TimeoutExpired:
            timed_out = True
            output = _stop_process_group(proc, grace)
        output = (output or b"").decode("utf-8", "replace")
        if timed_out and not target_was_stopped:
            _resume_if_stopped(target.pid)
        records.seek(0)
        _read_records(records.read().decode("utf-8", "replace").splitlines(), result)

    if timed_out:
        result.problem = ("gdb did not finish within %g s and was stopped; set %s to more "
                          "seconds if the process has many threads or large debug symbols"
                          % (timeout, TIMEOUT_ENV))
    elif not result.complete:
        result.problem = _explain_gdb_failure(target, output, proc.returncode, result.error)
    return result


def _which(name):
    # shutil.which, without the compression modules that shutil imports.
    for directory in os.environ.get("PATH", os.defpath).split(os.pathsep):
        path = os.path.join(directory or ".", name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


def _anonymous_file():
    """A file with no name, which gdb inherits to write its records to."""
    try:
        return open(os.memfd_create("talvex-csi-records"), "w+b")
    except (AttributeError, OSError):  # no memfd here: an unlinked temporary file
        import tempfile

        return tempfile.TemporaryFile()


def _stop_process_group(proc, grace):
    """End gdb and anything it started; gdb detaches on SIGTERM if it can."""
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 1.0)):
        try:
            os.killpg(proc.pid, sig)
        except OSError:
            pass
        try:
            output, _ = proc.communicate(timeout=wait)
            return output
        except subprocess.TimeoutExpired:
            continue
    # Something that left the group holds the pipe open: give up on the output.
    try:
        proc.stdout.close()
        proc.wait(timeout=1.0)
    except (OSError, subprocess.TimeoutExpired):
        pass
    return b""


def _resume_if_stopped(pid):
    # A debugger killed while attached can leave its tracee in group stop, and
    # a crashing process left stopped would never finish dying.  The kernel
    # has detached gdb by the time it is reaped, so one look is enough.
    if proc_state(pid) == "T":
        try:
            os.kill(pid, signal.SIGCONT)
        except OSError:
            pass


def _read_records(lines, result):
    for line in lines:
        try:
            rec = json.loads(line)
        except ValueError:
            continue  # the last line of a killed gdb may be cut short
        kind = rec.get("kind")
        if kind == "interpreter":
            result.version = rec.get("version")
            result.helper_error = rec.get("helper_error")
        elif kind == "thread":
            result.threads.append(rec)
        elif kind == "python":
            result.python[rec.get("num")] = rec
        elif kind == "error":
            result.error = rec.get("message")
        elif kind == "mark":
            result.marks.append((rec.get("name"), rec.get("t")))
        elif kind == "done":
            result.complete = True


def _explain_gdb_failure(target, output, returncode, error):
    lines = [l.strip() for l in output.splitlines() if l.strip()]
    if any("Python scripting is not supported" in l for l in lines):
        return ("this gdb has no Python support, which the inspector needs; "
                "install Debian's full gdb package instead of gdb-minimal")
    ptrace = next((l for l in lines if l.startswith("ptrace:")), None)
    if ptrace is not None or any("Could not attach" in l for l in lines):
        why = (ptrace or "attaching failed").rstrip(".")
        if "No such process" in why:
            return "process %d went away before gdb could attach" % target.pid
        tracer = target.tracer_pid
        if tracer:
            name = (read_text("/proc/%d/comm" % tracer) or "?").strip()
            return ("gdb could not attach (%s): process %d is already traced by process "
                    "%d (%s); detach that debugger and run talvex-CSI --pid %d again"
                    % (why, target.pid, tracer, name, target.pid))
        scope = (read_text("/proc/sys/kernel/yama/ptrace_scope") or "").strip()
        if scope == "3":
            return ("gdb could not attach (%s): kernel.yama.ptrace_scope is 3, which forbids "
                    "attaching until the next boot" % why)
        if scope in ("1", "2") and os.geteuid() != 0:
            return ("gdb could not attach (%s): kernel.yama.ptrace_scope is %s, which lets "
                    "only %s attach; run as root, or allow it with 'sysctl "
                    "kernel.yama.ptrace_scope=0'" % (
                        why, scope, "ancestors and named tracers" if scope == "1" else "root"))
        return ("gdb could not attach (%s); run as the target's user or as root, and in a "
                "container grant CAP_SYS_PTRACE (docker run --cap-add=SYS_PTRACE)" % why)
    if error:
        return "the inspector failed inside gdb (%s)" % error
    last = lines[-1] if lines else "no output"
    return "gdb stopped without a report (exit status %s: %s)" % (returncode, last)

