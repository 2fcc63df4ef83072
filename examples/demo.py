"""talvex in a few seconds.

Native code bracketed in a protected region (sig_on() ... sig_off() in C)
can be interrupted by an alarm or by Ctrl-C, and a segmentation fault or a
native stack overflow inside it becomes a Python exception, after which the
process simply goes on. C++ code that must unwind polls cooperatively, in
any thread. A fault outside any region ends the process with a crash report.

The native code is the example modules in examples/ (C++, Cython and
pybind11, built against the installed package) and, for the stack overflow
and the Ctrl-C timer, the test suite's client module.

    make demo                       # or: .venv/bin/python examples/demo.py
    .venv/bin/python examples/demo.py --quick
                                    # part 6 without the crash inspector
"""
import os
import signal
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from pathlib import Path

CLIENTS = Path(__file__).resolve().parent.parent / "tests" / "clients" / "build"

# The native side of this demo is the test suite's client module, a small C
# extension built against <talvex/state.h> like any user's module would be.
sys.path.insert(0, str(CLIENTS))

import talvex  # noqa: E402  (importing talvex installs its signal handlers)
import talvex_example_cpp as cpp  # noqa: E402
import talvex_example_cython as cython  # noqa: E402
import talvex_example_pybind as pybind  # noqa: E402
import tvclient_c as native  # noqa: E402
from talvex import AlarmInterrupt, SignalError  # noqa: E402

FOREVER = 10**15  # count primes below this: far longer than anyone waits


def say(text=""):
    print("   " + text if text else "", flush=True)


def part(number, title):
    print(f"\n{number}. {title}", flush=True)


def alarm_interrupts_a_native_loop():
    part(1, "An alarm interrupts a long native loop")
    say("A C++ loop (counting primes without end) starts; an alarm is set for 0.5 s.")
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    start = time.monotonic()
    try:
        cpp.count_primes(FOREVER)  # runs inside sig_on() ... sig_off()
    except AlarmInterrupt:
        say("The alarm went off: the loop was abandoned with AlarmInterrupt.")
        say(f"(it had run for {time.monotonic() - start:.1f} s)")


def ctrl_c_interrupts_a_native_loop():
    part(2, "Ctrl-C interrupts a long native loop")
    say("A Cython loop starts; a timer presses Ctrl-C (sends SIGINT) 0.5 s into it.")
    # The timer is a native thread: a threading.Timer could not fire here,
    # because the native loop holds the interpreter lock the whole time.
    native.signal_when(signal.SIGINT, "sig_on_count", 0.5)
    start = time.monotonic()
    try:
        cython.count_primes(FOREVER)
    except KeyboardInterrupt:
        say("Ctrl-C arrived: the loop was abandoned with KeyboardInterrupt.")
        say(f"(it had run for {time.monotonic() - start:.1f} s)")


def segfault_becomes_an_exception():
    part(3, "A segmentation fault inside a region")
    say("Native code reads through a null pointer.")
    try:
        pybind.read_address(0)
    except SignalError as e:
        say(f"Caught SignalError: {e}. The process goes on.")


def stack_overflow_becomes_an_exception():
    part(4, "A native stack overflow inside a region")
    say("Native code recurses without end until the stack runs out, 10 times over.")
    caught = 0
    for _ in range(10):
        try:
            native.recurse()
        except SignalError as e:
            caught += 1
            error = e
    say(f"Caught SignalError {caught} times out of 10: {error}.")
    say("Each stack overflow was survived, and the process goes on.")


def cooperative_loop_in_a_worker_thread():
    part(5, "C++ that must unwind, in a worker thread, without the interpreter lock")
    say("A pybind11 loop polls talvex::check(); Ctrl-C arrives 0.5 s later.")
    outcome = []

    def work():
        try:
            pybind.count_primes(FOREVER)
        except KeyboardInterrupt:
            outcome.append("KeyboardInterrupt")

    worker = threading.Thread(target=work)
    worker.start()
    time.sleep(0.5)
    try:
        os.kill(os.getpid(), signal.SIGINT)   # Ctrl-C, for the whole process
        worker.join()
        main_thread = "nothing"
    except KeyboardInterrupt:
        main_thread = "KeyboardInterrupt"
        worker.join()
    say(f"The worker thread caught {outcome[0]}; its C++ objects were destroyed as")
    say("the exception unwound its stack. The main thread got")
    say(f"{main_thread} too, as Python gives Ctrl-C to the main thread.")


CRASHING_CHILD = f"""\
import resource, sys
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))   # no core file, please
sys.path.insert(0, {str(CLIENTS)!r})
import talvex, tvclient_c


def parse_input():
    tvclient_c.fault("segv", False)                 # outside any region


def main():
    parse_input()


main()
"""


def crash_report_from_a_child(inspect):
    part(6, "A segmentation fault outside any region")
    say("A child process faults with no protected region around the fault.")
    say("It cannot go on: talvex writes a crash report and lets it die by the signal.")
    env = dict(os.environ)
    # talvex-CSI is installed beside this interpreter (the venv's bin).
    env["PATH"] = os.pathsep.join([sysconfig.get_path("scripts"), env.get("PATH", "")])
    env.pop("TALVEX_CRASH_QUIET", None)
    env.pop("PYTHONFAULTHANDLER", None)
    if inspect:
        say("The crash inspector talvex-CSI describes the dying process first: the")
        say("Python and native stacks of each thread, the faulting frame marked.")
        env.pop("TALVEX_CRASH_NDEBUG", None)
    else:
        say("TALVEX_CRASH_NDEBUG=1 skips the crash inspector talvex-CSI, which would")
        say("otherwise describe the dying process (run the demo without --quick).")
        env["TALVEX_CRASH_NDEBUG"] = "1"
    with tempfile.TemporaryDirectory() as tmp:
        script = Path(tmp) / "crashing_child.py"
        script.write_text(CRASHING_CHILD)
        child = subprocess.run([sys.executable, str(script)], env=env, cwd=tmp,
                               capture_output=True, text=True, errors="replace")
    say("What the child wrote on standard error:")
    say()
    for line in child.stderr.splitlines():
        print("    " + line)
    say()
    if child.returncode < 0:
        say(f"The child died by signal {signal.Signals(-child.returncode).name}.")
    else:
        say(f"The child exited with status {child.returncode}.")


def main():
    inspect = "--quick" not in sys.argv[1:]
    start = time.monotonic()
    print("talvex turns signals in native code into Python exceptions.", flush=True)
    alarm_interrupts_a_native_loop()
    ctrl_c_interrupts_a_native_loop()
    segfault_becomes_an_exception()
    stack_overflow_becomes_an_exception()
    cooperative_loop_in_a_worker_thread()
    crash_report_from_a_child(inspect)
    print(f"\nThe whole demonstration took {time.monotonic() - start:.1f} s.")
    print("All done.")


if __name__ == "__main__":
    main()
