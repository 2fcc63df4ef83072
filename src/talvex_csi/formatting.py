"""The report's text (inspector's process): header, threads, /proc fallback.

Formats what procfs.py read from /proc and what stacks.py read with py-spy
or pystack; reads nothing of the target itself.
"""

import _signal
import os

from .fault import FAULT_SIGNALS, describe_fault, describe_instruction, signal_origin

MAX_PYTHON_FRAMES = 80
MAX_NATIVE_FRAMES = 60

_THREAD_STATES = {
    "R": "running", "S": "sleeping", "D": "disk sleep", "T": "stopped",
    "t": "tracing stop", "Z": "zombie", "X": "dead", "I": "idle",
}


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


# What signal.Signals(n).name gives (of two names for one number, the first
# in order), from the signal module's C half: the enum's own import costs
# the inspector milliseconds of CPU.
_SIGNAL_NAMES = {}
for _name in sorted(vars(_signal)):
    _value = getattr(_signal, _name)
    if _name.startswith("SIG") and not _name.startswith("SIG_") and isinstance(_value, int):
        _SIGNAL_NAMES.setdefault(_value, _name)


def _signal_name(signo):
    return _SIGNAL_NAMES.get(signo) or "signal %s" % signo


# shlex.join, without the re module that shlex imports.
_SHELL_SAFE = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                        "_@%+=:,./-")


def _shell_quote(word):
    if not word:
        return "''"
    if all(c in _SHELL_SAFE for c in word):
        return word
    return "'" + word.replace("'", "'\"'\"'") + "'"


def _shell_join(words):
    return " ".join(_shell_quote(w) for w in words)


def _frame_text(frame):
    if "python" in frame:
        return "(Python: %s)" % ", ".join(frame["python"])
    name = frame.get("func") or "??"
    if frame.get("kind") == "sigtramp":
        name = "<signal handler called>"
    pc = frame.get("pc")
    text = "%-18s  %s" % ("0x%016x" % pc if pc is not None else "", name)
    if frame.get("inline"):
        text += " [inlined]"
    if frame.get("file"):
        text += " at %s:%s" % (frame["file"], frame.get("line") or "?")
    if frame.get("lib"):
        text += "  (%s)" % os.path.basename(frame["lib"])
    if frame.get("synthetic"):
        text += "  [from the signal's context: the stack reader did not see this frame]"
    return text


def format_native_stack(thread, target, style):
    """Lines for one thread's native stack, with the handler frames folded.

    Frames newer than and including '<signal handler called>' belong to the
    crash handler: they are folded into one line.  The frame that was
    running when the signal arrived is marked.  Runs of three or more
    interpreter frames are folded too, so that extension code stands out.
    """
    frames = thread.get("native") or []
    lines = []
    sig_at = thread.get("signal_frame")
    fault_at = thread.get("fault_frame")
    start = 0
    if sig_at is not None:
        names = ["<signal handler called>" if f.get("kind") == "sigtramp"
                 else f.get("func") or "??" for f in frames[: sig_at + 1]]
        label = "#0" if sig_at == 0 else "#0-#%d" % sig_at
        lines.append("    %s" % style.dim("%s  crash handler: %s" % (label, ", ".join(names))))
        start = sig_at + 1
    shown = frames[:MAX_NATIVE_FRAMES]
    i = start
    while i < len(shown):
        j = i
        while (j < len(shown) and j != fault_at and "python" not in shown[j]
               and target.is_interpreter_file(shown[j].get("lib"))):
            j += 1
        if j - i >= 3:
            lib = os.path.basename(shown[i].get("lib") or "")
            lines.append("    %s" % style.dim("#%d-#%d  %d frames in the Python interpreter (%s)"
                                              % (i, j - 1, j - i, lib)))
            i = j
            continue
        text = "#%-3d %s" % (i, _frame_text(shown[i]))
        if i == fault_at:
            lines.append("  %s" % style.alert("> " + text + "   <- faulting frame"))
        elif "python" in shown[i]:
            lines.append("    " + style.dim(text))
        else:
            lines.append("    " + text)
        i += 1
    if len(frames) > len(shown):
        lines.append("    (only the newest %d frames are shown)" % len(shown))
    if not frames:
        lines.append("    (not read)")
    return lines


def format_python_stack(thread, style, sources):
    frames = thread.get("python") or []
    if not frames:
        return ["    (no Python frames)"]
    lines = []
    for frame in frames[:MAX_PYTHON_FRAMES]:
        lines.append('    File "%s", line %s, in %s' % (frame.get("file"), frame.get("line"),
                                                        frame.get("func")))
        source = _source_line(frame.get("file"), frame.get("line"), sources)
        if source:
            lines.append("      " + source)
    if len(frames) > MAX_PYTHON_FRAMES:
        lines.append("    (%d older frames not shown)" % (len(frames) - MAX_PYTHON_FRAMES))
    return lines


def _source_line(path, line, sources):
    """A line of a Python source file, from a cache of the files read."""
    if not path or not isinstance(line, int) or line < 1:
        return None
    if path not in sources:
        try:
            with open(path, "rb") as f:
                sources[path] = f.read().decode("utf-8", "replace").splitlines()
        except (OSError, ValueError):
            sources[path] = []
    lines = sources[path]
    return lines[line - 1].strip() if line <= len(lines) else None


def talvex_version():
    """The version of the talvex distribution this inspector came with."""
    try:
        from ._version import __version__  # written when the wheel is built
        return __version__
    except ImportError:
        pass
    try:
        from importlib.metadata import version
        return version("talvex")
    except Exception:
        return "unknown (talvex is not installed as a distribution)"


def format_header(target, stacks, style, context=None, version=None):
    """The whole header, once the stacks are read."""
    return (format_header_start(target, style, context, version, stacks)
            + format_header_end(target, stacks, context))


def format_header_start(target, style, context=None, version=None, stacks=None):
    """The header's lines that /proc and the crashing process's context
    give: the process, the signal and the fault. With a context they need
    no stacks, and go out before the stacks are read."""
    lines = [style.heading("talvex crash inspector: process %d" % target.pid)]
    fields = [
        ("executable", target.exe or "(unreadable)"),
        ("command", _shell_join(target.cmdline) if target.cmdline else "(unreadable)"),
    ]
    if version:
        fields.append(("interpreter", "Python %s" % version))
    else:
        hint = target.python_version_hint()
        fields.append(("interpreter",
                       "Python %s (from file names)" % hint if hint else "(unknown)"))
    runtime = target.talvex_runtime()
    fields.append(("talvex", "%s; runtime %s" % (
        talvex_version(), runtime if runtime
        else "not loaded in this process" if target.maps_readable
        else "unknown (/proc/%d/maps is unreadable)" % target.pid)))
    fields += _signal_fields(target, stacks, context)
    return lines + [_field(name, value) for name, value in fields]


def format_header_end(target, stacks, context=None):
    """The header's lines that need the stacks: the faulting instruction's
    function, and the reader."""
    fields = []
    if context is not None:
        instruction = _instruction(target, stacks, context)
        if instruction:
            fields.append(("instruction", instruction))
    if stacks.reader:
        fields.append(("stacks", "read with %s" % stacks.reader))
    return [_field(name, value) for name, value in fields]


def _field(name, value):
    return "  %-12s %s" % (name, value)


def _signal_fields(target, stacks, context):
    """The header's (name, text) lines about the signal and the fault.
    Without a context, which thread is in a signal handler is learnt from
    the stacks."""
    if context is None:
        first = next((t for t in stacks.threads if t.get("signal_frame") is not None), None)
        if first is not None:
            return [("signal", "in a signal handler, in thread %d (which signal is known "
                               "only from the crashing process)" % first["lwp"])]
        return [("signal", "none: no thread is inside a signal handler")] \
            if stacks.threads else []
    what, fault = _signal_name(context.signo), None
    origin = signal_origin(context, target)
    if origin:
        what += " (%s%s)" % (origin, ", not a fault" if context.signo in FAULT_SIGNALS else "")
    else:
        fault = describe_fault(context, target)
    fields = [("signal", "%s, in thread %d" % (what, context.tid))]
    if fault:
        fields.append(("fault", fault))
    return fields


def _instruction(target, stacks, context):
    """The instruction line: its address, object, and the function the
    stack reader found there."""
    function = None
    thread = signalled_thread(stacks, context)
    if thread is not None and thread.get("fault_frame") is not None:
        frame = thread["native"][thread["fault_frame"]]
        if not frame.get("synthetic"):
            function = frame.get("func")
    return describe_instruction(context, target, function)


def signalled_thread(stacks, context):
    """The stacks of the thread that took the signal, or None.

    The crashing process names it when it passed its context; otherwise it
    is the first thread found inside a signal handler.
    """
    for thread in stacks.threads:
        if (thread["lwp"] == context.tid if context is not None
                else thread.get("signal_frame") is not None):
            return thread
    return None


def format_threads(target, stacks, style, context=None):
    """Every thread: those the readers read, and from /proc those they did not."""
    proc = {tid: (name, state, wchan) for tid, name, state, wchan in target.threads()}
    read = {t["lwp"]: t for t in stacks.threads}
    lwps = sorted(set(proc) | set(read), key=lambda lwp: (lwp != target.pid, lwp))
    number = {lwp: i + 1 for i, lwp in enumerate(lwps)}
    signalled = signalled_thread(stacks, context)
    first = signalled["lwp"] if signalled else (context.tid if context else None)
    sources = {}
    lines = []
    for lwp in sorted(lwps, key=lambda lwp: lwp != first):
        name, state, wchan = proc.get(lwp, (None, None, None))
        thread = read.get(lwp)
        title = "Thread %d (LWP %d" % (number[lwp], lwp)
        if name:
            title += ' "%s"' % name
        title += ")"
        if lwp == target.pid:
            title += ", main thread"
        if thread and thread.get("python_name"):
            title += ', Python thread "%s"' % thread["python_name"]
        if thread and thread.get("gil"):
            title += ", holds the GIL"
        if lwp == first and context is not None:
            title = style.alert(title + ", took %s" % _signal_name(context.signo))
        elif lwp == first and thread is not None:
            title = style.alert(title + ", in a signal handler")
        else:
            title = style.heading(title)
        lines.append("")
        lines.append(title)
        if thread is None:
            text = "  (stacks not read)"
            if state:
                text += "; %s (%s)%s" % (_THREAD_STATES.get(state, "?"), state,
                                         ", waiting in %s" % wchan if wchan else "")
            lines.append(text)
            continue
        lines.append("  Python stack (most recent call first):")
        lines.extend(format_python_stack(thread, style, sources))
        lines.append("  Native stack (most recent call first):")
        lines.extend(format_native_stack(thread, target, style))
    return lines


def format_fallback(target, style):
    lines = ["", style.heading("From /proc/%d:" % target.pid)]
    lines.append("  command line: %s" % (_shell_join(target.cmdline) if target.cmdline
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
    if not target.maps_readable:
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

