/*
 * tvpool.h: what the thread-pool clients (tvpool_cy.pyx, tvpool_pb.cpp)
 * share besides their regions, which each writes as a user's module would:
 * the work a region does, counts of the regions entered and of how each
 * ended, the line a region writes when the scenario's moment has come, and
 * the main thread's wait. The work itself calls nothing of talvex.
 *
 * A scenario is told apart by exact counts, never by time: the moment a
 * test sends its signal is "so many regions entered and so many left",
 * announced by the line "open" that native code writes to standard output
 * the instant it happens.
 */
#ifndef TVPOOL_H
#define TVPOOL_H

#include <Python.h>
#include <talvex/state.h>

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

/* What a region does: SPIN until a signal ends it or the scenario stops it;
 * SHORT until the marker's count of entered regions is reached, then it
 * leaves; FAULT: the region whose entry reaches that count faults, the
 * others spin; QUICK leaves at once. */
enum { TVPOOL_SPIN, TVPOOL_SHORT, TVPOOL_FAULT, TVPOOL_QUICK };

/* Counts: regions entered, left by sig_off(), ended by an exception after
 * they were entered, refused by sig_on() without being entered, given up
 * after the hang bound; tasks done. */
enum { TVPOOL_ENTERED, TVPOOL_LEFT, TVPOOL_JUMPED, TVPOOL_REFUSED, TVPOOL_TIMED_OUT,
       TVPOOL_DONE, TVPOOL_NCOUNTS };

static const char *const tvpool_count_names[TVPOOL_NCOUNTS] = {
    "entered", "left", "jumped", "refused", "timed_out", "done"};

static int tvpool_counts_[TVPOOL_NCOUNTS];
static int tvpool_stopped_;
/* The marker: once this many regions were entered and this many left. */
static int tvpool_mark_entered_ = 1 << 30, tvpool_mark_left_, tvpool_mark_alarm_;
/* Whether a region that ends by an exception stops the others. */
static int tvpool_stop_on_failure_;
static int tvpool_marked_;
/* Set by the main thread's wait(): tasks that start regions wait for it, so
 * that the main thread's exception is raised there and nowhere else. */
static int tvpool_go_;
/* Only turns a region that nothing ended into a failure of its test. */
static double tvpool_hang_ = 60.0;
/* Whether the calling thread is inside a region it entered. */
static __thread int tvpool_inside_;
static volatile unsigned long tvpool_sink_;

static inline int tvpool_load_(const int *p)
{
    return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}

static inline int tvpool_add_(int which)
{
    return __atomic_add_fetch(&tvpool_counts_[which], 1, __ATOMIC_SEQ_CST);
}

static inline double tvpool_now_(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* Stopped by the scenario: stop() (the main thread, a task), or a line on
 * standard input (the test, when no Python code can run). */
static inline int tvpool_stopped(void)
{
    struct pollfd in = {0, POLLIN, 0};
    return tvpool_load_(&tvpool_stopped_) ||
           (poll(&in, 1, 0) > 0 && (in.revents & (POLLIN | POLLHUP)));
}

static inline void tvpool_stop(void)
{
    __atomic_store_n(&tvpool_stopped_, 1, __ATOMIC_SEQ_CST);
}

static inline void tvpool_configure(int mark_entered, int mark_left, int alarm,
                                    int stop_on_failure, double hang)
{
    tvpool_mark_entered_ = mark_entered;
    tvpool_mark_left_ = mark_left;
    tvpool_mark_alarm_ = alarm;
    tvpool_stop_on_failure_ = stop_on_failure;
    tvpool_hang_ = hang;
}

/* Writes "open" once the moment has come (and with `alarm` arms a timer
 * that sends SIGALRM to the process instead of the test sending it). */
static inline void tvpool_maybe_mark_(void)
{
    int zero = 0;
    if (tvpool_load_(&tvpool_counts_[TVPOOL_ENTERED]) < tvpool_mark_entered_ ||
        tvpool_load_(&tvpool_counts_[TVPOOL_LEFT]) < tvpool_mark_left_ ||
        !__atomic_compare_exchange_n(&tvpool_marked_, &zero, 1, 0, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST))
        return;
    if (write(1, "open\n", 5) != 5)
        tvpool_sink_++;
    if (tvpool_mark_alarm_) {
        struct itimerval it = {{0, 0}, {0, 1000}};
        setitimer(ITIMER_REAL, &it, NULL);
    }
}

/* First thing inside a region; returns the region's entry number. */
static inline int tvpool_entered(void)
{
    int number;
    tvpool_inside_ = 1;
    number = tvpool_add_(TVPOOL_ENTERED);
    tvpool_maybe_mark_();
    return number;
}

/* The region's work. A region entered once the scenario stopped leaves at
 * once: with the interpreter lock held, regions run one after another. */
static inline void tvpool_work(int role, int number)
{
    double end;
    unsigned long i;
    if (role == TVPOOL_QUICK || tvpool_stopped())
        return;
    end = tvpool_now_() + tvpool_hang_;
    for (i = 0;; i++) {
        if ((role == TVPOOL_SHORT || (role == TVPOOL_FAULT && number == tvpool_mark_entered_)) &&
            tvpool_load_(&tvpool_counts_[TVPOOL_ENTERED]) >= tvpool_mark_entered_) {
            if (role == TVPOOL_FAULT)
                *(volatile int *)(size_t)(tvpool_sink_ & 0) = 1;
            return;
        }
        tvpool_sink_++;
        if ((i & 4095) == 0) {
            if (tvpool_stopped())
                return;
            if (tvpool_now_() > end) {
                tvpool_add_(TVPOOL_TIMED_OUT);
                return;
            }
        }
    }
}

/* After sig_off(). */
static inline void tvpool_left(void)
{
    tvpool_inside_ = 0;
    tvpool_add_(TVPOOL_LEFT);
    tvpool_maybe_mark_();
}

/* After a failed sig_on(): a region that ended, or one refused at entry.
 * Called before the thread runs any Python code, so that with the lock held
 * the next thread's region, which may start at the first bytecode, already
 * finds the scenario stopped. */
static inline void tvpool_failed(void)
{
    if (tvpool_load_(&tvpool_stop_on_failure_))
        tvpool_stop();
    tvpool_add_(tvpool_inside_ ? TVPOOL_JUMPED : TVPOOL_REFUSED);
    tvpool_inside_ = 0;
}

static inline void tvpool_task_done(void)
{
    tvpool_add_(TVPOOL_DONE);
}

/* Waits until the main thread waits (ready() -> None, lock released). */
static inline void tvpool_ready(void)
{
    struct timespec ms = {0, 1000000};
    double end = tvpool_now_() + tvpool_hang_;
    while (!tvpool_load_(&tvpool_go_) && tvpool_now_() < end)
        nanosleep(&ms, NULL);
}

/* counts() -> {name: count}. */
static inline PyObject *tvpool_counts(void)
{
    PyObject *d = PyDict_New();
    int i;
    for (i = 0; d != NULL && i < TVPOOL_NCOUNTS; i++) {
        PyObject *v = PyLong_FromLong(tvpool_load_(&tvpool_counts_[i]));
        if (v == NULL || PyDict_SetItemString(d, tvpool_count_names[i], v) < 0) {
            Py_XDECREF(v);
            Py_CLEAR(d);
            break;
        }
        Py_DECREF(v);
    }
    return d;
}

/* record() -> (sig_on_count, pending_interrupt) of the calling thread's own
 * record, (0, 0) for a thread that never opened a region. */
static inline PyObject *tvpool_record(void)
{
    const tvstate_t *st = talvex_thread_state;
    return Py_BuildValue("(ii)", st ? tv_load(&st->sig_on_count) : 0,
                         st ? tv_load(&st->pending_interrupt) : 0);
}

/* Runs the main thread's pending Python-level handlers, each exception
 * they raise appended to `events` by class name. */
static inline int tvpool_drain_(PyObject *events)
{
    int i;
    for (i = 0; i < 64; i++) {
        PyObject *exc, *name;
        int rc;
        if (PyErr_CheckSignals() == 0)
            return 0;
        exc = PyErr_GetRaisedException();
        name = exc != NULL ? PyType_GetName(Py_TYPE(exc)) : NULL;
        Py_XDECREF(exc);
        rc = name != NULL ? PyList_Append(events, name) : -1;
        Py_XDECREF(name);
        if (rc < 0)
            return -1;
    }
    PyErr_SetString(PyExc_RuntimeError, "tvpool: handlers keep raising");
    return -1;
}

/* wait(tasks, events) -> [names]: the main thread lets the tasks that wait
 * in ready() go, then waits without the lock until `tasks` tasks are done
 * and its own handlers raised `events` exceptions, which it takes here
 * rather than at some bytecode where no try could hold them. Gives up after
 * the hang bound. */
static inline PyObject *tvpool_wait(int tasks, Py_ssize_t events_wanted)
{
    PyObject *events = PyList_New(0);
    double end = tvpool_now_() + tvpool_hang_;
    __atomic_store_n(&tvpool_go_, 1, __ATOMIC_SEQ_CST);
    while (events != NULL) {
        struct timespec ms = {0, 1000000};
        if (tvpool_drain_(events) < 0) {
            Py_CLEAR(events);
            break;
        }
        if ((tvpool_load_(&tvpool_counts_[TVPOOL_DONE]) >= tasks &&
             PyList_GET_SIZE(events) >= events_wanted) ||
            tvpool_now_() > end)
            break;
        Py_BEGIN_ALLOW_THREADS
        nanosleep(&ms, NULL);
        Py_END_ALLOW_THREADS
    }
    return events;
}

#endif /* TVPOOL_H */
