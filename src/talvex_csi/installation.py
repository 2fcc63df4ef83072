"""This installation of talvex: where its inspector, its interpreter and its
stack readers are, and the command that installs a missing reader.

talvex's runtime asks this module once, when it is initialised, so that a
crashing process can start py-spy, and the inspector where no talvex-CSI is
on PATH, by their absolute paths: it needs no PATH, and in a program that
embeds Python, where sys.executable is the host program, it still runs an
interpreter that matches the one talvex was installed for.  The inspector
asks it only for the words of a problem line.  Everything here is read from
the file system, never from PATH.
"""

import os
import sys

READERS = ("py-spy", "pystack")


def site_directory():
    """The directory that holds talvex_csi, and talvex beside it."""
    return os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def venv_root(site):
    """The virtual environment whose site-packages `site` is, or None."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(site)))
    return root if os.path.isfile(os.path.join(root, "pyvenv.cfg")) else None


def interpreter(site=None):
    """The interpreter of the running version that owns `site`: the
    environment's own, else the one of the running interpreter's
    installation prefix; None if none is there."""
    site = site or site_directory()
    version = "%d.%d" % sys.version_info[:2]
    names = ["python%s%s" % (version, sys.abiflags), "python" + version]
    prefixes = [venv_root(site), sys.prefix, sys.exec_prefix, sys.base_prefix,
                sys.base_exec_prefix]
    for prefix in prefixes:
        for name in names:
            path = os.path.join(prefix or "", "bin", name)
            if prefix and os.path.isfile(path) and os.access(path, os.X_OK):
                return path
    return None


def _distribution(site, project):
    """The .dist-info directory of an installed project in `site`, or None."""
    prefix = project.replace("-", "_") + "-"
    try:
        names = os.listdir(site)
    except OSError:
        return None
    for name in names:
        if name.startswith(prefix) and name.endswith(".dist-info"):
            return os.path.join(site, name)
    return None


def _package_directories(site):
    """`site`, then the other absolute directories of sys.path."""
    return [site] + [p for p in sys.path if os.path.isabs(p) and p != site]


def pyspy(site=None):
    """py-spy's program as pip installed it (its RECORD names it), or None."""
    for directory in _package_directories(site or site_directory()):
        info = _distribution(directory, "py-spy")
        if info is None:
            continue
        try:
            with open(os.path.join(info, "RECORD"), encoding="utf-8") as f:
                entries = [line.split(",", 1)[0] for line in f]
        except OSError:
            continue
        for entry in entries:
            if os.path.basename(entry) == "py-spy":
                path = os.path.normpath(os.path.join(directory, entry))
                if os.path.isfile(path) and os.access(path, os.X_OK):
                    return path
    return None


def pystack_directory(site=None):
    """The directory that holds the pystack package, or None."""
    for directory in _package_directories(site or site_directory()):
        if os.path.isfile(os.path.join(directory, "pystack", "__init__.py")):
            return directory
    return None


def python_path(site=None):
    """What the inspector's interpreter needs on its path: talvex_csi's
    directory, then pystack's where that is another."""
    here = site_directory()
    found = pystack_directory(site or here)
    return os.pathsep.join([here] + ([found] if found and found != here else []))


def for_runtime(talvex_file):
    """(interpreter, PYTHONPATH, py-spy) for the crash handler, each "" when
    not found."""
    site = os.path.dirname(os.path.dirname(os.path.abspath(talvex_file)))
    return interpreter(site) or "", python_path(site), pyspy(site) or ""


def requirements(site=None):
    """How talvex asks for the readers (its Requires-Dist), by name."""
    found = {name: name for name in READERS}
    info = _distribution(site or site_directory(), "talvex")
    try:
        with open(os.path.join(info or "", "METADATA"), encoding="utf-8") as f:
            for line in f:
                if line.startswith("Requires-Dist:"):
                    requirement = line.split(":", 1)[1].split(";")[0].strip()
                    for name in READERS:
                        if requirement.replace("_", "-").startswith(name):
                            found[name] = requirement
    except OSError:
        pass
    return found


def install_command(missing, site=None):
    """The shell command that installs the `missing` readers where this
    talvex is installed."""
    import shlex
    import site as site_module

    site = site or site_directory()
    python = interpreter(site) or sys.executable or "python3"
    wanted = requirements(site)
    command = [python, "-m", "pip", "install"]
    own = [os.path.realpath(p) for p in getattr(site_module, "getsitepackages", list)()] \
        if venv_root(site) is None else [os.path.realpath(site)]
    user = getattr(site_module, "USER_SITE", None)
    if os.path.realpath(site) not in own:
        if user and os.path.realpath(site) == os.path.realpath(user):
            command.append("--user")
        else:
            command += ["--target", site]
    return shlex.join(command + [wanted[name] for name in missing])
