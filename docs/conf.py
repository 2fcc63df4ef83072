"""Sphinx configuration of talvex's documentation (make docs)."""
import os
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(Path(__file__).resolve().parent / "_ext"))

import talvex  # noqa: E402  (the installed package the reference describes)

project = "talvex"
author = "the talvex developers"
copyright = "talvex developers"
release = talvex.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "hawkmoth",
    "helptext",
]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "requirements.txt"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
# The pages' HTML comments are the markers that tell the tests what each
# code block is (tools/doc_blocks.py).
suppress_warnings = []

html_theme = "furo"
html_title = f"talvex {release}"
pygments_style = "default"

# The C and C++ reference is generated from the header's own comments; the
# header in the source tree is the one the package ships.
hawkmoth_root = str(ROOT / "src" / "talvex" / "include")
# libclang needs the system's and CPython's headers; gcc says where they are.
hawkmoth_compiler = os.environ.get("CC", "gcc")
hawkmoth_clang = ["-I" + sysconfig.get_paths()["include"]]
hawkmoth_clang_cpp = ["-std=c++17"]

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
nitpicky = False
