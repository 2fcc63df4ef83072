"""Helpers for the scenarios that tests run in fresh interpreters (which
start in this directory, so `from scenario import outcome` finds it)."""


def outcome(f, *args):
    """What calling f(*args) came to, as one comparable line."""
    try:
        return "ok %r" % (f(*args),)
    except BaseException as e:
        return "%s.%r" % (type(e).__module__, e)
