"""talvex: interrupt and fault handling for native code in extension modules.

Importing the package installs the signal handlers (``init_talvex``).
Client extension modules reach the runtime through the C header
``talvex/state.h``; ``get_include()`` returns the directory that holds it.
"""

import os as _os

from . import signals
from .signals import AlarmInterrupt, SignalError

from ._version import __version__ as __version__

__all__ = ["AlarmInterrupt", "SignalError", "__version__", "get_cmake_dir", "get_include",
           "set_crash_file", "signals"]


def get_include() -> str:
    """Return the directory to add to a client's include path for
    ``#include <talvex/state.h>``."""
    return _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "include")


def get_cmake_dir() -> str:
    """Return the directory of ``talvexConfig.cmake`` (``-Dtalvex_DIR=...``)."""
    return _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "share", "cmake", "talvex")


def set_crash_file(path: "str | _os.PathLike[str] | None") -> None:
    """Also write the crash report to the file at ``path`` (created if
    missing, appended to), for every crash from now on; ``None`` for no
    file. It takes the place of the ``TALVEX_CRASH_FILE`` environment
    variable. A relative path is taken from the current directory now."""
    signals._set_crash_file(None if path is None else _os.path.abspath(_os.fspath(path)))


try:
    signals.init_talvex()
except ValueError:
    import threading as _threading

    if _threading.current_thread() is _threading.main_thread():
        raise
    # Imported first in another thread (a client's first region there): only
    # the main thread may set Python's table of signal handlers, so that
    # part is completed there, at its next check.
    signals._init_talvex_from_worker()

# A crash report that its process could not show (its standard error was a
# pipe it read itself) is named once, at the next start.
from . import _reports

try:
    _reports.announce()
except OSError:
    pass
