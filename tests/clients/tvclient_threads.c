/*
 * Threads for crash reports in hard places: a thread that C code creates,
 * which Python never sees, and native code that faults while another
 * thread holds the interpreter lock. Uses nothing of talvex: the faults
 * happen outside any region.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <time.h>

static void pause_for(double seconds)
{
    struct timespec ts;
    ts.tv_sec = (time_t)seconds;
    ts.tv_nsec = (long)((seconds - (double)ts.tv_sec) * 1e9);
    while (nanosleep(&ts, &ts) != 0)
        continue;
}

/* Read at run time, so that the compiler cannot drop the faulting store. */
static int *volatile null_pointer;

/* A number of seconds from Python: 0 with an exception set on error. */
static int seconds_of(PyObject *arg, double *seconds)
{
    *seconds = PyFloat_AsDouble(arg);
    return !(*seconds == -1.0 && PyErr_Occurred());
}

__attribute__((noinline)) static void write_through_null(void)
{
    *null_pointer = 1;
}

static double native_thread_delay;

static void *native_thread_main(void *arg)
{
    (void)arg;
    pause_for(native_thread_delay);
    write_through_null();
    return NULL;
}

/* start_faulting_thread(seconds): a detached thread with no Python thread
 * state, which writes through a null pointer after the delay. */
static PyObject *start_faulting_thread(PyObject *self, PyObject *arg)
{
    pthread_t thread;
    pthread_attr_t attr;
    int err;
    (void)self;
    if (!seconds_of(arg, &native_thread_delay))
        return NULL;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    err = pthread_create(&thread, &attr, native_thread_main, NULL);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

static atomic_int fault_pending;

/* fault_after(seconds): releases the interpreter lock, waits, then writes
 * through a null pointer. */
static PyObject *fault_after(PyObject *self, PyObject *arg)
{
    double seconds;
    (void)self;
    if (!seconds_of(arg, &seconds))
        return NULL;
    Py_BEGIN_ALLOW_THREADS
    atomic_store(&fault_pending, 1);
    pause_for(seconds);
    write_through_null();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

/* hold_gil(seconds): once fault_after has let go of the interpreter lock,
 * takes it and waits without releasing it. */
static PyObject *hold_gil(PyObject *self, PyObject *arg)
{
    double seconds;
    (void)self;
    if (!seconds_of(arg, &seconds))
        return NULL;
    Py_BEGIN_ALLOW_THREADS
    while (!atomic_load(&fault_pending))
        pause_for(0.001);
    Py_END_ALLOW_THREADS
    pause_for(seconds);
    Py_RETURN_NONE;
}

static pthread_barrier_t together;

static void *fault_together(void *arg)
{
    (void)arg;
    pthread_barrier_wait(&together);
    write_through_null();
    return NULL;
}

/* fault_in_two_threads(): two threads that C code creates write through a
 * null pointer as soon as both have started; the caller waits for them
 * without the interpreter lock. */
static PyObject *fault_in_two_threads(PyObject *self, PyObject *noargs)
{
    pthread_t first, second;
    int err;
    (void)self;
    (void)noargs;
    pthread_barrier_init(&together, NULL, 2);
    Py_BEGIN_ALLOW_THREADS
    err = pthread_create(&first, NULL, fault_together, NULL);
    if (err == 0)
        err = pthread_create(&second, NULL, fault_together, NULL);
    if (err == 0)
        pthread_join(first, NULL);   /* never returns: the process dies */
    Py_END_ALLOW_THREADS
    errno = err;
    return PyErr_SetFromErrno(PyExc_OSError);
}

static PyMethodDef methods[] = {
    {"fault_in_two_threads", fault_in_two_threads, METH_NOARGS, NULL},
    {"start_faulting_thread", start_faulting_thread, METH_O, NULL},
    {"fault_after", fault_after, METH_O, NULL},
    {"hold_gil", hold_gil, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tvclient_threads", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_tvclient_threads(void)
{
    return PyModule_Create(&module_def);
}
