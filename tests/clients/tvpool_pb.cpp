// Regions in pool threads, written as a pybind11 user would from the
// README: sig_on() and sig_off() from talvex/state.h with the interpreter
// lock released around them (py::gil_scoped_release), so that a pool runs
// them in parallel, and the exception raised once the lock is back. What
// the regions do and count is tvpool.h's.
#include <talvex/state.h>  // before the standard headers, like Python.h

#include <pybind11/pybind11.h>

#include "tvpool.h"

#include <atomic>

namespace py = pybind11;

namespace {

// The region's frame holds no object with a destructor: a signal leaves it
// by a jump. The lock is released outside it and taken back after it.
bool protected_work(int role)
{
    if (!sig_on())
        return false;
    tvpool_work(role, tvpool_entered());
    sig_off();
    return true;
}

void region(int role, bool release)
{
    bool done;
    if (release) {
        py::gil_scoped_release no_gil;
        done = protected_work(role);
    } else {
        done = protected_work(role);
    }
    if (!done) {
        tvpool_failed();
        throw py::error_already_set();  // KeyboardInterrupt, SignalError, ...
    }
    tvpool_left();
}

// A cooperative loop with pybind11's own release of the lock, whose
// destructor may not throw: in a daemon thread that an interrupt ends while
// the interpreter finalises, taking the lock back ends the thread with a
// forced unwind, and the process calls std::terminate.
std::atomic<int> holding{0};

void hold_released()
{
    py::gil_scoped_release no_gil;
    talvex::cooperative scope;
    holding++;
    struct Done {
        ~Done() { holding--; }
    } done;
    for (;;)
        talvex::check();
}

py::object steal(PyObject *o)
{
    if (o == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

}  // namespace

PYBIND11_MODULE(tvpool_pb, m)
{
    if (talvex_import() < 0)
        throw py::error_already_set();
    m.def("region", &region, py::arg("role"), py::arg("release") = true);
    m.def("configure", &tvpool_configure, py::arg("mark_entered"), py::arg("mark_left") = 0,
          py::arg("alarm") = false, py::arg("stop_on_failure") = false, py::arg("hang") = 60.0);
    m.def("stop", &tvpool_stop);
    m.def("task_done", &tvpool_task_done);
    m.def("ready", &tvpool_ready, py::call_guard<py::gil_scoped_release>());
    m.def("counts", [] { return steal(tvpool_counts()); });
    m.def("record", [] { return steal(tvpool_record()); });
    m.def("hold_released", &hold_released);
    m.def("holding", [] { return holding.load(); });
    m.def("wait", [](int tasks, Py_ssize_t events) { return steal(tvpool_wait(tasks, events)); },
          py::arg("tasks"), py::arg("events") = 0);
}
