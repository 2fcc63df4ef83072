// Everything in this file may run inside a signal handler: the two
// handlers, the trampoline that every jump passes through, and the crash
// report. Every line obeys the same rule: output only by single write(2,
// ...) calls (or to the file faulthandler writes to), no allocation, no
// lock, no C++ exception, no Python object. The only calls into the
// interpreter are PyErr_SetInterruptEx, which CPython documents as safe in
// a signal handler, the two reads of its lifecycle flags in
// python_running(), and the plain reads of faulthandler's record in
// tv_faulthandler_fd().

// Every jump out of a handler lands on another stack (the trampoline's,
// then the client's). glibc's checked longjmp, which _FORTIFY_SOURCE turns
// on, aborts on exactly such jumps, so this file is never fortified,
// whatever the compiler or the build adds.
#undef _FORTIFY_SOURCE

#include "faulthandler_state.h"
#include "implementation.h"
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
// The stack reader started for the inspector: "<pid> <stdout fd> <stderr fd>".
const char kReaderVariable[] = "TALVEX_CSI_READER_STARTED=";

// The crash inspector's environment is built in the (cloned) child, in the
// child's copy of these buffers: nothing is allocated.
constexpr int kMaxEnvironment = 4096;
char *child_environment[kMaxEnvironment + 4];
char context_text[256];
char reader_text[96];

// Where the crash report goes: standard error, or the file faulthandler
// writes to when it has one of its own (set when the report begins).
int report_fd = 2;

void write_stderr(const char *text)
{
    ssize_t ignored = write(report_fd, text, strlen(text));
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

// glibc's texts for the errors that starting the inspector can meet
// (clone, execve), from a table of our own: strerror may load the locale's
// messages, which allocates, and strerrordesc_np needs glibc 2.32.
struct ErrorText {
    int err;
    const char *text;
};
const ErrorText kErrorTexts[] = {
    {EPERM, "Operation not permitted"},
    {ENOENT, "No such file or directory"},
    {EIO, "Input/output error"},
    {E2BIG, "Argument list too long"},
    {ENOEXEC, "Exec format error"},
    {EAGAIN, "Resource temporarily unavailable"},
    {ENOMEM, "Cannot allocate memory"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {ENOTDIR, "Not a directory"},
    {EISDIR, "Is a directory"},
    {EINVAL, "Invalid argument"},
    {ENFILE, "Too many open files in system"},
    {EMFILE, "Too many open files"},
    {ETXTBSY, "Text file busy"},
    {ENOSPC, "No space left on device"},
    {ENAMETOOLONG, "File name too long"},
    {ELOOP, "Too many levels of symbolic links"},
    {ELIBBAD, "Accessing a corrupted shared library"},
    {EUSERS, "Too many users"},
};

void write_error_text(int err)
{
    for (const ErrorText &e : kErrorTexts) {
        if (e.err == err) {
            write_stderr(e.text);
            return;
        }
    }
    char number[24];
    write_stderr("Unknown error ");
    write_stderr(format_int(err, number));
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

bool on_main_thread()
{
    return pthread_equal(pthread_self(), static_cast<pthread_t>(shared.main_thread));
}

// A copy of an interrupt that another thread passed on to the region's
// thread. It is sent with pthread_sigqueue and the address of the shared
// state as its value, so the kernel's own siginfo tells it apart from every
// other delivery of the signal.
bool is_passed_on(const siginfo_t *info)
{
    return info != nullptr && info->si_code == SI_QUEUE && info->si_pid == getpid() &&
           info->si_value.sival_ptr == static_cast<void *>(&shared);
}

void pass_on(pthread_t owner, int sig)
{
    union sigval value;
    value.sival_ptr = &shared;
    pthread_sigqueue(owner, sig, value);
}

// Asks the interpreter to run its handler for `sig`, once that handler is
// python_check_interrupt.
void alert_python(int sig)
{
    if (tv_load(&shared.python_table[sig]) == kTableChecker && python_running())
        PyErr_SetInterruptEx(sig);
}

void interrupt(int sig, const siginfo_t *info, void *context)
{
    if (tv_load(&shared.dying_thread) != 0)
        return;
    bool passed_on = is_passed_on(info);
    if (tv_load(&tvstate.sig_on_count) > 0) {
        pthread_t owner;
        bool elsewhere = region_owned_elsewhere(&owner);
        bool main_region = elsewhere ? pthread_equal(owner, static_cast<pthread_t>(
                                                                shared.main_thread))
                                     : on_main_thread();
        // A signal the program claimed is its handler's, which runs in the
        // main thread: only a region of the main thread ends by it.
        if (tv_load(&shared.claimed[sig]) && !main_region) {
            if (!passed_on)
                hand_to_python(sig);
            return;
        }
        if (elsewhere) {
            if (passed_on)
                return;  // a copy for a region that has ended since
            // A process-directed signal may land in any thread: pass it on
            // to the region's thread. It is recorded too, so that it is
            // not lost if that thread blocks it, and Python is alerted
            // last, so that a check which then looks for a thread blocking
            // it finds the copy already pending there.
            record_interrupt(sig);
            pass_on(owner, sig);
            alert_python(sig);
            return;
        }
        // The copy's recorded twin was taken meanwhile (a check claimed it
        // while the copy waited): already delivered once.
        if (passed_on && tv_load(&tvstate.pending_interrupt) != sig)
            return;
        if (!tv_load(&tvstate.sigint_blocked) && !custom_signal_is_blocked())
            jump(sig, context);
        if (!passed_on)
            record_interrupt(sig);
        return;
    }
    if (passed_on)
        return;  // recorded when it was passed on: delivered through that record
    if (!python_running()) {
        // Before initialisation or during finalisation nothing can turn it
        // into an exception: the signal's own default action, as without
        // talvex. It is blocked in here, so it strikes on return.
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    hand_to_python(sig);
}

// The crashing thread's machine context, passed to the inspector.
void describe_context(int sig, const siginfo_t *info, void *context)
{
    char number[24];
    char *end = context_text;
    const char *limit = context_text + sizeof(context_text) - 1;
    append(&end, limit, kContextVariable);
    append(&end, limit, "signal=");
    append(&end, limit, format_int(sig, number));
    append(&end, limit, " tid=");
    append(&end, limit, format_int(kernel_thread_id(), number));
    if (info != nullptr) {
        // The kernel's word on where the signal came from: positive codes
        // are raised by an instruction, the others are sent.
        append(&end, limit, " code=");
        append(&end, limit, format_int(info->si_code, number));
        if (info->si_code <= 0) {
            append(&end, limit, " sender=");
            append(&end, limit, format_int(info->si_pid, number));
        }
    }
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
        if (starts_with(*e, kContextVariable) || starts_with(*e, kReaderVariable))
            continue;
        if (pythonpath != nullptr && starts_with(*e, "PYTHONPATH="))
            continue;
        child_environment[n++] = *e;
    }
    child_environment[n++] = context_text;
    if (reader_text[0] != '\0')
        child_environment[n++] = reader_text;
    if (pythonpath != nullptr)
        child_environment[n++] = const_cast<char *>(pythonpath);
    child_environment[n] = nullptr;
    return child_environment;
}

// In the inspector's child, before it becomes the inspector: py-spy, its
// own child, starts reading the stacks at once, while the inspector's
// interpreter starts (about a fifth of the whole report's time). The
// inspector takes py-spy's output from the pipes named in its environment.
// Returns py-spy's process id, or -1 if it was not started.
long start_stack_reader(const char *pid_text)
{
    const char *choice = getenv("_TALVEX_CSI_READER");
    if (inspector_paths.pyspy[0] == '\0' || (choice != nullptr && strcmp(choice, "pystack") == 0))
        return -1;
    int out[2], err[2];
    if (pipe(out) != 0)
        return -1;
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return -1;
    }
    long child = syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, 0UL);
    if (child == 0) {
        // A session of its own, so that the inspector can stop it and
        // anything it starts together.
        setsid();
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1], null}) {
            if (fd > 2)
                close(fd);
        }
        char *const argv[] = {const_cast<char *>("py-spy"), const_cast<char *>("dump"),
                              const_cast<char *>("--native"), const_cast<char *>("--json"),
                              const_cast<char *>("--pid"), const_cast<char *>(pid_text),
                              nullptr};
        execve(inspector_paths.pyspy, argv, environ);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (child < 0) {
        close(out[0]);
        close(err[0]);
        return -1;
    }
    char number[24];
    char *end = reader_text;
    const char *limit = reader_text + sizeof(reader_text) - 1;
    append(&end, limit, kReaderVariable);
    append(&end, limit, format_int(child, number));
    append(&end, limit, " ");
    append(&end, limit, format_int(out[0], number));
    append(&end, limit, " ");
    append(&end, limit, format_int(err[0], number));
    return child;
}

// In the cloned child: run the inspector, looked up on PATH first, then
// beside the interpreter, then as the module of the running interpreter.
[[noreturn]] void run_inspector(pid_t parent)
{
    dup2(report_fd, 1);
    if (report_fd != 2)
        dup2(report_fd, 2);
    // The inspector starts as a fresh program would.
    for (int s : kAsyncSignals)
        signal(s, SIG_DFL);
    sigprocmask(SIG_SETMASK, &shared.default_sigmask, nullptr);

    char pid_text[24];
    format_int(parent, pid_text);
    long reader = start_stack_reader(pid_text);
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
    if (reader > 0)
        kill(static_cast<pid_t>(reader), SIGKILL);
    write_stderr("talvex failed to execute talvex-CSI: ");
    write_error_text(path_error);
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
        // Where ptrace is limited to ancestors, let this process's own
        // descendants (the inspector and the stack readers it and its child
        // start) attach to it; named before they exist, as py-spy attaches
        // at once.
        prctl(PR_SET_PTRACER, pid, 0, 0, 0);
        // The raw system call, not fork(): it runs no fork handlers and takes
        // no C-library lock, which a crash inside malloc may be holding.
        long child = syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, 0UL);
        if (child == -1) {
            // Taken before writing: a failed write would replace it.
            int err = errno;
            write_stderr("talvex fork: ");
            write_error_text(err);
            write_stderr("\n");
        } else if (child == 0) {
            run_inspector(pid);
        } else {
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
[[noreturn]] void die_for_signal(int sig, const char *message, const siginfo_t *info,
                                void *context)
{
    tv_store(&shared.dying_thread, kernel_thread_id());
    int faulthandler_fd = tv_faulthandler_fd();
    report_fd = faulthandler_fd >= 0 ? faulthandler_fd : 2;
    describe_context(sig, info, context);
    for (int s : kAsyncSignals)
        signal(s, SIG_IGN);

    write_report(message);

    for (int s : kFatalSignals)
        signal(s, SIG_DFL);
    if (sig > 0 && sig < kSignalSlots && tv_load(&shared.chain_kind[sig]) == kChainAfter) {
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

void hand_to_python(int sig)
{
    int table = tv_load(&shared.python_table[sig]);
    if (table == kTableCallable) {
        // The interpreter's table still holds a Python handler of its own:
        // it runs that handler, as without talvex.
        if (python_running())
            PyErr_SetInterruptEx(sig);
        return;
    }
    if (tv_load(&shared.claimed[sig]))
        tv_store(&shared.owed_to_main[sig], 1);
    else
        record_interrupt(sig);
    // Python runs its handler for this very signal, python_check_interrupt,
    // which finds it where it was kept.
    alert_python(sig);
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

void interrupt_handler(int sig, siginfo_t *info, void *context)
{
    // The interrupted code may be about to read errno from a system call.
    int saved_errno = errno;
    interrupt(sig, info, context);
    errno = saved_errno;
}

namespace {

// Runs the handler a library installed before talvex, as the kernel would
// have: its mask blocked meanwhile, with the original siginfo and context,
// so that it can make the access valid and return.
void run_chained_handler(int sig, siginfo_t *info, void *context)
{
    struct sigaction h = shared.chained[sig];
    if (h.sa_flags & SA_RESETHAND) {
        tv_store(&shared.chain_kind[sig], kChainNone);
        shared.chained[sig].sa_handler = SIG_DFL;
        shared.chained[sig].sa_flags = 0;
    }
    sigset_t mask = h.sa_mask, previous;
    if (!(h.sa_flags & SA_NODEFER))
        sigaddset(&mask, sig);
    pthread_sigmask(SIG_BLOCK, &mask, &previous);
    if (h.sa_flags & SA_SIGINFO)
        h.sa_sigaction(sig, info, context);
    else
        h.sa_handler(sig);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

void fatal_signal_handler(int sig, siginfo_t *info, void *context)
{
    int dying = tv_load(&shared.dying_thread);
    if (dying != 0) {
        if (dying == kernel_thread_id())
            die_now(sig);  // the handler before talvex handed the signal back
        wait_for_death();
    }

    // The routes that return go back to the interrupted code, which may be
    // about to read errno.
    int saved_errno = errno;
    int was_active = tv_load(&tvstate.handler_active);
    tv_store(&tvstate.handler_active, 1);

    if (!was_active) {
        pthread_t owner;
        bool in_region = tv_load(&tvstate.sig_on_count) > 0 && !region_owned_elsewhere(&owner);
        if (in_region && sig != SIGQUIT)
            jump(sig, context);
        bool known = sig > 0 && sig < kSignalSlots;
        // Sent by kill(), raise() or another process (the kernel's si_code
        // is not positive), not raised by a faulting instruction: the
        // program's Python-level handler runs at Python's next check, as
        // CPython's own handler would arrange. A real fault would only run
        // again, for ever: it gets the report.
        bool sent = info != nullptr && info->si_code <= 0;
        if (known && sent && tv_load(&shared.fatal_route[sig]) == kRoutePython &&
            python_running()) {
            tv_store(&tvstate.handler_active, 0);
            PyErr_SetInterruptEx(sig);
            errno = saved_errno;
            return;
        }
        // A library that was there first (a JVM, a WebAssembly runtime, a
        // collector with guard pages) may recover and return.
        if (known && tv_load(&shared.chain_kind[sig]) == kChainFirst) {
            tv_store(&tvstate.handler_active, 0);
            run_chained_handler(sig, info, context);
            // A fault it does not own, the library hands to the default
            // action, which the instruction meets when it runs again: death
            // by the signal, and so the report first.
            struct sigaction now;
            if (sent || sigaction(sig, nullptr, &now) != 0 || (now.sa_flags & SA_SIGINFO) ||
                now.sa_handler != SIG_DFL) {
                errno = saved_errno;
                return;
            }
        }
    }

    const FatalMessage *m = kFatalMessages;
    while (m->sig != 0 && m->sig != sig)
        m++;
    die_for_signal(sig, was_active ? m->during_handling : m->outside_region, info, context);
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

void (*handler_for(int sig))(int, siginfo_t *, void *)
{
    return is_fatal_signal(sig) ? fatal_signal_handler : interrupt_handler;
}

}  // namespace talvex
