# cython: language_level=3
# Regions in pool threads, written as the README's Cython section has them:
# sig_on() and sig_off() cimported from talvex.signals, here with the
# interpreter lock released around them so that a pool runs them in
# parallel. What the regions do and count is tvpool.h's.
from talvex.signals cimport sig_on, sig_off

cdef extern from "tvpool.h" nogil:
    int tvpool_entered()
    void tvpool_work(int role, int number)
    void tvpool_left()
    void tvpool_failed()
    void tvpool_stop()
    void tvpool_task_done()
    void tvpool_ready()
    void tvpool_configure(int mark_entered, int mark_left, int alarm, int stop_on_failure,
                          double hang)

cdef extern from "tvpool.h":
    object tvpool_counts()
    object tvpool_record()
    object tvpool_wait(int tasks, Py_ssize_t events)


def region(int role, bint release=True):
    """A region doing `role`'s work, with the interpreter lock released
    (or held)."""
    cdef int number
    try:
        if release:
            with nogil:
                sig_on()
                number = tvpool_entered()
                tvpool_work(role, number)
                sig_off()
        else:
            sig_on()
            number = tvpool_entered()
            tvpool_work(role, number)
            sig_off()
    except BaseException:
        tvpool_failed()
        raise
    tvpool_left()


def configure(int mark_entered, int mark_left=0, bint alarm=False, bint stop_on_failure=False,
              double hang=60.0):
    tvpool_configure(mark_entered, mark_left, alarm, stop_on_failure, hang)


def stop():
    tvpool_stop()


def task_done():
    tvpool_task_done()


def ready():
    with nogil:
        tvpool_ready()


def counts():
    return tvpool_counts()


def record():
    return tvpool_record()


def wait(int tasks, Py_ssize_t events=0):
    return tvpool_wait(tasks, events)
