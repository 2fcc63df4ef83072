/*
 * A talvex client for the test suite, compiled separately from the runtime
 * and using nothing but <talvex/state.h>, as a user's module would. The
 * same source is built as C (tvclient_c) and as C++ (tvclient_cpp).
 */
#define PY_SSIZE_T_CLEAN
#include <talvex/state.h>

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifndef TVCLIENT_NAME
#define TVCLIENT_NAME tvclient_c
#endif
#define TV_STR2(x) #x
#define TV_STR(x) TV_STR2(x)
#define TV_CAT2(a, b) a##b
#define TV_CAT(a, b) TV_CAT2(a, b)

static tvstate_t *st(void) { return talvex_api.state; }

/* ------------------------------------------------------------------ */
/* The record                                                         */
/* ------------------------------------------------------------------ */

static PyObject *message_keeper; /* keeps the bytes behind `message` alive */

static PyObject *state(PyObject *self, PyObject *noargs)
{
    tvstate_t *s = st();
    PyObject *msg = s->message ? PyBytes_FromString(s->message) : Py_NewRef(Py_None);
    PyObject *raised = s->raised_value ? s->raised_value : Py_None;
    (void)self; (void)noargs;
    if (msg == NULL)
        return NULL;
    return Py_BuildValue("(iiiiNO)", tv_load(&s->sig_on_count), tv_load(&s->pending_interrupt),
                         tv_load(&s->handler_active), tv_load(&s->sigint_blocked), msg, raised);
}

static int *int_field(const char *name)
{
    tvstate_t *s = st();
    if (strcmp(name, "sig_on_count") == 0) return &s->sig_on_count;
    if (strcmp(name, "pending_interrupt") == 0) return &s->pending_interrupt;
    if (strcmp(name, "handler_active") == 0) return &s->handler_active;
    if (strcmp(name, "sigint_blocked") == 0) return &s->sigint_blocked;
    PyErr_Format(PyExc_KeyError, "%s", name);
    return NULL;
}

static PyObject *set_int(PyObject *self, PyObject *args)
{
    const char *name;
    int value;
    int *field;
    (void)self;
    if (!PyArg_ParseTuple(args, "si", &name, &value))
        return NULL;
    if ((field = int_field(name)) == NULL)
        return NULL;
    tv_store(field, value);
    Py_RETURN_NONE;
}

static PyObject *set_message(PyObject *self, PyObject *arg)
{
    (void)self;
    if (arg == Py_None) {
        st()->message = NULL;
    } else if (PyBytes_Check(arg)) {
        st()->message = PyBytes_AS_STRING(arg);
    } else {
        PyErr_SetString(PyExc_TypeError, "bytes or None");
        return NULL;
    }
    Py_XSETREF(message_keeper, Py_NewRef(arg));
    Py_RETURN_NONE;
}

static PyObject *state_address(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    return PyLong_FromVoidPtr(st());
}

/* The calling thread's own record (made on its first use), by address:
 * another thread reads its depth with region_depth(). */
static PyObject *thread_record(PyObject *self, PyObject *noargs)
{
    tvstate_t *s = tv_thread_state_(0);
    (void)self; (void)noargs;
    return s != NULL ? PyLong_FromVoidPtr(s) : NULL;
}

/* The region depth in a record that thread_record() gave: whether that
 * thread's region is open, read from any thread. */
static PyObject *region_depth(PyObject *self, PyObject *arg)
{
    tvstate_t *s = (tvstate_t *)PyLong_AsVoidPtr(arg);
    (void)self;
    if (s == NULL)
        return PyErr_Occurred() ? NULL : PyLong_FromLong(0);
    return PyLong_FromLong(tv_load(&s->sig_on_count));
}

static PyObject *resume_point_is_zero(PyObject *self, PyObject *noargs)
{
    const unsigned char *p = (const unsigned char *)&st()->resume_point;
    size_t i;
    (void)self; (void)noargs;
    for (i = 0; i < sizeof(sigjmp_buf); i++)
        if (p[i] != 0)
            Py_RETURN_FALSE;
    Py_RETURN_TRUE;
}

static PyObject *layout(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    return Py_BuildValue("{snsnsnsnsnsnsnsn}", "sig_on_count", (Py_ssize_t)offsetof(tvstate_t, sig_on_count),
                         "pending_interrupt", (Py_ssize_t)offsetof(tvstate_t, pending_interrupt),
                         "handler_active", (Py_ssize_t)offsetof(tvstate_t, handler_active),
                         "sigint_blocked", (Py_ssize_t)offsetof(tvstate_t, sigint_blocked),
                         "resume_point", (Py_ssize_t)offsetof(tvstate_t, resume_point),
                         "message", (Py_ssize_t)offsetof(tvstate_t, message),
                         "raised_value", (Py_ssize_t)offsetof(tvstate_t, raised_value),
                         "size", (Py_ssize_t)sizeof(tvstate_t));
}

/* ------------------------------------------------------------------ */
/* The entry points                                                   */
/* ------------------------------------------------------------------ */

/* None, or NULL when the entry left an exception set. */
static PyObject *result_of_entry(void)
{
    if (PyErr_Occurred())
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *raise_exception(PyObject *self, PyObject *args)
{
    int sig, r;
    const char *msg = NULL;
    (void)self;
    if (!PyArg_ParseTuple(args, "i|z", &sig, &msg))
        return NULL;
    r = talvex_api.sig_raise_exception(sig, msg);
    if (PyErr_Occurred())
        return NULL;
    return PyLong_FromLong(r);
}

/* The same without holding the interpreter lock: the entry takes it. */
static PyObject *raise_exception_nogil(PyObject *self, PyObject *args)
{
    int sig, r;
    (void)self;
    if (!PyArg_ParseTuple(args, "i", &sig))
        return NULL;
    Py_BEGIN_ALLOW_THREADS
    r = talvex_api.sig_raise_exception(sig, NULL);
    Py_END_ALLOW_THREADS
    if (r != 0)
        return PyLong_FromLong(r);
    return NULL;
}

/* With ValueError("first") already set: the entry must leave it. */
static PyObject *raise_exception_after_error(PyObject *self, PyObject *args)
{
    int sig, r;
    (void)self;
    if (!PyArg_ParseTuple(args, "i", &sig))
        return NULL;
    PyErr_SetString(PyExc_ValueError, "first");
    r = talvex_api.sig_raise_exception(sig, "second");
    if (r != 0) {
        PyErr_Clear();
        return PyLong_FromLong(r);
    }
    return NULL;
}

static PyObject *do_raise_exception(PyObject *self, PyObject *args)
{
    int sig;
    (void)self;
    if (!PyArg_ParseTuple(args, "i", &sig))
        return NULL;
    talvex_api.do_raise_exception(sig);
    return result_of_entry();
}

/* Calls an entry without arguments; with `error_first`, ValueError("first")
 * is set beforehand, to see what the entry does with it. */
static PyObject *call_entry(void (*entry)(void), PyObject *args)
{
    int error_first = 0;
    if (!PyArg_ParseTuple(args, "|p", &error_first))
        return NULL;
    if (error_first)
        PyErr_SetString(PyExc_ValueError, "first");
    entry();
    return result_of_entry();
}

static PyObject *interrupt_received(PyObject *self, PyObject *args)
{
    (void)self;
    return call_entry(talvex_api.sig_on_interrupt_received, args);
}

static PyObject *sig_on_recover(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    talvex_api.sig_on_recover();
    return result_of_entry();
}

static PyObject *sig_off_warning(PyObject *self, PyObject *args)
{
    const char *file;
    int line, error_first = 0;
    (void)self;
    if (!PyArg_ParseTuple(args, "si|p", &file, &line, &error_first))
        return NULL;
    if (error_first)
        PyErr_SetString(PyExc_ValueError, "first");
    talvex_api.sig_off_warning(file, line);
    return result_of_entry();
}

static PyObject *print_backtrace(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    talvex_api.print_backtrace();
    return result_of_entry();
}

static PyObject *verify_exc_value(PyObject *self, PyObject *args)
{
    (void)self;
    return call_entry(talvex_api.verify_exc_value, args);
}

static PyObject *raised_value_refcount(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    return PyLong_FromSsize_t(st()->raised_value ? Py_REFCNT(st()->raised_value) : 0);
}

/* ------------------------------------------------------------------ */
/* Custom hooks: 17 distinct triples that count their calls and log    */
/* them in order. Called from signal handlers: static storage only.   */
/* ------------------------------------------------------------------ */

#define NHOOKS 17
#define LOG_SIZE 512
static volatile int hook_blocked[NHOOKS];
static volatile int hook_counts[NHOOKS][3];
static volatile int hook_log[LOG_SIZE][3]; /* kind (0,1,2), hook index, argument */
static volatile int hook_log_len;

static void log_hook(int kind, int i, int arg)
{
    int n = hook_log_len;
    hook_counts[i][kind]++;
    if (n < LOG_SIZE) {
        hook_log[n][0] = kind;
        hook_log[n][1] = i;
        hook_log[n][2] = arg;
        hook_log_len = n + 1;
    }
}

#define HOOK_TRIPLE(i)                                                           \
    static int is_blocked_##i(void) { log_hook(0, i, 0); return hook_blocked[i]; } \
    static void unblock_##i(void) { log_hook(1, i, 0); }                         \
    static void set_pending_##i(int sig) { log_hook(2, i, sig); }
HOOK_TRIPLE(0) HOOK_TRIPLE(1) HOOK_TRIPLE(2) HOOK_TRIPLE(3) HOOK_TRIPLE(4) HOOK_TRIPLE(5)
HOOK_TRIPLE(6) HOOK_TRIPLE(7) HOOK_TRIPLE(8) HOOK_TRIPLE(9) HOOK_TRIPLE(10) HOOK_TRIPLE(11)
HOOK_TRIPLE(12) HOOK_TRIPLE(13) HOOK_TRIPLE(14) HOOK_TRIPLE(15) HOOK_TRIPLE(16)

#define HOOK_ROW(i) {is_blocked_##i, unblock_##i, set_pending_##i}
static const struct {
    int (*is_blocked)(void);
    void (*unblock)(void);
    void (*set_pending)(int);
} hook_table[NHOOKS] = {
    HOOK_ROW(0), HOOK_ROW(1), HOOK_ROW(2), HOOK_ROW(3), HOOK_ROW(4), HOOK_ROW(5),
    HOOK_ROW(6), HOOK_ROW(7), HOOK_ROW(8), HOOK_ROW(9), HOOK_ROW(10), HOOK_ROW(11),
    HOOK_ROW(12), HOOK_ROW(13), HOOK_ROW(14), HOOK_ROW(15), HOOK_ROW(16),
};

static PyObject *add_hooks(PyObject *self, PyObject *args)
{
    int i, r;
    (void)self;
    if (!PyArg_ParseTuple(args, "i", &i))
        return NULL;
    if (i < 0 || i >= NHOOKS) {
        PyErr_SetString(PyExc_ValueError, "no such hook triple");
        return NULL;
    }
    r = talvex_api.add_custom_signals(hook_table[i].is_blocked, hook_table[i].unblock,
                                      hook_table[i].set_pending);
    if (r == -1 && PyErr_Occurred())
        return NULL;
    return PyLong_FromLong(r);
}

/* A triple with one null member, which must be refused. */
static PyObject *add_null_hook(PyObject *self, PyObject *args)
{
    int which, r;
    (void)self;
    if (!PyArg_ParseTuple(args, "i", &which))
        return NULL;
    r = talvex_api.add_custom_signals(which == 0 ? NULL : is_blocked_0,
                                      which == 1 ? NULL : unblock_0,
                                      which == 2 ? NULL : set_pending_0);
    if (r == -1 && PyErr_Occurred())
        return NULL;
    return PyLong_FromLong(r);
}

static PyObject *set_hook_blocked(PyObject *self, PyObject *args)
{
    int i, value;
    (void)self;
    if (!PyArg_ParseTuple(args, "ii", &i, &value))
        return NULL;
    hook_blocked[i] = value;
    Py_RETURN_NONE;
}

/* The calls logged since the last call, as (kind, index, argument) with
 * kind one of "is_blocked", "unblock", "set_pending". */
static PyObject *take_hook_log(PyObject *self, PyObject *noargs)
{
    static const char *const kinds[] = {"is_blocked", "unblock", "set_pending"};
    PyObject *list = PyList_New(0);
    int n, k;
    (void)self; (void)noargs;
    if (list == NULL)
        return NULL;
    n = hook_log_len;
    for (k = 0; k < n; k++) {
        PyObject *t = Py_BuildValue("(sii)", kinds[hook_log[k][0]], hook_log[k][1], hook_log[k][2]);
        if (t == NULL || PyList_Append(list, t) < 0) {
            Py_XDECREF(t);
            Py_DECREF(list);
            return NULL;
        }
        Py_DECREF(t);
    }
    hook_log_len = 0;
    return list;
}

/* ------------------------------------------------------------------ */
/* Signal dispositions, masks and stacks as the kernel sees them      */
/* ------------------------------------------------------------------ */

static PyObject *sigset_to_list(const sigset_t *set)
{
    PyObject *list = PyList_New(0);
    int sig;
    if (list == NULL)
        return NULL;
    for (sig = 1; sig < 65; sig++) {
        if (sigismember(set, sig) == 1) {
            PyObject *n = PyLong_FromLong(sig);
            if (n == NULL || PyList_Append(list, n) < 0) {
                Py_XDECREF(n);
                Py_DECREF(list);
                return NULL;
            }
            Py_DECREF(n);
        }
    }
    return list;
}

static PyObject *blocked_signals(PyObject *self, PyObject *noargs)
{
    sigset_t set;
    (void)self; (void)noargs;
    pthread_sigmask(SIG_SETMASK, NULL, &set);
    return sigset_to_list(&set);
}

/* (handler address, flags, mask, file of the handler's shared object) */
static PyObject *disposition(PyObject *self, PyObject *args)
{
    int sig;
    struct sigaction sa;
    Dl_info info;
    void *handler;
    (void)self;
    if (!PyArg_ParseTuple(args, "i", &sig))
        return NULL;
    if (sigaction(sig, NULL, &sa) != 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    handler = (sa.sa_flags & SA_SIGINFO) ? (void *)sa.sa_sigaction : (void *)sa.sa_handler;
    memset(&info, 0, sizeof(info));
    if (handler == (void *)SIG_DFL || handler == (void *)SIG_IGN || !dladdr(handler, &info))
        info.dli_fname = NULL;
    return Py_BuildValue("(KiNz)", (unsigned long long)(size_t)handler, sa.sa_flags,
                         sigset_to_list(&sa.sa_mask), info.dli_fname);
}

static PyObject *alt_stack(PyObject *self, PyObject *noargs)
{
    stack_t ss;
    (void)self; (void)noargs;
    if (sigaltstack(NULL, &ss) != 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    return Py_BuildValue("(ni)", (Py_ssize_t)ss.ss_size, ss.ss_flags);
}

/* ------------------------------------------------------------------ */
/* Protected regions                                                  */
/* ------------------------------------------------------------------ */

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

static volatile unsigned long spin_counter;

/* Spin for `seconds` (forever if negative). */
static void spin(double seconds)
{
    double end = now() + seconds;
    while (seconds < 0 || now() < end)
        spin_counter++;
}

static PyObject *enter_region(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    if (!sig_on())
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *leave_region(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    sig_off();
    return result_of_entry();
}

/* Spin in a region nested `depth` deep, leave every level; returns the
 * count seen at the innermost level. */
static PyObject *busy_region(PyObject *self, PyObject *args)
{
    double seconds;
    int depth = 1, seen;
    volatile int i;
    const char *message = NULL;
    (void)self;
    if (!PyArg_ParseTuple(args, "d|iz", &seconds, &depth, &message))
        return NULL;
    if (!sig_str(message))
        return NULL;
    for (i = 1; i < depth; i++)
        if (!sig_on())
            return NULL;
    seen = tv_load(&st()->sig_on_count);
    spin(seconds);
    for (i = 0; i < depth; i++)
        sig_off();
    return PyLong_FromLong(seen);
}

/* Sleep in a region: system calls are interrupted too. */
static PyObject *sleep_region(PyObject *self, PyObject *args)
{
    double seconds, end;
    (void)self;
    if (!PyArg_ParseTuple(args, "d", &seconds))
        return NULL;
    if (!sig_on())
        return NULL;
    end = now() + seconds;
    while (now() < end) {
        struct timespec ts = {0, 10000000};
        nanosleep(&ts, NULL);
    }
    sig_off();
    Py_RETURN_NONE;
}

static int volatile_zero = 0;

/* The C library's and the C++ runtime's own ways to abort, assert()
 * included: the build's NDEBUG would compile it out. */
#undef NDEBUG
#include <assert.h>
#ifdef __cplusplus
#include <exception>
#endif

static void abort_by(const char *kind)
{
    if (strcmp(kind, "assert") == 0) {
        assert(volatile_zero == 1);
    } else if (strcmp(kind, "heap") == 0) {
        /* Too large for the thread's cache: freed twice, glibc's check
         * aborts with "double free or corruption (...)", its arena lock
         * held. */
        char *volatile block = (char *)malloc(4096);
        char *volatile fence = (char *)malloc(64);
        free(block);
        free(block);
        free(fence);
    } else if (strcmp(kind, "tcache") == 0) {
        /* Caught by the thread's cache before any lock is taken. */
        char *volatile block = (char *)malloc(32);
        free(block);
        free(block);
    }
#ifdef __cplusplus
    else if (strcmp(kind, "terminate") == 0) {
        std::terminate();
    }
#endif
}

static void do_fault(const char *kind)
{
    if (strcmp(kind, "segv") == 0) {
        *(volatile int *)(size_t)volatile_zero = 1;
    } else if (strcmp(kind, "ill") == 0) {
        __builtin_trap();
    } else if (strcmp(kind, "abort") == 0) {
        abort();
    } else if (strcmp(kind, "assert") == 0 || strcmp(kind, "heap") == 0 ||
               strcmp(kind, "tcache") == 0 || strcmp(kind, "terminate") == 0) {
        abort_by(kind);
    } else if (strcmp(kind, "fpe") == 0) {
        volatile int one = 1;
        volatile int q = one / *(volatile int *)&volatile_zero;
        (void)q;
    } else {
        int sig = atoi(kind);
        raise(sig);
    }
}

/* kind: "segv", "ill", "abort", "fpe", an abort of the libraries' own
 * ("assert", "heap", "tcache", and "terminate" in the C++ build) or a
 * signal number to raise;
 * `message` (protected only) becomes the region's sig_str() text. */
static PyObject *fault(PyObject *self, PyObject *args)
{
    const char *kind;
    const char *message = NULL;
    int protect = 1;
    (void)self;
    if (!PyArg_ParseTuple(args, "s|pz", &kind, &protect, &message))
        return NULL;
    if (protect) {
        if (!sig_str(message))
            return NULL;
        do_fault(kind);
        sig_off();
    } else {
        do_fault(kind);
    }
    Py_RETURN_NONE;
}

/* Far deeper than any stack; volatile so the compiler cannot see that. */
#include "tvrecurse.h"

static PyObject *recurse(PyObject *self, PyObject *args)
{
    int protect = 1;
    (void)self;
    if (!PyArg_ParseTuple(args, "|p", &protect))
        return NULL;
    if (protect && !sig_on())
        return NULL;
    recurse_forever(NULL, 0);
    if (protect)
        sig_off();
    Py_RETURN_NONE;
}

/* Spin shielded for `seconds`; returns the interrupt recorded meanwhile.
 * With `deliver`, sig_unblock() then delivers it and the region ends. */
static PyObject *shielded_region(PyObject *self, PyObject *args)
{
    double seconds;
    int deliver = 0;
    volatile int recorded = 0;
    (void)self;
    if (!PyArg_ParseTuple(args, "d|p", &seconds, &deliver))
        return NULL;
    if (!sig_on())
        return NULL;
    sig_block();
    spin(seconds);
    recorded = tv_load(&st()->pending_interrupt);
    if (deliver) {
        sig_unblock();
    } else {
        tv_store(&st()->sigint_blocked, 0);
        tv_store(&st()->pending_interrupt, 0);
    }
    sig_off();
    return PyLong_FromLong(recorded);
}

/* Spin shielded for `seconds`, then claim the interrupt recorded meanwhile
 * (one exchange, so a handler cannot slip in between reading and clearing)
 * and lift the shield with sig_unblock(), which delivers one that arrived
 * after the claim. Returns the claimed signal number, or 0. */
static PyObject *shield_consume(PyObject *self, PyObject *args)
{
    double seconds;
    volatile int claimed = 0;
    (void)self;
    if (!PyArg_ParseTuple(args, "d", &seconds))
        return NULL;
    if (!sig_on())
        return NULL;
    sig_block();
    spin(seconds);
    claimed = __atomic_exchange_n(&st()->pending_interrupt, 0, __ATOMIC_SEQ_CST);
    sig_unblock();
    sig_off();
    return PyLong_FromLong(claimed);
}

static PyObject *region_left_twice(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    if (!sig_on())
        return NULL;
    sig_off();
    sig_off();
    return result_of_entry();
}

/* The protocol by hand, to look at the mask between the landing and
 * _sig_on_recover: returns (signal, mask at landing, mask after recovery). */
static PyObject *landing_masks(PyObject *self, PyObject *args)
{
    const char *kind;
    volatile int sig;
    PyObject *at_landing, *after;
    sigset_t set;
    tvstate_t *s = st();
    (void)self;
    if (!PyArg_ParseTuple(args, "s", &kind))
        return NULL;
    s->message = NULL;
    sig = sigsetjmp(s->resume_point, 0);
    if (sig == 0) {
        tv_store(&s->sig_on_count, 1);
        do_fault(kind);
        tv_store(&s->sig_on_count, 0);
        PyErr_SetString(PyExc_AssertionError, "no jump");
        return NULL;
    }
    pthread_sigmask(SIG_SETMASK, NULL, &set);
    at_landing = sigset_to_list(&set);
    talvex_api.sig_on_recover();
    pthread_sigmask(SIG_SETMASK, NULL, &set);
    after = sigset_to_list(&set);
    return Py_BuildValue("(iNN)", sig, at_landing, after);
}

/* A fault, and a second one after the jump but before recovery. */
static PyObject *fault_during_recovery(PyObject *self, PyObject *args)
{
    const char *first, *second;
    (void)self;
    if (!PyArg_ParseTuple(args, "ss", &first, &second))
        return NULL;
    if (sigsetjmp(st()->resume_point, 0) == 0) {
        tv_store(&st()->sig_on_count, 1);
        do_fault(first);
    }
    do_fault(second);
    Py_RETURN_NONE;
}

/* A loop outside any region that polls sig_check(). */
static PyObject *check_loop(PyObject *self, PyObject *args)
{
    double seconds, end;
    unsigned long n = 0;
    (void)self;
    if (!PyArg_ParseTuple(args, "d", &seconds))
        return NULL;
    end = now() + seconds;
    while (now() < end) {
        if (!sig_check())
            return NULL;
        n++;
    }
    return PyLong_FromUnsignedLong(n);
}

/* A native timer: a detached thread waits `delay` seconds and, given a
 * field name, until that integer field of the record is positive, then
 * sends `sig` to the process. It needs no interpreter lock, so it fires
 * while a native loop holds the lock (a threading.Timer cannot), and it
 * blocks every signal itself, so the signal goes to a Python thread. */
struct signal_when_args {
    int sig;
    int *field;
    double delay;
};

static void *signal_when_body(void *p)
{
    struct signal_when_args a = *(struct signal_when_args *)p;
    struct timespec tick = {0, 1000000};
    double start = now();
    free(p);
    while (now() < start + a.delay || (a.field != NULL && tv_load(a.field) <= 0))
        nanosleep(&tick, NULL);
    kill(getpid(), a.sig);
    return NULL;
}

static PyObject *signal_when(PyObject *self, PyObject *args)
{
    const char *name = NULL;
    struct signal_when_args *a;
    sigset_t all, old;
    pthread_t thread;
    int sig, rc;
    double delay = 0.0;
    (void)self;
    if (!PyArg_ParseTuple(args, "i|zd", &sig, &name, &delay))
        return NULL;
    a = (struct signal_when_args *)malloc(sizeof(*a));
    if (a == NULL)
        return PyErr_NoMemory();
    a->sig = sig;
    a->delay = delay;
    a->field = NULL;
    if (name != NULL && (a->field = int_field(name)) == NULL) {
        free(a);
        return NULL;
    }
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old); /* inherited by the new thread */
    rc = pthread_create(&thread, NULL, signal_when_body, a);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    if (rc != 0) {
        free(a);
        errno = rc;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    pthread_detach(thread);
    Py_RETURN_NONE;
}

/* Another thread, with no signal blocked, that takes a signal or faults
 * while this thread spins in a region. */
static void *bystander_body(void *p)
{
    const char *kind = (const char *)p;
    struct timespec tick = {0, 1000000};
    while (tv_load(&st()->sig_on_count) <= 0)
        nanosleep(&tick, NULL);
    do_fault(kind);
    return NULL;
}

static PyObject *bystander_in_region(PyObject *self, PyObject *args)
{
    static char kind[16];
    double seconds;
    const char *k;
    pthread_t thread;
    sigset_t none, old;
    int rc;
    (void)self;
    if (!PyArg_ParseTuple(args, "sd", &k, &seconds))
        return NULL;
    strncpy(kind, k, sizeof(kind) - 1);
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, &old);
    rc = pthread_create(&thread, NULL, bystander_body, kind);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    if (rc != 0) {
        errno = rc;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    pthread_detach(thread);
    if (!sig_on())
        return NULL;
    spin(seconds);
    sig_off();
    Py_RETURN_NONE;
}

/* An interrupt recorded outside any region, then an unmatched sig_off():
 * the warning must not swallow the interrupt. */
static PyObject *signal_then_sig_off(PyObject *self, PyObject *args)
{
    int sig;
    (void)self;
    if (!PyArg_ParseTuple(args, "i", &sig))
        return NULL;
    raise(sig);
    sig_off();
    return result_of_entry();
}

/* A C exit handler that raises a signal after the interpreter is gone. */
static int exit_signal;

static void raise_exit_signal(void)
{
    raise(exit_signal);
}

static PyObject *raise_at_exit(PyObject *self, PyObject *args)
{
    (void)self;
    if (!PyArg_ParseTuple(args, "i", &exit_signal))
        return NULL;
    if (atexit(raise_exit_signal) != 0)
        return PyErr_NoMemory();
    Py_RETURN_NONE;
}

#ifdef __cplusplus
/* Waits `seconds` in a cooperative scope without the interpreter lock,
 * calling talvex::check() every millisecond if `check` is set. */
static PyObject *cooperative_wait(PyObject *self, PyObject *args)
{
    double seconds;
    int check;
    (void)self;
    if (!PyArg_ParseTuple(args, "dp", &seconds, &check))
        return NULL;
    return talvex::guard([&]() -> PyObject * {
        talvex::nogil unlocked;
        talvex::cooperative scope;
        double end = now() + seconds;
        while (now() < end) {
            struct timespec tick = {0, 1000000};
            if (check)
                talvex::check();
            nanosleep(&tick, NULL);
        }
        Py_RETURN_NONE;
    });
}
#endif

static PyMethodDef methods[] = {
    {"state", state, METH_NOARGS, "(sig_on_count, pending_interrupt, handler_active, sigint_blocked, message, raised_value)"},
    {"set_int", set_int, METH_VARARGS, "set_int(field, value): store into an integer field"},
    {"set_message", set_message, METH_O, "set_message(bytes or None)"},
    {"state_address", state_address, METH_NOARGS, "address of the record"},
    {"thread_record", thread_record, METH_NOARGS, "address of the calling thread's record"},
    {"region_depth", region_depth, METH_O, "region_depth(address): its sig_on_count"},
    {"resume_point_is_zero", resume_point_is_zero, METH_NOARGS, NULL},
    {"layout", layout, METH_NOARGS, "field offsets as this client sees them"},
    {"raise_exception", raise_exception, METH_VARARGS, NULL},
    {"raise_exception_nogil", raise_exception_nogil, METH_VARARGS, NULL},
    {"raise_exception_after_error", raise_exception_after_error, METH_VARARGS, NULL},
    {"do_raise_exception", do_raise_exception, METH_VARARGS, NULL},
    {"interrupt_received", interrupt_received, METH_VARARGS, NULL},
    {"sig_on_recover", sig_on_recover, METH_NOARGS, NULL},
    {"sig_off_warning", sig_off_warning, METH_VARARGS, NULL},
    {"signal_then_sig_off", signal_then_sig_off, METH_VARARGS, NULL},
    {"raise_at_exit", raise_at_exit, METH_VARARGS, "raise_at_exit(sig): a C exit handler raises sig"},
    {"print_backtrace", print_backtrace, METH_NOARGS, NULL},
    {"verify_exc_value", verify_exc_value, METH_VARARGS, NULL},
    {"raised_value_refcount", raised_value_refcount, METH_NOARGS, NULL},
    {"add_hooks", add_hooks, METH_VARARGS, NULL},
    {"set_hook_blocked", set_hook_blocked, METH_VARARGS, NULL},
    {"add_null_hook", add_null_hook, METH_VARARGS, NULL},
    {"take_hook_log", take_hook_log, METH_NOARGS, NULL},
    {"blocked_signals", blocked_signals, METH_NOARGS, NULL},
    {"disposition", disposition, METH_VARARGS, NULL},
    {"alt_stack", alt_stack, METH_NOARGS, NULL},
    {"enter_region", enter_region, METH_NOARGS, NULL},
    {"leave_region", leave_region, METH_NOARGS, NULL},
    {"busy_region", busy_region, METH_VARARGS, NULL},
    {"sleep_region", sleep_region, METH_VARARGS, NULL},
    {"fault", fault, METH_VARARGS, NULL},
    {"recurse", recurse, METH_VARARGS, NULL},
    {"shielded_region", shielded_region, METH_VARARGS, NULL},
    {"shield_consume", shield_consume, METH_VARARGS,
     "shield_consume(seconds): shielded spin; claims the interrupt recorded meanwhile"},
    {"region_left_twice", region_left_twice, METH_NOARGS, NULL},
    {"landing_masks", landing_masks, METH_VARARGS, NULL},
    {"fault_during_recovery", fault_during_recovery, METH_VARARGS, NULL},
    {"check_loop", check_loop, METH_VARARGS, NULL},
#ifdef __cplusplus
    {"cooperative_wait", cooperative_wait, METH_VARARGS,
     "cooperative_wait(seconds, check): a cooperative scope without the lock"},
#endif
    {"bystander_in_region", bystander_in_region, METH_VARARGS,
     "bystander_in_region(kind, seconds): another thread signals or faults during a region"},
    {"signal_when", signal_when, METH_VARARGS,
     "signal_when(sig, field=None, delay=0.0): send sig from a native thread"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, TV_STR(TVCLIENT_NAME), "talvex test client", -1, methods,
    NULL, NULL, NULL, NULL,
};

#ifdef __cplusplus
extern "C"
#endif
PyMODINIT_FUNC TV_CAT(PyInit_, TVCLIENT_NAME)(void)
{
    if (talvex_import() < 0)
        return NULL;
    return PyModule_Create(&module_def);
}
