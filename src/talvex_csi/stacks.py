"""Every thread's stacks, read from the live target (inspector's process).

Two readers, both installed with talvex, each run as a child process within
the time bound:

- py-spy reads the interpreter's own structures through ptrace and gives,
  for each thread the interpreter knows, its Python frames merged into its
  native stack, in about the time an interpreter takes to start.  It leaves
  out the interpreter's own native frames (the Python frames stand for
  them), gives no address for a frame it could name, and does not see
  threads that never ran Python.
- pystack reads every thread of the process, frame by frame with addresses,
  through libdw; loading each library's symbols makes it several times
  slower.

So py-spy first, and pystack only when py-spy's stacks miss what the report
must show: a thread that never ran Python, a thread without its native
stack, or the frame that faulted (a fault inside the interpreter).

A thread is a dict: "lwp", "python" (its Python frames, the most recent
call first: "func", "file", "line"), "native" (its native frames, the most
recent first: "pc", "func", "file", "line", "lib", "inline", or for a run
of Python frames that py-spy merged in, "python": [names]), "gil",
"python_name"; this module adds "signal_frame" and "fault_frame", the
indexes into "native" of the kernel's signal frame and of the frame that
was running when the signal arrived.
"""

import os
import sys
import time

from . import context_words, installation

# json, select and signal are imported where they are used: py-spy starts
# before them, their import (enum's, for signal) running while it reads.

DEFAULT_TIMEOUT = 30.0
TIMEOUT_ENV = "TALVEX_CSI_TIMEOUT"
# A larger bound is taken as this one, a century (366-day years), by the
# crashing process (parse_bound in crash.cpp) and here alike.
MAX_TIMEOUT = 100 * 366 * 86400.0
# py-spy started by the crashing process's handler: "<pid> <stdout> <stderr>".
STARTED_ENV = "TALVEX_CSI_READER_STARTED"
# Which readers to use: "auto" (the default), "py-spy" or "pystack" alone.
# The benchmarks and tests set it to compare the readers on one report.
READER_ENV = "_TALVEX_CSI_READER"

# x86-64 and aarch64 signal trampolines: rt_sigreturn, where the kernel's
# signal frame starts.
_SIGRETURN_CODE = (b"\x48\xc7\xc0\x0f\x00\x00\x00\x0f\x05", b"\x68\x11\x80\xd2\x01\x00\x00\xd4")
_SIGRETURN_NAMES = ("__restore_rt", "__kernel_rt_sigreturn")


class Stacks:
    def __init__(self):
        self.reader = None  # "py-spy" or "pystack": whose stacks these are
        self.threads = []
        self.problem = None  # one line for the reader when there are no stacks
        self.not_python = False  # the target runs no Python interpreter
        self.notes = []  # lines about parts that could not be read
        self.marks = []  # (what, CLOCK_MONOTONIC seconds), for the benchmarks


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
    return min(value, MAX_TIMEOUT), None


def start_pyspy(pid, timeout):
    """Start py-spy on the process at once, so that it reads the stacks while
    the inspector reads /proc and imports the rest of itself.  Returns what
    read_stacks() takes as its `started`."""
    deadline = time.monotonic() + timeout
    given = _crash_deadline(pid)
    if given is not None:
        # What is left once the readers are done goes to writing the report.
        deadline = min(deadline, given - min(1.0, max(0.0, given - time.monotonic()) / 5))
    started = _started_by_crash_handler(pid)
    if os.environ.get(READER_ENV, "auto") == "pystack":
        if started is not None:
            _stop(started[0])
        return deadline, None, None
    state = _proc_state(pid)
    if started is None:
        spy = _find_tool("py-spy")
        if spy is None:
            return deadline, None, None
        started = _start([spy, "dump", "--native", "--json", "--pid", str(pid)])
    return deadline, "py-spy", (started, state)


def _crash_deadline(pid):
    """When the crashing process that started this inspector stops it and
    dies (CLOCK_MONOTONIC seconds, as time.monotonic()), from the context
    it passed; None for any other process."""
    try:
        return int(context_words(pid)["deadline"]) / 1e9
    except (KeyError, ValueError):
        return None


def _started_by_crash_handler(pid):
    """The py-spy that talvex's crash handler started on the process as it
    started this inspector, as _start() gives it: (pid, stdout, stderr),
    or None. Believed only when the process is this inspector's parent and
    that py-spy its own child."""
    raw = os.environ.pop(STARTED_ENV, None)
    if raw is None or pid != os.getppid():
        return None
    try:
        child, out_fd, err_fd = (int(word) for word in raw.split())
        os.fstat(out_fd)
        os.fstat(err_fd)
    except (ValueError, OSError):
        return None
    # Its parent, from the kernel (also while it waits to be reaped).
    fields = _stat_fields(child)
    return (child, out_fd, err_fd) if fields and fields[1] == b"%d" % os.getpid() else None


def read_stacks(target, context, started):
    """The stacks of every thread, from py-spy, or pystack where needed."""
    stacks = Stacks()
    _read(stacks, target, context, *started)
    if not stacks.threads and not stacks.problem:  # the one reader asked for is missing
        stacks.problem = "%s is not installed, so only /proc could be read" % (
            os.environ.get(READER_ENV))
    if context is not None and context.ip is not None:
        _add_faulting_frame(stacks, target, context)
    return stacks


def _read(stacks, target, context, deadline, spy, running):
    choice = os.environ.get(READER_ENV, "auto")
    refused = None
    if spy:
        threads, problem, refused = _pyspy_result(running, target, deadline)
        stacks.marks.append(("py-spy done", time.monotonic()))
        if threads is not None:
            stacks.reader, stacks.threads = "py-spy", threads
            _locate_frames(stacks.threads, target, context, trusted=False)
        elif refused == "not python":
            stacks.problem, stacks.not_python = problem, True
            return
        else:
            stacks.problem = problem
    missing = _missing(stacks, target, context)
    if choice == "py-spy" or not missing or refused in ("ptrace", "gone", "time"):
        if stacks.threads and missing:
            stacks.notes.append("only py-spy's stacks: %s" % missing)
        return
    threads, problem, refused = _run_pystack(target, deadline)
    stacks.marks.append(("pystack done", time.monotonic()))
    if threads is not None:
        stacks.reader, stacks.threads, stacks.problem = "pystack", threads, None
        _locate_frames(stacks.threads, target, context, trusted=True)
    elif refused == "not python" and not stacks.threads:
        stacks.problem, stacks.not_python = problem, True
    elif stacks.threads:
        stacks.notes.append("%s, and pystack could not read the process: %s" % (
            missing[0].upper() + missing[1:], problem))
    elif spy is None and refused == "missing" and choice == "auto":
        stacks.problem = ("neither py-spy nor pystack is installed where talvex is (%s), so "
                          "only /proc could be read; install them with: %s" % (
                              installation.site_directory(),
                              installation.install_command(installation.READERS)))
    else:  # py-spy's failure, or its absence, and pystack's
        absent = ("py-spy is not installed where talvex is (install it with: %s)"
                  % installation.install_command(["py-spy"])
                  if spy is None and choice == "auto" else None)
        stacks.problem = "; ".join(p for p in (stacks.problem, absent, problem) if p)


def _add_faulting_frame(stacks, target, context):
    """The frame at the faulting instruction, from the context, where the
    signalled thread's stack is read but lacks it (py-spy's alone, for a
    fault inside the interpreter)."""
    thread = next((t for t in stacks.threads if t["lwp"] == context.tid), None)
    if thread is None or thread["fault_frame"] is not None or thread["signal_frame"] is None:
        return
    mapping = target.mapping_at(context.ip)
    s = thread["signal_frame"]
    thread["native"].insert(s + 1, {"pc": context.ip, "func": None, "file": None, "line": None,
                                    "lib": mapping[3] if mapping and mapping[3] else None,
                                    "inline": False, "synthetic": True})
    thread["fault_frame"] = s + 1


def _missing(stacks, target, context):
    """What the report would lack with these stacks, in words, or None."""
    if not stacks.threads:
        return "no stacks"
    read = {t["lwp"] for t in stacks.threads}
    others = [tid for tid, _, _, _ in target.threads() if tid not in read]
    if others:
        return "%d thread%s that never ran Python (LWP %s) not read" % (
            len(others), "" if len(others) == 1 else "s", ", ".join(map(str, others)))
    if any(t["python"] and not t["native"] for t in stacks.threads):
        return "native stacks missing"
    if context is not None:
        thread = next((t for t in stacks.threads if t["lwp"] == context.tid), None)
        if thread is not None and thread["fault_frame"] is None and context.ip is not None:
            return "the faulting frame not read"
    return None


# ---------------------------------------------------------------------------
# py-spy

class _JsonContext:
    # What the json module's C scanner reads from its decoder.
    strict = True
    object_hook = None
    object_pairs_hook = None
    parse_float = float
    parse_int = int
    parse_constant = {"NaN": float("nan"), "Infinity": float("inf"),
                      "-Infinity": float("-inf")}.__getitem__


def _load_json(text):
    """json.loads for py-spy's output, by the json module's C scanner
    alone: the json package imports re, and both cost the inspector
    milliseconds of CPU, which a crash inspected on one core takes from the
    stack reader. ValueError when the text is not one JSON value."""
    try:
        from _json import make_scanner
    except ImportError:
        import json

        return json.loads(text)
    scan = make_scanner(_JsonContext)
    start = len(text) - len(text.lstrip(" \t\n\r"))
    try:
        value, end = scan(text, start)
    except StopIteration as e:
        raise ValueError("invalid JSON at offset %s" % e.value) from None
    if text[end:].strip(" \t\n\r"):
        raise ValueError("extra data after the JSON value at offset %d" % end)
    return value


def _pyspy_result(running, target, deadline):
    """(threads or None, problem, why refused or None)."""
    status, out, err, timed_out = _finish(running, target.pid, deadline)
    if timed_out:
        return None, _timeout_problem("py-spy"), "time"
    if status == 0:
        try:
            return _pyspy_threads(_load_json(out)), None, None
        except (ValueError, TypeError, KeyError, AttributeError) as e:
            return None, "py-spy's output could not be read (%s)" % e, "output"
    problem, why = _explain_failure("py-spy", err or out, status, target)
    return None, problem, why


def _pyspy_threads(data):
    threads = []
    for record in data:
        python, native = [], []
        for frame in record["frames"]:
            name = frame.get("name") or "??"
            if frame.get("module") is None:
                python.append({"func": name, "file": frame.get("filename"),
                               "line": frame.get("line") or None})
                if native and "python" in native[-1]:
                    native[-1]["python"].append(name)
                else:
                    native.append({"python": [name]})
                continue
            lib = frame["module"]
            pc = None
            if name.startswith("0x"):
                try:
                    pc, name = int(name, 16), None
                except ValueError:
                    pass
            source = frame.get("filename")
            if source == lib:
                source = None
            native.append({"pc": pc, "func": name, "file": source,
                           "line": (frame.get("line") or None) if source else None,
                           "lib": lib, "inline": False})
        if not any("python" not in f for f in native):
            native = []  # py-spy could not unwind this thread's native stack
        threads.append({"lwp": record["os_thread_id"], "python": python, "native": native,
                        "gil": bool(record.get("owns_gil")),
                        "python_name": record.get("thread_name")})
    return threads


# ---------------------------------------------------------------------------
# pystack

def _run_pystack(target, deadline):
    import json

    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pystack_child.py")
    cmd = [sys.executable, "-P", script, str(target.pid)]
    # pystack where it is installed with this inspector, whatever the path.
    found = installation.pystack_directory()
    env = dict(os.environ)
    if found:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (found, env.get("PYTHONPATH")) if p)
    status, out, err, timed_out = _finish((_start(cmd, env), target.state), target.pid,
                                          deadline)
    if timed_out:
        return None, _timeout_problem("pystack"), "time"
    try:
        data = json.loads(out)
    except ValueError:
        last = (err.strip().splitlines() or ["no output"])[-1]
        return None, "pystack failed (exit status %s: %s)" % (status, last), "output"
    if "error" in data:
        if data["error"] == "missing":
            return None, "pystack is not installed (%s); install it with: %s" % (
                data["message"], installation.install_command(["pystack"])), "missing"
        problem, why = _explain_failure("pystack", data["message"], status, target,
                                        not_python=data["error"] == "InvalidPythonProcess")
        return None, problem, why
    return data["threads"], None, None


# ---------------------------------------------------------------------------
# Both

def _find_tool(name):
    """A program installed with this inspector: where pip put it with this
    installation, beside the inspector's interpreter (a venv's bin/), on
    PATH, or in the user's scripts directory (pip install --user)."""
    if name == "py-spy":
        found = installation.pyspy()
        if found:
            return found
    here = os.path.dirname(sys.executable)
    directories = [here] + os.environ.get("PATH", os.defpath).split(os.pathsep)
    for directory in directories:
        path = os.path.join(directory or ".", name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    import sysconfig  # only now: it costs a few milliseconds

    path = os.path.join(sysconfig.get_path("scripts", "%s_user" % os.name), name)
    return path if os.path.isfile(path) and os.access(path, os.X_OK) else None


def _start(cmd, env=None):
    """A reader's process, in a session of its own (so that it and anything
    it starts can be stopped together), its output on two pipes: (pid,
    stdout, stderr), or the OSError that kept it from starting.  Started
    with posix_spawn: subprocess's own imports would delay py-spy's start."""
    out_r, out_w = os.pipe()
    err_r, err_w = os.pipe()
    try:
        pid = os.posix_spawn(cmd[0], cmd, env or os.environ, setsid=True, file_actions=[
            (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
            (os.POSIX_SPAWN_DUP2, out_w, 1),
            (os.POSIX_SPAWN_DUP2, err_w, 2),
        ])
    except OSError as e:
        for fd in (out_r, err_r):
            os.close(fd)
        return e
    finally:
        os.close(out_w)
        os.close(err_w)
    return pid, out_r, err_r


def _finish(running, pid, deadline):
    """Read a reader's output until it ends or the deadline, less a grace to
    stop it: (exit status, stdout, stderr, timed out)."""
    import select

    proc, target_state = running
    if isinstance(proc, OSError):
        return 127, "", str(proc), False
    child, out_fd, err_fd = proc
    data = {out_fd: [], err_fd: []}
    poller = select.poll()
    for fd in data:
        poller.register(fd, select.POLLIN)
    open_fds = set(data)
    end = deadline - 0.5
    timed_out = False
    while open_fds:
        left = end - time.monotonic()
        if left <= 0:
            timed_out = True
            break
        # poll() takes an int of milliseconds: a long bound is waited for
        # a day at a time.
        for fd, _ in poller.poll(max(1, int(min(left, 86400) * 1000))):
            chunk = os.read(fd, 65536)
            if chunk:
                data[fd].append(chunk)
            else:
                poller.unregister(fd)
                open_fds.discard(fd)
    for fd in data:
        os.close(fd)
    if timed_out:
        _stop(child)
        if target_state != "T":
            _resume_if_stopped(pid)
        status = None
    else:
        status = os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])
    return (status, b"".join(data[out_fd]).decode("utf-8", "replace"),
            b"".join(data[err_fd]).decode("utf-8", "replace"), timed_out)


def _stop(child):
    """End a reader and anything it started (its session's process group);
    the kernel detaches it from the target as it dies."""
    import signal

    try:
        os.killpg(child, signal.SIGKILL)
    except OSError:
        pass
    try:
        os.waitpid(child, 0)
    except ChildProcessError:
        pass


def _resume_if_stopped(pid):
    # A tracer killed while attached can leave its tracee in group stop, and
    # a crashing process left stopped would never finish dying.
    import signal

    if _proc_state(pid) == "T":
        try:
            os.kill(pid, signal.SIGCONT)
        except OSError:
            pass


def _stat_fields(pid):
    """The fields of /proc/PID/stat after the command name (state, parent,
    ...), or None; as procfs reads them, without importing procfs before
    py-spy starts. The name may hold spaces and parentheses: the fields
    follow the last ')'."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            return f.read().rsplit(b")", 1)[1].split() or None
    except (OSError, IndexError):
        return None


def _proc_state(pid):
    fields = _stat_fields(pid)
    return fields[0].decode() if fields else "?"


def _timeout_problem(reader):
    return ("%s did not finish within the time bound and was stopped; set %s to more "
            "seconds if the process has very many threads" % (reader, TIMEOUT_ENV))


def _explain_failure(reader, output, status, target, not_python=False):
    """One line on why a reader gave no stacks, and the kind of failure."""
    lines = [l.strip() for l in output.splitlines() if l.strip()]
    text = " ".join(lines)
    if not_python or any(words in text for words in (
            "Failed to find python version", "Failed to find a python interpreter",
            "Could not determine python version")):
        return ("process %d is not running Python: %s found no Python interpreter in it"
                % (target.pid, reader)), "not python"
    if not os.path.exists("/proc/%d" % target.pid) or "No such process" in text \
            or "ESRCH" in text:
        return "process %d went away before %s could read it" % (target.pid, reader), "gone"
    if any(word in text for word in ("EPERM", "Operation not permitted", "Permission Denied",
                                     "Permission denied")):
        return _ptrace_refused(reader, target), "ptrace"
    last = lines[-1] if lines else "no output"
    if lines and lines[0].startswith("Error:"):
        last = " ".join(lines[:3])
    return "%s failed (exit status %s: %s)" % (reader, status, last), "failed"


def _ptrace_refused(reader, target):
    from .procfs import read_text

    why = "%s could not attach (ptrace: Operation not permitted)" % reader
    tracer = target.tracer_pid
    if tracer:
        name = (read_text("/proc/%d/comm" % tracer) or "?").strip()
        return ("%s: process %d is already traced by process %d (%s); detach that debugger "
                "and run talvex-CSI --pid %d again" % (why, target.pid, tracer, name,
                                                       target.pid))
    scope = (read_text("/proc/sys/kernel/yama/ptrace_scope") or "").strip()
    if scope == "3":
        return ("%s: kernel.yama.ptrace_scope is 3, which forbids attaching until the next "
                "boot" % why)
    if scope in ("1", "2") and os.geteuid() != 0:
        return ("%s: kernel.yama.ptrace_scope is %s, which lets only %s attach; run as root, "
                "or allow it with 'sysctl kernel.yama.ptrace_scope=0'" % (
                    why, scope, "ancestors and named tracers" if scope == "1" else "root"))
    if target.dumpable is False:
        return ("%s: the process is not dumpable, so only a tracer with CAP_SYS_PTRACE may "
                "attach to it (prctl(PR_SET_DUMPABLE, 0), a change of its user or group ids "
                "or a set-user-ID program make a process so)" % why)
    if target.uid is not None and target.uid != os.geteuid():
        return ("%s: process %d runs as user %d; run as that user or as root, and in a "
                "container grant CAP_SYS_PTRACE (docker run --cap-add=SYS_PTRACE)"
                % (why, target.pid, target.uid))
    return ("%s; in a container grant CAP_SYS_PTRACE (docker run --cap-add=SYS_PTRACE)"
            % why)


# ---------------------------------------------------------------------------
# The signal frame and the frame that faulted

def _locate_frames(threads, target, context, trusted):
    """Set each thread's "signal_frame" and "fault_frame".

    The signal frame is the kernel's return trampoline (rt_sigreturn), found
    by its name or its code.  The frame after it was running when the signal
    arrived.  With the crashing process's context, that frame must be at the
    instruction it names: pystack's frames have addresses; py-spy's frame
    is believed only when it lies in the mapping of that instruction and
    that mapping is not the interpreter, whose frames py-spy leaves out
    (trusted is False).
    """
    for thread in threads:
        native = thread["native"]
        thread["signal_frame"] = thread["fault_frame"] = None
        for i, frame in enumerate(native):
            if "python" not in frame and _is_sigreturn(frame, target):
                frame["kind"] = "sigtramp"
                thread["signal_frame"] = i
                break
        s = thread["signal_frame"]
        if s is None or s + 1 >= len(native) or "python" in native[s + 1]:
            continue
        candidate = native[s + 1]
        signalled = context is not None and context.tid == thread["lwp"]
        if not signalled or context.ip is None:
            thread["fault_frame"] = s + 1
        elif candidate.get("pc") == context.ip:
            thread["fault_frame"] = s + 1
        elif not trusted and candidate.get("pc") is None:
            mapping = target.mapping_at(context.ip)
            lib = mapping[3] if mapping else None
            if lib and candidate.get("lib") in (lib, os.path.realpath(lib)) \
                    and not target.is_interpreter_file(lib):
                thread["fault_frame"] = s + 1
                candidate["pc"] = context.ip  # py-spy names a frame without its address


def _is_sigreturn(frame, target):
    if frame.get("func") in _SIGRETURN_NAMES:
        return True
    pc = frame.get("pc")
    if pc is None or frame.get("func"):
        return False
    code = target.read_memory(pc, 9)
    return code is not None and any(code.startswith(c) for c in _SIGRETURN_CODE)
