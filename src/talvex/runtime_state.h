// The process-wide state that talvex's signal handlers share with its
// ordinary code: the record and what lies beside it. Only types and data
// live here, no functions of either side, so that the handlers
// (handlers.cpp, crash.cpp) depend on nothing of the ordinary-context
// runtime, which in turn calls into them.
#ifndef TALVEX_RUNTIME_STATE_H
#define TALVEX_RUNTIME_STATE_H

#include "talvex/state.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>

namespace talvex {

// The record with what clients find beside it; `tvstate` is its first member.
extern talvex_runtime_t runtime;
#define tvstate (::talvex::runtime.state)

// Signal numbers index these tables directly.
constexpr int kSignalSlots = 65;

// The signals talvex serves: interrupts, then the fatal ones.
inline constexpr int kInterruptSignals[] = {SIGHUP, SIGINT, SIGALRM};
inline constexpr int kFatalSignals[] = {SIGQUIT, SIGILL, SIGABRT, SIGFPE, SIGBUS, SIGSEGV};
// The signals that may be owed to the main thread (Shared::owed_to_main).
inline constexpr int kOwedSignals[] = {SIGHUP,  SIGINT, SIGALRM, SIGQUIT, SIGILL,
                                       SIGABRT, SIGFPE, SIGBUS,  SIGSEGV};

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
    // Interrupts passed on to this thread and not yet delivered, bit sig - 1:
    // a copy that reaches it without its mark is still known as one.
    unsigned long long copies;
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
    // _thread.interrupt_main(); python_check_interrupt takes them. A fatal
    // signal sent while the main thread's cooperative scope is open, that
    // the program set a Python handler for, waits here for the scope's
    // check().
    int owed_to_main[kSignalSlots];
    int fatal_route[kSignalSlots];    // FatalRoute
    Chain chains[kChainSlots];        // by ChainSlot
    unsigned int interrupt_serial;    // counts interrupts sent to the whole process
    // Set by an interrupt sent to the process, until a poll in any thread
    // looks once the main thread has taken its share: a worker's poll
    // outside regions and scopes, which takes none, then says so (once,
    // `polls_warned`).
    int poll_census;
    int polls_warned;
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

}  // namespace talvex

#endif
