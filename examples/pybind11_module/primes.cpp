// A pybind11 extension that uses talvex's cooperative interrupts: its loop
// owns C++ objects, runs without the interpreter lock (in any thread), and
// unwinds properly when Ctrl-C or an alarm arrives.
#include <talvex/state.h>  // before the standard headers, like Python.h

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace py = pybind11;

static std::atomic<long> destroyed{0};
static std::atomic<int> running{0};

// Something whose destructor must run, whatever ends the loop.
struct Tracked {
    std::vector<long> buffer = std::vector<long>(64, 1);
    ~Tracked() { destroyed++; }
};

// readme: pybind-loop
static long count_primes(long n)
{
    py::gil_scoped_release no_gil;
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
// readme: end

// Wait until interrupted while `n` objects are alive: all n are destroyed.
static void hold(int n)
{
    py::gil_scoped_release no_gil;
    talvex::cooperative scope;
    std::vector<Tracked> held(static_cast<size_t>(n));
    running++;
    struct Done { ~Done() { running--; } } done;
    for (;;)
        talvex::check();
}

// Faults need a jump: a classic region, with no C++ objects inside it.
static long read_address(std::uintptr_t address)
{
    auto *p = reinterpret_cast<volatile long *>(address);
    if (!sig_str("read_address: bad address"))
        throw py::error_already_set();
    long value = *p;
    sig_off();
    return value;
}

// readme: pybind-init
PYBIND11_MODULE(talvex_example_pybind, m)
{
    if (talvex_import() < 0)
        throw py::error_already_set();
    py::register_exception_translator(&talvex::translate);
// readme: end
    m.def("count_primes", &count_primes, "Count the primes below n (interruptible, no GIL).");
    m.def("read_address", &read_address, "Read a long at an address (faults are caught).");
    m.def("hold", &hold, "Wait, holding n objects, until interrupted.");
    m.def("destroyed", [] { return destroyed.load(); }, "Tracked objects destroyed so far.");
    m.def("running", [] { return running.load(); }, "Loops running right now.");
}
