// The code that runs inside signal handlers to route them: the two
// handlers, and the trampoline that every jump passes through. A fatal
// signal that no region takes goes on to the crash path (crash.cpp). Every
// line obeys the same rule: no allocation, no lock, no C++ exception, no
// Python object. The only calls into the interpreter are
// PyErr_SetInterruptEx, which CPython documents as safe in a signal handler,
// and the two reads of its lifecycle flags in python_running().

// Every jump out of a handler lands on another stack (the trampoline's,
// then the client's). glibc's checked longjmp, which _FORTIFY_SOURCE turns
// on, aborts on exactly such jumps, so this file is never fortified,
// whatever the compiler or the build adds.
#undef _FORTIFY_SOURCE

#include "crash.h"
#include "handlers.h"
#include "platform.h"
#include "runtime_state.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace talvex {

namespace {

bool in_region(const tvstate_t *record)
{
    return tv_load(&record->sig_on_count) > 0;
}

// The stack pointer a resume point will restore: glibc on x86-64 keeps it
// mangled with the thread's pointer guard (xor, then a rotation by 17).
// 0 where the layout is not known.
uintptr_t resume_stack_pointer(const sigjmp_buf buf)
{
#if defined(__GLIBC__) && defined(__x86_64__)
    uintptr_t guard;
    __asm__("mov %%fs:0x30, %0" : "=r"(guard));
    uintptr_t v = static_cast<uintptr_t>(buf[0].__jmpbuf[6]);
    return ((v >> 17) | (v << 47)) ^ guard;
#else
    (void)buf;
    return 0;
#endif
}

// Reads "start-end perms" at the head of a line of /proc/self/maps;
// `inaccessible`: the mapping can be neither read, written nor run (a
// stack's guard).
bool parse_mapping(const char *line, const char *end, uintptr_t *low, uintptr_t *high,
                   bool *inaccessible)
{
    uintptr_t *out = low;
    *low = *high = 0;
    for (const char *p = line; p < end; p++) {
        char c = *p;
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit >= 0) {
            *out = *out * 16 + static_cast<uintptr_t>(digit);
        } else if (c == '-' && out == low) {
            out = high;
        } else {
            *inaccessible = end - p > 3 && p[1] == '-' && p[2] == '-' && p[3] == '-';
            return out == high && c == ' ';
        }
    }
    return false;
}

// How far below its stack a thread that overflowed it may have its stack
// pointer: the kernel keeps a gap of this size below a growing stack, and
// no frame of a compiled function reaches further.
constexpr uintptr_t kGuardReach = 1 << 20;

// Where a resume point lies against a thread's stack pointer `sp`.
enum class Place {
    same_stack,  // on the stack that runs at sp
    elsewhere,   // in memory of the process that is not that stack: another stack
    nowhere,     // in no accessible mapping: a recording nobody may jump to
};

// Where `resume` lies against `sp`, from /proc/self/maps read with single
// system calls into a buffer on the stack. On the same stack: in the same
// mapping, or sp below that mapping in its guard, where a thread that
// overflowed its stack has it (glibc's guard pages, inaccessible, lie
// right below a thread's stack; the main thread's stack has a gap below
// it), with nothing accessible in between.
Place place_of(uintptr_t resume, uintptr_t sp)
{
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Place::nowhere;
    char buf[4096];
    size_t kept = 0;
    Place place = Place::nowhere;
    // An accessible mapping above sp and below the resume point's.
    bool between = false;
    bool done = false;
    while (!done) {
        ssize_t n = read(fd, buf + kept, sizeof(buf) - kept);
        if (n <= 0)
            break;
        size_t filled = kept + static_cast<size_t>(n);
        size_t start = 0;
        // Mappings come in ascending order, up to the one that holds the
        // resume point.
        for (size_t i = 0; i < filled && !done; i++) {
            if (buf[i] != '\n')
                continue;
            uintptr_t low, high;
            bool inaccessible = false;
            if (parse_mapping(buf + start, buf + i, &low, &high, &inaccessible)) {
                if (resume >= low && resume < high) {
                    bool same = sp >= low ? sp < high
                                          : !between && low - sp <= kGuardReach;
                    place = inaccessible ? Place::nowhere
                            : same       ? Place::same_stack
                                         : Place::elsewhere;
                    done = true;
                } else if (low > resume) {
                    done = true;
                } else if (high > sp && !inaccessible) {
                    between = true;
                }
            }
            start = i + 1;
        }
        // The unfinished last line moves to the front for the next read.
        kept = filled - start;
        memmove(buf, buf + start, kept);
        if (kept == sizeof(buf))
            break;
    }
    close(fd);
    return place;
}

bool in_main_stack(uintptr_t a)
{
    return shared.main_stack_high != 0 && a >= shared.main_stack_low &&
           a < shared.main_stack_high;
}

// Where the exported record's resume point lies against the stack that
// runs at `sp`. The stack the main thread had at initialisation answers
// at once; any other (a coroutine's, a worker's, the main stack grown
// further) is looked up.
Place exported_resume_point(uintptr_t sp)
{
    uintptr_t resume = resume_stack_pointer(tvstate.resume_point);
    if (in_main_stack(resume) && in_main_stack(sp))
        return Place::same_stack;
    return place_of(resume, sp);
}

// A region that a module opened by hand on the exported record (through
// its fields, not the header) in this thread, which is not the main one:
// the exported record's resume point lies on the very stack the signal
// interrupted, at or above the interrupted code. Only this thread may
// take it.
bool exported_region_here(const ThreadRecord *main, void *context)
{
    uintptr_t sp;
    if (main == nullptr || main->record != &tvstate || !in_region(&tvstate) ||
        !interrupted_stack_pointer(context, &sp) || resume_stack_pointer(tvstate.resume_point) == 0)
        return false;
    uintptr_t resume = resume_stack_pointer(tvstate.resume_point);
    // A region on the main thread's stack is never another thread's.
    return resume >= sp && !in_main_stack(resume) &&
           exported_resume_point(sp) == Place::same_stack;
}

// The interrupted stack pointer, or 0 where the platform does not say.
uintptr_t stack_pointer_of(void *context)
{
    uintptr_t sp;
    return interrupted_stack_pointer(context, &sp) ? sp : 0;
}

// Jumps out of the calling thread's region. The main thread's record goes
// through the trampoline; another thread's jumps straight to its resume
// point. Either way the handler's mask stays in force: the mask where the
// signal struck plus the interrupts (every handler blocks them), so no
// system call is spent on it before recovery gives the thread back the
// mask it had where the signal struck.
[[noreturn]] void jump(ThreadRecord *rec, int sig, void *context)
{
    if (!interrupted_mask(context, &rec->landing_mask))
        rec->landing_mask = shared.default_sigmask;
    // Read after the jump by this same thread only.
    __atomic_store_n(&rec->landed, sig, __ATOMIC_RELAXED);
    __atomic_store_n(&rec->lander, static_cast<unsigned long>(pthread_self()), __ATOMIC_RELAXED);
    if (rec->record == &tvstate)
        siglongjmp(shared.trampoline_buf, sig);
#if defined(__x86_64__) || defined(__i386__)
    // The abandoned code may have left values on the x87 register stack.
    __asm__ volatile("emms" ::: "memory");
#endif
    siglongjmp(rec->record->resume_point, sig);
}

unsigned long long copy_bit(int sig)
{
    return 1ULL << (sig - 1);
}

// A copy of an interrupt that one thread passed on to another thread's
// region. It is sent with the address of the shared state as its value, so
// the kernel's own siginfo tells it apart from every other delivery. When
// the kernel cannot queue that siginfo (RLIMIT_SIGPENDING reached), it
// still delivers the signal, with a bare SI_USER from no process instead:
// such a delivery is a copy while one is on its way to this thread. Either
// way the copy has arrived: a standard signal is pending at most once per
// thread, so copies sent before this delivery merged with it.
bool is_passed_on(ThreadRecord *self, int sig, const siginfo_t *info)
{
    bool marked = info != nullptr && info->si_code == SI_QUEUE && info->si_pid == getpid() &&
                  info->si_value.sival_ptr == static_cast<void *>(&shared);
    bool expected = self != nullptr && (__atomic_load_n(&self->copies, __ATOMIC_SEQ_CST) &
                                        copy_bit(sig)) != 0;
    bool unmarked = expected && info != nullptr && info->si_code == SI_USER && info->si_pid == 0;
    if (expected && (marked || unmarked))
        __atomic_fetch_and(&self->copies, ~copy_bit(sig), __ATOMIC_SEQ_CST);
    return marked || unmarked;
}

// By kernel thread id: a thread that ended meanwhile is simply not found.
void pass_on(ThreadRecord *rec, int sig)
{
    int tid = tv_load(&rec->tid);
    if (tid == 0)
        return;
    siginfo_t info;
    memset(&info, 0, sizeof(info));
    info.si_signo = sig;
    info.si_code = SI_QUEUE;
    info.si_pid = getpid();
    info.si_uid = getuid();
    info.si_value.sival_ptr = &shared;
    // Known as on its way before it can arrive.
    __atomic_fetch_or(&rec->copies, copy_bit(sig), __ATOMIC_SEQ_CST);
    if (syscall(SYS_rt_tgsigqueueinfo, getpid(), tid, sig, &info) != 0)
        __atomic_fetch_and(&rec->copies, ~copy_bit(sig), __ATOMIC_SEQ_CST);
}

// Asks the interpreter to run its handler for `sig`, once that handler is
// python_check_interrupt. As CPython's own handler, this also writes the
// signal's byte to the wakeup descriptor (asyncio, trio): once for every
// signal talvex takes.
void alert_python(int sig)
{
    if (tv_load(&shared.python_table[sig]) == kTableChecker && python_running())
        PyErr_SetInterruptEx(sig);
}

void raise_attention()
{
    set_attention(1);
}

// The calling thread's region takes `sig`: it ends, unless it is shielded
// (then the interrupt waits in its record for sig_unblock(), which raises
// it again). A region of the main thread that a signal the program claimed
// ends alerts Python too: the program's handler is its own, and so is the
// byte the interpreter writes to its wakeup descriptor (asyncio's
// add_signal_handler callbacks wake by it).
void take_in_region(ThreadRecord *rec, int sig, void *context, bool main)
{
    if (!tv_load(&rec->record->sigint_blocked) && !custom_signal_is_blocked()) {
        if (main && tv_load(&shared.claimed[sig]))
            alert_python(sig);
        jump(rec, sig, context);
    }
    record_interrupt(rec->record, sig);
}

// Records an interrupt for a thread's cooperative scopes: its next check()
// throws it. A waiting hang-up stays. The mark is the thread's share of the
// signal: its checks do not take the same signal again from what waits for
// the main thread.
void mark_scope(ThreadRecord *rec, int sig)
{
    __atomic_store_n(&rec->seen_serial, __atomic_load_n(&shared.interrupt_serial,
                                                        __ATOMIC_SEQ_CST), __ATOMIC_SEQ_CST);
    int current = tv_load(&rec->scope_signal);
    do {
        if (current == SIGHUP || current == SIGTERM)
            return;
    } while (!__atomic_compare_exchange_n(&rec->scope_signal, &current, sig, false,
                                          __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST));
    raise_attention();
}

// Calls the embedding program's own handler for an interrupt, with its
// mask, as the kernel would have.
void run_host_handler(int sig, siginfo_t *info, void *context)
{
    const struct sigaction &h = shared.host_handler[sig];
    sigset_t mask = h.sa_mask, previous;
    pthread_sigmask(SIG_BLOCK, &mask, &previous);
    if (h.sa_flags & SA_SIGINFO)
        h.sa_sigaction(sig, info, context);
    else
        h.sa_handler(sig);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// The main thread's share of an interrupt, when no region of the main
// thread takes it: what the program set (its handler, or talvex's meaning)
// or, in an embedding program whose interpreter installed no handlers, the
// host's own disposition, as without talvex: regions of other threads that
// the signal ended do not use it up.
// `owed`: the exported record is in a region that is not the main
// thread's (a module opened it by hand in another thread); the main
// thread's share waits apart from that region's record.
void main_share(int sig, siginfo_t *info, void *context, bool owed = false)
{
    int host = tv_load(&shared.host_action[sig]);
    if (host != kHostNone && !tv_load(&shared.claimed[sig])) {
        if (host == kHostChain) {
            run_host_handler(sig, info, context);
            return;
        }
        host = kHostDefault;
    }
    if (host == kHostDefault || !python_running()) {
        // Nothing can turn it into an exception (before initialisation,
        // during finalisation), or the host wants the default action: the
        // signal's own default action, as without talvex. It is blocked in
        // here, so it strikes on return.
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    hand_to_python(sig, owed);
}

// A copy passed on to this thread's region. The main thread's copy carries
// the main thread's share: it alerts Python, and if the region ended
// meanwhile the share goes where it would outside a region. A worker's
// copy finds its region over, or ends it.
void take_copy(ThreadRecord *self, int sig, siginfo_t *info, void *context)
{
    if (self == nullptr)
        return;
    bool main = self == __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE);
    if (main ? main_thread_in_region(self, stack_pointer_of(context)) : in_region(self->record)) {
        take_in_region(self, sig, context, main);
        return;
    }
    if (main)
        main_share(sig, info, context, in_region(self->record));
}

// Thread-directed (pthread_kill, raise, tgkill): for the thread it was sent
// to. Anything else was sent to the process as a whole: Ctrl-C from the
// terminal, kill(), an alarm.
bool sent_to_thread(const siginfo_t *info)
{
    return info != nullptr && info->si_code == SI_TKILL;
}

void interrupt(int sig, siginfo_t *info, void *context)
{
    if (tv_load(&shared.dying_thread) != 0)
        return;
    ThreadRecord *self = find_thread_record(static_cast<unsigned long>(pthread_self()));
    if (is_passed_on(self, sig, info)) {
        take_copy(self, sig, info, context);
        return;
    }
    ThreadRecord *main = __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE);
    // A region of the exported record that a module opened by hand in this
    // thread, which is not the main one.
    bool by_hand_here = self != main && exported_region_here(main, context);
    // The main thread's record in a region of the main thread's own (not
    // one a module opened by hand on it in another thread). The main thread
    // knows from its own stack; another thread leaves the question to it,
    // with a copy, unless the region is that thread's own.
    bool main_in_region = self == main
                              ? main_thread_in_region(main, stack_pointer_of(context))
                              : main != nullptr && in_region(main->record) && !by_hand_here;
    // Where the exported record's region is not the main thread's, its
    // share waits apart.
    bool owed = main != nullptr && !main_in_region && in_region(main->record);

    // A signal the program claimed is its handler's, which runs in the main
    // thread: only a region of the main thread ends by it, or its check().
    if (tv_load(&shared.claimed[sig])) {
        if (!main_in_region)
            main_share(sig, info, context, owed);
        else if (self != main)
            pass_on(main, sig);
        else
            take_in_region(main, sig, context, true);
        return;
    }

    bool hangup = sig == SIGHUP || sig == SIGTERM;
    if (sent_to_thread(info) && self != nullptr && self != main) {
        // A worker's own region or scope takes it; a hang-up ends the
        // process's work, so the main thread gets it as well.
        bool region = in_region(self->record);
        if (region || tv_load(&self->scopes) > 0) {
            if (hangup)
                main_in_region ? pass_on(main, sig) : main_share(sig, info, context, owed);
            if (region)
                take_in_region(self, sig, context, false);
            else
                mark_scope(self, sig);
            return;
        }
    }
    if (sent_to_thread(info)) {
        // For this thread alone, which has no region of its own: a region
        // opened by hand here, or else the main thread's, as CPython hands
        // every signal to the main thread.
        if (by_hand_here)
            take_in_region(main, sig, context, false);
        else if (main_in_region && self == main)
            take_in_region(main, sig, context, true);
        else if (main_in_region)
            pass_on(main, sig);
        else
            main_share(sig, info, context, owed);
        return;
    }

    // Sent to the process: every open region ends, every cooperative scope
    // gets it at its next check(), and the main thread gets it too. A poll
    // outside those, in another thread, takes none of it: the census makes
    // the next poll look (whatever thread it is in), so that one in such a
    // thread can say so.
    __atomic_add_fetch(&shared.interrupt_serial, 1, __ATOMIC_SEQ_CST);
    if (!tv_load(&shared.polls_warned)) {
        tv_store(&shared.poll_census, 1);
        raise_attention();
    }
    bool here = false;
    for (ThreadRecord *rec = __atomic_load_n(&shared.threads, __ATOMIC_ACQUIRE); rec != nullptr;
         rec = rec->next) {
        if (tv_load(&rec->tid) == 0 || rec == main)
            continue;
        if (in_region(rec->record)) {
            if (rec == self)
                here = true;
            else
                pass_on(rec, sig);
        } else if (tv_load(&rec->scopes) > 0) {
            mark_scope(rec, sig);
        }
    }
    if (!main_in_region)
        main_share(sig, info, context, owed);
    else if (self != main)
        pass_on(main, sig);
    else
        here = true;
    if (here)
        take_in_region(self, sig, context, self == main);
    else if (by_hand_here)
        take_in_region(main, sig, context, false);
}

}  // namespace

int (*interpreter_finalizing)(void);

bool python_running()
{
    return Py_IsInitialized() && !finalizing();
}

bool finalizing()
{
    int (*query)(void) = __atomic_load_n(&interpreter_finalizing, __ATOMIC_ACQUIRE);
    return query != nullptr && query() != 0;
}

ThreadRecord *find_thread_record(unsigned long thread)
{
    ThreadRecord *main = __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE);
    if (main != nullptr && __atomic_load_n(&main->thread, __ATOMIC_ACQUIRE) == thread &&
        tv_load(&main->tid) != 0)
        return main;
    for (ThreadRecord *rec = __atomic_load_n(&shared.threads, __ATOMIC_ACQUIRE); rec != nullptr;
         rec = rec->next) {
        if (__atomic_load_n(&rec->thread, __ATOMIC_ACQUIRE) == thread && tv_load(&rec->tid) != 0)
            return rec;
    }
    return nullptr;
}

MainRegion main_thread_region(const ThreadRecord *main, uintptr_t sp)
{
    if (main == nullptr || !in_region(main->record))
        return MainRegion::none;
    // A record of its own (a forked child's main thread), or no way to
    // tell: the region is the main thread's.
    if (main->record != &tvstate || sp == 0 || resume_stack_pointer(tvstate.resume_point) == 0)
        return MainRegion::own;
    switch (exported_resume_point(sp)) {
    case Place::same_stack:
        return MainRegion::own;
    case Place::elsewhere:
        return MainRegion::another_threads;
    default:
        return MainRegion::unknown;
    }
}

bool main_thread_in_region(const ThreadRecord *main, uintptr_t sp)
{
    return main_thread_region(main, sp) == MainRegion::own;
}

// Records an interrupt for later. A pending SIGHUP or SIGTERM ends the
// process's work: it is never overwritten, also not by a handler that runs
// at the same moment in another thread (hence a compare-and-swap rather
// than a test and a store).
void record_interrupt(tvstate_t *record, int sig)
{
    int current = tv_load(&record->pending_interrupt);
    do {
        if (current == SIGHUP || current == SIGTERM)
            return;
    } while (!__atomic_compare_exchange_n(&record->pending_interrupt, &current, sig, false,
                                          __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST));
    custom_set_pending_signal(sig);
}

void hand_to_python(int sig, bool owed)
{
    int table = tv_load(&shared.python_table[sig]);
    if (table == kTableCallable) {
        // The interpreter's table still holds a Python handler of its own:
        // it runs that handler, as without talvex.
        if (python_running())
            PyErr_SetInterruptEx(sig);
        return;
    }
    if (owed || tv_load(&shared.claimed[sig]))
        tv_store(&shared.owed_to_main[sig], 1);
    else
        record_interrupt(main_state(), sig);
    // The main thread's checks (sig_check(), talvex::check()) look too.
    raise_attention();
    // Python runs its handler for this very signal, python_check_interrupt,
    // which finds it where it was kept.
    alert_python(sig);
}

bool is_talvex_handler(const struct sigaction &sa)
{
    return (sa.sa_flags & SA_SIGINFO) && (sa.sa_sigaction == handler_for(SIGINT) ||
                                          sa.sa_sigaction == handler_for(SIGSEGV));
}

tvstate_t *main_state()
{
    ThreadRecord *main = __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE);
    return main != nullptr ? main->record : &tvstate;
}

void set_attention(int value)
{
    tv_store(&runtime.attention, value);
    // Counted, so that a module being unloaded can wait until no walk holds
    // its word. No jump out of a region abandons a walk half-way: handlers
    // walk with the interrupts blocked, and so does ordinary code inside
    // its thread's region (refresh_attention).
    __atomic_add_fetch(&attention_words.walkers, 1, __ATOMIC_SEQ_CST);
    for (int i = 0; i < __atomic_load_n(&attention_words.count, __ATOMIC_ACQUIRE); i++) {
        int *word = __atomic_load_n(&attention_words.words[i], __ATOMIC_SEQ_CST);
        if (word != nullptr)
            tv_store(word, value);
    }
    __atomic_sub_fetch(&attention_words.walkers, 1, __ATOMIC_SEQ_CST);
}

void park_thread()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    for (;;)
        pause();
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

// Where a fatal signal came from, by the kernel's own record of it.
enum class Origin {
    fault,  // raised by an instruction (si_code > 0)
    abort,  // SIGABRT the process raised itself: abort(), assert(),
            // std::terminate, the C library's heap checks, raise(), kill()
    sent,   // sent by kill(), raise() or another process: not a fault
};

Origin origin_of(int sig, const siginfo_t *info)
{
    if (info == nullptr || info->si_code > 0)
        return Origin::fault;
    if (sig == SIGABRT && (info->si_code == SI_USER || info->si_code == SI_TKILL) &&
        info->si_pid == getpid())
        return Origin::abort;
    return Origin::sent;
}

// The signal interrupted code running on this thread's alternate signal
// stack, where only signal handlers run: a handler faulted, or re-raised
// its signal.
bool interrupted_a_handler(void *context)
{
    return interrupted_on_alt_stack(context);
}

// Runs the handler a library installed before talvex, as the kernel would
// have: its mask blocked meanwhile, with the original siginfo and context,
// so that it can make the access valid and return. The signal itself stays
// blocked, also for a handler installed with SA_NODEFER (faulthandler is
// one): a handler that resets it to the default and re-raises it with
// raise() or kill(), as crash reporters do, would otherwise end the process
// before the report. Returns false when the library handed the signal on
// so: it waits, blocked, or a real fault is left to meet another
// disposition when the instruction runs again. The signal is still blocked
// then.
bool run_chained_handler(int sig, siginfo_t *info, void *context, bool fault)
{
    Chain &library = shared.chains[kChainLibrary];
    struct sigaction h = library.action[sig];
    if (h.sa_flags & SA_RESETHAND) {
        tv_store(&library.set[sig], 0);
        library.action[sig].sa_handler = SIG_DFL;
        library.action[sig].sa_flags = 0;
    }
    sigset_t mask = h.sa_mask, previous;
    sigaddset(&mask, sig);
    pthread_sigmask(SIG_BLOCK, &mask, &previous);
    if (h.sa_flags & SA_SIGINFO)
        h.sa_sigaction(sig, info, context);
    else
        h.sa_handler(sig);
    sigset_t waiting;
    struct sigaction now;
    bool handed_on = (sigpending(&waiting) == 0 && sigismember(&waiting, sig) == 1) ||
                     (fault && sigaction(sig, nullptr, &now) == 0 && !is_talvex_handler(now));
    if (!handed_on)
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return !handed_on;
}

}  // namespace

namespace {

// A fatal signal sent to the process that the program set a Python handler
// for: the handler runs in the main thread, at Python's next check, or,
// while the main thread polls in a cooperative scope, at the scope's next
// check(), which ends the loop with what the handler raises. A scope that
// closes first leaves it to Python (cooperative_exit); whoever takes it
// first, by an atomic exchange, takes it alone.
void hand_fatal_to_python(ThreadRecord *main, int sig)
{
    if (main != nullptr && tv_load(&main->scopes) > 0) {
        tv_store(&shared.owed_to_main[sig], 1);
        raise_attention();
        if (tv_load(&main->scopes) > 0 ||
            !__atomic_exchange_n(&shared.owed_to_main[sig], 0, __ATOMIC_SEQ_CST))
            return;
    }
    PyErr_SetInterruptEx(sig);
}

// Threads without a record of their own (they never opened a region or a
// scope) inside the fatal-signal handler, by kernel id: "a fault during
// signal handling" is known per thread. Those with a record keep it in its
// handler_active.
constexpr int kActiveSlots = 64;
int active_without_record[kActiveSlots];

// Marks the calling thread as inside the handler; returns whether it
// already was.
bool enter_fatal(ThreadRecord *self, int tid)
{
    if (self != nullptr) {
        int was = tv_load(&self->record->handler_active);
        tv_store(&self->record->handler_active, 1);
        return was != 0;
    }
    for (int &slot : active_without_record) {
        if (tv_load(&slot) == tid)
            return true;
    }
    // Landed from a region opened by hand on the exported record, and not
    // yet recovered: its record says so.
    ThreadRecord *main = __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE);
    if (main != nullptr && tv_load(&main->record->handler_active) &&
        __atomic_load_n(&main->lander, __ATOMIC_RELAXED) ==
            static_cast<unsigned long>(pthread_self()))
        return true;
    for (int &slot : active_without_record) {
        int free_slot = 0;
        if (__atomic_compare_exchange_n(&slot, &free_slot, tid, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST))
            break;
    }
    return false;
}

void leave_fatal(ThreadRecord *self, int tid)
{
    if (self != nullptr) {
        tv_store(&self->record->handler_active, 0);
        return;
    }
    for (int &slot : active_without_record) {
        if (tv_load(&slot) == tid)
            tv_store(&slot, 0);
    }
}

}  // namespace

void fatal_signal_handler(int sig, siginfo_t *info, void *context)
{
    int dying = tv_load(&shared.dying_thread);
    if (dying != 0)
        follow_crash(dying, sig);

    // The routes that return go back to the interrupted code, which may be
    // about to read errno.
    int saved_errno = errno;
    ThreadRecord *self = find_thread_record(static_cast<unsigned long>(pthread_self()));
    // Only a thread without a record is known by its kernel id here.
    int tid = self == nullptr ? kernel_thread_id() : 0;
    bool was_active = enter_fatal(self, tid);
    Origin origin = origin_of(sig, info);
    // A library's handler, run from here, faulted (the report says so) or
    // handed its signal back to talvex (the report): nothing runs it again.
    bool in_handler = interrupted_a_handler(context);
    bool during_handling = was_active || (in_handler && origin == Origin::fault);

    if (!was_active && !in_handler) {
        bool known = sig > 0 && sig < kSignalSlots;
        // Sent by kill(), raise() or another process, not raised by a
        // faulting instruction nor by abort(): the program's Python-level
        // handler runs at Python's next check, as CPython's own handler
        // would arrange. A real fault would only run again, for ever, and
        // abort() would follow its signal with death by the default action:
        // both get the report.
        bool to_python = known && origin == Origin::sent &&
                         tv_load(&shared.fatal_route[sig]) == kRoutePython && python_running();
        ThreadRecord *main = __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE);
        ThreadRecord *region = nullptr;
        if (self != nullptr && (self == main ? main_thread_in_region(self, stack_pointer_of(context))
                                             : in_region(self->record)))
            region = self;
        else if (self != main && exported_region_here(main, context))
            region = main;  // opened by hand on the exported record, in this thread
        // SIGQUIT ends a region only by the program's handler, which runs
        // in the main thread.
        if (region != nullptr && (sig != SIGQUIT || (to_python && self == main))) {
            __atomic_store_n(&region->landed_fault, origin == Origin::sent ? 0 : sig,
                             __ATOMIC_RELAXED);
            if (region != self) {
                // Until recovery, the region's record says this thread is
                // handling a fault: its recovery clears it there.
                __atomic_store_n(&region->lander, static_cast<unsigned long>(pthread_self()),
                                 __ATOMIC_RELAXED);
                tv_store(&region->record->handler_active, 1);
                leave_fatal(self, tid);
            }
            jump(region, sig, context);
        }
        if (to_python) {
            leave_fatal(self, tid);
            hand_fatal_to_python(main, sig);
            errno = saved_errno;
            return;
        }
        // A library that was there first (a JVM, a WebAssembly runtime, a
        // collector with guard pages) may recover and return.
        if (known && tv_load(&shared.chains[kChainLibrary].set[sig])) {
            leave_fatal(self, tid);
            if (run_chained_handler(sig, info, context, origin == Origin::fault)) {
                errno = saved_errno;
                return;
            }
            enter_fatal(self, tid);
        }
    }

    // abort() (std::terminate) in a thread of talvex's other than the main
    // one while the interpreter finalises: the interpreter ended the thread
    // by a forced unwind, which met a destructor that may not throw or an
    // exception on its way out. The program is exiting by its own means,
    // with its own status: no crash of the program, this thread waits.
    if (origin == Origin::abort && self != nullptr &&
        self != __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE) && finalizing())
        park_thread();

    claim_crash(sig);
    die_for_signal(sig, fatal_message(sig, during_handling), info, context);
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
    // No mask is saved: a handler that jumps here already has the
    // interrupts blocked, on top of the mask where its signal struck.
    int sig = sigsetjmp(shared.trampoline_buf, 0);
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
