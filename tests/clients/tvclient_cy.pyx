# cython: language_level=3
# A Cython client: its own generated import code takes the record and the
# entry points out of talvex.signals.__pyx_capi__ by their signatures.
from libc.signal cimport raise_
from talvex.signals cimport (sig_on, sig_str, sig_off, sig_check, sig_block,
                             sig_unblock, tvstate, tv_load, import_talvex)

import_talvex()


cdef extern from * nogil:
    """
    static volatile unsigned long tvcy_counter;
    static void tvcy_tick(void) { tvcy_counter++; }
    static void tvcy_null_write(void) { *(volatile int *)(size_t)(tvcy_counter & 0) = 0; }
    """
    void tvcy_tick()
    void tvcy_null_write()


def busy(long long iterations):
    """Spin in a region (forever if negative); return the count."""
    cdef long long i = 0
    sig_on()
    while iterations < 0 or i < iterations:
        i += 1
        tvcy_tick()
    sig_off()
    return i


def busy_nogil(long long iterations):
    cdef long long i = 0
    with nogil:
        sig_on()
        while iterations < 0 or i < iterations:
            i += 1
            tvcy_tick()
        sig_off()
    return i


def null_write(message=None):
    cdef bytes m = message.encode() if message is not None else None
    if m is None:
        sig_on()
    else:
        sig_str(m)
    tvcy_null_write()
    sig_off()


def raise_in_region(int sig):
    sig_on()
    raise_(sig)
    sig_off()


def check_loop(long long iterations):
    """Poll sig_check() outside a region (forever if negative)."""
    cdef long long i = 0
    while iterations < 0 or i < iterations:
        sig_check()
        i += 1
    return i


def shielded(long long iterations):
    """Spin shielded; return the interrupt recorded meanwhile, then deliver it."""
    cdef long long i = 0
    cdef int recorded
    sig_on()
    sig_block()
    while i < iterations:
        i += 1
        tvcy_tick()
    recorded = tv_load(&tvstate.pending_interrupt)
    sig_unblock()
    sig_off()
    return recorded


def count():
    return tv_load(&tvstate.sig_on_count)
