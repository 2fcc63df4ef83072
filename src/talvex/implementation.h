// Private interface between the parts of talvex.signals: the module shell
// (signals.cpp), talvex's place in Python's signal module
// (python_signals.cpp), the native runtime (implementation.cpp) and the code
// that runs inside signal handlers (handlers.cpp). Clients never see it.
#ifndef TALVEX_IMPLEMENTATION_H
#define TALVEX_IMPLEMENTATION_H

#include "talvex/state.h"

#include <setjmp.h>
#include <signal.h>

extern "C" {

// Entry points exported through __pyx_capi__; their types spell the
// signature strings exactly.
int add_custom_signals(int (*is_blocked)(void), void (*unblock)(void),
                       void (*set_pending)(int));
int sig_raise_exception(int sig, const char *msg);
void _sig_off_warning(const char *file, int line);
void _do_raise_exception(int sig);
void _sig_on_interrupt_received(void);
void _sig_on_recover(void);
void print_backtrace(void);
void verify_exc_value(void);

}  // extern "C"

namespace talvex {

// The record with what clients find beside it; `tvstate` is its first member.
extern talvex_runtime_t runtime;
#define tvstate (::talvex::runtime.state)

// Signal numbers index these tables directly.
constexpr int kSignalSlots = 65;

// The signals talvex serves: interrupts, then the fatal ones.
inline constexpr int kInterruptSignals[] = {SIGHUP, SIGINT, SIGALRM};
inline constexpr int kFatalSignals[] = {SIGQUIT, SIGILL, SIGABRT, SIGFPE, SIGBUS, SIGSEGV};

constexpr bool is_interrupt_signal(long sig)
{
    return sig == SIGHUP || sig == SIGINT || sig == SIGALRM;
}

constexpr bool is_fatal_signal(long sig)
{
    for (int s : kFatalSignals) {
        if (s == sig)
            return true;
    }
    return false;
}

// A disposition that runs a function, not SIG_DFL or SIG_IGN. Plain
// reads: also used in signal context.
inline bool is_real_handler(const struct sigaction &sa)
{
    if (sa.sa_flags & SA_SIGINFO)
        return sa.sa_sigaction != nullptr;
    return sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN;
}

// What a fatal signal outside a region does besides the crash report.
enum FatalRoute : int {
    kRouteReport = 0,   // crash report, then the handler it replaced, then death
    kRoutePython = 1,   // the program set a Python-level handler: a sent signal goes there
};

// Where an interrupt outside a region goes, by what the interpreter's own
// table of Python-level handlers holds for the signal.
enum PythonTable : int {
    kTableNone = 0,      // SIG_DFL there (talvex imported from a worker, not yet
                         // completed in the main thread): recorded only
    kTableCallable = 1,  // the program's handler or default_int_handler there (the
                         // same interim): the interpreter runs it, nothing is recorded
    kTableChecker = 2,   // python_check_interrupt there: recorded, then announced
};

// How a fatal-signal handler that was in place before talvex takes its turn.
enum ChainKind : int {
    kChainNone = 0,
    kChainFirst = 1,   // a library's (it may recover and return): before anything else
    kChainAfter = 2,   // the interpreter's own, faulthandler: after the crash report
};

// Process-wide state shared by the handlers and ordinary code. Integer
// fields are accessed atomically (tv_load/tv_store or __atomic builtins).
struct Shared {
    sigjmp_buf trampoline_buf;        // in trampoline_body; every jump goes here first
    sigjmp_buf trampoline_setup_buf;  // set-up only
    sigset_t default_sigmask;         // the initialising thread's mask
    sigset_t blocked_sigmask;         // default_sigmask + SIGHUP, SIGINT, SIGALRM
    sigset_t landing_mask;            // where the last jump interrupted its thread
    int landed;                       // the signal of a handler's jump, until recovery
    int cooperative_scopes;           // talvex::cooperative scopes open, all threads
    int python_table[kSignalSlots];   // PythonTable, interrupt signals
    // Interrupt signals whose Python-level handler the program set: they are
    // the program's, and never end a region in another thread than the main one.
    int claimed[kSignalSlots];
    // Signals owed to the main thread's Python code: a claimed signal, or
    // _thread.interrupt_main(); python_check_interrupt takes them.
    int owed_to_main[kSignalSlots];
    int fatal_route[kSignalSlots];    // FatalRoute
    // A fatal-signal handler that was in place before talvex took the signal.
    struct sigaction chained[kSignalSlots];
    int chain_kind[kSignalSlots];     // ChainKind
    int hangup_for_main;              // a hang-up a worker took, owed to the main thread
    int recovered_early;              // the region was recovered before its client asked
    int python_claims_deferred;       // python_check_interrupt leaves interrupts waiting
    void (*python_native_handler)(int);  // what CPython installs natively for its handlers
    int dying_thread;                 // kernel id of the thread writing a crash report
    unsigned long main_thread;        // the main thread (pthread_t)
    int main_thread_tid;              // and its kernel thread id
};
extern Shared shared;

// This installation's crash inspector and stack reader, resolved at
// initialisation so that the handler runs them by absolute paths without
// allocating.
struct InspectorPaths {
    char python[4096];       // the interpreter that runs `-m talvex_csi`, or ""
    char pythonpath[8300];   // "PYTHONPATH=<dir of talvex_csi>[:<dir of pystack>]"
    char pyspy[4096];        // py-spy, which the inspector reads the stacks with, or ""
};
extern InspectorPaths inspector_paths;

// Where the crash report goes besides standard error (or faulthandler's
// file), set up in ordinary context and read by the handler.
struct ReportSetup {
    // set_crash_file(): written into the buffer not in use, then published
    // by the index, so that a crash never reads a half-written path.
    char crash_file[2][4096];
    int crash_file_index;
    // Descriptor 2 as it was when it turned out to be a pipe that this very
    // process reads (a notebook kernel forwarding its standard error): a
    // report written only there dies with the process.
    int captured;
    unsigned long long captured_dev, captured_ino;
    int original_stderr;  // a copy of the standard error it replaced, or -1
    char state_dir[4096]; // "<state home>/talvex": where the report goes otherwise
};
extern ReportSetup report_setup;

// Custom hooks (registered by add_custom_signals).
constexpr int kMaxCustomHooks = 16;
struct CustomHooks {
    int (*is_blocked[kMaxCustomHooks])(void);
    void (*unblock[kMaxCustomHooks])(void);
    void (*set_pending[kMaxCustomHooks])(int);
    int count;  // raised with release order after a slot is filled
};
extern CustomHooks custom_hooks;

// --- handlers.cpp: signal context -----------------------------------------
void interrupt_handler(int sig, siginfo_t *info, void *context);
void fatal_signal_handler(int sig, siginfo_t *info, void *context);
void *trampoline_body(void *);
int custom_signal_is_blocked();
void custom_set_pending_signal(int sig);
// Records an interrupt in pending_interrupt (a pending hang-up stays).
void record_interrupt(int sig);
// An interrupt outside any region (or one the program claimed, beside a
// region in a worker): kept for python_check_interrupt, which the
// interpreter is asked to run. Safe in a signal handler.
void hand_to_python(int sig);
// Whether PyErr_SetInterruptEx may be called: not before initialisation,
// nor once finalisation began.
bool python_running();
// The interpreter's "finalising?" query, looked up at initialisation: its
// name differs between versions and a binary built for one may run on the
// next.
extern int (*interpreter_finalizing)(void);
// The talvex handler for `sig` (interrupt or fatal), installed with SA_SIGINFO.
void (*handler_for(int sig))(int, siginfo_t *, void *);

// --- implementation.cpp: ordinary context ---------------------------------
// Installation; both end the process on failure.
struct InstallPlan {
    bool skip[kSignalSlots];  // left alone: the program ignores the signal
    unsigned long main_thread;  // the interpreter's main thread (pthread_t)
    int main_thread_tid;        // and its kernel thread id
};
void install_signal_handlers(const InstallPlan &plan);
void setup_alt_stack();
// Put talvex's handler back for one signal after Python's signal module
// installed its own; fatal signals keep what they chained.
void reinstall_handler(int sig);
// After other code replaced fatal-signal handlers (faulthandler.enable or
// disable): take them back, handing on to whatever is there now, or to
// `fallback` where that is talvex's own handler. `fallback` null: keep.
void reclaim_fatal_handlers(const struct sigaction *fallback);
void snapshot_chains(struct sigaction *out);
bool is_talvex_handler(const struct sigaction &sa);
// Claims the pending interrupt with one atomic exchange; 0 when none.
int claim_pending();
// The signal mask that a recovery restores, and the record back to idle.
void recover();
bool region_owned_by_caller();
void clear_raised_value_locked();

// --- python_signals.cpp: talvex inside Python's signal module -------------
// init_talvex's Python-level step; returns the previous SIGINT handler, or
// null with an exception set (nothing native changed then). Without
// `set_table` (a thread other than the main one) the interpreter's table of
// handlers is left as it is, for complete_later_in_main_thread().
PyObject *prepare_python_level(PyObject *checker, InstallPlan *plan, bool set_table);
// Asks the main thread to put python_check_interrupt in the interpreter's
// table at its next check, and to take what waits by then.
bool complete_later_in_main_thread();
// Turn a claimed signal into what Python sees, with the interpreter lock
// taken here. `ends_region`: native work was abandoned for it, so an
// exception must result. `frame`: borrowed, or null for the current one.
void deliver(int sig, const char *msg, PyObject *frame, bool ends_region);
// The body of python_check_interrupt.
PyObject *check_interrupt_from_python(PyObject *sig, PyObject *frame);
bool is_main_thread();

// Where the crash inspector is, for the handler (init_talvex).
void resolve_inspector_paths();
// Where the crash report goes besides standard error (init_talvex).
void prepare_report_destinations();
// set_crash_file(): null or "" for none.
void set_crash_file(const char *path);

// --- signals.cpp -----------------------------------------------------------
// Add a traceback entry "talvex.signals.<name>" (or any function name) to
// the exception being raised, keeping that exception.
void add_traceback(const char *funcname, int line, const char *file);
// The module's namespace: __file__ and friends for inspector paths.
PyObject *module_namespace();

}  // namespace talvex

#endif
