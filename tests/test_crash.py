"""The crash report: a fatal signal outside any region (or SIGQUIT anywhere,
or a second fatal signal before recovery) writes the report on standard
error, runs the inspector talvex-CSI on the dying process and dies by the
signal.

Every test names the inspector itself (_TALVEX_CSI_PROGRAM), so the real
one that the installation provides is never run: either a program that is
not there, or a stand-in that reports its arguments."""
import fcntl
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

from conftest import CLIENTS, child_env

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
{before}
import talvex, tvclient_c as c
{after}
print(os.getpid(), flush=True)
{crash}
print("survived", flush=True)
"""


# An inspector that never finishes, and one with more to say than a pipe holds.
HANGS = """\
#!/bin/sh
echo "inspector $$"
exec sleep 600
"""
# One that shows the context the crashing process handed it.
CONTEXT = """\
#!/bin/sh
echo "$TALVEX_CSI_CONTEXT"
"""
VERBOSE_LINE = b"inspector line\n"
VERBOSE = """\
#!/bin/sh
yes 'inspector line' | head -n 6000
"""


@pytest.fixture
def inspectors(tmp_path):
    """Programs to run as the inspector: one that is not there, the
    stand-in, one that may not be executed, and the two above."""
    def program(name, text, mode=0o755):
        directory = tmp_path / name
        directory.mkdir()
        path = directory / "talvex-CSI"
        path.write_text(text)
        path.chmod(mode)
        return str(path)
    return {"missing": str(tmp_path / "empty" / "talvex-CSI"),
            "stand_in": program("bin", STAND_IN), "denied": program("denied", STAND_IN, 0o644),
            "slow": program("slow", STAND_IN.replace("sleep 0.1", "sleep 1")),
            "hangs": program("hangs", HANGS), "verbose": program("verbose", VERBOSE),
            "context": program("context", CONTEXT)}


@pytest.fixture
def crash(py, inspectors):
    """Run a child that crashes; return (returncode, its pid, stderr)."""
    def crash(crash, *, inspector="missing", quiet=None, ndebug=None, before="", after="",
              env=None):
        code = CHILD.format(crash=crash, before=before, after=after)
        r = py(code, env={"_TALVEX_CSI_PROGRAM": inspectors[inspector],
                          "TALVEX_CRASH_QUIET": quiet, "TALVEX_CRASH_NDEBUG": ndebug,
                          "TALVEX_CRASH_FILE": None, **(env or {})})
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


@pytest.mark.parametrize("found", ["named", "on PATH"])
def test_inspector_argument_vector(crash, tmp_path, found):
    # A shell script cannot see its own argv[0]; a compiled stand-in can.
    # Named for the tests, or the first talvex-CSI on PATH, as a
    # distribution or a site installs its own.
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
    env = {} if found == "named" else {
        "_TALVEX_CSI_PROGRAM": None,
        "PATH": os.pathsep.join([str(tmp_path / "bin"), os.environ["PATH"]])}
    rc, pid, err = crash("c.fault('segv', False)", inspector="stand_in", env=env)
    assert rc == -signal.SIGSEGV
    assert err == (SEP + b"argc=4 [talvex-CSI] [--no-color] [--pid] [%d] [(null)]\n" % pid + SEP
                   + message_block(SEGV_MESSAGE))


def test_path_is_searched_as_execvp_does_but_never_in_a_relative_directory(crash, inspectors,
                                                                         tmp_path):
    # One that may not be run is passed over for the next; an empty entry
    # (the current directory) and a relative one are not searched at all:
    # the program's working directory holds a talvex-CSI that must not run.
    (tmp_path / "talvex-CSI").write_text("#!/bin/sh\necho 'from the working directory'\n")
    (tmp_path / "talvex-CSI").chmod(0o755)
    path = ["", ".", os.path.dirname(inspectors["denied"]),
            os.path.dirname(inspectors["stand_in"]), "/usr/bin", "/bin"]
    rc, pid, err = crash("c.fault('segv', False)", after=f"os.chdir({str(tmp_path)!r})",
                         env={"_TALVEX_CSI_PROGRAM": None, "PATH": os.pathsep.join(path)})
    assert rc == -signal.SIGSEGV
    assert err == SEP + inspector_said(pid) + SEP + message_block(SEGV_MESSAGE)


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


# ---------------------------------------------------------------------------
# abort() outside a region: the C library's and the C++ runtime's own aborts
# get the report and the process dies by SIGABRT, also when the program set
# a Python handler for SIGABRT (which only a SIGABRT from another process
# runs). What each prints before it aborts comes first.
# ---------------------------------------------------------------------------

ABORTS = {
    "assert": rb"[^\n]*tvclient\.c:\d+: [^\n]*: Assertion `volatile_zero == 1' failed\.\n",
    "terminate": rb"terminate called without an active exception\n",
    "heap": rb"double free or corruption \([!a-z]+\)\n",
}

SIGABRT_HANDLERS = {
    "none": "",
    "returns": "signal.signal(signal.SIGABRT, lambda s, f: print('handler', flush=True))",
    "exits": "signal.signal(signal.SIGABRT, lambda s, f: sys.exit(3))",
}


@pytest.mark.parametrize("handler", list(SIGABRT_HANDLERS))
@pytest.mark.parametrize("kind", list(ABORTS))
def test_abort_outside_a_region_gets_the_report(crash, kind, handler):
    rc, pid, err = crash(f"import tvclient_cpp; tvclient_cpp.fault({kind!r}, False)",
                         ndebug="1", after=SIGABRT_HANDLERS[handler])
    assert rc == -signal.SIGABRT
    assert re.fullmatch(ABORTS[kind] + re.escape(SEP + message_block(FATAL["SIGABRT"][2])),
                        err), err


# A SIGABRT the process sends itself, by any means, is an abort: Python code
# that wants its handler to run calls it.
@pytest.mark.parametrize("how", ["os.abort()", "signal.raise_signal(signal.SIGABRT)",
                                 "os.kill(os.getpid(), signal.SIGABRT)",
                                 "signal.pthread_kill(threading.get_ident(), signal.SIGABRT)"])
def test_sigabrt_the_process_sends_itself_is_an_abort(crash, how):
    rc, pid, err = crash("import threading, time; %s; time.sleep(30)" % how, ndebug="1",
                         after=SIGABRT_HANDLERS["returns"])
    assert rc == -signal.SIGABRT
    assert err == SEP + message_block(FATAL["SIGABRT"][2])


# Two threads that fault at once: the first claims the crash, the other
# waits for the process to die. Twenty runs, each in a fresh interpreter.
@pytest.mark.parametrize("run", range(20))
def test_two_threads_faulting_at_once_give_one_report(crash, run):
    rc, pid, err = crash("import tvclient_threads; tvclient_threads.fault_in_two_threads()",
                         ndebug="1")
    assert rc == -signal.SIGSEGV
    assert err == SEP + message_block(SEGV_MESSAGE)


# A process that forks from a thread of its own C code every 2 ms, and
# faults meanwhile: every child, also one forked while the report is
# written, is an ordinary process. The supervisor adopts the children that
# the crashing process leaves (PR_SET_CHILD_SUBREAPER), and reports how
# each ended, or that it was still alive after 30 seconds.
SUPERVISOR = """\
import ctypes, json, os, signal, subprocess, sys, time
assert ctypes.CDLL(None).prctl(36, 1, 0, 0, 0) == 0  # PR_SET_CHILD_SUBREAPER
crashing = subprocess.Popen([sys.executable, "-c", sys.argv[1]], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
out, err = crashing.communicate(timeout=60)
ended = {}
deadline = time.monotonic() + 30
while time.monotonic() < deadline:
    try:
        pid, status = os.waitpid(-1, os.WNOHANG)
    except ChildProcessError:
        break
    if pid:
        ended[pid] = status
    else:
        time.sleep(0.01)
alive = [int(p) for p in os.listdir("/proc") if p.isdigit()
         and open("/proc/%s/stat" % p).read().rsplit(")", 1)[1].split()[1] == str(os.getpid())]
for pid in alive:
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
print(json.dumps({"returncode": crashing.returncode, "out": out.decode(), "err": err.hex(),
                  "ended": ended, "alive": alive}))
"""


def test_a_child_forked_during_the_crash_is_an_ordinary_process(inspectors, tmp_path):
    # The inspector takes a second, during which most children are forked.
    forks = tmp_path / "forks"
    code = CHILD.format(before="", after=f"import time, tvclient_threads\n"
                        f"tvclient_threads.start_forking_thread({str(forks)!r}, 40)\n"
                        f"time.sleep(0.02)", crash="c.fault('segv', False)")
    r = subprocess.run([sys.executable, "-c", SUPERVISOR, code], capture_output=True,
                       timeout=120, cwd=str(CLIENTS.parent.parent),
                       env=child_env(TALVEX_CRASH_QUIET=None, TALVEX_CRASH_NDEBUG=None,
                                     TALVEX_CRASH_FILE=None,
                                     _TALVEX_CSI_PROGRAM=inspectors["slow"]))
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    result = json.loads(r.stdout)
    pid = int(result["out"])
    assert result["returncode"] == -signal.SIGSEGV
    assert bytes.fromhex(result["err"]) == report_of(pid)
    children = dict(line.split() for line in forks.read_text().splitlines())
    assert len(children) > 10, children
    assert result["alive"] == [], (result["alive"], children)
    expected = {"T": signal.SIGTERM, "F": signal.SIGSEGV}
    ended = {child: os.waitstatus_to_exitcode(result["ended"][child]) for child in children}
    assert {child: -expected[kind] for child, kind in children.items()} == ended


# ---------------------------------------------------------------------------
# Where the report goes: faulthandler's file through talvex's own copy of
# its descriptor, standard error when that fails, and a crash file besides.

def report_of(pid, message=SEGV_MESSAGE):
    return SEP + inspector_said(pid) + SEP + message_block(message)


ENABLE_TO_FILE = """\
import faulthandler
first = open({path!r}, "w")
faulthandler.enable(file=first)
number = first.fileno()
"""


@pytest.mark.parametrize("where", ["before", "after"])
def test_report_in_faulthandlers_file_after_that_file_was_closed(crash, tmp_path, where):
    # Enabled before talvex is imported (as pytest does) or after it.
    enable = ENABLE_TO_FILE.format(path=str(tmp_path / "faults"))
    steps = {"before": enable, "after": "first.close()"} if where == "before" \
        else {"after": enable + "first.close()"}
    rc, pid, err = crash("c.fault('segv', False)", inspector="stand_in", **steps)
    assert rc == -signal.SIGSEGV
    # faulthandler's own traceback is lost (its descriptor is closed), and
    # nothing goes to standard output (the crash fixture checks).
    assert (tmp_path / "faults").read_bytes() == report_of(pid)
    assert err == b""


def test_report_not_written_into_a_file_that_reused_faulthandlers_number(crash, tmp_path):
    rc, pid, err = crash("c.fault('segv', False)", inspector="stand_in", after=(
        ENABLE_TO_FILE.format(path=str(tmp_path / "faults")) + "first.close()\n"
        f"unrelated = open({str(tmp_path / 'unrelated')!r}, 'w')\n"
        "assert unrelated.fileno() == number\n"))
    assert rc == -signal.SIGSEGV
    assert (tmp_path / "faults").read_bytes() == report_of(pid)
    # Only faulthandler's traceback, which writes to the number itself.
    assert b"Fatal Python error: Segmentation fault" in (tmp_path / "unrelated").read_bytes()
    assert SEP not in (tmp_path / "unrelated").read_bytes()


def test_report_on_stderr_when_faulthandlers_pipe_has_no_reader(crash):
    rc, pid, err = crash("c.fault('segv', False)", inspector="stand_in", after=(
        "import faulthandler\n"
        "r, w = os.pipe()\n"
        "faulthandler.enable(file=w)\n"
        "os.close(r)\n"))
    assert rc == -signal.SIGSEGV
    assert err == report_of(pid)


@pytest.mark.parametrize("how", ["environment", "set_crash_file", "relative", "after None"])
def test_crash_file_gets_the_report_too(crash, tmp_path, how):
    path = tmp_path / "crash.txt"
    path.write_bytes(b"an earlier report\n")  # appended to, not replaced
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    env, after = {}, ""
    if how == "environment":
        env = {"TALVEX_CRASH_FILE": str(path)}
    elif how == "set_crash_file":
        after = f"talvex.set_crash_file({str(path)!r})"
    elif how == "relative":
        # Taken from the current directory when it is set.
        after = (f"os.chdir({str(tmp_path)!r}); talvex.set_crash_file('crash.txt'); "
                 f"os.chdir({str(elsewhere)!r})")
    else:
        # None: the environment's file again.
        env = {"TALVEX_CRASH_FILE": str(path)}
        after = f"talvex.set_crash_file({str(elsewhere / 'x')!r}); talvex.set_crash_file(None)"
    rc, pid, err = crash("c.fault('segv', False)", inspector="stand_in", env=env, after=after)
    assert rc == -signal.SIGSEGV
    assert err == report_of(pid)
    assert path.read_bytes() == b"an earlier report\n" + report_of(pid)
    assert list(elsewhere.iterdir()) == []


@pytest.mark.parametrize("quiet, ndebug", [("", None), (None, "1")], ids=["quiet", "ndebug"])
def test_crash_file_follows_the_report_settings(crash, tmp_path, quiet, ndebug):
    path = tmp_path / "crash.txt"
    rc, pid, err = crash("c.fault('segv', False)", inspector="stand_in", quiet=quiet,
                         ndebug=ndebug, env={"TALVEX_CRASH_FILE": str(path)})
    assert rc == -signal.SIGSEGV
    if quiet is not None:
        assert err == b"" and not path.exists()
    else:
        assert err == path.read_bytes() == SEP + message_block(SEGV_MESSAGE)


def test_a_new_crash_file_is_readable_by_its_owner_alone(crash, tmp_path):
    # The command line in the report may hold what others must not read.
    path = tmp_path / "crash.txt"
    rc, pid, err = crash("c.fault('segv', False)", inspector="stand_in",
                         env={"TALVEX_CRASH_FILE": str(path)})
    assert rc == -signal.SIGSEGV
    assert path.read_bytes() == err == report_of(pid)
    assert stat.S_IMODE(path.stat().st_mode) == 0o600


NOBODY = 65534


@pytest.fixture
def sticky():
    """A sticky, world-writable directory that another user can reach, as
    /tmp is."""
    if os.geteuid() != 0:
        pytest.skip("planting a link as another user needs root")
    directory = tempfile.mkdtemp(prefix="talvex-sticky-", dir="/tmp")
    os.chmod(directory, 0o1777)
    yield directory
    shutil.rmtree(directory)


def plant(target, link, user):
    """Makes the symbolic link `link` to `target` as `user`."""
    subprocess.run(["ln", "-s", str(target), str(link)], user=user, group=user, extra_groups=[],
                   check=True)


@pytest.mark.parametrize("planter, through", [
    (NOBODY, "file"), (NOBODY, "directory"), (0, "file"), (0, "directory"),
], ids=["another user's link to the file", "another user's link to its directory",
        "its own user's link to the file", "its own user's link to its directory"])
def test_crash_file_through_a_link_in_a_sticky_world_writable_directory(crash, tmp_path,
                                                                        sticky, planter,
                                                                        through):
    # The kernel's rule for such directories (fs.protected_symlinks), kept
    # whatever that setting is: a link there is followed only if the
    # process's own user, or the directory's owner, made it.
    target = tmp_path / "target.txt"
    target.write_bytes(b"before\n")
    if through == "file":
        plant(target, os.path.join(sticky, "crash.txt"), planter)
        file = os.path.join(sticky, "crash.txt")
    else:
        plant(tmp_path, os.path.join(sticky, "reports"), planter)
        file = os.path.join(sticky, "reports", "target.txt")
    rc, pid, err = crash("c.fault('segv', False)", inspector="stand_in",
                         env={"TALVEX_CRASH_FILE": file})
    assert rc == -signal.SIGSEGV
    if planter == NOBODY:
        assert target.read_bytes() == b"before\n"
        assert err == report_of(pid) + (
            b"talvex: the crash file %s was not used: its path follows a symbolic link that "
            b"another user may have planted in a sticky, world-writable directory\n"
            % file.encode())
    else:
        assert target.read_bytes() == b"before\n" + report_of(pid)
        assert err == report_of(pid)


def test_a_crash_file_that_cannot_be_opened_is_named_with_the_reason(crash, tmp_path):
    file = tmp_path / "no such directory" / "crash.txt"
    rc, pid, err = crash("c.fault('segv', False)", inspector="stand_in",
                         env={"TALVEX_CRASH_FILE": str(file)})
    assert rc == -signal.SIGSEGV
    assert err == report_of(pid) + (b"talvex: the crash file %s was not used: No such file or "
                                    b"directory\n" % bytes(file))


def test_stderr_into_a_pipe_the_process_reads_itself(inspectors, tmp_path):
    # Descriptor 2 is a pipe whose read end the process holds too (as a
    # notebook kernel forwarding its own standard error does), and there is
    # no other standard error: the report also goes to a new file in the
    # state directory, which the last line on descriptor 2 names.
    r, w = os.pipe()
    code = CHILD.format(before="", after="", crash="c.fault('segv', False)")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=w,
                            pass_fds=(r,), cwd=str(CLIENTS.parent.parent), env=child_env(
                                XDG_STATE_HOME=str(tmp_path / "state"), TALVEX_CRASH_QUIET=None,
                                TALVEX_CRASH_NDEBUG=None, TALVEX_CRASH_FILE=None,
                                _TALVEX_CSI_PROGRAM=inspectors["stand_in"]))
    os.close(w)
    out, _ = proc.communicate(timeout=60)
    with os.fdopen(r, "rb") as f:
        err = f.read()
    pid = int(out)
    assert proc.returncode == -signal.SIGSEGV
    kept = list((tmp_path / "state" / "talvex").glob("*.txt"))
    assert len(kept) == 1 and re.fullmatch(r"crash-\d+-%d\.txt" % pid, kept[0].name), kept
    assert kept[0].read_bytes() == report_of(pid)
    assert stat.S_IMODE(kept[0].stat().st_mode) == 0o600
    assert err == report_of(pid) + b"talvex: this crash report is also in %s\n" % bytes(kept[0])

    # That line died with the process: the next start of talvex for this
    # user names the file once, and python -m talvex lists it.
    def run(*args):
        return subprocess.run([sys.executable, *args], capture_output=True, timeout=60,
                              env=child_env(XDG_STATE_HOME=str(tmp_path / "state")))

    announced = run("-c", "import talvex")
    assert (announced.returncode, announced.stderr) == (0, (
        b"talvex: the report of an earlier crash, which could not be shown, is kept in %s "
        b"(python -m talvex --crash-reports lists them)\n" % bytes(kept[0])))
    assert run("-c", "import talvex").stderr == b""
    listed = run("-m", "talvex", "--crash-reports")
    assert (listed.returncode, listed.stdout, listed.stderr) == (0, bytes(kept[0]) + b"\n", b"")


# ---------------------------------------------------------------------------
# The report within the time bound, whoever reads it, and whatever the dying
# process left behind.
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("bound, named", [("1", b"1 second"), (" 0.5 ", b"0.5 seconds")])
def test_an_inspector_that_does_not_finish_is_stopped_at_the_bound(crash, bound, named):
    rc, pid, err = crash("c.fault('segv', False)", inspector="hangs",
                         env={"TALVEX_CSI_TIMEOUT": bound})
    assert rc == -signal.SIGSEGV
    said, _, rest = err[len(SEP):].partition(b"\n")
    assert err.startswith(SEP) and said.startswith(b"inspector "), err
    assert rest == (b"talvex: the crash inspector did not finish within the time bound of "
                    b"%s (TALVEX_CSI_TIMEOUT) and was stopped\n" % named
                    + SEP + message_block(SEGV_MESSAGE))
    # Stopped, not left behind.
    assert not os.path.exists("/proc/%d" % int(said.split()[1]))


@pytest.mark.parametrize("text", ["2.5", " 7 ", "1e1", "+4", "4.", ".5e1", "soon", "-3", "0", "",
                                  "inf", "nan", "1e400", "1e-400", "2200000", "1e7", "1e300"])
def test_the_bound_is_read_as_the_inspector_reads_it(inspectors, text):
    # The crashing process reads TALVEX_CSI_TIMEOUT in its signal handler
    # and hands the inspector its deadline: the two must agree on the
    # bound, or the inspector would be stopped before it says anything.
    from talvex_csi.stacks import timeout_from_env

    bound = timeout_from_env({"TALVEX_CSI_TIMEOUT": text})[0]
    code = CHILD.format(before="", after="", crash="c.fault('segv', False)")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=str(CLIENTS.parent.parent),
                            env=child_env(TALVEX_CRASH_QUIET=None, TALVEX_CRASH_NDEBUG=None,
                                          TALVEX_CRASH_FILE=None, TALVEX_CSI_TIMEOUT=text,
                                          _TALVEX_CSI_PROGRAM=inspectors["context"]))
    assert proc.stdout.readline()  # its pid, just before the fault
    crashed = time.monotonic()
    _, err = proc.communicate(timeout=60)
    proc.stdout.close()
    words = dict(w.partition("=")[::2] for w in err.split(b"\n")[1].decode().split())
    reserve = min(0.5, bound / 10)
    # Within a second: the bounds in the table lie seconds apart.
    assert abs(int(words["deadline"]) / 1e9 - crashed - (bound - reserve)) < 1, (words, bound)


def idle_threads(n):
    """Code that starts `n` threads that sleep, and waits until they are
    there: a report, and faulthandler's traceback, longer than a pipe holds."""
    return f"""\
import threading, time
started = threading.Barrier({n + 1})
def idle():
    started.wait()
    time.sleep(600)
for _ in range({n}):
    threading.Thread(target=idle, daemon=True).start()
started.wait()
"""
# Programs that handle their signals with sigwait() or signalfd block
# SIGALRM in every thread; some thread may take it with sigwait().
SIGALRM_BLOCKED = "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})"
SIGALRM_WAITED_FOR = SIGALRM_BLOCKED + """
import threading
def take_alarms():
    while True:
        signal.sigwait({signal.SIGALRM})
threading.Thread(target=take_alarms, daemon=True).start()
"""


@pytest.mark.parametrize("before, timer_create", [
    (SIGALRM_BLOCKED, True), (SIGALRM_WAITED_FOR, True), (SIGALRM_BLOCKED, False),
], ids=["SIGALRM blocked in every thread", "SIGALRM taken by sigwait()",
        "SIGALRM blocked, no timer_create (the interval timer instead)"])
def test_faulthandlers_traceback_ends_at_the_bound_whatever_the_program_does_with_sigalrm(
        inspectors, before, timer_create):
    if not timer_create:
        if os.uname().machine != "x86_64":
            pytest.skip("the filter is written for x86-64")
        before = refusing(222) + before  # timer_create
    # Standard error is a pipe read only once the process has ended (as a
    # job runner collects logs): faulthandler's traceback, after the report,
    # blocks in its write; the process still dies by its signal at the bound.
    r, w = os.pipe()
    fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096)
    code = CHILD.format(before=before, after=idle_threads(60), crash="c.fault('segv', False)")
    proc = subprocess.Popen([sys.executable, "-X", "faulthandler", "-c", code],
                            stdout=subprocess.PIPE, stderr=w, cwd=str(CLIENTS.parent.parent),
                            env=child_env(TALVEX_CRASH_QUIET=None, TALVEX_CRASH_NDEBUG=None,
                                          TALVEX_CRASH_FILE=None, TALVEX_CSI_TIMEOUT="2",
                                          _TALVEX_CSI_PROGRAM=inspectors["stand_in"]))
    os.close(w)
    try:
        proc.wait(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    with os.fdopen(r, "rb") as f:
        err = f.read()
    pid = int(proc.stdout.read())
    proc.stdout.close()
    assert proc.returncode == -signal.SIGSEGV
    assert err.startswith(report_of(pid) + b"Fatal Python error: Segmentation fault"), err
    assert len(err) <= 4096


def test_a_report_not_taken_in_time_is_cut_with_a_line_saying_so(inspectors):
    # Standard error is a 4 KiB pipe that its reader drains slowly: the
    # inspector's output does not get through by the bound. A bound of 5
    # seconds leaves half a second for the last line, which a busy machine
    # needs.
    r, w = os.pipe()
    fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096)
    code = CHILD.format(before="", after="", crash="c.fault('segv', False)")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=w,
                            cwd=str(CLIENTS.parent.parent), env=child_env(
                                TALVEX_CRASH_QUIET=None, TALVEX_CRASH_NDEBUG=None,
                                TALVEX_CRASH_FILE=None, TALVEX_CSI_TIMEOUT="5",
                                _TALVEX_CSI_PROGRAM=inspectors["verbose"]))
    os.close(w)
    chunks = []

    def read_slowly():
        with os.fdopen(r, "rb", buffering=0) as f:
            while chunk := f.read(512):
                chunks.append(chunk)
                time.sleep(0.05)

    reader = threading.Thread(target=read_slowly)
    reader.start()
    try:
        proc.communicate(timeout=60)
    finally:
        proc.kill()
        reader.join(60)
    assert proc.returncode == -signal.SIGSEGV
    err = b"".join(chunks)
    line = (b"talvex: this crash report is cut short: not all of it was taken within the "
            b"time bound of 5 seconds (TALVEX_CSI_TIMEOUT)\n")
    assert err.startswith(SEP) and err.endswith(line), err[-300:]
    taken = err[len(SEP):-len(line)]
    assert 0 < len(taken) < 6000 * len(VERBOSE_LINE)
    assert taken == (VERBOSE_LINE * 6000)[:len(taken)]


# Code that leaks descriptors, none of them close-on-exec, until none is
# left, frees `free` of them, and then faults.
LEAK = """\
import ctypes, errno
libc = ctypes.CDLL(None, use_errno=True)
resource.setrlimit(resource.RLIMIT_NOFILE, (128, 128))
while libc.dup(2) >= 0:
    pass
assert ctypes.get_errno() == errno.EMFILE
for fd in range(127, 127 - {free}, -1):
    os.close(fd)
c.fault('segv', False)
"""


def refusing(*calls):
    """Code that makes the system calls numbered `calls` fail with ENOSYS,
    by a seccomp filter, for its thread and the threads and processes it
    starts then (x86-64 numbers; others are let through)."""
    n = len(calls)
    tests = "".join("    Instruction(JUMP_IF_EQUAL, %d, 0, %d),\n" % (n - i, call)
                    for i, call in enumerate(calls))
    return f"""\
import ctypes, errno
class Instruction(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8),
                ("k", ctypes.c_uint32)]
class Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_uint16), ("filter", ctypes.POINTER(Instruction))]
LOAD, JUMP_IF_EQUAL, RETURN = 0x20, 0x15, 0x06
code = (Instruction * {n + 5})(
    Instruction(LOAD, 0, 0, 4),                      # the architecture
    Instruction(JUMP_IF_EQUAL, 0, {n + 1}, 0xc000003e),    # x86-64, else allow
    Instruction(LOAD, 0, 0, 0),                      # the system call's number
{tests}    Instruction(RETURN, 0, 0, 0x7fff0000),           # allow
    Instruction(RETURN, 0, 0, 0x00050000 | errno.ENOSYS))
libc = ctypes.CDLL(None, use_errno=True)
assert libc.prctl(38, 1, 0, 0, 0) == 0  # PR_SET_NO_NEW_PRIVS
assert libc.prctl(22, 2, ctypes.byref(Program({n + 5}, code)), 0, 0) == 0  # a seccomp filter
assert libc.syscall({calls[0]}, 0, 0, 0) == -1 and ctypes.get_errno() == errno.ENOSYS
"""


# A kernel older than 5.3 (as the oldest systems the wheels install on run),
# for this thread and the processes it starts: close_range and pidfd_open
# fail with ENOSYS.
OLD_KERNEL = refusing(436, 434)


@pytest.mark.parametrize("inspector", ["stand_in", "missing"])
@pytest.mark.parametrize("kernel", ["current", "before 5.3"])
@pytest.mark.parametrize("free", [0, 1, 2, 3])
def test_report_after_every_descriptor_is_used_up(crash, free, kernel, inspector):
    if kernel != "current" and os.uname().machine != "x86_64":
        pytest.skip("the filter is written for x86-64")
    before = OLD_KERNEL if kernel != "current" else ""
    rc, pid, err = crash(before + LEAK.format(free=free), inspector=inspector)
    assert rc == -signal.SIGSEGV
    said = inspector_said(pid) if inspector == "stand_in" else MISSING
    assert err == SEP + said + SEP + message_block(SEGV_MESSAGE)


def test_a_process_that_cannot_start_the_inspector_says_so_in_one_line(crash):
    # No process may be started: root is exempt from the limit, nobody is not.
    rc, pid, err = crash("if os.getuid() == 0:\n"
                         "    os.setgid(65534); os.setuid(65534)\n"
                         "resource.setrlimit(resource.RLIMIT_NPROC, (0, 0))\n"
                         "c.fault('segv', False)", inspector="stand_in")
    assert rc == -signal.SIGSEGV
    assert err == (SEP + b"talvex fork: Resource temporarily unavailable\n"
                   + message_block(SEGV_MESSAGE))
