"""Loading talvex.signals: the namespace and the exported interface, one
module per process and per interpreter, the version check, and that loading
alone changes no signal state. Each scenario runs in a fresh interpreter."""
import glob
import importlib.machinery
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import zipfile

import pytest

from conftest import ROOT, child_env, run_py

CAPI = [
    ("tvstate", "tvstate_t"),
    ("add_custom_signals", "int (int (*)(void), void (*)(void), void (*)(int))"),
    ("sig_raise_exception", "int (int, char const *)"),
    ("_sig_off_warning", "void (char const *, int)"),
    ("_do_raise_exception", "void (int)"),
    ("_sig_on_interrupt_received", "void (void)"),
    ("_sig_on_recover", "void (void)"),
    ("print_backtrace", "void (void)"),
    ("verify_exc_value", "void (void)"),
]

NAMESPACE = [
    "__builtins__", "__pyx_capi__", "sys", "collect", "_pari_version", "AlarmInterrupt",
    "SignalError", "sig_print_exception", "init_talvex", "_setup_alt_stack",
    "set_debug_level", "sig_on_reset", "python_check_interrupt", "__test__",
    "_init_talvex_from_worker", "_set_crash_file",
]

# Finds the installed extension without importing the package `talvex`
# (whose __init__ installs the handlers) and loads it by path.
LOAD_BY_PATH = """
import glob, importlib.machinery, importlib.util, os, sys
def extension_path():
    pkg = importlib.util.find_spec("talvex").submodule_search_locations[0]
    return [p for suffix in importlib.machinery.EXTENSION_SUFFIXES
            for p in glob.glob(os.path.join(pkg, "signals" + suffix))][0]
PATH = sys.argv[1] if len(sys.argv) > 1 else extension_path()
LOADER = importlib.machinery.ExtensionFileLoader("talvex.signals", PATH)
def new_spec():
    return importlib.util.spec_from_file_location("talvex.signals", PATH, loader=LOADER)
def load():
    module = LOADER.create_module(new_spec())
    LOADER.exec_module(module)
    return module
"""


def child(*parts, **kw):
    """Run LOAD_BY_PATH and then `parts`; expect exit 0 and return stdout text."""
    r = run_py("\n".join(textwrap.dedent(p) for p in (LOAD_BY_PATH, *parts)), **kw)
    assert r.returncode == 0, r.stderr.decode()
    return r.stdout.decode()


def extension_path():
    pkg = importlib.util.find_spec("talvex").submodule_search_locations[0]
    found = [p for suffix in importlib.machinery.EXTENSION_SUFFIXES
             for p in glob.glob(os.path.join(pkg, "signals" + suffix))]
    assert len(found) == 1, found
    return found[0]


def test_namespace_and_capi_in_order(py):
    r = py("""
        import json, talvex.signals as s
        names = [n for n in vars(s) if n not in ("__name__", "__doc__", "__package__",
                                                  "__loader__", "__spec__", "__file__")]
        capi = [(k, type(v).__name__, repr(v).split('"')[1]) for k, v in s.__pyx_capi__.items()]
        print(json.dumps({"names": names, "capi": capi, "doc": s.__doc__,
                          "builtins": s.__builtins__ is __import__("builtins"),
                          "sys": s.sys is __import__("sys"),
                          "collect": s.collect is __import__("gc").collect,
                          "modules": [s.AlarmInterrupt.__module__, s.SignalError.__module__],
                          "bases": [s.AlarmInterrupt.__bases__ == (KeyboardInterrupt,),
                                    s.SignalError.__bases__ == (BaseException,)],
                          "test": list(s.__test__)}))
    """)
    assert r.returncode == 0, r.stderr.decode()
    out = json.loads(r.stdout)
    assert out["names"] == NAMESPACE
    assert out["capi"] == [[k, "PyCapsule", sig] for k, sig in CAPI]
    assert out["builtins"] and out["sys"] and out["collect"]
    assert out["modules"] == ["talvex.signals", "talvex.signals"]
    assert out["bases"] == [True, True]
    assert out["test"] == ["sig_print_exception (line 216)", "init_talvex (line 258)",
                           "set_debug_level (line 305)", "sig_on_reset (line 328)"]
    doc = out["doc"]
    assert doc.startswith("\n") and doc.endswith("\n")
    assert "Interrupt and signal handling\n\n" in doc and "tests" in doc


def test_capsules_refuse_every_other_name(py):
    r = py("""
        import ctypes, json, talvex.signals as s
        api = ctypes.pythonapi
        api.PyCapsule_IsValid.argtypes = [ctypes.py_object, ctypes.c_char_p]
        api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        api.PyCapsule_GetPointer.restype = ctypes.c_void_p
        api.PyCapsule_GetName.argtypes = [ctypes.py_object]
        api.PyCapsule_GetName.restype = ctypes.c_char_p
        api.PyCapsule_GetContext.argtypes = [ctypes.py_object]
        api.PyCapsule_GetContext.restype = ctypes.c_void_p
        api.PyCapsule_GetDestructor.argtypes = [ctypes.py_object]
        api.PyCapsule_GetDestructor.restype = ctypes.c_void_p
        names = [api.PyCapsule_GetName(c).decode() for c in s.__pyx_capi__.values()]
        others = names + [n.replace(" ", "") for n in names] + [n + " " for n in names] + ["", "tvstate"]
        out = {}
        for key, capsule in s.__pyx_capi__.items():
            own = api.PyCapsule_GetName(capsule)
            refused = []
            for other in set(others):
                if other.encode() == own:
                    continue
                valid = api.PyCapsule_IsValid(capsule, other.encode())
                try:
                    api.PyCapsule_GetPointer(capsule, other.encode())
                    got = "pointer"
                except ValueError:
                    got = "refused"
                refused.append(valid == 0 and got == "refused")
            out[key] = {"own_valid": api.PyCapsule_IsValid(capsule, own),
                        "null_valid": api.PyCapsule_IsValid(capsule, None),
                        "pointer": bool(api.PyCapsule_GetPointer(capsule, own)),
                        "all_refused": all(refused) and len(refused) > 0,
                        "extras": [api.PyCapsule_GetContext(capsule), api.PyCapsule_GetDestructor(capsule)]}
        print(json.dumps(out))
    """)
    assert r.returncode == 0, r.stderr.decode()
    out = json.loads(r.stdout)
    assert list(out) == [k for k, _ in CAPI]
    for key, row in out.items():
        assert row == {"own_valid": 1, "null_valid": 0, "pointer": True, "all_refused": True,
                       "extras": [None, None]}, key


def test_tvstate_capsule_is_the_record_the_clients_share(py):
    r = py("""
        import ctypes, talvex.signals as s, tvclient_c as c, tvclient_cpp as cpp
        api = ctypes.pythonapi
        api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        api.PyCapsule_GetPointer.restype = ctypes.c_void_p
        address = api.PyCapsule_GetPointer(s.__pyx_capi__["tvstate"], b"tvstate_t")
        print(address == c.state_address() == cpp.state_address())
        c.set_int("sig_on_count", 7)
        cpp.set_int("pending_interrupt", 2)
        print(cpp.state()[:2], c.state()[:2])
        # The C side writes; Python reads through the capsule's address.
        c.set_int("sigint_blocked", 9)
        print(ctypes.c_int.from_address(address + 12).value)
        print(s.sig_on_reset(), c.state()[0], cpp.state()[0], s.sig_on_reset())
    """)
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode().splitlines() == ["True", "(7, 2) (7, 2)", "9", "7 0 0 0"]


def test_reimport_gives_the_same_module(py):
    r = py("""
        import importlib, sys, talvex.signals as s
        capi, names, cls = s.__pyx_capi__, list(vars(s)), s.AlarmInterrupt
        s.marker = 1
        del sys.modules["talvex.signals"]
        again = importlib.import_module("talvex.signals")
        print(again is s, sys.modules["talvex.signals"] is s, again.marker)
        print(again.__pyx_capi__ is capi, len(capi), again.AlarmInterrupt is cls)
        print(list(vars(again)) == names + ["marker"])
    """)
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode().splitlines() == ["True True 1", "True 9 True", "True"]


def test_second_interpreter_is_refused_and_first_stays_usable(py):
    r = py('''
        import os
        import talvex.signals as s, tvclient_c as c
        from scenario import run_in_subinterpreter
        run_in_subinterpreter("""if True:
            import os
            try:
                import talvex.signals
            except ImportError as e:
                os.write(1, ("ImportError: %s\\\\n" % e).encode())
            else:
                os.write(1, b"imported\\\\n")
        """)
        s.sig_print_exception(8)
        try:
            c.raise_exception(11)
        except s.SignalError as e:
            print("SignalError", e)
    ''')
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode().splitlines() == [
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.",
        "FloatingPointError: Floating point exception",
        "SignalError Segmentation fault",
    ]


def test_execution_on_a_second_module_object_is_refused():
    # Both objects come from the creation step before either is executed:
    # once one runs, creation hands out that one.
    out = child("""
        first, second = LOADER.create_module(new_spec()), LOADER.create_module(new_spec())
        print(first is not second, "talvex" in sys.modules)
        LOADER.exec_module(first)
        names, capi = list(vars(first)), dict(first.__pyx_capi__)
        try:
            LOADER.exec_module(second)
        except RuntimeError as e:
            print("RuntimeError:", e)
        print(list(vars(first)) == names, first.__pyx_capi__ == capi, "__pyx_capi__" in vars(second))
        print(sys.modules["talvex.signals"] is first, LOADER.create_module(new_spec()) is first)
        first.sig_print_exception(8)
    """)
    assert out.splitlines() == [
        "True False",
        "RuntimeError: Module 'signals' has already been imported. Re-initialisation is not supported.",
        "True True False",
        "True True",
        "FloatingPointError: Floating point exception",
    ]


def test_creation_copies_the_spec_attributes():
    # The creation slot through the C API, so that specs without a file can
    # be tried: creation reads only these four attributes (and `name`).
    out = child("""
        import ctypes, types
        lib = ctypes.PyDLL(PATH)
        lib.PyInit_signals.restype = ctypes.c_void_p
        from_def = ctypes.pythonapi.PyModule_FromDefAndSpec2
        from_def.restype = ctypes.py_object
        from_def.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        definition = lib.PyInit_signals()
        bare = types.SimpleNamespace(name="talvex.signals", loader=None, origin=None,
                                     submodule_search_locations=None)
        full = types.SimpleNamespace(name="pkg.mod", loader="L", origin="O", parent="pkg",
                                     submodule_search_locations=["P"])
        for spec in (bare, full):
            m = from_def(definition, spec, 1013)
            print(m.__name__, m.__loader__, m.__file__, m.__package__, getattr(m, "__path__", "-"))
        class Broken:
            name = "talvex.signals"
            @property
            def loader(self):
                raise KeyError("loader")
        try:
            from_def(definition, Broken(), 1013)
        except KeyError as e:
            print("KeyError", e)
    """)
    assert out.splitlines() == [
        "talvex.signals None None None -",
        "pkg.mod L O pkg ['P']",
        "KeyError 'loader'",
    ]


def test_sys_modules_entry_is_registered_but_never_replaced():
    out = child("""
        other = object()
        sys.modules["talvex.signals"] = other
        m = load()
        print(sys.modules["talvex.signals"] is other, m.__pyx_capi__ is not None)
    """)
    assert out.splitlines() == ["True True"]


def test_failed_start_up_is_retried_from_scratch():
    # `from gc import collect` fails: the error carries the start-up's
    # traceback entry and a later attempt builds a fresh module.
    out = child("""
        import traceback
        import gc as saved
        sys.modules["gc"] = None
        abandoned = LOADER.create_module(new_spec())
        try:
            LOADER.exec_module(abandoned)
        except ImportError as e:
            print("ImportError", traceback.extract_tb(e.__traceback__)[-1].name)
        print(len(abandoned.__pyx_capi__), "sys" in vars(abandoned), "collect" in vars(abandoned))
        sys.modules["gc"] = saved
        del sys.modules["talvex.signals"]
        fresh = load()
        print(fresh is not abandoned, sys.modules["talvex.signals"] is fresh, fresh.collect is saved.collect)
    """)
    assert out.splitlines() == ["ImportError init talvex.signals", "9 True False", "True True True"]


SNAPSHOT = """
import ctypes, signal
libc = ctypes.CDLL(None, use_errno=True)
class Sigaction(ctypes.Structure):  # glibc's struct sigaction on Linux
    _fields_ = [("handler", ctypes.c_void_p), ("mask", ctypes.c_uint64 * 16),
                ("flags", ctypes.c_int), ("restorer", ctypes.c_void_p)]
def snapshot():
    native = {}
    for sig in range(1, signal.NSIG):
        sa = Sigaction()
        rc = libc.sigaction(sig, None, ctypes.byref(sa))
        # Only the first word of the mask comes from the kernel.
        native[sig] = (rc, sa.handler, sa.mask[0], sa.flags)
    stack = (ctypes.c_uint64 * 3)()
    libc.sigaltstack(None, stack)
    return ({s: signal.getsignal(s) for s in signal.valid_signals()},
            signal.pthread_sigmask(signal.SIG_BLOCK, []), native, list(stack))
"""


def test_loading_changes_no_signal_state_and_leaves_the_record_zero():
    out = child(SNAPSHOT, """
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR1])  # a non-trivial mask
        before = snapshot()
        s = load()
        after = snapshot()
        print(before == after, sys.modules["talvex.signals"] is s)
        # A client's import of talvex.signals also imports the package, whose
        # __init__ would install the handlers: a stand-in keeps it out.
        import types
        stand_in = sys.modules["talvex"] = types.ModuleType("talvex")
        import tvclient_c as c
        print(c.state(), c.resume_point_is_zero(), sys.modules["talvex"] is stand_in,
              snapshot() == before)
        # The comparison does see installation, natively; Python's own view
        # of its handlers reads as before.
        s.init_talvex()
        print(snapshot()[0] == before[0], snapshot()[2] == before[2])
    """)
    assert out.splitlines() == ["True True", "(0, 0, 0, 0, None, None) True True True",
                             "True False"]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="the GIL can be off only in a free-threaded build")
def test_free_threaded_build_turns_the_gil_on_to_load_the_module():
    # The module declares that it needs the GIL: an interpreter started
    # without it turns it on when the module loads, and warns once.
    r = run_py("""
        import sys, warnings
        print(sys._is_gil_enabled())
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import talvex.signals
        print(sys._is_gil_enabled())
        print([(w.category.__name__, "'talvex.signals'" in str(w.message)) for w in caught])
        """, env={"PYTHON_GIL": None})
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode().splitlines() == ["False", "True", "[('RuntimeWarning', True)]"]


def test_no_version_warning_on_the_version_built_for():
    r = run_py("import talvex.signals", env={"PYTHONWARNINGS": "error::RuntimeWarning"})
    assert r.returncode == 0 and r.stderr == b"", r.stderr.decode()


VERSION_WARNING = ("compile time Python version 3.12 of module 'talvex.signals' does not match "
                   "runtime version 3.13")


@pytest.fixture(scope="module")
def built_for_312(tmp_path_factory):
    """A CPython 3.13 and a talvex.signals binary built for 3.12: this
    venv's on 3.12, the cp312 wheel's in dist/ on 3.13."""
    if sys.version_info[:2] == (3, 12):
        binary = extension_path()
    else:
        wheels = sorted(glob.glob(str(ROOT / "dist" / "talvex-*-cp312-*.whl")))
        if not wheels:
            pytest.skip("no cp312 wheel in dist/ (make wheel PY=3.12)")
        with zipfile.ZipFile(wheels[-1]) as z:
            name, = [n for n in z.namelist() if n.startswith("talvex/signals.cpython-312-")]
            binary = z.extract(name, tmp_path_factory.mktemp("cp312"))
    r = subprocess.run([str(ROOT / "tools" / "find-python"), "3.13"],
                       capture_output=True, text=True, env=child_env(TALVEX_NO_BUILD="1"))
    if r.returncode != 0:
        pytest.skip("no CPython 3.13 found")
    return r.stdout.strip(), binary


def run313(built_for_312, code):
    exe, binary = built_for_312
    r = subprocess.run([exe, "-c", LOAD_BY_PATH + textwrap.dedent(code), binary],
                       capture_output=True, timeout=60, env=child_env(PYTHONPATH=None))
    assert r.returncode == 0, r.stderr.decode()
    return r.stdout.decode().splitlines()


def test_version_warning_on_313(built_for_312):
    out = run313(built_for_312, """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            m = load()
        print(sys.version_info[:2], type(m.__pyx_capi__).__name__, len(m.__pyx_capi__))
        for w in caught:
            print(w.category.__name__, w.message)
    """)
    assert out[0] == "(3, 13) dict 9"
    assert "RuntimeWarning " + VERSION_WARNING in out[1:]


def test_version_warning_as_error_fails_then_retry_succeeds(built_for_312):
    out = run313(built_for_312, """
        import warnings
        warnings.simplefilter("error", RuntimeWarning)
        try:
            load()
        except RuntimeWarning as e:
            print("refused:", e, "talvex.signals" in sys.modules)
        warnings.simplefilter("ignore", RuntimeWarning)
        m = load()
        print("loaded", sorted(m.__pyx_capi__) == sorted(%r), sys.modules["talvex.signals"] is m)
    """ % [k for k, _ in CAPI])
    assert out == ["refused: " + VERSION_WARNING + " False", "loaded True True"]


STANDARDS = [("gcc", "c99", "c"), ("gcc", "c11", "c"), ("g++", "c++17", "cpp")]

HEADER_USE = r"""
#include <talvex/state.h>

static PyObject *work(PyObject *self, PyObject *arg)
{
    (void)self;
    (void)arg;
    if (talvex_import() < 0)
        return NULL;
    if (!sig_on())
        return NULL;
    sig_block();
    sig_unblock();
    sig_off();
    if (!sig_str("message"))
        return NULL;
    sig_off();
    if (!sig_check())
        return NULL;
    Py_RETURN_NONE;
}

PyObject *(*tv_keep_work)(PyObject *, PyObject *) = work;

/* Regions in a loop, as a kernel runs one per chunk (what the optimiser's
 * flow analysis sees only at -O1 and up). */
static long chunks(volatile long n)
{
    volatile long i, done = 0;
    for (i = 0; i < n; i++) {
        if (!sig_on())
            return -1;
        done = done + 1;
        sig_off();
        if (!sig_check())
            return -1;
    }
    return done;
}

long (*tv_keep_chunks)(volatile long) = chunks;
"""


@pytest.fixture(scope="module")
def include_dirs():
    r = run_py("import talvex; print(talvex.get_include())")
    assert r.returncode == 0, r.stderr.decode()
    return [r.stdout.decode().strip(), sysconfig.get_paths()["include"]]


@pytest.mark.parametrize("opt", ["-O0", "-O2", "-O3"])
@pytest.mark.parametrize("compiler,std,ext", STANDARDS, ids=[s[1] for s in STANDARDS])
def test_header_compiles_cleanly(tmp_path, include_dirs, compiler, std, ext, opt):
    if shutil.which(compiler) is None:
        pytest.skip(f"{compiler} not found")
    assert os.path.isfile(os.path.join(include_dirs[0], "talvex", "state.h"))
    src = tmp_path / f"use.{ext}"
    src.write_text(HEADER_USE)
    cmd = [compiler, f"-std={std}", opt, "-pedantic-errors", "-Wall", "-Wextra", "-Werror",
           *[f"-I{d}" for d in include_dirs], "-c", str(src), "-o", str(tmp_path / "use.o")]
    r = subprocess.run(cmd, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr


def test_extension_is_fortified_yet_uses_no_checked_longjmp():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not found")
    r = subprocess.run([nm, "-D", extension_path()], capture_output=True, text=True, check=True)
    symbols = r.stdout
    assert re.search(r"\b__v?snprintf_chk\b", symbols)  # built with _FORTIFY_SOURCE
    assert "__longjmp_chk" not in symbols
    assert "siglongjmp" in symbols
    exported = [line.split()[-1] for line in symbols.splitlines()
                if len(line.split()) == 3 and line.split()[1] in "TDB"]
    assert exported == ["PyInit_signals"]
