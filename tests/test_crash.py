"""The crash report: a fatal signal outside any region (or SIGQUIT anywhere,
or a second fatal signal before recovery) writes the report on standard
error, runs the inspector talvex-CSI on the dying process and dies by the
signal.

Every test sets PATH itself, so the real inspector that the venv provides
is never run: either no talvex-CSI at all, or a stand-in that reports its
arguments."""
import os
import shutil
import signal
import subprocess
import textwrap

import pytest

SEP = b"-" * 72 + b"\n"
EXPLANATION = (b"\nThis probably occurred because a *compiled* module has a bug\n"
               b"in it and is not properly wrapped with sig_on(), sig_off().\n"
               b"Python will now terminate.\n")
MISSING = b"talvex failed to execute talvex-CSI: No such file or directory\n"

SEGV_MESSAGE = b"Unhandled SIGSEGV: A segmentation fault occurred."

# How the child faults outside any region, the signal, and the message.
FATAL = {
    "SIGSEGV": ("c.fault('segv', False)", signal.SIGSEGV, SEGV_MESSAGE),
    "SIGILL": ("c.fault('ill', False)", signal.SIGILL,
               b"Unhandled SIGILL: An illegal instruction occurred."),
    "SIGABRT": ("c.fault('abort', False)", signal.SIGABRT,
                b"Unhandled SIGABRT: An abort() occurred."),
    "SIGFPE": ("c.fault('fpe', False)", signal.SIGFPE,
               b"Unhandled SIGFPE: An unhandled floating point exception occurred."),
    "SIGBUS": ("c.fault('%d', False)" % signal.SIGBUS, signal.SIGBUS,
               b"Unhandled SIGBUS: A bus error occurred."),
    "SIGQUIT": ("c.fault('%d', False)" % signal.SIGQUIT, signal.SIGQUIT, None),
    # The report is written, and the inspector started, from the
    # alternate signal stack.
    "stack_overflow": ("c.recurse(False)", signal.SIGSEGV, SEGV_MESSAGE),
}

STAND_IN = """\
#!/bin/sh
# Stands in for the crash inspector: reports how it was run. Its parent is
# the crashing process, which must still be alive and waiting for it.
sleep 0.1
printf 'inspector'
printf ' [%s]' "$@"
printf ' parent=%s\\n' "$PPID"
echo 'inspector stderr' >&2
"""

CHILD = """\
import os, resource, signal, sys
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
{no_fallback}
{before}
import talvex, tvclient_c as c
{after}
print(os.getpid(), flush=True)
{crash}
print("survived", flush=True)
"""


@pytest.fixture
def paths(tmp_path):
    """PATH values: one without any talvex-CSI, one with the stand-in first,
    one whose talvex-CSI may not be executed."""
    empty = tmp_path / "empty"
    empty.mkdir()
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    stand_in = bin_dir / "talvex-CSI"
    stand_in.write_text(STAND_IN)
    stand_in.chmod(0o755)
    denied = tmp_path / "denied"
    denied.mkdir()
    (denied / "talvex-CSI").write_text(STAND_IN)
    return {"missing": str(empty), "denied": str(denied),
            "stand_in": os.pathsep.join([str(bin_dir), "/usr/bin", "/bin"])}


@pytest.fixture
def crash(py, paths):
    """Run a child that crashes; return (returncode, its pid, stderr)."""
    def crash(crash, *, inspector="missing", quiet=None, ndebug=None, before="", after=""):
        # Without an interpreter to fall back on, only PATH can provide the
        # inspector.
        no_fallback = 'sys.executable = "/nonexistent/python"' if inspector != "stand_in" else ""
        code = CHILD.format(crash=crash, before=before, after=after, no_fallback=no_fallback)
        r = py(code, env={"PATH": paths[inspector],
                          "TALVEX_CRASH_QUIET": quiet, "TALVEX_CRASH_NDEBUG": ndebug})
        lines = r.stdout.decode().splitlines()
        assert len(lines) == 1, (r.stdout, r.stderr)  # the pid, and no "survived"
        return r.returncode, int(lines[0]), r.stderr
    return crash


def inspector_said(pid):
    return b"inspector [--no-color] [--pid] [%d] parent=%d\ninspector stderr\n" % (pid, pid)


def message_block(message):
    return b"" if message is None else message + EXPLANATION + SEP


@pytest.mark.parametrize("code, sig, message", list(FATAL.values()), ids=list(FATAL))
@pytest.mark.parametrize("setting", ["stand_in", "missing", "ndebug", "quiet", "quiet_ndebug"])
def test_report_outside_a_region(crash, code, sig, message, setting):
    inspector = "stand_in" if setting == "stand_in" else "missing"
    quiet = {"quiet": "", "quiet_ndebug": "1"}.get(setting)
    ndebug = {"ndebug": "", "quiet_ndebug": "1"}.get(setting)
    rc, pid, err = crash(code, inspector=inspector, quiet=quiet, ndebug=ndebug)
    assert rc == -sig
    expected = {
        "stand_in": SEP + inspector_said(pid) + SEP + message_block(message),
        "missing": SEP + MISSING + SEP + message_block(message),
        "ndebug": SEP + message_block(message),
        "quiet": b"",
        "quiet_ndebug": b"",
    }[setting]
    assert err == expected


def test_inspector_that_may_not_run_is_named_by_its_error(crash):
    # A talvex-CSI without execute permission: the search's error, in the
    # system's words, from the handler's own table.
    rc, pid, err = crash("c.fault('segv', False)", inspector="denied")
    assert rc == -signal.SIGSEGV
    assert err == (SEP + b"talvex failed to execute talvex-CSI: Permission denied\n" + SEP
                   + message_block(SEGV_MESSAGE))


def test_inspector_argument_vector(crash, tmp_path):
    # A shell script cannot see its own argv[0]; a compiled stand-in can.
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the stand-in")
    src = tmp_path / "argv.c"
    src.write_text(textwrap.dedent(r"""
        #include <stdio.h>
        int main(int argc, char **argv)
        {
            printf("argc=%d", argc);
            for (int i = 0; i <= argc; i++)
                printf(" [%s]", argv[i] ? argv[i] : "(null)");
            printf("\n");
            return 0;
        }
    """))
    # Replaces the shell stand-in in the same directory.
    subprocess.run([cc, "-o", str(tmp_path / "bin" / "talvex-CSI"), str(src)], check=True)
    rc, pid, err = crash("c.fault('segv', False)", inspector="stand_in")
    assert rc == -signal.SIGSEGV
    assert err == (SEP + b"argc=4 [talvex-CSI] [--no-color] [--pid] [%d] [(null)]\n" % pid + SEP
                   + message_block(SEGV_MESSAGE))


@pytest.mark.parametrize("inspector, ndebug", [("stand_in", None), ("missing", None), ("missing", "1")])
def test_sigquit_inside_a_region_dies_without_message(crash, inspector, ndebug):
    rc, pid, err = crash("c.fault(str(int(signal.SIGQUIT)))", inspector=inspector, ndebug=ndebug)
    assert rc == -signal.SIGQUIT
    if ndebug:
        assert err == SEP
    else:
        assert err == SEP + (inspector_said(pid) if inspector == "stand_in" else MISSING) + SEP


@pytest.mark.parametrize("first, second, sig, name", [
    ("segv", "segv", signal.SIGSEGV, b"SIGSEGV"),
    ("fpe", "ill", signal.SIGILL, b"SIGILL"),
    ("ill", "fpe", signal.SIGFPE, b"SIGFPE"),
    ("segv", "abort", signal.SIGABRT, b"SIGABRT"),
    ("abort", str(int(signal.SIGBUS)), signal.SIGBUS, b"SIGBUS"),
    ("segv", str(int(signal.SIGQUIT)), signal.SIGQUIT, None),
])
def test_second_fault_before_recovery(crash, first, second, sig, name):
    rc, pid, err = crash(f"c.fault_during_recovery({first!r}, {second!r})", inspector="stand_in")
    assert rc == -sig
    message = None if name is None else b"Unhandled %s during signal handling." % name
    assert err == SEP + inspector_said(pid) + SEP + message_block(message)


@pytest.mark.parametrize("code, sig, message", [
    FATAL["SIGSEGV"],
    ("c.fault('%d', False)" % signal.SIGABRT, signal.SIGABRT, FATAL["SIGABRT"][2]),
    FATAL["SIGQUIT"],
], ids=["SIGSEGV", "SIGABRT", "SIGQUIT"])
def test_exit_status_when_the_reraised_signal_is_blocked(crash, code, sig, message):
    # The signal is blocked when talvex is imported, so the mask restored
    # before re-raising blocks it: raise() returns and the process exits
    # with 128 + the signal number. It is unblocked only for the fault.
    rc, pid, err = crash(code, ndebug="1",
                         before=f"signal.pthread_sigmask(signal.SIG_BLOCK, [{int(sig)}])",
                         after=f"signal.pthread_sigmask(signal.SIG_UNBLOCK, [{int(sig)}])")
    assert rc == 128 + sig
    assert err == SEP + message_block(message)


@pytest.mark.parametrize("name", ["SIGSEGV", "SIGILL", "SIGFPE", "stack_overflow"])
def test_real_fault_outside_a_region_with_a_python_handler_is_a_crash(crash, name):
    # A Python handler can never run for a real fault (the instruction
    # faults again as soon as a handler returns): the report, not a hang.
    code, sig, message = FATAL[name]
    rc, pid, err = crash(code, ndebug="1",
                         before=f"signal.signal({int(sig)}, lambda s, f: print('handler'))")
    assert rc == -sig
    assert err == SEP + message_block(message)


def test_fault_in_another_thread_is_not_caught_by_the_region(crash):
    # The main thread's region cannot resume a thread whose stack it does
    # not own: the fault ends the process with the report.
    code, pid, err = crash('c.bystander_in_region("segv", 30.0)', ndebug="1")
    assert code == -signal.SIGSEGV
    assert err == SEP + SEGV_MESSAGE + EXPLANATION + SEP
