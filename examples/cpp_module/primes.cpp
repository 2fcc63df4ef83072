// A plain CPython-API extension in C++ whose slow loop can be interrupted
// and whose faults become Python exceptions.
#include <Python.h>
#include <talvex/state.h>

// The protected code: plain computation, no objects with destructors.
static long count_primes_below(long n)
{
    long count = 0;
    for (long k = 2; k < n; k++) {
        bool prime = true;
        for (long d = 2; d * d <= k; d++) {
            if (k % d == 0) {
                prime = false;
                break;
            }
        }
        count += prime;
    }
    return count;
}

static PyObject *count_primes(PyObject *, PyObject *arg)
{
    long n = PyLong_AsLong(arg);
    if (n == -1 && PyErr_Occurred())
        return nullptr;
    if (!sig_on())
        return nullptr;  // KeyboardInterrupt, AlarmInterrupt, ... is set
    long count = count_primes_below(n);
    sig_off();
    return PyLong_FromLong(count);
}

static PyObject *read_address(PyObject *, PyObject *arg)
{
    auto *p = static_cast<volatile long *>(PyLong_AsVoidPtr(arg));
    if (PyErr_Occurred())
        return nullptr;
    if (!sig_str("read_address: bad address"))
        return nullptr;  // SignalError("read_address: bad address")
    long value = *p;
    sig_off();
    return PyLong_FromLong(value);
}

static PyMethodDef methods[] = {
    {"count_primes", count_primes, METH_O, "Count the primes below n (interruptible)."},
    {"read_address", read_address, METH_O, "Read a long at an address (faults are caught)."},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "talvex_example_cpp", "talvex example: plain CPython API in C++",
    -1, methods, nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_talvex_example_cpp(void)
{
    if (talvex_import() < 0)
        return nullptr;
    return PyModule_Create(&module_def);
}
