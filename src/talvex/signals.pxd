# Cython declarations for talvex.signals.
#
#     from talvex.signals cimport sig_on, sig_off
#
#     cdef long work(long n) except -1:
#         sig_on()                   # raises the Python exception on failure
#         ...                        # long native code
#         sig_off()
#         return result
#
# The region macros fill the module's table of entry points on first use.
# Calling import_talvex() at module level instead does it at import, through
# Cython's own import code, which takes the entries out of
# talvex.signals.__pyx_capi__ under the signature strings their
# declarations below spell (a mismatched talvex is then refused at import).

from cpython.object cimport PyObject

cdef extern from "talvex/state.h" nogil:
    ctypedef struct tvstate_t:
        int sig_on_count
        int pending_interrupt
        int handler_active
        int sigint_blocked
        const char *message
        PyObject *raised_value

    ctypedef struct talvex_api_t:
        tvstate_t *state
        int (*add_custom_signals)(int (*)() noexcept nogil, void (*)() noexcept nogil,
                                  void (*)(int) noexcept nogil) noexcept
        int (*sig_raise_exception)(int, const char *) noexcept nogil
        void (*sig_off_warning)(const char *, int) noexcept nogil
        void (*do_raise_exception)(int) noexcept nogil
        void (*sig_on_interrupt_received)() noexcept nogil
        void (*sig_on_recover)() noexcept nogil
        void (*print_backtrace)() noexcept nogil
        void (*verify_exc_value)() noexcept

    talvex_api_t talvex_api

    # Sequentially consistent access to the four integer fields.
    int tv_load(const int *field)
    void tv_store(int *field, int value)

    # Protected regions (macros: the resume point is recorded in the
    # calling function's frame).
    int sig_on() except 0
    int sig_str(const char *message) except 0
    void sig_off()
    int sig_check() except 0
    void sig_block()
    void sig_unblock()

# The exported interface of talvex.signals.
cdef tvstate_t tvstate
cdef int add_custom_signals(int (*is_blocked)() noexcept nogil,
                            void (*unblock)() noexcept nogil,
                            void (*set_pending)(int) noexcept nogil) noexcept
cdef int sig_raise_exception(int sig, const char *msg) noexcept nogil
cdef void _sig_off_warning(const char *file, int line) noexcept nogil
cdef void _do_raise_exception(int sig) noexcept nogil
cdef void _sig_on_interrupt_received() noexcept nogil
cdef void _sig_on_recover() noexcept nogil
cdef void print_backtrace() noexcept nogil
cdef void verify_exc_value() noexcept


cdef inline int import_talvex() except -1:
    """Bind the region macros to the entries Cython imported at module
    import. Optional: without it the first region fills the table."""
    talvex_api.sig_raise_exception = sig_raise_exception
    talvex_api.sig_off_warning = _sig_off_warning
    talvex_api.do_raise_exception = _do_raise_exception
    talvex_api.sig_on_interrupt_received = _sig_on_interrupt_received
    talvex_api.sig_on_recover = _sig_on_recover
    talvex_api.print_backtrace = print_backtrace
    talvex_api.verify_exc_value = verify_exc_value
    talvex_api.add_custom_signals = add_custom_signals
    talvex_api.state = &tvstate
    return 0
