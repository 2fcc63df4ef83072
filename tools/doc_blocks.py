#!/usr/bin/env python3
"""The code blocks of the README and of the documentation's pages, and the
file blocks kept equal to examples/.

Every fenced block of README.md and docs/**/*.md follows a comment that
says what it is:

    <!-- file: cpp_module/CMakeLists.txt -->
        a whole file of an example project: the same bytes as
        examples/cpp_module/CMakeLists.txt
    <!-- run: NAME -->      a Python program, run as written
    <!-- shell: NAME -->    shell commands
    <!-- output: NAME -->   what a program printed

Names are unique across all pages. tests/test_docs.py builds the projects
from the file blocks and runs or checks every other block by its name.

    python tools/doc_blocks.py [--check]   exit 1, listing the file blocks
                                           that differ from examples/
    python tools/doc_blocks.py --update    rewrite them from examples/
"""
import re
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
EXAMPLES = ROOT / "examples"
KINDS = ("file", "run", "shell", "output")
MARKER = re.compile(r"<!-- (\w+): (\S+) -->")
FENCE = re.compile(r"^```(\S*)[^\n]*\n", re.M)


def pages():
    """The README and every Markdown page of the site, in a fixed order."""
    return [ROOT / "README.md", *sorted(DOCS.rglob("*.md"))]


@dataclass
class Block:
    kind: str | None   # None: no marker before the block
    name: str | None   # the file's path in examples/, or the block's name
    lang: str
    text: str
    line: int          # of the opening fence, from 1
    start: int         # offsets of the text in the page
    end: int
    before: str        # the paragraph before the marker
    page: str = ""     # the page's path from the repository's root


def parse(text, page=""):
    """Every fenced block of `text`, in order. A fence whose language is a
    MyST directive (```{toctree}) is not a code block."""
    blocks = []
    pos = 0
    while True:
        m = FENCE.search(text, pos)
        if m is None:
            return blocks
        close = text.index("\n```\n", m.end() - 1)
        start, end = m.end(), close + 1
        pos = end + 4
        if m.group(1).startswith("{"):
            continue
        head = text[:m.start()].rstrip("\n").rsplit("\n\n", 1)[-1].splitlines()
        marker = MARKER.fullmatch(head[-1].strip()) if head else None
        kind = name = None
        before = ""
        if marker is not None:
            kind, name = marker.groups()
            # The prose that introduces the block, above its marker.
            earlier = text[:m.start()].rstrip("\n")
            earlier = earlier[:earlier.rfind("<!--")].rstrip("\n")
            before = earlier.rsplit("\n\n", 1)[-1]
        blocks.append(Block(kind, name, m.group(1), text[start:end],
                            text.count("\n", 0, m.start()) + 1, start, end, before, page))


def all_blocks():
    found = []
    for path in pages():
        found += parse(path.read_text(), str(path.relative_to(ROOT)))
    return found


def sync(path, update):
    """The names of `path`'s file blocks that differ from examples/, and of
    those examples/ does not have; with `update`, rewrite them."""
    text = path.read_text()
    stale, missing = [], []
    pieces, pos = [], 0
    for block in parse(text):
        if block.kind != "file":
            continue
        source = EXAMPLES / block.name
        if not source.is_file():
            missing.append(block.name)
            continue
        wanted = source.read_text()
        if block.text != wanted:
            stale.append(block.name)
        pieces += [text[pos:block.start], wanted]
        pos = block.end
    pieces.append(text[pos:])
    if update and not missing:
        path.write_text("".join(pieces))
    return stale, missing


def main(argv, paths=None):
    update = "--update" in argv
    failed = False
    for path in paths or pages():
        stale, missing = sync(path, update)
        name = path.relative_to(ROOT) if path.is_relative_to(ROOT) else path
        if missing:
            print("%s shows files that examples/ does not have: %s" % (name, ", ".join(missing)))
            failed = True
        elif stale and not update:
            print("%s: file blocks differ from examples/: %s" % (name, ", ".join(stale)))
            failed = True
    if failed and not update:
        print("run: python tools/doc_blocks.py --update")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
