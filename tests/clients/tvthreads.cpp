/*
 * tvthreads: a talvex client for the tests of threads, fork and cooperative
 * scopes. Compiled on its own against <talvex/state.h> only, as a user's
 * module would be.
 *
 * Python-level signal handlers run only where the main thread checks for
 * signals, and an exception they raise can surface at any bytecode. The
 * functions here that the main thread waits in therefore run the pending
 * handlers themselves (PyErr_CheckSignals, until none is left) and return
 * what they raised as a list of exception names, so that a scenario counts
 * every exception exactly once.
 */
#define PY_SSIZE_T_CLEAN
#include <talvex/state.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void nap(long ns)
{
    struct timespec ts = {ns / 1000000000L, ns % 1000000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
        continue;
}

volatile unsigned long spin_sink;

void spin(double seconds)
{
    double end = now() + seconds;
    while (now() < end)
        spin_sink++;
}

int load(const int *p)
{
    return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}

void store(int *p, int v)
{
    __atomic_store_n(p, v, __ATOMIC_SEQ_CST);
}

// ---------------------------------------------------------------------
// Exceptions as names
// ---------------------------------------------------------------------

// Takes the exception that is set (lock held): its class name, or null
// when none is set or the name cannot be had.
PyObject *take_exception_name()
{
    PyObject *exc = PyErr_GetRaisedException();
    if (exc == nullptr)
        return nullptr;
    PyObject *name = PyType_GetName(Py_TYPE(exc));
    Py_DECREF(exc);
    return name;
}

// Moves the exception that is set into `events` as its class name.
bool take_exception(PyObject *events)
{
    if (!PyErr_Occurred())
        return true;
    PyObject *name = take_exception_name();
    if (name == nullptr)
        return false;
    int rc = PyList_Append(events, name);
    Py_DECREF(name);
    return rc == 0;
}

// Runs the pending Python-level handlers (main thread, lock held) until
// none raises any more.
bool drain(PyObject *events)
{
    for (int i = 0; i < 64; i++) {
        if (PyErr_CheckSignals() == 0)
            return true;
        if (!take_exception(events))
            return false;
    }
    PyErr_SetString(PyExc_RuntimeError, "tvthreads: handlers keep raising");
    return false;
}

PyObject *finish(PyObject *events)
{
    if (!drain(events)) {
        Py_DECREF(events);
        return nullptr;
    }
    return events;
}

// ---------------------------------------------------------------------
// Mailboxes: the scenario's driver hands commands to the main thread and to
// a worker, and waits until each is done.
// ---------------------------------------------------------------------

struct Mailbox {
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
    char command[32] = {};
    long posted = 0;
    long taken = 0;
    long done = 0;
    std::vector<std::string> events;  // the worker's, read by the driver
};

constexpr int kBoxes = 3;
Mailbox boxes[kBoxes];  // 0: the main thread, 1 and 2: workers

Mailbox *box_arg(int which)
{
    if (which < 0 || which >= kBoxes) {
        PyErr_SetString(PyExc_ValueError, "tvthreads: no such mailbox");
        return nullptr;
    }
    return &boxes[which];
}

// Waits (without the lock) for the next command; returns it.
std::string take_command(Mailbox &b)
{
    pthread_mutex_lock(&b.mu);
    while (b.taken == b.posted)
        pthread_cond_wait(&b.cv, &b.mu);
    b.taken++;
    std::string cmd(b.command);
    pthread_mutex_unlock(&b.mu);
    return cmd;
}

void mark_done(Mailbox &b, const char *event = nullptr)
{
    pthread_mutex_lock(&b.mu);
    if (event != nullptr)
        b.events.emplace_back(event);
    b.done = b.taken;
    pthread_cond_broadcast(&b.cv);
    pthread_mutex_unlock(&b.mu);
}

void add_event(Mailbox &b, const std::string &event)
{
    pthread_mutex_lock(&b.mu);
    b.events.push_back(event);
    pthread_mutex_unlock(&b.mu);
}

void post_command(Mailbox &b, const char *cmd)
{
    pthread_mutex_lock(&b.mu);
    snprintf(b.command, sizeof(b.command), "%s", cmd);
    b.posted++;
    pthread_cond_broadcast(&b.cv);
    pthread_mutex_unlock(&b.mu);
}

// post(box, command): hand over a command.
PyObject *post(PyObject *, PyObject *args)
{
    int which;
    const char *cmd;
    if (!PyArg_ParseTuple(args, "is", &which, &cmd))
        return nullptr;
    Mailbox *b = box_arg(which);
    if (b == nullptr)
        return nullptr;
    post_command(*b, cmd);
    Py_RETURN_NONE;
}

int region_open;  // hold_region(): 1 while its region is open

// Waits without the lock until every command posted to `b` is done (or,
// with `or_region`, the main thread has opened its region).
bool wait_for(Mailbox &b, double timeout, bool or_region)
{
    bool ok;
    Py_BEGIN_ALLOW_THREADS
    double end = now() + timeout;
    pthread_mutex_lock(&b.mu);
    for (;;) {
        ok = b.done == b.posted || (or_region && load(&region_open));
        if (ok || now() > end)
            break;
        pthread_mutex_unlock(&b.mu);
        nap(200000);
        pthread_mutex_lock(&b.mu);
    }
    pthread_mutex_unlock(&b.mu);
    Py_END_ALLOW_THREADS
    return ok;
}

PyObject *done_and_events(bool ok)
{
    PyObject *events = PyList_New(0);
    if (events == nullptr || !drain(events)) {
        Py_XDECREF(events);
        return nullptr;
    }
    return Py_BuildValue("(NN)", PyBool_FromLong(ok), events);
}

// wait_done(box, timeout, or_region=False) -> (done, events): waits until
// every command posted to the box is done (with `or_region`, or until the
// main thread has opened its region), then runs the pending handlers if
// this is the main thread.
PyObject *wait_done(PyObject *, PyObject *args)
{
    int which, or_region = 0;
    double timeout;
    if (!PyArg_ParseTuple(args, "id|p", &which, &timeout, &or_region))
        return nullptr;
    Mailbox *b = box_arg(which);
    if (b == nullptr)
        return nullptr;
    return done_and_events(wait_for(*b, timeout, or_region));
}

// command(box, command, timeout=10) -> (done, events): post, then
// wait_done, with no Python code in between where a handler could raise.
PyObject *command(PyObject *, PyObject *args)
{
    int which;
    const char *cmd;
    double timeout = 10;
    if (!PyArg_ParseTuple(args, "is|d", &which, &cmd, &timeout))
        return nullptr;
    Mailbox *b = box_arg(which);
    if (b == nullptr)
        return nullptr;
    post_command(*b, cmd);
    return done_and_events(wait_for(*b, timeout, false));
}

// park() -> (command, events): the main thread marks its last command done,
// waits without the lock for the next, then runs the pending handlers.
PyObject *park(PyObject *, PyObject *)
{
    std::string cmd;
    Py_BEGIN_ALLOW_THREADS
    mark_done(boxes[0]);
    cmd = take_command(boxes[0]);
    Py_END_ALLOW_THREADS
    PyObject *events = PyList_New(0);
    if (events == nullptr || !drain(events)) {
        Py_XDECREF(events);
        return nullptr;
    }
    return Py_BuildValue("(sN)", cmd.c_str(), events);
}

// A new list of the strings, or null with an exception set.
PyObject *string_list(const std::vector<std::string> &strings)
{
    PyObject *list = PyList_New(0);
    for (const std::string &e : strings) {
        PyObject *s = list ? PyUnicode_FromString(e.c_str()) : nullptr;
        if (s == nullptr || PyList_Append(list, s) < 0) {
            Py_XDECREF(s);
            Py_XDECREF(list);
            return nullptr;
        }
        Py_DECREF(s);
    }
    return list;
}

// take_events(box) -> list of what the worker recorded since the last call.
PyObject *take_events(PyObject *, PyObject *args)
{
    int which;
    if (!PyArg_ParseTuple(args, "i", &which))
        return nullptr;
    Mailbox *b = box_arg(which);
    if (b == nullptr)
        return nullptr;
    pthread_mutex_lock(&b->mu);
    std::vector<std::string> events;
    events.swap(b->events);
    pthread_mutex_unlock(&b->mu);
    return string_list(events);
}

// ---------------------------------------------------------------------
// A classic region held open without the interpreter lock
// ---------------------------------------------------------------------

int region_release;

// hold_region(timeout=-1) -> events: a region without the lock, open until
// release_region() (or `timeout` seconds); events: the exception that ended
// it or made it fail, then what the pending handlers raise.
PyObject *hold_region(PyObject *, PyObject *args)
{
    double timeout = -1;
    if (!PyArg_ParseTuple(args, "|d", &timeout))
        return nullptr;
    PyObject *events = PyList_New(0);
    if (events == nullptr)
        return nullptr;
    store(&region_release, 0);
    PyThreadState *saved = PyEval_SaveThread();
    volatile bool entered = false;
    if (sig_on()) {
        entered = true;
        store(&region_open, 1);
        double end = timeout < 0 ? 0 : now() + timeout;
        while (!load(&region_release) && (timeout < 0 || now() < end))
            spin_sink++;
        store(&region_open, 0);
        sig_off();
    }
    store(&region_open, 0);
    PyEval_RestoreThread(saved);
    (void)entered;
    if (PyErr_Occurred() && !take_exception(events)) {
        Py_DECREF(events);
        return nullptr;
    }
    return finish(events);
}

PyObject *release_region(PyObject *, PyObject *)
{
    store(&region_release, 1);
    Py_RETURN_NONE;
}

PyObject *in_region(PyObject *, PyObject *)
{
    return PyBool_FromLong(load(&region_open));
}

// release_when_recorded(timeout, marker=None) -> (bool, events): without
// the lock and without any signal check, writes `marker` (a line) to
// standard output, waits until an interrupt is recorded in the record, then
// ends hold_region()'s region and waits until it is closed; then runs the
// pending handlers. False if the interrupt never came.
PyObject *release_when_recorded(PyObject *, PyObject *args)
{
    double timeout;
    const char *marker = nullptr;
    if (!PyArg_ParseTuple(args, "d|z", &timeout, &marker))
        return nullptr;
    bool recorded = false;
    Py_BEGIN_ALLOW_THREADS
    if (marker != nullptr) {
        std::string line = std::string(marker) + "\n";
        if (write(1, line.data(), line.size()) < 0)
            spin_sink++;
    }
    double end = now() + timeout;
    while (!(recorded = load(&talvex_api.state->pending_interrupt) != 0) && now() < end)
        nap(100000);
    store(&region_release, 1);
    while (load(&region_open) && now() < end)
        nap(100000);
    Py_END_ALLOW_THREADS
    return done_and_events(recorded);
}

// sig_check_events() -> events: sig_check() in the calling thread, then (in
// the main thread) the pending handlers.
PyObject *sig_check_events(PyObject *, PyObject *)
{
    PyObject *events = PyList_New(0);
    if (events == nullptr)
        return nullptr;
    if (!sig_check() && !take_exception(events)) {
        Py_DECREF(events);
        return nullptr;
    }
    return finish(events);
}

int idling;  // idle(): 1 while it waits
int wake_flag;

// idle(seconds) -> events: waits without the lock and without looking at
// signals, for `seconds` or until wake() is called, then runs the pending
// handlers.
PyObject *idle(PyObject *, PyObject *args)
{
    double seconds;
    if (!PyArg_ParseTuple(args, "d", &seconds))
        return nullptr;
    Py_BEGIN_ALLOW_THREADS
    double end = now() + seconds;
    store(&idling, 1);
    while (!__atomic_exchange_n(&wake_flag, 0, __ATOMIC_SEQ_CST) && now() < end)
        nap(500000);
    store(&idling, 0);
    Py_END_ALLOW_THREADS
    PyObject *events = PyList_New(0);
    return events ? finish(events) : nullptr;
}

PyObject *is_idle(PyObject *, PyObject *)
{
    return PyBool_FromLong(load(&idling));
}

PyObject *wake(PyObject *, PyObject *)
{
    store(&wake_flag, 1);
    Py_RETURN_NONE;
}

// send(sig, thread=0) -> events: sends `sig` to the process, or to the
// thread with that identifier (threading.get_ident()), then runs the
// pending handlers: a signal this thread takes is counted here, not at
// whatever bytecode would run next.
PyObject *send(PyObject *, PyObject *args)
{
    int sig;
    unsigned long thread = 0;
    if (!PyArg_ParseTuple(args, "i|k", &sig, &thread))
        return nullptr;
    int rc = thread == 0 ? kill(getpid(), sig) : pthread_kill(static_cast<pthread_t>(thread), sig);
    if (rc != 0) {
        errno = thread == 0 ? errno : rc;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    PyObject *events = PyList_New(0);
    return events ? finish(events) : nullptr;
}

// drain_events() -> events: just the pending handlers.
PyObject *drain_events(PyObject *, PyObject *)
{
    PyObject *events = PyList_New(0);
    return events ? finish(events) : nullptr;
}

// shielded_fault(sig) -> events: a region shields itself, takes `sig`
// (only recorded, being shielded), then faults; then the pending handlers.
PyObject *shielded_fault(PyObject *, PyObject *args)
{
    int sig;
    if (!PyArg_ParseTuple(args, "i", &sig))
        return nullptr;
    PyObject *events = PyList_New(0);
    if (events == nullptr)
        return nullptr;
    if (sig_on()) {
        sig_block();
        raise(sig);
        *static_cast<volatile int *>(nullptr) = 1;
        sig_off();
    }
    if (!take_exception(events)) {
        Py_DECREF(events);
        return nullptr;
    }
    return finish(events);
}

// ---------------------------------------------------------------------
// The worker: cooperative scopes on command
// ---------------------------------------------------------------------

// The name of the Python exception an interrupt becomes in this thread, as
// a binding's translator would make it.
std::string translated(const talvex::interrupted &e)
{
    PyGILState_STATE gil = PyGILState_Ensure();
    talvex::set_python_error(e);
    PyObject *n = take_exception_name();
    const char *text = n != nullptr ? PyUnicode_AsUTF8(n) : nullptr;
    std::string name = text != nullptr ? text : "?";
    Py_XDECREF(n);
    PyErr_Clear();
    PyGILState_Release(gil);
    return name;
}

// Serves commands inside one open scope; returns when told to close it.
void scope_session(Mailbox &b)
{
    talvex::cooperative scope;
    mark_done(b);
    for (;;) {
        std::string cmd = take_command(b);
        if (cmd == "close")
            return;  // done once the scope has ended
        if (cmd == "poll")
            talvex::check();  // throws: the scope ends by unwinding
        mark_done(b);
    }
}

// worker_serve(box, translate=True): in a thread of its own; serves "open"
// (a scope, inside which "poll" runs talvex::check() and "close" ends it)
// until "quit". An interrupt a poll claims ends the scope and is recorded
// as its Python exception (translate) or as "interrupted:<signal>".
PyObject *worker_serve(PyObject *, PyObject *args)
{
    int which, translate = 1;
    if (!PyArg_ParseTuple(args, "i|p", &which, &translate))
        return nullptr;
    if (which == 0 || box_arg(which) == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "tvthreads: mailbox 0 is the main thread's");
        return nullptr;
    }
    Mailbox &b = boxes[which];
    Py_BEGIN_ALLOW_THREADS
    mark_done(b);
    for (;;) {
        std::string cmd = take_command(b);
        if (cmd == "quit")
            break;
        if (cmd == "open") {
            try {
                scope_session(b);
            } catch (const talvex::interrupted &e) {
                add_event(b, translate ? translated(e)
                                       : "interrupted:" + std::to_string(e.signal()));
            }
        }
        mark_done(b);
    }
    mark_done(b);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------
// fork inside a region
// ---------------------------------------------------------------------

// fork_in_region(kind) -> pid in the parent; in the child the region goes
// on and ends by `kind` ("segv": a fault; "alarm": a timer 20 ms ahead),
// raising its exception in the child. The region holds the lock, as a
// plain CPython function's would.
PyObject *fork_in_region(PyObject *, PyObject *args)
{
    const char *kind;
    if (!PyArg_ParseTuple(args, "s", &kind))
        return nullptr;
    bool segv = strcmp(kind, "segv") == 0;
    if (!segv && strcmp(kind, "alarm") != 0) {
        PyErr_SetString(PyExc_ValueError, "tvthreads: segv or alarm");
        return nullptr;
    }
    volatile pid_t pid = -1;
    if (!sig_on())
        return nullptr;
    PyOS_BeforeFork();
    pid = fork();
    if (pid == 0) {
        PyOS_AfterFork_Child();
        if (segv) {
            *static_cast<volatile int *>(nullptr) = 1;
        } else {
            struct itimerval it = {{0, 0}, {0, 20000}};
            setitimer(ITIMER_REAL, &it, nullptr);
            spin(5.0);
        }
        sig_off();
        PyErr_SetString(PyExc_AssertionError, "the region in the child was not ended");
        return nullptr;
    }
    PyOS_AfterFork_Parent();
    sig_off();
    if (pid < 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromLong(pid);
}

// ---------------------------------------------------------------------
// Signals from native threads
// ---------------------------------------------------------------------

struct Pair {
    int first, second;
    long gap_ns;
};

void *send_pair_body(void *p)
{
    Pair pair = *static_cast<Pair *>(p);
    free(p);
    kill(getpid(), pair.first);
    if (pair.gap_ns > 0)
        nap(pair.gap_ns);
    kill(getpid(), pair.second);
    return nullptr;
}

// Starts a detached thread with `init` as its mask (inherited).
bool start_thread(void *(*body)(void *), void *arg, const sigset_t &mask)
{
    sigset_t old;
    pthread_t t;
    pthread_sigmask(SIG_SETMASK, &mask, &old);
    int rc = pthread_create(&t, nullptr, body, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        errno = rc;
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    pthread_detach(t);
    return true;
}

// send_pair(first, second, gap_ns): a native thread, which blocks every
// signal itself, sends `first` to the process, sleeps `gap_ns` and sends
// `second`.
PyObject *send_pair(PyObject *, PyObject *args)
{
    Pair *p = static_cast<Pair *>(malloc(sizeof(Pair)));
    if (p == nullptr)
        return PyErr_NoMemory();
    if (!PyArg_ParseTuple(args, "iil", &p->first, &p->second, &p->gap_ns)) {
        free(p);
        return nullptr;
    }
    sigset_t all;
    sigfillset(&all);
    if (!start_thread(send_pair_body, p, all)) {
        free(p);
        return nullptr;
    }
    Py_RETURN_NONE;
}

void *bystander_body(void *)
{
    for (;;)
        pause();
    return nullptr;
}

// start_bystanders(n): n native threads that block nothing and only wait,
// so that a signal sent to the process may land in any of them.
PyObject *start_bystanders(PyObject *, PyObject *args)
{
    int n;
    if (!PyArg_ParseTuple(args, "i", &n))
        return nullptr;
    sigset_t none;
    sigemptyset(&none);
    for (int i = 0; i < n; i++) {
        if (!start_thread(bystander_body, nullptr, none))
            return nullptr;
    }
    Py_RETURN_NONE;
}

bool interrupt_pending_here()
{
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGINT) || sigismember(&pending, SIGHUP) ||
           sigismember(&pending, SIGALRM);
}

// One stretch of the main thread's work in `mode`, the exception it ended
// with (if any) and what the pending handlers raise recorded in `events`.
// "python": Python's own check; "region": a region; "sig_check":
// sig_check() in a loop; "cooperative": a scope polled with check().
bool work(const std::string &mode, PyObject *events)
{
    if (mode == "python") {
        spin(1e-6);
    } else if (mode == "region") {
        if (sig_on()) {
            spin(20e-6);
            sig_off();
        }
    } else if (mode == "sig_check") {
        for (int i = 0; i < 100 && sig_check(); i++)
            spin(1e-7);
    } else if (mode == "cooperative") {
        try {
            talvex::cooperative scope;
            for (int i = 0; i < 100; i++) {
                talvex::check();
                spin(1e-7);
            }
        } catch (const talvex::interrupted &e) {
            talvex::set_python_error(e);
        }
    } else {
        PyErr_SetString(PyExc_ValueError, "tvthreads: unknown mode");
        return false;
    }
    if (PyErr_Occurred() && !take_exception(events))
        return false;
    return drain(events);
}

// race(mode, first, second, gaps_ns) -> [events of each round]: for each
// gap, a native thread sends `first` and, that many nanoseconds later,
// `second` to the process, while the main thread works in `mode`; a round
// ends once an exception for `second` was seen and nothing is pending any
// more (plus 2 ms), or after 2 s.
PyObject *race(PyObject *, PyObject *args)
{
    const char *mode;
    int first, second;
    PyObject *gaps;
    if (!PyArg_ParseTuple(args, "siiO!", &mode, &first, &second, &PyList_Type, &gaps))
        return nullptr;
    const char *awaited = second == SIGHUP ? "SystemExit"
                          : second == SIGALRM ? "AlarmInterrupt" : "KeyboardInterrupt";
    PyObject *awaited_name = PyUnicode_FromString(awaited);
    PyObject *rounds = awaited_name ? PyList_New(0) : nullptr;
    if (rounds == nullptr) {
        Py_XDECREF(awaited_name);
        return nullptr;
    }
    std::string m(mode);
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(gaps); r++) {
        long gap = PyLong_AsLong(PyList_GET_ITEM(gaps, r));
        PyObject *events = PyList_New(0);
        if (events == nullptr || PyList_Append(rounds, events) < 0) {
            Py_XDECREF(events);
            Py_DECREF(rounds);
            Py_DECREF(awaited_name);
            return nullptr;
        }
        Py_DECREF(events);
        Pair *p = static_cast<Pair *>(malloc(sizeof(Pair)));
        if (p != nullptr)
            *p = {first, second, gap};
        sigset_t all;
        sigfillset(&all);
        if (p == nullptr || !start_thread(send_pair_body, p, all)) {
            free(p);
            Py_DECREF(rounds);
            Py_DECREF(awaited_name);
            return nullptr;
        }
        double give_up = now() + 2.0, quiet_since = 0;
        for (;;) {
            if (!work(m, events)) {
                Py_DECREF(rounds);
                Py_DECREF(awaited_name);
                return nullptr;
            }
            double t = now();
            bool seen = PySequence_Contains(events, awaited_name) == 1;
            if (seen && !interrupt_pending_here()) {
                if (quiet_since == 0)
                    quiet_since = t;
                if (t > quiet_since + 0.002)
                    break;
            } else {
                quiet_since = 0;
            }
            if (t > give_up)
                break;
        }
    }
    Py_DECREF(awaited_name);
    return rounds;
}

// ---------------------------------------------------------------------
// The storm: a native sender thread sends signals to the process and to
// chosen threads while four threads (the main one and three workers) open
// and close regions, nested or not, with the lock held or released, poll
// with sig_check() and in cooperative scopes, and (the main thread) run
// Python's own check, at random. Between bursts the sender parks the
// threads, waits until nothing is pending anywhere, and probes: one signal
// sent into threads held in known places must reach exactly the threads the
// rules name, each once.
// ---------------------------------------------------------------------

constexpr int kStormThreads = 4;  // 0 is the main thread
const int kStormSignals[] = {SIGINT, SIGALRM, SIGHUP};
constexpr int kNSignals = 3;

int signal_index(int sig)
{
    for (int i = 0; i < kNSignals; i++) {
        if (kStormSignals[i] == sig)
            return i;
    }
    return -1;
}

int exception_index(const char *name)
{
    static const char *const names[kNSignals] = {"KeyboardInterrupt", "AlarmInterrupt",
                                                 "SystemExit"};
    for (int i = 0; i < kNSignals; i++) {
        if (strcmp(name, names[i]) == 0)
            return i;
    }
    return -1;
}

// How an exception was taken: a region ended or refused; sig_check() or
// Python's own check; a cooperative scope's check(). Phase: during the
// random steps, or while parked and probed.
enum Via { kViaRegion, kViaCheck, kViaScope, kVias };
enum Phase { kPhaseStorm, kPhaseProbe, kPhases };

struct StormThread {
    unsigned long thread;
    int tid;
    int caught[kPhases][kVias][kNSignals];
    int steps;
    int bad;  // an exception no signal explains, a record or a mask left wrong
    char bad_text[200];
};

enum Command { kRun, kPark, kFlush, kProbe, kStop };
// Where a probe holds a thread: in a region, in a cooperative scope, in
// native code outside both, or (the main thread) running Python's check.
enum Role { kRoleRegion, kRoleScope, kRoleIdle, kRolePython };

struct Storm {
    StormThread threads[kStormThreads];
    int registered;
    // The sender's commands: each new one raises `generation`; each
    // thread acknowledges it in `acks` once done.
    int command, generation, acks;
    int roles[kStormThreads];
    int in_position, release;
    int sent_process[kNSignals];
    int sent_thread[kStormThreads][kNSignals];
    long total;
    int bursts, probes;
    unsigned long seed;
    std::vector<std::string> failures;
};
Storm storm;

uint64_t next_random(uint64_t *state)
{
    // splitmix64
    uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

sigset_t storm_interrupts()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : kStormSignals)
        sigaddset(&set, s);
    return set;
}

// One of the four threads, holding its thread state while it has the lock
// released.
struct Stormer {
    int index;
    StormThread &me;
    PyThreadState *ts;
    uint64_t rng;
    int phase;

    void lock() { PyEval_RestoreThread(ts); }
    void unlock() { ts = PyEval_SaveThread(); }

    void fault(const char *what)
    {
        if (__atomic_fetch_add(&me.bad, 1, __ATOMIC_SEQ_CST) == 0)
            snprintf(me.bad_text, sizeof(me.bad_text), "%s", what);
    }

    void count(Via via, int index_of_signal, const char *what)
    {
        if (index_of_signal < 0)
            fault(what);
        else
            __atomic_add_fetch(&me.caught[phase][via][index_of_signal], 1, __ATOMIC_SEQ_CST);
    }

    // Takes the exception that is set (lock held).
    void take(Via via)
    {
        PyObject *name = take_exception_name();
        if (name == nullptr) {
            PyErr_Clear();
            fault("a check failed with no exception set");
            return;
        }
        const char *text = PyUnicode_AsUTF8(name);
        std::string what = std::string("unexpected ") + (text ? text : "?");
        count(via, text ? exception_index(text) : -1, what.c_str());
        Py_DECREF(name);
        PyErr_Clear();
    }

    // Python's own check in the main thread: the pending handlers (lock held).
    void drain_python()
    {
        for (int i = 0; i < 64 && PyErr_CheckSignals() != 0; i++)
            take(kViaCheck);
    }

    void region(double t, int depth, bool hold)
    {
        if (hold)
            lock();
        bool entered = sig_on();
        if (entered) {
            for (int d = 1; d < depth; d++)
                (void)sig_on();  // nested: only counts
            spin(t);
            for (int d = 1; d < depth; d++)
                sig_off();
            sig_off();
        }
        if (!entered) {
            if (!hold)
                lock();
            take(kViaRegion);
        }
        if (hold || !entered)
            unlock();
    }

    void check_loop(double t)
    {
        double end = now() + t;
        do {
            if (!sig_check()) {
                lock();
                take(kViaCheck);
                unlock();
                return;
            }
            spin(1e-6);
        } while (now() < end);
    }

    void scope_loop(double t)
    {
        try {
            talvex::cooperative scope;
            double end = now() + t;
            do {
                talvex::check();
                spin(1e-6);
            } while (now() < end);
        } catch (const talvex::interrupted &e) {
            count(kViaScope, signal_index(e.signal()), "a scope threw an unknown signal");
        }
    }

    void python_check()
    {
        lock();
        drain_python();
        unlock();
    }

    // The thread's own state between steps: the interrupts unblocked (a
    // jump restores the mask), and no region left open or, in a worker,
    // anything left pending in its record.
    void verify(bool blocked)
    {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        for (int s : kStormSignals) {
            if (sigismember(&mask, s) != (blocked ? 1 : 0))
                fault(blocked ? "an interrupt unblocked while parked"
                              : "an interrupt left blocked after a step");
        }
        const tvstate_t *st = talvex_thread_state;
        if (st != nullptr && (tv_load(&st->sig_on_count) != 0 ||
                              (index != 0 && tv_load(&st->pending_interrupt) != 0)))
            fault("the thread's record is not idle");
    }

    void random_step()
    {
        uint64_t r = next_random(&rng);
        double t = static_cast<double>((r >> 8) % 200) * 1e-6;
        switch (r % 16) {
        case 0: case 1: case 2: case 3:
            region(t, 1, false);
            break;
        case 4: case 5:
            region(t, 2 + static_cast<int>((r >> 20) % 2), false);
            break;
        case 6: case 7:
            region(t, 1 + static_cast<int>((r >> 20) % 2), true);
            break;
        case 8: case 9:
            check_loop(t);
            break;
        case 10: case 11:
            scope_loop(t);
            break;
        case 12:
            spin(t);
            break;
        default:
            if (index == 0)
                python_check();
            else
                region(t, 1, false);
        }
        __atomic_add_fetch(&me.steps, 1, __ATOMIC_SEQ_CST);
        verify(false);
    }

    void set_blocked(bool blocked)
    {
        sigset_t set = storm_interrupts();
        pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
    }

    // Blocked: the main thread runs its pending handlers, and takes what
    // its record still holds (recorded while its region was open).
    void settle()
    {
        if (index == 0) {
            lock();
            drain_python();
            if (tv_load(&talvex_api.state->pending_interrupt) != 0 && !sig_check())
                take(kViaCheck);
            unlock();
        }
        verify(true);
    }

    void wait_release()
    {
        double end = now() + 60;
        while (!load(&storm.release) && now() < end)
            nap(20000);
    }

    void probe()
    {
        int role = load(&storm.roles[index]);
        if (role == kRoleRegion) {
            if (sig_on()) {
                __atomic_add_fetch(&storm.in_position, 1, __ATOMIC_SEQ_CST);
                double end = now() + 60;
                while (!load(&storm.release) && now() < end)
                    spin_sink++;
                sig_off();
            } else {
                lock();
                take(kViaRegion);
                unlock();
            }
        } else if (role == kRoleScope) {
            try {
                talvex::cooperative scope;
                __atomic_add_fetch(&storm.in_position, 1, __ATOMIC_SEQ_CST);
                double end = now() + 60;
                while (!load(&storm.release) && now() < end)
                    talvex::check();
            } catch (const talvex::interrupted &e) {
                count(kViaScope, signal_index(e.signal()), "a scope threw an unknown signal");
            }
        } else if (role == kRolePython) {
            __atomic_add_fetch(&storm.in_position, 1, __ATOMIC_SEQ_CST);
            double end = now() + 60;
            while (!load(&storm.release) && now() < end) {
                nap(100000);
                python_check();
            }
        } else {
            __atomic_add_fetch(&storm.in_position, 1, __ATOMIC_SEQ_CST);
        }
        wait_release();
    }

    void obey(int command)
    {
        phase = command == kRun ? kPhaseStorm : kPhaseProbe;
        switch (command) {
        case kRun:
            set_blocked(false);
            return;
        case kPark:
            set_blocked(true);
            break;
        case kFlush:
            // What waits in the kernel for this thread or the process is
            // delivered now.
            set_blocked(false);
            set_blocked(true);
            break;
        case kProbe:
            set_blocked(false);
            probe();
            set_blocked(true);
            break;
        }
        settle();
    }

    void serve()
    {
        int seen = 0;
        for (;;) {
            int generation = load(&storm.generation);
            if (generation != seen) {
                seen = generation;
                int command = load(&storm.command);
                if (command != kStop)
                    obey(command);
                __atomic_add_fetch(&storm.acks, 1, __ATOMIC_SEQ_CST);
                if (command == kStop)
                    return;
            } else if (load(&storm.command) == kRun) {
                random_step();
            } else {
                nap(20000);
            }
        }
    }
};

// storm_thread(index, seed): runs thread `index` of the storm (0: the main
// thread) until the sender is done.
PyObject *storm_thread(PyObject *, PyObject *args)
{
    int index;
    unsigned long long seed;
    if (!PyArg_ParseTuple(args, "iK", &index, &seed))
        return nullptr;
    if (index < 0 || index >= kStormThreads) {
        PyErr_SetString(PyExc_ValueError, "tvthreads: no such storm thread");
        return nullptr;
    }
    StormThread &me = storm.threads[index];
    me.thread = static_cast<unsigned long>(pthread_self());
    store(&me.tid, static_cast<int>(syscall(SYS_gettid)));
    __atomic_add_fetch(&storm.registered, 1, __ATOMIC_SEQ_CST);
    Stormer s{index, me, nullptr, seed, kPhaseProbe};
    s.unlock();
    s.serve();
    s.lock();
    Py_RETURN_NONE;
}

// The sender's side.

void fail(const std::string &what)
{
    storm.failures.push_back(what);
}

bool wait_until(bool (*done)(), double timeout)
{
    double end = now() + timeout;
    while (!done()) {
        if (now() > end)
            return false;
        nap(20000);
    }
    return true;
}

bool all_acked()
{
    return load(&storm.acks) == kStormThreads;
}

bool all_in_position()
{
    return load(&storm.in_position) == kStormThreads;
}

bool issue(int command)
{
    store(&storm.acks, 0);
    store(&storm.command, command);
    __atomic_add_fetch(&storm.generation, 1, __ATOMIC_SEQ_CST);
    // Running threads answer at once, probed ones once released; stopped
    // ones are not waited for (the report is read as soon as the main thread
    // returns).
    if (command == kRun || command == kProbe || command == kStop)
        return true;
    if (!wait_until(all_acked, 60)) {
        fail("threads did not answer command " + std::to_string(command));
        return false;
    }
    return true;
}

// A storm signal pending anywhere in the kernel: for a thread (SigPnd) or
// for the process (ShdPnd).
bool kernel_pending()
{
    sigset_t set = storm_interrupts();
    unsigned long long mask = 0;
    for (int s : kStormSignals) {
        if (sigismember(&set, s))
            mask |= 1ULL << (s - 1);
    }
    for (int i = 0; i < kStormThreads; i++) {
        char path[64];
        snprintf(path, sizeof(path), "/proc/self/task/%d/status", load(&storm.threads[i].tid));
        FILE *f = fopen(path, "r");
        if (f == nullptr)
            return true;
        char line[256];
        bool pending = false;
        while (fgets(line, sizeof(line), f) != nullptr) {
            if (strncmp(line, "SigPnd:", 7) == 0 || strncmp(line, "ShdPnd:", 7) == 0)
                pending = pending || (strtoull(line + 7, nullptr, 16) & mask) != 0;
        }
        fclose(f);
        if (pending)
            return true;
    }
    return false;
}

// Parks the threads (interrupts blocked, the main thread's handlers run)
// until nothing waits: not in the kernel, not in the main thread's record.
bool settle_all()
{
    for (int attempt = 0; attempt < 200; attempt++) {
        if (!issue(attempt == 0 ? kPark : kFlush))
            return false;
        if (!kernel_pending() && tv_load(&talvex_api.state->pending_interrupt) == 0)
            return true;
    }
    fail("the threads never became quiet");
    return false;
}

struct Tally {
    int by[kStormThreads][kNSignals];
};

Tally tally()
{
    Tally t = {};
    for (int i = 0; i < kStormThreads; i++) {
        for (int p = 0; p < kPhases; p++) {
            for (int v = 0; v < kVias; v++) {
                for (int s = 0; s < kNSignals; s++)
                    t.by[i][s] += load(&storm.threads[i].caught[p][v][s]);
            }
        }
    }
    return t;
}

Tally expected_delta, probe_before;

bool probe_reached()
{
    Tally now_ = tally();
    for (int i = 0; i < kStormThreads; i++) {
        for (int s = 0; s < kNSignals; s++) {
            if (now_.by[i][s] - probe_before.by[i][s] < expected_delta.by[i][s])
                return false;
        }
    }
    return true;
}

std::string describe(const Tally &t)
{
    std::string out;
    for (int i = 0; i < kStormThreads; i++) {
        out += " thread " + std::to_string(i) + ":";
        for (int s = 0; s < kNSignals; s++)
            out += " " + std::to_string(t.by[i][s]);
    }
    return out;
}

void send_signal(int target, int sig)
{
    int i = signal_index(sig);
    if (target < 0) {
        kill(getpid(), sig);
        __atomic_add_fetch(&storm.sent_process[i], 1, __ATOMIC_SEQ_CST);
    } else {
        syscall(SYS_tgkill, getpid(), load(&storm.threads[target].tid), sig);
        __atomic_add_fetch(&storm.sent_thread[target][i], 1, __ATOMIC_SEQ_CST);
    }
}

// One probe, from and back to quiet: the threads take the places `roles`
// names, one signal goes to `target` (-1: the process), and the exceptions
// each thread then takes must be exactly `expected` (a count per thread
// for the signal sent).
void probe(const char *name, const int (&roles)[kStormThreads], int target, int sig,
           const int (&expected)[kStormThreads])
{
    std::string what = std::string(name) + " signal " + std::to_string(sig);
    if (!settle_all())
        return;
    probe_before = tally();
    expected_delta = Tally{};
    for (int i = 0; i < kStormThreads; i++) {
        store(&storm.roles[i], roles[i]);
        expected_delta.by[i][signal_index(sig)] = expected[i];
    }
    store(&storm.in_position, 0);
    store(&storm.release, 0);
    issue(kProbe);
    if (!wait_until(all_in_position, 60)) {
        fail(what + ": the threads never took their places");
    } else {
        send_signal(target, sig);
        if (!wait_until(probe_reached, 60))
            fail(what + ": not reached:" + describe(tally()) + " before" + describe(probe_before));
    }
    store(&storm.release, 1);
    if (!wait_until(all_acked, 60)) {
        fail(what + ": the threads did not come back");
        return;
    }
    if (!settle_all())
        return;
    Tally after = tally();
    for (int i = 0; i < kStormThreads; i++) {
        for (int s = 0; s < kNSignals; s++) {
            if (after.by[i][s] - probe_before.by[i][s] != expected_delta.by[i][s]) {
                fail(what + ": took" + describe(after) + " before" + describe(probe_before));
                return;
            }
        }
    }
    storm.probes++;
}

void *storm_sender(void *)
{
    uint64_t rng = storm.seed;
    while (load(&storm.registered) < kStormThreads)
        nap(1000000);
    long per_burst = storm.total / storm.bursts;
    const int all_regions[kStormThreads] = {kRoleRegion, kRoleRegion, kRoleRegion, kRoleRegion};
    const int scopes[kStormThreads] = {kRolePython, kRoleScope, kRoleScope, kRoleScope};
    for (int b = 0; b < storm.bursts && storm.failures.empty(); b++) {
        issue(kRun);
        for (long n = 0; n < per_burst; n++) {
            uint64_t r = next_random(&rng);
            int sig = r % 20 < 2 ? SIGHUP : r % 20 < 11 ? SIGINT : SIGALRM;
            int target = (r >> 8) % 8 < 4 ? -1 : static_cast<int>((r >> 8) % 4);
            send_signal(target, sig);
            uint64_t g = (r >> 16) % 10;
            if (g >= 3 && g < 8)
                spin(static_cast<double>((r >> 24) % 100) * 1e-6);
            else if (g >= 8)
                nap(static_cast<long>((r >> 24) % 300) * 1000);
        }
        // Each burst probes with each signal in turn.
        int sig = kStormSignals[b % kNSignals];
        int worker = 1 + b % (kStormThreads - 1);
        int hup = sig == SIGHUP;
        // Sent to the process: every region ends, the main thread's too.
        probe("regions, to the process", all_regions, -1, sig, {1, 1, 1, 1});
        // Sent to a worker: its region; a hang-up also the main thread's.
        int to_worker[kStormThreads] = {hup, 0, 0, 0};
        to_worker[worker] = 1;
        probe("regions, to one worker", all_regions, worker, sig, to_worker);
        // Sent to a worker outside any region or scope: the main thread's
        // region takes it, the other regions go on.
        int idle_roles[kStormThreads] = {kRoleRegion, kRoleRegion, kRoleRegion, kRoleRegion};
        idle_roles[worker] = kRoleIdle;
        probe("to a worker without a region", idle_roles, worker, sig, {1, 0, 0, 0});
        // Sent to the process: every scope's check() and the main thread's
        // Python code.
        probe("scopes, to the process", scopes, -1, sig, {1, 1, 1, 1});
    }
    // Then no signal at all: no exception.
    if (storm.failures.empty() && settle_all()) {
        Tally before = tally();
        int steps[kStormThreads];
        for (int i = 0; i < kStormThreads; i++)
            steps[i] = load(&storm.threads[i].steps);
        issue(kRun);
        double end = now() + 60;
        for (int i = 0; i < kStormThreads; i++) {
            while (load(&storm.threads[i].steps) < steps[i] + 300 && now() < end)
                nap(1000000);
        }
        if (settle_all()) {
            Tally after = tally();
            if (memcmp(&before, &after, sizeof(before)) != 0)
                fail("exceptions without a signal:" + describe(after) + " before" + describe(before));
        }
    }
    issue(kStop);
    return nullptr;
}

// storm_start(total, bursts, seed): starts the sender, a native thread that
// blocks every signal itself; it begins once the four threads run
// storm_thread().
PyObject *storm_start(PyObject *, PyObject *args)
{
    long total;
    int bursts;
    unsigned long long seed;
    if (!PyArg_ParseTuple(args, "liK", &total, &bursts, &seed))
        return nullptr;
    if (bursts <= 0) {
        PyErr_SetString(PyExc_ValueError, "tvthreads: bursts must be positive");
        return nullptr;
    }
    storm.total = total;
    storm.bursts = bursts;
    storm.seed = seed;
    sigset_t all;
    sigfillset(&all);
    if (!start_thread(storm_sender, nullptr, all))
        return nullptr;
    Py_RETURN_NONE;
}

// A new list of `n` integers, or null with an exception set.
PyObject *int_list(const int *values, int n)
{
    PyObject *list = PyList_New(n);
    for (int i = 0; list != nullptr && i < n; i++) {
        PyObject *v = PyLong_FromLong(load(&values[i]));
        if (v == nullptr)
            Py_CLEAR(list);
        else
            PyList_SET_ITEM(list, i, v);
    }
    return list;
}

// storm_report() -> dict, once storm_thread() returned in every thread:
// "threads", for each its "caught" (phase x via x signal, flattened),
// "sent" (to it, by signal), "steps", "bad" and "bad_text"; "sent_process";
// "probes" passed; "failures".
PyObject *storm_report(PyObject *, PyObject *)
{
    PyObject *threads = PyList_New(kStormThreads);
    for (int i = 0; threads != nullptr && i < kStormThreads; i++) {
        const StormThread &t = storm.threads[i];
        PyObject *entry = Py_BuildValue(
            "{s:N,s:N,s:i,s:i,s:s}", "caught",
            int_list(&t.caught[0][0][0], kPhases * kVias * kNSignals), "sent",
            int_list(storm.sent_thread[i], kNSignals), "steps", load(&t.steps), "bad",
            load(&t.bad), "bad_text", t.bad_text);
        if (entry == nullptr)
            Py_CLEAR(threads);
        else
            PyList_SET_ITEM(threads, i, entry);
    }
    if (threads == nullptr)
        return nullptr;
    return Py_BuildValue("{s:N,s:N,s:N,s:i}", "threads", threads, "sent_process",
                         int_list(storm.sent_process, kNSignals), "failures",
                         string_list(storm.failures), "probes", storm.probes);
}

PyMethodDef methods[] = {
    {"post", post, METH_VARARGS, "post(box, command)"},
    {"wait_done", wait_done, METH_VARARGS, "wait_done(box, timeout, or_region=False) -> (bool, events)"},
    {"park", park, METH_NOARGS, "park() -> (command, events), main thread"},
    {"take_events", take_events, METH_VARARGS, "take_events(box) -> list"},
    {"hold_region", hold_region, METH_VARARGS, "hold_region(timeout=-1) -> events"},
    {"release_region", release_region, METH_NOARGS, "end hold_region()'s region"},
    {"in_region", in_region, METH_NOARGS, "whether hold_region()'s region is open"},
    {"release_when_recorded", release_when_recorded, METH_VARARGS,
     "release_when_recorded(timeout, marker=None) -> (bool, events)"},
    {"sig_check_events", sig_check_events, METH_NOARGS, "sig_check() -> events"},
    {"shielded_fault", shielded_fault, METH_VARARGS, "shielded_fault(sig) -> events"},
    {"idle", idle, METH_VARARGS, "idle(seconds) -> events"},
    {"is_idle", is_idle, METH_NOARGS, "whether a thread waits in idle()"},
    {"wake", wake, METH_NOARGS, "end the wait of idle()"},
    {"command", command, METH_VARARGS, "command(box, command, timeout=10) -> (bool, events)"},
    {"send", send, METH_VARARGS, "send(sig, thread=0) -> events"},
    {"drain_events", drain_events, METH_NOARGS, "run the pending handlers -> events"},
    {"worker_serve", worker_serve, METH_VARARGS, "worker_serve(box, translate=True)"},
    {"fork_in_region", fork_in_region, METH_VARARGS, "fork_in_region(kind) -> pid"},
    {"send_pair", send_pair, METH_VARARGS, "send_pair(first, second, gap_ns)"},
    {"start_bystanders", start_bystanders, METH_VARARGS, "start_bystanders(n)"},
    {"race", race, METH_VARARGS, "race(mode, first, second, gaps_ns) -> [events]"},
    {"storm_thread", storm_thread, METH_VARARGS, "storm_thread(index, seed)"},
    {"storm_start", storm_start, METH_VARARGS, "storm_start(total, bursts, seed)"},
    {"storm_report", storm_report, METH_NOARGS, "storm_report() -> dict"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tvthreads", "talvex test client: threads, fork, scopes", -1,
    methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tvthreads(void)
{
    if (talvex_import() < 0)
        return nullptr;
    return PyModule_Create(&module_def);
}
