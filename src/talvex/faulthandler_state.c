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
 * C, not C++: the internal headers do not compile as C++.
 */
#define Py_BUILD_CORE 1
#include <Python.h>
#include "internal/pycore_runtime.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stddef.h>

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

PyObject *tv_faulthandler_file(int *all_threads)
{
    *all_threads = 0;
    if (tv_faulthandler_fd() < 0)
        return NULL;
    *all_threads = fh_state->fatal_error.all_threads;
    return fh_state->fatal_error.file;
}
