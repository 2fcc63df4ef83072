"""The README's code blocks are the examples' real code."""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_readme_snippets_match_examples():
    r = subprocess.run([sys.executable, str(ROOT / "tools" / "readme_snippets.py"), "--check"],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr


def test_readme_names_both_commands():
    text = (ROOT / "README.md").read_text()
    assert "make demo" in text and "make test" in text
    assert text.index("make demo") < text.index("## Protect your own function")
