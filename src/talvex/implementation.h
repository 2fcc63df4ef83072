// Private interface between the module shell (signals.cpp) and the native
// runtime (implementation.cpp). Clients never see this header.
#ifndef TALVEX_IMPLEMENTATION_H
#define TALVEX_IMPLEMENTATION_H

#include "talvex/state.h"

extern "C" {

// The one state record, exported to clients through __pyx_capi__.
extern tvstate_t tvstate;

// Entry points exported through __pyx_capi__; their types spell the
// signature strings exactly.
int add_custom_signals(int (*is_blocked)(void), void (*unblock)(void),
                       void (*set_pending)(int));
int sig_raise_exception(int sig, const char *msg);
void _sig_off_warning(const char *file, int line);
void _do_raise_exception(int sig);
void _sig_on_interrupt_received(void);
void _sig_on_recover(void);
void print_backtrace(void);
void verify_exc_value(void);

}  // extern "C"

namespace talvex {

// Installation (implementation.cpp). Both end the process on failure.
void install_signal_handlers();
void setup_alt_stack();

// Add a traceback entry "talvex.signals.<name>" (or any function name) to
// the exception being raised, keeping that exception (signals.cpp).
void add_traceback(const char *funcname, int line, const char *file);

}  // namespace talvex

#endif
