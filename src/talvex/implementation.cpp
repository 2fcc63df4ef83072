// The native runtime of talvex.signals in ordinary context: the record and
// what lies beside it, installation of the handlers, the trampoline and
// alternate signal stacks, fork, cooperative scopes, custom hooks and the
// recovery entry points. The code that runs inside signal handlers is in
// handlers.cpp.

// See handlers.cpp: jumps cross stacks, which glibc's checked longjmp
// refuses; setup_trampoline jumps too.
#undef _FORTIFY_SOURCE

#include "implementation.h"
#include "platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace talvex {

namespace {
void cooperative_enter();
void cooperative_exit();
int cooperative_claim();
}  // namespace

talvex_runtime_t runtime = {
    {}, TALVEX_RUNTIME_MAGIC, TALVEX_RUNTIME_ABI, cooperative_enter, cooperative_exit,
    cooperative_claim,
};
Shared shared;
InspectorPaths inspector_paths;
CustomHooks custom_hooks;

namespace {

// The file name that traceback entries from this file show.
const char kSourceFile[] = "talvex/implementation.cpp";

constexpr size_t kAltStackSize = 21504;
constexpr size_t kTrampolineBlockSize = 135168;
constexpr size_t kTrampolineStackSize = 131072;
constexpr uintptr_t kTrampolineAlign = 4096;

// Installation order.
const int kHandledSignals[] = {SIGHUP,  SIGINT,  SIGALRM, SIGQUIT, SIGILL,
                               SIGABRT, SIGFPE, SIGBUS,  SIGSEGV};

[[noreturn]] void fail(const char *what)
{
    perror(what);
    exit(1);
}

[[noreturn]] void fail_with(int result, const char *what)
{
    errno = result;
    fail(what);
}

sigset_t interrupt_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : kInterruptSignals)
        sigaddset(&set, s);
    return set;
}

struct sigaction talvex_action(int sig)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = handler_for(sig);
    sa.sa_mask = interrupt_set();
    // SA_SIGINFO: the kernel's siginfo says whether a signal was sent or
    // raised by an instruction, and which deliveries are talvex's own copies.
    sa.sa_flags = SA_SIGINFO | (is_interrupt_signal(sig) ? 0 : SA_ONSTACK | SA_NODEFER);
    return sa;
}

// Whether a handler's code lies in the interpreter itself (libpython, or the
// python executable): faulthandler's, or CPython's own native handler.
bool in_interpreter(const struct sigaction &sa)
{
    void *code = (sa.sa_flags & SA_SIGINFO) ? reinterpret_cast<void *>(sa.sa_sigaction)
                                            : reinterpret_cast<void *>(sa.sa_handler);
    Dl_info interpreter, handler;
    return dladdr(reinterpret_cast<void *>(&Py_Initialize), &interpreter) != 0 &&
           dladdr(code, &handler) != 0 && interpreter.dli_fbase == handler.dli_fbase;
}

// Remembers the handler talvex replaced for a fatal signal. A library's
// goes first when a fault arrives outside a region (it may recover);
// faulthandler, which ends the process, after the crash report.
void set_chain(int sig, const struct sigaction &previous)
{
    tv_store(&shared.chain_kind[sig], kChainNone);
    shared.chained[sig] = previous;
    tv_store(&shared.chain_kind[sig], !is_real_handler(previous) ? kChainNone
                                      : in_interpreter(previous) ? kChainAfter
                                                                 : kChainFirst);
}

// A handler neither talvex's nor the interpreter's own (whose signals
// reach Python by other means): a crash reporter, faulthandler.
bool is_foreign_handler(const struct sigaction &sa)
{
    return is_real_handler(sa) && !is_talvex_handler(sa) &&
           ((sa.sa_flags & SA_SIGINFO) || sa.sa_handler != shared.python_native_handler);
}

// Installs talvex's handler for `sig`; a fatal signal remembers the
// foreign handler it replaces, which gets its turn after the crash report.
void take_signal(int sig)
{
    struct sigaction sa = talvex_action(sig);
    struct sigaction previous;
    if (sigaction(sig, &sa, &previous) != 0)
        fail("talvex sigaction");
    if (!is_interrupt_signal(sig) && is_foreign_handler(previous))
        set_chain(sig, previous);
}

// ---------------------------------------------------------------------
// Stacks
// ---------------------------------------------------------------------

// The alternate signal stack a thread got from talvex, released when the
// thread ends. The initialising thread keeps its own for the life of the
// process: a crash in an exit handler still needs it.
pthread_key_t alt_stack_key;
pthread_once_t alt_stack_key_once = PTHREAD_ONCE_INIT;
thread_local void *thread_alt_stack;

void release_alt_stack(void *block)
{
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == block) {
        stack_t off;
        memset(&off, 0, sizeof(off));
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }
    free(block);
}

void create_alt_stack_key()
{
    pthread_key_create(&alt_stack_key, release_alt_stack);
}

// One trampoline block for the process: every initialisation records the
// trampoline afresh on it.
void *trampoline_block;

void setup_trampoline()
{
    if (trampoline_block == nullptr) {
        trampoline_block = malloc(kTrampolineBlockSize);
        if (trampoline_block == nullptr)
            fail("talvex malloc");
    }
    uintptr_t base = (reinterpret_cast<uintptr_t>(trampoline_block) + kTrampolineAlign - 1) &
                     ~(kTrampolineAlign - 1);

    pthread_attr_t attr;
    pthread_t thread;
    int rc = pthread_attr_init(&attr);
    if (rc != 0)
        fail_with(rc, "talvex pthread_attr_init");
    rc = pthread_attr_setstack(&attr, reinterpret_cast<void *>(base), kTrampolineStackSize);
    if (rc != 0)
        fail_with(rc, "talvex pthread_attr_setstack");
    rc = pthread_create(&thread, &attr, trampoline_body, nullptr);
    if (rc != 0)
        fail_with(rc, "talvex pthread_create");
    pthread_attr_destroy(&attr);
    rc = pthread_join(thread, nullptr);
    if (rc != 0)
        fail_with(rc, "talvex pthread_join");

    // Hop onto the finished thread's stack; trampoline_body records
    // trampoline_buf there and jumps back here with 0, arriving as 1.
    if (sigsetjmp(tvstate.resume_point, 0) == 0)
        siglongjmp(shared.trampoline_setup_buf, 1);
}

// ---------------------------------------------------------------------
// fork
// ---------------------------------------------------------------------

thread_local int thread_cooperative_scopes;

// A forked child has only the thread that forked: it starts idle, except
// for that thread's own region and scopes.
void after_fork_in_child()
{
    unsigned long owner = tv_region_owner(tvstate.resume_point);
    bool keeps_region = tv_load(&tvstate.sig_on_count) > 0 &&
                        (owner == 0 || pthread_equal(static_cast<pthread_t>(owner),
                                                     pthread_self()));
    if (!keeps_region) {
        tv_store(&tvstate.sig_on_count, 0);
        tv_store(&tvstate.sigint_blocked, 0);
        tv_store(&tvstate.handler_active, 0);
        tv_store(&shared.landed, 0);
    }
    tv_store(&tvstate.pending_interrupt, 0);
    tv_store(&shared.cooperative_scopes, thread_cooperative_scopes);
    tv_store(&shared.hangup_for_main, 0);
    for (int s = 0; s < kSignalSlots; s++)
        tv_store(&shared.owed_to_main[s], 0);
    shared.main_thread = static_cast<unsigned long>(pthread_self());
    tv_store(&shared.main_thread_tid, kernel_thread_id());
}

pthread_once_t fork_handler_once = PTHREAD_ONCE_INIT;

void register_fork_handler()
{
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
}

// ---------------------------------------------------------------------
// Cooperative scopes
// ---------------------------------------------------------------------

void cooperative_enter()
{
    thread_cooperative_scopes++;
    __atomic_add_fetch(&shared.cooperative_scopes, 1, __ATOMIC_SEQ_CST);
}

void cooperative_exit()
{
    thread_cooperative_scopes--;
    // Python's own check left the interrupt to the scopes: if none claimed
    // it, hand it back to Python.
    if (__atomic_sub_fetch(&shared.cooperative_scopes, 1, __ATOMIC_SEQ_CST) == 0) {
        int pending = tv_load(&tvstate.pending_interrupt);
        if (pending != 0 && python_running())
            PyErr_SetInterruptEx(pending);
    }
}

int cooperative_claim()
{
    // A shielded region delivers its own interrupt when the shield lifts.
    if (tv_load(&tvstate.sig_on_count) > 0 && tv_load(&tvstate.sigint_blocked))
        return 0;
    return claim_pending();
}

}  // namespace

// ---------------------------------------------------------------------
// Installation
// ---------------------------------------------------------------------

bool is_talvex_handler(const struct sigaction &sa)
{
    return (sa.sa_flags & SA_SIGINFO) && (sa.sa_sigaction == handler_for(SIGINT) ||
                                          sa.sa_sigaction == handler_for(SIGSEGV));
}

void setup_alt_stack()
{
    pthread_once(&alt_stack_key_once, create_alt_stack_key);
    bool initialising_thread = pthread_equal(pthread_self(),
                                             static_cast<pthread_t>(shared.main_thread));
    void *block = thread_alt_stack;
    if (block == nullptr) {
        block = malloc(kAltStackSize);
        if (block == nullptr)
            fail("talvex malloc alt signal stack");
        thread_alt_stack = block;
        if (!initialising_thread)
            pthread_setspecific(alt_stack_key, block);
    }
    stack_t ss;
    ss.ss_sp = block;
    ss.ss_size = kAltStackSize;
    ss.ss_flags = 0;
    if (sigaltstack(&ss, nullptr) == -1)
        fail("talvex sigaltstack");
}

void install_signal_handlers(const InstallPlan &plan)
{
    pthread_once(&fork_handler_once, register_fork_handler);
    if (interpreter_finalizing == nullptr) {
        void *query = dlsym(RTLD_DEFAULT, "Py_IsFinalizing");
        if (query == nullptr)
            query = dlsym(RTLD_DEFAULT, "_Py_IsFinalizing");
        __atomic_store_n(&interpreter_finalizing, reinterpret_cast<int (*)(void)>(query),
                         __ATOMIC_RELEASE);
    }
    shared.main_thread = plan.main_thread;
    tv_store(&shared.main_thread_tid, plan.main_thread_tid);
    setup_alt_stack();
    memset(static_cast<void *>(&tvstate), 0, sizeof(tvstate));
    tv_store(&shared.landed, 0);
    tv_store(&shared.hangup_for_main, 0);
    for (int s = 0; s < kSignalSlots; s++)
        tv_store(&shared.owed_to_main[s], 0);

    sigset_t interrupts = interrupt_set();
    sigprocmask(SIG_BLOCK, &interrupts, &shared.default_sigmask);
    // The set-up thread inherits the blocked interrupts and trampoline_buf
    // saves them: every jump puts the interrupts' block in force.
    setup_trampoline();
    sigprocmask(SIG_SETMASK, &shared.default_sigmask, &shared.blocked_sigmask);

    for (int sig : kHandledSignals) {
        if (!plan.skip[sig])
            take_signal(sig);
    }
}

void reinstall_handler(int sig)
{
    // Blocked meanwhile, so that no interrupt meets the interpreter's own
    // handler between its installation and this one.
    take_signal(sig);
}

void snapshot_chains(struct sigaction *out)
{
    memcpy(out, shared.chained, sizeof(shared.chained));
}

void reclaim_fatal_handlers(const struct sigaction *fallback)
{
    for (int sig : kHandledSignals) {
        if (is_interrupt_signal(sig))
            continue;
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) != 0)
            continue;
        if (!is_real_handler(current) && current.sa_handler == SIG_IGN)
            continue;  // the program ignores it
        if (is_talvex_handler(current)) {
            if (fallback != nullptr)
                set_chain(sig, fallback[sig]);
            continue;
        }
        struct sigaction sa = talvex_action(sig);
        if (sigaction(sig, &sa, nullptr) != 0)
            continue;
        if (is_foreign_handler(current) || !is_real_handler(current))
            set_chain(sig, current);
    }
}

// ---------------------------------------------------------------------
// Claims and recovery
// ---------------------------------------------------------------------

namespace {

// A hang-up taken by a thread other than the main one ends the process's
// work, not only that thread's: the main thread gets it too, at its next
// check. Done where the signal is taken (a claim, a landing), so that it
// holds however the taking thread handles it: C++ code may catch
// talvex::interrupted itself, a native thread has no Python to raise in.
void hand_hangup_to_main(int sig)
{
    if ((sig == SIGHUP || sig == SIGTERM) && !is_main_thread()) {
        tv_store(&shared.hangup_for_main, sig);
        if (python_running())
            PyErr_SetInterruptEx(SIGHUP);
    }
}

}  // namespace

int claim_pending()
{
    int sig = __atomic_exchange_n(&tvstate.pending_interrupt, 0, __ATOMIC_SEQ_CST);
    hand_hangup_to_main(sig);
    custom_set_pending_signal(0);
    // One that arrived meanwhile is announced again.
    int again = tv_load(&tvstate.pending_interrupt);
    if (again != 0)
        custom_set_pending_signal(again);
    return sig;
}

bool region_owned_by_caller()
{
    unsigned long owner = tv_region_owner(tvstate.resume_point);
    return owner == 0 || pthread_equal(static_cast<pthread_t>(owner), pthread_self());
}

void recover()
{
    tv_store(&tvstate.sigint_blocked, 0);
    for (int i = 0; i < __atomic_load_n(&custom_hooks.count, __ATOMIC_ACQUIRE); i++)
        custom_hooks.unblock[i]();
    tv_store(&tvstate.sig_on_count, 0);
    int landed = __atomic_exchange_n(&shared.landed, 0, __ATOMIC_SEQ_CST);
    // The interrupt that ended the region is taken, and one recorded
    // meanwhile merges with it, except a hang-up that did not end it: one
    // another thread recorded since the jump (its copy, passed on to this
    // thread, waits blocked and is then dropped as already recorded) or one
    // recorded while the region was shielded is still owed, and Python is
    // alerted to take it.
    int current = tv_load(&tvstate.pending_interrupt);
    for (;;) {
        if (landed != 0 && current != landed && (current == SIGHUP || current == SIGTERM)) {
            if (python_running())
                PyErr_SetInterruptEx(SIGHUP);
            break;
        }
        if (__atomic_compare_exchange_n(&tvstate.pending_interrupt, &current, 0, false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            custom_set_pending_signal(0);
            break;
        }
    }
    // Only now that the record no longer holds its twin: the main thread
    // could otherwise take the hang-up twice.
    hand_hangup_to_main(landed);
    // Back to the mask the thread had where the signal struck.
    sigprocmask(SIG_SETMASK, landed != 0 ? &shared.landing_mask : &shared.default_sigmask,
                nullptr);
    // Cleared last: until here a fault counts as one during signal handling.
    tv_store(&tvstate.handler_active, 0);
}

}  // namespace talvex

using namespace talvex;

// ---------------------------------------------------------------------
// Entry points exported to clients.
// ---------------------------------------------------------------------

extern "C" int add_custom_signals(int (*is_blocked)(void), void (*unblock)(void),
                                  void (*set_pending)(int))
{
    int n = custom_hooks.count;
    if (is_blocked == nullptr || unblock == nullptr || set_pending == nullptr) {
        // A null hook would crash later, inside a signal handler.
        PyErr_SetString(PyExc_ValueError, "talvex add_custom_signals: a hook function is NULL");
        add_traceback("talvex.signals.add_custom_signals", __LINE__, kSourceFile);
        return -1;
    }
    if (n == kMaxCustomHooks) {
        PyObject *text = PyUnicode_FromString("maximal number of custom handlers exceeded");
        PyObject *exc = text ? PyObject_CallOneArg(PyExc_IndexError, text) : nullptr;
        Py_XDECREF(text);
        if (exc != nullptr) {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
            Py_DECREF(exc);
        }
        add_traceback("talvex.signals.add_custom_signals", __LINE__, kSourceFile);
        return -1;
    }
    custom_hooks.is_blocked[n] = is_blocked;
    custom_hooks.unblock[n] = unblock;
    custom_hooks.set_pending[n] = set_pending;
    // A handler that sees the new count must find the whole triple.
    __atomic_store_n(&custom_hooks.count, n + 1, __ATOMIC_RELEASE);
    return 0;
}

extern "C" void _sig_on_recover(void)
{
    // Already done before the program's own handler ran for the signal.
    if (__atomic_exchange_n(&shared.recovered_early, 0, __ATOMIC_SEQ_CST) != 0)
        return;
    recover();
}

extern "C" void _sig_on_interrupt_received(void)
{
    // One atomic exchange claims it: an interrupt that arrives meanwhile,
    // in any thread, is recorded afresh rather than lost.
    int sig = claim_pending();
    // A region this thread opened (or a check inside it) is over; another
    // thread's region is not this call's to close.
    if (region_owned_by_caller())
        tv_store(&tvstate.sig_on_count, 0);
    deliver(sig, tvstate.message, nullptr, true);
}

extern "C" void _do_raise_exception(int sig)
{
    deliver(sig, tvstate.message, nullptr, true);
}

extern "C" void _sig_off_warning(const char *file, int line)
{
    char text[320];
    snprintf(text, sizeof(text), "sig_off() without sig_on() at %s:%i", file, line);
    PyGILState_STATE gil = PyGILState_Ensure();
    // The client has no way to see an error from here: a warning turned
    // into one is reported as unraisable, and an exception already set by
    // the client's own code stays. Interrupts wait meanwhile: the warning
    // machinery would take one and lose it (CPython clears errors while it
    // shows a warning).
    PyObject *earlier = PyErr_GetRaisedException();
    tv_store(&shared.python_claims_deferred, 1);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 2) < 0)
        PyErr_WriteUnraisable(nullptr);
    tv_store(&shared.python_claims_deferred, 0);
    int waiting = tv_load(&tvstate.pending_interrupt);
    if (waiting != 0 && python_running())
        PyErr_SetInterruptEx(waiting == SIGTERM ? SIGHUP : waiting);
    PyErr_SetRaisedException(earlier);
    PyGILState_Release(gil);
}

extern "C" void print_backtrace(void) {}
