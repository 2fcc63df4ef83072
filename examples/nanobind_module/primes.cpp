// A nanobind extension that uses talvex's cooperative interrupts: its loop
// owns C++ objects, runs without the interpreter lock, and unwinds properly
// when Ctrl-C or an alarm arrives.
#include <talvex/state.h>  // before the standard headers, like Python.h

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

namespace nb = nanobind;

static long count_primes(long n)
{
    nb::gil_scoped_release no_gil;
    talvex::cooperative scope;  // interrupts are recorded, never jumped out of
    std::vector<long> primes;   // freed as usual if the loop is interrupted
    long count = 0;
    for (long k = 2; k < n; k++) {
        talvex::check();  // throws talvex::interrupted when one is pending
        bool prime = true;
        for (long d = 2; d * d <= k; d++)
            if (k % d == 0) {
                prime = false;
                break;
            }
        if (prime && primes.size() < 1000)
            primes.push_back(k);
        count += prime;
    }
    return count;
}

// Faults need a jump: a classic region, with no C++ objects inside it.
static long read_address(std::uintptr_t address)
{
    auto *p = reinterpret_cast<volatile long *>(address);
    if (!sig_str("read_address: bad address"))
        throw nb::python_error();
    long value = *p;
    sig_off();
    return value;
}

// readme: nanobind-init
NB_MODULE(talvex_example_nanobind, m)
{
    if (talvex_import() < 0)
        throw nb::python_error();
    nb::register_exception_translator(
        [](const std::exception_ptr &p, void *) { talvex::translate(p); });
// readme: end
    m.def("count_primes", &count_primes, "Count the primes below n (interruptible, no GIL).");
    m.def("read_address", &read_address, "Read a long at an address (faults are caught).");
}
