/* The regions of the two-file client (see tvclient_split_init.c). */
#define PY_SSIZE_T_CLEAN
#include <talvex/state.h>

#include <time.h>
#include <unistd.h>

static volatile unsigned long counter;
static volatile int zero;

PyObject *tvsplit_spin(PyObject *self, PyObject *args);
PyObject *tvsplit_fault(PyObject *self, PyObject *noargs);

static void spin_for(double seconds)
{
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        counter++;
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((double)(now.tv_sec - start.tv_sec) + 1e-9 * (double)(now.tv_nsec - start.tv_nsec) <
             seconds);
}

/* spin(seconds, nogil=False, announce=False): spin in a region, holding the
 * interpreter lock or not; with `announce`, "region\n" is written to
 * standard output once the region is open. */
PyObject *tvsplit_spin(PyObject *self, PyObject *args)
{
    double seconds;
    int nogil = 0, announce = 0, entered;
    PyThreadState *volatile saved = NULL;
    (void)self;
    if (!PyArg_ParseTuple(args, "d|pp", &seconds, &nogil, &announce))
        return NULL;
    if (nogil)
        saved = PyEval_SaveThread();
    entered = sig_on();
    if (entered) {
        if (announce && write(1, "region\n", 7) != 7)
            counter++;
        spin_for(seconds);
        sig_off();
    }
    if (nogil)
        PyEval_RestoreThread(saved);
    if (!entered)
        return NULL;
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
