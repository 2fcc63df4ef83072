#include <talvex/state.h>  /* includes Python.h */

/* Count to n, inside a protected region: interruptible. */
static PyObject *spin(PyObject *self, PyObject *arg)
{
    volatile unsigned long long i = 0;
    unsigned long long n = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred())
        return NULL;
    if (!sig_on())
        return NULL;  /* KeyboardInterrupt, AlarmInterrupt, ... is set */
    while (i < n)
        i++;
    sig_off();
    return PyLong_FromUnsignedLongLong(i);
}

/* Read a byte at an address: a fault becomes talvex.SignalError. */
static PyObject *peek(PyObject *self, PyObject *arg)
{
    volatile const char *p = PyLong_AsVoidPtr(arg);
    char c;
    if (PyErr_Occurred())
        return NULL;
    if (!sig_str("peek: bad address"))
        return NULL;
    c = *p;
    sig_off();
    return PyLong_FromLong(c);
}

static PyMethodDef methods[] = {
    {"spin", spin, METH_O, "Count to n (interruptible)."},
    {"peek", peek, METH_O, "Read a byte at an address (faults are caught)."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "spin", NULL, -1, methods};

PyMODINIT_FUNC PyInit_spin(void)
{
    return PyModule_Create(&module);
}
