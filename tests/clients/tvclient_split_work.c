/* The regions of the two-file client (see tvclient_split_init.c). */
#define PY_SSIZE_T_CLEAN
#include <talvex/state.h>

#include <time.h>

static volatile unsigned long counter;
static volatile int zero;

PyObject *tvsplit_spin(PyObject *self, PyObject *args);
PyObject *tvsplit_fault(PyObject *self, PyObject *noargs);

PyObject *tvsplit_spin(PyObject *self, PyObject *args)
{
    double seconds;
    struct timespec start, now;
    (void)self;
    if (!PyArg_ParseTuple(args, "d", &seconds))
        return NULL;
    if (!sig_on())
        return NULL;
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        counter++;
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((double)(now.tv_sec - start.tv_sec) + 1e-9 * (double)(now.tv_nsec - start.tv_nsec) <
             seconds);
    sig_off();
    Py_RETURN_NONE;
}

PyObject *tvsplit_fault(PyObject *self, PyObject *noargs)
{
    (void)self;
    (void)noargs;
    if (!sig_on())
        return NULL;
    *(volatile int *)(size_t)zero = 1;
    sig_off();
    Py_RETURN_NONE;
}
