"""What /proc tells about the target without a debugger (inspector's process).

Every fact may be missing: the process may be dying, or another user's.
"""

import os
import struct

# What a crash report always asks of the mapped files is read without the
# re module: its import (with enum and functools) costs the inspector
# milliseconds of CPU, time a crash inspected on one core takes from the
# stack reader. The rarer questions import it when asked.


class Target:
    """Facts about the process read from /proc; any of them may be missing."""

    def __init__(self, pid):
        self.pid = pid
        self.exe = _readlink("/proc/%d/exe" % pid)
        if self.exe and self.exe.endswith(" (deleted)"):
            self.exe = self.exe[: -len(" (deleted)")]
        raw = _read_bytes("/proc/%d/cmdline" % pid)
        self.cmdline = ([a.decode("utf-8", "replace") for a in raw.split(b"\0")[:-1]]
                        if raw else [])
        # (start, end, permissions, name) of each mapping, in address order,
        # and where each file's first page (offset 0) is mapped.
        self.mappings, self._loaded_at = _read_maps(pid)
        # An unreadable maps file (a process that is not dumpable, another
        # user's) says nothing about what is mapped: never read it as empty.
        self.maps_readable = self.mappings is not None
        self.mappings = self.mappings or []
        self.mapped = _distinct_files(self.mappings)
        self.status = _parse_status(read_text("/proc/%d/status" % pid) or "")
        self.state = proc_state(pid)
        try:
            self.uid = int(self.status["Uid"].split()[1])  # the effective one
        except (KeyError, IndexError, ValueError):
            self.uid = None
        self.dumpable = _dumpable(pid, self.uid)

    @property
    def tracer_pid(self):
        try:
            return int(self.status.get("TracerPid", "0"))
        except ValueError:
            return 0

    def threads(self):
        """(tid, name, state letter, wchan) of each thread, main thread first."""
        task_dir = "/proc/%d/task" % self.pid
        try:
            tids = sorted(int(t) for t in os.listdir(task_dir) if t.isdigit())
        except OSError:
            return []
        threads = []
        for tid in tids:
            base = "%s/%d" % (task_dir, tid)
            name = (read_text(base + "/comm") or "?").strip()
            state = _stat_state(read_text(base + "/stat"))
            wchan = (read_text(base + "/wchan") or "").strip()
            threads.append((tid, name, state, "" if wchan == "0" else wchan))
        return threads

    def python_version_hint(self):
        """Major.minor of the interpreter, guessed from file names."""
        import re

        for path in [self.exe or ""] + self.mapped:
            m = re.search(r"(?:libpython|/python)(\d+\.\d+)", path)
            if m:
                return m.group(1)
        return None

    def extension_modules(self):
        import re

        pattern = re.compile(r"\.(cpython-[^/]*|abi3|pypy[^/]*)\.so$|/lib-dynload/[^/]+\.so$")
        return [p for p in self.mapped if pattern.search(p)]

    def other_libraries(self):
        """Shared objects from outside the system's library directories that
        are not extension modules: what extension modules may have loaded.
        The directory of the loader the process runs with is the system's
        too: an interpreter unpacked with a C library of its own (a newer
        glibc than the machine's) takes its libraries from there."""
        import re

        system = re.compile(r"^/(usr/)?(local/)?lib(32|64|x32)?/")
        loader = self.loader()
        loader_dir = os.path.dirname(loader) + "/" if loader else None
        modules = set(self.extension_modules())
        return [p for p in self.mapped
                if re.search(r"\.so(\.[\d.]+)?$", p) and p not in modules
                and p not in self.libpython() and not system.match(p)
                and os.path.dirname(p) + "/" != loader_dir]

    def loader(self):
        """The dynamic loader the process runs with, or None: the file
        mapped where the kernel says the program's interpreter starts."""
        base = _auxv(self.pid).get(_AT_BASE)
        for start, _, _, name in self.mappings:
            if start == base and name.startswith("/"):
                return name
        return None

    def talvex_runtime(self):
        for path in self.mapped:
            head, _, name = path.rpartition("/")
            if head.endswith("/talvex") and name.startswith("signals.") and name.endswith(".so") \
                    and len(name) >= len("signals..so"):
                return path
        return None

    def libpython(self):
        return [p for p in self.mapped if os.path.basename(p).startswith("libpython")]

    def load_address(self, path):
        """Where the start of a mapped file is, or None."""
        return self._loaded_at.get(path)

    def is_interpreter_file(self, path):
        """Whether a mapped file is the Python interpreter: libpython, or the
        executable when that is the interpreter itself (a static build)."""
        if not path:
            return False
        name = os.path.basename(path)
        if name.startswith("libpython"):
            return True
        exe = os.path.basename(self.exe or "")
        return bool(self.exe) and path in (self.exe, os.path.realpath(self.exe)) \
            and exe.startswith("python") and all(c in "0123456789." for c in exe[6:])

    def mapping_at(self, address):
        """The mapping that holds the address, or None."""
        for mapping in self.mappings:
            if mapping[0] <= address < mapping[1]:
                return mapping
        return None

    def read_memory(self, address, size):
        """Bytes of the target's memory, or None where reading is not allowed."""
        try:
            with open("/proc/%d/mem" % self.pid, "rb", buffering=0) as f:
                f.seek(address)
                data = f.read(size)
        except (OSError, OverflowError, ValueError):
            return None
        return data if len(data) == size else None


def _dumpable(pid, uid):
    """False when the kernel says the process is not dumpable: its /proc
    files then belong to root, whatever its user. None when that cannot
    tell (a process of root's). The crashing process's own word, which it
    passes, takes the place of this guess."""
    if not uid:
        return None
    try:
        return os.stat("/proc/%d" % pid).st_uid == uid
    except OSError:
        return None


def _read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def read_text(path):
    data = _read_bytes(path)
    return None if data is None else data.decode("utf-8", "replace")


def _readlink(path):
    try:
        return os.readlink(path)
    except OSError:
        return None


_AT_BASE = 7
_AUXV_ENTRY = struct.Struct("@LL")


def _auxv(pid):
    """The auxiliary vector the kernel gave the process, as a dict."""
    data = _read_bytes("/proc/%d/auxv" % pid) or b""
    data = data[: len(data) - len(data) % _AUXV_ENTRY.size]
    return dict(_AUXV_ENTRY.iter_unpack(data))


def _read_maps(pid):
    """(mappings, where each file starts), or (None, {}) when unreadable."""
    mappings = []
    loaded_at = {}
    text = read_text("/proc/%d/maps" % pid)
    if text is None:
        return None, loaded_at
    for line in text.splitlines():
        parts = line.split(None, 5)
        try:
            start, end = (int(x, 16) for x in parts[0].split("-"))
            offset = int(parts[2], 16)
        except (IndexError, ValueError):
            continue
        name = parts[5] if len(parts) == 6 else ""
        if name.startswith("/") and name.endswith(" (deleted)"):
            name = name[: -len(" (deleted)")]
        mappings.append((start, end, parts[1], name))
        if offset == 0 and name.startswith("/"):
            loaded_at.setdefault(name, start)
    return mappings, loaded_at


def _distinct_files(mappings):
    """Distinct files mapped into the process, in address order."""
    seen = {}
    for _, _, _, name in mappings:
        if name.startswith("/"):
            seen.setdefault(name)
    return list(seen)


def _parse_status(text):
    fields = {}
    for line in text.splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.strip()
    return fields


def _stat_state(stat):
    # The name field may hold spaces and parentheses: the state follows the last ')'.
    if not stat or ")" not in stat:
        return "?"
    rest = stat.rsplit(")", 1)[1].split()
    return rest[0] if rest else "?"


def proc_state(pid):
    return _stat_state(read_text("/proc/%d/stat" % pid))

