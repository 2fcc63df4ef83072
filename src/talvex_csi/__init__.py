"""talvex-CSI: describe a live process, typically one that is crashing.

talvex's fatal-signal handler runs ``talvex-CSI --no-color --pid PID`` while
the crashing thread waits inside the handler, with this program's standard
output going to the crashing process's standard error.  The inspector attaches
gdb in batch mode and prints, for every thread, the Python stack and the
native stack, the thread that took the signal first.  Whatever goes wrong
(no gdb, ptrace refused, gdb hanging) it says so in one line, prints what
/proc still tells, and returns within a fixed time bound.

This file has two halves.  ``main`` is the program.  The same file is also
handed to gdb with ``-x``; inside gdb it runs ``_gdb_collect``, which writes
what gdb sees as JSON lines for ``main`` to format.  So it must stay plain
stdlib Python that also runs on gdb's embedded interpreter (3.11 on Debian
bookworm), and it must not import the compiled part of talvex: it has to work
when that is what broke.
"""

import argparse
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

DEFAULT_TIMEOUT = 30.0
TIMEOUT_ENV = "TALVEX_CSI_TIMEOUT"

MAX_NATIVE_FRAMES = 60
MAX_PYTHON_FRAMES = 80
# Walking deeper than this is unlikely to help and may run into a looping,
# corrupted stack.
GDB_BACKTRACE_LIMIT = 400

# How main() hands work to the gdb half of this file.
_ENV_OUT = "_TALVEX_CSI_OUT"
_ENV_HELPERS = "_TALVEX_CSI_HELPERS"
_ENV_DEADLINE = "_TALVEX_CSI_DEADLINE"

EXIT_REPORT = 0  # full report from gdb
EXIT_DEGRADED = 1  # only what /proc tells, or no such process
# Bad arguments exit with argparse's status, 2.

_SIGINFO_CODES = {
    "SIGSEGV": {1: "address not mapped", 2: "invalid permissions for mapped object",
                3: "failed address bound checks", 4: "protection key check failed"},
    "SIGBUS": {1: "invalid address alignment", 2: "nonexistent physical address",
               3: "object-specific hardware error"},
    "SIGFPE": {1: "integer divide by zero", 2: "integer overflow",
               3: "floating-point divide by zero", 4: "floating-point overflow",
               5: "floating-point underflow", 6: "floating-point inexact result",
               7: "invalid floating-point operation",
               8: "subscript out of range"},
    "SIGILL": {1: "illegal opcode", 2: "illegal operand", 3: "illegal addressing mode",
               4: "illegal trap", 5: "privileged opcode", 6: "privileged register",
               7: "coprocessor error", 8: "internal stack error"},
}
_SENDER_CODES = {0: "kill", -1: "sigqueue", -6: "tkill/raise"}
_FAULT_SIGNALS = ("SIGSEGV", "SIGBUS", "SIGFPE", "SIGILL", "SIGTRAP")

_THREAD_STATES = {
    "R": "running", "S": "sleeping", "D": "disk sleep", "T": "stopped",
    "t": "tracing stop", "Z": "zombie", "X": "dead", "I": "idle",
}


# ---------------------------------------------------------------------------
# What /proc tells without a debugger

class Target:
    """Facts about the process read from /proc; any of them may be missing."""

    def __init__(self, pid):
        self.pid = pid
        self.exe = _readlink("/proc/%d/exe" % pid)
        if self.exe and self.exe.endswith(" (deleted)"):
            self.exe = self.exe[: -len(" (deleted)")]
        raw = _read_bytes("/proc/%d/cmdline" % pid)
        self.cmdline = ([a.decode("utf-8", "replace") for a in raw.split(b"\0")[:-1]]
                        if raw else [])
        self.mapped = _mapped_files(pid)
        self.status = _parse_status(_read_text("/proc/%d/status" % pid) or "")
        self.state = _proc_state(pid)

    @property
    def tracer_pid(self):
        try:
            return int(self.status.get("TracerPid", "0"))
        except ValueError:
            return 0

    def threads(self):
        """(tid, name, state letter, wchan) of each thread, main thread first."""
        task_dir = "/proc/%d/task" % self.pid
        try:
            tids = sorted(int(t) for t in os.listdir(task_dir) if t.isdigit())
        except OSError:
            return []
        threads = []
        for tid in tids:
            base = "%s/%d" % (task_dir, tid)
            name = (_read_text(base + "/comm") or "?").strip()
            state = _stat_state(_read_text(base + "/stat"))
            wchan = (_read_text(base + "/wchan") or "").strip()
            threads.append((tid, name, state, "" if wchan == "0" else wchan))
        return threads

    def python_version_hint(self):
        """Major.minor of the interpreter, guessed from file names."""
        for path in [self.exe or ""] + self.mapped:
            m = re.search(r"(?:libpython|/python)(\d+\.\d+)", path)
            if m:
                return m.group(1)
        return None

    def extension_modules(self):
        pattern = re.compile(r"\.(cpython-[^/]*|abi3|pypy[^/]*)\.so$|/lib-dynload/[^/]+\.so$")
        return [p for p in self.mapped if pattern.search(p)]

    def other_libraries(self):
        """Shared objects from outside the system's library directories that
        are not extension modules: what extension modules may have loaded."""
        system = re.compile(r"^/(usr/)?(local/)?lib(32|64|x32)?/")
        modules = set(self.extension_modules())
        return [p for p in self.mapped
                if re.search(r"\.so(\.[\d.]+)?$", p) and p not in modules
                and p not in self.libpython() and not system.match(p)]

    def talvex_runtime(self):
        for path in self.mapped:
            if re.search(r"/talvex/signals\.[^/]*\.so$", path):
                return path
        return None

    def libpython(self):
        return [p for p in self.mapped if os.path.basename(p).startswith("libpython")]


def _read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def _read_text(path):
    data = _read_bytes(path)
    return None if data is None else data.decode("utf-8", "replace")


def _readlink(path):
    try:
        return os.readlink(path)
    except OSError:
        return None


def _mapped_files(pid):
    """Distinct files mapped into the process, in address order."""
    text = _read_text("/proc/%d/maps" % pid) or ""
    seen = []
    for line in text.splitlines():
        parts = line.split(None, 5)
        if len(parts) == 6 and parts[5].startswith("/"):
            path = parts[5]
            if path.endswith(" (deleted)"):
                path = path[: -len(" (deleted)")]
            if path not in seen:
                seen.append(path)
    return seen


def _parse_status(text):
    fields = {}
    for line in text.splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.strip()
    return fields


def _stat_state(stat):
    # The name field may hold spaces and parentheses: the state follows the last ')'.
    if not stat or ")" not in stat:
        return "?"
    rest = stat.rsplit(")", 1)[1].split()
    return rest[0] if rest else "?"


def _proc_state(pid):
    return _stat_state(_read_text("/proc/%d/stat" % pid))


# ---------------------------------------------------------------------------
# Finding the interpreter's gdb helpers

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


# ---------------------------------------------------------------------------
# Running gdb

class GdbResult:
    def __init__(self):
        self.problem = None  # one line for the reader when gdb gave no full report
        self.version = None
        self.threads = []  # native stacks, in display order
        self.python = {}  # thread num -> {"text": ...} or {"error": ...}
        self.helpers = None
        self.helper_error = None
        self.error = None  # what went wrong inside gdb's Python, if anything
        self.complete = False


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


def run_gdb(target, timeout):
    result = GdbResult()
    gdb = shutil.which("gdb")
    if not gdb:
        result.problem = ("gdb was not found on PATH, so only /proc could be read; "
                          "install gdb (Debian/Ubuntu: apt-get install gdb) to see the stacks")
        return result
    script = os.path.abspath(__file__)
    if script.endswith((".pyc", ".pyo")):
        script = script[:-1]
    if not os.path.isfile(script):
        result.problem = "the inspector's source %s is missing, so gdb cannot run it" % script
        return result
    result.helpers = find_helpers(target)

    grace = min(1.0, timeout * 0.2)
    with tempfile.TemporaryDirectory(prefix="talvex-csi-") as tmp:
        out_path = os.path.join(tmp, "stacks.jsonl")
        env = dict(os.environ)
        env.pop("DEBUGINFOD_URLS", None)  # never fetch symbols over the network here
        env[_ENV_OUT] = out_path
        env[_ENV_HELPERS] = result.helpers or ""
        # Python stacks are the slow part: leave room to report the native ones.
        env[_ENV_DEADLINE] = repr(time.time() + timeout * 0.6)
        cmd = [gdb, "-nx", "-q", "-batch",
               "-iex", "set debuginfod enabled off",
               "-iex", "set auto-load off",
               "-iex", "set pagination off",
               "-iex", "set width 0",
               "-iex", "set confirm off",
               "-iex", "set print thread-events off",
               "-iex", "set print frame-arguments none",
               "-iex", "set backtrace limit %d" % GDB_BACKTRACE_LIMIT,
               "-p", str(target.pid), "-x", script]
        target_was_stopped = target.state == "T"
        timed_out = False
        try:
            proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, env=env, start_new_session=True)
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
        _read_records(out_path, result)

    if timed_out:
        result.problem = ("gdb did not finish within %g s and was stopped; set %s to more "
                          "seconds if the process has many threads or large debug symbols"
                          % (timeout, TIMEOUT_ENV))
    elif not result.complete:
        result.problem = _explain_gdb_failure(target, output, proc.returncode, result.error)
    return result


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
    if _proc_state(pid) == "T":
        try:
            os.kill(pid, signal.SIGCONT)
        except OSError:
            pass


def _read_records(path, result):
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.readlines()
    except OSError:
        return
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
            name = (_read_text("/proc/%d/comm" % tracer) or "?").strip()
            return ("gdb could not attach (%s): process %d is already traced by process "
                    "%d (%s); detach that debugger and run talvex-CSI --pid %d again"
                    % (why, target.pid, tracer, name, target.pid))
        scope = (_read_text("/proc/sys/kernel/yama/ptrace_scope") or "").strip()
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


# ---------------------------------------------------------------------------
# Formatting

class Style:
    def __init__(self, enabled):
        self.enabled = enabled

    def _wrap(self, code, text):
        return "\033[%sm%s\033[0m" % (code, text) if self.enabled else text

    def heading(self, text):
        return self._wrap("1;36", text)

    def alert(self, text):
        return self._wrap("1;31", text)

    def dim(self, text):
        return self._wrap("2", text)


def parse_py_bt(text):
    """Turn py-bt's output into entries, most recent call first.

    Each entry is {"func", "file", "line", "source"} for a Python frame or
    {"note": text} for the lines py-bt prints about other frames (a builtin
    being called, waiting for the GIL, unreadable frames).  Returns None when
    py-bt found no Python frame at all.
    """
    entries = []
    frame_re = re.compile(r'^\s*File "(.*)", line (\S+), in (.*)$')
    for raw in text.splitlines():
        line = raw.rstrip()
        if not line.strip() or line.startswith("Traceback (most recent call first)"):
            continue
        if "Unable to locate python frame" in line:
            return entries or None
        m = frame_re.match(line)
        if m:
            entries.append({"file": m.group(1), "line": m.group(2), "func": m.group(3),
                            "source": None})
        elif line.startswith("    ") and entries and "func" in entries[-1] \
                and entries[-1]["source"] is None:
            entries[-1]["source"] = line.strip()
        else:
            entries.append({"note": line.strip()})
    return entries


def _signal_name(signo):
    try:
        return signal.Signals(signo).name
    except (ValueError, TypeError):
        return "signal %s" % signo


def describe_signal(info):
    """One line about the signal from the siginfo gdb read, e.g. for SIGSEGV."""
    name = _signal_name(info.get("signo"))
    code = info.get("code")
    parts = [name]
    if code is not None and code > 0:
        meaning = _SIGINFO_CODES.get(name, {}).get(code)
        if meaning:
            parts.append("(%s)" % meaning)
        if name in _FAULT_SIGNALS and info.get("addr") is not None:
            parts.append("at address 0x%x" % info["addr"])
    elif code is not None:
        how = _SENDER_CODES.get(code, "si_code %d" % code)
        sender = info.get("sender_pid")
        parts.append("(sent by %s%s)" % (how, " from process %d" % sender if sender else ""))
    return " ".join(parts)


def _is_interpreter_frame(frame, interpreter_files):
    lib = frame.get("lib") or ""
    return bool(lib) and (os.path.basename(lib).startswith("libpython")
                          or lib in interpreter_files)


def _frame_text(frame):
    name = frame.get("func") or "??"
    if frame.get("kind") == "sigtramp":
        name = "<signal handler called>"
    text = "0x%016x  %s" % (frame.get("pc") or 0, name)
    if frame.get("kind") == "inline":
        text += " [inlined]"
    if frame.get("file"):
        text += " at %s:%s" % (frame["file"], frame.get("line") or "?")
    if frame.get("lib"):
        text += "  (%s)" % os.path.basename(frame["lib"])
    return text


def format_native_stack(thread, interpreter_files, style):
    """Lines for one thread's native stack, with the handler frames folded.

    Frames newer than and including '<signal handler called>' belong to the
    crash handler: they are folded into one line.  The frame just older is
    the one that faulted and is marked.  Runs of three or more interpreter
    frames are folded too, so that extension code stands out.
    """
    frames = thread.get("frames") or []
    lines = []
    sig_at = thread.get("signal_frame")
    start = 0
    if sig_at is not None and 0 <= sig_at < len(frames):
        names = ["<signal handler called>" if f.get("kind") == "sigtramp"
                 else f.get("func") or "??" for f in frames[: sig_at + 1]]
        label = "#0" if sig_at == 0 else "#0-#%d" % sig_at
        lines.append("    %s" % style.dim("%s  crash handler: %s" % (label, ", ".join(names))))
        start = sig_at + 1
    fault_at = start if sig_at is not None and start < len(frames) else None
    i = start
    while i < len(frames):
        j = i
        while (j < len(frames) and j != fault_at
               and _is_interpreter_frame(frames[j], interpreter_files)):
            j += 1
        if j - i >= 3:
            lib = os.path.basename(frames[i].get("lib") or "")
            lines.append("    %s" % style.dim("#%d-#%d  %d frames in the Python interpreter (%s)"
                                              % (i, j - 1, j - i, lib)))
            i = j
            continue
        frame = frames[i]
        text = "#%-3d %s" % (i, _frame_text(frame))
        if i == fault_at:
            lines.append("  %s" % style.alert("> " + text + "   <- faulting frame"))
        else:
            lines.append("    " + text)
        i += 1
    if thread.get("unwind_error"):
        lines.append("    (unwinding stopped: %s)" % thread["unwind_error"])
    elif thread.get("truncated"):
        lines.append("    (only the newest %d frames are shown)" % len(frames))
    if not frames and not thread.get("unwind_error"):
        lines.append("    (no frames)")
    return lines


def format_python_stack(record, result, target_python, style):
    if record is None:
        if result.helpers is None:
            if result.version is None and target_python is None:
                return ["    (none: no Python interpreter is loaded)"]
            return ["    (unavailable: no gdb helpers for this interpreter were found)"]
        if result.helper_error:
            return ["    (unavailable: loading %s failed: %s)"
                    % (result.helpers, result.helper_error)]
        return ["    (not read: gdb stopped first)"]
    if record.get("error"):
        return ["    (%s)" % record["error"]]
    entries = parse_py_bt(record.get("text") or "")
    if not entries:
        return ["    (no Python frames)"]
    lines = []
    for entry in entries[:MAX_PYTHON_FRAMES]:
        if "note" in entry:
            lines.append("    " + style.dim(entry["note"]))
            continue
        lines.append('    File "%s", line %s, in %s' % (entry["file"], entry["line"],
                                                        entry["func"]))
        if entry["source"]:
            lines.append("      " + entry["source"])
    if len(entries) > MAX_PYTHON_FRAMES:
        lines.append("    (%d older entries not shown)" % (len(entries) - MAX_PYTHON_FRAMES))
    return lines


def _talvex_version():
    try:
        from importlib.metadata import version
        return version("talvex")
    except Exception:
        return "unknown (talvex is not installed as a distribution)"


def format_header(target, result, style):
    lines = [style.heading("talvex crash inspector: process %d" % target.pid)]

    def field(name, value):
        lines.append("  %-12s %s" % (name, value))

    field("executable", target.exe or "(unreadable)")
    field("command", shlex.join(target.cmdline) if target.cmdline else "(unreadable)")
    if result.version:
        field("interpreter", "Python %s" % result.version)
    else:
        hint = target.python_version_hint()
        field("interpreter", "Python %s (from file names)" % hint if hint else "(unknown)")
    runtime = target.talvex_runtime()
    field("talvex", "%s; runtime %s" % (
        _talvex_version(), runtime if runtime else "not loaded in this process"))
    signalled = [t for t in result.threads if t.get("signal_frame") is not None]
    if signalled:
        first = signalled[0]
        info = first.get("siginfo")
        what = describe_signal(info) if info else "a signal"
        field("signal", "%s, in thread %s" % (what, first.get("lwp")))
    elif result.threads:
        field("signal", "none: no thread is inside a signal handler")
    return lines


def format_threads(target, result, style):
    lines = []
    interpreter_files = {p for p in [target.exe, os.path.realpath(target.exe or "")] if p}
    for thread in result.threads:
        title = "Thread %s (LWP %s" % (thread.get("num"), thread.get("lwp"))
        if thread.get("name"):
            title += ' "%s"' % thread["name"]
        title += ")"
        if thread.get("lwp") == target.pid:
            title += ", main thread"
        if thread.get("signal_frame") is not None:
            info = thread.get("siginfo")
            title += ", took %s" % (_signal_name(info["signo"]) if info else "a signal")
            title = style.alert(title)
        else:
            title = style.heading(title)
        lines.append("")
        lines.append(title)
        lines.append("  Python stack (most recent call first):")
        lines.extend(format_python_stack(result.python.get(thread.get("num")), result,
                                         target.python_version_hint(), style))
        lines.append("  Native stack (most recent call first):")
        lines.extend(format_native_stack(thread, interpreter_files, style))
    return lines


def format_fallback(target, style):
    lines = ["", style.heading("From /proc/%d:" % target.pid)]
    lines.append("  command line: %s" % (shlex.join(target.cmdline) if target.cmdline
                                        else "(unreadable)"))
    threads = target.threads()
    lines.append("  threads (%d):" % len(threads))
    for tid, name, state, wchan in threads:
        text = "    %-8d %-16s %s (%s)" % (tid, name, _THREAD_STATES.get(state, "?"), state)
        if wchan:
            text += ", waiting in %s" % wchan
        if tid == target.pid:
            text += ", main thread"
        lines.append(text)
    if not target.mapped:
        lines.append("  loaded extension modules: unknown (/proc/%d/maps is unreadable)"
                     % target.pid)
    else:
        modules = target.extension_modules()
        lines.append("  loaded extension modules (%d):" % len(modules))
        lines.extend("    " + m for m in modules)
        others = target.other_libraries()
        if others:
            lines.append("  other shared libraries from outside the system (%d):" % len(others))
            lines.extend("    " + m for m in others)
    return lines


# ---------------------------------------------------------------------------
# The program

def _parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="talvex-CSI",
        description="Print the Python and native stacks of every thread of a live "
                    "process, the thread that took a signal first.  talvex runs it "
                    "on a fatal signal.",
        epilog="%s sets the time bound in seconds (default %g)." % (TIMEOUT_ENV,
                                                                     DEFAULT_TIMEOUT))
    parser.add_argument("--no-color", action="store_true",
                        help="plain text, even on a terminal")
    parser.add_argument("--pid", type=_pid, required=True, help="process to inspect")
    return parser.parse_args(argv)


def _pid(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a process id: %r" % text)
    if value <= 0:
        raise argparse.ArgumentTypeError("not a process id: %r" % text)
    return value


def report(pid, style, out):
    if not os.path.exists("/proc/%d" % pid):
        out.write("talvex-CSI: there is no process %d\n" % pid)
        return EXIT_DEGRADED
    target = Target(pid)
    timeout, note = timeout_from_env(os.environ)
    if note:
        out.write("talvex-CSI: %s\n" % note)
    result = run_gdb(target, timeout)
    lines = format_header(target, result, style)
    if result.problem:
        lines.append(style.alert("talvex-CSI: %s" % result.problem))
    lines.extend(format_threads(target, result, style))
    if result.problem:
        lines.extend(format_fallback(target, style))
    out.write("\n".join(lines) + "\n")
    out.flush()
    return EXIT_DEGRADED if result.problem else EXIT_REPORT


def main(argv=None):
    args = _parse_args(argv)
    out = sys.stdout
    colour = (not args.no_color and "NO_COLOR" not in os.environ
              and hasattr(out, "isatty") and out.isatty())
    style = Style(colour)
    try:
        try:
            return report(args.pid, style, out)
        except Exception as e:  # a crash report must still say something
            out.write("talvex-CSI: internal error: %s: %s\n" % (type(e).__name__, e))
            if os.path.exists("/proc/%d" % args.pid):
                out.write("\n".join(format_fallback(Target(args.pid), Style(False))) + "\n")
            out.flush()
            return EXIT_DEGRADED
    except BrokenPipeError:
        # Whoever reads the report went away; nothing is left to tell.
        try:
            sys.stdout = None
        except Exception:
            pass
        return EXIT_DEGRADED


# ---------------------------------------------------------------------------
# The gdb half: runs inside gdb, started by run_gdb() with -x this file.

def _gdb_collect():
    import gdb

    out = open(os.environ[_ENV_OUT], "w", encoding="utf-8")

    def emit(**record):
        out.write(json.dumps(record) + "\n")
        out.flush()

    try:
        deadline = float(os.environ.get(_ENV_DEADLINE) or "inf")
        inferior = gdb.selected_inferior()
        if not inferior.pid:
            return  # attaching failed; gdb's own message explains why
        helper_path = os.environ.get(_ENV_HELPERS) or None
        helper_error = _gdb_load_helpers(helper_path) if helper_path else None
        emit(kind="interpreter", version=_gdb_python_version(gdb), helper_error=helper_error)

        stacks = []
        for thread in sorted(inferior.threads(), key=lambda t: t.num):
            thread.switch()
            stack = _gdb_native_stack(gdb, inferior)
            stack.update(kind="thread", num=thread.num, lwp=thread.ptid[1], name=thread.name)
            stacks.append(stack)
        # The thread in a signal handler first; sort() keeps the rest in order.
        stacks.sort(key=lambda s: s["signal_frame"] is None)
        for stack in stacks:
            emit(**stack)

        # Python stacks last: the helpers may hit the deadline or loop on a
        # corrupted frame chain, and the native stacks are out already.
        if helper_path and helper_error is None:
            by_num = {t.num: t for t in inferior.threads()}
            for stack in stacks:
                record = {"kind": "python", "num": stack["num"]}
                if time.time() > deadline:
                    record["error"] = "skipped: the time bound was near"
                else:
                    try:
                        by_num[stack["num"]].switch()
                        record["text"] = gdb.execute("py-bt", to_string=True)
                    except Exception as e:
                        record["error"] = "unavailable: py-bt failed: %s" % str(e).strip()
                emit(**record)
        emit(kind="done")
    except Exception as e:
        emit(kind="error", message="%s: %s" % (type(e).__name__, e))
    finally:
        out.close()


def _gdb_load_helpers(path):
    try:
        with open(path, encoding="utf-8") as f:
            code = compile(f.read(), path, "exec")
        exec(code, {"__name__": "talvex_csi_python_gdb", "__file__": path})
        return None
    except Exception as e:
        return "%s: %s" % (type(e).__name__, e)


def _gdb_python_version(gdb):
    try:
        hexversion = int(gdb.parse_and_eval("*(unsigned long *)&Py_Version"))
    except Exception:
        return None
    major, minor, micro = hexversion >> 24, (hexversion >> 16) & 0xFF, (hexversion >> 8) & 0xFF
    level, serial = (hexversion >> 4) & 0xF, hexversion & 0xF
    text = "%d.%d.%d" % (major, minor, micro)
    if level != 0xF:
        text += {0xA: "a", 0xB: "b", 0xC: "rc"}.get(level, "?") + str(serial)
    return text


def _gdb_native_stack(gdb, inferior):
    frames = []
    signal_frame = None
    siginfo = None
    unwind_error = None
    truncated = False
    try:
        frame = gdb.newest_frame()
    except gdb.error as e:
        return {"frames": [], "signal_frame": None, "siginfo": None,
                "unwind_error": str(e), "truncated": False}
    newer = sigtramp_frame = None
    while frame is not None:
        if len(frames) >= MAX_NATIVE_FRAMES:
            truncated = True
            break
        entry = _gdb_frame(gdb, frame)
        if entry["kind"] == "sigtramp" and signal_frame is None:
            signal_frame = len(frames)
            sigtramp_frame = frame
        frames.append(entry)
        try:
            older = frame.older()
        except gdb.error as e:
            unwind_error = str(e)
            break
        if sigtramp_frame is frame:
            signo = _gdb_first_argument(newer) if newer is not None else None
            siginfo = _gdb_siginfo(sigtramp_frame, older, inferior, signo)
        newer, frame = frame, older
    return {"frames": frames, "signal_frame": signal_frame, "siginfo": siginfo,
            "unwind_error": unwind_error, "truncated": truncated}


def _gdb_frame(gdb, frame):
    entry = {"pc": None, "func": None, "file": None, "line": None, "lib": None,
             "kind": "normal"}
    try:
        entry["pc"] = int(frame.pc())
        kind = frame.type()
        if kind == gdb.SIGTRAMP_FRAME:
            entry["kind"] = "sigtramp"
        elif kind == gdb.INLINE_FRAME:
            entry["kind"] = "inline"
        entry["func"] = frame.name()
        sal = frame.find_sal()
        if sal is not None and sal.symtab is not None:
            entry["file"] = sal.symtab.filename
            entry["line"] = sal.line or None
        entry["lib"] = gdb.solib_name(entry["pc"])
        if entry["lib"] is None and entry["func"]:
            # A symbol outside every shared library: the executable's own.
            entry["lib"] = gdb.current_progspace().filename
    except Exception:
        pass  # keep what was read: a frame without symbols is still a frame
    return entry


def _gdb_first_argument(frame):
    """The first argument of the signal handler: the signal number."""
    try:
        block = frame.block()
        while block is not None and block.function is None:
            block = block.superblock
        for symbol in block or ():
            if symbol.is_argument:
                value = frame.read_var(symbol)
                if value.is_optimized_out:
                    return None
                number = int(value)
                return number if 0 < number < 65 else None
    except Exception:
        pass  # no debug information for the handler
    return None


# Linux x86-64 signal frame: the stack pointer of the '<signal handler
# called>' frame points at the kernel's struct ucontext (304 bytes), whose
# saved registers start at offset 40 with rip at +128; the siginfo follows.
# The kernel fills that siginfo only for SA_SIGINFO handlers: elsewhere it
# holds whatever the stack held, so it is used only when it agrees with the
# handler's argument, or when that argument cannot be read.
_UCONTEXT_SIZE = 304
_UC_RIP = 40 + 128


def _gdb_siginfo(sigtramp, interrupted, inferior, signo):
    fallback = {"signo": signo} if signo else None
    try:
        if interrupted is None or sigtramp.architecture().name() != "i386:x86-64":
            return fallback
        sp = int(sigtramp.read_register("rsp"))
        rip = int.from_bytes(bytes(inferior.read_memory(sp + _UC_RIP, 8)), "little")
        if rip != int(interrupted.pc()):
            return fallback  # not the layout expected: better nothing than nonsense
        raw = bytes(inferior.read_memory(sp + _UCONTEXT_SIZE, 24))
    except Exception:
        return fallback
    info_signo, _errno, code = (int.from_bytes(raw[i:i + 4], "little", signed=True)
                                for i in (0, 4, 8))
    if not 0 < info_signo < 65 or (signo and info_signo != signo):
        return fallback
    info = {"signo": info_signo, "code": code}
    if code > 0:
        info["addr"] = int.from_bytes(raw[16:24], "little")
    else:
        info["sender_pid"] = int.from_bytes(raw[16:20], "little", signed=True)
    return info


if __name__ == "__main__":
    if "gdb" in sys.modules:
        _gdb_collect()
    else:
        sys.exit(main())
