"""The program talvex-CSI: its command line, and the report put together.

Runs in the inspector's process; stacks.py starts the readers.
"""

import argparse
import os
import sys
import time

from . import STARTED
from .elf import python_version
from .fault import read_context
from .formatting import Style, format_fallback, format_header, format_threads, talvex_version
from .procfs import Target
from .stacks import DEFAULT_TIMEOUT, TIMEOUT_ENV, read_stacks, timeout_from_env

EXIT_REPORT = 0  # full report
EXIT_DEGRADED = 1  # only what /proc tells, no such process, or not a Python process
# Bad arguments exit with argparse's status, 2.

# A file to which the phases' CLOCK_MONOTONIC times are written, as JSON.
TIMES_ENV = "_TALVEX_CSI_TIMES"
IMPORTED = time.monotonic()


def _parse_args(argv):
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
    context = read_context(target)
    marks = [("started", STARTED), ("imported", IMPORTED), ("reading", time.monotonic())]
    stacks = read_stacks(target, context, timeout)
    marks += stacks.marks
    if stacks.not_python and context is None:
        # Asked by hand about some other program: nothing more to say.
        out.write("talvex-CSI: %s\n" % stacks.problem)
        out.flush()
        return EXIT_DEGRADED
    lines = format_header(target, stacks, style, context, python_version(target))
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
