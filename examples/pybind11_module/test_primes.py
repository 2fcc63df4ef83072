"""A cooperative loop in a worker thread unwinds on Ctrl-C: every object it
held is destroyed."""
import signal
import threading
import time


def hold_in_a_worker(n):
    """Runs in the test's fresh interpreter: hold n objects in a worker's
    cooperative loop until Ctrl-C; return what the worker raised and how
    many objects were destroyed."""
    import talvex_testing
    import talvex_example_pybind as m

    raised = []
    done = threading.Event()

    def work():
        try:
            m.hold(n)
        except KeyboardInterrupt as e:
            raised.append(type(e).__name__)
        finally:
            done.set()

    worker = threading.Thread(target=work)
    worker.start()
    while m.running() == 0:      # the loop is in its scope
        time.sleep(0.001)
    try:
        talvex_testing.ready()   # the test sends Ctrl-C now
        done.wait()
    except KeyboardInterrupt:    # the main thread gets it too
        done.wait()
    worker.join()
    return raised, m.destroyed()


def test_ctrl_c_unwinds_the_loop(talvex_run):
    outcome = talvex_run(hold_in_a_worker, 5, signal=signal.SIGINT, when="ready")
    assert (outcome.value, outcome.returncode, outcome.stderr) == ((["KeyboardInterrupt"], 5), 0, "")
