"""The report's text (inspector's process): header, threads, /proc fallback.

Formats what procfs.py read and what inside_gdb.py saw, as gdb_driver.py
handed it over; reads nothing itself.
"""

import os
import re
import shlex
import signal

from .fault import describe_fault, describe_instruction, was_sent

MAX_PYTHON_FRAMES = 80

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


def format_header(target, result, style, context=None):
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
        talvex_version(), runtime if runtime else "not loaded in this process"))
    for name, value in _signal_fields(target, result, context):
        field(name, value)
    return lines


def _signal_fields(target, result, context):
    """The header's (name, text) lines about the signal and the fault."""
    if context is None:
        first = signalled_thread(result, None)
        if first is not None:
            info = first.get("siginfo")
            what = describe_signal(info) if info else "a signal"
            return [("signal", "%s, in thread %s" % (what, first.get("lwp")))]
        return [("signal", "none: no thread is inside a signal handler")] if result.threads else []
    what, fault = _signal_name(context.signo), None
    if was_sent(context, target):
        what += " (raised or sent, not a fault)"
    else:
        fault = describe_fault(context, target)
    fields = [("signal", "%s, in thread %d" % (what, context.tid))]
    if fault:
        fields.append(("fault", fault))
    thread = signalled_thread(result, context) or {}
    instruction = describe_instruction(context, target, thread.get("frames") or [])
    if instruction:
        fields.append(("instruction", instruction))
    return fields


def signalled_thread(result, context):
    """gdb's record of the thread that took the signal, or None.

    The crashing process names it when it passed its context; otherwise it
    is the first thread found inside a signal handler.
    """
    for thread in result.threads:
        if (thread.get("lwp") == context.tid if context is not None
                else thread.get("signal_frame") is not None):
            return thread
    return None


def format_threads(target, result, style, context=None):
    lines = []
    interpreter_files = {p for p in [target.exe, os.path.realpath(target.exe or "")] if p}
    signalled = signalled_thread(result, context)
    for thread in sorted(result.threads, key=lambda t: t is not signalled):
        title = "Thread %s (LWP %s" % (thread.get("num"), thread.get("lwp"))
        if thread.get("name"):
            title += ' "%s"' % thread["name"]
        title += ")"
        if thread.get("lwp") == target.pid:
            title += ", main thread"
        if thread is signalled and context is not None:
            title = style.alert(title + ", took %s" % _signal_name(context.signo))
        elif thread.get("signal_frame") is not None and context is None:
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

