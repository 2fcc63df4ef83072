// Private interface between the ordinary-context parts of talvex.signals:
// the module shell (signals.cpp), talvex's place in Python's signal module
// (python_signals.cpp) and the native runtime (implementation.cpp). The
// code that runs inside signal handlers (handlers.cpp, crash.cpp) sees none
// of it: it offers what handlers.h declares and reads runtime_state.h.
// Clients never see any of these headers.
#ifndef TALVEX_IMPLEMENTATION_H
#define TALVEX_IMPLEMENTATION_H

#include "handlers.h"
#include "runtime_state.h"

#include <pthread.h>
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
