// The kernel's id of the calling thread, and what the runtime reads from
// the interrupted machine context that the kernel saves in every signal
// frame. On Linux x86-64 the kernel passes the address of that context as
// the handler's third argument and always fills in the interrupted signal
// mask, stack pointer and fault registers. Elsewhere nothing is read and
// the runtime falls back to the mask saved at initialisation.
//
// Safe in a signal handler: one system call, or plain memory reads.
#ifndef TALVEX_PLATFORM_H
#define TALVEX_PLATFORM_H

#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

namespace talvex {

// The calling thread's kernel id. The system call, not gettid(): glibc
// gained that wrapper only in 2.30, and the wheels run on older ones. Safe
// in a signal handler.
inline int kernel_thread_id()
{
    return static_cast<int>(syscall(SYS_gettid));
}

// Registers of the faulting instruction, when the platform records them.
struct MachineFault {
    bool valid = false;
    uint64_t trap = 0;           // x86 trap number: 14 page fault, 13 general protection
    uint64_t error = 0;          // x86 page-fault error code
    uint64_t address = 0;        // faulting address (cr2), meaningful for trap 14
    uint64_t instruction = 0;    // instruction pointer at the fault
};

#if defined(__linux__) && defined(__x86_64__)

constexpr bool kHasInterruptedContext = true;

// The mask that was in force where the signal interrupted the thread. The
// kernel writes only its own 64-bit set; the rest of glibc's wider sigset_t
// in the frame is not the mask, so it is cleared here.
inline bool interrupted_mask(void *context, sigset_t *mask)
{
    if (context == nullptr)
        return false;
    const ucontext_t *uc = static_cast<const ucontext_t *>(context);
    memset(mask, 0, sizeof(*mask));
    memcpy(mask, &uc->uc_sigmask, 8);
    return true;
}

// The stack pointer where the signal interrupted the thread.
inline bool interrupted_stack_pointer(void *context, uintptr_t *sp)
{
    if (context == nullptr)
        return false;
    const ucontext_t *uc = static_cast<const ucontext_t *>(context);
    *sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
    return true;
}

// Whether the signal interrupted code running on the thread's alternate
// signal stack: the interrupted stack pointer against the alternate stack
// that the kernel saves in the frame (uc_stack), without a system call.
inline bool interrupted_on_alt_stack(void *context)
{
    uintptr_t sp;
    if (!interrupted_stack_pointer(context, &sp))
        return false;
    const ucontext_t *uc = static_cast<const ucontext_t *>(context);
    if (uc->uc_stack.ss_flags & SS_DISABLE)
        return false;
    uintptr_t base = reinterpret_cast<uintptr_t>(uc->uc_stack.ss_sp);
    return sp >= base && sp - base < uc->uc_stack.ss_size;
}

inline MachineFault machine_fault(void *context)
{
    MachineFault f;
    if (context == nullptr)
        return f;
    const ucontext_t *uc = static_cast<const ucontext_t *>(context);
    f.valid = true;
    f.trap = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_TRAPNO]);
    f.error = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_ERR]);
    f.address = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_CR2]);
    f.instruction = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
    return f;
}

#else

constexpr bool kHasInterruptedContext = false;

inline bool interrupted_mask(void *, sigset_t *)
{
    return false;
}

inline bool interrupted_on_alt_stack(void *)
{
    return false;
}

inline bool interrupted_stack_pointer(void *, uintptr_t *)
{
    return false;
}

inline MachineFault machine_fault(void *)
{
    return MachineFault();
}

#endif

}  // namespace talvex

#endif
