"""talvex benchmarks: build the client, measure, print a table, write results.json.

    python benchmarks/bench.py [--quick] [--out FILE] [--compare PYTHON [--compare-label TEXT]]
    python benchmarks/bench.py --only-crash [--quick]

Every figure is set beside a comparison measured in the same run, on the
same machine, and reported as the ratio value / comparison; see README.md.
"""
import argparse
import datetime
import gc
import importlib
import importlib.metadata
import json
import os
import platform
import random
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = HERE / "build"
SOURCE = HERE / "tvbench.cpp"
KERNELS = HERE / "kernels.cpp"
CXX = os.environ.get("CXX", "g++")
CXXFLAGS = ["-O2", "-g", "-std=c++17", "-fPIC", "-Wall", "-Wextra", "-Werror"]
LIBS = ["-lbenchmark", "-lpthread", "-lrt"]

# The poll rows' kernels are compiled once per level, with functions and
# loops on 64-byte boundaries: unaligned, the same inner loop runs at one
# speed or at half of it depending on where it falls in the binary.
KERNEL_LEVELS = ("O2", "O3")
KERNEL_ALIGNMENT = ["-falign-functions=64", "-falign-loops=64"]
# A goal that sets a row against another measured row (a floor, another
# poll) allows this much: the two compiled loops are alike but not one
# binary's one loop, and rows whose loops differ only in what a set flag
# leads to (the -O3 sig_check() and volatile rows) differ here by up to
# about 1 % between runs.
KERNEL_TOLERANCE = 0.02

# Polling period of the PyErr_CheckSignals() loop, in work units.
POLL_EVERY = 100

FULL = dict(micro_repetitions=20, micro_min_time=0.1, micro_warmup=0.1,
            latency_trials=5000, latency_default_trials=2000, latency_warmup=100,
            crash_trials=8, csi_trials=9, spy_rounds=15,
            parallel_rounds=10, parallel_trials=10, parallel_run_ms=2)
QUICK = dict(micro_repetitions=5, micro_min_time=0.02, micro_warmup=0.02,
             latency_trials=1000, latency_default_trials=300, latency_warmup=20,
             crash_trials=3, csi_trials=3, spy_rounds=5,
             parallel_rounds=3, parallel_trials=5, parallel_run_ms=2)

# The gdb-based inspector that py-spy and pystack replaced, run from this
# commit's sources (git archive) beside the current one when gdb is installed.
GDB_BASELINE = "9df43f2"


def clock_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


# ---------------------------------------------------------------------------
# Building: the client sees only the installed header, like a user's module.
# ---------------------------------------------------------------------------

def talvex_include():
    out = subprocess.run([sys.executable, "-m", "talvex", "--include"],
                         check=True, capture_output=True, text=True)
    return out.stdout.strip()


def kernel_flags(level):
    return [f"-{level}", *KERNEL_ALIGNMENT, *(f for f in CXXFLAGS if not f.startswith("-O"))]


def build():
    """Compiles the kernels at each level and links them into tvbench;
    returns the commands."""
    BUILD.mkdir(parents=True, exist_ok=True)
    target = BUILD / ("tvbench" + sysconfig.get_config_var("EXT_SUFFIX"))
    include = [f"-I{talvex_include()}", f"-I{sysconfig.get_paths()['include']}"]
    commands, objects = [], []
    for level in KERNEL_LEVELS:
        obj = BUILD / f"kernels-{level}.o"
        commands.append([CXX, *kernel_flags(level), f"-DTVK_LEVEL={level}", *include, "-c",
                         str(KERNELS), "-o", str(obj)])
        objects.append(str(obj))
    commands.append([CXX, *CXXFLAGS, "-shared", *include, str(SOURCE), *objects,
                     "-o", str(target), *LIBS])
    for cmd in commands:
        subprocess.run(cmd, check=True)
    return commands


# ---------------------------------------------------------------------------
# The machine
# ---------------------------------------------------------------------------

def first_line(cmd):
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return None
    lines = out.stdout.strip().splitlines()
    return lines[0] if out.returncode == 0 and lines else None


def cpuinfo_field(name):
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            if key.strip() == name:
                return value.strip()
    except OSError:
        pass
    return None


def machine():
    mem = None
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                mem = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
    except OSError:
        pass
    flags = (cpuinfo_field("flags") or "").split()
    git = first_line(["git", "-C", str(ROOT), "rev-parse", "HEAD"])
    dirty = first_line(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no"])
    return {
        "cpu_model": cpuinfo_field("model name") or platform.processor(),
        "cpu_family_model_stepping": "/".join(
            cpuinfo_field(k) or "?" for k in ("cpu family", "model", "stepping")),
        "cores_online": os.cpu_count(),
        "cores_usable": len(os.sched_getaffinity(0)),
        "virtualised": "hypervisor" in flags,
        "memory": mem,
        "kernel": f"{platform.system()} {platform.release()} {platform.version()}",
        "libc": " ".join(platform.libc_ver()),
        "compiler": first_line([CXX, "--version"]),
        "compiler_flags": " ".join(CXXFLAGS),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "python_build": " ".join(platform.python_build()),
        "google_benchmark": first_line(["dpkg-query", "-W", "-f", "${Version}",
                                        "libbenchmark-dev"]),
        "talvex": importlib.metadata.version("talvex"),
        "git_commit": git,
        "git_tree_modified": bool(dirty) if git else None,
        "date_utc": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "load_average_at_start": [round(x, 2) for x in os.getloadavg()],
    }


# ---------------------------------------------------------------------------
# Statistics
# ---------------------------------------------------------------------------

def p99(xs):
    return statistics.quantiles(xs, n=100, method="inclusive")[98]


def summary(xs):
    xs = sorted(xs)
    q = statistics.quantiles(xs, n=100, method="inclusive")
    return {"n": len(xs), "min": xs[0], "p10": q[9], "median": statistics.median(xs),
            "p90": q[89], "p99": q[98], "max": xs[-1]}


# ---------------------------------------------------------------------------
# Micro-benchmarks (Google Benchmark inside tvbench)
# ---------------------------------------------------------------------------

def run_micro(tvbench, cfg):
    flags = [f"--benchmark_repetitions={cfg['micro_repetitions']}",
             f"--benchmark_min_time={cfg['micro_min_time']}",
             f"--benchmark_min_warmup_time={cfg['micro_warmup']}",
             "--benchmark_enable_random_interleaving=true"]
    # The comparison for an interrupt outside a region: the interpreter's own
    # handler at both levels, for a signal talvex does not handle.
    signal.signal(signal.SIGUSR1, signal.default_int_handler)
    rows, context = tvbench.run_micro(flags)
    by_name = {}
    for name, real_ns, cpu_ns, iterations, rep, error in rows:
        if error:
            raise RuntimeError(f"{name}: {error}")
        by_name.setdefault(name.removeprefix("BM_"), []).append(
            {"real_ns": real_ns, "cpu_ns": cpu_ns, "iterations": iterations})
    result = {}
    for name, reps in by_name.items():
        cpu = [r["cpu_ns"] for r in reps]
        real = [r["real_ns"] for r in reps]
        result[name] = {
            "cpu_ns_median": statistics.median(cpu),
            "cpu_ns_cv": statistics.stdev(cpu) / statistics.mean(cpu) if len(cpu) > 1 else 0.0,
            "real_ns_median": statistics.median(real),
            "repetitions": len(reps),
            "iterations_per_repetition": reps[0]["iterations"],
            "cpu_ns": [round(x, 4) for x in cpu],
        }
    return {"flags": flags, "context": context, "benchmarks": result}


# ---------------------------------------------------------------------------
# Interrupt latency
# ---------------------------------------------------------------------------

def realtime():
    """Switch this thread to SCHED_FIFO; return how to undo it, or None."""
    try:
        old = (os.sched_getscheduler(0), os.sched_getparam(0))
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(1))
    except (AttributeError, OSError):
        return None
    return old


def run_latency(tvbench, trials, warmup, scheduling, seed=1):
    alarm = importlib.import_module("talvex.signals").AlarmInterrupt
    modes = {
        "floor": lambda delay: tvbench.wait_floor(delay, KeyboardInterrupt),
        "jump": lambda delay: tvbench.wait_jump(delay, signal.SIGINT),
        "cooperative": lambda delay: tvbench.wait_cooperative(delay, signal.SIGINT),
        "poll": lambda delay: tvbench.wait_poll(delay, POLL_EVERY),
        # SIGALRM from a timer aimed at the main thread: talvex.AlarmInterrupt,
        # against a floor that raises the same class.
        "floor_alarm": lambda delay: tvbench.wait_floor(delay, alarm),
        "jump_alarm": lambda delay: tvbench.wait_jump(delay, signal.SIGALRM),
        "cooperative_alarm": lambda delay: tvbench.wait_cooperative(delay, signal.SIGALRM),
        "cooperative_alarm_nothrow":
            lambda delay: tvbench.wait_cooperative_nothrow(delay, signal.SIGALRM),
    }
    samples = {m: [] for m in modes}
    rng = random.Random(seed)
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for trial in range(warmup + trials):
            order = list(modes)
            rng.shuffle(order)  # load that comes and goes hits every mode alike
            for mode in order:
                # A random expiry, so the signal falls anywhere in a work unit
                # and anywhere in the polling period.
                delay = rng.randrange(200_000, 600_000)
                try:
                    modes[mode](delay)
                except KeyboardInterrupt:
                    caught = clock_ns()
                else:
                    raise RuntimeError(f"{mode}: returned without an exception")
                latency = caught - tvbench.last_expiry()
                if latency < 0:
                    # Not our timer's: somebody pressed Ctrl-C.
                    raise KeyboardInterrupt
                if trial >= warmup:
                    samples[mode].append(latency / 1000.0)
                # Idle a little between trials: a real-time thread that never
                # sleeps is throttled by the kernel for tens of milliseconds.
                time.sleep(0.0002)
    finally:
        if gc_was_enabled:
            gc.enable()
    unit_ns = tvbench.work_unit_ns(200_000)
    return {
        "unit": "us",
        "scheduling": scheduling,
        "trials_per_mode": trials,
        "warmup_trials_per_mode": warmup,
        "delay_range_us": [200, 600],
        "work_unit_ns": unit_ns,
        "poll_every_units": POLL_EVERY,
        "poll_period_us": POLL_EVERY * unit_ns / 1000.0,
        "garbage_collector": "off during the trials",
        "modes": {m: summary(xs) | {"over_100us": sum(x > 100 for x in xs)}
                  for m, xs in samples.items()},
    }


def run_latencies(tvbench, cfg):
    """The figures come from a SCHED_FIFO pass where the process may have
    one: on a shared machine, time spent runnable behind other processes
    says nothing about talvex and swamps the tail. A shorter pass under the
    default policy is kept beside it. Returns (figures' pass, other pass)."""
    old = realtime()
    if old is None:
        return run_latency(tvbench, cfg["latency_trials"], cfg["latency_warmup"],
                           "SCHED_OTHER (default; SCHED_FIFO refused)"), None
    try:
        rt = run_latency(tvbench, cfg["latency_trials"], cfg["latency_warmup"],
                         "SCHED_FIFO priority 1")
    finally:
        os.sched_setscheduler(0, *old)
    default = run_latency(tvbench, cfg["latency_default_trials"], cfg["latency_warmup"],
                          "SCHED_OTHER (default)", seed=2)
    return rt, default


# ---------------------------------------------------------------------------
# Regions in parallel threads
# ---------------------------------------------------------------------------

def run_parallel(tvbench, cfg):
    """A pool of 1 and of 2 native threads, each doing the same chunks of
    work with a region around each chunk or without talvex, the runs
    interleaved; the wall time from the first thread's start to the last
    one's end. 2 threads only where each thread has its own record.

    The figures are the fastest runs: another process can only add time to
    a run (a thread waiting for a core), and a run of 2 threads is
    undisturbed only while both cores are free (without SCHED_FIFO, on this
    shared machine, a whole set of 100 runs once had none such)."""
    chunk_ns = min(tvbench.chunk_ns(100) for _ in range(5))
    chunks = max(1, round(cfg["parallel_run_ms"] * 1e6 / chunk_ns))
    counts = (1, 2) if tvbench.THREAD_RECORDS else (1,)
    wall = {n: {True: [], False: []} for n in counts}
    cpu = {n: {True: [], False: []} for n in counts}
    # The pool's threads inherit the policy: at SCHED_FIFO, where it may be
    # had, a run of 2 threads gets both cores whatever else the machine runs.
    old = realtime()
    try:
        for _ in range(cfg["parallel_rounds"]):
            for n in counts:
                for regions, wall_ns, cpu_ns in tvbench.parallel(n, chunks,
                                                                 cfg["parallel_trials"]):
                    wall[n][regions].append(wall_ns / 1e6)
                    cpu[n][regions].append(cpu_ns / 1e6)
    finally:
        if old is not None:
            os.sched_setscheduler(0, *old)
    result = {
        "unit": "ms",
        "scheduling": ("SCHED_FIFO priority 1" if old is not None
                       else "SCHED_OTHER (default; SCHED_FIFO refused)"),
        "chunk_units": tvbench.CHUNK_UNITS,
        "chunk_us": min(wall[1][False]) * 1000 / chunks,
        "chunks_per_thread": chunks,
        "runs_per_mode": cfg["parallel_rounds"] * cfg["parallel_trials"],
        "threads": {},
    }
    if not tvbench.THREAD_RECORDS:
        result["note"] = "this talvex has one region record: no regions in 2 threads at once"
    for n in counts:
        result["threads"][str(n)] = {
            "regions_wall_ms_min": min(wall[n][True]),
            "bare_wall_ms_min": min(wall[n][False]),
            "regions_wall_ms_median": statistics.median(wall[n][True]),
            "bare_wall_ms_median": statistics.median(wall[n][False]),
            # CPU time of all the pool's threads: what contention between
            # them costs shows here too, waiting does not.
            "regions_cpu_ms_median": statistics.median(cpu[n][True]),
            "bare_cpu_ms_median": statistics.median(cpu[n][False]),
            "regions_wall_ms": [round(x, 3) for x in wall[n][True]],
            "bare_wall_ms": [round(x, 3) for x in wall[n][False]],
        }
    return result


# ---------------------------------------------------------------------------
# Crash to exit
# ---------------------------------------------------------------------------

# The child writes CLOCK_MONOTONIC (shared by all processes) just before the
# fault, or before a normal exit or an immediate os._exit() from the same
# point; the parent notes the moment it has reaped the child. Three more
# threads sleep in Python, so that the report has four threads' stacks.
# "crash_standin PY-SPY" gives SIGSEGV a bare handler that runs py-spy
# instead of talvex's.
CHILD = """
import os, sys, threading, time
import talvex, tvbench
if sys.argv[1] == "crash_standin":
    tvbench.install_pyspy_standin(sys.argv[2])
started = threading.Barrier(4)
def sleeper():
    started.wait()
    time.sleep(600)
for _ in range(3):
    threading.Thread(target=sleeper, daemon=True).start()
started.wait()
if sys.argv[1] == "pause":
    print("ready", flush=True)
    time.sleep(600)
os.write(1, str(time.clock_gettime_ns(time.CLOCK_MONOTONIC)).encode())
if sys.argv[1].startswith("crash"):
    tvbench.segv()
if sys.argv[1] == "_exit":
    os._exit(0)
"""


def child_env(**extra):
    env = dict(os.environ)
    for k in ("PYTHONFAULTHANDLER", "TALVEX_CRASH_QUIET", "TALVEX_CRASH_NDEBUG"):
        env.pop(k, None)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(BUILD), env.get("PYTHONPATH")) if p)
    env.update(extra)
    return env


# The inspector's run in phases, from the CLOCK_MONOTONIC marks it writes
# where _TALVEX_CSI_TIMES asks; "fault" is the child's marker and "reaped"
# the parent's. A phase whose start mark is missing starts at the first of
# its alternatives that is there.
TIMES_ENV = "_TALVEX_CSI_TIMES"
PHASES = [
    ("handler, inspector started, interpreter start-up", ["fault"], "started"),
    ("inspector's first imports, py-spy taken over", ["started"], "py-spy running"),
    ("meanwhile: the rest imported, /proc and context read", ["py-spy running"], "reading"),
    # The crash handler starts py-spy as it starts the inspector.
    ("py-spy: started, attached, stacks read and symbolised (from the fault)", ["fault"],
     "py-spy done"),
    ("pystack: interpreter started, imported, attached, stacks read", ["py-spy done", "reading"],
     "pystack done"),
    ("report formatted and written", ["stacks read"], "written"),
    ("closing lines, death by the signal, reaped", ["written"], "reaped"),
]
# The inspector's own share: from its first line of Python to its report written.
OWN_SHARE = ("started", "written")


def children_cpu_ms():
    """CPU time of every child reaped so far, descendants they reaped included."""
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (ru.ru_utime + ru.ru_stime) * 1e3


def one_child(kind, env, cpu=None):
    """One child from start to reaped. `cpu`: the one CPU it (and all it
    starts) may run on, as the inspector runs where the crashing process was
    pinned to a core; None: any."""
    times = None
    if TIMES_ENV in env:
        times = Path(env[TIMES_ENV])
        times.unlink(missing_ok=True)
    pin = None if cpu is None else (lambda: os.sched_setaffinity(0, {cpu}))
    cpu_before = children_cpu_ms()
    start = clock_ns()
    p = subprocess.Popen([sys.executable, "-c", CHILD, *kind.split(" ", 1)], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=pin)
    try:
        out, err = p.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        raise RuntimeError(f"{kind} child did not end within 120 s")
    end = clock_ns()
    marker = int(out) if out.strip().isdigit() else None
    r = {"end": end, "wall_ms": (end - start) / 1e6,
         "after_marker_ms": (end - marker) / 1e6 if marker else None,
         "cpu_ms": children_cpu_ms() - cpu_before,
         "returncode": p.returncode, "stderr": err}
    if times is not None and marker and times.exists():
        marks = dict(json.loads(times.read_text()))
        marks.update(fault=marker / 1e9, reaped=end / 1e9)
        r["phases_ms"] = {}
        for name, starts, b in PHASES:
            a = next((m for m in starts if m in marks), None)
            if a is not None and b in marks:
                r["phases_ms"][name] = (marks[b] - marks[a]) * 1e3
        r["own_share_ms"] = (marks[OWN_SHARE[1]] - marks[OWN_SHARE[0]]) * 1e3
    return r


def gdb_inspector(scratch, baseline):
    """A talvex-CSI command that runs the gdb-based inspector of the
    baseline commit (the crash handler runs it as _TALVEX_CSI_PROGRAM), or
    None with the reason it cannot run here."""
    if shutil.which("gdb") is None:
        return None, "gdb is not installed: the gdb-based inspector was not measured"
    tree = scratch / "gdb-inspector"
    tree.mkdir()
    try:
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", baseline, "src/talvex_csi"],
                                 capture_output=True, check=True, timeout=60).stdout
        subprocess.run(["tar", "-x", "-C", str(tree)], input=archive, check=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as e:
        return None, f"the inspector of {baseline} could not be taken from git: {e}"
    bin_dir = scratch / "gdb-bin"
    bin_dir.mkdir()
    command = bin_dir / "talvex-CSI"
    command.write_text('#!/bin/sh\nexec "%s" -P "%s" "$@"\n'
                       % (sys.executable, tree / "src" / "talvex_csi" / "__init__.py"))
    command.chmod(0o755)
    return command, None


def pyspy_path():
    """The py-spy installed beside this interpreter, as the inspector finds it."""
    return shutil.which("py-spy", path=str(Path(sys.executable).parent))


def inspector_interpreter():
    """The interpreter that runs the installation's inspector, as the crash
    handler finds it (None for a build that does not say)."""
    try:
        from talvex_csi import installation
    except ImportError:
        return None
    return installation.interpreter()


def run_crash(cfg, baseline):
    """Every fault-to-end variant. The children run at SCHED_FIFO priority 1
    where this process may use it (they inherit it), as the latency rows
    do: on a shared 2-core machine a crash path of a few processes spends
    more time runnable behind other processes than running, and that time,
    not the path, decided the figures and their ratios."""
    old = realtime()
    try:
        result = crash_variants(cfg, baseline)
    finally:
        if old is not None:
            os.sched_setscheduler(0, *old)
    result["scheduling"] = ("SCHED_FIFO priority 1" if old is not None
                            else "SCHED_OTHER (default; SCHED_FIFO refused)")
    return result


def crash_variants(cfg, baseline):
    plain = child_env()
    scratch = Path(tempfile.mkdtemp(prefix="talvex-bench-"))
    times = {TIMES_ENV: str(scratch / "times.json")}
    # Variants: (child's kind, environment, trials, the one CPU it runs on or None).
    variants = {
        "normal_exit": ("exit", plain, cfg["crash_trials"], None),
        "immediate_exit": ("_exit", plain, cfg["crash_trials"], None),
        "ndebug": ("crash", child_env(TALVEX_CRASH_NDEBUG="1"), cfg["crash_trials"], None),
        "inspector": ("crash", child_env(**times), cfg["csi_trials"], None),
        "inspector_pystack_alone": ("crash", child_env(_TALVEX_CSI_READER="pystack", **times),
                                    cfg["csi_trials"], None),
    }
    notes = []
    spy = pyspy_path()
    # A process pinned to one core (as a benchmark harness or a container
    # limited to one CPU pins it) crashes on that core alone: the inspector
    # and its stack reader then share it, and nothing they do overlaps.
    one_cpu = min(os.sched_getaffinity(0))
    if spy is None:
        notes.append("py-spy is not installed beside this interpreter: no stand-in inspector")
    else:
        # The least a report from py-spy costs: py-spy dump --native run
        # from a bare handler, with nothing of talvex's crash path.
        variants["pyspy_standin"] = (f"crash_standin {spy}", plain, cfg["csi_trials"], None)
        variants["inspector_one_cpu"] = ("crash", plain, cfg["csi_trials"], one_cpu)
        variants["pyspy_standin_one_cpu"] = (f"crash_standin {spy}", plain, cfg["csi_trials"],
                                             one_cpu)
    if baseline is None:
        gdb_command, why = None, None
    else:
        gdb_command, why = gdb_inspector(scratch, baseline)
    if why is not None:
        notes.append(why)
    if gdb_command is not None:
        # gdb keeps an index of each library's symbols in its cache
        # directory, warmed by the untimed crash below, as on any crash
        # after the first on a machine.
        variants["inspector_gdb"] = ("crash", child_env(
            _TALVEX_CSI_PROGRAM=str(gdb_command),
            XDG_CACHE_HOME=str(scratch / "gdb-cache"), **times), cfg["csi_trials"], None)
    inspector = inspector_interpreter()
    runs = {v: [] for v in variants}
    for name, (kind, env, _, cpu) in variants.items():
        one_child(kind, env, cpu)  # the page cache, and gdb's index cache
    for i in range(max(n for _, _, n, _ in variants.values())):
        for name, (kind, env, n, cpu) in variants.items():
            if i >= n:
                continue
            r = one_child(kind, env, cpu)
            want = -11 if kind.startswith("crash") else 0
            if r["returncode"] != want:
                raise RuntimeError(f"{name}: exit status {r['returncode']}, wanted {want}:\n"
                                   + r["stderr"].decode(errors="replace"))
            if name == "pyspy_standin":
                check_standin_output(r["stderr"])
            if name.startswith("inspector"):
                problems = [l for l in r["stderr"].decode(errors="replace").splitlines()
                            if l.startswith(("talvex-CSI:", "talvex failed"))]
                notes.extend(f"{name}: {l}" for l in problems if f"{name}: {l}" not in notes)
            r["stderr_bytes"] = len(r.pop("stderr"))
            runs[name].append(r)
    spy = pyspy_breakdown(cfg)
    shutil.rmtree(scratch, ignore_errors=True)
    base = statistics.median(r["wall_ms"] for r in runs["normal_exit"])
    result = {"unit": "ms", "inspector_path": inspector, "gdb_baseline": baseline,
              "notes": notes, "variants": {}, "pyspy_breakdown": spy, "one_cpu": one_cpu,
              "interpreter_start_cpu_ms": interpreter_start_cpu(inspector, cfg)}
    for name, rs in runs.items():
        wall = statistics.median(r["wall_ms"] for r in rs)
        result["variants"][name] = v = {
            "trials": len(rs),
            # From the fault (or the normal exit's start) to the parent
            # having reaped the child: the figure.
            "fault_to_end_ms_median": statistics.median(r["after_marker_ms"] for r in rs),
            "fault_to_end_ms": [round(r["after_marker_ms"], 2) for r in rs],
            # Whole child, start to reaped, and that less the normal exit's.
            "wall_ms_median": wall,
            "wall_minus_normal_exit_ms": wall - base,
            "stderr_bytes_median": statistics.median(r["stderr_bytes"] for r in rs),
            # CPU time of the child and all it started, and that less the
            # crash without inspector's: what the crash path itself burns.
            "cpu_ms_median": statistics.median(r["cpu_ms"] for r in rs),
        }
        timed_runs = [r for r in rs if "phases_ms" in r]
        if timed_runs and name != "inspector_gdb":
            v["own_share_ms_median"] = statistics.median(r["own_share_ms"] for r in timed_runs)
            v["phases_ms_median"] = {
                name: statistics.median(r["phases_ms"][name] for r in timed_runs
                                        if name in r["phases_ms"])
                for name, _, _ in PHASES if any(name in r["phases_ms"] for r in timed_runs)}
    return result


def interpreter_start_cpu(inspector, cfg):
    """CPU time of the inspector's interpreter starting and ending with
    nothing to do (`python -c pass`, site and all), median: what any
    inspector written in Python costs before its first line."""
    python = inspector or sys.executable
    times = []
    for _ in range(cfg["spy_rounds"]):
        before = children_cpu_ms()
        subprocess.run([python, "-c", "pass"], check=True)
        times.append(children_cpu_ms() - before)
    return statistics.median(times)


def check_standin_output(stderr):
    """The stand-in's figure counts only if py-spy did read the four
    threads' stacks."""
    text = stderr.decode(errors="replace")
    threads = [l for l in text.splitlines() if l.startswith("Thread ")]
    if len(threads) != 4 or "segv" not in text:
        raise RuntimeError("py-spy stand-in: wanted the four threads' stacks and the faulting "
                           "frame, got:\n" + text)


def pyspy_breakdown(cfg):
    """py-spy's own time on the same four-thread child, paused and alive:
    the binary's start alone, an attach reading the Python stacks, and the
    full read with the native stacks and their symbols."""
    spy = pyspy_path()
    if spy is None:
        return None
    child = subprocess.Popen([sys.executable, "-c", CHILD, "pause"], env=child_env(),
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        pid = str(child.pid)
        commands = {
            "start only (py-spy --version)": [spy, "--version"],
            "attach, Python stacks (dump --json)": [spy, "dump", "--json", "--pid", pid],
            "attach, Python and native stacks (dump --native --json)":
                [spy, "dump", "--native", "--json", "--pid", pid],
        }
        times = {k: [] for k in commands}
        for name, cmd in commands.items():
            subprocess.run(cmd, capture_output=True, check=True)
        for _ in range(cfg["spy_rounds"]):
            for name, cmd in commands.items():
                start = clock_ns()
                subprocess.run(cmd, capture_output=True, check=True)
                times[name].append((clock_ns() - start) / 1e6)
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
    return {name: {"median_ms": statistics.median(ts), "ms": [round(t, 2) for t in ts]}
            for name, ts in times.items()}


# ---------------------------------------------------------------------------
# The figures
# ---------------------------------------------------------------------------

def figure(key, name, value, unit, comparison, comparison_value, goal=None, met=None,
           note=None):
    """One row: `key` names it across builds (--compare), `name` for people."""
    return {"key": key, "figure": name, "value": value, "unit": unit,
            "comparison": comparison, "comparison_value": comparison_value,
            "ratio": value / comparison_value if comparison_value else None,
            "goal": goal, "met": met, "note": note}


def micro_figures(micro):
    b = {k: v["cpu_ns_median"] for k, v in micro["benchmarks"].items()}
    out = []
    pair = b["sig_on_off"]
    out.append(figure("pair_vs_call", "sig_on()+sig_off() pair", pair, "ns",
                      "empty noinline call", b["empty_call"]))
    # Each floor with its sequentially consistent stores spelt two ways: a
    # plain store and a full fence (mfence), as the record's contract words
    # it, which the goal is set against; and one xchg each, the cheapest
    # such store on x86-64, which tv_store() uses.
    out.append(figure("pair_vs_fence_floor", "sig_on()+sig_off() pair", pair, "ns",
                      "floor: sigsetjmp(buf,0) + 2 stores, each + mfence", b["floor_fence"],
                      "ratio <= 1.0", pair <= b["floor_fence"]))
    out.append(figure("pair_vs_floor", "sig_on()+sig_off() pair", pair, "ns",
                      "floor: sigsetjmp(buf,0) + 2 xchg stores", b["floor"]))
    nested = b.get("nested_sig_on_off")
    if nested is not None:
        out.append(figure("nested_pair_vs_fence_floor", "nested sig_on()+sig_off() pair", nested,
                          "ns", "nested floor: a load + 2 stores, each + mfence",
                          b["nested_floor_fence"], "ratio <= 1.0",
                          nested <= b["nested_floor_fence"]))
        out.append(figure("nested_pair_vs_floor", "nested sig_on()+sig_off() pair", nested, "ns",
                          "nested floor: a load + 2 xchg stores", b["nested_floor"]))
    for key, label in (("sig_check", "sig_check()"),
                       ("cooperative_check", "talvex::check(), cooperative scope")):
        ratio = b[key] / b["PyErr_CheckSignals"]
        out.append(figure(key, label, b[key], "ns", "PyErr_CheckSignals()",
                          b["PyErr_CheckSignals"], "ratio <= 0.1 (10x)", ratio <= 0.1,
                          f"{1 / ratio:.0f}x cheaper"))
    return out


SPOTS = (("row", "poll per row update"), ("inner", "poll in the innermost loop"))


def kernel_figures(micro, countdown):
    """The matrix multiply with a poll, against the bare kernel of its level;
    and talvex::check() against sig_check() at the same spot."""
    polls = (("sig_check", "sig_check()"),
             ("check", "talvex::check() in a cooperative scope"),
             ("PyErr_CheckSignals", f"PyErr_CheckSignals() every {countdown} multiply-adds"),
             ("volatile", "volatile flag, the floor of any poll"))
    b = {k: v["cpu_ns_median"] / 1000 for k, v in micro["benchmarks"].items()}
    tol = KERNEL_TOLERANCE
    out = []
    for level in KERNEL_LEVELS:
        bare = b.get(f"kernel_{level}_bare")
        if bare is None:
            continue
        for spot, where in SPOTS:
            t = {poll: b[f"kernel_{level}_{spot}_{poll}"] for poll, _ in polls}
            r = {poll: x / bare for poll, x in t.items()}
            for poll, label in polls:
                goal = met = None
                if poll in ("sig_check", "check"):
                    if spot == "row" and level == "O2":
                        goal, met = "ratio <= 1.05", r[poll] <= 1.05
                    else:
                        floor = "volatile" if spot == "row" else "PyErr_CheckSignals"
                        goal = f"ratio <= {r[floor]:.3g}, the {floor} row's (+{tol:.0%})"
                        met = r[poll] <= r[floor] * (1 + tol)
                out.append(figure(f"kernel_{level}_{spot}_{poll}",
                                  f"kernel -{level}, {where}: {label}", t[poll], "us",
                                  f"bare kernel -{level}", bare, goal, met))
            out.append(figure(f"kernel_{level}_{spot}_check_vs_sig_check",
                              f"kernel -{level}, {where}: talvex::check()", t["check"], "us",
                              "sig_check() at the same spot", t["sig_check"],
                              f"ratio <= 1 (+{tol:.0%})",
                              t["check"] <= t["sig_check"] * (1 + tol)))
    return out


def parallel_figures(par):
    out = []
    threads = par["threads"]
    for n, x in threads.items():
        goal = met = note = None
        if n != "1":
            goal = "ratio <= 1.05"
            met = x["regions_wall_ms_min"] / x["bare_wall_ms_min"] <= 1.05
            if "1" in threads:
                note = "%.2fx one thread's wall" % (
                    x["regions_wall_ms_min"] / threads["1"]["regions_wall_ms_min"])
        plural = "" if n == "1" else "s"
        out.append(figure(f"parallel_{n}",
                          f"{n} thread{plural}, a region per {par['chunk_us']:.1f} us chunk",
                          x["regions_wall_ms_min"], "ms",
                          f"the same chunks in {n} thread{plural} without talvex",
                          x["bare_wall_ms_min"], goal, met, note))
    return out


# Latency rows: (mode, label, floor mode, goal on both ratios or None).
LATENCY_ROWS = (
    ("jump", "latency, SIGINT, jump out of region", "floor", None),
    ("cooperative", "latency, SIGINT, cooperative check()", "floor", None),
    ("poll", f"latency, SIGINT, PyErr_CheckSignals() every {POLL_EVERY} units", "floor", None),
    ("jump_alarm", "latency, SIGALRM at the thread, jump out of region", "floor_alarm", 1.10),
    ("cooperative_alarm", "latency, SIGALRM at the thread, cooperative check() every unit",
     "floor_alarm", 1.30),
    ("cooperative_alarm_nothrow", "latency, SIGALRM at the thread, cooperative scope, the "
     "claim of check() without its C++ throw", "floor_alarm", None),
)


def latency_figures(latency):
    m = latency["modes"]
    out = []
    for mode, label, floor, goal in LATENCY_ROWS:
        if mode not in m:
            continue
        floor_label = ("floor: bare handler + flag" if floor == "floor"
                       else "floor: bare handler + flag, AlarmInterrupt")
        for stat, name in (("median", "median"), ("p99", "p99")):
            goal_text = met = None
            if goal is not None:
                goal_text, met = f"ratio <= {goal}", m[mode][stat] <= goal * m[floor][stat]
            elif mode == "jump" and stat == "p99":
                goal_text, met = "p99 < 100 us", m[mode]["p99"] < 100
            out.append(figure(f"latency_{mode}_{stat}", f"{label}, {name}", m[mode][stat], "us",
                              f"{floor_label}, {name}", m[floor][stat], goal_text, met))
    return out


def crash_figures(crash):
    v = crash["variants"]
    normal = v["normal_exit"]["fault_to_end_ms_median"]
    normal_label = "same child, normal exit"
    total = v["inspector"]["fault_to_end_ms_median"]
    label = "fault outside region -> end, talvex-CSI"
    out = [figure("crash_vs_normal_exit", label, total, "ms", normal_label, normal,
                  "under 100 ms", total < 100,
                  note=None if crash["inspector_path"] else "talvex-CSI not found")]
    standin = v.get("pyspy_standin")
    if standin:
        x = standin["fault_to_end_ms_median"]
        out.append(figure("crash_vs_standin", label, total, "ms",
                          "stand-in: py-spy dump --native from a bare handler", x,
                          "ratio <= 1.2", total / x <= 1.2))
        one, one_standin = (v["inspector_one_cpu"]["fault_to_end_ms_median"],
                            v["pyspy_standin_one_cpu"]["fault_to_end_ms_median"])
        out.append(figure("crash_vs_standin_one_cpu", label + ", pinned to one CPU", one, "ms",
                          "the stand-in pinned to the same CPU", one_standin,
                          "ratio <= 1.2", one / one_standin <= 1.2))
        ndebug_cpu = v["ndebug"]["cpu_ms_median"]
        own = v["inspector"]["cpu_ms_median"] - ndebug_cpu
        standin_own = standin["cpu_ms_median"] - ndebug_cpu
        out.append(figure("crash_cpu_vs_standin", "CPU time of the crash path, talvex-CSI "
                          "(the child's and its descendants', less CRASH_NDEBUG's)", own, "ms",
                          "the same for the stand-in", standin_own))
        start = crash.get("interpreter_start_cpu_ms")
        if start is not None:
            out.append(figure("crash_interpreter_start", "CPU time of the inspector's "
                              "interpreter starting with nothing to do (python -c pass)",
                              start, "ms", "the stand-in's crash path CPU time", standin_own,
                              note="share; on one CPU the ratio above cannot fall below "
                                   "1 + this share"))
    gdb = v.get("inspector_gdb")
    if gdb:
        gdb_label = f"the same, gdb-based talvex-CSI of {crash['gdb_baseline']}"
        ratio = total / gdb["fault_to_end_ms_median"]
        out.append(figure("crash_vs_gdb", label, total, "ms", gdb_label,
                          gdb["fault_to_end_ms_median"], "ratio <= 0.4", ratio <= 0.4))
        out.append(figure("crash_pystack_alone_vs_gdb", label + " with pystack alone",
                          v["inspector_pystack_alone"]["fault_to_end_ms_median"], "ms",
                          gdb_label, gdb["fault_to_end_ms_median"]))
    else:
        out.append(figure("crash_pystack_alone_vs_normal_exit", label + " with pystack alone",
                          v["inspector_pystack_alone"]["fault_to_end_ms_median"], "ms",
                          normal_label, normal))
    if "own_share_ms_median" in v["inspector"]:
        out.append(figure("crash_own_share",
                          "talvex-CSI's own share (its start to its report written)",
                          v["inspector"]["own_share_ms_median"], "ms", label, total))
    out.append(figure("crash_ndebug", "fault outside region -> end, CRASH_NDEBUG",
                      v["ndebug"]["fault_to_end_ms_median"], "ms", normal_label, normal))
    return out


def signal_figures(micro, masks):
    """An interrupt outside a region against plain CPython's path, and a
    recovery against the least a jump-based one costs, in microseconds."""
    b = {k: v["cpu_ns_median"] / 1000 for k, v in micro["benchmarks"].items()}
    talvex, cpython = b["interrupt_outside_talvex"], b["interrupt_outside_cpython"]
    out = [figure("interrupt_outside", "interrupt outside a region: raise() to exception set",
                  talvex, "us", "the same, interpreter's own handler", cpython,
                  "ratio <= 1.05", talvex / cpython <= 1.05,
                  note=f"{(talvex - cpython) * 1000:+.0f} ns")]
    if "exception_with_entry" in b:
        # The traceback entry every error leaving python_check_interrupt
        # carries, which CPython's own handler does not add: its share of
        # CPython's whole path, against the 5 % the goal allows.
        entry = b["exception_with_entry"] - b["exception_alone"]
        out.append(figure("traceback_entry", "python_check_interrupt's traceback entry "
                          "(PyTraceBack_Here and its release)", entry, "us",
                          "interrupt outside a region, interpreter's own handler", cpython,
                          note="share; the goal above allows 0.05"))
    value, hand = b["fault_exception_talvex"], b["fault_exception_hand_rolled"]
    out.append(figure("fault_exception", "fault in a region -> SignalError set", value, "us",
                      "hand-rolled: sigsetjmp(buf,0), handler siglongjmp, 1 sigprocmask, "
                      "the same exception", hand, "ratio <= 1.05", value / hand <= 1.05))
    for kind, how in (("interrupt", "raise(SIGINT)"), ("fault", "SIGSEGV")):
        value = b[f"recovery_{kind}"]
        for key, floor, label in (
                (f"recovery_{kind}", f"bare_recovery_{kind}",
                 "bare handler, siglongjmp, 1 sigprocmask"),
                (f"recovery_{kind}_blocking", f"blocking_recovery_{kind}",
                 "the same bare handler, keeping the interrupts blocked until its "
                 "sigprocmask")):
            if floor in b:
                out.append(figure(key, f"recovery from {how}: jump + _sig_on_recover()", value,
                                  "us", label, b[floor], "ratio <= 1.05",
                                  value / b[floor] <= 1.05))
    entry, landing, after = masks
    needed = landing != after
    out.append(figure("sigprocmask", "recovery's own sigprocmask (one call)", b["sigprocmask"],
                      "us", "recovery from raise(SIGINT)", b["recovery_interrupt"],
                      note="share; " + ("needed: the hop leaves %s blocked" % sorted(
                          set(landing) - set(after)) if needed else "redundant: the hop "
                          "already installs the mask the recovery sets")))
    return out


def fmt(x, unit):
    if x is None:
        return "-"
    digits = 3 if abs(x) < 10 else (1 if abs(x) < 1000 else 0)
    return f"{x:.{digits}f} {unit}"


def print_rows(head, rows):
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    line = "  ".join("{:<%d}" % w for w in widths)
    print()
    print(line.format(*head).rstrip())
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line.format(*r).rstrip())
    print()


def figure_rows(figs):
    rows = []
    for f in figs:
        status = "-" if f["met"] is None else ("met" if f["met"] else "NOT MET")
        ratio = "-" if f["ratio"] is None else f"{f['ratio']:.3g}"
        if f["note"]:
            ratio += f" ({f['note']})"
        rows.append((f["figure"], fmt(f["value"], f["unit"]),
                     fmt(f["comparison_value"], f["unit"]), f["comparison"], ratio,
                     f["goal"] or "-", status))
    return rows


def print_table(r):
    info, micro, latency, crash = r["machine"], r["micro"], r["latency"], r["crash"]
    par = r["parallel"]
    print()
    print(f"talvex benchmarks: {info['cpu_model']}, {info['cores_usable']} cores"
          f"{' (virtualised)' if info['virtualised'] else ''}, kernel "
          f"{info['kernel'].split()[1]}, {info['compiler']}, {info['python']}")
    print(f"  load average at start {info['load_average_at_start']}, at end "
          f"{info['load_average_at_end']}")
    print(f"  native: CPU time per operation, median of "
          f"{micro['benchmarks']['floor']['repetitions']} interleaved repetitions; kernels: "
          f"{r['settings']['kernels']['size']}x{r['settings']['kernels']['size']} doubles, "
          + "; ".join(f"-{lv}: {' '.join(f)}" for lv, f in
                      r["settings"]["kernels"]["flags"].items()))
    print(f"  parallel: wall time, fastest of {par['runs_per_mode']} interleaved runs, "
          f"{par['scheduling']}, "
          f"{par['chunks_per_thread']} chunks of {par['chunk_us']:.1f} us a thread")
    print(f"  latency: timer expiry -> exception caught in Python, "
          f"{latency['trials_per_mode']} trials a mode, {latency['scheduling']}; "
          f"work unit {latency['work_unit_ns']:.0f} ns, poll every {POLL_EVERY} units = "
          f"{latency['poll_period_us']:.1f} us")
    print_rows(("figure", "value", "comparison", "", "ratio", "goal", "status"),
               figure_rows(r["figures"]))
    for pass_ in (latency, r["latency_default_scheduling"]):
        if pass_ is None:
            continue
        parts = [f"{m} {s['median']:.1f}/{s['p99']:.1f}/{s['max']:.0f} ({s['over_100us']} > 100 us)"
                 for m, s in pass_["modes"].items()]
        print(f"latency median/p99/max us, {pass_['scheduling']}, "
              f"{pass_['trials_per_mode']} trials: " + "; ".join(parts))
    print_crash_details(crash)
    if par.get("note"):
        print("note:", par["note"])


def print_crash_details(crash):
    v = crash["variants"]
    print(f"fault/exit -> end, {crash['scheduling']}, median ms: " + "; ".join(
        f"{k} {x['fault_to_end_ms_median']:.1f} ({x['trials']} trials)" for k, x in v.items())
          + " (immediate_exit: os._exit() at that point, the harness's floor)")
    for name in ("inspector", "inspector_pystack_alone"):
        phases = v[name].get("phases_ms_median")
        if phases:
            print(f"{name}, median ms a phase: " + "; ".join(
                f"{phase} {ms:.1f}" for phase, ms in phases.items()))
    if crash.get("pyspy_breakdown"):
        print("py-spy alone on the same child, paused, median ms: " + "; ".join(
            f"{name} {x['median_ms']:.1f}" for name, x in crash["pyspy_breakdown"].items()))
    for n in crash["notes"]:
        print("note:", n)


def print_before_after(before, after, label):
    """Every row of the comparison run beside this run's, matched by key; a
    row only one build has shows '-' for the other."""
    old = {f["key"]: f for f in before}
    new = {f["key"] for f in after}
    rows = []
    for a in after + [f for f in before if f["key"] not in new]:
        b = old.get(a["key"]) if a["key"] in new else a
        a = a if a["key"] in new else None
        ratio = lambda f: "-" if f is None or f["ratio"] is None else f"{f['ratio']:.3g}"
        value = lambda f: "-" if f is None else fmt(f["value"], f["unit"])
        shown = a or b
        rows.append((shown["figure"], value(b), value(a), ratio(b), ratio(a),
                     shown["comparison"]))
    print(f"before: {label}; after: this run (ratios against each run's own comparison)")
    print_rows(("figure", "before", "after", "ratio before", "ratio after", "compared with"),
               rows)


def run_compare(python, quick, build_dir):
    """Every row measured by another build's interpreter (its own talvex,
    its own header and inspector), with this same benchmark code."""
    out = build_dir / "results.json"
    cmd = [python, str(Path(__file__).resolve()), "--child", "--build-dir", str(build_dir),
           "--out", str(out)] + (["--quick"] if quick else [])
    subprocess.run(cmd, check=True)
    return json.loads(out.read_text())


def measure(tvbench, cfg, gdb_baseline):
    """Every section; the figures and what they come from."""
    print("bench: micro-benchmarks and kernels (Google Benchmark)", flush=True)
    micro = run_micro(tvbench, cfg)
    masks = tvbench.recovery_masks()
    print("bench: regions in parallel threads", flush=True)
    par = run_parallel(tvbench, cfg)
    print("bench: interrupt latency", flush=True)
    latency, latency_default = run_latencies(tvbench, cfg)
    print("bench: fault to process end", flush=True)
    crash = run_crash(cfg, gdb_baseline)
    figs = (micro_figures(micro) + kernel_figures(micro, tvbench.COUNTDOWN_MULTIPLY_ADDS)
            + parallel_figures(par) + latency_figures(latency) + crash_figures(crash)
            + signal_figures(micro, masks))
    return {
        "figures": figs,
        "micro": micro,
        "recovery_masks": {"entry": masks[0], "landing": masks[1], "after_recovery": masks[2]},
        "parallel": par,
        "latency": latency,
        "latency_default_scheduling": latency_default,
        "crash": crash,
    }


def main():
    global BUILD
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repetitions and trials")
    ap.add_argument("--out", default=str(HERE / "results.json"))
    ap.add_argument("--build-dir", default=str(BUILD), help="where tvbench is built")
    ap.add_argument("--compare", metavar="PYTHON",
                    help="also measure every row with another build's interpreter")
    ap.add_argument("--compare-label", default=None, help="what that build is")
    ap.add_argument("--child", action="store_true",
                    help="the run --compare starts: no gdb-based inspector, results to --out")
    ap.add_argument("--only-crash", action="store_true",
                    help="only the fault-to-end rows (the crash inspector), printed, "
                         "results.json left alone unless --out is given")
    ap.add_argument("--gdb-baseline", default=GDB_BASELINE, metavar="COMMIT",
                    help="commit whose gdb-based inspector is measured beside this one's")
    args = ap.parse_args()
    cfg = QUICK if args.quick else FULL
    BUILD = Path(args.build_dir)
    started = time.monotonic()
    # The comparison's build measures its own inspector only: the gdb-based
    # one is this run's.
    gdb_baseline = None if args.child else args.gdb_baseline

    print("bench: building tvbench against the installed header", flush=True)
    commands = build()
    sys.path.insert(0, str(BUILD))
    import talvex  # noqa: F401  installs the handlers, as in any user's process
    tvbench = importlib.import_module("tvbench")
    info = machine()
    info["talvex_runtime"] = importlib.import_module("talvex.signals").__file__
    settings = cfg | {
        "quick": args.quick,
        "build": [" ".join(c).replace(str(ROOT) + "/", "") for c in commands],
        "kernels": {"size": tvbench.KERNEL_SIZE,
                    "flags": {lv: kernel_flags(lv) for lv in KERNEL_LEVELS},
                    "countdown_multiply_adds": tvbench.COUNTDOWN_MULTIPLY_ADDS,
                    "data": "const double *__restrict a, b; double *__restrict c",
                    "tolerance": KERNEL_TOLERANCE},
    }

    if args.only_crash:
        print("bench: fault to process end", flush=True)
        crash = run_crash(cfg, gdb_baseline)
        for f in crash_figures(crash):
            print(f"{f['figure']}: {fmt(f['value'], f['unit'])} against {f['comparison']} "
                  f"{fmt(f['comparison_value'], f['unit'])}, ratio {f['ratio']:.3g}")
        print_crash_details(crash)
        if "--out" in sys.argv:
            Path(args.out).write_text(json.dumps({"crash": crash}, indent=1) + "\n")
        return 0

    results = {"machine": info, "settings": settings}
    results |= measure(tvbench, cfg, gdb_baseline)
    info["load_average_at_end"] = [round(x, 2) for x in os.getloadavg()]
    info["bench_seconds"] = round(time.monotonic() - started, 1)
    print_table(results)
    if args.compare:
        print(f"bench: every row again with {args.compare}", flush=True)
        before = run_compare(args.compare, args.quick, BUILD / "compare")
        before["label"] = args.compare_label or args.compare
        results["before"] = before
        info["bench_seconds"] = round(time.monotonic() - started, 1)
        print_before_after(before["figures"], results["figures"], before["label"])
    Path(args.out).write_text(json.dumps(results, indent=1) + "\n")
    print(f"bench: wrote {os.path.relpath(args.out)} ({info['bench_seconds']} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
