"""Crash reports kept in the state directory.

A process whose standard error is a pipe it reads itself (a notebook kernel
forwarding its own output) and that has no other standard error cannot show
its crash report anywhere: nobody reads that pipe once the process stops.
The report then goes to a file of its own, ``crash-<seconds>-<pid>.txt``,
in ``$XDG_STATE_HOME/talvex`` (``~/.local/state/talvex`` by default), with
a mark beside it until it is announced: the next ``import talvex`` of that
user names it once on standard error, and ``python -m talvex
--crash-reports`` lists every report kept there.
"""

import os
import sys

# Beside a report until it is announced (written by the crash path).
MARK = ".unannounced"


def _report_key(name: str) -> tuple[int, int] | None:
    """(seconds, pid) of a report's file name, or None for any other name."""
    if not (name.startswith("crash-") and name.endswith(".txt")):
        return None
    seconds, _, pid = name[len("crash-"):-len(".txt")].partition("-")
    if not (seconds.isdigit() and pid.isdigit()):
        return None
    return int(seconds), int(pid)


def state_directory() -> str | None:
    """Where the crash path keeps reports, or None when neither
    XDG_STATE_HOME nor HOME is an absolute path. talvex.signals takes it from
    here at initialisation."""
    state = os.environ.get("XDG_STATE_HOME", "")
    if state.startswith("/"):
        return os.path.join(state, "talvex")
    home = os.environ.get("HOME", "")
    if home.startswith("/"):
        return os.path.join(home, ".local", "state", "talvex")
    return None


def saved_reports() -> list[str]:
    """The paths of the reports kept in the state directory, oldest first."""
    directory = state_directory()
    if directory is None:
        return []
    try:
        names = os.listdir(directory)
    except OSError:
        return []
    found = sorted((key, name) for name in names if (key := _report_key(name)) is not None)
    return [os.path.join(directory, name) for _, name in found]


def take_unannounced(reports: list[str]) -> list[str]:
    """Those of `reports` not announced yet, their marks taken away: each is
    announced once, by whichever process removes its mark."""
    taken = []
    for path in reports:
        try:
            os.unlink(path + MARK)
        except OSError:
            continue
        taken.append(path)
    return taken


def announce() -> None:
    """At start: one line on standard error for each report not announced yet."""
    if sys.stderr is None:
        return
    for path in take_unannounced(saved_reports()):
        print("talvex: the report of an earlier crash, which could not be shown, is kept in "
              "%s (python -m talvex --crash-reports lists them)" % path, file=sys.stderr)
