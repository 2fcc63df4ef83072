// What the code in signal context offers the rest of the runtime: the two
// handlers, the trampoline, and the reads and records they make, each safe
// in a signal handler. handlers.cpp calls nothing of the ordinary-context
// runtime (implementation.cpp, python_signals.cpp, signals.cpp).
#ifndef TALVEX_HANDLERS_H
#define TALVEX_HANDLERS_H

#include "runtime_state.h"

namespace talvex {

void interrupt_handler(int sig, siginfo_t *info, void *context);
void fatal_signal_handler(int sig, siginfo_t *info, void *context);
void *trampoline_body(void *);
int custom_signal_is_blocked();
void custom_set_pending_signal(int sig);
// Records an interrupt in a record's pending_interrupt (a pending hang-up
// stays).
void record_interrupt(tvstate_t *record, int sig);
// The main thread's share of an interrupt, outside its regions: kept for
// python_check_interrupt (or, claimed, for the program's handler), which
// the interpreter is asked to run, and for the main thread's checks. Safe
// in a signal handler. `owed`: kept apart from the main thread's record,
// whose region is another thread's.
void hand_to_python(int sig, bool owed = false);
// Whose is the open region of the main thread's record. Asked in the main
// thread, `sp` where a signal interrupted it (0 where unknown) or its
// current stack pointer. The exported record may hold a region that a
// module opened by hand in another thread: the main thread's own has its
// resume point on the stack the main thread runs on (the main stack,
// however far it grew, or a coroutine's). Safe in a signal handler.
enum class MainRegion {
    none,             // no region open
    own,              // the main thread's: it may jump there
    another_threads,  // its resume point lies on another stack
    unknown,          // its resume point lies in no memory a stack may be in
};
MainRegion main_thread_region(const ThreadRecord *main, uintptr_t sp);
// main_thread_region() says `own`: the main thread may take the region.
bool main_thread_in_region(const ThreadRecord *main, uintptr_t sp);
// The calling thread's stack pointer, near enough for the question above.
inline uintptr_t current_stack_pointer()
{
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}
// The registry's record of a thread (pthread_t), or null. Safe in a signal
// handler.
ThreadRecord *find_thread_record(unsigned long thread);
// Whether PyErr_SetInterruptEx may be called: not before initialisation,
// nor once finalisation began.
bool python_running();
// The interpreter's "finalising?" query, looked up at initialisation: its
// name differs between versions and a binary built for one may run on the
// next.
extern int (*interpreter_finalizing)(void);
// Whether the interpreter began finalising (and stays so after it ended).
bool finalizing();
// The talvex handler for `sig` (interrupt or fatal), installed with SA_SIGINFO.
void (*handler_for(int sig))(int, siginfo_t *, void *);
// Stores `value` into every word that polls read. Safe in a signal handler.
void set_attention(int value);
// The calling thread waits, with every signal blocked, for the process's
// end. Safe in a signal handler.
[[noreturn]] void park_thread();
// Whether a disposition is one of talvex's two handlers.
bool is_talvex_handler(const struct sigaction &sa);
// The record of the main thread's interrupts: its pending interrupt is the
// one python_check_interrupt raises.
tvstate_t *main_state();

}  // namespace talvex

#endif
