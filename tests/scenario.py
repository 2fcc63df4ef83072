"""Helpers for the scenarios that tests run in fresh interpreters (which
start in this directory, so `from scenario import outcome` finds it)."""


def outcome(f, *args):
    """What calling f(*args) came to, as one comparable line."""
    try:
        return "ok %r" % (f(*args),)
    except BaseException as e:
        return "%s.%r" % (type(e).__module__, e)


def run_in_subinterpreter(code):
    """Run `code` in a new subinterpreter, then destroy it. A legacy one,
    sharing the main interpreter's GIL: an isolated one would refuse
    talvex.signals before the module's own check could."""
    try:
        import _interpreters as si          # CPython 3.13 and later
        interp = si.create("legacy")
    except ImportError:
        import _xxsubinterpreters as si     # CPython 3.12
        interp = si.create(isolated=False)
    try:
        si.run_string(interp, code)
    finally:
        si.destroy(interp)
