"""The pytest plugin of talvex_testing, loaded through the ``pytest11``
entry point: the ``talvex_run`` fixture."""
import pytest

import talvex_testing


@pytest.fixture
def talvex_run(tmp_path):
    """:func:`talvex_testing.run`, with the test's ``tmp_path`` as the
    child's working directory unless ``cwd`` is given."""

    def run(target, *args, **kwargs):
        kwargs.setdefault("cwd", tmp_path)
        return talvex_testing.run(target, *args, **kwargs)

    return run
