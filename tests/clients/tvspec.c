/*
 * tvspec: a client that knows only the record's protocol. It includes no
 * talvex header: it declares the record itself, takes its address and the
 * entry points out of talvex.signals.__pyx_capi__, and opens its regions by
 * hand on that one exported record, in whichever thread calls it.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include "tvrecurse.h"

typedef struct {
    int sig_on_count;
    int pending_interrupt;
    int handler_active;
    int sigint_blocked;
    sigjmp_buf resume_point;
    const char *message;
    PyObject *raised_value;
} record_t;

static record_t *tv;
static void (*do_raise_exception)(int);
static void (*sig_on_interrupt_received)(void);
static void (*sig_on_recover)(void);
static void (*sig_off_warning)(const char *, int);

static int load(const int *field) { return __atomic_load_n(field, __ATOMIC_SEQ_CST); }
static void store(int *field, int value) { __atomic_store_n(field, value, __ATOMIC_SEQ_CST); }

static void *entry(PyObject *capi, const char *key, const char *signature)
{
    PyObject *capsule = PyDict_GetItemString(capi, key);
    if (capsule == NULL) {
        PyErr_Format(PyExc_ImportError, "no %s", key);
        return NULL;
    }
    return PyCapsule_GetPointer(capsule, signature);
}

static int import_talvex(void)
{
    PyObject *module = PyImport_ImportModule("talvex.signals");
    PyObject *capi = module ? PyObject_GetAttrString(module, "__pyx_capi__") : NULL;
    Py_XDECREF(module);
    if (capi == NULL)
        return -1;
    tv = entry(capi, "tvstate", "tvstate_t");
    *(void **)&do_raise_exception = tv ? entry(capi, "_do_raise_exception", "void (int)") : NULL;
    *(void **)&sig_on_interrupt_received =
        do_raise_exception ? entry(capi, "_sig_on_interrupt_received", "void (void)") : NULL;
    *(void **)&sig_on_recover =
        sig_on_interrupt_received ? entry(capi, "_sig_on_recover", "void (void)") : NULL;
    *(void **)&sig_off_warning =
        sig_on_recover ? entry(capi, "_sig_off_warning", "void (char const *, int)") : NULL;
    Py_DECREF(capi);
    return sig_off_warning ? 0 : -1;
}

/* The protocol's steps around the recording, which the caller makes in
 * its own frame: after the direct return, then after a jump. */
static int entered(void)
{
    store(&tv->sig_on_count, 1);
    if (load(&tv->pending_interrupt)) {
        sig_on_interrupt_received();
        return 0;
    }
    return 1;
}

static void landed(int sig)
{
    do_raise_exception(sig);
    sig_on_recover();
}

static void leave(void)
{
    int count = load(&tv->sig_on_count);
    if (count <= 0)
        sig_off_warning(__FILE__, __LINE__);
    else
        store(&tv->sig_on_count, count - 1);
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

static volatile unsigned long spins;
static int *volatile null_pointer;

/* A null read with kind "segv", a stack overflow with "overflow"; else
 * `seconds` of work (or until a jump), which a positive length announces
 * with the line "region" on standard output. */
static void work(const char *kind, double seconds)
{
    double end;
    if (strcmp(kind, "segv") == 0)
        spins += *null_pointer;
    if (strcmp(kind, "overflow") == 0)
        spins += recurse_forever(NULL, 0);
    if (seconds > 0 && write(1, "region\n", 7) != 7)
        return;
    end = now() + seconds;
    while (now() < end)
        spins++;
}


/* region(kind, seconds): a region by hand around work(). */
static PyObject *region(PyObject *self, PyObject *args)
{
    const char *kind;
    double seconds;
    int sig;
    (void)self;
    if (!PyArg_ParseTuple(args, "sd", &kind, &seconds))
        return NULL;
    tv->message = NULL;
    sig = sigsetjmp(tv->resume_point, 0);
    if (sig != 0) {
        landed(sig);
        return NULL;
    }
    if (!entered())
        return NULL;
    work(kind, seconds);
    leave();
    Py_RETURN_NONE;
}

/* deep(kind, seconds, kib): region(kind, seconds) opened `kib` KiB
 * further down the calling thread's stack. */
static PyObject *descend(const char *kind, double seconds, long kib)
{
    volatile char frame[1024];
    frame[0] = 0;
    if (kib > 0) {
        PyObject *r = descend(kind, seconds, kib - 1);
        return frame[0] ? NULL : r;
    }
    {
        PyObject *args = Py_BuildValue("(sd)", kind, seconds);
        PyObject *r = args ? region(NULL, args) : NULL;
        Py_XDECREF(args);
        return r;
    }
}

static PyObject *deep(PyObject *self, PyObject *args)
{
    const char *kind;
    double seconds;
    long kib;
    (void)self;
    if (!PyArg_ParseTuple(args, "sdl", &kind, &seconds, &kib))
        return NULL;
    return descend(kind, seconds, kib);
}

/* on_coroutine(kind, seconds): region(kind, seconds) run on a stack of its
 * own, entered with swapcontext(), as a C coroutine library runs its
 * coroutines. */
static struct {
    ucontext_t caller, coroutine;
    const char *kind;
    double seconds;
    int failed;
} co;

static void coroutine_body(void)
{
    int sig;
    tv->message = NULL;
    sig = sigsetjmp(tv->resume_point, 0);
    if (sig != 0) {
        landed(sig);
        co.failed = 1;
        return;
    }
    if (!entered()) {
        co.failed = 1;
        return;
    }
    work(co.kind, co.seconds);
    leave();
}

static PyObject *on_coroutine(PyObject *self, PyObject *args)
{
    const size_t size = 1 << 20;
    void *stack;
    (void)self;
    if (!PyArg_ParseTuple(args, "sd", &co.kind, &co.seconds))
        return NULL;
    stack = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED)
        return PyErr_SetFromErrno(PyExc_OSError);
    co.failed = 0;
    getcontext(&co.coroutine);
    co.coroutine.uc_stack.ss_sp = stack;
    co.coroutine.uc_stack.ss_size = size;
    co.coroutine.uc_link = &co.caller;
    makecontext(&co.coroutine, coroutine_body, 0);
    swapcontext(&co.caller, &co.coroutine);
    munmap(stack, size);
    if (co.failed)
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *state(PyObject *self, PyObject *noargs)
{
    (void)self; (void)noargs;
    return Py_BuildValue("(iiii)", load(&tv->sig_on_count), load(&tv->pending_interrupt),
                         load(&tv->handler_active), load(&tv->sigint_blocked));
}

static PyMethodDef methods[] = {
    {"region", region, METH_VARARGS, NULL},
    {"deep", deep, METH_VARARGS, NULL},
    {"on_coroutine", on_coroutine, METH_VARARGS, NULL},
    {"state", state, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "tvspec", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_tvspec(void)
{
    if (import_talvex() < 0)
        return NULL;
    return PyModule_Create(&module);
}
