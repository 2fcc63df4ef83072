"""The program talvex-CSI: its command line, and the report put together.

Runs in the inspector's process; stacks.py starts the readers.  A crashing
process waits for this program, so py-spy is started first of all, and
everything else is imported and read while it runs.
"""

import os
import sys
import time

from . import STARTED

EXIT_REPORT = 0  # full report
EXIT_DEGRADED = 1  # only what /proc tells, no such process, or not a Python process
# Bad arguments exit with argparse's status, 2.

# A file to which the phases' CLOCK_MONOTONIC times are written, as JSON.
TIMES_ENV = "_TALVEX_CSI_TIMES"
# Tests hold the inspector where py-spy runs and nothing is written yet, to
# send it signals then: it writes its pid into the FIFO this names, then
# waits until the FIFO of the same name plus ".go" is opened and closed.
HOLD_ENV = "_TALVEX_CSI_HOLD"
IMPORTED = time.monotonic()


def _hold():
    path = os.environ.get(HOLD_ENV)
    if path:
        with open(path, "w") as f:
            f.write("%d\n" % os.getpid())
        with open(path + ".go") as f:
            f.read()


def _parse_args(argv):
    # The crash handler's own arguments need no argparse, whose import is a
    # noticeable share of the inspector's run.
    if len(argv) in (2, 3) and argv[-2] == "--pid" and argv[-1].isdigit() \
            and int(argv[-1]) > 0 and argv[:-2] in ([], ["--no-color"]):
        return argv[0] == "--no-color", int(argv[-1])
    import argparse

    from .formatting import talvex_version
    from .stacks import DEFAULT_TIMEOUT, TIMEOUT_ENV

    parser = argparse.ArgumentParser(
        prog="talvex-CSI",
        description="Print the Python and native stacks of every thread of a live "
                    "Python process, the thread that took a signal first.  talvex runs "
                    "it on a fatal signal.",
        epilog="%s sets the time bound in seconds (default %g)." % (TIMEOUT_ENV,
                                                                     DEFAULT_TIMEOUT))
    parser.add_argument("--no-color", action="store_true",
                        help="plain text, even on a terminal")
    parser.add_argument("--pid", type=_pid, required=True, help="process to inspect")
    parser.add_argument("--version", action="version", version="%(prog)s " + talvex_version())
    args = parser.parse_args(argv)
    return args.no_color, args.pid


def _pid(text):
    import argparse

    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a process id: %r" % text)
    if value <= 0:
        raise argparse.ArgumentTypeError("not a process id: %r" % text)
    return value


def report(pid, colour, out):
    if not os.path.exists("/proc/%d" % pid):
        out.write("talvex-CSI: there is no process %d\n" % pid)
        return EXIT_DEGRADED
    from .stacks import start_pyspy, timeout_from_env

    timeout, note = timeout_from_env(os.environ)
    started = start_pyspy(pid, timeout)
    marks = [("started", STARTED), ("imported", IMPORTED), ("py-spy running", time.monotonic())]
    _hold()

    from .elf import python_version
    from .fault import read_context
    from .formatting import Style, format_fallback, format_header, format_threads
    from .procfs import Target
    from .stacks import read_stacks

    style = Style(colour)
    if note:
        out.write("talvex-CSI: %s\n" % note)
    target = Target(pid)
    context = read_context(target)
    if context is not None and context.dumpable is not None:
        target.dumpable = context.dumpable == 1  # 0 and 2 admit only CAP_SYS_PTRACE
    version = python_version(target)
    marks.append(("reading", time.monotonic()))
    stacks = read_stacks(target, context, started)
    marks += stacks.marks + [("stacks read", time.monotonic())]
    if stacks.not_python and context is None:
        # Asked by hand about some other program: nothing more to say.
        out.write("talvex-CSI: %s\n" % stacks.problem)
        out.flush()
        return EXIT_DEGRADED
    lines = format_header(target, stacks, style, context, version)
    if stacks.problem:
        lines.append(style.alert("talvex-CSI: %s" % stacks.problem))
    lines.extend("talvex-CSI: %s" % note for note in stacks.notes)
    if stacks.threads:
        lines.extend(format_threads(target, stacks, style, context))
    if stacks.problem:
        lines.extend(format_fallback(target, style))
    out.write("\n".join(lines) + "\n")
    out.flush()
    _write_times(marks + [("written", time.monotonic())])
    return EXIT_DEGRADED if stacks.problem else EXIT_REPORT


def _write_times(marks):
    path = os.environ.get(TIMES_ENV)
    if path:
        import json

        with open(path, "w") as f:
            json.dump(marks, f)


def main(argv=None):
    no_color, pid = _parse_args(sys.argv[1:] if argv is None else argv)
    out = sys.stdout
    colour = (not no_color and "NO_COLOR" not in os.environ
              and hasattr(out, "isatty") and out.isatty())
    try:
        try:
            status = report(pid, colour, out)
            if no_color and argv is None:
                # Run by a crashing process, which waits for this one: the
                # report is out, and the interpreter's own shutdown would
                # only keep it waiting.
                out.flush()
                sys.stderr.flush()
                os._exit(status)
            return status
        except Exception as e:  # a crash report must still say something
            from .formatting import Style, format_fallback
            from .procfs import Target

            out.write("talvex-CSI: internal error: %s: %s\n" % (type(e).__name__, e))
            if os.path.exists("/proc/%d" % pid):
                out.write("\n".join(format_fallback(Target(pid), Style(False))) + "\n")
            out.flush()
            return EXIT_DEGRADED
    except BrokenPipeError:
        # Whoever reads the report went away; nothing is left to tell.
        try:
            sys.stdout = None
        except Exception:
            pass
        return EXIT_DEGRADED
