// The crash report and the process's death (crash.h). Everything in this
// file runs inside the fatal-signal handler, and obeys the handler rules:
// output only by write calls straight to each destination (standard error,
// talvex's copy of faulthandler's file, the crash file), one per piece where
// there is room for it (deliver()), no allocation, no lock, no C++
// exception, no Python object. The only reads of the interpreter's state
// are the plain reads of faulthandler's record in
// tv_faulthandler_report_fd(). The inspector's child is a raw clone of the
// dying process and follows the same rules until it runs the inspector.

// Compiled as handlers.cpp is, unfortified: what runs in a handler calls no
// checking wrapper of the C library.
#undef _FORTIFY_SOURCE

#include "crash.h"
#include "faulthandler_state.h"
#include "platform.h"
#include "runtime_state.h"
#include "signal_safe.h"

#include <errno.h>
#include <fcntl.h>
#include <float.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// Newer than the oldest C library the wheels are built against: the same
// numbers on every architecture.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_close_range
#define SYS_close_range 436
#endif

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
const int kAsyncSignals[] = {SIGHUP,  SIGINT,  SIGALRM,   SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2,
                             SIGPIPE, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGTSTP};
// Of those, the ones that reach the inspector too, which shares the
// process group: a terminal sends Ctrl-C, Ctrl-\ and Ctrl-Z to its whole
// foreground group, and a shell passes a hang-up on to its jobs. The
// inspector ignores them as well (a report that goes to a file is worth
// finishing after a hang-up); its own time bound still ends it.
const int kJobControlSignals[] = {SIGINT, SIGQUIT, SIGTSTP, SIGHUP};

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
char *child_environment[kMaxEnvironment + 5];
char context_text[320];
char reader_text[96];
const char kStandInVariable[] = "_TALVEX_CSI_PROGRAM";
// Beside a report kept in the state directory until it is announced.
const char kUnannounced[] = ".unannounced";

// Why a destination takes no more of the report: it took nothing by the
// deadline, or a write failed.
enum Cut { kWhole, kCutByTime, kCutByError };

struct Destination {
    int fd;
    // What the report is written through: for a pipe, a non-blocking
    // description of this process's own where one can be opened, so that
    // a full pipe still takes the lines that fit and nobody else's writes
    // to it change mode; else `fd` itself.
    int writer;
    // Whether a write through `writer` waits for room itself.
    bool blocking;
    // Whether to wait for room, until the deadline: not for a pipe nobody
    // will read, nor for the crash file.
    bool wait;
    Cut cut;
};

// Where the report goes: standard error, or a copy of the file faulthandler
// writes to when it has one of its own; standard error again after the
// first failed write there. Besides, copies: the crash file, and a file
// that outlives the process when standard error is a pipe it reads itself.
Destination primary = {2, 2, true, true, kWhole};
constexpr int kMaxCopies = 2;
Destination copies[kMaxCopies];
int copy_count = 0;
// The file in the state directory that holds the report, if one does.
char state_file[sizeof(report_setup.state_dir) + 64];

// The inspector's output, passed on by this process (one thread writes a
// report: static). No bigger than PIPE_BUF, so that a pipe with room for
// a write takes all of it at once.
char relay_buffer[4096];

// The moments (CLOCK_MONOTONIC, in nanoseconds) by which the report is
// written and by which the process dies, whatever reads it; 0 before a
// report. In between, a destination that took too little of the report
// may still take the line that says so.
long long report_deadline;
long long report_end;
// The bound in seconds, as the report names it: "30" unless set.
char bound_text[32];

long long monotonic_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// What is left until `moment`, for poll(), which may take less than all
// of a long wait: -1 without a moment.
int milliseconds_until(long long moment)
{
    if (moment == 0)
        return -1;
    long long left = (moment - monotonic_now() + 999999) / 1000000;
    return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool passed(long long moment)
{
    return moment != 0 && monotonic_now() >= moment;
}

Destination open_destination(int fd, bool wait);

// Waits until `fd` has room for a write, at most until `moment`.
bool room_by(int fd, long long moment)
{
    for (;;) {
        struct pollfd p = {fd, POLLOUT, 0};
        int n = poll(&p, 1, milliseconds_until(moment));
        if (n > 0)
            return true;
        if (n == 0 && passed(moment))
            return false;
        if (n < 0 && errno != EINTR)
            return true;  // the write will tell
    }
}

// The first line of `data`, with its newline.
size_t first_line(const char *data, size_t length)
{
    const void *newline = memchr(data, '\n', length);
    return newline != nullptr ? static_cast<size_t>(static_cast<const char *>(newline) - data) + 1
                              : length;
}

// One piece to one destination, waiting for room until `moment`: one
// write where there is room for it. A pipe takes a write of up to
// PIPE_BUF bytes whole or not at all: when the rest of a piece does not
// fit, the lines that do go first.
Cut deliver(const Destination &d, const char *data, size_t length, long long moment)
{
    size_t done = 0;
    while (done < length) {
        // A blocking descriptor waits before its write, never in it.
        if (d.blocking && !room_by(d.writer, moment))
            return kCutByTime;
        ssize_t n = write(d.writer, data + done, length - done);
        if (n < 0 && errno == EAGAIN) {
            size_t line = first_line(data + done, length - done);
            if (line < length - done)
                n = write(d.writer, data + done, line);
        }
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            // Checked against the clock too, should poll find room that
            // the write then does not.
            if (!d.wait || passed(moment) || !room_by(d.writer, moment))
                return d.wait ? kCutByTime : kCutByError;
        } else if (!(n < 0 && errno == EINTR)) {
            return kCutByError;
        }
    }
    return kWhole;
}

// One piece of the report to every destination that still takes it.
void write_bytes(const char *data, size_t length)
{
    // The copies first: a primary that blocks must not hold them back.
    for (int i = 0; i < copy_count; i++) {
        if (copies[i].cut == kWhole)
            copies[i].cut = deliver(copies[i], data, length, report_deadline);
    }
    if (primary.cut != kWhole)
        return;
    primary.cut = deliver(primary, data, length, report_deadline);
    if (primary.cut != kWhole && primary.fd != 2) {
        primary = open_destination(2, true);
        primary.cut = deliver(primary, data, length, report_deadline);
    }
}

void write_stderr(const char *text)
{
    write_bytes(text, strlen(text));
}

// A last line for a destination, if there is room for it before the
// process's end.
void write_last_line(const Destination &d, const char *text)
{
    deliver(d, text, strlen(text), report_end);
}

void write_error_text(int err)
{
    const char *text = error_text(err);
    if (text != nullptr) {
        write_stderr(text);
        return;
    }
    char number[24];
    write_stderr("Unknown error ");
    write_stderr(format_int(err, number));
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
    // Whether the inspector's readers may attach at all (a process that is
    // not dumpable admits only a tracer with CAP_SYS_PTRACE).
    append(&end, limit, " dumpable=");
    append(&end, limit, format_int(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), number));
    // When this process stops the inspector and dies: the inspector stops
    // its stack readers in time to write what it has.
    append(&end, limit, " deadline=");
    append(&end, limit, format_int(report_deadline, number));
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

// In the cloned child: none of the dying process's descriptors but the
// standard three go to the inspector. Code that leaks descriptors until
// none is left, none of them close-on-exec, would otherwise leave the
// inspector's interpreter none to load its libraries with.
void close_descriptors_from(int first)
{
    if (syscall(SYS_close_range, first, ~0U, 0) == 0)
        return;
    // Linux before 5.9.
    struct rlimit limit;
    rlim_t most = 1 << 20;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < most)
        most = limit.rlim_cur;
    for (rlim_t fd = static_cast<rlim_t>(first); fd < most; fd++)
        close(static_cast<int>(fd));
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

// In the cloned child: execve of talvex-CSI in each directory of PATH, in
// order, as execvp searches, but by hand (execvp may allocate, and a crash
// inside malloc leaves its lock held in this copy of the process) and
// never in a relative directory (an empty entry is the current one): what
// happens to lie where the program was started is not run. Returns only
// when nothing ran, with the search's error: EACCES if a talvex-CSI was
// found that may not be run, else ENOENT, or an error that stopped the
// search.
int exec_from_path(char *const argv[], char **environment)
{
    const char *path = getenv("PATH");
    int error = ENOENT;
    bool denied = false;
    char candidate[4096];
    for (const char *p = path; p != nullptr && *p != '\0';) {
        const char *colon = strchr(p, ':');
        size_t length = colon != nullptr ? static_cast<size_t>(colon - p) : strlen(p);
        if (p[0] == '/' && length + 1 + sizeof(kInspector) <= sizeof(candidate)) {
            memcpy(candidate, p, length);
            candidate[length] = '/';
            memcpy(candidate + length + 1, kInspector, sizeof(kInspector));
            execve(candidate, argv, environment);
            if (errno == EACCES)
                denied = true;
            else if (errno != ENOENT && errno != ENOTDIR && errno != ESTALE && errno != ENODEV &&
                     errno != ETIMEDOUT)
                return errno;
        }
        if (colon == nullptr)
            break;
        p = colon + 1;
    }
    return denied ? EACCES : error;
}

// In the cloned child: run the crash inspector. The talvex-CSI that PATH
// finds first, as a distribution, a site or a test may put its own there;
// where it finds none, this installation's own, by absolute paths, under
// the interpreter that matches the running one (found at initialisation;
// an embedding program's own executable is never taken for it). Tests and
// benchmarks name a stand-in in _TALVEX_CSI_PROGRAM.
// `relay`: the pipe this process passes on to the report's destinations,
// or -1 when the report goes to standard error alone.
[[noreturn]] void run_inspector(pid_t parent, int relay)
{
    // Its output goes where the report goes, never to this process's
    // standard output.
    if (relay >= 0) {
        dup2(relay, 1);
        dup2(relay, 2);
    } else if (dup2(2, 1) < 0) {
        close(1);
    }
    close_descriptors_from(3);
    // This child's own words go where its output goes, descriptor 2 (the
    // relay, whose words the parent passes on): the parent's other
    // destinations are closed here.
    copy_count = 0;
    primary = open_destination(2, true);
    // The inspector starts as a fresh program would, but for the signals of
    // job control.
    for (int s : kAsyncSignals) {
        bool job_control = false;
        for (int j : kJobControlSignals)
            job_control = job_control || j == s;
        signal(s, job_control ? SIG_IGN : SIG_DFL);
    }
    sigprocmask(SIG_SETMASK, &shared.default_sigmask, nullptr);

    char pid_text[24];
    format_int(parent, pid_text);
    long reader = start_stack_reader(pid_text);
    int error = ENOENT;
    char *end;
    const char *limit;
    const char *stand_in = getenv(kStandInVariable);
    char *const argv[] = {const_cast<char *>(kInspector), const_cast<char *>("--no-color"),
                          const_cast<char *>("--pid"), pid_text, nullptr};
    bool search = stand_in == nullptr || *stand_in == '\0';
    if (!search) {
        execve(stand_in, argv, inspector_environment(nullptr));
        error = errno;
    } else {
        error = exec_from_path(argv, inspector_environment(nullptr));
    }
    if (search && inspector_paths.python[0] != '\0') {
        // PYTHONPATH: the directories of talvex_csi and pystack, then the old value.
        static char pythonpath[sizeof(inspector_paths.pythonpath) + 4096];
        end = pythonpath;
        limit = pythonpath + sizeof(pythonpath) - 1;
        append(&end, limit, inspector_paths.pythonpath);
        const char *old = getenv("PYTHONPATH");
        if (old != nullptr && *old != '\0') {
            append(&end, limit, ":");
            append(&end, limit, old);
        }
        // -P: the current directory, wherever the program ran, is not searched.
        char *const module_argv[] = {
            inspector_paths.python,           const_cast<char *>("-P"),
            const_cast<char *>("-m"),         const_cast<char *>("talvex_csi"),
            const_cast<char *>("--no-color"), const_cast<char *>("--pid"),
            pid_text,                         nullptr};
        execve(inspector_paths.python, module_argv, inspector_environment(pythonpath));
        // The search's own failure, if it found one it could not run, says more.
        if (error == ENOENT)
            error = errno;
    }
    if (reader > 0)
        kill(static_cast<pid_t>(reader), SIGKILL);
    write_stderr("talvex failed to execute talvex-CSI: ");
    write_error_text(error);
    write_stderr("\n");
    _exit(2);
}

// The same open file: a copy that is the report's own destination is not
// written twice.
bool same_file(int a, int b)
{
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// A destination for `fd`, with a writer of its own where it is a pipe
// that the report may wait for.
Destination open_destination(int fd, bool wait)
{
    int flags = fcntl(fd, F_GETFL);
    Destination d = {fd, fd, flags >= 0 && !(flags & O_NONBLOCK), wait, kWhole};
    struct stat st;
    if (!d.blocking || !wait || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))
        return d;
    char path[40];
    char *end = path;
    char number[24];
    append(&end, path + sizeof(path) - 1, "/proc/self/fd/");
    append(&end, path + sizeof(path) - 1, format_int(fd, number));
    int own = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own >= 0) {
        d.writer = own;
        d.blocking = false;
    }
    return d;
}

void add_copy(int fd, bool wait)
{
    if (fd < 0)
        return;
    bool known = same_file(fd, primary.fd);
    for (int i = 0; i < copy_count; i++)
        known = known || same_file(fd, copies[i].fd);
    if (!known && copy_count < kMaxCopies)
        copies[copy_count++] = open_destination(fd, wait);
}

// Descriptor 2 is still the pipe this process reads itself.
bool stderr_captured()
{
    struct stat st;
    return tv_load(&report_setup.captured) && fstat(2, &st) == 0 &&
           static_cast<unsigned long long>(st.st_dev) == report_setup.captured_dev &&
           static_cast<unsigned long long>(st.st_ino) == report_setup.captured_ino;
}

// A new file in the state directory, its directories made as needed:
// "<state dir>/crash-<seconds since the epoch>-<pid>.txt".
int open_state_file()
{
    char *end = state_file;
    const char *limit = state_file + sizeof(state_file) - 1;
    append(&end, limit, report_setup.state_dir);
    if (state_file[0] != '/')
        return -1;
    for (char *slash = strchr(state_file + 1, '/');; slash = strchr(slash + 1, '/')) {
        if (slash != nullptr)
            *slash = '\0';
        mkdir(state_file, 0700);
        if (slash == nullptr)
            break;
        *slash = '/';
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char number[24];
    append(&end, limit, "/crash-");
    append(&end, limit, format_int(now.tv_sec, number));
    append(&end, limit, "-");
    append(&end, limit, format_int(getpid(), number));
    append(&end, limit, ".txt");
    int fd = open(state_file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        state_file[0] = '\0';
        return fd;
    }
    // The line that names the file goes where nobody may read it: the next
    // start of talvex (python -m talvex --crash-reports too) tells of a file
    // with this mark beside it, and takes the mark away.
    static char mark[sizeof(state_file) + 16];
    end = mark;
    append(&end, mark + sizeof(mark) - 1, state_file);
    append(&end, mark + sizeof(mark) - 1, kUnannounced);
    int marked = open(mark, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (marked >= 0)
        close(marked);
    return fd;
}

// Why the crash file was not used, the report's last line; "" when it was.
char crash_file_problem[sizeof(report_setup.crash_file[0]) + 160];

// Whether a symbolic link (`link`, from fstat) in the directory `dir` may
// have been planted by another user: the kernel's rule for sticky,
// world-writable directories (fs.protected_symlinks), kept whatever that
// setting says. A link there is followed only if this process's user owns
// it, or the directory's owner does.
bool planted(const struct stat &link, const struct stat &dir)
{
    return (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH) && link.st_uid != geteuid() &&
           link.st_uid != dir.st_uid;
}

// open(path, flags, mode), except that no symbolic link that another user
// may have planted is followed (`*refused` then, and EACCES). The path is
// walked one component at a time, each opened relative to the directory
// that holds it and without following it, so that the link that is
// checked is the one that is followed.
int open_crash_file(const char *path, int flags, mode_t mode, bool *refused)
{
    static char walk[2][8192];
    int current = 0;
    *refused = false;
    if (strlen(path) >= sizeof(walk[current]) / 2) {
        errno = ENAMETOOLONG;
        return -1;
    }
    char *end = walk[current];
    append(&end, walk[current] + sizeof(walk[current]) - 1, path);
    int dir = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    int links = 0;
    char *p = walk[current];
    while (dir >= 0) {
        while (*p == '/')
            p++;
        char *component = p;
        while (*p != '\0' && *p != '/')
            p++;
        bool more = *p == '/';
        if (more)
            *p++ = '\0';
        while (*p == '/')
            p++;
        bool last = *p == '\0';
        // What is there, a symbolic link itself rather than what it leads to.
        int next = -1;
        if (*component == '\0')
            errno = EISDIR;  // the path names a directory
        else
            next = openat(dir, component, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat st, dir_st;
        bool found = next >= 0 && fstat(next, &st) == 0;
        if (last && (found ? !S_ISLNK(st.st_mode) : errno == ENOENT)) {
            // The file, or where it is made: a link put there meanwhile
            // makes this fail rather than be followed.
            if (next >= 0)
                close(next);
            int fd = openat(dir, component, flags | O_NOFOLLOW, mode);
            int err = errno;
            close(dir);
            errno = err;
            return fd;
        }
        if (!found) {
            int err = errno;
            if (next >= 0)
                close(next);
            close(dir);
            errno = err;
            return -1;
        }
        if (!S_ISLNK(st.st_mode)) {
            close(dir);
            dir = next;
            continue;
        }
        // A symbolic link: checked, then followed by its text, with what is
        // left of the path after it.
        int other = 1 - current;
        size_t room = sizeof(walk[other]) / 2;
        ssize_t n = -1;
        if (fstat(dir, &dir_st) == 0 && planted(st, dir_st)) {
            *refused = true;
            errno = EACCES;
        } else if (++links > 40) {
            errno = ELOOP;  // as the kernel counts
        } else {
            n = readlinkat(next, "", walk[other], room);
            if (n == 0 || (n > 0 && static_cast<size_t>(n) >= room)) {
                n = -1;
                errno = ENAMETOOLONG;
            }
        }
        int err = errno;
        close(next);
        if (n < 0) {
            close(dir);
            errno = err;
            return -1;
        }
        walk[other][n] = '\0';
        end = walk[other] + n;
        if (!last) {
            append(&end, walk[other] + sizeof(walk[other]) - 1, "/");
            append(&end, walk[other] + sizeof(walk[other]) - 1, p);
        }
        current = other;
        p = walk[current];
        if (*p == '/') {
            close(dir);
            dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        }
    }
    return -1;
}

// The crash file, made 0600 if it is new (the command line may be in it),
// and never by way of a link that another user may have planted. Why it
// was not used, if it was not, is said at the report's end.
int open_crash_file(const char *file)
{
    bool refused;
    // Non-blocking: a FIFO that nobody reads must not stop the report.
    int fd = open_crash_file(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY |
                                      O_NONBLOCK, 0600, &refused);
    if (fd >= 0)
        return fd;
    int err = errno;
    char *end = crash_file_problem;
    const char *limit = crash_file_problem + sizeof(crash_file_problem) - 1;
    append(&end, limit, "talvex: the crash file ");
    append(&end, limit, file);
    append(&end, limit, " was not used: ");
    if (refused) {
        append(&end, limit, "its path follows a symbolic link that another user may have "
                            "planted in a sticky, world-writable directory");
    } else {
        char number[24];
        const char *text = error_text(err);
        append(&end, limit, text != nullptr ? text : "Unknown error ");
        if (text == nullptr)
            append(&end, limit, format_int(err, number));
    }
    append(&end, limit, "\n");
    return -1;
}

// Where this report goes: see primary and copies.
void choose_destinations()
{
    int faulthandler_fd = tv_faulthandler_report_fd();
    int fd = faulthandler_fd >= 0 ? faulthandler_fd : 2;
    bool captured = same_file(fd, 2) && stderr_captured();
    if (captured) {
        // Nothing reads that pipe once this thread stops the process: the
        // report must not wait for it, and must also go somewhere that
        // outlives the process (below).
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(2, F_SETFL, fcntl(2, F_GETFL) | O_NONBLOCK);
    }
    primary = open_destination(fd, !captured);
    copy_count = 0;
    state_file[0] = '\0';
    crash_file_problem[0] = '\0';
    const char *chosen = report_setup.crash_file[tv_load(&report_setup.crash_file_index)];
    const char *file = chosen[0] != '\0' ? chosen : getenv("TALVEX_CRASH_FILE");
    if (file != nullptr && *file != '\0')
        add_copy(open_crash_file(file), false);
    if (captured) {
        int original = report_setup.original_stderr;
        add_copy(original >= 0 ? original : open_state_file(), true);
    }
}

// TALVEX_CSI_TIMEOUT as the inspector reads it (timeout_from_env in
// talvex_csi/stacks.py): a positive number of seconds ("5", "2.5", "1e1",
// blanks around it), else 30; at most a century (its MAX_TIMEOUT), which a
// larger one is taken as. In nanoseconds.
long long parse_bound(const char *text)
{
    constexpr long long kDefault = 30LL * 1000000000LL;
    constexpr unsigned long long kMost = 100ULL * 366 * 86400 * 1000000000ULL;
    if (text == nullptr)
        return kDefault;
    auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const char *p = text;
    while (space(*p))
        p++;
    if (*p == '+')
        p++;
    unsigned long long mantissa = 0;
    int scale = 9;  // the mantissa's power of ten, in nanoseconds
    bool digits = false, point = false;
    for (;; p++) {
        if (digit(*p)) {
            digits = true;
            if (mantissa < 100000000000000000ULL) {
                mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
                scale -= point;
            } else {
                scale += !point;
            }
        } else if (*p == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!digits)
        return kDefault;
    if (*p == 'e' || *p == 'E') {
        p++;
        bool negative = *p == '-';
        if (*p == '-' || *p == '+')
            p++;
        if (!digit(*p))
            return kDefault;
        int exponent = 0;
        for (; digit(*p); p++) {
            if (exponent < 100000)
                exponent = exponent * 10 + (*p - '0');
        }
        scale += negative ? -exponent : exponent;
    }
    while (space(*p))
        p++;
    if (*p != '\0' || mantissa == 0)
        return kDefault;
    // What the inspector's float() makes of it must be finite and above 0.
    double seconds = static_cast<double>(mantissa);
    for (int e = scale - 9; e > 0 && seconds <= DBL_MAX; e--)
        seconds *= 10;
    for (int e = scale - 9; e < 0 && seconds > 0; e++)
        seconds /= 10;
    if (!(seconds > 0 && seconds <= DBL_MAX))
        return kDefault;
    for (; scale < 0 && mantissa != 0; scale++)
        mantissa /= 10;
    if (mantissa == 0)
        return 1;  // positive, though below a nanosecond
    for (; scale > 0; scale--) {
        if (mantissa > kMost / 10)
            return static_cast<long long>(kMost);
        mantissa *= 10;
    }
    return static_cast<long long>(mantissa < kMost ? mantissa : kMost);
}

// Seconds, to the millisecond: "5", "2.5", "0.001".
void format_seconds(long long nanoseconds, char *out, size_t size)
{
    char number[24];
    char *end = out;
    const char *limit = out + size - 1;
    append(&end, limit, format_int(nanoseconds / 1000000000LL, number));
    long long millis = nanoseconds % 1000000000LL / 1000000;
    if (millis == 0)
        return;
    char fraction[5] = {'.', static_cast<char>('0' + millis / 100),
                        static_cast<char>('0' + millis / 10 % 10),
                        static_cast<char>('0' + millis % 10), '\0'};
    for (int i = 3; fraction[i] == '0'; i--)
        fraction[i] = '\0';
    append(&end, limit, fraction);
}

// Starts the crash's clock, by which the report, the inspector and a
// handler chained after them all end.
void start_deadline()
{
    long long bound = parse_bound(getenv("TALVEX_CSI_TIMEOUT"));
    format_seconds(bound, bound_text, sizeof(bound_text));
    // The last tenth, at most half a second, is for the line that says
    // the report is cut short.
    long long reserve = bound / 10 < 500000000LL ? bound / 10 : 500000000LL;
    report_end = monotonic_now() + bound;
    report_deadline = report_end - reserve;
}

// "talvex: <what> the time bound of <N> seconds (TALVEX_CSI_TIMEOUT)<more>\n",
// in a buffer of its own, for one write.
const char *bound_line(const char *what, const char *more)
{
    static char line[256];
    char *end = line;
    const char *limit = line + sizeof(line) - 1;
    append(&end, limit, "talvex: ");
    append(&end, limit, what);
    append(&end, limit, " the time bound of ");
    append(&end, limit, bound_text);
    append(&end, limit, strcmp(bound_text, "1") == 0 ? " second" : " seconds");
    append(&end, limit, " (TALVEX_CSI_TIMEOUT)");
    append(&end, limit, more);
    append(&end, limit, "\n");
    return line;
}

// Passes the inspector's output on from the relay pipe: until it ends or
// the deadline, or, with `wait` false, what is there now.
void relay_output(int relay, bool wait)
{
    for (;;) {
        struct pollfd p = {relay, POLLIN, 0};
        int ready = poll(&p, 1, wait ? milliseconds_until(report_deadline) : 0);
        if (ready == 0 && (!wait || passed(report_deadline)))
            return;
        if (ready <= 0) {
            if (ready == 0 || errno == EINTR)
                continue;
            return;
        }
        ssize_t n = read(relay, relay_buffer, sizeof(relay_buffer));
        if (n > 0)
            write_bytes(relay_buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            return;
    }
}

// Waits for the inspector until the deadline, and stops it there. Returns
// whether it ended by itself.
bool wait_for_inspector(pid_t child)
{
    // Its end is seen through a process descriptor where one can still be
    // had (not after a descriptor leak), else by looking every 5 ms.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    bool ended = false;
    for (;;) {
        pid_t reaped = waitpid(child, nullptr, WNOHANG);
        // ECHILD: reaped by the kernel, as the program ignores SIGCHLD.
        if (reaped == child || (reaped < 0 && errno != EINTR)) {
            ended = true;
            break;
        }
        int left = milliseconds_until(report_deadline);
        if (left == 0)
            break;
        if (pidfd >= 0) {
            struct pollfd p = {pidfd, POLLIN, 0};
            poll(&p, 1, left);
        } else {
            struct timespec pause = {0, (left < 5 ? left : 5) * 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    if (!ended) {
        kill(child, SIGKILL);
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR)
            continue;
    }
    return ended;
}

// The crash report: separator, the inspector's report, separator, the
// message and the explanation, separator. All of it, the inspector
// included, within the time bound: a destination that takes nothing by
// then gets nothing more but a line that says so, if that line fits, and
// an inspector that has not finished by then is stopped.
void write_report(const char *message)
{
    if (getenv("TALVEX_CRASH_QUIET") != nullptr)
        return;
    choose_destinations();
    write_stderr(kSeparator);
    if (getenv("TALVEX_CRASH_NDEBUG") == nullptr) {
        pid_t pid = getpid();
        // Where ptrace is limited to ancestors, let this process's own
        // descendants (the inspector and the stack readers it and its child
        // start) attach to it; named before they exist, as py-spy attaches
        // at once.
        prctl(PR_SET_PTRACER, pid, 0, 0, 0);
        // The inspector writes into a pipe that this process passes on, so
        // that a destination nobody reads holds up only this process, which
        // watches the clock. Without descriptors to spare for it, the
        // inspector writes to standard error itself.
        int relay[2] = {-1, -1};
        if (pipe2(relay, O_CLOEXEC) != 0)
            relay[0] = relay[1] = -1;
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
            run_inspector(pid, relay[1]);
        } else {
            if (relay[0] >= 0) {
                close(relay[1]);
                relay[1] = -1;
                relay_output(relay[0], true);
            }
            if (!wait_for_inspector(static_cast<pid_t>(child))) {
                if (relay[0] >= 0)
                    relay_output(relay[0], false);
                write_stderr(bound_line("the crash inspector did not finish within",
                                        " and was stopped"));
            }
            write_stderr(kSeparator);
        }
        for (int fd : relay) {
            if (fd >= 0)
                close(fd);
        }
    }
    if (message != nullptr) {
        write_stderr(message);
        write_stderr(kExplanation);
        write_stderr(kSeparator);
    }
    const char *cut = bound_line("this crash report is cut short: not all of it was taken within",
                                 "");
    for (int i = 0; i < copy_count; i++) {
        if (copies[i].cut == kCutByTime)
            write_last_line(copies[i], cut);
    }
    if (primary.cut == kCutByTime)
        write_last_line(primary, cut);
    if (crash_file_problem[0] != '\0')
        write_last_line(primary, crash_file_problem);
    if (state_file[0] != '\0') {
        // The last line on standard error says where the report is kept.
        static char kept[sizeof(state_file) + 64];
        char *end = kept;
        const char *limit = kept + sizeof(kept) - 1;
        append(&end, limit, "talvex: this crash report is also in ");
        append(&end, limit, state_file);
        append(&end, limit, "\n");
        write_last_line(primary, kept);
    }
}

// The dispositions the crash replaced, for a child that another thread
// forks meanwhile (forget_crash_in_child): the old one is kept before the
// mark is set, and the mark before the new one is installed, so that a
// child forked at any moment restores exactly what it finds changed.
struct sigaction before_crash[kSignalSlots];
int changed_by_crash[kSignalSlots];

void change_disposition(int sig, const struct sigaction &action)
{
    if (!tv_load(&changed_by_crash[sig])) {
        sigaction(sig, nullptr, &before_crash[sig]);
        tv_store(&changed_by_crash[sig], 1);
    }
    sigaction(sig, &action, nullptr);
}

void set_default(int sig)
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    change_disposition(sig, action);
}

void ignore_until_death(int) {}

// A signal in kAsyncSignals is caught by a handler that does nothing,
// rather than ignored: a program that another thread starts meanwhile
// (fork and exec, posix_spawn) then gets the signal's default, as a
// caught signal's disposition is reset by exec and an ignored one is
// inherited. One that the program ignores stays ignored.
void hold_off(int sig)
{
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == SIG_IGN)
        return;
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = ignore_until_death;
    action.sa_flags = SA_RESTART;
    sigfillset(&action.sa_mask);
    change_disposition(sig, action);
}

// Dies by `sig` now: the default action, or 128 + sig if it is blocked.
[[noreturn]] void die_now(int sig)
{
    set_default(sig);
    raise(sig);
    _exit(128 + sig);
}

// The signal the process is dying by, for end_at_bound().
int dying_signal;

// How the end of the bound is signalled while faulthandler writes its
// traceback: a timer aimed at the dying thread alone, whose SIGALRM that
// thread unblocks for itself, so that neither the program's mask nor its
// other uses of SIGALRM matter; the process-wide interval timer where such
// a timer cannot be made.
enum BoundTimer { kNoTimer, kThreadTimer, kProcessTimer };
BoundTimer bound_timer = kNoTimer;

// SIGALRM: at the end of the time bound the handler chained after the
// report (faulthandler) has not finished, most likely blocked writing into
// a pipe that nobody reads. Any other SIGALRM (the program's own timer, a
// kill) is let pass.
void end_at_bound(int, siginfo_t *info, void *)
{
    bool ours = bound_timer == kThreadTimer
                    ? info != nullptr && info->si_code == SI_TIMER &&
                          info->si_value.sival_ptr == static_cast<void *>(&bound_timer)
                    : info != nullptr && info->si_code == SI_KERNEL;
    if (!ours)
        return;
    // A handler without SA_NODEFER runs with its signal blocked.
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, dying_signal);
    sigprocmask(SIG_UNBLOCK, &own, nullptr);
    die_now(dying_signal);
}

// Arms the signal at report_end; returns how.
BoundTimer arm_bound_timer()
{
    struct sigaction alarm_action;
    memset(&alarm_action, 0, sizeof(alarm_action));
    alarm_action.sa_sigaction = end_at_bound;
    alarm_action.sa_flags = SA_SIGINFO | SA_RESTART;
    change_disposition(SIGALRM, alarm_action);

    struct sigevent event;
    memset(&event, 0, sizeof(event));
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event.sigev_value.sival_ptr = &bound_timer;
#ifdef sigev_notify_thread_id
    event.sigev_notify_thread_id = kernel_thread_id();
#else
    event._sigev_un._tid = kernel_thread_id();
#endif
    // The raw system calls: the C library's timer_create may allocate.
    int timer;
    if (syscall(SYS_timer_create, CLOCK_MONOTONIC, &event, &timer) == 0) {
        struct itimerspec at_end;
        memset(&at_end, 0, sizeof(at_end));
        at_end.it_value.tv_sec = static_cast<time_t>(report_end / 1000000000LL);
        at_end.it_value.tv_nsec = static_cast<long>(report_end % 1000000000LL);
        if (syscall(SYS_timer_settime, timer, TIMER_ABSTIME, &at_end, nullptr) == 0)
            return kThreadTimer;
    }
    long long micros = (report_end - monotonic_now()) / 1000 + 1;
    if (micros < 1)
        micros = 1;  // zero would disarm the timer
    struct itimerval at_end;
    memset(&at_end, 0, sizeof(at_end));
    at_end.it_value.tv_sec = static_cast<time_t>(micros / 1000000);
    at_end.it_value.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    setitimer(ITIMER_REAL, &at_end, nullptr);
    return kProcessTimer;
}

// Another thread faulted while the report is written: it waits here until
// the process dies, instead of faulting again and again.
[[noreturn]] void wait_for_death()
{
    for (;;)
        pause();
}

}  // namespace

void die_for_signal(int sig, const char *message, const siginfo_t *info, void *context)
{
    start_deadline();
    describe_context(sig, info, context);
    for (int s : kAsyncSignals)
        hold_off(s);

    write_report(message);

    for (int s : kFatalSignals)
        set_default(s);
    sigset_t mask = shared.default_sigmask;
    const Chain &faulthandler = shared.chains[kChainFaulthandler];
    if (sig > 0 && sig < kSignalSlots && tv_load(&faulthandler.set[sig]) && !passed(report_end)) {
        const struct sigaction &previous = faulthandler.action[sig];
        if (is_real_handler(previous)) {
            // faulthandler's traceback gets what is left of the bound.
            dying_signal = sig;
            bound_timer = arm_bound_timer();
            sigdelset(&mask, SIGALRM);
            change_disposition(sig, previous);
        }
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    raise(sig);
    // The handler before talvex returned, or the signal is blocked.
    die_now(sig);
}

void forget_crash_in_child()
{
    if (tv_load(&shared.dying_thread) == 0)
        return;
    for (int s = 1; s < kSignalSlots; s++) {
        if (tv_load(&changed_by_crash[s])) {
            sigaction(s, &before_crash[s], nullptr);
            tv_store(&changed_by_crash[s], 0);
        }
    }
    tv_store(&shared.dying_thread, 0);
}

void follow_crash(int owner, int sig)
{
    if (owner == kernel_thread_id())
        die_now(sig);
    wait_for_death();
}

// One compare-and-swap: two threads that fault at once cannot both win.
void claim_crash(int sig)
{
    int owner = 0;
    if (__atomic_compare_exchange_n(&shared.dying_thread, &owner, kernel_thread_id(), false,
                                    __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        return;
    follow_crash(owner, sig);
}

const char *fatal_message(int sig, bool during_handling)
{
    const FatalMessage *m = kFatalMessages;
    while (m->sig != 0 && m->sig != sig)
        m++;
    return during_handling ? m->during_handling : m->outside_region;
}

}  // namespace talvex
