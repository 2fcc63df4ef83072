/*
 * A stand-in for a library that hosts a runtime (a JVM, a WebAssembly
 * engine, a collector with guard pages). It knows nothing of talvex: it
 * installs its own SIGSEGV handler, which makes an access to its guard page
 * valid and returns, and hands every other fault to the handler it found
 * when it was installed, or, when there was none, to the default action:
 * as install()'s `how` says, it resets the signal to the default and
 * returns, so that the fault strikes again ("return"), or re-raises it
 * with raise() ("raise") or kill() ("kill"), as crash reporters do; or its
 * handler itself faults, with a division by zero ("fpe").
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static char *guard;
static size_t page;
static struct sigaction previous;
static volatile sig_atomic_t recovered;
static char how[8] = "return";
static volatile int zero, one = 1;

static void on_segv(int sig, siginfo_t *info, void *context)
{
    char *address = (char *)info->si_addr;
    if (info->si_code > 0 && guard != NULL && address >= guard && address < guard + page) {
        mprotect(guard, page, PROT_READ | PROT_WRITE);
        recovered++;
        return;
    }
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction != NULL) {
            previous.sa_sigaction(sig, info, context);
            return;
        }
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(sig);
        return;
    }
    /* Not ours and nobody else's: the default action. */
    if (strcmp(how, "fpe") == 0) {
        recovered = one / zero;
        return;
    }
    signal(sig, SIG_DFL);
    if (strcmp(how, "raise") == 0)
        raise(sig);
    else if (strcmp(how, "kill") == 0)
        kill(getpid(), sig);
}

static PyObject *install(PyObject *self, PyObject *args)
{
    struct sigaction sa;
    const char *given = "return";
    (void)self;
    if (!PyArg_ParseTuple(args, "|s", &given))
        return NULL;
    if (strlen(given) >= sizeof(how))
        return PyErr_Format(PyExc_ValueError, "unknown way %s", given);
    strcpy(how, given);
    page = (size_t)sysconf(_SC_PAGESIZE);
    guard = mmap(NULL, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (guard == MAP_FAILED) {
        guard = NULL;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGSEGV, &sa, &previous) != 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    Py_RETURN_NONE;
}

/* touch(): guard the page again, then write and read it: the access faults
 * and the handler makes it valid. Returns (value read, faults recovered). */
static PyObject *touch(PyObject *self, PyObject *noargs)
{
    (void)self;
    (void)noargs;
    if (guard == NULL)
        return PyErr_Format(PyExc_RuntimeError, "install() first");
    mprotect(guard, page, PROT_NONE);
    ((volatile char *)guard)[7] = 42;
    return Py_BuildValue("(ii)", ((volatile char *)guard)[7], (int)recovered);
}

static PyMethodDef methods[] = {
    {"install", install, METH_VARARGS, "install([how]): install the library's SIGSEGV handler"},
    {"touch", touch, METH_NOARGS, "touch() -> (value, faults recovered)"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tvguard", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_tvguard(void)
{
    return PyModule_Create(&module_def);
}
