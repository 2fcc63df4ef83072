// The native runtime of talvex.signals in ordinary context: the record and
// what lies beside it, installation of the handlers, the trampoline and
// alternate signal stacks, fork, cooperative scopes, custom hooks and the
// recovery entry points. The code that runs inside signal handlers is in
// handlers.cpp and crash.cpp, which call nothing of this file.

// See handlers.cpp: jumps cross stacks, which glibc's checked longjmp
// refuses; setup_trampoline jumps too.
#undef _FORTIFY_SOURCE

#include "crash.h"
#include "implementation.h"
#include "platform.h"
#include "pyref.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace talvex {

void enter_main_thread_record(unsigned long thread, int tid);

namespace {
void cooperative_enter();
void cooperative_exit();
int cooperative_claim();
tvstate_t *thread_state();
int poll();
void register_attention(int *word);
int landed_signal();
void register_unloadable_attention(int *word);
void unregister_attention(int *word);
void park_if_finalizing();
}  // namespace

talvex_runtime_t runtime = {
    {}, TALVEX_RUNTIME_MAGIC, TALVEX_RUNTIME_ABI, cooperative_enter, cooperative_exit,
    cooperative_claim, thread_state, poll, 0, register_attention, landed_signal,
    register_unloadable_attention, unregister_attention, park_if_finalizing, 0,
};
AttentionWords attention_words;
Shared shared;
InspectorPaths inspector_paths;
ReportSetup report_setup = {{}, 0, 0, 0, 0, -1, {}};
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

// faulthandler's handler, known by the address it was installed with: an
// embedding program's own handler may lie in the same object as the
// interpreter (libpython linked into the executable) and is a library's.
bool is_faulthandler(const struct sigaction &sa)
{
    void *code = __atomic_load_n(&shared.faulthandler_code, __ATOMIC_ACQUIRE);
    return code != nullptr && is_real_handler(sa) && handler_code(sa) == code;
}

void set_slot(ChainSlot slot, int sig, const struct sigaction *handler)
{
    Chain &chain = shared.chains[slot];
    tv_store(&chain.set[sig], 0);
    if (handler == nullptr)
        return;
    chain.action[sig] = *handler;
    tv_store(&chain.set[sig], 1);
}

// Remembers a handler talvex replaced for a fatal signal. A library's goes
// first when a fault arrives outside a region (it may recover);
// faulthandler, which ends the process, after the crash report.
void set_chain(int sig, const struct sigaction &previous)
{
    if (is_faulthandler(previous))
        set_slot(kChainFaulthandler, sig, &previous);
    else
        set_slot(kChainLibrary, sig, &previous);
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

// A stack of talvex's own lies in a mapping of its own with an inaccessible
// page below it: a handler that overflows it faults there, rather than
// writing over whatever lay below it on the heap.
size_t alt_stack_guard()
{
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

size_t alt_stack_mapping_size()
{
    size_t page = alt_stack_guard();
    return (kAltStackSize + page - 1) / page * page + page;
}

void *map_alt_stack()
{
    void *base = mmap(nullptr, alt_stack_mapping_size(), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED)
        return nullptr;
    if (mprotect(base, alt_stack_guard(), PROT_NONE) != 0) {
        int err = errno;
        munmap(base, alt_stack_mapping_size());
        errno = err;
        return nullptr;
    }
    return static_cast<char *>(base) + alt_stack_guard();
}

void release_alt_stack(void *block)
{
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == block) {
        stack_t off;
        memset(&off, 0, sizeof(off));
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }
    munmap(static_cast<char *>(block) - alt_stack_guard(), alt_stack_mapping_size());
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
// Threads
// ---------------------------------------------------------------------

// The main thread's entry in the registry: its record is the exported one.
ThreadRecord main_thread_record;
bool main_record_listed;

// Registration is ordinary context (handlers only read the list).
pthread_mutex_t registry_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_key_t record_key;
pthread_once_t record_key_once = PTHREAD_ONCE_INIT;
// The calling thread's entry, once it has one; its own module's copy.
thread_local ThreadRecord *this_thread_record;

void reset_record(ThreadRecord *rec)
{
    memset(static_cast<void *>(&rec->own), 0, sizeof(rec->own));
    tv_store(&rec->landed, 0);
    tv_store(&rec->landed_fault, 0);
    tv_store(&rec->recovered_early, 0);
    tv_store(&rec->scopes, 0);
    tv_store(&rec->scope_signal, 0);
    __atomic_store_n(&rec->copies, 0ULL, __ATOMIC_SEQ_CST);
}

// A thread that ends gives its entry back for another thread to take.
void release_record(void *entry)
{
    ThreadRecord *rec = static_cast<ThreadRecord *>(entry);
    pthread_mutex_lock(&registry_lock);
    tv_store(&rec->tid, 0);
    __atomic_store_n(&rec->thread, 0UL, __ATOMIC_RELEASE);
    reset_record(rec);
    pthread_mutex_unlock(&registry_lock);
    refresh_attention();
}

void create_record_key()
{
    pthread_key_create(&record_key, release_record);
}

void claim_record(ThreadRecord *rec)
{
    rec->seen_serial = __atomic_load_n(&shared.interrupt_serial, __ATOMIC_SEQ_CST);
    tv_store(&rec->tid, kernel_thread_id());
    __atomic_store_n(&rec->thread, static_cast<unsigned long>(pthread_self()), __ATOMIC_RELEASE);
}

ThreadRecord *register_this_thread()
{
    pthread_once(&record_key_once, create_record_key);
    pthread_mutex_lock(&registry_lock);
    ThreadRecord *rec = find_thread_record(static_cast<unsigned long>(pthread_self()));
    if (rec == nullptr) {
        for (ThreadRecord *r = shared.threads; r != nullptr && rec == nullptr; r = r->next) {
            if (r != &main_thread_record && tv_load(&r->tid) == 0)
                rec = r;
        }
        if (rec == nullptr) {
            rec = static_cast<ThreadRecord *>(calloc(1, sizeof(ThreadRecord)));
            if (rec == nullptr)
                fail("talvex malloc");
            rec->record = &rec->own;
            rec->next = shared.threads;
            // Filled before it is published: a handler that finds it
            // reads a whole entry.
            __atomic_store_n(&shared.threads, rec, __ATOMIC_RELEASE);
        }
        reset_record(rec);
        claim_record(rec);
        if (rec != &main_thread_record)
            pthread_setspecific(record_key, rec);
    }
    pthread_mutex_unlock(&registry_lock);
    // A stack overflow in this thread's regions is an exception too.
    setup_alt_stack();
    return rec;
}

// ---------------------------------------------------------------------
// fork
// ---------------------------------------------------------------------

// A forked child has only the thread that forked: it starts idle, except
// for that thread's own region and scopes, and that thread is its main one.
void after_fork_in_child()
{
    ThreadRecord *self = this_thread_record;
    if (self != nullptr && self->thread != static_cast<unsigned long>(pthread_self()))
        self = nullptr;
    for (ThreadRecord *rec = shared.threads; rec != nullptr; rec = rec->next) {
        if (rec == self)
            continue;
        // Its thread is not in the child: neither are its regions.
        tvstate_t *st = rec->record;
        tv_store(&st->sig_on_count, 0);
        tv_store(&st->pending_interrupt, 0);
        tv_store(&st->handler_active, 0);
        tv_store(&st->sigint_blocked, 0);
        tv_store(&rec->tid, 0);
        __atomic_store_n(&rec->thread, 0UL, __ATOMIC_RELEASE);
        reset_record(rec);
    }
    if (self == nullptr)
        self = &main_thread_record;
    this_thread_record = self;
    claim_record(self);
    __atomic_store_n(&shared.main_record, self, __ATOMIC_RELEASE);
    // The header finds the exported record by its thread only where that
    // thread is the one that forked: another thread's is its own.
    __atomic_store_n(&runtime.main_thread,
                     self->record == &tvstate ? static_cast<unsigned long>(pthread_self()) : 0UL,
                     __ATOMIC_RELEASE);
    tv_store(&self->record->pending_interrupt, 0);
    tv_store(&self->scope_signal, 0);
    for (int s = 0; s < kSignalSlots; s++)
        tv_store(&shared.owed_to_main[s], 0);
    tv_store(&shared.poll_census, 0);
    shared.main_thread = static_cast<unsigned long>(pthread_self());
    tv_store(&shared.main_thread_tid, kernel_thread_id());
    // The child's stack is the forking thread's: not checked against the
    // parent's main stack.
    shared.main_stack_low = shared.main_stack_high = 0;
    refresh_attention();
}

void lock_registry()
{
    pthread_mutex_lock(&registry_lock);
}

void unlock_registry()
{
    pthread_mutex_unlock(&registry_lock);
}

void child_after_fork()
{
    // A crash in the parent is not the child's: it starts as an ordinary
    // process.
    forget_crash_in_child();
    // The lock was held across the fork by the forking thread: made anew.
    pthread_mutex_init(&registry_lock, nullptr);
    // Walks of the parent's other threads are not in the child.
    tv_store(&attention_words.walkers, 0);
    after_fork_in_child();
}

pthread_once_t fork_handler_once = PTHREAD_ONCE_INIT;

void register_fork_handler()
{
    pthread_atfork(lock_registry, unlock_registry, child_after_fork);
}

// ---------------------------------------------------------------------
// Cooperative scopes and checks
// ---------------------------------------------------------------------

void cooperative_enter()
{
    ThreadRecord *rec = own_thread_record();
    __atomic_add_fetch(&rec->scopes, 1, __ATOMIC_SEQ_CST);
}

void cooperative_exit()
{
    ThreadRecord *rec = own_thread_record();
    // The thread's work ended: what waited for its scopes is over with it
    // (the main thread got its own share when the signal came). A fatal
    // signal the main thread's scope did not take is Python's again.
    if (__atomic_sub_fetch(&rec->scopes, 1, __ATOMIC_SEQ_CST) != 0)
        return;
    if (rec == __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE)) {
        for (int s : kFatalSignals) {
            if (__atomic_exchange_n(&shared.owed_to_main[s], 0, __ATOMIC_SEQ_CST) &&
                python_running())
                PyErr_SetInterruptEx(s);
        }
    }
    if (__atomic_exchange_n(&rec->scope_signal, 0, __ATOMIC_SEQ_CST) != 0)
        refresh_attention();
}

// Called in the main thread: its record holds a region that is not known
// to be another thread's.
bool region_of_main_thread(const ThreadRecord *main)
{
    MainRegion region = main_thread_region(main, current_stack_pointer());
    return region != MainRegion::none && region != MainRegion::another_threads;
}

// The interrupt a check in the calling thread takes, or 0: the main thread
// takes its own share (and a signal the program claimed, whose handler runs
// there), another thread what was marked for its scopes, or an interrupt
// sent to the whole process that its checks have not taken yet, while the
// main thread has not: in a region or a scope, or while this thread holds
// the interpreter lock (the main thread then cannot take it first). Without
// those a worker's poll takes none: `missed` says when one was sent since
// the thread last looked, or the census (see interrupt()) asks.
int take_for_check(ThreadRecord *rec, bool fresh, bool *missed)
{
    tvstate_t *st = rec->record;
    int sig = 0;
    *missed = false;
    bool main = rec == __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE);
    if (tv_load(&st->sigint_blocked) && (main ? region_of_main_thread(rec)
                                              : tv_load(&st->sig_on_count) > 0))
        return 0;  // a shielded region delivers its own when the shield lifts
    if (main) {
        for (int s : kOwedSignals) {
            // Read first: the exchange, a locked instruction, only where one waits.
            if (sig == 0 && tv_load(&shared.owed_to_main[s]) &&
                __atomic_exchange_n(&shared.owed_to_main[s], 0, __ATOMIC_SEQ_CST))
                sig = s;
        }
        if (sig == 0)
            sig = claim_pending(st);
    } else {
        unsigned int serial = __atomic_load_n(&shared.interrupt_serial, __ATOMIC_SEQ_CST);
        bool covered = tv_load(&st->sig_on_count) > 0 || tv_load(&rec->scopes) > 0;
        bool holds_lock = PyGILState_Check();
        bool unseen = fresh || rec->seen_serial != serial;
        sig = __atomic_exchange_n(&rec->scope_signal, 0, __ATOMIC_SEQ_CST);
        if (sig == 0 && unseen && (covered || holds_lock))
            sig = tv_load(&main_state()->pending_interrupt);
        *missed = !covered && !holds_lock &&
                  (rec->seen_serial != serial || tv_load(&shared.poll_census));
        if (sig != 0)
            rec->seen_serial = serial;
    }
    return sig == SIGTERM ? SIGHUP : sig;
}

// A thread whose first check this is takes an interrupt still waiting for
// the main thread: it may have started its loop before the signal came.
// A check that takes nothing once the main thread took its share ends the
// census.
int take_for_this_thread(ThreadRecord **rec, bool *missed)
{
    bool fresh = existing_thread_record() == nullptr;
    *rec = own_thread_record();
    int sig = take_for_check(*rec, fresh, missed);
    if (sig == 0 && tv_load(&main_state()->pending_interrupt) == 0)
        tv_store(&shared.poll_census, 0);
    refresh_attention();
    return sig;
}

// The module a poll came from, by the address it returns to: its name in
// sys.modules, else its file, else "?" (a new reference, or null).
PyObject *module_of(void *caller)
{
    Dl_info where;
    if (dladdr(caller, &where) == 0 || where.dli_fname == nullptr)
        return PyUnicode_FromString("?");
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    PyObject *key, *module;
    Py_ssize_t i = 0;
    while (PyDict_Next(modules, &i, &key, &module)) {
        if (!PyModule_Check(module))
            continue;
        Ref file(PyModule_GetFilenameObject(module));
        Ref encoded(file ? PyUnicode_EncodeFSDefault(file.get()) : nullptr);
        if (encoded && strcmp(PyBytes_AS_STRING(encoded.get()), where.dli_fname) == 0) {
            PyErr_Clear();
            return Py_NewRef(key);
        }
        PyErr_Clear();
    }
    return PyUnicode_DecodeFSDefault(where.dli_fname);
}

// The first poll in a worker, outside regions and scopes, that takes no
// part of an interrupt sent to the process says so, once, with a
// RuntimeWarning that names the module and the fix. Returns false with the
// warning set as an exception (warnings turned into errors) for a caller
// that can raise it; `raise` false reports it as unraisable instead.
bool warn_missed_poll(void *caller, const char *poll, bool raise)
{
    // Nothing is shown once the interpreter is finalising.
    if (tv_load(&shared.polls_warned) || !python_running() ||
        __atomic_exchange_n(&shared.polls_warned, 1, __ATOMIC_SEQ_CST) != 0)
        return true;
    PyGILState_STATE gil = PyGILState_Ensure();
    bool ok = false;
    Ref module(module_of(caller));
    if (module) {
        ok = PyErr_WarnFormat(
                 PyExc_RuntimeWarning, 1,
                 "talvex: %s in a thread other than the main one, outside a protected region "
                 "and a cooperative scope, takes no interrupt sent to the process (module %U): "
                 "put the thread's loop inside sig_on() ... sig_off(), or poll with "
                 "talvex::check() inside a talvex::cooperative scope",
                 poll, module.get()) == 0;
    }
    if (!ok && !raise)
        PyErr_WriteUnraisable(nullptr);
    PyGILState_Release(gil);
    return ok || !raise;
}

int cooperative_claim()
{
    void *caller = __builtin_return_address(0);
    ThreadRecord *rec;
    bool missed;
    int sig = take_for_this_thread(&rec, &missed);
    if (missed)
        warn_missed_poll(caller, "talvex::check()", false);
    return sig;
}

tvstate_t *thread_state()
{
    return own_thread_record()->record;
}

void register_unloadable_attention(int *word)
{
    pthread_mutex_lock(&registry_lock);
    int n = attention_words.count;
    int free_slot = -1;
    bool known = false;
    for (int i = 0; i < n; i++) {
        int *w = __atomic_load_n(&attention_words.words[i], __ATOMIC_SEQ_CST);
        known = known || w == word;
        if (w == nullptr && free_slot < 0)
            free_slot = i;
    }
    if (!known && free_slot >= 0) {
        __atomic_store_n(&attention_words.words[free_slot], word, __ATOMIC_SEQ_CST);
    } else if (!known && n < kMaxAttentionWords) {
        __atomic_store_n(&attention_words.words[n], word, __ATOMIC_SEQ_CST);
        // A handler that sees the new count finds the word.
        __atomic_store_n(&attention_words.count, n + 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&registry_lock);
    refresh_attention();
}

// A module built before its header unregistered its word stays loaded: a
// dlclose() would otherwise leave the runtime writing into memory that is
// gone, or that another library took.
void register_attention(int *word)
{
    Dl_info object;
    if (dladdr(word, &object) != 0 && object.dli_fname != nullptr)
        dlopen(object.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    register_unloadable_attention(word);
}

void unregister_attention(int *word)
{
    pthread_mutex_lock(&registry_lock);
    int n = attention_words.count;
    for (int i = 0; i < n; i++) {
        if (__atomic_load_n(&attention_words.words[i], __ATOMIC_SEQ_CST) == word)
            __atomic_store_n(&attention_words.words[i], nullptr, __ATOMIC_SEQ_CST);
    }
    pthread_mutex_unlock(&registry_lock);
    // A walk that began before the slot was emptied may still hold the
    // word: it ends in a few instructions (no jump leaves one half-way).
    while (tv_load(&attention_words.walkers) != 0)
        sched_yield();
}

// A thread that the finalising interpreter ends by a forced unwind while
// an exception is on its way out would end the process by std::terminate:
// it waits for the process's end instead, as CPython itself makes daemon
// threads wait from 3.14 on. Signals go to the threads that still run.
void park_if_finalizing()
{
    if (finalizing())
        park_thread();
}

int poll()
{
    void *caller = __builtin_return_address(0);
    ThreadRecord *rec;
    bool missed;
    int sig = take_for_this_thread(&rec, &missed);
    if (missed && !warn_missed_poll(caller, "sig_check()", true))
        return 0;
    if (sig == 0)
        return 1;
    // A check inside this thread's own region ends it (not a region that a
    // module opened by hand on the exported record in another thread).
    bool main = rec == __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE);
    if (main ? region_of_main_thread(rec) : tv_load(&rec->record->sig_on_count) > 0)
        tv_store(&rec->record->sig_on_count, 0);
    deliver(sig, rec->record->message, nullptr, true);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------
// Installation
// ---------------------------------------------------------------------

void setup_alt_stack()
{
    pthread_once(&alt_stack_key_once, create_alt_stack_key);
    // A thread that set up an alternate stack of its own (a language
    // runtime does) keeps it where it is large enough: its own SA_ONSTACK
    // handlers go on running there, and so does talvex's.
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
        current.ss_sp != thread_alt_stack && current.ss_size >= kAltStackSize)
        return;
    bool initialising_thread = pthread_equal(pthread_self(),
                                             static_cast<pthread_t>(shared.main_thread));
    void *block = thread_alt_stack;
    if (block == nullptr) {
        block = map_alt_stack();
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
    for (int s = 0; s < kSignalSlots; s++)
        tv_store(&shared.owed_to_main[s], 0);
    enter_main_thread_record(plan.main_thread, plan.main_thread_tid);

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
    refresh_attention();
}

void learn_main_stack()
{
    pthread_attr_t attr;
    void *base;
    size_t size;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    if (pthread_attr_getstack(&attr, &base, &size) == 0) {
        shared.main_stack_low = reinterpret_cast<uintptr_t>(base);
        shared.main_stack_high = reinterpret_cast<uintptr_t>(base) + size;
    }
    pthread_attr_destroy(&attr);
}

void reinstall_handler(int sig)
{
    // Blocked meanwhile, so that no interrupt meets the interpreter's own
    // handler between its installation and this one.
    take_signal(sig);
}

void learn_faulthandler_handler()
{
    struct sigaction current;
    if (sigaction(SIGSEGV, nullptr, &current) == 0 && is_foreign_handler(current))
        __atomic_store_n(&shared.faulthandler_code, handler_code(current), __ATOMIC_RELEASE);
}

void reclaim_fatal_handlers(bool faulthandler_off)
{
    for (int sig : kHandledSignals) {
        if (is_interrupt_signal(sig))
            continue;
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) != 0)
            continue;
        if (!is_real_handler(current) && current.sa_handler == SIG_IGN)
            continue;  // the program ignores it
        if (!is_talvex_handler(current)) {
            struct sigaction sa = talvex_action(sig);
            if (sigaction(sig, &sa, nullptr) != 0)
                continue;
            // What faulthandler's disable() put back is what lay beneath it.
            if (is_foreign_handler(current))
                set_chain(sig, current);
        }
        if (faulthandler_off && !is_faulthandler(current))
            set_slot(kChainFaulthandler, sig, nullptr);
    }
}

// ---------------------------------------------------------------------
// Claims and recovery
// ---------------------------------------------------------------------

void enter_main_thread_record(unsigned long thread, int tid)
{
    pthread_mutex_lock(&registry_lock);
    ThreadRecord *rec = &main_thread_record;
    rec->record = &tvstate;
    reset_record(rec);
    tv_store(&rec->tid, tid);
    __atomic_store_n(&rec->thread, thread, __ATOMIC_RELEASE);
    if (!main_record_listed) {
        rec->next = shared.threads;
        __atomic_store_n(&shared.threads, rec, __ATOMIC_RELEASE);
        main_record_listed = true;
    }
    __atomic_store_n(&shared.main_record, rec, __ATOMIC_RELEASE);
    // From now on the header finds the main thread's record by its thread.
    __atomic_store_n(&runtime.main_thread, thread, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&registry_lock);
    if (pthread_equal(pthread_self(), static_cast<pthread_t>(thread))) {
        this_thread_record = rec;
        learn_main_stack();
    }
}

// The main thread's entry, found by its thread alone: the main thread's
// regions and checks take no thread-local lookup. Null in other threads.
ThreadRecord *main_thread_entry(unsigned long self)
{
    return self == __atomic_load_n(&runtime.main_thread, __ATOMIC_ACQUIRE) ? &main_thread_record
                                                                           : nullptr;
}

ThreadRecord *own_thread_record()
{
    unsigned long self = static_cast<unsigned long>(pthread_self());
    if (ThreadRecord *main = main_thread_entry(self))
        return main;
    ThreadRecord *rec = this_thread_record;
    if (rec != nullptr && __atomic_load_n(&rec->thread, __ATOMIC_ACQUIRE) == self)
        return rec;
    rec = register_this_thread();
    this_thread_record = rec;
    return rec;
}

ThreadRecord *existing_thread_record()
{
    unsigned long self = static_cast<unsigned long>(pthread_self());
    if (ThreadRecord *main = main_thread_entry(self))
        return main;
    ThreadRecord *rec = this_thread_record;
    if (rec != nullptr && __atomic_load_n(&rec->thread, __ATOMIC_ACQUIRE) == self)
        return rec;
    return find_thread_record(self);
}

void refresh_attention()
{
    // A walk over the words that a jump abandoned would keep a module's
    // unloading waiting for ever: inside the calling thread's own region
    // (a check there), the interrupts wait until the walks are over.
    ThreadRecord *self = existing_thread_record();
    bool in_region = self != nullptr && tv_load(&self->record->sig_on_count) > 0;
    sigset_t interrupts = interrupt_set(), previous;
    if (in_region)
        pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
    // Cleared, then looked at again: a handler marks first and raises the
    // words after, so whatever it marks after the look raises them again.
    set_attention(0);
    bool waiting = tv_load(&main_state()->pending_interrupt) != 0 ||
                   tv_load(&shared.poll_census) != 0;
    for (int s : kOwedSignals)
        waiting = waiting || tv_load(&shared.owed_to_main[s]) != 0;
    for (ThreadRecord *rec = __atomic_load_n(&shared.threads, __ATOMIC_ACQUIRE);
         rec != nullptr && !waiting; rec = rec->next)
        waiting = tv_load(&rec->scope_signal) != 0;
    if (waiting)
        set_attention(1);
    if (in_region)
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

int claim_pending(tvstate_t *record)
{
    int sig = __atomic_exchange_n(&record->pending_interrupt, 0, __ATOMIC_SEQ_CST);
    custom_set_pending_signal(0);
    // One that arrived meanwhile is announced again.
    int again = tv_load(&record->pending_interrupt);
    if (again != 0)
        custom_set_pending_signal(again);
    return sig;
}

void recover(ThreadRecord *rec)
{
    // A field already 0 is left alone: each store is a locked instruction,
    // and nothing but this thread sets these (the count is 0 before any is
    // read, so no handler jumps any more).
    tvstate_t *st = rec->record;
    if (tv_load(&st->sigint_blocked) != 0)
        tv_store(&st->sigint_blocked, 0);
    for (int i = 0; i < __atomic_load_n(&custom_hooks.count, __ATOMIC_ACQUIRE); i++)
        custom_hooks.unblock[i]();
    tv_store(&st->sig_on_count, 0);
    int landed = tv_load(&rec->landed);
    if (landed != 0)
        tv_store(&rec->landed, 0);
    // The interrupt that ended the region is taken, and one recorded
    // meanwhile merges with it, except a hang-up that did not end it (one
    // recorded while the region was shielded, or for the main thread since
    // the jump): it is still owed, and Python is alerted to take it. One
    // recorded after the look is the next region's, as one recorded after
    // the exchange would be.
    int current = tv_load(&st->pending_interrupt);
    for (;;) {
        if (landed != 0 && current != landed && (current == SIGHUP || current == SIGTERM)) {
            if (python_running())
                PyErr_SetInterruptEx(SIGHUP);
            break;
        }
        if (current == 0 ||
            __atomic_compare_exchange_n(&st->pending_interrupt, &current, 0, false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            custom_set_pending_signal(0);
            break;
        }
    }
    // Back to the mask the thread had where the signal struck.
    sigprocmask(SIG_SETMASK, landed != 0 ? &rec->landing_mask : &shared.default_sigmask, nullptr);
    // Cleared last: until here a fault counts as one during signal handling.
    if (tv_load(&st->handler_active) != 0)
        tv_store(&st->handler_active, 0);
    // What waited may have been this record's; nothing to lower otherwise,
    // nor while the census keeps the words raised.
    if (tv_load(&runtime.attention) != 0 && !tv_load(&shared.poll_census))
        refresh_attention();
}

#ifdef Py_GIL_DISABLED
pthread_mutex_t object_lock = PTHREAD_MUTEX_INITIALIZER;
#endif

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

namespace talvex {
namespace {

// The record whose region a jump in this thread ended: this thread's, or
// the exported one where a module that uses it by hand opened its region in
// this thread. Null when nothing landed here.
ThreadRecord *landing_record()
{
    ThreadRecord *rec = existing_thread_record();
    if (rec != nullptr && tv_load(&rec->landed))
        return rec;
    ThreadRecord *main = __atomic_load_n(&shared.main_record, __ATOMIC_ACQUIRE);
    if (main != nullptr && main != rec && tv_load(&main->landed) &&
        __atomic_load_n(&main->lander, __ATOMIC_RELAXED) ==
            static_cast<unsigned long>(pthread_self()))
        return main;
    return nullptr;
}

int landed_signal()
{
    ThreadRecord *rec = landing_record();
    return rec != nullptr ? tv_load(&rec->landed) : 0;
}

}  // namespace
}  // namespace talvex

extern "C" void _sig_on_recover(void)
{
    ThreadRecord *rec = landing_record();
    if (rec == nullptr)
        rec = own_thread_record();
    // Already done before the program's own handler ran for the signal.
    if (tv_load(&rec->recovered_early) != 0 &&
        __atomic_exchange_n(&rec->recovered_early, 0, __ATOMIC_SEQ_CST) != 0)
        return;
    recover(rec);
}

namespace {

// The record a client's region in this thread uses: the thread's own, or,
// for a module that uses the exported record by hand in a thread without
// one of its own, the exported record.
tvstate_t *callers_record()
{
    ThreadRecord *rec = existing_thread_record();
    return rec != nullptr ? rec->record : &tvstate;
}

}  // namespace

extern "C" void _sig_on_interrupt_received(void)
{
    tvstate_t *st = callers_record();
    // One atomic exchange claims it: an interrupt that arrives meanwhile,
    // in any thread, is recorded afresh rather than lost.
    int sig = claim_pending(st);
    // This thread's region (or a check inside it) is over.
    tv_store(&st->sig_on_count, 0);
    refresh_attention();
    deliver(sig, st->message, nullptr, true);
}

extern "C" void _do_raise_exception(int sig)
{
    deliver(sig, callers_record()->message, nullptr, true);
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
    int waiting = tv_load(&main_state()->pending_interrupt);
    if (waiting != 0 && python_running())
        PyErr_SetInterruptEx(waiting == SIGTERM ? SIGHUP : waiting);
    PyErr_SetRaisedException(earlier);
    PyGILState_Release(gil);
}

extern "C" void print_backtrace(void) {}
