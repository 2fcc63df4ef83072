// talvex's place inside Python's own signal handling.
//
// Natively talvex's handlers stay in place for the nine signals it serves,
// whatever Python code does with the `signal` module: the functions that
// module calls (`_signal.signal`, `_signal.getsignal`) are wrapped, so that
// setting a handler records it here and leaves talvex underneath, and
// getsignal() reports what the program set (signal.default_int_handler for
// SIGINT until it sets one, as without talvex, so that frameworks which ask
// before they take Ctrl-C still take it). For SIGHUP, SIGINT and SIGALRM
// the interpreter's table holds python_check_interrupt, which takes the
// interrupt talvex kept and hands it to the program's handler, if it set
// one, exactly once. A signal the program set a handler for is the
// program's: it ends only a region of the main thread, where that handler
// runs. `_thread.interrupt_main()` ends a region of the main thread by a
// real signal and otherwise asks for the handler as CPython does, and
// faulthandler.enable()/disable() leave talvex's fatal handlers in place
// with faulthandler chained behind them.

#define PY_SSIZE_T_CLEAN
#include "faulthandler_state.h"
#include "implementation.h"
#include "pyref.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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
// Read through view_of() and written through set_view(): in a free-threaded
// interpreter nothing else keeps a reader from a handler just replaced.
PyObject *views[kSignalSlots];
bool hooks_installed;
// The interpreter installed no signal handlers (an embedding program's
// Py_InitializeEx(0)): outside regions the interrupts keep the host's
// disposition, and SIG_DFL means the signal's default action.
bool host_mode;

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

// A handler of the program's own: not talvex's meaning of the signal
// (SIG_DFL, default_int_handler, python_check_interrupt) and not SIG_IGN.
bool claims(PyObject *handler)
{
    return handler != default_int_handler && handler != checker && PyCallable_Check(handler);
}

// What the program set for `sig` (a new reference), or null before talvex
// read it.
Ref view_of(int sig)
{
    ObjectGuard guard;
    return Ref(Py_XNewRef(views[sig]));
}

void set_view(int sig, PyObject *handler)
{
    PyObject *old;
    {
        ObjectGuard guard;
        old = views[sig];
        views[sig] = Py_NewRef(handler);
    }
    Py_XDECREF(old);
    tv_store(&shared.claimed[sig], claims(handler));
}

// What the embedding program does with an interrupt signal natively, for
// the interrupts no region takes.
void learn_host_disposition(int sig)
{
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0 || is_talvex_handler(current))
        return;
    if (!is_real_handler(current)) {
        if (current.sa_handler == SIG_DFL)
            tv_store(&shared.host_action[sig], kHostDefault);
        return;  // SIG_IGN: left ignored
    }
    // Never half written where a handler reads it.
    tv_store(&shared.host_action[sig], kHostNone);
    shared.host_handler[sig] = current;
    tv_store(&shared.host_action[sig], kHostChain);
}

// A later init_talvex() in an embedding program's mode: a disposition the
// program set natively since (it replaced talvex's handler from C) is its
// own from now on, as at the first one, and signal.getsignal() says so,
// unless Python code set a handler of its own, which stays.
bool relearn_host_disposition(int sig)
{
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0 || is_talvex_handler(current))
        return true;
    Ref view(view_of(sig));
    if (view && claims(view.get()))
        return true;
    Ref now(is_real_handler(current) ? Py_NewRef(Py_None)
                                     : PyLong_FromLong(current.sa_handler == SIG_IGN ? 1 : 0));
    if (!now)
        return false;
    learn_host_disposition(sig);
    set_view(sig, now.get());
    return true;
}

// In an embedding program's mode, what the program sets decides what an
// interrupt outside regions does: SIG_DFL the default action, talvex's
// own handlers its exceptions.
void set_host_action(int sig, PyObject *handler)
{
    if (!host_mode)
        return;
    if (is_default(handler))
        tv_store(&shared.host_action[sig], kHostDefault);
    else if (handler == default_int_handler || handler == checker)
        tv_store(&shared.host_action[sig], kHostNone);
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
        tv_store(&shared.python_table[sig], kTableChecker);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return static_cast<bool>(old);
}

// What the interpreter's table should hold for an interrupt signal, given
// what the program set.
bool table_as_expected(int sig, PyObject *in_table)
{
    Ref view(view_of(sig));
    return view && is_ignore(view.get()) ? is_ignore(in_table) : in_table == checker;
}

// Code that took `_signal.signal` by value before talvex was imported sets
// handlers behind talvex's back: the interpreter's own native handler
// replaces talvex's, so regions no longer end by that signal. The handler
// it set becomes the program's handler, and talvex goes back underneath.
// Main thread only, once talvex's side of the table is in place.
bool adopt_foreign_setting(int sig)
{
    if (!is_main_thread() || tv_load(&shared.python_table[sig]) != kTableChecker ||
        !view_of(sig))
        return true;
    Ref in_table(call_real(real_getsignal, sig, nullptr));
    if (!in_table)
        return false;
    if (table_as_expected(sig, in_table.get()))
        return true;
    PyObject *handler = in_table.get() == Py_None ? nullptr : in_table.get();
    if (handler == nullptr || (!is_ignore(handler) && !route_through_checker(sig)))
        return handler == nullptr;
    set_view(sig, handler);
    return true;
}

// The same for a fatal signal: the interpreter's native handler only notes
// the signal and returns, so a fault would strike again at once, for ever.
// talvex goes back on top, and a handler set that way is the program's for
// the signals it sends.
bool adopt_foreign_fatal_setting(int sig)
{
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0 || !is_real_handler(current) ||
        (current.sa_flags & SA_SIGINFO) || is_talvex_handler(current) ||
        current.sa_handler != shared.python_native_handler)
        return true;
    Ref in_table(call_real(real_getsignal, sig, nullptr));
    if (!in_table)
        return false;
    tv_store(&shared.fatal_route[sig],
             PyCallable_Check(in_table.get()) ? kRoutePython : kRouteReport);
    reinstall_handler(sig);
    return true;
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
        if (!adopt_foreign_setting(static_cast<int>(sig)))
            return nullptr;
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
        Ref previous(view_of(static_cast<int>(sig)));
        PyObject *old = Py_NewRef(previous ? previous.get() : Py_None);
        set_view(static_cast<int>(sig), handler);
        set_host_action(static_cast<int>(sig), handler);
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
    if (is_interrupt_signal(sig) && view_of(static_cast<int>(sig))) {
        if (!adopt_foreign_setting(static_cast<int>(sig)))
            return nullptr;
        return view_of(static_cast<int>(sig)).release();
    }
    if (is_fatal_signal(sig) && !adopt_foreign_fatal_setting(static_cast<int>(sig)))
        return nullptr;
    return forward(real_getsignal, args, nargs, kwnames);
}

// Whether a thread of this process (by kernel id, as text) has `sig`
// pending for itself, and whether it blocks it: the kernel's own record.
// Reads /proc, so only in ordinary context.
bool thread_signal_state(const char *tid, int sig, bool *pending, bool *blocked)
{
    char path[320];
    snprintf(path, sizeof(path), "/proc/self/task/%s/status", tid);
    FILE *status = fopen(path, "r");
    if (status == nullptr)
        return false;
    unsigned long long pending_set = 0, blocked_set = 0;
    char line[256];
    while (fgets(line, sizeof(line), status) != nullptr) {
        sscanf(line, "SigPnd: %llx", &pending_set);
        sscanf(line, "SigBlk: %llx", &blocked_set);
    }
    fclose(status);
    *pending = (pending_set >> (sig - 1)) & 1;
    *blocked = (blocked_set >> (sig - 1)) & 1;
    return true;
}

bool main_thread_blocks(int sig)
{
    char tid[24];
    snprintf(tid, sizeof(tid), "%d", tv_load(&shared.main_thread_tid));
    bool pending, blocked;
    return thread_signal_state(tid, sig, &pending, &blocked) && blocked;
}

// A region of the main thread ends by a real signal, as by Ctrl-C, and is
// counted like any other. Otherwise the main thread's Python code gets the
// signal at its next check, as CPython's interrupt_main() arranges, also
// while that thread blocks the signal (it collects signals with sigwait in
// another thread) or another thread's region runs.
PyObject *hook_interrupt_main(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames)
{
    long sig = nargs == 0 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)
                   ? SIGINT
                   : signal_number(args, nargs, kwnames, 1);
    // Before the main thread completed talvex's set-up, the interpreter's
    // own function does what the interpreter's own table says.
    Ref view(is_interrupt_signal(sig) ? view_of(static_cast<int>(sig)) : Ref());
    if (!view || is_ignore(view.get()) ||
        !python_running() || tv_load(&shared.python_table[sig]) != kTableChecker)
        return forward(real_interrupt_main, args, nargs, kwnames);
    pthread_t main_thread = static_cast<pthread_t>(shared.main_thread);
    bool main_region = tv_load(&main_state()->sig_on_count) > 0;
    if (main_region && !main_thread_blocks(static_cast<int>(sig))) {
        pthread_kill(main_thread, static_cast<int>(sig));
    } else {
        tv_store(&shared.owed_to_main[sig], 1);
        refresh_attention();
        PyErr_SetInterruptEx(static_cast<int>(sig));
    }
    Py_RETURN_NONE;
}

PyObject *hook_faulthandler_enable(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames)
{
    PyObject *result = forward(real_faulthandler_enable, args, nargs, kwnames);
    if (result != nullptr) {
        // Just installed, if it was not enabled yet: its address is known
        // from now on. faulthandler then comes after talvex.
        learn_faulthandler_handler();
        reclaim_fatal_handlers(false);
        tv_faulthandler_verify(1);
        tv_faulthandler_take_copy();
    }
    return result;
}

PyObject *hook_faulthandler_disable(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames)
{
    PyObject *result = forward(real_faulthandler_disable, args, nargs, kwnames);
    if (result != nullptr) {
        reclaim_fatal_handlers(true);
        tv_faulthandler_verify(0);
        tv_faulthandler_take_copy();
    }
    return result;
}

// The wrappers read as the functions they replace: the same name, text
// signature and docstring (built from the originals at installation, kept
// for the life of the process), bound to the same module.
struct Hook {
    const char *name;
    PyCFunction function;
    PyMethodDef def;
};
template <typename F>
PyCFunction as_method(F *f)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}
Hook hook_defs[] = {
    {"signal", as_method(hook_signal), {}},
    {"getsignal", as_method(hook_getsignal), {}},
    {"interrupt_main", as_method(hook_interrupt_main), {}},
    {"enable", as_method(hook_faulthandler_enable), {}},
    {"disable", as_method(hook_faulthandler_disable), {}},
};

// "name(sig)\n--\n\ndoc", the form from which the interpreter derives
// __text_signature__ and __doc__.
const char *doc_like(PyObject *original, const char *name)
{
    // A replacement written in Python (as some frameworks install) has no
    // text signature: only its docstring is kept.
    Ref signature(PyObject_GetAttrString(original, "__text_signature__"));
    if (!signature) {
        PyErr_Clear();
        signature.reset(Py_NewRef(Py_None));
    }
    Ref doc(PyObject_GetAttrString(original, "__doc__"));
    if (!doc) {
        PyErr_Clear();
        doc.reset(Py_NewRef(Py_None));
    }
    Ref empty(PyUnicode_FromString(""));
    PyObject *doc_text = doc.get() != Py_None ? doc.get() : empty.get();
    Ref text(!empty ? nullptr
             : PyUnicode_Check(signature.get())
                 ? PyUnicode_FromFormat("%s%U\n--\n\n%S", name, signature.get(), doc_text)
                 : PyObject_Str(doc_text));
    if (!text)
        return nullptr;
    const char *utf8 = PyUnicode_AsUTF8(text.get());
    return utf8 != nullptr ? strdup(utf8) : nullptr;
}

// Replaces module.name with the wrapper, keeping the original in *real.
bool wrap(PyObject *module, Hook &hook, PyObject **real)
{
    if (*real == nullptr) {
        *real = PyObject_GetAttrString(module, hook.name);
        if (*real == nullptr)
            return false;
    }
    if (hook.def.ml_name == nullptr) {
        const char *doc = doc_like(*real, hook.name);
        if (doc == nullptr)
            return false;
        hook.def.ml_name = hook.name;
        hook.def.ml_meth = hook.function;
        hook.def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
        hook.def.ml_doc = doc;
    }
    Ref module_name(PyObject_GetAttrString(module, "__name__"));
    if (!module_name)
        return false;
    Ref wrapper(PyCFunction_NewEx(&hook.def, module, module_name.get()));
    return wrapper && PyObject_SetAttrString(module, hook.name, wrapper.get()) == 0;
}

// faulthandler was enabled before talvex: its handler's address is learnt
// by installing it once more, with the file and setting it has, before
// talvex takes the signals. A handler that some library had put above
// faulthandler's goes back where it was.
bool learn_enabled_faulthandler()
{
    int all_threads = 0, c_stack = -1;
    int fd = tv_faulthandler_fd();
    if (fd < 0 || shared.faulthandler_code != nullptr)
        return true;
    // Given a descriptor number, faulthandler keeps no file object.
    PyObject *given = tv_faulthandler_file(&all_threads, &c_stack);  // borrowed
    Ref file(given != nullptr ? Py_NewRef(given) : PyLong_FromLong(fd));
    if (!file)
        return false;
    struct sigaction before[kSignalSlots];
    for (int sig : kFatalSignals)
        sigaction(sig, nullptr, &before[sig]);
    Ref off(PyObject_CallNoArgs(real_faulthandler_disable));
    Ref args(off ? Py_BuildValue("(OO)", file.get(), all_threads ? Py_True : Py_False) : nullptr);
    // Every setting as it was: enable() takes each one's default otherwise.
    Ref kwargs(c_stack < 0 ? nullptr
               : Py_BuildValue("{sO}", "c_stack", c_stack ? Py_True : Py_False));
    Ref on(args && (c_stack < 0 || kwargs)
               ? PyObject_Call(real_faulthandler_enable, args.get(), kwargs.get())
               : nullptr);
    if (!on)
        return false;
    learn_faulthandler_handler();
    struct sigaction now;
    for (int sig : kFatalSignals) {
        if (sigaction(sig, nullptr, &now) == 0 && handler_code(now) != handler_code(before[sig]))
            sigaction(sig, &before[sig], nullptr);
    }
    return true;
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
    hooks_installed = wrap(signal_module.get(), hook_defs[0], &real_signal) &&
                      wrap(signal_module.get(), hook_defs[1], &real_getsignal) &&
                      wrap(thread_module.get(), hook_defs[2], &real_interrupt_main) &&
                      wrap(faulthandler.get(), hook_defs[3], &real_faulthandler_enable) &&
                      wrap(faulthandler.get(), hook_defs[4], &real_faulthandler_disable);
    if (!hooks_installed)
        return false;
    // Where faulthandler writes, for the crash report.
    tv_faulthandler_locate();
    Ref enabled(PyObject_CallNoArgs(real_faulthandler_is_enabled));
    if (!enabled)
        return false;
    tv_faulthandler_verify(PyObject_IsTrue(enabled.get()));
    if (PyObject_IsTrue(enabled.get()) && !learn_enabled_faulthandler())
        return false;
    tv_faulthandler_take_copy();
    return true;
}

// The handler the program set for `sig`, if any (new reference).
PyObject *program_handler(int sig)
{
    if (sig <= 0 || sig >= kSignalSlots)
        return nullptr;
    if (is_interrupt_signal(sig)) {
        // default_int_handler means talvex's own meaning for SIGINT; for
        // another signal it still raises KeyboardInterrupt, as it was set to.
        Ref held(view_of(sig));
        PyObject *view = held.get();
        if (view == nullptr || view == checker || !PyCallable_Check(view) ||
            (sig == SIGINT && view == default_int_handler))
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
    keep_raised_value(exc);
    PyErr_SetRaisedException(exc);
}

}  // namespace

bool is_main_thread()
{
    return pthread_equal(pthread_self(), static_cast<pthread_t>(shared.main_thread));
}

bool note_embedding_host()
{
    // An interpreter that installed its signal handlers imported _signal as
    // it started; one that did not (an embedding program's
    // Py_InitializeEx(0)) leaves the interrupts to the program, until
    // something imports it. What the program does with them is read before
    // talvex's own import of the signal module changes it.
    if (view_of(SIGINT) || real_signal != nullptr) {
        for (int sig : kInterruptSignals) {
            if (host_mode && !relearn_host_disposition(sig))
                return false;
        }
        return true;
    }
    Ref name(PyUnicode_FromString("_signal"));
    if (!name)
        return false;
    Ref imported(PyImport_GetModule(name.get()));
    if (PyErr_Occurred())
        return false;
    if (!imported) {
        host_mode = true;
        for (int sig : kInterruptSignals)
            learn_host_disposition(sig);
    }
    return true;
}

PyObject *prepare_python_level(PyObject *handler, InstallPlan *plan, bool set_table)
{
    bool first = !view_of(SIGINT);
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
    if (set_table) {
        for (int sig : kInterruptSignals) {
            if (!adopt_foreign_setting(sig))
                return nullptr;
        }
    }

    PyObject *found[kSignalSlots] = {};
    for (int sig : kInterruptSignals) {
        found[sig] = view_of(sig).release();
        if (found[sig] == nullptr)
            found[sig] = call_real(real_getsignal, sig, nullptr);
        if (found[sig] == nullptr) {
            for (int s : kInterruptSignals)
                Py_XDECREF(found[s]);
            return nullptr;
        }
    }
    // What the embedding program had, not what importing _signal made of it.
    if (first && host_mode && !is_ignore(found[SIGINT])) {
        Py_SETREF(found[SIGINT], tv_load(&shared.host_action[SIGINT]) == kHostChain
                                     ? Py_NewRef(Py_None)
                                     : PyLong_FromLong(0));
        if (found[SIGINT] == nullptr) {
            for (int s : kInterruptSignals)
                Py_XDECREF(found[s]);
            return nullptr;
        }
    }
    // What getsignal() reported for SIGINT before this call.
    PyObject *previous = Py_NewRef(found[SIGINT] == checker ? default_int_handler
                                                            : found[SIGINT]);
    // SIGINT first: if Python refuses (not the main thread), nothing changed.
    bool ok = true;
    for (int sig : kInterruptSignals) {
        PyObject *view = found[sig];
        if (sig == SIGINT && !host_mode && (view == Py_None || view == checker))
            view = default_int_handler;  // the interpreter's own default, as it reads
        else if (view == Py_None && !host_mode)
            view = nullptr;  // set from C, not from Python: talvex's meaning
        PyObject *in_table = view != nullptr && is_ignore(view) ? view : checker;
        if (ok && set_table) {
            Ref old(call_real(real_signal, sig, in_table));
            ok = static_cast<bool>(old);
            if (ok && !is_ignore(in_table))
                learn_python_native_handler(sig);
        }
        if (ok) {
            PyObject *zero = PyLong_FromLong(0);
            set_view(sig, view != nullptr ? view : zero);
            Py_XDECREF(zero);
            plan->skip[sig] = is_ignore(view_of(sig).get());
            // Until the main thread completes the table, the interpreter
            // runs the Python handler it holds, if it holds one.
            int table = set_table || found[sig] == checker ? kTableChecker
                        : PyCallable_Check(found[sig])     ? kTableCallable
                                                           : kTableNone;
            tv_store(&shared.python_table[sig], table);
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

// Announces to the main thread's Python code whatever waits for it.
void announce_waiting()
{
    if (!python_running())
        return;
    for (int sig : kInterruptSignals) {
        if (tv_load(&shared.owed_to_main[sig]))
            PyErr_SetInterruptEx(sig);
    }
    int waiting = tv_load(&main_state()->pending_interrupt);
    if (waiting != 0)
        PyErr_SetInterruptEx(is_interrupt_signal(waiting) ? waiting : SIGHUP);
}

int complete_in_main_thread(void *)
{
    PyObject *earlier = PyErr_GetRaisedException();
    bool ok = true;
    for (int sig : kInterruptSignals) {
        Ref view(view_of(sig));
        if (view && !is_ignore(view.get()) &&
            tv_load(&shared.python_table[sig]) != kTableChecker)
            ok = route_through_checker(sig) && ok;
    }
    if (!ok)
        PyErr_WriteUnraisable(nullptr);
    // A stack overflow in the main thread is reported too.
    setup_alt_stack();
    learn_main_stack();
    announce_waiting();
    PyErr_SetRaisedException(earlier);
    return 0;
}

bool complete_later_in_main_thread()
{
    if (Py_AddPendingCall(complete_in_main_thread, nullptr) == 0)
        return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "talvex: could not schedule its set-up in the main thread");
    return false;
}

namespace {

// Copies a str into `out` as the file system encodes it; false if it does
// not fit.
bool copy_path(PyObject *text, char *out, size_t size, const char *prefix)
{
    out[0] = '\0';
    Ref encoded(text != nullptr && PyUnicode_Check(text) ? PyUnicode_EncodeFSDefault(text)
                                                         : nullptr);
    if (!encoded)
        return false;
    const char *value = PyBytes_AS_STRING(encoded.get());
    size_t prefix_length = strlen(prefix), length = strlen(value);
    if (length == 0 || prefix_length + length >= size)
        return false;
    memcpy(out, prefix, prefix_length);
    memcpy(out + prefix_length, value, length + 1);
    return true;
}

}  // namespace

void resolve_inspector_paths()
{
    // This installation's interpreter, inspector and py-spy, by absolute
    // paths: the crashing process looks nothing up on PATH, and an
    // embedding program's sys.executable (the host) is never taken for an
    // interpreter.
    InspectorPaths &p = inspector_paths;
    p.python[0] = p.pythonpath[0] = p.pyspy[0] = '\0';
    PyObject *file = PyDict_GetItemString(module_namespace(), "__file__");  // borrowed
    Ref installation(file != nullptr ? PyImport_ImportModule("talvex_csi.installation")
                                     : nullptr);
    Ref found(installation ? PyObject_CallMethod(installation.get(), "for_runtime", "O", file)
                           : nullptr);
    if (found && PyTuple_Check(found.get()) && PyTuple_GET_SIZE(found.get()) == 3 &&
        copy_path(PyTuple_GET_ITEM(found.get(), 0), p.python, sizeof(p.python), "") &&
        copy_path(PyTuple_GET_ITEM(found.get(), 1), p.pythonpath, sizeof(p.pythonpath),
                  "PYTHONPATH=")) {
        copy_path(PyTuple_GET_ITEM(found.get(), 2), p.pyspy, sizeof(p.pyspy), "");
    } else {
        p.python[0] = p.pythonpath[0] = '\0';
    }
    // Without them the report says that the inspector could not be run.
    PyErr_Clear();
}

void set_crash_file(const char *path)
{
    ReportSetup &r = report_setup;
    int next = 1 - tv_load(&r.crash_file_index);
    snprintf(r.crash_file[next], sizeof(r.crash_file[next]), "%s", path != nullptr ? path : "");
    tv_store(&r.crash_file_index, next);
}

namespace {

// Whether this process holds the read end of the pipe (dev, ino) open: the
// kernel's own list of its descriptors and their access modes.
bool reads_pipe_itself(const struct stat &pipe)
{
    char wanted[64];
    snprintf(wanted, sizeof(wanted), "pipe:[%llu]", static_cast<unsigned long long>(pipe.st_ino));
    DIR *fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return false;
    bool found = false;
    while (struct dirent *entry = readdir(fds)) {
        char path[320], target[64];
        snprintf(path, sizeof(path), "/proc/self/fd/%s", entry->d_name);
        ssize_t n = readlink(path, target, sizeof(target) - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (strcmp(target, wanted) != 0)
            continue;
        int flags = fcntl(atoi(entry->d_name), F_GETFL);
        if (flags != -1 && (flags & O_ACCMODE) == O_RDONLY) {
            found = true;
            break;
        }
    }
    closedir(fds);
    return found;
}

// The descriptor of sys.stderr, where it is another file than descriptor 2
// (a notebook kernel's stream keeps the standard error it replaced there),
// or -1.
int python_stderr_fd(const struct stat &captured)
{
    PyObject *stream = PySys_GetObject("stderr");  // borrowed
    Ref number(stream != nullptr && stream != Py_None
                   ? PyObject_CallMethod(stream, "fileno", nullptr)
                   : nullptr);
    long fd = number && PyLong_Check(number.get()) ? PyLong_AsLong(number.get()) : -1;
    PyErr_Clear();
    struct stat st;
    if (fd < 0 || fd > INT_MAX || fd == 2 || fstat(static_cast<int>(fd), &st) != 0)
        return -1;
    if (st.st_dev == captured.st_dev && st.st_ino == captured.st_ino)
        return -1;
    // /dev/null keeps nothing: the state directory does.
    if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3))
        return -1;
    return static_cast<int>(fd);
}

}  // namespace

void prepare_report_destinations()
{
    ReportSetup &r = report_setup;
    // Where talvex._reports looks for the reports kept there: one rule for
    // both.
    Ref reports(PyImport_ImportModule("talvex._reports"));
    Ref directory(reports ? PyObject_CallMethod(reports.get(), "state_directory", nullptr)
                          : nullptr);
    if (!directory || !copy_path(directory.get(), r.state_dir, sizeof(r.state_dir), ""))
        r.state_dir[0] = '\0';
    PyErr_Clear();

    tv_store(&r.captured, 0);
    int old = r.original_stderr;
    r.original_stderr = -1;
    if (old >= 0)
        close(old);
    struct stat st;
    if (fstat(2, &st) != 0 || !S_ISFIFO(st.st_mode) || !reads_pipe_itself(st))
        return;
    int original = python_stderr_fd(st);
    r.original_stderr = original >= 0 ? fcntl(original, F_DUPFD_CLOEXEC, 3) : -1;
    r.captured_dev = static_cast<unsigned long long>(st.st_dev);
    r.captured_ino = static_cast<unsigned long long>(st.st_ino);
    tv_store(&r.captured, 1);
}

void deliver_holding_the_lock(int sig, const char *msg, PyObject *frame, bool ends_region)
{
    // A fault or abort() that ended the region is the region's own
    // exception: the program's handler is for signals sent to it.
    ThreadRecord *landing = ends_region ? existing_thread_record() : nullptr;
    bool fault = landing != nullptr && tv_load(&landing->landed_fault) != 0 &&
                 sig == __atomic_exchange_n(&landing->landed_fault, 0, __ATOMIC_SEQ_CST);
    if (PyErr_Occurred())
        return;
    Ref handler(is_main_thread() && !fault ? program_handler(sig) : nullptr);
    if (handler) {
        // The program's handler runs as Python code: the region must be
        // over first, even for a client that raises before it recovers.
        if (landing != nullptr && tv_load(&landing->landed)) {
            recover(landing);
            tv_store(&landing->recovered_early, 1);
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
            return;
        }
        if (!ends_region)
            return;
        if (sig == SIGQUIT) {
            // A quit that the handler let pass still ends the work, as the
            // signal would have ended the process.
            PyErr_SetNone(PyExc_SystemExit);
            remember_raised();
            return;
        }
    }
    // The signal's own exception.
    raise_signal_exception_holding_the_lock(sig, msg);
}

void deliver(int sig, const char *msg, PyObject *frame, bool ends_region)
{
    PyGILState_STATE gil = PyGILState_Ensure();
    deliver_holding_the_lock(sig, msg, frame, ends_region);
    PyGILState_Release(gil);
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
    // A signal the program claimed, or interrupt_main(): the main thread's.
    bool owed = is_interrupt_signal(sig) && tv_load(&shared.owed_to_main[sig]) != 0 &&
                is_main_thread() &&
                __atomic_exchange_n(&shared.owed_to_main[sig], 0, __ATOMIC_SEQ_CST) != 0;
    if (owed) {
        refresh_attention();
        Ref view(view_of(sig));
        if (!view || !is_ignore(view.get()))
            deliver_holding_the_lock(sig, nullptr, frame, false);
        if (PyErr_Occurred()) {
            announce_waiting();
            return nullptr;
        }
    }
    tvstate_t *st = main_state();
    int pending = tv_load(&st->pending_interrupt);
    if (pending != 0 && tv_load(&shared.python_claims_deferred))
        Py_RETURN_NONE;  // re-announced when the deferral ends
    if (pending == 0) {
        if (!owed && is_interrupt_signal(sig) && shared.python_native_handler != nullptr) {
            // The interpreter's own native handler was in place (code
            // installed it behind Python's back): a real signal, not yet
            // recorded anywhere. talvex takes the signal back.
            struct sigaction current;
            if (sigaction(sig, nullptr, &current) == 0 &&
                current.sa_handler == shared.python_native_handler) {
                reinstall_handler(sig);
                deliver_holding_the_lock(sig, nullptr, frame, false);
            }
        }
        return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    }
    if (!python_running()) {
        // Finalising: nothing can take an exception any more; the signal's
        // default action, as without talvex.
        int claimed = claim_pending(st);
        if (claimed != 0) {
            signal(claimed, SIG_DFL);
            raise(claimed);
        }
        Py_RETURN_NONE;
    }
    // A region of the main thread's record is open: the interrupt is that
    // region's to take. Not a region that a module opened by hand on the
    // exported record in another thread: the main thread's share is its own.
    if (tv_load(&st->sig_on_count) != 0 &&
        main_thread_region(__atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE),
                           current_stack_pointer()) != MainRegion::another_threads)
        Py_RETURN_NONE;
    int claimed = claim_pending(st);
    refresh_attention();
    if (claimed == 0)
        Py_RETURN_NONE;
    deliver_holding_the_lock(claimed, st->message, frame, false);
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
}

}  // namespace talvex
