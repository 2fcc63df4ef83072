/*
 * Threads for crash reports in hard places: a thread that C code creates,
 * which Python never sees, native code that faults while another thread
 * holds the interpreter lock, and a thread that forks while the process
 * crashes. Uses nothing of talvex: the faults happen outside any region.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

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

/* Starts a detached thread with no Python thread state: None, or NULL with
 * an exception set. */
static PyObject *start_detached(void *(*body)(void *))
{
    pthread_t thread;
    pthread_attr_t attr;
    int err;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    err = pthread_create(&thread, &attr, body, NULL);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

/* start_faulting_thread(seconds): a thread that writes through a null
 * pointer after the delay. */
static PyObject *start_faulting_thread(PyObject *self, PyObject *arg)
{
    (void)self;
    if (!seconds_of(arg, &native_thread_delay))
        return NULL;
    return start_detached(native_thread_main);
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

static int fork_log = -1;
static int fork_count;

/* In a forked child: what an ordinary process does. 'T': SIGTERM to
 * itself, which must end it (exit status 3 if it does not); 'F': a fault,
 * which must end it by SIGSEGV after its own report (written to /dev/null).
 */
static void forked_child(char kind)
{
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (kind == 'T') {
        raise(SIGTERM);
        _exit(3);
    }
    write_through_null();
    _exit(4);
}

static void *forking_thread_main(void *arg)
{
    (void)arg;
    for (int i = 0; i < fork_count; i++) {
        char kind = i % 2 ? 'F' : 'T';
        pid_t child = fork();
        if (child == 0)
            forked_child(kind);
        if (child > 0) {
            char line[32];
            int n = snprintf(line, sizeof(line), "%d %c\n", (int)child, kind);
            if (write(fork_log, line, (size_t)n) != n)
                break;
        }
        pause_for(0.002);
    }
    return NULL;
}

/* start_forking_thread(path, count): a thread that forks `count`
 * children, one every 2 ms, and appends "<pid> <kind>" for each to the file
 * at `path` (see forked_child). */
static PyObject *start_forking_thread(PyObject *self, PyObject *args)
{
    const char *path;
    (void)self;
    if (!PyArg_ParseTuple(args, "si", &path, &fork_count))
        return NULL;
    fork_log = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fork_log < 0)
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    return start_detached(forking_thread_main);
}

static PyMethodDef methods[] = {
    {"start_forking_thread", start_forking_thread, METH_VARARGS, NULL},
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
