# cython: language_level=3
# A Cython extension whose slow loops can be interrupted and whose faults
# become Python exceptions.
from talvex.signals cimport sig_on, sig_str, sig_off, import_talvex

import_talvex()


cdef long primes_between(long start, long stop) noexcept nogil:
    """The number of primes in [start, stop): plain computation."""
    cdef long k, d, count = 0
    cdef bint prime
    for k in range(max(start, 2), stop):
        prime = True
        d = 2
        while d * d <= k:
            if k % d == 0:
                prime = False
                break
            d += 1
        count += prime
    return count


def count_primes(long n):
    """Count the primes below n (interruptible)."""
    cdef long count
    sig_on()
    count = primes_between(2, n)
    sig_off()
    return count


def count_primes_between(long start, long stop):
    """Count the primes in [start, stop) without the interpreter lock, so
    that threads run it in parallel (interruptible)."""
    cdef long count
    with nogil:
        sig_on()
        count = primes_between(start, stop)
        sig_off()
    return count


def read_address(size_t address):
    """Read a long at an address (faults are caught)."""
    cdef volatile long *p = <volatile long *>address
    cdef long value
    sig_str("read_address: bad address")
    value = p[0]
    sig_off()
    return value
