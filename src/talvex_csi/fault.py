"""What the crashing process says about its fault (inspector's process).

talvex's fatal-signal handler hands the inspector, its child, the machine
context that the kernel saved in the signal frame, in the environment:

    TALVEX_CSI_CONTEXT="signal=11 tid=4242 trap=14 error=0x6 address=0x0 ip=0x7f..."

``signal`` and ``tid`` (the thread that took the signal) always;
``dumpable`` (the process's PR_GET_DUMPABLE: 1 lets its user's readers
attach, anything else only a tracer with CAP_SYS_PTRACE) where the runtime
passes it; ``trap``
(the x86 exception number), ``error`` (the page-fault error code),
``address`` (the faulting address) and ``ip`` (the instruction pointer)
where the handler could read them, on Linux x86-64; ``code`` (the kernel's
si_code) and, for a signal that a process sent, ``sender`` (its pid), from
runtimes that pass them; ``deadline``, when the crashing process stops
this inspector and dies (CLOCK_MONOTONIC nanoseconds), which stacks.py
reads.  The words are believed only about the inspector's
own parent, and only for one of its threads: a variable inherited by
anything else describes some other crash.
"""

import os
# The signal module's numbers without its enum, whose import costs the
# inspector milliseconds of CPU.
from _signal import SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP

from . import context_words
from .procfs import read_text

TRAP_GENERAL_PROTECTION = 13
TRAP_PAGE_FAULT = 14
TRAP_ALIGNMENT_CHECK = 17

# Bits of the x86 page-fault error code.
PF_PROTECTION = 0x1  # a page was present: the access was not allowed
PF_WRITE = 0x2
PF_INSTRUCTION = 0x10
PF_PROTECTION_KEY = 0x20

_SYSCALL_INSTRUCTION = b"\x0f\x05"

# What si_code says about a fault, where the x86 trap does not say more.
_CODE_MEANINGS = {
    SIGSEGV: {1: "address not mapped", 2: "protection violation",
              4: "protection key violation"},
    SIGBUS: {1: "misaligned access", 2: "nothing backs the page there", 3: "hardware error"},
    SIGFPE: {1: "integer divide by zero", 2: "integer overflow",
             3: "floating-point divide by zero", 4: "floating-point overflow",
             5: "floating-point underflow", 6: "floating-point inexact result",
             7: "invalid floating-point operation", 8: "subscript out of range"},
    SIGILL: {1: "illegal opcode", 2: "illegal operand", 3: "illegal addressing mode",
             4: "illegal trap", 5: "privileged opcode", 6: "privileged register",
             7: "coprocessor error", 8: "internal stack error"},
}


class FaultContext:
    def __init__(self, signo, tid, trap=None, error=None, address=None, ip=None, code=None,
                 sender=None, dumpable=None):
        self.signo = signo
        self.tid = tid
        self.trap = trap
        self.error = error
        self.address = address
        self.ip = ip
        self.code = code  # si_code: > 0 from the kernel, <= 0 sent by a process
        self.sender = sender
        self.dumpable = dumpable  # the process's own PR_GET_DUMPABLE


def read_context(target):
    """The context the crashing process passed, or None."""
    words = context_words(target.pid)
    try:
        signo, tid = int(words["signal"]), int(words["tid"])
    except (KeyError, ValueError):
        return None
    if not (0 < signo < 65 and tid > 0 and os.path.isdir("/proc/%d/task/%d" % (target.pid, tid))):
        return None
    context = FaultContext(signo, tid)
    context.trap = _number(words.get("trap"), 10)
    try:
        context.code = int(words["code"])
    except (KeyError, ValueError):
        pass
    context.dumpable = _number(words.get("dumpable"), 10)
    if context.code is not None and context.code <= 0:
        sender = _number(words.get("sender"), 10)
        context.sender = sender or None
    for name in ("error", "address", "ip"):
        value = words.get(name)
        if value is not None and value.startswith("0x"):
            setattr(context, name, _number(value, 16))
    return context


def _number(text, base):
    try:
        value = int(text, base)
    except (TypeError, ValueError):
        return None
    return value if value >= 0 else None


FAULT_SIGNALS = (SIGILL, SIGTRAP, SIGBUS, SIGFPE, SIGSEGV)


def signal_origin(context, target):
    """How a signal that did not come from the faulting instruction came, or None.

    With si_code from the crashing process: zero or less means kill(),
    raise(), sigqueue() or a timer, and the sender is named when known.
    Without it, a guess for the signals that faults raise: the kernel saves
    the trap number, error code and address of a thread's last fault and
    copies them into every later signal frame, so a raised signal can carry
    a stale page fault; but a thread that raised a signal was just past a
    system call instruction.
    """
    if context.code is not None:
        if context.code > 0:
            return None
        if context.sender is None:
            return "raised or sent"
        if context.sender == target.pid:
            return "raised by the process itself"
        name = (read_text("/proc/%d/comm" % context.sender) or "").strip()
        return "sent by process %d%s" % (context.sender, " (%s)" % name if name else "")
    if context.signo not in FAULT_SIGNALS or context.ip is None or context.ip < 2:
        return None
    if target.read_memory(context.ip - 2, 2) == _SYSCALL_INSTRUCTION:
        return "raised or sent"
    return None


def describe_fault(context, target):
    """One line on what faulted, or None: the memory access for SIGSEGV and
    SIGBUS, from the x86 trap; otherwise what si_code says, when given."""
    if context.signo not in (SIGSEGV, SIGBUS) or context.trap is None:
        meaning = _CODE_MEANINGS.get(context.signo, {}).get(context.code)
        if meaning and context.signo in (SIGSEGV, SIGBUS) and context.address is not None:
            return "%s at address 0x%x" % (meaning, context.address)
        return meaning
    if context.trap == TRAP_GENERAL_PROTECTION and context.signo == SIGSEGV:
        return ("general protection fault: no address recorded (a non-canonical "
                "address, or an instruction not allowed here)")
    if context.trap == TRAP_ALIGNMENT_CHECK:
        return "misaligned access"
    if context.trap != TRAP_PAGE_FAULT or context.error is None or context.address is None:
        return None
    error = context.error
    access = ("instruction fetch" if error & PF_INSTRUCTION
              else "write" if error & PF_WRITE else "read")
    mapping = target.mapping_at(context.address)
    code_reason = _CODE_MEANINGS[SIGSEGV].get(context.code) if context.signo == SIGSEGV else None
    if context.signo == SIGBUS:
        reason = "nothing backs the page there (past the end of a mapped file?)"
    elif error & PF_PROTECTION_KEY:
        reason = "protection key violation"
    elif code_reason:
        # The kernel's own word: it looked the address up in the mappings.
        reason = code_reason
    elif mapping is not None or (error & PF_PROTECTION and not target.mappings):
        # The error code says whether a page was present; a mapped page
        # never touched is not, so the mappings decide.
        reason = "protection violation"
    elif target.maps_readable:
        reason = "address not mapped"
    else:
        return "%s at address 0x%x" % (access, context.address)
    if mapping is not None and reason.startswith("protection"):
        reason += " (mapped %s%s)" % (mapping[2], ", " + mapping[3] if mapping[3] else "")
    return "%s at address 0x%x: %s" % (access, context.address, reason)


def describe_instruction(context, target, function=None):
    """Where the instruction pointer was: its address, function and object."""
    if context.ip is None:
        return None
    text = "0x%016x" % context.ip
    if function:
        text += " in %s" % function
    mapping = target.mapping_at(context.ip)
    if mapping is None:
        if target.maps_readable:
            text += " (not in any mapping)"
    elif mapping[3]:
        text += " (%s)" % os.path.basename(mapping[3])
    return text
