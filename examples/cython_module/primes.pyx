# cython: language_level=3
# A Cython extension whose slow loop can be interrupted and whose faults
# become Python exceptions.
# readme: cython
from talvex.signals cimport sig_on, sig_str, sig_off, import_talvex

import_talvex()


def count_primes(long n):
    """Count the primes below n (interruptible)."""
    cdef long k, d, count = 0
    cdef bint prime
    sig_on()
    for k in range(2, n):
        prime = True
        d = 2
        while d * d <= k:
            if k % d == 0:
                prime = False
                break
            d += 1
        count += prime
    sig_off()
    return count
# readme: end


def read_address(size_t address):
    """Read a long at an address (faults are caught)."""
    cdef volatile long *p = <volatile long *>address
    cdef long value
    sig_str("read_address: bad address")
    value = p[0]
    sig_off()
    return value
