// talvex's place inside Python's own signal handling.
//
// Natively talvex's handlers stay in place for the nine signals it serves,
// whatever Python code does with the `signal` module: the functions that
// module calls (`_signal.signal`, `_signal.getsignal`) are wrapped, so that
// setting a handler records it here and leaves talvex underneath, and
// getsignal() reports what the program set. For SIGHUP, SIGINT and SIGALRM
// the interpreter's table holds python_check_interrupt, which claims the
// interrupt talvex recorded and hands it to the program's handler, if it
// set one, exactly once. `_thread.interrupt_main()` becomes a real signal to
// the main thread, and faulthandler.enable()/disable() leave talvex's fatal
// handlers in place with faulthandler chained behind them.

#define PY_SSIZE_T_CLEAN
#include "implementation.h"
#include "pyref.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace talvex {

namespace {

// Owned references, kept for the life of the process.
PyObject *real_signal;       // _signal.signal as the interpreter made it
PyObject *real_getsignal;
PyObject *real_interrupt_main;
PyObject *real_faulthandler_enable;
PyObject *real_faulthandler_disable;
PyObject *real_faulthandler_is_enabled;
PyObject *checker;           // python_check_interrupt
PyObject *default_int_handler;
// For SIGHUP, SIGINT and SIGALRM: what the program set (a callable, or the
// ints SIG_DFL / SIG_IGN). SIG_DFL means talvex's own meaning of the signal.
PyObject *views[kSignalSlots];
bool hooks_installed;
// The chains faulthandler found when it was enabled, for its disable().
struct sigaction chains_before_faulthandler[kSignalSlots];


bool is_marker(PyObject *handler, long value)
{
    if (!PyLong_CheckExact(handler))
        return false;
    int overflow = 0;
    return PyLong_AsLongAndOverflow(handler, &overflow) == value && overflow == 0;
}

bool is_ignore(PyObject *handler)
{
    return is_marker(handler, 1);
}

bool is_default(PyObject *handler)
{
    return is_marker(handler, 0);
}

PyObject *call_real(PyObject *real, long sig, PyObject *handler)
{
    Ref number(PyLong_FromLong(sig));
    if (!number)
        return nullptr;
    return PyObject_CallFunctionObjArgs(real, number.get(), handler, nullptr);
}

void set_view(int sig, PyObject *handler)
{
    Py_XSETREF(views[sig], Py_NewRef(handler));
}

// The native handler CPython installs for Python-level handlers, learnt
// from the first one it installed: talvex never chains to it.
void learn_python_native_handler(int sig)
{
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN &&
        !is_talvex_handler(current) && shared.python_native_handler == nullptr)
        shared.python_native_handler = current.sa_handler;
}

// Puts python_check_interrupt in the interpreter's table for an interrupt
// signal and talvex's handler back underneath, with the interrupts blocked
// so that none meets the interpreter's handler in between.
bool route_through_checker(int sig)
{
    sigset_t interrupts, previous;
    sigemptyset(&interrupts);
    for (int s : kInterruptSignals)
        sigaddset(&interrupts, s);
    pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
    Ref old(call_real(real_signal, sig, checker));
    if (old) {
        learn_python_native_handler(sig);
        reinstall_handler(sig);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return static_cast<bool>(old);
}

// ---------------------------------------------------------------------
// The wrappers
// ---------------------------------------------------------------------

PyObject *forward(PyObject *real, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return PyObject_Vectorcall(real, args, static_cast<size_t>(nargs), kwnames);
}

// The signal number of a two-argument call, or -1 to let the real function
// deal with the call (and word its errors).
long signal_number(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Py_ssize_t want)
{
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)
        return -1;
    if (nargs != want || !PyLong_Check(args[0]))
        return -1;
    int overflow = 0;
    long sig = PyLong_AsLongAndOverflow(args[0], &overflow);
    if (sig == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return overflow ? -1 : sig;
}

PyObject *hook_signal(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    long sig = signal_number(args, nargs, kwnames, 2);
    if (is_interrupt_signal(sig)) {
        PyObject *handler = args[1];
        if (is_ignore(handler)) {
            Ref result(call_real(real_signal, sig, handler));
            if (!result)
                return nullptr;
        } else if (is_default(handler) || PyCallable_Check(handler)) {
            if (!route_through_checker(static_cast<int>(sig)))
                return nullptr;
        } else {
            return forward(real_signal, args, nargs, kwnames);  // its TypeError
        }
        PyObject *old = Py_NewRef(views[sig] != nullptr ? views[sig] : Py_None);
        set_view(static_cast<int>(sig), handler);
        return old;
    }
    if (is_fatal_signal(sig)) {
        PyObject *handler = args[1];
        PyObject *old = forward(real_signal, args, nargs, kwnames);
        if (old == nullptr || is_ignore(handler))
            return old;
        learn_python_native_handler(static_cast<int>(sig));
        tv_store(&shared.fatal_route[sig], PyCallable_Check(handler) ? kRoutePython : kRouteReport);
        reinstall_handler(static_cast<int>(sig));
        return old;
    }
    return forward(real_signal, args, nargs, kwnames);
}

PyObject *hook_getsignal(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    long sig = signal_number(args, nargs, kwnames, 1);
    if (is_interrupt_signal(sig) && views[sig] != nullptr)
        return Py_NewRef(views[sig]);
    return forward(real_getsignal, args, nargs, kwnames);
}

// A real signal to the main thread, so that it also ends a region there
// and is counted like any other.
PyObject *hook_interrupt_main(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames)
{
    long sig = nargs == 0 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)
                   ? SIGINT
                   : signal_number(args, nargs, kwnames, 1);
    if (is_interrupt_signal(sig) && views[sig] != nullptr && !is_ignore(views[sig]) &&
        python_running()) {
        pthread_kill(static_cast<pthread_t>(shared.main_thread), static_cast<int>(sig));
        Py_RETURN_NONE;
    }
    return forward(real_interrupt_main, args, nargs, kwnames);
}

PyObject *hook_faulthandler_enable(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames)
{
    Ref was_enabled(PyObject_CallNoArgs(real_faulthandler_is_enabled));
    if (!was_enabled)
        return nullptr;
    if (!PyObject_IsTrue(was_enabled.get()))
        snapshot_chains(chains_before_faulthandler);
    PyObject *result = forward(real_faulthandler_enable, args, nargs, kwnames);
    if (result != nullptr)
        reclaim_fatal_handlers(nullptr);  // faulthandler now comes after talvex
    return result;
}

PyObject *hook_faulthandler_disable(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames)
{
    PyObject *result = forward(real_faulthandler_disable, args, nargs, kwnames);
    if (result != nullptr)
        reclaim_fatal_handlers(chains_before_faulthandler);
    return result;
}

PyMethodDef hook_defs[] = {
    {"signal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(hook_signal)),
     METH_FASTCALL | METH_KEYWORDS,
     "signal($module, signalnum, handler, /)\n--\n\n"
     "Set the action for the given signal (talvex keeps its own native handler\n"
     "underneath for SIGHUP, SIGINT, SIGALRM and the fatal signals)."},
    {"getsignal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(hook_getsignal)),
     METH_FASTCALL | METH_KEYWORDS,
     "getsignal($module, signalnum, /)\n--\n\nReturn the current action for the given signal."},
    {"interrupt_main",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(hook_interrupt_main)),
     METH_FASTCALL | METH_KEYWORDS,
     "interrupt_main($module, signum=signal.SIGINT, /)\n--\n\n"
     "Deliver the signal to the main thread (a real signal under talvex)."},
    {"enable",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(hook_faulthandler_enable)),
     METH_FASTCALL | METH_KEYWORDS,
     "enable($module, /, file=sys.stderr, all_threads=True)\n--\n\n"
     "Enable the fault handler (it runs after talvex's crash report)."},
    {"disable",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(hook_faulthandler_disable)),
     METH_FASTCALL | METH_KEYWORDS, "disable($module, /)\n--\n\nDisable the fault handler."},
};

// Replaces module.name with the wrapper, keeping the original in *real.
bool wrap(PyObject *module, const char *name, PyMethodDef *def, PyObject **real)
{
    if (*real == nullptr) {
        *real = PyObject_GetAttrString(module, name);
        if (*real == nullptr)
            return false;
    }
    Ref module_name(PyObject_GetAttrString(module, "__name__"));
    if (!module_name)
        return false;
    Ref wrapper(PyCFunction_NewEx(def, nullptr, module_name.get()));
    return wrapper && PyObject_SetAttrString(module, name, wrapper.get()) == 0;
}

bool install_hooks()
{
    if (hooks_installed)
        return true;
    Ref signal_module(PyImport_ImportModule("_signal"));
    Ref thread_module(signal_module ? PyImport_ImportModule("_thread") : nullptr);
    Ref faulthandler(thread_module ? PyImport_ImportModule("faulthandler") : nullptr);
    if (!faulthandler)
        return false;
    if (real_faulthandler_is_enabled == nullptr) {
        real_faulthandler_is_enabled = PyObject_GetAttrString(faulthandler.get(), "is_enabled");
        if (real_faulthandler_is_enabled == nullptr)
            return false;
    }
    hooks_installed = wrap(signal_module.get(), "signal", &hook_defs[0], &real_signal) &&
                      wrap(signal_module.get(), "getsignal", &hook_defs[1], &real_getsignal) &&
                      wrap(thread_module.get(), "interrupt_main", &hook_defs[2],
                           &real_interrupt_main) &&
                      wrap(faulthandler.get(), "enable", &hook_defs[3], &real_faulthandler_enable) &&
                      wrap(faulthandler.get(), "disable", &hook_defs[4],
                           &real_faulthandler_disable);
    return hooks_installed;
}

// The interpreter's own defaults for SIGINT, which talvex replaces.
bool is_python_default(PyObject *handler)
{
    return handler == Py_None || is_default(handler) || handler == default_int_handler ||
           handler == checker;
}

// The handler the program set for `sig`, if any (new reference).
PyObject *program_handler(int sig)
{
    if (sig <= 0 || sig >= kSignalSlots)
        return nullptr;
    if (is_interrupt_signal(sig)) {
        PyObject *view = views[sig];
        if (view == nullptr || view == checker || !PyCallable_Check(view))
            return nullptr;
        return Py_NewRef(view);
    }
    if (tv_load(&shared.fatal_route[sig]) != kRoutePython || real_getsignal == nullptr)
        return nullptr;
    PyObject *handler = call_real(real_getsignal, sig, nullptr);
    if (handler == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (!PyCallable_Check(handler)) {
        Py_DECREF(handler);
        return nullptr;
    }
    return handler;
}

void remember_raised()
{
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *old = tvstate.raised_value;
    tvstate.raised_value = Py_XNewRef(exc);
    Py_XDECREF(old);
    PyErr_SetRaisedException(exc);
}

// A thread that took an interrupt blocked in it: the thread's kernel id,
// or 0. Reads /proc, so only in ordinary context.
int thread_blocking(int sig)
{
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return 0;
    int found = 0;
    unsigned long long bit = 1ULL << (sig - 1);
    while (struct dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        char path[320];
        snprintf(path, sizeof(path), "/proc/self/task/%s/status", entry->d_name);
        FILE *status = fopen(path, "r");
        if (status == nullptr)
            continue;
        unsigned long long pending = 0, blocked = 0;
        char line[256];
        while (fgets(line, sizeof(line), status) != nullptr) {
            sscanf(line, "SigPnd: %llx", &pending);
            sscanf(line, "SigBlk: %llx", &blocked);
        }
        fclose(status);
        if ((pending & bit) && (blocked & bit)) {
            found = atoi(entry->d_name);
            break;
        }
    }
    closedir(tasks);
    return found;
}

}  // namespace

bool is_main_thread()
{
    return pthread_equal(pthread_self(), static_cast<pthread_t>(shared.main_thread));
}

PyObject *prepare_python_level(PyObject *handler, InstallPlan *plan)
{
    if (real_signal == nullptr) {
        Ref signal_module(PyImport_ImportModule("_signal"));
        if (!signal_module)
            return nullptr;
        real_signal = PyObject_GetAttrString(signal_module.get(), "signal");
        real_getsignal = real_signal ? PyObject_GetAttrString(signal_module.get(), "getsignal")
                                     : nullptr;
        default_int_handler = real_getsignal
                                  ? PyObject_GetAttrString(signal_module.get(),
                                                           "default_int_handler")
                                  : nullptr;
        if (default_int_handler == nullptr)
            return nullptr;
    }
    Py_XSETREF(checker, Py_NewRef(handler));

    PyObject *found[kSignalSlots] = {};
    for (int sig : kInterruptSignals) {
        found[sig] = views[sig] != nullptr ? Py_NewRef(views[sig])
                                           : call_real(real_getsignal, sig, nullptr);
        if (found[sig] == nullptr) {
            for (int s : kInterruptSignals)
                Py_XDECREF(found[s]);
            return nullptr;
        }
    }
    // SIGINT first: if Python refuses (not the main thread), nothing changed.
    PyObject *previous = Py_NewRef(found[SIGINT]);
    bool ok = true;
    for (int sig : kInterruptSignals) {
        PyObject *view = found[sig];
        if (sig == SIGINT && is_python_default(view))
            view = checker;
        else if (view == Py_None)
            view = nullptr;  // set from C, not from Python: talvex's meaning
        PyObject *in_table = view != nullptr && is_ignore(view) ? view : checker;
        if (ok) {
            Ref old(call_real(real_signal, sig, in_table));
            ok = static_cast<bool>(old);
            if (ok && !is_ignore(in_table))
                learn_python_native_handler(sig);
        }
        if (ok) {
            PyObject *zero = PyLong_FromLong(0);
            set_view(sig, view != nullptr ? view : zero);
            Py_XDECREF(zero);
            plan->skip[sig] = is_ignore(views[sig]);
        }
    }
    for (int s : kInterruptSignals)
        Py_XDECREF(found[s]);
    if (!ok) {
        Py_DECREF(previous);
        return nullptr;
    }
    for (int sig : kFatalSignals) {
        Ref current(call_real(real_getsignal, sig, nullptr));
        if (!current) {
            Py_DECREF(previous);
            return nullptr;
        }
        bool by_python = PyCallable_Check(current.get());
        tv_store(&shared.fatal_route[sig], by_python ? kRoutePython : kRouteReport);
        plan->skip[sig] = is_ignore(current.get());
    }
    if (!install_hooks()) {
        Py_DECREF(previous);
        return nullptr;
    }
    return previous;
}

void resolve_inspector_paths()
{
    InspectorPaths &p = inspector_paths;
    p.beside_python[0] = p.python[0] = p.pythonpath[0] = '\0';
    PyObject *executable = PySys_GetObject("executable");  // borrowed
    Ref encoded(executable != nullptr && PyUnicode_Check(executable)
                    ? PyUnicode_EncodeFSDefault(executable)
                    : nullptr);
    if (encoded && PyBytes_GET_SIZE(encoded.get()) > 0) {
        const char *python = PyBytes_AS_STRING(encoded.get());
        const char *slash = strrchr(python, '/');
        if (slash != nullptr && strlen(python) < sizeof(p.python)) {
            snprintf(p.python, sizeof(p.python), "%s", python);
            snprintf(p.beside_python, sizeof(p.beside_python), "%.*s/talvex-CSI",
                     static_cast<int>(slash - python), python);
        }
    }
    PyErr_Clear();
    // The inspector's package lies beside talvex's.
    PyObject *file = PyDict_GetItemString(module_namespace(), "__file__");  // borrowed
    Ref file_bytes(file != nullptr && PyUnicode_Check(file) ? PyUnicode_EncodeFSDefault(file)
                                                            : nullptr);
    PyErr_Clear();
    if (file_bytes) {
        char dir[4096];
        snprintf(dir, sizeof(dir), "%s", PyBytes_AS_STRING(file_bytes.get()));
        for (int up = 0; up < 2; up++) {
            char *slash = strrchr(dir, '/');
            if (slash == nullptr) {
                dir[0] = '\0';
                break;
            }
            *slash = '\0';
        }
        if (dir[0] != '\0')
            snprintf(p.pythonpath, sizeof(p.pythonpath), "PYTHONPATH=%s", dir);
    }
    if (p.pythonpath[0] == '\0')
        p.python[0] = '\0';
}

void deliver(int sig, const char *msg, PyObject *frame, bool ends_region)
{
    PyGILState_STATE gil = PyGILState_Ensure();
    if (PyErr_Occurred()) {
        PyGILState_Release(gil);
        return;
    }
    Ref handler(is_main_thread() ? program_handler(sig) : nullptr);
    if (handler) {
        // The program's handler runs as Python code: the region must be
        // over first, even for a client that raises before it recovers.
        if (ends_region && tv_load(&shared.landed) && region_owned_by_caller()) {
            recover();
            tv_store(&shared.recovered_early, 1);
        }
        PyObject *current = frame != nullptr
                                ? frame
                                : reinterpret_cast<PyObject *>(PyEval_GetFrame());
        Ref number(PyLong_FromLong(sig));
        Ref result(number ? PyObject_CallFunctionObjArgs(handler.get(), number.get(),
                                                         current != nullptr ? current : Py_None,
                                                         nullptr)
                          : nullptr);
        if (!result) {
            remember_raised();
            PyGILState_Release(gil);
            return;
        }
        if (!ends_region) {
            PyGILState_Release(gil);
            return;
        }
    }
    PyGILState_Release(gil);
    // The signal's own exception.
    sig_raise_exception(sig, msg);
}

PyObject *check_interrupt_from_python(PyObject *sig_obj, PyObject *frame)
{
    int sig = 0;
    if (PyLong_Check(sig_obj)) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(sig_obj, &overflow);
        if (!overflow && value > 0 && value < kSignalSlots)
            sig = static_cast<int>(value);
        PyErr_Clear();
    }
    // A hang-up another thread took: the main thread ends its work too,
    // whatever else is waiting (an interrupt left to a scope would hold it
    // up for good). If it raises, what waits is taken at the next check.
    int owed = is_main_thread() ? __atomic_exchange_n(&shared.hangup_for_main, 0, __ATOMIC_SEQ_CST)
                                : 0;
    if (owed != 0) {
        deliver(owed, nullptr, frame, false);
        if (PyErr_Occurred()) {
            int waiting = tv_load(&tvstate.pending_interrupt);
            if (waiting != 0 && python_running())
                PyErr_SetInterruptEx(is_interrupt_signal(waiting) ? waiting : SIGHUP);
            return nullptr;
        }
    }
    int pending = tv_load(&tvstate.pending_interrupt);
    if (pending != 0 && tv_load(&shared.python_claims_deferred))
        Py_RETURN_NONE;  // re-announced when the deferral ends
    if (pending == 0) {
        if (owed == 0 && is_interrupt_signal(sig) && shared.python_native_handler != nullptr) {
            // The interpreter's own native handler was in place (code
            // installed it behind Python's back): a real signal, not yet
            // recorded anywhere. talvex takes the signal back.
            struct sigaction current;
            if (sigaction(sig, nullptr, &current) == 0 &&
                current.sa_handler == shared.python_native_handler) {
                reinstall_handler(sig);
                deliver(sig, nullptr, frame, false);
            }
        }
        return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    }
    if (!python_running()) {
        // Finalising: nothing can take an exception any more; the signal's
        // default action, as without talvex.
        int claimed = claim_pending();
        if (claimed != 0) {
            signal(claimed, SIG_DFL);
            raise(claimed);
        }
        Py_RETURN_NONE;
    }
    int count = tv_load(&tvstate.sig_on_count);
    if (count != 0) {
        // Python code never runs inside a region, so the region is another
        // thread's, and that thread takes its interrupts itself, unless
        // this one was passed on to it while it blocks the signal.
        if (count < 0 || pending <= 0 || pending >= kSignalSlots ||
            !tv_load(&shared.forwarded[pending]))
            Py_RETURN_NONE;
        int blocking = thread_blocking(pending);
        if (blocking == 0)
            Py_RETURN_NONE;
        tv_store(&shared.stale_forwards[pending], blocking);
        tv_store(&shared.forwarded[pending], 0);
    } else if (tv_load(&shared.cooperative_scopes) > 0) {
        Py_RETURN_NONE;  // a scope's check() takes it; the last scope hands it back
    }
    int claimed = claim_pending();
    if (claimed == 0)
        Py_RETURN_NONE;
    deliver(claimed, tvstate.message, frame, false);
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
}

}  // namespace talvex
