"""Shared fixtures: most tests run their scenario in a fresh interpreter,
because importing talvex installs process-wide signal handlers."""
import os, re, shlex, shutil, signal, struct, subprocess, sys, sysconfig, textwrap
from pathlib import Path
import pytest

ROOT = Path(__file__).resolve().parent.parent
CLIENTS = ROOT / "tests" / "clients" / "build"


def child_env(**extra):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(CLIENTS), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    env.pop("PYTHONFAULTHANDLER", None)
    env.update({k: v for k, v in extra.items() if v is not None})
    for k, v in extra.items():
        if v is None:
            env.pop(k, None)
    return env


def run_py(code, *, env=None, timeout=60, args=(), input=None):
    """Run `code` in a fresh interpreter; return the CompletedProcess (bytes)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                          capture_output=True, timeout=timeout, env=child_env(**(env or {})),
                          input=input, cwd=str(ROOT / "tests"))


def run_ok(prelude, code, **kw):
    """Run `prelude` + `code` in a fresh interpreter, which must exit 0."""
    r = run_py(prelude + textwrap.dedent(code), **kw)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    return r


@pytest.fixture
def py():
    return run_py


def default_sigint():
    """For preexec_fn: a child that is sent Ctrl-C starts with SIGINT's
    default, as from a terminal. A suite started with `&` from a
    non-interactive shell has SIGINT ignored, and so would the child
    (talvex keeps an ignored signal ignored)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run_signalled(code, sig, *, marker=b"region", env=None, timeout=60):
    """Run `code` in a fresh interpreter and, each time it prints `marker`
    on a line of its own, send it `sig` from this process, as a terminal or
    a supervisor would (a region that holds the interpreter lock keeps any
    Python thread of its own from running). Returns (exit status, its
    standard output as lines, markers included, its standard error)."""
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=child_env(**(env or {})), cwd=str(ROOT / "tests"),
                            preexec_fn=default_sigint)
    lines = []
    try:
        for line in proc.stdout:
            lines.append(line)
            if line.rstrip(b"\n") == marker:
                os.kill(proc.pid, sig)
        _, err = proc.communicate(timeout=timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, b"".join(lines).decode(errors="replace").splitlines(), err


# What this interpreter is made of, read from the running process: an
# interpreter moved away from where it was built (or built by a
# distribution that links it differently from what its sysconfig says)
# states its /usr paths and Py_ENABLE_SHARED wrongly, but runs what it runs.

def mapped_files():
    """The files mapped into this process, in address order."""
    found = {}
    with open("/proc/self/maps") as maps:
        for line in maps:
            parts = line.rstrip("\n").split(None, 5)
            if len(parts) == 6 and parts[5].startswith("/"):
                found.setdefault(parts[5])
    return list(found)


def running_libpython():
    """The shared libpython this process runs, or None where the
    interpreter's executable holds the interpreter itself."""
    found = [p for p in mapped_files() if os.path.basename(p).startswith("libpython")]
    return Path(found[0]) if found else None


def running_loader():
    """The dynamic loader this process runs with: the file mapped at the
    base address the kernel handed the program (AT_BASE)."""
    auxv = Path("/proc/self/auxv").read_bytes()
    entries = dict(struct.iter_unpack("@LL", auxv[:len(auxv) - len(auxv) % struct.calcsize("@LL")]))
    base = entries[7]  # AT_BASE
    with open("/proc/self/maps") as maps:
        for line in maps:
            parts = line.rstrip("\n").split(None, 5)
            if int(parts[0].split("-")[0], 16) == base:
                return Path(parts[5])
    raise AssertionError("no mapping at AT_BASE %#x" % base)


def interpreter_libraries():
    """The shared libraries the interpreter's own code needs (the NEEDED
    entries of its executable and of libpython, libpython left out), as the
    files this process has mapped for them."""
    objects = [Path(os.path.realpath(sys._base_executable)), running_libpython()]
    mapped = mapped_files()
    directories = dict.fromkeys(os.path.dirname(p) for p in mapped)
    libraries = []
    for obj in filter(None, objects):
        dynamic = subprocess.run(["readelf", "-d", "-W", str(obj)], capture_output=True,
                                 text=True, check=True).stdout
        for name in re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic):
            if name.startswith("libpython"):
                continue
            path, = {os.path.realpath(os.path.join(d, name)) for d in directories} & set(mapped)
            libraries.append(path)
    return list(dict.fromkeys(libraries))


def link_like_this_interpreter(*library_dirs):
    """Linker arguments for a program that embeds this interpreter: it runs
    with the loader and the C library this process runs with (a private
    prefix's newer glibc, where the interpreter brings one), linked against
    the same files, and finds the libraries of `library_dirs` and those
    files at run time (DT_RPATH, which also serves the extension modules it
    loads)."""
    loader = running_loader()
    libraries = interpreter_libraries()
    rpath = dict.fromkeys([*map(str, library_dirs), *(os.path.dirname(p) for p in libraries)])
    return [*libraries, str(loader), "-Wl,--dynamic-linker=%s" % loader,
            "-Wl,--disable-new-dtags", *("-Wl,-rpath," + d for d in rpath)]


def python_config():
    """This interpreter's pythonX.Y-config, beside its executable (it finds
    the installation relative to itself)."""
    version = "%d.%d" % sys.version_info[:2]
    return Path(os.path.realpath(sys._base_executable)).parent / f"python{version}-config"


@pytest.fixture(scope="session")
def embed_host(tmp_path_factory):
    """tests/clients/tvembed.c, a program that embeds Python, built against
    this interpreter's python3.X-config --embed as a host program would be.
    It finds talvex and the clients on PYTHONPATH (embed_env)."""
    config = python_config()
    cc = shutil.which("cc") or shutil.which("gcc")
    if not config.exists() or cc is None:
        pytest.skip(f"no C compiler or no {config.name} to build an embedding program")
    flags = []
    for option in ("--cflags", "--ldflags"):
        flags += shlex.split(subprocess.run([str(config), option, "--embed"], check=True,
                                            capture_output=True, text=True).stdout)
    # The libpython that the link found is the one to run with.
    flags += link_like_this_interpreter(*(f[2:] for f in flags if f.startswith("-L")))
    host = tmp_path_factory.mktemp("embed") / "tvembed"
    subprocess.run([cc, "-o", str(host), str(ROOT / "tests" / "clients" / "tvembed.c"), *flags],
                   check=True)
    return host


def embed_env(**extra):
    """The environment of an embedding program: talvex's installation and
    the clients on PYTHONPATH, as its own interpreter does not know them,
    and PYTHONHOME, as a libpython that is not where it was built does not
    find its standard library."""
    path = os.pathsep.join([str(CLIENTS), sysconfig.get_path("purelib")])
    home = os.pathsep.join(dict.fromkeys([sys.base_prefix, sys.base_exec_prefix]))
    return child_env(PYTHONPATH=path, PYTHONHOME=home, **extra)
