"""The part of the inspector that runs inside gdb, never in its own process.

gdb_driver.py starts ``gdb -batch -p PID -x <this file>``; once gdb has
attached, its embedded Python runs this file, which walks every thread's
native stack, asks CPython's gdb helpers (py-bt) for the Python stacks, and
writes what it saw as JSON lines to the file descriptor named in the
environment, for the inspector to format.  It is a script, not part of the
package: plain stdlib Python that also runs on gdb's own interpreter (3.11
on Debian bookworm), importing nothing of talvex or talvex_csi.  The
inspector imports it only for the names below, which are the contract
between the two sides.
"""

import json
import os
import sys
import time

# How the driver hands work to this script: a file descriptor to write the
# records to, the helpers to load, the time.time() by which to stop reading
# Python stacks, and the thread that took the signal.
ENV_OUT = "_TALVEX_CSI_OUT"
ENV_HELPERS = "_TALVEX_CSI_HELPERS"
ENV_DEADLINE = "_TALVEX_CSI_DEADLINE"
ENV_FIRST = "_TALVEX_CSI_FIRST"  # the thread to read first, when known

MAX_NATIVE_FRAMES = 60


def _gdb_collect():
    import gdb

    out = open(int(os.environ[ENV_OUT]), "w", encoding="utf-8")

    def emit(**record):
        out.write(json.dumps(record) + "\n")
        out.flush()

    def mark(name):
        emit(kind="mark", name=name, t=time.monotonic())

    try:
        mark("gdb attached")
        deadline = float(os.environ.get(ENV_DEADLINE) or "inf")
        inferior = gdb.selected_inferior()
        if not inferior.pid:
            return  # attaching failed; gdb's own message explains why
        helper_path = os.environ.get(ENV_HELPERS) or None
        helper_error = _gdb_load_helpers(helper_path) if helper_path else None
        emit(kind="interpreter", version=_gdb_python_version(gdb), helper_error=helper_error)
        mark("helpers loaded")

        def read_python_stack(thread):
            record = {"kind": "python", "num": thread.num}
            if time.time() > deadline:
                record["error"] = "skipped: the time bound was near"
            else:
                try:
                    thread.switch()
                    record["text"] = gdb.execute("py-bt", to_string=True)
                except Exception as e:
                    record["error"] = "unavailable: py-bt failed: %s" % str(e).strip()
            emit(**record)

        # Each stack is written as soon as it is read, the thread that took
        # the signal first when the driver knows it: with many threads, a
        # gdb stopped at the time bound has still given what it read.
        # Python stacks come last, the helpers being the part that may loop
        # on a corrupted frame chain; threads in a signal handler first.
        first = int(os.environ.get(ENV_FIRST) or 0)
        threads = sorted(inferior.threads(), key=lambda t: (t.ptid[1] != first, t.num))
        in_handler = set()
        for thread in threads:
            thread.switch()
            stack = _gdb_native_stack(gdb, inferior)
            stack.update(kind="thread", num=thread.num, lwp=thread.ptid[1], name=thread.name)
            emit(**stack)
            if stack["signal_frame"] is not None:
                in_handler.add(thread.num)
        mark("native stacks read")
        if helper_path and helper_error is None:
            for thread in sorted(threads, key=lambda t: t.ptid[1] != first
                                 and t.num not in in_handler):
                read_python_stack(thread)
            mark("Python stacks read")
        emit(kind="done")
    except Exception as e:
        emit(kind="error", message="%s: %s" % (type(e).__name__, e))
        return
    finally:
        out.close()
    # Detached, gdb has nothing left to do but free its symbol tables, while
    # the crashing process waits: skip that.
    try:
        gdb.execute("detach", to_string=True)
    except gdb.error:
        return
    os._exit(0)


def _gdb_load_helpers(path):
    try:
        exec(_compiled(path), {"__name__": "talvex_csi_python_gdb", "__file__": path})
        return None
    except Exception as e:
        return "%s: %s" % (type(e).__name__, e)


def _compiled(path):
    """The helpers' code, from a cache of it when that is still valid.

    Compiling the helpers takes longer than running them, and gdb writes
    no bytecode of its own, so the code is kept, as marshal data for this
    interpreter, in ~/.cache/talvex-csi, stamped with the source's size and
    modification time.
    """
    import hashlib
    import importlib.util
    import marshal

    with open(path, "rb") as f:
        stat = os.fstat(f.fileno())
        source = f.read()
    stamp = importlib.util.MAGIC_NUMBER + b"%d %d\n" % (stat.st_mtime_ns, stat.st_size)
    cache_home = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    cache = os.path.join(cache_home, "talvex-csi", "%s.%s" % (
        hashlib.sha256(path.encode("utf-8", "surrogateescape")).hexdigest()[:32],
        sys.implementation.cache_tag))
    try:
        with open(cache, "rb") as f:
            data = f.read()
        if data.startswith(stamp):
            return marshal.loads(data[len(stamp):])
    except (OSError, ValueError, EOFError, TypeError):
        pass
    code = compile(source, path, "exec")
    try:  # a cache that cannot be written only costs the next report time
        os.makedirs(os.path.dirname(cache), exist_ok=True)
        temporary = "%s.%d" % (cache, os.getpid())
        with open(temporary, "wb") as f:
            f.write(stamp + marshal.dumps(code))
        os.replace(temporary, cache)
    except OSError:
        pass
    return code


def _gdb_python_version(gdb):
    try:
        hexversion = int(gdb.parse_and_eval("*(unsigned long *)&Py_Version"))
    except Exception:
        return None
    major, minor, micro = hexversion >> 24, (hexversion >> 16) & 0xFF, (hexversion >> 8) & 0xFF
    level, serial = (hexversion >> 4) & 0xF, hexversion & 0xF
    text = "%d.%d.%d" % (major, minor, micro)
    if level != 0xF:
        text += {0xA: "a", 0xB: "b", 0xC: "rc"}.get(level, "?") + str(serial)
    return text


def _gdb_native_stack(gdb, inferior):
    frames = []
    signal_frame = None
    siginfo = None
    unwind_error = None
    truncated = False
    try:
        frame = gdb.newest_frame()
    except gdb.error as e:
        return {"frames": [], "signal_frame": None, "siginfo": None,
                "unwind_error": str(e), "truncated": False}
    newer = sigtramp_frame = None
    while frame is not None:
        if len(frames) >= MAX_NATIVE_FRAMES:
            truncated = True
            break
        entry = _gdb_frame(gdb, frame)
        if entry["kind"] == "sigtramp" and signal_frame is None:
            signal_frame = len(frames)
            sigtramp_frame = frame
        frames.append(entry)
        try:
            older = frame.older()
        except gdb.error as e:
            unwind_error = str(e)
            break
        if sigtramp_frame is frame:
            signo = _gdb_first_argument(newer) if newer is not None else None
            siginfo = _gdb_siginfo(sigtramp_frame, older, inferior, signo)
        newer, frame = frame, older
    return {"frames": frames, "signal_frame": signal_frame, "siginfo": siginfo,
            "unwind_error": unwind_error, "truncated": truncated}


def _gdb_frame(gdb, frame):
    entry = {"pc": None, "func": None, "file": None, "line": None, "lib": None,
             "kind": "normal"}
    try:
        entry["pc"] = int(frame.pc())
        kind = frame.type()
        if kind == gdb.SIGTRAMP_FRAME:
            entry["kind"] = "sigtramp"
        elif kind == gdb.INLINE_FRAME:
            entry["kind"] = "inline"
        entry["func"] = frame.name()
        sal = frame.find_sal()
        if sal is not None and sal.symtab is not None:
            entry["file"] = sal.symtab.filename
            entry["line"] = sal.line or None
        entry["lib"] = gdb.solib_name(entry["pc"])
        if entry["lib"] is None and entry["func"]:
            # A symbol outside every shared library: the executable's own.
            entry["lib"] = gdb.current_progspace().filename
    except Exception:
        pass  # keep what was read: a frame without symbols is still a frame
    return entry


def _gdb_first_argument(frame):
    """The first argument of the signal handler: the signal number."""
    try:
        block = frame.block()
        while block is not None and block.function is None:
            block = block.superblock
        for symbol in block or ():
            if symbol.is_argument:
                value = frame.read_var(symbol)
                if value.is_optimized_out:
                    return None
                number = int(value)
                return number if 0 < number < 65 else None
    except Exception:
        pass  # no debug information for the handler
    return None


# Linux x86-64 signal frame: the stack pointer of the '<signal handler
# called>' frame points at the kernel's struct ucontext (304 bytes), whose
# saved registers start at offset 40 with rip at +128; the siginfo follows.
# The kernel fills that siginfo only for SA_SIGINFO handlers: elsewhere it
# holds whatever the stack held, so it is used only when it agrees with the
# handler's argument, or when that argument cannot be read.
_UCONTEXT_SIZE = 304
_UC_RIP = 40 + 128


def _gdb_siginfo(sigtramp, interrupted, inferior, signo):
    fallback = {"signo": signo} if signo else None
    try:
        if interrupted is None or sigtramp.architecture().name() != "i386:x86-64":
            return fallback
        sp = int(sigtramp.read_register("rsp"))
        rip = int.from_bytes(bytes(inferior.read_memory(sp + _UC_RIP, 8)), "little")
        if rip != int(interrupted.pc()):
            return fallback  # not the layout expected: better nothing than nonsense
        raw = bytes(inferior.read_memory(sp + _UCONTEXT_SIZE, 24))
    except Exception:
        return fallback
    info_signo, _errno, code = (int.from_bytes(raw[i:i + 4], "little", signed=True)
                                for i in (0, 4, 8))
    if not 0 < info_signo < 65 or (signo and info_signo != signo):
        return fallback
    info = {"signo": info_signo, "code": code}
    if code > 0:
        info["addr"] = int.from_bytes(raw[16:24], "little")
    else:
        info["sender_pid"] = int.from_bytes(raw[16:20], "little", signed=True)
    return info


if __name__ == "__main__" and "gdb" in sys.modules:
    _gdb_collect()
