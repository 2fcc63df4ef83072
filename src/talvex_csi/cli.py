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
EXIT_USAGE = 2  # bad arguments (argparse's own status)
EXIT_STATUSES = """\
exit status:
  %d  the report, with every thread's stacks
  %d  a report without the stacks (only what /proc tells: the reason is on
     standard error), no such process, or a process that runs no Python
  %d  bad arguments""" % (EXIT_REPORT, EXIT_DEGRADED, EXIT_USAGE)

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
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Print the Python and native stacks of every thread of a live "
                    "Python process, the thread that took a signal first.  talvex runs "
                    "it on a fatal signal.",
        epilog="%s sets the time bound in seconds (default %g).\n\n%s" % (
            TIMEOUT_ENV, DEFAULT_TIMEOUT, EXIT_STATUSES))
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


class Output:
    """The report on standard output, what went wrong on standard error.
    Each write is flushed, and the other stream before it: run by a crashing
    process, both are one pipe, and the report must read in order."""

    def __init__(self, out, err):
        self.out, self.err = out, err

    def _write(self, stream, other, lines):
        if lines:
            other.flush()
            stream.write("\n".join(lines) + "\n")
            stream.flush()

    def report(self, *lines):
        self._write(self.out, self.err, lines)

    def error(self, *lines):
        self._write(self.err, self.out, lines)


def report(pid, colour, output):
    if not os.path.exists("/proc/%d" % pid):
        output.error("talvex-CSI: there is no process %d" % pid)
        return EXIT_DEGRADED
    from .stacks import start_pyspy, timeout_from_env

    timeout, note = timeout_from_env(os.environ)
    started = start_pyspy(pid, timeout)
    marks = [("started", STARTED), ("imported", IMPORTED), ("py-spy running", time.monotonic())]
    _hold()

    from .elf import python_version
    from .fault import read_context
    from .formatting import (Style, format_fallback, format_header_end, format_header_start,
                             format_threads)
    from .procfs import Target
    from .stacks import read_stacks

    style = Style(colour)
    if note:
        output.error("talvex-CSI: %s" % note)
    target = Target(pid)
    context = read_context(target)
    if context is not None and context.dumpable is not None:
        target.dumpable = context.dumpable == 1  # 0 and 2 admit only CAP_SYS_PTRACE
    version = python_version(target)
    if context is not None:
        # The crashing process waits for this report and stops it at its
        # bound: what /proc and the context tell goes out before the stacks,
        # which take longest.
        output.report(*format_header_start(target, style, context, version))
    marks.append(("reading", time.monotonic()))
    stacks = read_stacks(target, context, started)
    marks += stacks.marks + [("stacks read", time.monotonic())]
    if stacks.not_python and context is None:
        # Asked by hand about some other program: nothing more to say.
        output.error("talvex-CSI: %s" % stacks.problem)
        return EXIT_DEGRADED
    if context is None:
        output.report(*format_header_start(target, style, context, version, stacks))
    output.report(*format_header_end(target, stacks, context))
    if stacks.problem:
        alert = style if output.err.isatty() else Style(False)
        output.error(alert.alert("talvex-CSI: %s" % stacks.problem))
    output.error(*["talvex-CSI: %s" % note for note in stacks.notes])
    if stacks.threads:
        output.report(*format_threads(target, stacks, style, context))
    if stacks.problem:
        output.report(*format_fallback(target, style))
    _write_times(marks + [("written", time.monotonic())])
    return EXIT_DEGRADED if stacks.problem else EXIT_REPORT


def _write_times(marks):
    # JSON written by hand: the json module imports re and enum, which the
    # crash path no longer does, and importing them here, after the last
    # mark, made the crash look 9 ms slower to the benchmarks than it is.
    path = os.environ.get(TIMES_ENV)
    if path:
        with open(path, "w") as f:
            f.write("[%s]" % ", ".join('["%s", %r]' % (name, float(t)) for name, t in marks))


def main(argv=None):
    no_color, pid = _parse_args(sys.argv[1:] if argv is None else argv)
    out = sys.stdout
    output = Output(out, sys.stderr)
    colour = (not no_color and "NO_COLOR" not in os.environ
              and hasattr(out, "isatty") and out.isatty())
    try:
        try:
            status = report(pid, colour, output)
            if no_color and argv is None:
                # Run by a crashing process, which waits for this one: the
                # report is out, and the interpreter's own shutdown would
                # only keep it waiting.
                os._exit(status)
            return status
        except Exception as e:  # a crash report must still say something
            from .formatting import Style, format_fallback
            from .procfs import Target

            output.error("talvex-CSI: internal error: %s: %s" % (type(e).__name__, e))
            if os.path.exists("/proc/%d" % pid):
                output.report(*format_fallback(Target(pid), Style(False)))
            return EXIT_DEGRADED
    except BrokenPipeError:
        # Whoever reads the report went away; nothing is left to tell.
        try:
            sys.stdout = None
        except Exception:
            pass
        return EXIT_DEGRADED
