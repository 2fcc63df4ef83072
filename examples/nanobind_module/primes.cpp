// A nanobind extension with both kinds of interruptible code: a loop that
// owns C++ objects polls cooperatively and unwinds when Ctrl-C or an alarm
// arrives; plain computation runs in a sig_on() region, where a fault
// becomes a Python exception too. The loops run without the interpreter
// lock, so that threads run them in parallel.
#include <talvex/state.h>  // before the standard headers, like Python.h

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

namespace nb = nanobind;

static bool is_prime(long k)
{
    for (long d = 2; d * d <= k; d++)
        if (k % d == 0)
            return false;
    return k >= 2;
}

static long primes_between(long start, long stop)
{
    long count = 0;
    for (long k = start; k < stop; k++)
        count += is_prime(k);
    return count;
}

// Cooperative: the loop owns objects, and talvex::check() throws
// talvex::interrupted, which unwinds the stack as any C++ exception does.
static long count_primes(long n)
{
    talvex::nogil no_gil;       // the interpreter lock, released until the end
    talvex::cooperative scope;  // interrupts are recorded, never jumped out of
    std::vector<long> primes;   // freed as usual if the loop is interrupted
    long count = 0;
    for (long k = 2; k < n; k++) {
        talvex::check();  // throws talvex::interrupted when one is pending
        if (!is_prime(k))
            continue;
        if (primes.size() < 1000)
            primes.push_back(k);
        count++;
    }
    return count;
}

// A region: a jump leaves it, so nothing with a destructor is made inside
// it. The lock is released before it (a jump keeps that object, made
// outside the region), and the exception raised once the lock is back.
static long count_primes_between(long start, long stop)
{
    long count = 0;
    bool ok;
    {
        talvex::nogil no_gil;
        ok = sig_on();
        if (ok) {
            count = primes_between(start, stop);
            sig_off();
        }
    }
    if (!ok)
        throw nb::python_error();  // KeyboardInterrupt, SignalError, ...
    return count;
}

// A region with the lock held: the exception is set when sig_str() fails.
static long read_address(std::uintptr_t address)
{
    auto *p = reinterpret_cast<volatile long *>(address);
    if (!sig_str("read_address: bad address"))
        throw nb::python_error();
    long value = *p;
    sig_off();
    return value;
}

NB_MODULE(talvex_example_nanobind, m)
{
    if (talvex_import() < 0)
        throw nb::python_error();
    // talvex::interrupted becomes KeyboardInterrupt (or AlarmInterrupt,
    // SystemExit), or in the main thread what the program's own handler
    // for the signal raised.
    nb::register_exception_translator(
        [](const std::exception_ptr &p, void *) { talvex::translate(p); });
    m.def("count_primes", &count_primes, "Count the primes below n (cooperative, no GIL).");
    m.def("count_primes_between", &count_primes_between,
          "Count the primes in [start, stop) (a region, no GIL).");
    m.def("read_address", &read_address, "Read a long at an address (faults are caught).");
}
