// Everything in this file may run inside a signal handler: the two
// handlers, the trampoline that every jump passes through, and the crash
// report. Every line obeys the same rule: output only by single
// write(2, ...) calls, no allocation, no lock, no C++ exception, no Python
// object. The only calls into the interpreter are PyErr_SetInterruptEx,
// which CPython documents as safe in a signal handler, and the two reads of
// its lifecycle flags in python_running().

// Every jump out of a handler lands on another stack (the trampoline's,
// then the client's). glibc's checked longjmp, which _FORTIFY_SOURCE turns
// on, aborts on exactly such jumps, so this file is never fortified,
// whatever the compiler or the build adds.
#undef _FORTIFY_SOURCE

#include "implementation.h"
#include "platform.h"

#include <errno.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace talvex {

namespace {

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

// Signals that would end the process, or cut the report short, if they
// arrived while the report is written: ignored until the process dies.
const int kAsyncSignals[] = {SIGHUP,  SIGINT,  SIGALRM,   SIGTERM, SIGQUIT, SIGUSR1,
                             SIGUSR2, SIGPIPE, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};

const char kSeparator[] =
    "------------------------------------------------------------------------\n";
const char kExplanation[] =
    "\nThis probably occurred because a *compiled* module has a bug\n"
    "in it and is not properly wrapped with sig_on(), sig_off().\n"
    "Python will now terminate.\n";

const char kInspector[] = "talvex-CSI";
const char kContextVariable[] = "TALVEX_CSI_CONTEXT=";

// The crash inspector's environment is built in the (cloned) child, in the
// child's copy of these buffers: nothing is allocated.
constexpr int kMaxEnvironment = 4096;
char *child_environment[kMaxEnvironment + 3];
char context_text[256];

void write_stderr(const char *text)
{
    ssize_t ignored = write(2, text, strlen(text));
    (void)ignored;
}

// Decimal text of `value` into `buf` (at least 21 bytes); returns buf.
char *format_int(long long value, char *buf)
{
    char digits[21];
    int n = 0;
    // Work on the negative magnitude so that the minimum needs no special case.
    long long v = value < 0 ? value : -value;
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

// "0x" and lower-case hex digits into `buf` (at least 19 bytes).
char *format_hex(uint64_t value, char *buf)
{
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xf];
        value >>= 4;
    } while (value != 0);
    char *p = buf;
    *p++ = '0';
    *p++ = 'x';
    while (n > 0)
        *p++ = digits[--n];
    *p = '\0';
    return buf;
}

// Appends `text` at `*end` without passing `limit`.
void append(char **end, const char *limit, const char *text)
{
    while (*text != '\0' && *end < limit)
        *(*end)++ = *text++;
    **end = '\0';
}

// The system's text for an error number without locale look-ups (which
// may allocate).
const char *error_text(int err)
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    const char *text = strerrordesc_np(err);
    return text != nullptr ? text : "Unknown error";
#else
    return strerror(err);
#endif
}

int kernel_thread_id()
{
    return static_cast<int>(syscall(SYS_gettid));
}

bool starts_with(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
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


// Jumps out of the region through the trampoline. The hop keeps the
// interrupts blocked until the client's recovery, which then gives the
// thread back the mask it had where the signal struck.
[[noreturn]] void jump(int sig, void *context)
{
    if (!interrupted_mask(context, &shared.landing_mask))
        shared.landing_mask = shared.default_sigmask;
#if defined(__GLIBC__)
    sigset_t hop = shared.landing_mask;
    sigaddset(&hop, SIGHUP);
    sigaddset(&hop, SIGINT);
    sigaddset(&hop, SIGALRM);
    shared.trampoline_buf[0].__saved_mask = hop;
#endif
    tv_store(&shared.landed, sig);
    siglongjmp(shared.trampoline_buf, sig);
}

// The late copy of an interrupt passed on to a thread that blocked it,
// after the interrupt was delivered elsewhere.
bool is_stale_copy(int sig)
{
    int tid = tv_load(&shared.stale_forwards[sig]);
    if (tid == 0 || tid != kernel_thread_id())
        return false;
    tv_store(&shared.stale_forwards[sig], 0);
    return true;
}

void interrupt(int sig, void *context)
{
    if (tv_load(&shared.dying_thread) != 0 || is_stale_copy(sig))
        return;
    if (tv_load(&tvstate.sig_on_count) > 0) {
        pthread_t owner;
        if (region_owned_elsewhere(&owner)) {
            // A process-directed signal may land in any thread: pass it on
            // to the region's thread. It is recorded too, and Python
            // alerted, so that it is not lost if that thread blocks it:
            // alerted last, so that the check which then looks for a
            // thread blocking it finds the copy already pending there.
            record_interrupt(sig);
            tv_store(&shared.forwarded[sig], 1);
            pthread_kill(owner, sig);
            if (python_running())
                PyErr_SetInterruptEx(sig);
            return;
        }
        // A copy passed on by another thread whose recorded twin was taken
        // meanwhile (a region's entry or a check claimed it while the copy
        // was on its way): already delivered once.
        if (__atomic_exchange_n(&shared.forwarded[sig], 0, __ATOMIC_SEQ_CST) != 0 &&
            tv_load(&tvstate.pending_interrupt) != sig)
            return;
        if (!tv_load(&tvstate.sigint_blocked) && !custom_signal_is_blocked())
            jump(sig, context);
        record_interrupt(sig);
        return;
    }
    if (__atomic_exchange_n(&shared.forwarded[sig], 0, __ATOMIC_SEQ_CST) != 0)
        return;  // passed on and already recorded, but the region ended first
    if (!python_running()) {
        // Before initialisation or during finalisation nothing can turn it
        // into an exception: the signal's own default action, as without
        // talvex. It is blocked in here, so it strikes on return.
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    record_interrupt(sig);
    // Python runs its handler for this very signal, python_check_interrupt,
    // which finds it in pending_interrupt.
    PyErr_SetInterruptEx(sig);
}

// The crashing thread's machine context, passed to the inspector.
void describe_context(int sig, void *context)
{
    char number[24];
    char *end = context_text;
    const char *limit = context_text + sizeof(context_text) - 1;
    append(&end, limit, kContextVariable);
    append(&end, limit, "signal=");
    append(&end, limit, format_int(sig, number));
    append(&end, limit, " tid=");
    append(&end, limit, format_int(kernel_thread_id(), number));
    MachineFault fault = machine_fault(context);
    if (!fault.valid)
        return;
    append(&end, limit, " trap=");
    append(&end, limit, format_int(static_cast<long long>(fault.trap), number));
    append(&end, limit, " error=");
    append(&end, limit, format_hex(fault.error, number));
    append(&end, limit, " address=");
    append(&end, limit, format_hex(fault.address, number));
    append(&end, limit, " ip=");
    append(&end, limit, format_hex(fault.instruction, number));
}

// The inspector's environment: the process's, with the machine context
// and, for `-m talvex_csi`, the directory that holds the inspector.
char **inspector_environment(const char *pythonpath)
{
    int n = 0;
    for (char **e = environ; e != nullptr && *e != nullptr && n < kMaxEnvironment; e++) {
        if (starts_with(*e, kContextVariable))
            continue;
        if (pythonpath != nullptr && starts_with(*e, "PYTHONPATH="))
            continue;
        child_environment[n++] = *e;
    }
    child_environment[n++] = context_text;
    if (pythonpath != nullptr)
        child_environment[n++] = const_cast<char *>(pythonpath);
    child_environment[n] = nullptr;
    return child_environment;
}

// In the cloned child: run the inspector, looked up on PATH first, then
// beside the interpreter, then as the module of the running interpreter.
[[noreturn]] void run_inspector(pid_t parent)
{
    dup2(2, 1);
    // The inspector starts as a fresh program would.
    for (int s : kAsyncSignals)
        signal(s, SIG_DFL);
    sigprocmask(SIG_SETMASK, &shared.default_sigmask, nullptr);

    char pid_text[24];
    format_int(parent, pid_text);
    char *const argv[] = {const_cast<char *>(kInspector), const_cast<char *>("--no-color"),
                          const_cast<char *>("--pid"), pid_text, nullptr};
    execvpe(kInspector, argv, inspector_environment(nullptr));
    int path_error = errno;

    if (inspector_paths.beside_python[0] != '\0')
        execve(inspector_paths.beside_python, argv, inspector_environment(nullptr));
    if (inspector_paths.python[0] != '\0') {
        // PYTHONPATH: the directory that holds talvex_csi, then the old value.
        static char pythonpath[sizeof(inspector_paths.pythonpath) + 4096];
        char *end = pythonpath;
        const char *limit = pythonpath + sizeof(pythonpath) - 1;
        append(&end, limit, inspector_paths.pythonpath);
        const char *old = getenv("PYTHONPATH");
        if (old != nullptr && *old != '\0') {
            append(&end, limit, ":");
            append(&end, limit, old);
        }
        char *const module_argv[] = {inspector_paths.python,        const_cast<char *>("-m"),
                                     const_cast<char *>("talvex_csi"), const_cast<char *>("--no-color"),
                                     const_cast<char *>("--pid"),     pid_text,
                                     nullptr};
        execve(inspector_paths.python, module_argv, inspector_environment(pythonpath));
    }
    write_stderr("talvex failed to execute talvex-CSI: ");
    write_stderr(error_text(path_error));
    write_stderr("\n");
    _exit(2);
}

// The crash report: separator, the inspector's report, separator, the
// message and the explanation, separator.
void write_report(const char *message)
{
    if (getenv("TALVEX_CRASH_QUIET") != nullptr)
        return;
    write_stderr(kSeparator);
    if (getenv("TALVEX_CRASH_NDEBUG") == nullptr) {
        pid_t pid = getpid();
        // The raw system call, not fork(): it runs no fork handlers and takes
        // no C-library lock, which a crash inside malloc may be holding.
        long child = syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, 0UL);
        if (child == -1) {
            // Taken before writing: a failed write would replace it.
            int err = errno;
            write_stderr("talvex fork: ");
            write_stderr(error_text(err));
            write_stderr("\n");
        } else if (child == 0) {
            run_inspector(pid);
        } else {
            // Where ptrace is limited to ancestors, let the inspector's
            // debugger (a descendant of the child) attach to this process.
            prctl(PR_SET_PTRACER, child, 0, 0, 0);
            while (waitpid(static_cast<pid_t>(child), nullptr, 0) == -1 && errno == EINTR)
                continue;
            write_stderr(kSeparator);
        }
    }
    if (message != nullptr) {
        write_stderr(message);
        write_stderr(kExplanation);
        write_stderr(kSeparator);
    }
}

// Dies by `sig` now: the default action, or 128 + sig if it is blocked.
[[noreturn]] void die_now(int sig)
{
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);
}

// The last act of the process: the report, then the handler that was in
// place before talvex (faulthandler, a crash reporter), then death by the
// signal itself.
[[noreturn]] void die_for_signal(int sig, const char *message, void *context)
{
    tv_store(&shared.dying_thread, kernel_thread_id());
    describe_context(sig, context);
    for (int s : kAsyncSignals)
        signal(s, SIG_IGN);

    write_report(message);

    for (int s : kFatalSignals)
        signal(s, SIG_DFL);
    if (sig > 0 && sig < kSignalSlots) {
        const struct sigaction &previous = shared.chained[sig];
        if (is_real_handler(previous))
            sigaction(sig, &previous, nullptr);
    }
    sigprocmask(SIG_SETMASK, &shared.default_sigmask, nullptr);
    raise(sig);
    // The handler before talvex returned, or the signal is blocked.
    die_now(sig);
}

// Another thread faulted while the report is written: it waits here until
// the process dies, instead of faulting again and again.
[[noreturn]] void wait_for_death()
{
    for (;;)
        pause();
}

}  // namespace

int (*interpreter_finalizing)(void);

bool python_running()
{
    int (*finalizing)(void) = __atomic_load_n(&interpreter_finalizing, __ATOMIC_ACQUIRE);
    return Py_IsInitialized() && !(finalizing != nullptr && finalizing());
}

// Records an interrupt for later. A pending SIGHUP or SIGTERM ends the
// process's work: it is never overwritten, also not by a handler that runs
// at the same moment in another thread (hence a compare-and-swap rather
// than a test and a store).
void record_interrupt(int sig)
{
    int current = tv_load(&tvstate.pending_interrupt);
    do {
        if (current == SIGHUP || current == SIGTERM)
            return;
    } while (!__atomic_compare_exchange_n(&tvstate.pending_interrupt, &current, sig, false,
                                          __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST));
    custom_set_pending_signal(sig);
}

int custom_signal_is_blocked()
{
    for (int i = 0; i < __atomic_load_n(&custom_hooks.count, __ATOMIC_ACQUIRE); i++) {
        if (custom_hooks.is_blocked[i]())
            return 1;
    }
    return 0;
}

void custom_set_pending_signal(int sig)
{
    for (int i = 0; i < __atomic_load_n(&custom_hooks.count, __ATOMIC_ACQUIRE); i++)
        custom_hooks.set_pending[i](sig);
}

void interrupt_handler(int sig, siginfo_t *, void *context)
{
    // The interrupted code may be about to read errno from a system call.
    int saved_errno = errno;
    interrupt(sig, context);
    errno = saved_errno;
}

namespace {

// A fault handed to a Python-level handler re-executes its instruction as
// soon as the handler returns, long before Python can run that handler:
// the same signal again within a few milliseconds, in the same thread at
// the same instruction, is a real fault that would repeat for ever, and
// gets the crash report. (A thread blocked in a system call is interrupted
// at the same instruction every time; a signal sent by another process
// comes again only much later.) A miss only costs one more round, so the
// window can be short. SIGQUIT and abort()'s SIGABRT never re-execute.
constexpr long long kRefaultWindowNs = 10 * 1000 * 1000;

bool faulting_again(int sig, void *context)
{
    if (sig == SIGQUIT || sig == SIGABRT)
        return false;
    MachineFault f = machine_fault(context);
    struct timespec now;
    if (!f.valid || clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return false;
    long long now_ns = now.tv_sec * 1000000000LL + now.tv_nsec;
    int tid = kernel_thread_id();
    Shared::RoutedFault &last =
        shared.routed_faults[static_cast<unsigned>(tid) % (sizeof(shared.routed_faults) /
                                                           sizeof(shared.routed_faults[0]))];
    bool again = tv_load(&last.tid) == tid && tv_load(&last.sig) == sig &&
                 __atomic_load_n(&last.instruction, __ATOMIC_SEQ_CST) == f.instruction &&
                 now_ns - __atomic_load_n(&last.when_ns, __ATOMIC_SEQ_CST) < kRefaultWindowNs;
    tv_store(&last.tid, tid);
    tv_store(&last.sig, sig);
    __atomic_store_n(&last.instruction, f.instruction, __ATOMIC_SEQ_CST);
    __atomic_store_n(&last.when_ns, now_ns, __ATOMIC_SEQ_CST);
    return again;
}

}  // namespace

void fatal_signal_handler(int sig, siginfo_t *, void *context)
{
    int dying = tv_load(&shared.dying_thread);
    if (dying != 0) {
        if (dying == kernel_thread_id())
            die_now(sig);  // the handler before talvex handed the signal back
        wait_for_death();
    }

    // The Python route returns to the interrupted code, which may be
    // about to read errno.
    int saved_errno = errno;
    int was_active = tv_load(&tvstate.handler_active);
    tv_store(&tvstate.handler_active, 1);

    if (!was_active) {
        pthread_t owner;
        bool in_region = tv_load(&tvstate.sig_on_count) > 0 && !region_owned_elsewhere(&owner);
        if ((!in_region || sig == SIGQUIT) && sig > 0 && sig < kSignalSlots &&
            tv_load(&shared.fatal_route[sig]) == kRoutePython && python_running() &&
            !faulting_again(sig, context)) {
            // The program set a Python-level handler: it runs at Python's
            // next check, as CPython's own handler would arrange.
            tv_store(&tvstate.handler_active, 0);
            PyErr_SetInterruptEx(sig);
            errno = saved_errno;
            return;
        }
        if (in_region && sig != SIGQUIT)
            jump(sig, context);
    }

    const FatalMessage *m = kFatalMessages;
    while (m->sig != 0 && m->sig != sig)
        m++;
    die_for_signal(sig, was_active ? m->during_handling : m->outside_region, context);
}

// The trampoline: re-entered by every handler jump through trampoline_buf,
// on the trampoline stack with the interrupts blocked, and jumps on to the
// client's resume point with the same value.
void *trampoline_body(void *)
{
    // Kept in the frame only as the thread's (unread) exit value.
    volatile char local_area[2048];
    local_area[0] = 0;
    if (sigsetjmp(shared.trampoline_setup_buf, 0) == 0)
        pthread_exit(const_cast<char *>(local_area));

    // Now on the trampoline stack, in the thread that runs setup_trampoline.
    int sig = sigsetjmp(shared.trampoline_buf, 1);
#if defined(__x86_64__) || defined(__i386__)
    // The abandoned code may have left values on the x87 register stack.
    __asm__ volatile("emms" ::: "memory");
#endif
    siglongjmp(tvstate.resume_point, sig);
}

void (*handler_for(int sig))(int)
{
    // Installed without SA_SIGINFO; the kernel still passes the context.
    void (*h)(int, siginfo_t *, void *) = interrupt_handler;
    for (int s : kFatalSignals) {
        if (s == sig)
            h = fatal_signal_handler;
    }
    return reinterpret_cast<void (*)(int)>(h);
}

}  // namespace talvex
