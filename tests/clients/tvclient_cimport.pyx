# cython: language_level=3
# A Cython client that only cimports the region macros: no import_talvex().
from talvex.signals cimport sig_on, sig_off

cdef extern from * nogil:
    """
    static volatile unsigned long tvci_counter;
    static void tvci_tick(void) { tvci_counter++; }
    static void tvci_null_write(void) { *(volatile int *)(size_t)(tvci_counter & 0) = 0; }
    """
    void tvci_tick()
    void tvci_null_write()


def busy(long long iterations):
    """Spin in a region (forever if negative); return the count."""
    cdef long long i = 0
    sig_on()
    while iterations < 0 or i < iterations:
        i += 1
        tvci_tick()
    sig_off()
    return i


def fault():
    sig_on()
    tvci_null_write()
    sig_off()
