"""Test that a module's native code takes interrupts and faults.

    from talvex_testing import run

    def test_ctrl_c_ends_the_loop():
        outcome = run("import mymodule; mymodule.long_loop()", signal=signal.SIGINT)
        assert outcome.exception == "KeyboardInterrupt"

``run()`` runs code in a fresh interpreter, as importing talvex installs
process-wide signal handlers that a test runner's own process should not
get; it sends a signal once the code's region is open (or when the code
says it is ready), never after a guessed delay, and returns what happened.
Importing this module imports neither talvex nor pytest; the ``talvex_run``
fixture comes from its pytest plugin (``talvex_testing.plugin``).
"""
from __future__ import annotations

import base64
import json
import os
import pickle
import signal as _signal
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Literal

__all__ = ["Outcome", "ready", "run"]

# The child reports on a pipe of its own, so that its standard output and
# error stay the code's own; its descriptor is handed over in this variable,
# and kept in _report_fd by the child (not in its environment, which the
# code's own children would inherit without the descriptor).
_REPORT_ENV = "TALVEX_TESTING_REPORT_FD"
_report_fd: int | None = None


@dataclass(frozen=True)
class Outcome:
    """What the code did in its interpreter."""

    returncode: int
    """The exit status: 0 once the code returned or raised, negative ``-N``
    when the process died by signal N (a crash), else what ``sys.exit()``
    or the interpreter gave."""
    exception: str | None
    """The type name of the exception the code raised (``"KeyboardInterrupt"``,
    ``"SignalError"``, ...), or ``None``."""
    message: str | None
    """``str()`` of that exception, or ``None``."""
    value: Any
    """What the callable returned (unpickled; its ``repr()`` if it could not
    be pickled); ``None`` for code or when it raised."""
    stdout: str
    stderr: str
    """Everything the interpreter wrote on standard error: a crash report,
    warnings. Empty when all went well."""

    @property
    def signal(self) -> _signal.Signals | None:
        """The signal the process died by, or ``None``."""
        return _signal.Signals(-self.returncode) if self.returncode < 0 else None


def ready() -> None:
    """Tell the test that runs this code that it may send its signal now
    (with ``when="ready"``). Does nothing outside ``run()``."""
    if _report_fd is not None:
        os.write(_report_fd, b'{"ready": true}\n')


def run(target: Callable[..., Any] | str, *args: Any,
        signal: int | None = None,
        when: Literal["region", "ready"] | float = "region",
        timeout: float = 60.0,
        env: dict[str, str | None] | None = None,
        cwd: str | os.PathLike[str] | None = None) -> Outcome:
    """Run ``target`` in a fresh interpreter and return its :class:`Outcome`.

    ``target`` is Python source, run as the main module, or a module-level
    function (one the child can import by its module's name) called with
    ``args``, which must be picklable. The child has this process's
    ``sys.path`` and environment, ``env`` added (a value of ``None``
    removes the variable; a ``PYTHONPATH`` there comes before this
    process's ``sys.path``), and starts with SIGINT's default action even
    where this process ignores it.

    With ``signal``, the signal is sent to the child's process, as a
    terminal or another process would, once:

    - ``when="region"``: a protected region is open in the child's main
      thread (read from the child's own state record; no guess of time);
    - ``when="ready"``: the code called :func:`ready`;
    - ``when=`` a number: that many seconds after the code started, for
      code that gives no sign (such a test depends on the machine's speed).

    Without ``signal`` the code runs to its end, or to its crash.

    A child that has not ended within ``timeout`` seconds is killed, and
    ``subprocess.TimeoutExpired`` raised with what it wrote.
    """
    if callable(target):
        module, name = target.__module__, target.__qualname__
        if "<" in name or module == "__main__":
            raise TypeError("run() needs Python source or a module-level function the child "
                            "can import; %r is not one" % (target,))
        job = {"module": module, "name": name}
    elif isinstance(target, str):
        if args:
            raise TypeError("run() passes args to a function only, not to source")
        job = {"source": target}
    else:
        raise TypeError("run() takes Python source or a function, not %r" % (target,))
    if when not in ("region", "ready") and not isinstance(when, (int, float)):
        raise ValueError("when must be 'region', 'ready' or a number of seconds")

    read_fd, write_fd = os.pipe()
    child_env = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            child_env.pop(key, None)
        else:
            child_env[key] = value
    path = [p for p in ((env or {}).get("PYTHONPATH") or "").split(os.pathsep) + sys.path if p]
    child_env["PYTHONPATH"] = os.pathsep.join(path)
    child_env[_REPORT_ENV] = str(write_fd)
    payload = base64.b64encode(pickle.dumps((job, args))).decode()
    try:
        proc = subprocess.Popen(
            [sys.executable, "-m", "talvex_testing._child", payload],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env, cwd=cwd,
            pass_fds=(write_fd,), preexec_fn=_default_sigint)
    finally:
        os.close(write_fd)
    deadline = time.monotonic() + timeout
    try:
        with os.fdopen(read_fd, "rb") as reports:
            result = _follow(proc, reports, signal, when, deadline)
        out, err = proc.communicate(timeout=max(0.0, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        raise subprocess.TimeoutExpired(proc.args, timeout, out, err) from None
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return Outcome(proc.returncode, result.get("exception"), result.get("message"),
                   _value(result), out.decode(errors="replace"), err.decode(errors="replace"))


def _default_sigint() -> None:
    # A test runner started with `&` from a script has SIGINT ignored, which
    # the child would inherit and talvex would keep: no Ctrl-C would work.
    _signal.signal(_signal.SIGINT, _signal.SIG_DFL)


def _follow(proc: subprocess.Popen[bytes], reports: Any, sig: int | None,
            when: str | float, deadline: float) -> dict[str, Any]:
    """Read the child's reports until its last, sending `sig` on time."""
    result: dict[str, Any] = {}
    for line in _lines(reports, deadline):
        message = json.loads(line)
        if "started" in message and sig is not None and when != "ready":
            if when != "region":
                time.sleep(float(when))
            if when != "region" or _wait_for_region(proc, message["started"], reports,
                                                    deadline):
                proc.send_signal(sig)
        elif "ready" in message and sig is not None and when == "ready":
            proc.send_signal(sig)
        elif "ended" in message:
            result = message["ended"]
    return result


def _lines(stream: Any, deadline: float) -> Iterator[bytes]:
    """The stream's lines until it ends (the child closed it or died)."""
    import selectors

    buffered = b""
    with selectors.DefaultSelector() as sel:
        sel.register(stream, selectors.EVENT_READ)
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not sel.select(left):
                raise subprocess.TimeoutExpired("talvex_testing child", 0)
            chunk = os.read(stream.fileno(), 65536)
            if not chunk:
                return
            buffered += chunk
            *complete, buffered = buffered.split(b"\n")
            yield from complete


def _wait_for_region(proc: subprocess.Popen[bytes], address: int, reports: Any,
                     deadline: float) -> bool:
    """Wait until the child's main thread has a region open (the first
    field of its state record, the region count, read from its memory):
    True; or until the child reports again (its code ended, or died): False."""
    import selectors

    try:
        mem = open("/proc/%d/mem" % proc.pid, "rb", buffering=0)
    except PermissionError:
        raise RuntimeError("talvex_testing cannot read its child's memory here (ptrace is "
                           "restricted): use when='ready' with talvex_testing.ready()") from None
    with mem, selectors.DefaultSelector() as sel:
        sel.register(reports, selectors.EVENT_READ)
        while time.monotonic() < deadline:
            try:
                word = os.pread(mem.fileno(), 4, address)
            except OSError:
                word = b""
            if len(word) < 4 or proc.poll() is not None:
                return False   # the child is gone
            if int.from_bytes(word, sys.byteorder, signed=True) > 0:
                return True
            if sel.select(0.0005):
                return False
    raise subprocess.TimeoutExpired("talvex_testing child", 0)


def _value(result: dict[str, Any]) -> Any:
    if "pickled" in result:
        return pickle.loads(base64.b64decode(result["pickled"]))
    return result.get("repr")
