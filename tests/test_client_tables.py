"""A client's table of entry points: one per extension module whatever the
number of its source files, filled on first use when nobody imported
talvex explicitly. Each client runs through an alarm and a fault in a fresh
interpreter."""
import textwrap

import pytest

from conftest import run_py

CASES = {
    # module, a region that spins until interrupted, a region that faults
    "two_files": ("tvclient_split", "m.spin(10.0)", "m.fault()"),
    "no_import_call": ("tvclient_lazy", "m.spin(10.0)", "m.fault()"),
    "cython_cimport_only": ("tvclient_cimport", "m.busy(-1)", "m.fault()"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_alarm_and_fault_in_every_client_shape(case):
    module, spin, fault = CASES[case]
    r = run_py(textwrap.dedent("""
        import signal
        import {module} as m
        from scenario import outcome
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        print(outcome(lambda: {spin}))
        print(outcome(lambda: {fault}))
        print(outcome(lambda: {fault}))
    """).format(module=module, spin=spin, fault=fault))
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    assert r.stdout.decode().splitlines() == [
        "talvex.signals.AlarmInterrupt()",
        "talvex.signals.SignalError('Segmentation fault')",
        "talvex.signals.SignalError('Segmentation fault')",
    ]


def test_first_region_without_talvex_is_a_clean_import_error():
    r = run_py(textwrap.dedent("""
        import sys
        sys.modules["talvex"] = None     # talvex cannot be imported
        import tvclient_lazy as m
        from scenario import outcome
        print(outcome(m.spin, 0.0))
    """))
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    assert r.stdout.decode().startswith("builtins.ModuleNotFoundError(")
