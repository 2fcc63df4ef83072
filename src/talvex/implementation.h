// Private interface between the parts of talvex.signals: the module shell
// (signals.cpp), talvex's place in Python's signal module
// (python_signals.cpp), the native runtime (implementation.cpp) and the code
// that runs inside signal handlers (handlers.cpp). Clients never see it.
#ifndef TALVEX_IMPLEMENTATION_H
#define TALVEX_IMPLEMENTATION_H

#include "talvex/state.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>

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

// The code a disposition runs (a function, or SIG_DFL / SIG_IGN).
inline void *handler_code(const struct sigaction &sa)
{
    return (sa.sa_flags & SA_SIGINFO) ? reinterpret_cast<void *>(sa.sa_sigaction)
                                      : reinterpret_cast<void *>(sa.sa_handler);
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

// The fatal-signal handlers talvex found in place, each kind in its own
// slot, so that enabling faulthandler never drops a library's.
enum ChainSlot : int {
    kChainLibrary = 0,       // a library's (it may recover and return): before anything else
    kChainFaulthandler = 1,  // faulthandler's, which ends the process: after the crash report
    kChainSlots = 2,
};
struct Chain {
    struct sigaction action[kSignalSlots];
    int set[kSignalSlots];  // written after `action`, read before it
};

// What the runtime keeps for one thread that uses talvex: its region
// record (the main thread's is the exported tvstate) and what its regions
// and scopes need beside it. Records are never freed: one whose thread
// ended is reused by another, so a handler that reads one in any thread
// always reads valid memory. Integer fields are atomic.
struct ThreadRecord {
    tvstate_t own;               // the record of a thread other than the main one
    tvstate_t *record;           // &own, or &tvstate for the main thread
    unsigned long thread;        // its owner (pthread_t); 0: free
    int tid;                     // the owner's kernel thread id; 0: free
    int landed;                  // the signal of a handler's jump, until recovery
    unsigned long lander;        // the thread (pthread_t) that jumped
    // The signal of the last fatal-signal jump when a fault or abort() in the
    // region raised it, 0 when it was sent: a fault's exception is the
    // region's, whatever Python handler is set. Taken when it is raised.
    int landed_fault;
    int recovered_early;         // the region was recovered before its client asked
    int scopes;                  // talvex::cooperative scopes open in the thread
    int scope_signal;            // an interrupt waiting for a scope's check()
    unsigned int seen_serial;    // the last process-wide interrupt its checks took
    sigset_t landing_mask;       // where the last jump interrupted the thread
    ThreadRecord *next;          // the registry: prepended, never unlinked
};

// Process-wide state shared by the handlers and ordinary code. Integer
// fields are accessed atomically (tv_load/tv_store or __atomic builtins).
struct Shared {
    sigjmp_buf trampoline_buf;        // in trampoline_body; main-thread jumps go here first
    sigjmp_buf trampoline_setup_buf;  // set-up only
    sigset_t default_sigmask;         // the initialising thread's mask
    sigset_t blocked_sigmask;         // default_sigmask + SIGHUP, SIGINT, SIGALRM
    ThreadRecord *threads;            // the registry (head)
    ThreadRecord *main_record;        // the main thread's (its record is tvstate)
    int python_table[kSignalSlots];   // PythonTable, interrupt signals
    // Interrupt signals whose Python-level handler the program set: they are
    // the program's, and never end a region in another thread than the main one.
    int claimed[kSignalSlots];
    // Interrupt signals whose disposition outside regions is the embedding
    // program's (the interpreter installed no handlers): HostAction.
    int host_action[kSignalSlots];
    struct sigaction host_handler[kSignalSlots];  // the host's own handler, kHostChain
    // Signals owed to the main thread's Python code: a claimed signal, or
    // _thread.interrupt_main(); python_check_interrupt takes them.
    int owed_to_main[kSignalSlots];
    int fatal_route[kSignalSlots];    // FatalRoute
    Chain chains[kChainSlots];        // by ChainSlot
    unsigned int interrupt_serial;    // counts interrupts sent to the whole process
    int python_claims_deferred;       // python_check_interrupt leaves interrupts waiting
    void (*python_native_handler)(int);  // what CPython installs natively for its handlers
    void *faulthandler_code;          // faulthandler's fatal-signal handler, learnt when installed
    int dying_thread;                 // kernel id of the thread that claimed the crash
    unsigned long main_thread;        // the main thread (pthread_t)
    int main_thread_tid;              // and its kernel thread id
    uintptr_t main_stack_low;         // the main thread's stack, where known
    uintptr_t main_stack_high;
};
extern Shared shared;

// What an interrupt outside any region does in an embedding program whose
// interpreter installed no signal handlers.
enum HostAction : int {
    kHostNone = 0,     // not the host's: talvex's meaning, or the program's handler
    kHostDefault = 1,  // the signal's default action
    kHostChain = 2,    // the host's own handler
};

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

// The words that polls read: the runtime's own `attention` and each client
// module's copy of it (talvex_attention), registered on the module's first
// poll. A module beyond the last slot keeps its word at 1: its polls always
// ask the runtime.
constexpr int kMaxAttentionWords = 256;
struct AttentionWords {
    // Null where a module unregistered its word (it is being unloaded); a
    // later module may take the slot.
    int *words[kMaxAttentionWords];
    int count;  // raised with release order after a slot is filled
    int walkers;  // walks over the words in progress, in any thread
};
extern AttentionWords attention_words;

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
// Records an interrupt in a record's pending_interrupt (a pending hang-up
// stays).
void record_interrupt(tvstate_t *record, int sig);
// The main thread's share of an interrupt, outside its regions: kept for
// python_check_interrupt (or, claimed, for the program's handler), which
// the interpreter is asked to run, and for the main thread's checks. Safe
// in a signal handler.
void hand_to_python(int sig);
// The registry's record of a thread (pthread_t), or null. Safe in a signal
// handler.
ThreadRecord *find_thread_record(unsigned long thread);
// Whether PyErr_SetInterruptEx may be called: not before initialisation,
// nor once finalisation began.
bool python_running();
// The interpreter's "finalising?" query, looked up at initialisation: its
// name differs between versions and a binary built for one may run on the
// next.
extern int (*interpreter_finalizing)(void);
// Whether the interpreter began finalising (and stays so after it ended).
// Safe in a signal handler.
bool finalizing();
// The talvex handler for `sig` (interrupt or fatal), installed with SA_SIGINFO.
void (*handler_for(int sig))(int, siginfo_t *, void *);
// Stores `value` into every word that polls read. Safe in a signal handler.
void set_attention(int value);
// The calling thread waits, with every signal blocked, for the process's
// end. Safe in a signal handler.
[[noreturn]] void park_thread();

// --- implementation.cpp: ordinary context ---------------------------------
// Installation; both end the process on failure.
struct InstallPlan {
    bool skip[kSignalSlots];  // left alone: the program ignores the signal
    unsigned long main_thread;  // the interpreter's main thread (pthread_t)
    int main_thread_tid;        // and its kernel thread id
};
void install_signal_handlers(const InstallPlan &plan);
// The main thread's stack, learnt in the main thread: a jump of the main
// thread's record is checked against it.
void learn_main_stack();
void setup_alt_stack();
// Put talvex's handler back for one signal after Python's signal module
// installed its own; fatal signals keep what they chained.
void reinstall_handler(int sig);
// After faulthandler.enable() or disable(): talvex's fatal handlers back in
// place, each handler found there in its slot; `faulthandler_off`: the
// faulthandler slot is emptied where faulthandler is no longer found.
void reclaim_fatal_handlers(bool faulthandler_off);
// Learns faulthandler's handler from the disposition of SIGSEGV, just after
// faulthandler installed it.
void learn_faulthandler_handler();
bool is_talvex_handler(const struct sigaction &sa);
// Claims `record`'s pending interrupt with one atomic exchange; 0 when none.
int claim_pending(tvstate_t *record);
// The calling thread's record, made (and the thread's alternate signal
// stack set up) on first use.
ThreadRecord *own_thread_record();
// The calling thread's record if it has one, else null. Ordinary context.
ThreadRecord *existing_thread_record();
// Back to idle after a jump (or a region left open): the record's count,
// shield and pending interrupt cleared, the thread's mask restored.
void recover(ThreadRecord *rec);
// The record of the main thread's interrupts: its pending interrupt is the
// one python_check_interrupt raises.
tvstate_t *main_state();
// Sets, or re-computes, the word that polls read: nonzero while a check
// may have something to take. Ordinary context.
void refresh_attention();

// Guards the Python objects the runtime keeps beside the record (the
// program's handlers, the value last raised): a free-threaded interpreter
// has no lock that keeps a reader from an object another thread just
// replaced. Held only while a pointer is read or swapped, never while
// Python code runs.
// With the interpreter lock (a build with a GIL), the lock is that.
#ifdef Py_GIL_DISABLED
extern pthread_mutex_t object_lock;
class ObjectGuard {
public:
    ObjectGuard() { pthread_mutex_lock(&object_lock); }
    ~ObjectGuard() { pthread_mutex_unlock(&object_lock); }
    ObjectGuard(const ObjectGuard &) = delete;
    ObjectGuard &operator=(const ObjectGuard &) = delete;
};
#else
class ObjectGuard {
public:
    ObjectGuard() {}
    ObjectGuard(const ObjectGuard &) = delete;
    ObjectGuard &operator=(const ObjectGuard &) = delete;
};
#endif

// --- python_signals.cpp: talvex inside Python's signal module -------------
// Before init_talvex imports the signal module: whether the interpreter
// left the interrupts to an embedding program (false with an exception set).
bool note_embedding_host();
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
// The same, by a caller that holds the interpreter lock.
void deliver_holding_the_lock(int sig, const char *msg, PyObject *frame, bool ends_region);
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
// The record's raised_value: a new reference to `value` (or null) in place
// of the old one; whether it is `value`; whether the record holds the only
// reference.
void keep_raised_value(PyObject *value);
// sig_raise_exception's work, by a caller that holds the interpreter lock.
void raise_signal_exception_holding_the_lock(int sig, const char *msg);
bool raised_value_is(PyObject *value);
bool raised_value_unshared();
// Add a traceback entry "talvex.signals.<name>" (or any function name) to
// the exception being raised, keeping that exception.
void add_traceback(const char *funcname, int line, const char *file);
// The module's namespace: __file__ and friends for inspector paths.
PyObject *module_namespace();

}  // namespace talvex

#endif
