// The crash path: the report, the crash inspector and the process's death
// by its signal, when a fatal signal cannot become a Python exception.
// Everything it does runs inside the fatal-signal handler (handlers.cpp),
// under the same rules.
#ifndef TALVEX_CRASH_H
#define TALVEX_CRASH_H

#include <signal.h>

namespace talvex {

// The message the report gives for `sig`: the one for a signal during
// signal handling, or the one for a signal outside any region. Null for
// SIGQUIT.
const char *fatal_message(int sig, bool during_handling);
// The first thread to get here owns the crash and returns; any other
// waits for death.
void claim_crash(int sig);
// A fatal signal once `owner` (a kernel thread id) owns the crash: in the
// owner, the handler before talvex handed the signal back, so it is death
// now; any other thread waits for it.
[[noreturn]] void follow_crash(int owner, int sig);
// The last act of the process: the report, then the handler that was in
// place before talvex (faulthandler, a crash reporter), then death by the
// signal itself.
[[noreturn]] void die_for_signal(int sig, const char *message, const siginfo_t *info,
                                 void *context);
// In a child forked while the process was dying (ordinary context, the
// child's first act): no crash is in progress there, and the signals the
// crash took over have their dispositions of before it again.
void forget_crash_in_child();

}  // namespace talvex

#endif
