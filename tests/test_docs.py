"""The code blocks of the README and of the documentation's pages, each
built or run as written.

Every fenced block of README.md and docs/**/*.md says what it is
(tools/doc_blocks.py): the files of the example projects, the same bytes
as examples/, are built from the pages' own text in a temporary directory;
their Python programs run against those builds and print what the pages
say they print; their shell commands run, or, where they are this
repository's own make targets, are found in the Makefile and CI; and the
sample crash reports are held against the report of the same program."""
import os
import re
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest

from conftest import ROOT, child_env, default_sigint
from test_csi import bare_csi, bare_python  # noqa: F401  (fixtures)

sys.path.insert(0, str(ROOT / "tools"))
import doc_blocks  # noqa: E402

BLOCKS = doc_blocks.all_blocks()
EXAMPLES = ROOT / "examples"
# Every example project; pip builds those with a pyproject.toml, the
# reader builds the others as their page says.
PROJECTS = sorted(p.name for p in EXAMPLES.iterdir() if p.is_dir())
PIP_PROJECTS = [p for p in PROJECTS if (EXAMPLES / p / "pyproject.toml").is_file()]
SCRIPTS = sysconfig.get_path("scripts")
# Only turns a hang into a failure.
HANG = 60


def blocks(kind):
    return {b.name: b for b in BLOCKS if b.kind == kind}


def project_files(project):
    return {b.name: b.text for b in BLOCKS
            if b.kind == "file" and b.name.split("/")[0] == project}


def tracked(project):
    """The example project's own files: what git tracks (never the build's
    outputs, such as the C file Cython writes beside primes.pyx)."""
    out = subprocess.run(["git", "ls-files", "examples/" + project], cwd=ROOT,
                         capture_output=True, text=True, check=True).stdout
    return sorted(line[len("examples/"):] for line in out.splitlines())


# ---------------------------------------------------------------------------
# Every block says what it is, and every file block is the example's file

class CtrlC:
    """A program that runs until Ctrl-C: sent, as by a terminal, once it
    runs `threads` threads, and again as long as it runs (a region opened
    after one Ctrl-C is not ended by it)."""

    def __init__(self, threads):
        self.threads = threads


class Crash:
    """A program that dies by `sig`, its report compared with the samples."""

    def __init__(self, sig):
        self.sig = sig


# How each Python program of the pages ends: PRINTS, exit status 0 and, on
# standard output, the output block of the same name.
PRINTS = "prints"
RUNS = {
    "try": PRINTS,
    "timeout": PRINTS,
    "pool": CtrlC(threads=5),
    "pool-timeout": PRINTS,
    "crash": Crash(signal.SIGSEGV),
}
# How each shell block is checked. "newcomer": run as written in a fresh
# virtual environment (test_a_newcomer_follows_the_pages), except its make
# lines; "make": this repository's make targets only; "inspect": run as
# written on a live process; "example-tests": run as written beside an
# example project's test file.
SHELLS = {"try-install": "newcomer", "try-build": "newcomer", "install": "newcomer",
          "find-links": "newcomer", "quickstart-build": "newcomer",
          "make": "make", "inspect": "inspect", "example-tests": "example-tests"}
# The samples of what a program printed, and the program.
OUTPUTS = {"try": "try", "timeout": "timeout", "pool-timeout": "pool-timeout",
           "crash-report": "crash",
           "crash-report-bare": "crash"}


def test_every_block_says_what_it_is():
    unmarked = ["%s:%d" % (b.page, b.line) for b in BLOCKS if b.kind not in doc_blocks.KINDS]
    assert unmarked == [], "blocks without a marker: %s" % unmarked
    for kind, table in [("run", RUNS), ("shell", SHELLS), ("output", OUTPUTS)]:
        names = [b.name for b in BLOCKS if b.kind == kind]
        assert sorted(names) == sorted(table), kind
    files = [b.name for b in BLOCKS if b.kind == "file"]
    assert len(files) == len(set(files))
    for b in BLOCKS:
        if b.kind == "file":
            # The reader sees which file it is: the prose right above names it.
            assert "`%s`" % b.name in b.before, (b.name, b.before)


def test_file_blocks_are_the_example_projects_whole():
    r = subprocess.run([sys.executable, str(ROOT / "tools" / "doc_blocks.py"), "--check"],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    for project in PROJECTS:
        assert sorted(project_files(project)) == tracked(project), project


def test_the_block_check_names_a_changed_file_and_update_restores_it(tmp_path, capsys):
    first = next(b for b in BLOCKS if b.kind == "file")
    page = tmp_path / "page.md"
    text = (ROOT / first.page).read_text()
    page.write_text(text[:first.start] + "// changed\n" + text[first.start:])
    assert doc_blocks.main(["--check"], [page]) == 1
    assert "differ from examples/: %s\n" % first.name in capsys.readouterr().out
    assert doc_blocks.main(["--update"], [page]) == 0
    assert page.read_text() == text


# ---------------------------------------------------------------------------
# The projects, built from the pages' text, and the programs that use them

def imports(text):
    return set(re.findall(r"^(?:import|from) (\w+)", text, re.M))


def project_of(module):
    """The example project that builds `module`."""
    found = [p for p in PROJECTS if any(re.search(r"\b%s\b" % module, t)
                                        for t in project_files(p).values())]
    return found[0] if len(found) == 1 else None


def test_every_example_module_a_program_imports_is_an_example_project():
    for b in blocks("run").values():
        for module in imports(b.text):
            if module.startswith("talvex_example") or module == "spin":
                assert project_of(module) is not None, (b.name, module)


def run_program(name, tmp_path, path=(), python=sys.executable, **env):
    """Run the pages' program `name` as written, from a file of its name,
    with a full crash report; `path` goes first on its module search path.
    Checks it as RUNS says."""
    script = tmp_path / (name + ".py")
    script.write_text(blocks("run")[name].text)
    # Another interpreter (a newcomer's venv) gets no test clients.
    paths = [*map(str, path)]
    if python == sys.executable:
        paths.append(child_env()["PYTHONPATH"])
    env = child_env(PYTHONPATH=os.pathsep.join(paths) or None, TALVEX_CRASH_QUIET=None,
                    TALVEX_CRASH_NDEBUG=None, **env)
    expected = RUNS[name]
    command = [python, script.name]
    if isinstance(expected, CtrlC):
        return run_until_ctrl_c_ends(command, env, tmp_path, expected.threads)
    r = subprocess.run(command, capture_output=True, env=env, cwd=tmp_path, timeout=HANG)
    if isinstance(expected, Crash):
        assert (r.returncode, r.stdout) == (-expected.sig, b""), r.stderr.decode(errors="replace")
        return r.stderr.decode()
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    assert r.stdout.decode() == blocks("output")[name].text
    return r.stdout.decode()


# An uncaught KeyboardInterrupt, with those raised while the first was
# handled or while the interpreter joined its threads at exit: tracebacks
# and nothing else (no warning, no "Fatal Python error", no crash report).
TRACEBACK_LINES = re.compile(
    r"Traceback \(most recent call last\):|  .*|KeyboardInterrupt:?\s?|"
    r"During handling of the above exception, another exception occurred:|"
    r"Exception ignored in: <module 'threading' from .*>|")


def run_until_ctrl_c_ends(command, env, cwd, threads):
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                            cwd=cwd, preexec_fn=default_sigint)
    try:
        # As many threads as the program starts: it imported talvex and
        # handed its pool all its work.
        while proc.poll() is None and len(os.listdir("/proc/%d/task" % proc.pid)) < threads:
            time.sleep(0.001)
        sent = 0
        while proc.poll() is None and sent < 20:
            proc.send_signal(signal.SIGINT)
            sent += 1
            try:
                proc.wait(HANG / 20)
            except subprocess.TimeoutExpired:
                pass
        out, err = proc.communicate(timeout=HANG)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    text = err.decode(errors="replace")
    assert (proc.returncode, out) == (-signal.SIGINT, b""), text
    assert text.startswith("Traceback (most recent call last):\n"), text
    assert text.endswith("\nKeyboardInterrupt\n") or text.endswith("\nKeyboardInterrupt: \n"), text
    assert [line for line in text.splitlines() if not TRACEBACK_LINES.fullmatch(line)] == [], text
    return text


def build(project, tmp_path):
    """The project written out from the pages' text and installed, with
    the build tools and talvex of this environment, into a directory of its
    own; returns that directory."""
    for name, text in project_files(project).items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    site = tmp_path / "site"
    r = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation",
                        "--no-deps", "--target", str(site), str(tmp_path / project)],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
    return site


# A module that no program of the pages imports: it loads and counts (the
# same files, installed from examples/, are driven by test_examples.py).
LOADS = """\
import sys
m = __import__(sys.argv[1])
print(m.count_primes(100))
"""


# nanobind compiles its own library, which takes long: in the stress run. Its
# files, the same bytes as examples/nanobind_module, are built by every
# make setup and driven by test_examples.py.
@pytest.mark.timeout(600)   # a pip build, on a machine other jobs share
@pytest.mark.parametrize("project", [
    pytest.param(p, marks=pytest.mark.stress) if p == "nanobind_module" else p
    for p in PIP_PROJECTS])
def test_a_project_builds_from_the_pages_and_its_programs_run(project, tmp_path):
    site = build(project, tmp_path)
    module, = {p.name.split(".")[0] for p in site.glob("*.so")}
    assert project_of(module) == project
    programs = [name for name, b in blocks("run").items() if module in imports(b.text)]
    for name in programs:
        run_program(name, tmp_path, path=[site])
    if not programs:
        env = child_env(PYTHONPATH=str(site))
        r = subprocess.run([sys.executable, "-c", LOADS, module], capture_output=True, env=env,
                           cwd=tmp_path, timeout=HANG)
        assert (r.returncode, r.stdout, r.stderr) == (0, b"25\n", b""), r.stderr.decode()


# ---------------------------------------------------------------------------
# The crash report samples: the page's program, its report beside them

def header(report):
    """The report's header lines, by label (the values that say what
    happened, without the numbers and paths of one machine)."""
    head = report.split("talvex crash inspector: process ", 1)[1].split("\n\n", 1)[0]
    fields = {}
    for line in head.splitlines()[1:]:
        if not line.startswith("  "):
            break
        label, value = line.split(None, 1)
        fields[label] = value
    fields["signal"] = re.sub(r"\d+", "N", fields["signal"])
    for varying in ("executable", "command", "interpreter", "talvex", "instruction", "stacks"):
        if varying in fields:
            fields[varying] = None
    return fields


def program_frames(report, program):
    """Each thread's frames in `program`, in the order shown: (line,
    function, source)."""
    threads = re.split(r"\n(?=Thread \d+ \(LWP )", report)[1:]
    found = []
    for section in threads:
        found.append(re.findall(r'File "[^"]*/%s", line (\d+), in ([\w<>.]+)\n +(.*)\n'
                                % re.escape(program), section))
    return found


def tail(report):
    """Everything after the inspector's part: the signal's message."""
    return report.rsplit("-" * 72 + "\n", 2)[1:]


def test_the_crash_report_sample_is_what_the_program_reports(tmp_path):
    sample = blocks("output")["crash-report"].text
    report = run_program(OUTPUTS["crash-report"], tmp_path)
    assert header(report) == header(sample)
    # The Python frames py-spy names by qualified name, pystack not.
    assert program_frames(report, "crash.py") == program_frames(sample, "crash.py")
    assert tail(report) == tail(sample)


def test_the_sample_without_stack_readers_is_what_the_program_reports(tmp_path, bare_python,
                                                                        bare_csi):  # noqa: F811
    # The inspector of an installation with neither py-spy nor pystack
    # (which also does not take the py-spy that the crash handler started),
    # and none on PATH either.
    sample = blocks("output")["crash-report-bare"].text
    stand_in = tmp_path / "talvex-CSI"
    stand_in.write_text('#!/bin/sh\nunset PYTHONPATH TALVEX_CSI_READER_STARTED\n'
                        'exec "%s" -P "%s" "$@"\n' % (bare_python, bare_csi))
    stand_in.chmod(0o755)
    report = run_program(OUTPUTS["crash-report-bare"], tmp_path, PYTHONUSERBASE=str(tmp_path),
                         PATH=os.pathsep.join(["/usr/bin", "/bin"]),
                         _TALVEX_CSI_PROGRAM=str(stand_in))
    # The sample is the inspector's part, between the report's first two
    # lines of dashes.
    assert header(report) == header(sample)
    # A module this interpreter has built in (Debian's _struct) is no file.
    problem, threads, modules = proc_outline(sample)
    modules = [m for m in modules if m not in sys.builtin_module_names]
    assert proc_outline(report) == (problem, threads, modules)


def proc_outline(report):
    """What the report without stack readers says: its one problem line,
    without the paths and the install command (which depends on the
    installation), and the shape of what /proc told. The main thread took
    the signal: whether it is running or sleeping when /proc is read depends
    on whether it is passing the inspector's header on at that moment."""
    problem, = [line for line in report.splitlines() if line.startswith("talvex-CSI: ")]
    problem = re.sub(r"\([^)]*\)", "(...)", problem.split("; install them with: ")[0])
    proc = report.split("\nFrom /proc/", 1)[1]
    # Columns: the thread id in 8, its name in 16 (a name may hold spaces:
    # 3.14 names threads after Python's names, "Thread-1 (worker)").
    threads = re.findall(r"\n    [\d ]{8} .{16} (.*)", proc.split("loaded extension modules")[0])
    modules = sorted(re.findall(r"/([^/.\n]+)\.cpython-\d+", proc))
    return problem, ["main thread" if t.endswith(", main thread") else t.split(", waiting in")[0]
                     for t in threads], modules


# ---------------------------------------------------------------------------
# Shell blocks

def lines(name):
    return [line.split("#")[0].strip() for line in blocks("shell")[name].text.splitlines()]


# This repository's make targets that the pages' shell blocks name, and
# what runs each of them: CI (.ci/run), or, for the demonstration, the test
# that runs examples/demo.py (test_regions.py::test_demo_runs).
MAKE = {"make dist": ".ci/run", "make test": ".ci/run", "make docs": ".ci/run",
        "make demo": "examples/demo.py"}


def test_make_commands_are_the_ones_ci_runs():
    ci = (ROOT / ".ci" / "run").read_text()
    makefile = (ROOT / "Makefile").read_text()
    named = [line for name in SHELLS for line in lines(name) if line.startswith("make")]
    assert sorted(set(named)) == sorted(MAKE)
    for command, runner in MAKE.items():
        target = command.split()[1]
        recipe = re.search(r"^%s:.*\n((?:\t.*\n)*)" % re.escape(target), makefile, re.M)
        assert recipe is not None, command
        if runner == ".ci/run":
            assert re.search(r"^%s\b" % command, ci, re.M), command
        else:
            assert runner in recipe.group(1), command
    # Shell blocks checked as "make" have nothing else.
    for name, how in SHELLS.items():
        if how == "make":
            assert all(line.startswith("make ") for line in lines(name) if line), name


def test_the_inspector_command_runs_as_written(tmp_path):
    hangs = tmp_path / "hangs.py"
    hangs.write_text("import time\nprint(flush=True)\ntime.sleep(60)\n")
    target = subprocess.Popen([sys.executable, str(hangs)], stdout=subprocess.PIPE)
    try:
        target.stdout.readline()   # it runs Python
        env = dict(os.environ, PID=str(target.pid),
                   PATH=os.pathsep.join([SCRIPTS, os.environ["PATH"]]))
        r = subprocess.run(["sh", "-c", blocks("shell")["inspect"].text], capture_output=True,
                           text=True, env=env, timeout=HANG)
    finally:
        target.kill()
        target.wait()
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.startswith("talvex crash inspector: process %d\n" % target.pid), r.stdout
    assert '"%s", line 3, in <module>\n      time.sleep(60)\n' % hangs in r.stdout, r.stdout


def test_the_example_tests_run_as_written(tmp_path):
    # The command of the testing page, beside the C++ project's test file
    # written from the page, with the module make setup installed: the
    # talvex_run fixture comes from the plugin pip installed with talvex.
    command = blocks("shell")["example-tests"].text
    test_file, = re.findall(r"\S+/test_\w+\.py", command)
    (tmp_path / test_file).parent.mkdir(parents=True)
    (tmp_path / test_file).write_text(project_files(test_file.split("/")[0])[test_file])
    env = dict(os.environ, PATH=os.pathsep.join([SCRIPTS, os.environ["PATH"]]))
    env.pop("PYTHONPATH", None)
    r = subprocess.run(["sh", "-c", command.replace("python ", sys.executable + " ", 1)],
                       cwd=tmp_path, capture_output=True, text=True, env=env, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    assert re.search(r"^3 passed\b", r.stdout, re.M), r.stdout


def newcomer_commands(name):
    """The block's commands that run as written: all but the make lines
    (`make dist` is what CI runs; `make test` has built this interpreter's
    wheel into dist/ already, which is what the pip line needs)."""
    return "\n".join(line for line in blocks("shell")[name].text.splitlines()
                     if not line.startswith("make "))


@pytest.mark.timeout(900)   # pip fetches the build tools from the index
def test_a_newcomer_follows_the_pages(tmp_path):
    # A fresh virtual environment with pip, as a user has one: talvex from
    # the wheelhouse; the front page's module written from its text, built
    # as it says, and its program; then the quickstart's C++ project, built
    # by pip in its isolated build environment.
    venv = tmp_path / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", str(venv)], check=True, timeout=300)
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONFAULTHANDLER", "PIP_FIND_LINKS")}
    env["PATH"] = os.pathsep.join([str(venv / "bin"), env["PATH"]])

    def sh(name, cwd, **extra):
        r = subprocess.run(["sh", "-c", newcomer_commands(name) + '\nprintf "%s" "$PIP_FIND_LINKS"'],
                           cwd=cwd, env=dict(env, **extra), capture_output=True, text=True,
                           timeout=900)
        assert r.returncode == 0, r.stdout[-4000:] + r.stderr[-4000:]
        return r.stdout.rsplit("\n", 1)[-1]

    sh("install", ROOT)
    find_links = sh("find-links", ROOT)
    assert find_links == str(ROOT / "dist")
    for project in ("spin", "cpp_module"):
        for name, text in project_files(project).items():
            (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / name).write_text(text)
    sh("try-install", tmp_path, PIP_FIND_LINKS=find_links)
    sh("try-build", tmp_path / "spin")
    run_program("try", tmp_path / "spin", python=str(venv / "bin" / "python"), PATH=env["PATH"])
    sh("quickstart-build", tmp_path, PIP_FIND_LINKS=find_links)
    r = subprocess.run([str(venv / "bin" / "python"), "-c",
                        "import talvex_example_cpp as m; print(m.count_primes(100))"],
                       capture_output=True, cwd=tmp_path, env=env, timeout=HANG)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"25\n", b""), r.stderr.decode()
