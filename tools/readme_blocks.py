#!/usr/bin/env python3
"""The README's code blocks, and its file blocks kept equal to examples/.

Every fenced block of README.md follows a comment that says what it is:

    <!-- file: cpp_module/CMakeLists.txt -->
        a whole file of an example project: the same bytes as
        examples/cpp_module/CMakeLists.txt
    <!-- run: NAME -->      a Python program, run as written
    <!-- shell: NAME -->    shell commands
    <!-- output: NAME -->   what a program printed

tests/test_docs.py builds the projects from the file blocks and runs or
checks every other block by its name.

    python tools/readme_blocks.py [--check]   exit 1, listing the file blocks
                                              that differ from examples/
    python tools/readme_blocks.py --update    rewrite them from examples/
"""
import re
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
EXAMPLES = ROOT / "examples"
KINDS = ("file", "run", "shell", "output")
MARKER = re.compile(r"<!-- (\w+): (\S+) -->")
FENCE = re.compile(r"^```(\S*)\n", re.M)


@dataclass
class Block:
    kind: str | None   # None: no marker before the block
    name: str | None   # the file's path in examples/, or the block's name
    lang: str
    text: str
    line: int          # of the opening fence, from 1
    start: int         # offsets of the text in the README
    end: int
    before: str        # the paragraph before the marker


def parse(text):
    """Every fenced block of `text`, in order."""
    blocks = []
    pos = 0
    while True:
        m = FENCE.search(text, pos)
        if m is None:
            return blocks
        close = text.index("\n```\n", m.end() - 1)
        start, end = m.end(), close + 1
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
                            text.count("\n", 0, m.start()) + 1, start, end, before))
        pos = end + 4


def file_blocks(text):
    return [b for b in parse(text) if b.kind == "file"]


def main(argv):
    update = "--update" in argv
    text = README.read_text()
    stale, missing = [], []
    pieces, pos = [], 0
    for block in file_blocks(text):
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
    if missing:
        print("README shows files that examples/ does not have:", ", ".join(missing))
        return 1
    if update:
        README.write_text("".join(pieces))
        return 0
    if stale:
        print("README file blocks differ from examples/:", ", ".join(stale))
        print("run: python tools/readme_blocks.py --update")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
