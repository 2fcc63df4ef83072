"""The ``command-help`` directive: a command line's ``--help``, run at build
time, so that the reference shows what the parser itself says.

    ```{command-help} talvex-CSI
    :module: talvex_csi
    ```

runs ``python -m talvex_csi --help`` with the interpreter that builds the
docs (the same program as the ``talvex-CSI`` script) and shows its output
under the command's own name."""
import os
import subprocess
import sys

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util.docutils import SphinxDirective


class CommandHelp(SphinxDirective):
    required_arguments = 1
    final_argument_whitespace = True
    option_spec = {"module": directives.unchanged_required}

    def run(self):
        command = self.arguments[0]
        module = self.options["module"]
        # A fixed width, so that the text does not depend on the terminal.
        env = dict(os.environ, COLUMNS="80", NO_COLOR="1")
        r = subprocess.run([sys.executable, "-m", module, "--help"], capture_output=True,
                           text=True, env=env, timeout=60)
        if r.returncode != 0:
            raise self.error(f"python -m {module} --help exited {r.returncode}: {r.stderr}")
        text = f"$ {command} --help\n{r.stdout.rstrip()}"
        block = nodes.literal_block(text, text, language="text")
        self.set_source_info(block)
        return [block]


def setup(app):
    app.add_directive("command-help", CommandHelp)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
