"""The child side of talvex_testing.run(): run the job, report to the parent."""
import base64
import ctypes
import importlib
import json
import os
import pickle
import sys

import talvex_testing


def main():
    fd = int(os.environ.pop(talvex_testing._REPORT_ENV))
    os.set_inheritable(fd, False)
    talvex_testing._report_fd = fd   # for ready()
    job, args = pickle.loads(base64.b64decode(sys.argv[1]))
    del sys.argv[1:]

    def report(**message):
        os.write(fd, json.dumps(message).encode() + b"\n")

    import talvex.signals

    # The main thread's region count is the first field of the exported
    # record; the parent reads it from this process's memory.
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    record = get_pointer(talvex.signals.__pyx_capi__["tvstate"], b"tvstate_t")
    if "source" in job:
        code = compile(job["source"], "<talvex_testing>", "exec")
        target, args = (lambda: exec(code, {"__name__": "__main__"})), ()
    else:
        target = importlib.import_module(job["module"])
        for part in job["name"].split("."):
            target = getattr(target, part)
    report(started=record)
    try:
        value = target(*args)
    except BaseException as e:  # noqa: B036 (KeyboardInterrupt and SystemExit too)
        report(ended={"exception": type(e).__name__, "message": str(e)})
        return
    ended = {}
    if "source" not in job:
        try:
            ended["pickled"] = base64.b64encode(pickle.dumps(value)).decode()
        except Exception:
            ended["repr"] = repr(value)
    report(ended=ended)


if __name__ == "__main__":
    main()
