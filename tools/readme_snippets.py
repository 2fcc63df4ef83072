#!/usr/bin/env python3
"""Keep the README's code blocks equal to the examples' real code.

A source marks a snippet with comment lines `readme: NAME` ... `readme: end`
(`//` or `#` comments); the README shows it as

    <!-- snippet: NAME -->
    ```lang
    ...
    ```

`--check` (the default) exits 1 listing the blocks that differ; `--update`
rewrites them from the sources.
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ["examples"]
MARK = re.compile(r"^\s*(?://|#)\s*readme:\s*(\S+)\s*$")
BLOCK = re.compile(r"(<!-- snippet: (\S+) -->\n```[^\n]*\n)(.*?)(```)", re.S)


def snippets():
    found = {}
    for top in SOURCES:
        for path in sorted((ROOT / top).rglob("*")):
            if not path.is_file() or "build" in path.parts:
                continue
            try:
                lines = path.read_text().splitlines(keepends=True)
            except UnicodeDecodeError:
                continue
            name, body = None, []
            for line in lines:
                m = MARK.match(line)
                if m and name is None and m.group(1) != "end":
                    name, body = m.group(1), []
                elif m and m.group(1) == "end" and name is not None:
                    found[name] = "".join(body)
                    name = None
                elif name is not None:
                    body.append(line)
    return found


def main(argv):
    update = "--update" in argv
    readme = ROOT / "README.md"
    text = readme.read_text()
    known = snippets()
    stale, missing = [], []

    def replace(m):
        name = m.group(2)
        if name not in known:
            missing.append(name)
            return m.group(0)
        if m.group(3) != known[name]:
            stale.append(name)
        return m.group(1) + known[name] + m.group(4)

    new = BLOCK.sub(replace, text)
    if missing:
        print("README names unknown snippets:", ", ".join(missing))
        return 1
    if update:
        readme.write_text(new)
        return 0
    if stale:
        print("README blocks differ from the examples:", ", ".join(stale))
        print("run: python tools/readme_snippets.py --update")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
