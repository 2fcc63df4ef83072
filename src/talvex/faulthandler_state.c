/*
 * Where faulthandler writes its traceback, read from the interpreter's own
 * record of it. The crash report goes to the same file: a test runner
 * that captures descriptor 2 during each test (pytest) hands faulthandler
 * a duplicate of the real standard error, and a report written to
 * descriptor 2 would vanish with the capture when the process dies.
 *
 * The record is internal to CPython, so its place is taken from the
 * interpreter's internal headers at build time and every reading is
 * checked against facts the public API gives (faulthandler.is_enabled(),
 * the main interpreter): a record that ever disagrees is never read again.
 * The report is written to talvex's own duplicate of faulthandler's
 * descriptor, taken when faulthandler is enabled (or when talvex starts
 * with it on), never to the number itself: the file passed to enable() may
 * have been closed since, and its number reused by an unrelated file.
 *
 * C, not C++: the internal headers do not compile as C++.
 */
#define Py_BUILD_CORE 1
#include <Python.h>
#include "internal/pycore_runtime.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/stat.h>
#include <unistd.h>

#include "faulthandler_state.h"

typedef struct _faulthandler_runtime_state tv_fh_state;

static const volatile tv_fh_state *fh_state;
static const void *fh_main_interp;

void tv_faulthandler_locate(void)
{
    if (fh_state != NULL)
        return;
    char *runtime = (char *)dlsym(RTLD_DEFAULT, "_PyRuntime");
    if (runtime == NULL)
        return;
    fh_main_interp = PyInterpreterState_Main();
    fh_state = (const volatile tv_fh_state *)(runtime + offsetof(_PyRuntimeState, faulthandler));
}

void tv_faulthandler_verify(int enabled)
{
    const volatile tv_fh_state *s = fh_state;
    if (s == NULL)
        return;
    int agrees = (s->fatal_error.enabled != 0) == (enabled != 0);
    if (agrees && enabled)
        agrees = s->fatal_error.interp == fh_main_interp &&
                 fcntl(s->fatal_error.fd, F_GETFD) != -1;
    if (!agrees)
        fh_state = NULL;
}

int tv_faulthandler_fd(void)
{
    const volatile tv_fh_state *s = fh_state;
    if (s == NULL || !s->fatal_error.enabled || s->fatal_error.interp != fh_main_interp)
        return -1;
    return s->fatal_error.fd;
}

PyObject *tv_faulthandler_file(int *all_threads, int *c_stack)
{
    *all_threads = 0;
    *c_stack = -1;
    if (tv_faulthandler_fd() < 0)
        return NULL;
    *all_threads = fh_state->fatal_error.all_threads;
#if PY_VERSION_HEX >= 0x030E0000
    /* 3.14's enable(c_stack=...): whether the C stack follows the traceback. */
    *c_stack = fh_state->fatal_error.c_stack;
#endif
    return fh_state->fatal_error.file;
}

/* talvex's duplicate of faulthandler's descriptor, the number it
 * duplicates, and the file's identity (a program that closes descriptors
 * wholesale may close the duplicate too and reuse its number). */
static volatile int fh_copy = -1;
static volatile int fh_copied_from = -1;
static dev_t fh_copy_dev;
static ino_t fh_copy_ino;

static int same_file(int fd, dev_t dev, ino_t ino)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

void tv_faulthandler_take_copy(void)
{
    int fd = tv_faulthandler_fd();
    struct stat st;
    if (fd >= 0 && fd == fh_copied_from && fh_copy >= 0 && fstat(fd, &st) == 0 &&
        same_file(fh_copy, st.st_dev, st.st_ino))
        return;  /* the same file still */
    int old = fh_copy;
    fh_copied_from = -1;
    fh_copy = -1;
    if (old >= 0)
        close(old);
    /* faulthandler on standard error itself: the report's usual place. */
    if (fd < 0 || fd == 2 || fstat(fd, &st) != 0)
        return;
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0)
        return;
    fh_copy_dev = st.st_dev;
    fh_copy_ino = st.st_ino;
    fh_copy = copy;
    fh_copied_from = fd;
}

int tv_faulthandler_report_fd(void)
{
    int fd = tv_faulthandler_fd();
    int copy = fh_copy;
    /* Enabled behind the wrapper's back, or the copy gone: standard error. */
    if (fd < 0 || copy < 0 || fd != fh_copied_from || !same_file(copy, fh_copy_dev, fh_copy_ino))
        return -1;
    return copy;
}
