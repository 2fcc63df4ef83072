// The native runtime of talvex.signals: the state record, handler
// installation, the two signal handlers, the trampoline and alternate
// signal stacks, the crash report, custom hooks and the recovery entries.

// Every jump out of a handler lands on another stack (the trampoline's,
// then the client's). glibc's checked longjmp, which _FORTIFY_SOURCE turns
// on, aborts on exactly such jumps, so this file is never fortified,
// whatever the compiler or the build adds.
#undef _FORTIFY_SOURCE

#include "implementation.h"

#include <errno.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
tvstate_t tvstate;
}

namespace {

sigjmp_buf trampoline_buf;        // in trampoline_body, mask saved
sigjmp_buf trampoline_setup_buf;  // set-up only, no mask
sigset_t default_sigmask;
sigset_t blocked_sigmask;

// The file name that traceback entries from this file show.
const char kSourceFile[] = "talvex/implementation.cpp";

constexpr size_t kAltStackSize = 21504;
constexpr size_t kTrampolineBlockSize = 135168;
constexpr size_t kTrampolineStackSize = 131072;
constexpr uintptr_t kTrampolineAlign = 4096;

constexpr int kMaxCustomHooks = 16;
int (*custom_is_blocked[kMaxCustomHooks])(void);
void (*custom_unblock[kMaxCustomHooks])(void);
void (*custom_set_pending[kMaxCustomHooks])(int);
int custom_hook_count;  // raised with release order after a slot is filled

int hook_count() { return __atomic_load_n(&custom_hook_count, __ATOMIC_ACQUIRE); }

// The nine signals this system handles, in installation order.
void interrupt_handler(int sig);
void fatal_signal_handler(int sig);
struct Disposition {
    int sig;
    void (*handler)(int);
    int flags;
};
const Disposition kDispositions[] = {
    {SIGHUP, interrupt_handler, 0},
    {SIGINT, interrupt_handler, 0},
    {SIGALRM, interrupt_handler, 0},
    {SIGQUIT, fatal_signal_handler, SA_ONSTACK | SA_NODEFER},
    {SIGILL, fatal_signal_handler, SA_ONSTACK | SA_NODEFER},
    {SIGABRT, fatal_signal_handler, SA_ONSTACK | SA_NODEFER},
    {SIGFPE, fatal_signal_handler, SA_ONSTACK | SA_NODEFER},
    {SIGBUS, fatal_signal_handler, SA_ONSTACK | SA_NODEFER},
    {SIGSEGV, fatal_signal_handler, SA_ONSTACK | SA_NODEFER},
};

// Given back their defaults before the process dies; SIGTERM is included
// although nothing here ever handles it.
const int kResetSignals[] = {SIGHUP, SIGINT,  SIGQUIT, SIGILL,  SIGABRT,
                             SIGFPE, SIGBUS, SIGSEGV, SIGALRM, SIGTERM};

// What fatal_signal_handler reports when it cannot jump. The last row
// catches any signal it was not meant to be installed for.
struct FatalMessage {
    int sig;
    const char *during_handling;
    const char *outside_region;
};
const FatalMessage kFatalMessages[] = {
    {SIGQUIT, nullptr, nullptr},
    {SIGILL, "Unhandled SIGILL during signal handling.",
     "Unhandled SIGILL: An illegal instruction occurred."},
    {SIGABRT, "Unhandled SIGABRT during signal handling.",
     "Unhandled SIGABRT: An abort() occurred."},
    {SIGFPE, "Unhandled SIGFPE during signal handling.",
     "Unhandled SIGFPE: An unhandled floating point exception occurred."},
    {SIGBUS, "Unhandled SIGBUS during signal handling.", "Unhandled SIGBUS: A bus error occurred."},
    {SIGSEGV, "Unhandled SIGSEGV during signal handling.",
     "Unhandled SIGSEGV: A segmentation fault occurred."},
    {0, "Unknown signal during signal handling.", "Unknown signal received."},
};

const char kSeparator[] =
    "------------------------------------------------------------------------\n";
const char kExplanation[] =
    "\nThis probably occurred because a *compiled* module has a bug\n"
    "in it and is not properly wrapped with sig_on(), sig_off().\n"
    "Python will now terminate.\n";

// =====================================================================
// Signal context.
//
// Everything from here to the end of this section may run inside a signal
// handler. It writes only with single write(2, ...) calls, allocates
// nothing, takes no lock, throws nothing and touches no Python object.
// =====================================================================

void write_stderr(const char *text)
{
    ssize_t ignored = write(2, text, strlen(text));
    (void)ignored;
}

// Decimal text of `value` into `buf` (at least 12 bytes); returns buf.
char *format_int(int value, char *buf)
{
    char digits[12];
    int n = 0;
    // Work on the negative magnitude so that INT_MIN needs no special case.
    int v = value < 0 ? value : -value;
    do {
        digits[n++] = static_cast<char>('0' - v % 10);
        v /= 10;
    } while (v != 0);
    char *p = buf;
    if (value < 0)
        *p++ = '-';
    while (n > 0)
        *p++ = digits[--n];
    *p = '\0';
    return buf;
}

int custom_signal_is_blocked()
{
    for (int i = 0; i < hook_count(); i++) {
        if (custom_is_blocked[i]())
            return 1;
    }
    return 0;
}

void custom_set_pending_signal(int sig)
{
    for (int i = 0; i < hook_count(); i++)
        custom_set_pending[i](sig);
}

void reset_signal_handling()
{
    for (int sig : kResetSignals)
        signal(sig, SIG_DFL);
    sigprocmask(SIG_SETMASK, &default_sigmask, nullptr);
}

[[noreturn]] void die_for_signal(int sig, const char *message)
{
    if (getenv("TALVEX_CRASH_QUIET") != nullptr)
        goto reraise;
    write_stderr(kSeparator);
    if (getenv("TALVEX_CRASH_NDEBUG") == nullptr) {
        pid_t pid = getpid();
        pid_t child = fork();
        if (child == -1) {
            // Taken before writing: a failed write would replace it.
            int err = errno;
            write_stderr("talvex fork: ");
            write_stderr(strerror(err));
            write_stderr("\n");
        } else if (child == 0) {
            dup2(2, 1);
            char pid_text[12];
            char *const argv[] = {const_cast<char *>("talvex-CSI"),
                                  const_cast<char *>("--no-color"),
                                  const_cast<char *>("--pid"), format_int(pid, pid_text),
                                  nullptr};
            execvp("talvex-CSI", argv);
            int err = errno;
            write_stderr("talvex failed to execute talvex-CSI: ");
            write_stderr(strerror(err));
            write_stderr("\n");
            _exit(2);
        } else {
            // Where ptrace is limited to ancestors, let the inspector's
            // debugger (a descendant of the child) attach to this process.
            prctl(PR_SET_PTRACER, child, 0, 0, 0);
            while (waitpid(child, nullptr, 0) == -1 && errno == EINTR)
                continue;
            write_stderr(kSeparator);
        }
    }
    if (message != nullptr) {
        write_stderr(message);
        write_stderr(kExplanation);
        write_stderr(kSeparator);
    }
reraise:
    raise(sig);
    // _exit: exit handlers and stdio flushing are not safe in a handler.
    _exit(128 + sig);
}

// The region belongs to another thread: its resume point is on that
// thread's stack, so this thread must never jump there.
bool region_owned_elsewhere(pthread_t *owner)
{
    unsigned long id = tv_region_owner(tvstate.resume_point);
    if (id == 0)
        return false;  // unknown: trust the client, as every region did before
    *owner = static_cast<pthread_t>(id);
    return !pthread_equal(*owner, pthread_self());
}

// Records the interrupt, or jumps out of the region it interrupted.
void interrupt_handler_body(int sig)
{
    pthread_t owner;
    if (tv_load(&tvstate.sig_on_count) <= 0) {
        // Python runs its SIGINT handler, python_check_interrupt, which
        // finds the real signal in pending_interrupt.
        PyErr_SetInterrupt();
    } else if (region_owned_elsewhere(&owner)) {
        // A process-directed signal may land in any thread: pass it on.
        pthread_kill(owner, sig);
        return;
    } else if (!tv_load(&tvstate.sigint_blocked) && !custom_signal_is_blocked()) {
        siglongjmp(trampoline_buf, sig);
    }
    // A pending SIGHUP or SIGTERM ends the process's work: never overwrite it.
    if (tv_load(&tvstate.pending_interrupt) == SIGHUP)
        return;
    if (tv_load(&tvstate.pending_interrupt) == SIGTERM)
        return;
    tv_store(&tvstate.pending_interrupt, sig);
    custom_set_pending_signal(sig);
}

void interrupt_handler(int sig)
{
    // The interrupted code may be about to read errno from a system call.
    int saved_errno = errno;
    interrupt_handler_body(sig);
    errno = saved_errno;
}

void fatal_signal_handler(int sig)
{
    int was_active = tv_load(&tvstate.handler_active);
    tv_store(&tvstate.handler_active, 1);

    pthread_t owner;
    if (!was_active && tv_load(&tvstate.sig_on_count) > 0 && sig != SIGQUIT &&
        !region_owned_elsewhere(&owner))
        siglongjmp(trampoline_buf, sig);

    const FatalMessage *m = kFatalMessages;
    while (m->sig != 0 && m->sig != sig)
        m++;
    reset_signal_handling();
    die_for_signal(sig, was_active ? m->during_handling : m->outside_region);
}

// The trampoline: re-entered by every handler jump through trampoline_buf,
// on the trampoline stack with blocked_sigmask in force, and jumps on to the
// client's resume point with the same value.
void *trampoline_body(void *)
{
    // Kept in the frame only as the thread's (unread) exit value.
    volatile char local_area[2048];
    local_area[0] = 0;
    if (sigsetjmp(trampoline_setup_buf, 0) == 0)
        pthread_exit(const_cast<char *>(local_area));

    // Now on the trampoline stack, in the thread that runs setup_trampoline.
    int sig = sigsetjmp(trampoline_buf, 1);
#if defined(__x86_64__) || defined(__i386__)
    // The abandoned code may have left values on the x87 register stack.
    __asm__ volatile("emms" ::: "memory");
#endif
    siglongjmp(tvstate.resume_point, sig);
}

// ===================== end of signal context =========================

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

void setup_trampoline()
{
    void *block = malloc(kTrampolineBlockSize);
    if (block == nullptr)
        fail("talvex malloc");
    uintptr_t base = (reinterpret_cast<uintptr_t>(block) + kTrampolineAlign - 1) &
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
        siglongjmp(trampoline_setup_buf, 1);
}

}  // namespace

namespace talvex {

void setup_alt_stack()
{
    void *block = malloc(kAltStackSize);
    if (block == nullptr)
        fail("talvex malloc alt signal stack");
    stack_t ss;
    ss.ss_sp = block;
    ss.ss_size = kAltStackSize;
    ss.ss_flags = 0;
    if (sigaltstack(&ss, nullptr) == -1)
        fail("talvex sigaltstack");
}

void install_signal_handlers()
{
    setup_alt_stack();
    memset(static_cast<void *>(&tvstate), 0, sizeof(tvstate));

    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGHUP);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGALRM);

    sigprocmask(SIG_BLOCK, &interrupts, &default_sigmask);
    // The set-up thread inherits the blocked interrupts and trampoline_buf
    // saves them: every jump puts blocked_sigmask in force.
    setup_trampoline();
    sigprocmask(SIG_SETMASK, &default_sigmask, &blocked_sigmask);

    for (const Disposition &d : kDispositions) {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = d.handler;
        sa.sa_mask = interrupts;
        sa.sa_flags = d.flags;
        if (sigaction(d.sig, &sa, nullptr) != 0)
            fail("talvex sigaction");
    }
}

}  // namespace talvex

// ---------------------------------------------------------------------
// Entry points exported to clients.
// ---------------------------------------------------------------------

extern "C" int add_custom_signals(int (*is_blocked)(void), void (*unblock)(void),
                                  void (*set_pending)(int))
{
    int n = custom_hook_count;
    if (is_blocked == nullptr || unblock == nullptr || set_pending == nullptr) {
        // A null hook would crash later, inside a signal handler.
        PyErr_SetString(PyExc_ValueError, "talvex add_custom_signals: a hook function is NULL");
        talvex::add_traceback("talvex.signals.add_custom_signals", __LINE__, kSourceFile);
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
        talvex::add_traceback("talvex.signals.add_custom_signals", __LINE__, kSourceFile);
        return -1;
    }
    custom_is_blocked[n] = is_blocked;
    custom_unblock[n] = unblock;
    custom_set_pending[n] = set_pending;
    // A handler that sees the new count must find the whole triple.
    __atomic_store_n(&custom_hook_count, n + 1, __ATOMIC_RELEASE);
    return 0;
}

extern "C" void _sig_on_recover(void)
{
    tv_store(&tvstate.sigint_blocked, 0);
    for (int i = 0; i < hook_count(); i++)
        custom_unblock[i]();
    tv_store(&tvstate.sig_on_count, 0);
    tv_store(&tvstate.pending_interrupt, 0);
    custom_set_pending_signal(0);
    sigprocmask(SIG_SETMASK, &default_sigmask, nullptr);
    // Cleared last: until here a fault counts as one during signal handling.
    tv_store(&tvstate.handler_active, 0);
}

extern "C" void _sig_on_interrupt_received(void)
{
    sigset_t previous;
    // No interrupt may slip in between reading the pending one and clearing it.
    sigprocmask(SIG_BLOCK, &blocked_sigmask, &previous);
    sig_raise_exception(tv_load(&tvstate.pending_interrupt), tvstate.message);
    tv_store(&tvstate.sig_on_count, 0);
    tv_store(&tvstate.pending_interrupt, 0);
    custom_set_pending_signal(0);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

extern "C" void _do_raise_exception(int sig)
{
    sig_raise_exception(sig, tvstate.message);
}

extern "C" void _sig_off_warning(const char *file, int line)
{
    char text[320];
    snprintf(text, sizeof(text), "sig_off() without sig_on() at %s:%i", file, line);
    PyGILState_STATE gil = PyGILState_Ensure();
    PyErr_WarnEx(PyExc_RuntimeWarning, text, 2);
    PyGILState_Release(gil);
}

extern "C" void print_backtrace(void) {}
