/* Where faulthandler writes (faulthandler_state.c). */
#ifndef TALVEX_FAULTHANDLER_STATE_H
#define TALVEX_FAULTHANDLER_STATE_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Find faulthandler's record; ordinary context, with the interpreter lock. */
void tv_faulthandler_locate(void);
/* Compare the record with what faulthandler.is_enabled() said; a record
 * that disagrees is never read again. */
void tv_faulthandler_verify(int enabled);
/* The descriptor faulthandler writes to while it is enabled, else -1.
 * Plain reads: safe in a signal handler. */
int tv_faulthandler_fd(void);
/* While faulthandler is enabled, its all_threads and c_stack settings
 * (c_stack -1 before 3.14, which has none), and the file its enable() was
 * given (borrowed; NULL for a descriptor number, or when not enabled).
 * With the interpreter lock. */
PyObject *tv_faulthandler_file(int *all_threads, int *c_stack);
/* Take talvex's own duplicate of the descriptor faulthandler writes to, or
 * drop it when faulthandler is off; ordinary context. */
void tv_faulthandler_take_copy(void);
/* Where the crash report goes instead of standard error: the duplicate,
 * while faulthandler still writes to the file it was taken from; else -1.
 * Safe in a signal handler. */
int tv_faulthandler_report_fd(void);

#ifdef __cplusplus
}
#endif

#endif
