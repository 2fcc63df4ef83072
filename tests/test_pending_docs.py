"""The code blocks of docs-pending/, run as written until their text moves
into the documentation (where tests/test_docs.py runs them)."""
import sys

import pytest

from conftest import ROOT, run_py

sys.path.insert(0, str(ROOT / "tools"))
import readme_blocks  # noqa: E402

PENDING = sorted((ROOT / "docs-pending").glob("*.md"))
# What each program prints.
RUNS = {
    "pool-timeout": ["the main thread's part took more than 1 s", "216816"],
}
BLOCKS = {b.name: b for path in PENDING for b in readme_blocks.parse(path.read_text())
          if b.kind == "run"}


def test_every_program_has_its_output():
    assert sorted(BLOCKS) == sorted(RUNS)


@pytest.mark.parametrize("name", sorted(RUNS))
def test_a_pending_program_runs_as_written(name):
    r = run_py(BLOCKS[name].text)
    assert (r.returncode, r.stderr) == (0, b""), r.stderr.decode(errors="replace")
    assert r.stdout.decode().splitlines() == RUNS[name]
