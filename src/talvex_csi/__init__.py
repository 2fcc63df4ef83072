"""talvex-CSI: describe a live process, typically one that is crashing.

talvex's fatal-signal handler runs ``talvex-CSI --no-color --pid PID``, the
first on PATH, or where there is none ``python -P -m talvex_csi --no-color
--pid PID`` with the interpreter and path of talvex's own installation
(``installation``), while the crashing thread waits inside the handler, with
this program's output going where the crash report goes.  The inspector reads
every thread's Python and native stacks with py-spy (pystack where py-spy
cannot see everything), both installed with talvex, and prints them, the
thread that took the signal first.  Whatever goes wrong (a reader missing,
ptrace refused, a reader hanging) it says so in one line, prints what /proc
still tells, and returns within a fixed time bound.

Where each part runs:

- in the inspector's own process: ``cli`` (the command line and the report
  put together), ``installation`` (where this installation's interpreter
  and readers are, which talvex's runtime also asks), ``procfs`` (what /proc tells), ``elf`` (the interpreter's
  exact version, from its exported symbols), ``fault`` (what the crashing
  process says about its fault), ``stacks`` (running the readers within the
  time bound, and where the signal and fault frames are) and ``formatting``
  (the report's text);
- in a child interpreter: ``pystack_child``, a script that reads the target
  with pystack, when the inspector needs it.

Nothing here imports the compiled part of talvex: the inspector has to work
when that is what broke.
"""

import os as _os
import time as _time

# When the inspector's own code began: the first of the phase timings that
# cli.py writes where _TALVEX_CSI_TIMES asks (the benchmarks read them).
STARTED = _time.monotonic()

# What the crashing process says about its crash: "key=value" words.
CONTEXT_ENV = "TALVEX_CSI_CONTEXT"


def context_words(pid):
    """The words of the context as a dict, when `pid` is this inspector's
    parent, the crashing process that passed it; else empty (a variable
    inherited by anything else describes some other crash)."""
    raw = _os.environ.get(CONTEXT_ENV)
    if not raw or pid != _os.getppid():
        return {}
    return dict(word.partition("=")[::2] for word in raw.split())

if __name__ == "__main__":
    # Run as a file (python .../talvex_csi/__init__.py): load this very
    # directory as the package, whatever else sys.path holds.
    import importlib.util
    import os
    import sys

    here = os.path.dirname(os.path.abspath(__file__))
    spec = importlib.util.spec_from_file_location(
        "talvex_csi", os.path.join(here, "__init__.py"), submodule_search_locations=[here])
    package = importlib.util.module_from_spec(spec)
    sys.modules["talvex_csi"] = package
    spec.loader.exec_module(package)
    from talvex_csi.cli import main

    sys.exit(main())
else:
    from .cli import main

__all__ = ["main"]
