/*
 * tvroute: a talvex client whose loops poll outside any region or scope, as
 * a newcomer's worker would: sig_check() or talvex::check() in a loop that
 * runs without the interpreter lock. Compiled on its own against
 * <talvex/state.h> only, as a user's module would be.
 *
 * polling() says how many loops have begun to poll: the moment a test
 * waits for before it has its signal sent.
 */
#define PY_SSIZE_T_CLEAN
#include <talvex/state.h>

#include <string.h>
#include <time.h>

namespace {

int polling_loops;
int stopped;
volatile unsigned long sink;

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Some work between two polls: a few microseconds.
void work()
{
    for (int i = 0; i < 2000; i++)
        sink++;
}

// polling() -> how many poll_loop() calls have begun to poll.
PyObject *polling(PyObject *, PyObject *)
{
    return PyLong_FromLong(__atomic_load_n(&polling_loops, __ATOMIC_SEQ_CST));
}

PyObject *stop(PyObject *, PyObject *)
{
    __atomic_store_n(&stopped, 1, __ATOMIC_SEQ_CST);
    Py_RETURN_NONE;
}

// poll_loop(kind, hang=60) -> "stopped" | "timed out": polls with
// sig_check() ("sig_check") or talvex::check() outside a scope ("check"),
// without the interpreter lock, until stop() or `hang` seconds; an
// interrupt the poll takes ends it with its exception.
PyObject *poll_loop(PyObject *, PyObject *args)
{
    const char *kind;
    double hang = 60;
    if (!PyArg_ParseTuple(args, "s|d", &kind, &hang))
        return nullptr;
    bool check = strcmp(kind, "check") == 0;
    if (!check && strcmp(kind, "sig_check") != 0) {
        PyErr_SetString(PyExc_ValueError, "tvroute: kind is 'sig_check' or 'check'");
        return nullptr;
    }
    int taken = 0;
    bool timed_out = false;
    Py_BEGIN_ALLOW_THREADS
    double end = now() + hang;
    __atomic_add_fetch(&polling_loops, 1, __ATOMIC_SEQ_CST);
    while (!__atomic_load_n(&stopped, __ATOMIC_SEQ_CST)) {
        if (check) {
            try {
                talvex::check();
            } catch (const talvex::interrupted &e) {
                taken = e.signal();
                break;
            }
        } else if (!sig_check()) {
            taken = -1;  // the exception is set
            break;
        }
        work();
        if (now() > end) {
            timed_out = true;
            break;
        }
    }
    Py_END_ALLOW_THREADS
    if (taken > 0)
        talvex::set_python_error(talvex::interrupted(taken));
    if (taken != 0)
        return nullptr;
    return PyUnicode_FromString(timed_out ? "timed out" : "stopped");
}

PyMethodDef methods[] = {
    {"polling", polling, METH_NOARGS, "polling() -> loops that have begun to poll"},
    {"stop", stop, METH_NOARGS, "end every poll_loop()"},
    {"poll_loop", poll_loop, METH_VARARGS, "poll_loop(kind, hang=60) -> how it ended"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tvroute", "talvex test client: polls outside regions and scopes", -1,
    methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tvroute(void)
{
    if (talvex_import() < 0)
        return nullptr;
    return PyModule_Create(&module_def);
}
