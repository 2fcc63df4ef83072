"""Reads every thread of a process with pystack; run as a child of the inspector.

    python -P .../talvex_csi/pystack_child.py PID

Writes one JSON document on standard output: the threads, each with its
Python frames and native frames, the most recent call first, in the shape
that stacks.py uses for py-spy's; or {"error": ..., "message": ...}.  A
child process, so that the inspector can bound its time as it does
py-spy's; a script importing nothing of talvex_csi, so that it runs by its
path under the inspector's interpreter.
"""

import json
import sys
import time


def main(argv):
    pid = int(argv[1])
    started = time.monotonic()
    try:
        from pystack.engine import NativeReportingMode, get_process_threads
    except ImportError as e:
        return _fail("missing", str(e))
    imported = time.monotonic()
    try:
        threads = list(get_process_threads(pid, stop_process=True,
                                           native_mode=NativeReportingMode.ALL))
    except Exception as e:  # pystack's errors carry its own explanation
        return _fail(type(e).__name__, " ".join(str(e).split()))
    read = time.monotonic()
    records = []
    for thread in threads:
        python = [{"func": f.code.scope, "file": f.code.filename,
                   "line": f.code.location.lineno or None}
                  for f in reversed(list(thread.frames))]
        native = [_native_frame(f) for f in reversed(thread.native_frames)]
        records.append({"lwp": thread.tid, "python": python, "native": native,
                        "gil": bool(thread.holds_the_gil > 0), "python_name": None})
    print(json.dumps({"threads": records,
                      "marks": [["pystack started", started], ["pystack imported", imported],
                                ["pystack read", read]]}))
    return 0


def _native_frame(frame):
    func = frame.symbol
    inline = func.endswith(" (inlined)")
    if inline:
        func = func[: -len(" (inlined)")]
    source = frame.path if frame.path not in ("???", frame.library) else None
    return {"pc": frame.address, "func": None if func == "???" else func,
            "file": source, "line": frame.linenumber if source and frame.linenumber else None,
            "lib": frame.library or None, "inline": inline}


def _fail(kind, message):
    print(json.dumps({"error": kind, "message": message}))
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
