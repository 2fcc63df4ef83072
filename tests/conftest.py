"""Shared fixtures: most tests run their scenario in a fresh interpreter,
because importing talvex installs process-wide signal handlers."""
import os, shlex, shutil, signal, subprocess, sys, sysconfig, textwrap
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


@pytest.fixture(scope="session")
def embed_host(tmp_path_factory):
    """tests/clients/tvembed.c, a program that embeds Python, built against
    this interpreter's python3.X-config --embed as a host program would be.
    It finds talvex and the clients on PYTHONPATH (embed_env)."""
    version = "%d.%d" % sys.version_info[:2]
    config = Path(sysconfig.get_config_var("BINDIR")) / f"python{version}-config"
    cc = shutil.which("cc") or shutil.which("gcc")
    if not config.exists() or cc is None:
        pytest.skip(f"no C compiler or no {config.name} to build an embedding program")
    flags = []
    for option in ("--cflags", "--ldflags"):
        flags += shlex.split(subprocess.run([str(config), option, "--embed"], check=True,
                                            capture_output=True, text=True).stdout)
    if sysconfig.get_config_var("Py_ENABLE_SHARED"):
        flags.append("-Wl,-rpath," + sysconfig.get_config_var("LIBDIR"))
    host = tmp_path_factory.mktemp("embed") / "tvembed"
    subprocess.run([cc, "-o", str(host), str(ROOT / "tests" / "clients" / "tvembed.c"), *flags],
                   check=True)
    return host


def embed_env(**extra):
    """The environment of an embedding program: talvex's installation and
    the clients on PYTHONPATH, as its own interpreter does not know them."""
    path = os.pathsep.join([str(CLIENTS), sysconfig.get_path("purelib")])
    return child_env(PYTHONPATH=path, **extra)
